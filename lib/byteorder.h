// Byte-order codecs for the package format and the dstr tagged values.
//
// Every multi-byte integer in a package is an unsigned 32-bit big-endian value. These helpers
// read and write at any alignment: they go through single bytes, never through a wider load.
// All of them are purely textual.
#ifndef ZN_LIB_BYTEORDER_H
#define ZN_LIB_BYTEORDER_H

#include <cstdint>
#include <cstring>

namespace zn {

// Returns the big-endian 32-bit value stored in the four bytes at p.
inline uint32_t LGET32(const void *p) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

// Stores v at p as four big-endian bytes.
// REQUIRES: p has room for 4 bytes.
inline void LPUT32(void *p, uint32_t v) {
    unsigned char *b = static_cast<unsigned char *>(p);
    b[0] = static_cast<unsigned char>(v >> 24);
    b[1] = static_cast<unsigned char>(v >> 16);
    b[2] = static_cast<unsigned char>(v >> 8);
    b[3] = static_cast<unsigned char>(v);
}

// Tag that LPUT_ID keeps in the low six bits of its first byte.
constexpr int kIdTag = 5;

// Stores a 10-bit id in two bytes: the first holds kIdTag in its low six bits and id bits 8 and 9
// in its top two bits, the second holds the low eight bits of id.
// REQUIRES: p has room for 2 bytes.
inline void LPUT_ID(void *p, int id) {
    unsigned char *b = static_cast<unsigned char *>(p);
    b[0] = static_cast<unsigned char>(((id >> 2) & ~0x3F) + kIdTag);
    b[1] = static_cast<unsigned char>(id);
}

// Returns the 10-bit id that LPUT_ID stored at p.
inline int LGET_ID(const void *p) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    return ((b[0] & 0xC0) * 4) | b[1];
}

// Stores the eight bytes of the IEEE 754 double v, least significant byte first.
// REQUIRES: p has room for 8 bytes.
inline void LPUT_FLOAT(void *p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    unsigned char *b = static_cast<unsigned char *>(p);
    for (int i = 0; i < 8; i++) b[i] = static_cast<unsigned char>(bits >> (8 * i));
}

// Returns the double that LPUT_FLOAT stored at p.
inline double LGET_FLOAT(const void *p) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits |= uint64_t(b[i]) << (8 * i);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace zn

#endif  // ZN_LIB_BYTEORDER_H
