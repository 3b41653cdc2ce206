#include "lib/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace zn {
namespace {

// The definition, one bit at a time: no tables, nothing shared with the code under test.
uint32_t slow_crc(const unsigned char *p, size_t n, uint32_t reg = 0xFFFFFFFFu) {
    for (size_t i = 0; i < n; i++) {
        reg ^= uint32_t(p[i]) << 24;
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return reg;
}

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> v(n);
    for (auto &b : v) b = static_cast<unsigned char>(gen());
    return v;
}

TEST(Crc32, PublishedCheckValues) {
    struct {
        const char *text;
        uint32_t crc;
    } rows[] = {{"123456789", 0xFC891918u}, {"abc", 0x648CBB73u}, {"", 0u}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        int n = static_cast<int>(std::strlen(row.text));
        EXPECT_EQ(crc32(row.text, n), row.crc);
        crc32_accum(nullptr, 0);
        EXPECT_EQ(crc32_accum(row.text, n), row.crc);
    }
}

TEST(Crc32, TableEntries) {
    crc32("", 0);  // fills the table on first use
    EXPECT_EQ(crc32_table[0], 0u);
    EXPECT_EQ(crc32_table[1], 0x04C11DB7u);
    EXPECT_EQ(crc32_table[255], 0xB1F740B4u);
    for (unsigned i = 0; i < 256; i++) {
        unsigned char b = static_cast<unsigned char>(i);
        EXPECT_EQ(crc32_table[i], slow_crc(&b, 1, 0)) << "entry " << i;
    }
}

TEST(Crc32, NonPositiveLengthGivesZero) {
    EXPECT_EQ(crc32("abc", 0), 0u);
    EXPECT_EQ(crc32("abc", -5), 0u);
    unsigned char map[256];
    for (int i = 0; i < 256; i++) map[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(crc32_monocase(map, "abc", -1), 0u);
}

TEST(Crc32, AccumResetReturnsZeroAndPiecesEqualWhole) {
    EXPECT_EQ(crc32_accum(nullptr, 0), 0u);
    const char *text = "123456789";
    // Every way of cutting the text in two, and one byte at a time.
    for (int cut = 0; cut <= 9; cut++) {
        crc32_accum(nullptr, 0);
        crc32_accum(text, cut);
        EXPECT_EQ(crc32_accum(text + cut, 9 - cut), 0xFC891918u) << "cut at " << cut;
    }
    crc32_accum(nullptr, 0);
    uint32_t last = 0;
    for (int i = 0; i < 9; i++) {
        last = crc32_accum(text + i, 1);
        EXPECT_EQ(last, crc32(text, i + 1)) << "intermediate after " << i + 1;
    }
    EXPECT_EQ(last, 0xFC891918u);
}

TEST(Crc32, SetThenAccumEqualsCrc) {
    auto data = random_bytes(100, 7);
    for (int n = 1; n <= 100; n += 9) {
        crc32_set(0xFFFFFFFFu);
        EXPECT_EQ(crc32_accum(data.data(), n), crc32(data.data(), n)) << n;
    }
    // A register set to another value continues from it.
    crc32_set(0x12345678u);
    EXPECT_EQ(crc32_accum(data.data(), 10), ~slow_crc(data.data(), 10, 0x12345678u));
}

TEST(Crc32, MonocaseFoldsThroughTable) {
    unsigned char lower[256];
    for (int i = 0; i < 256; i++)
        lower[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    EXPECT_EQ(crc32_monocase(lower, "ABC", 3), crc32("abc", 3));
    EXPECT_EQ(crc32_monocase(lower, "aBc", 3), 0x648CBB73u);
    EXPECT_NE(crc32("ABC", 3), crc32("abc", 3));
}

// The fast fold must agree with the bit-by-bit definition on every length and alignment,
// including lengths around the 8-byte step and blocks fed in uneven pieces.
TEST(Crc32, FastFoldMatchesSlowReference) {
    auto data = random_bytes(1 << 16, 42);
    for (size_t offset = 0; offset < 16; offset++)
        for (size_t n = 0; n < 80; n++) {
            const unsigned char *p = data.data() + offset;
            ASSERT_EQ(crc32_fold(0xFFFFFFFFu, p, n), slow_crc(p, n)) << offset << "+" << n;
            ASSERT_EQ(crc32_fold_bytewise(0xFFFFFFFFu, p, n), slow_crc(p, n)) << offset << "+" << n;
        }
    std::mt19937 gen(3);
    uint32_t reg = 0xFFFFFFFFu;
    size_t at = 0;
    while (at < data.size()) {
        size_t n = std::min<size_t>(gen() % 3000, data.size() - at);
        reg = crc32_fold(reg, data.data() + at, n);
        at += n;
    }
    EXPECT_EQ(reg, slow_crc(data.data(), data.size()));
}

TEST(Crc32, LargeInput) {
    auto data = random_bytes(8 << 20, 9);
    uint32_t expect = ~slow_crc(data.data(), data.size());
    EXPECT_EQ(crc32(data.data(), static_cast<int>(data.size())), expect);
    EXPECT_EQ(~crc32_fold_bytewise(0xFFFFFFFFu, data.data(), data.size()), expect);
}

}  // namespace
}  // namespace zn
