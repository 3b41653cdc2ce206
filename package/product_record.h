// The product record (type 30): what a package installs, described for the installer and for the
// package tool. Its body is a sequence of fields, each
//
//   offset 0   tag      4 bytes, unsigned big-endian (ProductTag)
//   offset 4   length   4 bytes, unsigned big-endian: bytes of the value
//   offset 8   value    length bytes
//
// one after another to the end of the body. Text values are stored without a NUL; a number is
// 8 bytes (the high 32-bit word, then the low word, each big-endian); the flags are 4 bytes.
//
// Invariants of a body that decodes:
//   - the fields tile the body exactly: no header or value runs past its end;
//   - the body is at most kProductRecordMax bytes;
//   - a known text field holds at most kProductTextMax bytes and no NUL byte;
//   - a known number field is exactly kProductNumberWidth bytes, the flags field exactly
//     kProductFlagsWidth bytes.
// Every field is optional. A tag this version does not know is skipped whatever its length, so
// that later versions can add fields; a later field with the same tag as an earlier one replaces
// it. Flag bits this version does not know are kept as they are.
//
// Decoding does not check what the texts mean (that the default directory is absolute, say):
// that is for whoever acts on them. It only guarantees that they are NUL-terminated C strings of
// bounded length.
#ifndef ZN_PACKAGE_PRODUCT_RECORD_H
#define ZN_PACKAGE_PRODUCT_RECORD_H

#include <cstdint>

#include "string/dstr.h"

namespace zn {

// Field layout: offset and width in bytes.
constexpr uint32_t kProductFieldHeaderSize = 8;
constexpr uint32_t kProductTagOffset = 0;
constexpr uint32_t kProductLengthOffset = 4;
constexpr uint32_t kProductNumberWidth = 8;  // high word, then low word
constexpr uint32_t kProductFlagsWidth = 4;

// Longest body taken, in bytes: the record is read whole into memory.
constexpr uint32_t kProductRecordMax = 65536;

// Longest text value, in bytes (a NUL must fit behind it in product_info).
constexpr uint32_t kProductTextMax = 1023;

enum ProductTag : uint32_t {
    kProductTagName = 1,          // text
    kProductTagVersion = 2,       // text
    kProductTagDefaultDir = 3,    // text: the install directory offered
    kProductTagUnpackedSize = 4,  // number: bytes of the regular files in all archives
    kProductTagEntries = 5,       // number: entries of all archives, of every kind
    kProductTagFlags = 6,         // flags
};

// Bits of the flags field.
constexpr uint32_t kProductFlagProgress = 1u << 0;  // show the progress line by default

// The decoded fields. A has_ member is non-zero when its field was present; the value beside it
// means nothing otherwise (texts are then empty).
struct product_info {
    int has_name;
    char name[kProductTextMax + 1];
    int has_version;
    char version[kProductTextMax + 1];
    int has_default_dir;
    char default_dir[kProductTextMax + 1];
    int has_unpacked_size;
    uint64_t unpacked_size;
    int has_entries;
    uint64_t entries;
    int has_flags;
    uint32_t flags;
    int unknown_fields;  // fields with a tag this version does not know, skipped
};

// No field present.
void product_info_init(product_info *p);

// Decodes the length bytes of a product record's body into *out. Returns 0, or -1 when the body
// breaks an invariant above; *why (when why is not null) then points to a static text saying
// which, and *out holds no field. Purely textual.
int product_record_decode(const unsigned char *body, uint32_t length, product_info *out,
                          const char **why = nullptr);

// Appends to out the body that encodes every field present in p, in tag order (unknown_fields is
// not encoded). The body decodes to p again.
// REQUIRES: each text present is NUL-terminated and at most kProductTextMax bytes.
void product_record_encode(const product_info *p, dstr *out);

// A product record's body, read from fd (at its first byte) and decoded. Returns 0; -1 when it
// does not decode, or is longer than kProductRecordMax bytes (nothing is read then), with *why
// set as product_record_decode sets it; -2 when the file ends first. Reads the disk.
int product_record_read(int fd, const unsigned char *record_header, product_info *out,
                        const char **why = nullptr);

}  // namespace zn

#endif  // ZN_PACKAGE_PRODUCT_RECORD_H
