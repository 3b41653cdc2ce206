#include "lib/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
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

// x^k mod P by long division of x^k, one quotient bit at a time, on a plain array of
// coefficients: nothing in common with the shift register the library uses.
uint32_t slow_xpow_mod(unsigned k) {
    const uint64_t divisor = 0x104C11DB7u;  // P with its x^32 term
    std::vector<int> coeff(k + 1, 0);
    coeff[k] = 1;
    for (unsigned top = k; top >= 32; top--)
        if (coeff[top])
            for (unsigned j = 0; j <= 32; j++)
                if ((divisor >> j) & 1) coeff[top - 32 + j] ^= 1;
    uint32_t r = 0;
    for (unsigned j = 0; j < 32 && j <= k; j++)
        if (coeff[j]) r |= 1u << j;
    return r;
}

TEST(Crc32, XpowModMatchesLongDivision) {
    // Beyond the largest fold distance the carry-less folds use (1024 + 64 bits).
    for (unsigned k = 0; k <= 1200; k++)
        ASSERT_EQ(crc32_xpow_mod(k), slow_xpow_mod(k)) << "k=" << k;
}

// Every way of folding, each held to the bit-by-bit definition. A path the processor cannot run
// is skipped with a message.
using FoldFn = uint32_t (*)(uint32_t, const void *, size_t);
struct FoldPath {
    const char *name;
    FoldFn fold;
    bool (*available)();
};
void PrintTo(const FoldPath &path, std::ostream *os) {
    *os << path.name;
}
bool always() {
    return true;
}
const FoldPath kPaths[] = {
    {"bytewise", crc32_fold_bytewise, always},
    {"sliced", crc32_fold_sliced, always},
    {"clmul", crc32_fold_clmul, crc32_have_clmul},
    {"clmul256", crc32_fold_clmul256, crc32_have_clmul256},
    {"chosen", crc32_fold, always},
};

class Crc32Path : public ::testing::TestWithParam<FoldPath> {
   protected:
    void SetUp() override {
        if (!GetParam().available())
            GTEST_SKIP() << GetParam().name << ": this processor lacks the instructions";
    }
    uint32_t fold(uint32_t reg, const unsigned char *p, size_t n) {
        return GetParam().fold(reg, p, n);
    }
};

INSTANTIATE_TEST_SUITE_P(Folds, Crc32Path, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<FoldPath> &info) {
                             return std::string(info.param.name);
                         });

// Lengths up to 700 take in the short inputs left to the tables, one or two 128-bit steps, several
// 256-bit steps, every count of left-over blocks and of tail bytes; each at 64 alignments and
// from a different register. Each input ends where its allocation ends, so that a sanitizer build
// catches a block load reaching past the last byte.
TEST_P(Crc32Path, EveryLengthAtEveryAlignment) {
    constexpr size_t kMaxLength = 700;
    auto data = random_bytes(kMaxLength, 11);
    std::mt19937 gen(5);
    for (size_t offset = 0; offset < 64; offset++) {
        uint32_t expect = gen();
        const uint32_t start = expect;
        for (size_t n = 0; n <= kMaxLength; n++) {
            std::vector<unsigned char> exact(offset + n);
            std::copy(data.begin(), data.begin() + n, exact.begin() + offset);
            ASSERT_EQ(fold(start, exact.data() + offset, n), expect)
                << "offset " << offset << " length " << n << " register " << std::hex << start;
            if (n < kMaxLength) expect = slow_crc(&data[n], 1, expect);
        }
    }
}

TEST_P(Crc32Path, RandomLengthsAlignmentsAndRegisters) {
    auto data = random_bytes(64 + 20000, 12);
    std::mt19937 gen(6);
    for (int trial = 0; trial < 200; trial++) {
        size_t offset = gen() % 64, n = gen() % 20000;
        uint32_t reg = gen();
        const unsigned char *p = data.data() + offset;
        ASSERT_EQ(fold(reg, p, n), slow_crc(p, n, reg))
            << "offset " << offset << " length " << n << " register " << std::hex << reg;
    }
}

// A message of one set bit, at each bit position: a byte-order, lane-order or constant mistake
// moves that bit's contribution and shows here at a known position.
TEST_P(Crc32Path, EverySingleBit) {
    constexpr size_t kLength = 300;  // two 256-bit steps, two blocks, twelve tail bytes
    std::vector<unsigned char> msg(kLength, 0);
    for (size_t bit = 0; bit < 8 * kLength; bit++) {
        msg[bit / 8] = static_cast<unsigned char>(0x80u >> (bit % 8));
        ASSERT_EQ(fold(0, msg.data(), kLength), slow_crc(msg.data(), kLength, 0)) << "bit " << bit;
        msg[bit / 8] = 0;
    }
}

// The running form feeds blocks of whatever size the reader got: every cut must leave the
// register as the whole would.
TEST_P(Crc32Path, PiecesEqualWhole) {
    auto data = random_bytes(100001, 13);
    const unsigned char *p = data.data() + 1;  // odd start
    const size_t total = data.size() - 1;
    const uint32_t whole = slow_crc(p, total);
    const size_t pieces[] = {1,   7,   15,  16,  17,  63,  64,   65,   127,  128, 129,
                             255, 256, 257, 511, 512, 513, 1023, 1024, 2048, 4099};
    for (size_t piece : pieces) {
        uint32_t reg = 0xFFFFFFFFu;
        for (size_t at = 0; at < total; at += piece)
            reg = fold(reg, p + at, std::min(piece, total - at));
        EXPECT_EQ(reg, whole) << "pieces of " << piece;
    }
    std::mt19937 gen(7);
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t at = 0; at < total;) {
        size_t n = std::min<size_t>(gen() % 3000, total - at);
        reg = fold(reg, p + at, n);
        at += n;
    }
    EXPECT_EQ(reg, whole) << "random pieces";
}

TEST_P(Crc32Path, LargeInput) {
    static const auto data = random_bytes((8 << 20) + 18, 9);
    const unsigned char *p = data.data() + 5;
    const size_t n = data.size() - 5;
    static const uint32_t expect = slow_crc(p, n);
    EXPECT_EQ(fold(0xFFFFFFFFu, p, n), expect);
}

}  // namespace
}  // namespace zn
