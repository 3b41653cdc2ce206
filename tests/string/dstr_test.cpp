#include "string/dstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/chk.h"

namespace zn {
namespace {

std::vector<unsigned char> bytes_of(const dstr &d) {
    return std::vector<unsigned char>(d.dl_ptr, d.dl_ptr + d.dl_len);
}

TEST(Dstr, AddCharGrowsBy64WhenOneByteIsLeft) {
    dstr d;
    dstr_init(&d, 8);
    for (int i = 1; i <= 100; i++) {
        dstr_add_char(&d, 'a' + i % 26);
        int want = i < 8 ? 8 : i < 72 ? 8 + 64 : 8 + 128;
        ASSERT_EQ(d.dl_size, want) << "after character " << i;
        ASSERT_EQ(d.dl_len, i);
    }
    dstr_add_char(&d, 0);
    EXPECT_EQ(d.dl_len, 101);
    EXPECT_EQ(std::string(d.dl_ptr).size(), 100u);
    dstr_free(&d);
    EXPECT_EQ(d.dl_ptr, nullptr);
    dstr_free(&d);  // a second free is harmless
}

TEST(Dstr, AddMemGrowsByATenthPlusNeed) {
    dstr d;
    dstr_init(&d, 100);
    dstr_add_mem(&d, "0123456789", 10);
    std::vector<char> big(1000, 'x');
    dstr_add_mem(&d, big.data(), 1000);
    EXPECT_EQ(d.dl_size, 1174);
    EXPECT_EQ(d.dl_len, 1010);
    EXPECT_EQ(std::string(d.dl_ptr, 10), "0123456789");
    dstr_add_mem(&d, big.data(), 0);
    dstr_add_mem(&d, big.data(), -3);
    EXPECT_EQ(d.dl_len, 1010);
    dstr_free(&d);
}

// Growth amounts of the other appending operations, from a full buffer of capacity 4.
TEST(Dstr, GrowthPerOperation) {
    struct Row {
        const char *name;
        void (*op)(dstr *);
        int size_after;
        int len_after;
    } rows[] = {
        {"terminate", [](dstr *d) { dstr_terminate(d); }, 4 + 8, 5},
        {"reserve 3", [](dstr *d) { dstr_reserve(d, 3); }, 4 + 3 + 64, 7},
        {"reserve_zero 3", [](dstr *d) { dstr_reserve_zero(d, 3); }, 4 + 3 + 64, 7},
        {"add_string 2", [](dstr *d) { dstr_add_string(d, "xy", 2); }, 4 + 2 + 64, 6},
        {"add_nchar 5", [](dstr *d) { dstr_add_nchar(d, '-', 5); }, 4 + 5 + 64, 9},
        {"add_id", [](dstr *d) { dstr_add_id(d, 7); }, 4 + 64, 6},
        {"add_int16", [](dstr *d) { dstr_add_int16(d, 7); }, 4 + 64, 6},
        {"add_int24", [](dstr *d) { dstr_add_int24(d, 7); }, 4 + 64, 7},
        {"add_int32", [](dstr *d) { dstr_add_int32(d, 7); }, 4 + 64, 8},
        {"add_int64", [](dstr *d) { dstr_add_int64(d, 7); }, 4 + 8, 12},
        {"add_int short", [](dstr *d) { dstr_add_int(d, 7); }, 4 + 2 + 64, 6},
        {"add_int long", [](dstr *d) { dstr_add_int(d, 700); }, 4 + 5 + 64, 9},
        {"add_integer", [](dstr *d) { dstr_add_integer(d, 7); }, 4 + 9, 6},
        {"add_float", [](dstr *d) { dstr_add_float(d, 1.5); }, 4 + 73, 13},
        {"add_null", [](dstr *d) { dstr_add_null(d); }, 4 + 8, 5},
        {"add_ptr", [](dstr *d) { dstr_add_ptr(d, 9, 7); }, 4 + 64, 9},
    };
    for (const Row &row : rows) {
        dstr d;
        dstr_setup(&d, chk_strndup("abcd", 4), 4);
        row.op(&d);
        EXPECT_EQ(d.dl_size, row.size_after) << row.name;
        EXPECT_EQ(d.dl_len, row.len_after) << row.name;
        EXPECT_EQ(std::string(d.dl_ptr, 4), "abcd") << row.name;
        dstr_free(&d);
    }
}

TEST(Dstr, TaggedIntegerBytes) {
    struct {
        int64_t v;
        bool wide;  // through dstr_add_integer
        std::vector<unsigned char> want;
    } rows[] = {
        {127, false, {0x0E, 0x7F}},
        {-127, false, {0x0E, 0x81}},
        {128, false, {0x01, 0x00, 0x00, 0x00, 0x80}},
        {-128, false, {0x01, 0xFF, 0xFF, 0xFF, 0x80}},
        {0, true, {0x0E, 0x00}},
        {-127, true, {0x0E, 0x81}},
        {INT32_MAX, true, {0x01, 0x7F, 0xFF, 0xFF, 0xFF}},
        {INT32_MIN, true, {0x01, 0x80, 0x00, 0x00, 0x00}},
        {int64_t(INT32_MAX) + 1, true, {0x10, 0, 0, 0, 0, 0x80, 0, 0, 0}},
        {-0x123456789A, true, {0x10, 0xFF, 0xFF, 0xFF, 0xED, 0xCB, 0xA9, 0x87, 0x66}},
    };
    for (const auto &row : rows) {
        dstr d;
        dstr_init(&d, 4);
        if (row.wide)
            dstr_add_integer(&d, row.v);
        else
            dstr_add_int(&d, static_cast<int>(row.v));
        EXPECT_EQ(bytes_of(d), row.want) << row.v << (row.wide ? " (64-bit)" : "");
        dstr_free(&d);
    }
}

TEST(Dstr, FixedWidthAndOtherTags) {
    dstr d;
    dstr_init(&d, 0);
    dstr_add_int16(&d, 0x1234);
    dstr_add_int24(&d, 0xABCDEF);
    dstr_add_int32(&d, 0xDEADBEEF);
    dstr_add_int64(&d, 0x0102030405060708ull);
    dstr_add_id(&d, 0x301);
    dstr_add_null(&d);
    dstr_add_ptr(&d, 0x22, 0x01020304);
    dstr_add_float(&d, 1.0);
    dstr_add_int_2(&d, 1, -200);
    std::vector<unsigned char> want = {
        0x12, 0x34, 0xAB, 0xCD, 0xEF, 0xDE, 0xAD, 0xBE, 0xEF, 1,    2,    3,    4,   5,
        6,    7,    8,    0xC5, 0x01, 0x04, 0x22, 1,    2,    3,    4,    0x0A, 0,   0,
        0,    0,    0,    0,    0xF0, 0x3F, 0x0E, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x38};
    EXPECT_EQ(bytes_of(d), want);
    dstr_free(&d);
}

TEST(Dstr, EscapedText) {
    struct {
        std::string in;
        std::string want;
    } rows[] = {
        {"plain text", "plain text"},
        {"say \"hi\"\\", "say \\\"hi\\\"\\\\"},
        {std::string("a\0b", 3), "a\\000b"},
        {"\n\t\r\f\b", "\\n\\t\\r\\f\\b"},
        {"\x01\x1f\x7f", "\\x01\\x1f\x7f"},
        {"\x80\xff", "\\x80\\xff"},
        {"", ""},
    };
    for (const auto &row : rows) {
        dstr d;
        dstr_init(&d, 2);
        dstr_add_cstring(&d, row.in.data(), static_cast<int>(row.in.size()));
        EXPECT_EQ(std::string(d.dl_ptr, d.dl_len), row.want) << row.want;
        dstr_free(&d);
    }
}

TEST(Dstr, RemoveFromFront) {
    dstr d;
    dstr_init(&d, 16);
    dstr_add_mem(&d, "abcdef", 6);
    dstr_remove(&d, 3);
    EXPECT_EQ(std::string(d.dl_ptr, d.dl_len), "def");
    dstr_remove(&d, 0);
    EXPECT_EQ(d.dl_len, 3);
    dstr_remove(&d, 9);
    EXPECT_EQ(d.dl_len, 0);
    dstr_free(&d);
}

TEST(Dstr, SizingOperations) {
    dstr d;
    d.dl_ptr = nullptr;
    d.dl_size = 0;
    d.dl_len = 0;
    dstr_resize(&d, 10);  // from nothing: zero-filled
    EXPECT_EQ(d.dl_size, 10);
    for (int i = 0; i < 10; i++) EXPECT_EQ(d.dl_ptr[i], 0);
    dstr_add_mem(&d, "xyz", 3);
    dstr_resize(&d, 20);
    EXPECT_EQ(d.dl_len, 3);
    EXPECT_EQ(std::string(d.dl_ptr, 3), "xyz");
    for (int i = 10; i < 20; i++) EXPECT_EQ(d.dl_ptr[i], 0) << i;
    dstr_resize(&d, 5);  // never shrinks
    EXPECT_EQ(d.dl_size, 20);
    dstr_size(&d, 30);
    EXPECT_EQ(d.dl_size, 30);
    EXPECT_EQ(d.dl_len, 30);
    dstr_set_size(&d, 12);
    EXPECT_EQ(d.dl_len, 12);
    dstr_set_space(&d, 30);  // same size: nothing
    EXPECT_EQ(d.dl_len, 12);
    dstr_set_space(&d, 50);
    EXPECT_EQ(d.dl_size, 50);
    EXPECT_EQ(d.dl_len, 0);
    dstr_clear(&d);
    dstr_free(&d);

    dstr z;
    dstr_zinit(&z, 32);
    for (int i = 0; i < 32; i++) EXPECT_EQ(z.dl_ptr[i], 0);
    dstr_free(&z);

    // Growth zero-fills even when the memory it gets held other data: a block of the new size
    // is filled and freed first, for the allocator to hand out again.
    constexpr int kGrown = 64 * 1024;
    dstr_init(&z, 16);
    char *used = static_cast<char *>(chk_alloc(kGrown));
    std::memset(used, 0xA5, kGrown);
    chk_free(used);
    dstr_resize(&z, kGrown);
    int nonzero = 0;
    for (int i = 16; i < kGrown; i++) nonzero += z.dl_ptr[i] != 0;
    EXPECT_EQ(nonzero, 0);
    dstr_free(&z);
}

TEST(DstrDeathTest, SetSizeBeyondCapacityAsserts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dstr d;
    dstr_init(&d, 8);
    // The source is named by its path in the project, not on the build machine.
    EXPECT_DEATH(dstr_set_size(&d, 9), ": string/dstr\\.cpp:[0-9]+: .*size <= dstr->dl_size");
    dstr_free(&d);
}

}  // namespace
}  // namespace zn
