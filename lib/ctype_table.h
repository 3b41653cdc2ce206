// The support library's character-class table: 256 entries indexed by byte value, ASCII only
// (bytes 0x80 to 0xFF have no bits). It does not depend on the locale.
#ifndef ZN_LIB_CTYPE_TABLE_H
#define ZN_LIB_CTYPE_TABLE_H

#include <array>
#include <cstdint>

namespace zn {

enum : uint16_t {
    kCtypeAlpha = 0x1,    // letter
    kCtypeAscii = 0x2,    // 0x00 to 0x7F
    kCtypeDigit = 0x4,    // 0 to 9
    kCtypeUpper = 0x8,    // A to Z
    kCtypeLower = 0x10,   // a to z
    kCtypeXdigit = 0x20,  // 0-9, A-F, a-f
    kCtypeBlank = 0x40,   // tab, space
    kCtypeGraph = 0x80,   // 0x21 to 0x7E
    kCtypePrint = 0x100,  // 0x20 to 0x7E
    kCtypeSpace = 0x200,  // tab, line feed, vertical tab, form feed, carriage return, space
    kCtypePunct = 0x400,  // graphic, neither letter nor digit
};

namespace detail {

constexpr uint16_t ctype_class_of(int c) {
    if (c < 0 || c > 0x7F) return 0;
    bool upper = c >= 'A' && c <= 'Z';
    bool lower = c >= 'a' && c <= 'z';
    bool digit = c >= '0' && c <= '9';
    bool graph = c >= 0x21 && c <= 0x7E;
    uint16_t bits = kCtypeAscii;
    if (upper || lower) bits |= kCtypeAlpha;
    if (digit) bits |= kCtypeDigit;
    if (upper) bits |= kCtypeUpper;
    if (lower) bits |= kCtypeLower;
    if (digit || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) bits |= kCtypeXdigit;
    if (c == '\t' || c == ' ') bits |= kCtypeBlank;
    if (graph) bits |= kCtypeGraph;
    if (graph || c == ' ') bits |= kCtypePrint;
    if ((c >= '\t' && c <= '\r') || c == ' ') bits |= kCtypeSpace;
    if (graph && !upper && !lower && !digit) bits |= kCtypePunct;
    return bits;
}

constexpr std::array<uint16_t, 256> ctype_make_table() {
    std::array<uint16_t, 256> t{};
    for (int c = 0; c < 256; c++) t[c] = ctype_class_of(c);
    return t;
}

}  // namespace detail

// Indexed by an unsigned byte value.
inline constexpr std::array<uint16_t, 256> ctype_array = detail::ctype_make_table();

// Returns non-zero when byte c has any of the class bits in mask.
inline int ctype_is(unsigned char c, uint16_t mask) {
    return ctype_array[c] & mask;
}

}  // namespace zn

#endif  // ZN_LIB_CTYPE_TABLE_H
