// The product a package installs, as its product record describes it, and what the installer
// does with that before anything is written: the directory it offers, the version line, -info
// and the free-space check.
#ifndef ZN_INSTALL_PRODUCT_H
#define ZN_INSTALL_PRODUCT_H

#include <cstdint>

#include "package/product_record.h"

namespace zn {

// The first product record of the package, read by product_load; no field is present when the
// package has none.
extern product_info product;

// What a walk over the record headers found: enough for -info, the progress line and the
// free-space check without reading a body twice.
struct package_summary {
    int has_product;          // a product record was found (and decoded into product)
    uint64_t archive_bytes;   // compressed bytes of every archive record
    int archives;             // archive records
    int bzip2, zstd;          // archive and script records of each compression
    int scripts;              // script records
    int programs;             // program records
    uint32_t licence_length;  // the first licence record's body length (0: none)
};
extern package_summary summary;

// Walks the record headers from payload_offset to file_size, fills summary and reads the first
// product record into product. Returns 0; -1 when the product record does not decode (why set
// to a static text); -2 when a record header is cut short (summary then holds what came before
// it). Reads fd; its file position is left anywhere.
int product_scan(int fd, uint32_t payload_offset, uint64_t file_size, const char **why);

// product_scan for the installer: a product record that does not decode ends the run with
// "Damaged product record in package file: <why>" on standard error, status 1.
void product_load(uint32_t payload_offset, uint64_t file_size);

// Prints "NAME VERSION" (what the product record has of the two) as a line on standard output,
// when the package open at fd has a product record that names either. Prints nothing otherwise,
// whatever is wrong with the file: the installer's own version line follows in any case.
void product_version_line(int fd, uint64_t file_size);

// -info: prints the product's fields, the unpacked size and entry count, the compression, the
// licence, whether a script or helper programs will run, the environment settings, and the
// package's size and stored CRC. Writes nothing; returns 0 or ends the run on a record the
// installer would stop at.
int product_info_print(uint32_t payload_offset, uint64_t file_size, uint32_t stored_crc);

// Prints "licence N bytes" and the licence text (the descriptor at the body of a licence
// record whose body is length bytes), with control bytes escaped as -list escapes names. A body cut
// short ends the run with "Premature EOF detected".
void licence_list(int fd, uint32_t length);

// Before anything is written for a package that has archives (and without -nodiskspace), when
// the product record gives the unpacked size and entry count: the file system of dir (of its
// nearest existing ancestor, when dir is still to be made) must have room for the size plus one
// block per entry, and for the entries in free inodes where it counts them. When it has not,
// prints "Error: Not enough free space in <dir>: <needed> needed, <available> available." and
// ends the run with status 1. Reads statvfs.
void product_space_check(const char *dir);

// Writes bytes in human units into out (size bytes): "512 bytes", "1.5 KiB", "181.2 MiB", ...
// Purely textual.
void human_size(uint64_t bytes, char *out, int size);

}  // namespace zn

#endif  // ZN_INSTALL_PRODUCT_H
