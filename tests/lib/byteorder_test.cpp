#include "lib/byteorder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>

#include "lib/ctype_table.h"

namespace zn {
namespace {

TEST(ByteOrder, Get32AndPut32AtEveryAlignment) {
    unsigned char buf[12] = {};
    for (int at = 0; at < 8; at++) {
        LPUT32(buf + at, 0x01A2B3C4u);
        EXPECT_EQ(buf[at], 0x01);
        EXPECT_EQ(buf[at + 1], 0xA2);
        EXPECT_EQ(buf[at + 2], 0xB3);
        EXPECT_EQ(buf[at + 3], 0xC4);
        EXPECT_EQ(LGET32(buf + at), 0x01A2B3C4u) << "offset " << at;
    }
    const unsigned char shipped_length[4] = {0x00, 0x73, 0x11, 0xE4};
    EXPECT_EQ(LGET32(shipped_length), 7541220u);
}

TEST(ByteOrder, IdKeepsTagAndTenBits) {
    struct {
        int id;
        unsigned char first, second;
    } rows[] = {{0, 0x05, 0x00},
                {0xFF, 0x05, 0xFF},
                {0x100, 0x45, 0x00},
                {0x3FF, 0xC5, 0xFF},
                {0x2AB, 0x85, 0xAB}};
    for (const auto &row : rows) {
        unsigned char b[2];
        LPUT_ID(b, row.id);
        EXPECT_EQ(b[0], row.first) << row.id;
        EXPECT_EQ(b[1], row.second) << row.id;
        EXPECT_EQ(LGET_ID(b), row.id);
    }
}

TEST(ByteOrder, FloatIsLeastSignificantByteFirst) {
    unsigned char b[8];
    LPUT_FLOAT(b, 1.0);  // 0x3FF0000000000000
    const unsigned char want[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    for (int i = 0; i < 8; i++) EXPECT_EQ(b[i], want[i]) << i;
    LPUT_FLOAT(b, -2.5e-300);
    EXPECT_EQ(LGET_FLOAT(b), -2.5e-300);
}

// Every bit of every entry against the C library's classes in the C locale (which agree with
// the table on ASCII), and nothing at all above 0x7F.
TEST(CtypeArray, EveryBitOfEveryByte) {
    std::setlocale(LC_CTYPE, "C");
    for (int c = 0; c < 256; c++) {
        uint16_t want = 0;
        if (c < 0x80) {
            want |= kCtypeAscii;
            if (std::isalpha(c)) want |= kCtypeAlpha;
            if (std::isdigit(c)) want |= kCtypeDigit;
            if (std::isupper(c)) want |= kCtypeUpper;
            if (std::islower(c)) want |= kCtypeLower;
            if (std::isxdigit(c)) want |= kCtypeXdigit;
            if (std::isblank(c)) want |= kCtypeBlank;
            if (std::isgraph(c)) want |= kCtypeGraph;
            if (std::isprint(c)) want |= kCtypePrint;
            if (std::isspace(c)) want |= kCtypeSpace;
            if (std::ispunct(c)) want |= kCtypePunct;
        }
        EXPECT_EQ(ctype_array[c], want) << "byte 0x" << std::hex << c;
    }
    EXPECT_EQ(ctype_array[' '], kCtypeAscii | kCtypeBlank | kCtypePrint | kCtypeSpace);
    EXPECT_EQ(ctype_array['\v'], kCtypeAscii | kCtypeSpace);
}

}  // namespace
}  // namespace zn
