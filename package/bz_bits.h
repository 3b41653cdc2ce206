// Bit-level pieces of the bzip2 stream format, for decoding blocks apart from their stream and
// for joining blocks compressed apart into one stream. Everything here is purely computational:
// no allocation, no system calls, no messages.
//
// A stream is "BZh" and a block-size digit '1'..'9', then blocks, then the end marker and the
// stream's combined CRC, padded with zero bits to a whole byte. A block begins with the 48-bit
// block marker and its 32-bit CRC; blocks follow one another without padding, so each begins at
// an arbitrary bit position. Bits are numbered from the most significant bit of the first byte.
// The combined CRC folds in each block's CRC in order: combined = rotl1(combined) ^ block_crc.
#ifndef ZN_PACKAGE_BZ_BITS_H
#define ZN_PACKAGE_BZ_BITS_H

#include <cstddef>
#include <cstdint>

namespace zn {

constexpr uint64_t kBzBlockMarker = 0x314159265359ull;  // 48 bits: a block begins
constexpr uint64_t kBzEndMarker = 0x177245385090ull;    // 48 bits: the stream ends
constexpr int kBzMarkerBits = 48;
constexpr int kBzCrcBits = 32;
constexpr int kBzHeaderBytes = 4;  // "BZh" and the digit
// Bits from a marker's first bit to the end of the CRC that follows it.
constexpr int kBzMarkerAndCrcBits = kBzMarkerBits + kBzCrcBits;

enum bz_marker_kind : int { kBzBlock = 0, kBzEnd = 1 };

// The combined CRC after one more block.
inline uint32_t bz_crc_fold(uint32_t combined, uint32_t block_crc) {
    return ((combined << 1) | (combined >> 31)) ^ block_crc;
}

// True when the 4 bytes at p are a stream header ("BZh" and a digit from 1 to 9).
bool bz_is_stream_header(const unsigned char *p);

// The n bits (0 <= n <= 57) at bit position bit of data, as a number.
// REQUIRES: data holds the bytes those bits lie in.
uint64_t bz_bits_get(const unsigned char *data, uint64_t bit, int n);

// Copies nbits bits from src at bit src_bit to dst at bit dst_bit. Bits of dst outside the range
// are kept. REQUIRES: the ranges do not overlap.
void bz_bits_copy(unsigned char *dst, uint64_t dst_bit, const unsigned char *src, uint64_t src_bit,
                  uint64_t nbits);

// Finds the first marker of either kind that begins at a bit position from from_bit on and lies
// wholly within the len bytes of data. Returns 1 with its position and kind, or 0 when there is
// none; every position whose 48 bits do not fit yet is left for a later call with more data.
// Byte-aligned: every fourth byte and the one after it are looked up in two small tables (every
// marker holds one such pair whole, whatever its alignment), and each candidate is then checked
// in full.
int bz_find_marker(const unsigned char *data, size_t len, uint64_t from_bit, uint64_t *at,
                   int *kind);

// Writes bits most significant first into a zeroed buffer.
struct bz_bit_writer {
    unsigned char *buf;  // zero-filled, large enough for every bit put
    uint64_t bit;        // next bit position
};

// Appends the n low bits of value (n <= 57).
void bz_put_bits(bz_bit_writer *w, uint64_t value, int n);

// Most bytes bz_synthetic_block writes.
constexpr size_t kBzSyntheticMaxBytes = 48;

// Writes at w a complete block of kBzSyntheticOutput bytes whose CRC is crc and whose length in
// bits is congruent to length_mod8 modulo 8. A decoder that reads a stream header and this block
// is left with crc as its combined CRC (the first block folds into zero) and at the bit alignment
// asked for: the state it would have at a block boundary deep inside a stream. Returns the
// block's length in bits. REQUIRES: w->buf has kBzSyntheticMaxBytes zero bytes from w->bit on.
uint64_t bz_synthetic_block(bz_bit_writer *w, uint32_t crc, int length_mod8);
constexpr unsigned kBzSyntheticOutput = 4;  // bytes the synthetic block decodes to

// Writes at dst a stream of one or more consecutive blocks taken from a larger stream: the
// header with digit, the nbits bits at src_bit, the end marker, the combined CRC given, and the
// padding. Returns its length in bytes. REQUIRES: dst has bz_stream_of_bits_size(nbits) bytes.
size_t bz_stream_of_bits(unsigned char *dst, char digit, const unsigned char *src, uint64_t src_bit,
                         uint64_t nbits, uint32_t combined);
inline size_t bz_stream_of_bits_size(uint64_t nbits) {
    return kBzHeaderBytes + size_t((nbits + kBzMarkerAndCrcBits + 7) / 8);
}

}  // namespace zn

#endif  // ZN_PACKAGE_BZ_BITS_H
