// Checking a package file, for the installer and the package tool alike: where its header is,
// whether the header is there whole and begins with the magic, and the CRC-32 of the whole file
// with the stored CRC counted as zero. It prints nothing and decides nothing: each tool compares
// what is found here and words the outcome itself.
//
// The file is read twice, each time from its start and in order: once by the header search
// (find_package_header), once for the CRC, in chunks of kCheckChunk bytes through one buffer.
// So a package larger than memory is checked in the memory of one chunk.
//
// Checks it does not make: that the records are well formed or that their bodies decode (the
// record walk finds that, and the CRC only shows that the file is as it was written), and that
// the file holds one package only (the first magic wins, as for the installer).
#ifndef ZN_PACKAGE_PACKAGE_CHECK_H
#define ZN_PACKAGE_PACKAGE_CHECK_H

#include <cstdint>

#include "package/package_format.h"

namespace zn {

constexpr int kCheckChunk = 64 * 1024;  // bytes read and folded into the CRC per step

// What package_check_file found. Invariant: magic_ok implies header_whole; crc_whole implies
// magic_ok.
struct package_check {
    uint64_t file_size;      // as the caller gave it
    uint32_t header_offset;  // find_package_header's result: 0 when the magic is nowhere
    int magic_seen;          // the 14 magic bytes are in the file (at offset 0 too)
    int header_whole;        // kPackageHeaderSize bytes were read at header_offset
    int magic_ok;            // and they begin with the magic and its NUL
    unsigned char raw[kPackageHeaderSize];  // the header as read, stored CRC included
    package_header header;                  // decoded from raw; valid when header_whole
    int crc_whole;                          // calculated_crc covers every byte of the file
    uint32_t calculated_crc;  // CRC-32 of what was folded, the stored CRC counted as zero
};

// Called after each chunk of the program image (the bytes before the header) with the bytes of
// it read so far and its size.
using package_check_progress = void (*)(void *ctx, uint64_t done, uint64_t total);

// Checks the package open at fd whose size is file_size, filling *c. The image is folded into the
// CRC as it is read; the header and the rest of the file only when magic_ok holds. progress (may
// be null) gets ctx. Returns 0, or -1 when a read failed (errno set): reading stops there, and *c
// holds what was found before it (crc_whole 0, so a caller that compares the CRC anyway sees it
// fail). Touches the file position of fd.
int package_check_file(int fd, uint64_t file_size, package_check *c,
                       package_check_progress progress, void *ctx);

// The file size the header asks for: the header's offset plus its payload length.
// REQUIRES: c->header_whole.
uint64_t package_check_wanted_size(const package_check *c);

// Returns 1 when the file is as long as its header says, else 0. REQUIRES: c->header_whole.
int package_check_length_ok(const package_check *c);

// Returns 1 when the CRC of the whole file matches the stored one, else 0.
int package_check_crc_ok(const package_check *c);

}  // namespace zn

#endif  // ZN_PACKAGE_PACKAGE_CHECK_H
