#include "package/bz_bits.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "lib/crc32.h"

namespace zn {
namespace {

// Every marker at every bit alignment is found at its exact position, also past a first
// candidate that only looks like one and from a scan that starts on it, and not before all its
// 48 bits are at hand.
TEST(BzBits, FindsEveryMarkerAtEveryAlignment) {
    std::mt19937 gen(3);
    for (int kind : {kBzBlock, kBzEnd}) {
        for (uint64_t at = 200; at < 216; at++) {
            unsigned char buf[64];
            for (unsigned char &c : buf) c = static_cast<unsigned char>(gen());
            bz_bit_writer w = {buf, 0};
            uint64_t marker = kind == kBzBlock ? kBzBlockMarker : kBzEndMarker;
            // The marker but for its last 8 bits, twice, earlier on: found by its key bytes,
            // refused by the full check.
            for (uint64_t decoy : {uint64_t(17), uint64_t(100)}) {
                w.bit = decoy;
                bz_put_bits(&w, marker ^ 0xFF, kBzMarkerBits);
            }
            w.bit = at;
            bz_put_bits(&w, marker, kBzMarkerBits);
            uint64_t found = 0;
            int found_kind = -1;
            ASSERT_EQ(bz_find_marker(buf, sizeof buf, 0, &found, &found_kind), 1) << at;
            EXPECT_EQ(found, at);
            EXPECT_EQ(found_kind, kind);
            EXPECT_EQ(bz_find_marker(buf, size_t((at + kBzMarkerBits) / 8), 0, &found, &found_kind),
                      (at + kBzMarkerBits) % 8 == 0)
                << at;
            // A scan that starts at the marker's first bit finds it; one bit later, nothing.
            found = 0;
            EXPECT_EQ(bz_find_marker(buf, sizeof buf, at, &found, &found_kind), 1) << at;
            EXPECT_EQ(found, at);
            EXPECT_EQ(bz_find_marker(buf, sizeof buf, at + 1, &found, &found_kind), 0) << at;
        }
    }
}

// Bit copies between any alignments leave every bit outside the range as it was.
TEST(BzBits, CopiesBitRangesAtAnyAlignment) {
    std::mt19937 gen(4);
    unsigned char src[40];
    for (unsigned char &c : src) c = static_cast<unsigned char>(gen());
    for (uint64_t from : {0, 3, 8, 13}) {
        for (uint64_t to : {0, 5, 16, 31}) {
            for (uint64_t n : {1, 7, 8, 9, 64, 200}) {
                unsigned char dst[40];
                std::memset(dst, 0xA5, sizeof dst);
                bz_bits_copy(dst, to, src, from, n);
                for (uint64_t b = 0; b < 8 * sizeof dst; b++) {
                    int want = b >= to && b < to + n ? int(bz_bits_get(src, from + b - to, 1))
                                                     : (0xA5 >> (7 - b % 8)) & 1;
                    ASSERT_EQ(int(bz_bits_get(dst, b, 1)), want)
                        << "from " << from << " to " << to << " n " << n << " bit " << b;
                }
            }
        }
    }
}

// The synthetic block decodes in libbzip2 to four bytes whose CRC is the one asked for, with the
// length asked for modulo 8, four equal bytes among them.
TEST(BzBits, SyntheticBlockHasTheCrcAndLengthAskedFor) {
    for (uint32_t crc : {0u, 0xFFFFFFFFu, 0x12345678u, crc32("aaaa", 4), crc32("\0\0\0\0", 4)}) {
        for (int mod8 = 0; mod8 < 8; mod8++) {
            unsigned char buf[kBzHeaderBytes + kBzSyntheticMaxBytes + 16] = {'B', 'Z', 'h', '9'};
            bz_bit_writer w = {buf, 8 * uint64_t(kBzHeaderBytes)};
            uint64_t bits = bz_synthetic_block(&w, crc, mod8);
            EXPECT_EQ(int(bits % 8), mod8);
            bz_put_bits(&w, kBzEndMarker, kBzMarkerBits);
            bz_put_bits(&w, crc, kBzCrcBits);
            char out[16];
            unsigned out_len = sizeof out;
            ASSERT_EQ(BZ2_bzBuffToBuffDecompress(out, &out_len, reinterpret_cast<char *>(buf),
                                                 unsigned((w.bit + 7) / 8), 0, 0),
                      BZ_OK)
                << std::hex << crc << " " << mod8;
            ASSERT_EQ(out_len, kBzSyntheticOutput);
            EXPECT_EQ(crc32(out, int(out_len)), crc);
        }
    }
}

}  // namespace
}  // namespace zn
