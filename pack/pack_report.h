// `znpack list` and `znpack verify`: read a package file and report on it. These are commands:
// they print their results on standard output and their failures on standard error, and return
// the exit status. They read the file and change nothing.
#ifndef ZN_PACK_PACK_REPORT_H
#define ZN_PACK_PACK_REPORT_H

#include <cstdint>

#include "string/dstr.h"

namespace zn {

// Checks the package at path the way the installer does: the header is the first occurrence of
// the magic (find_package_header); the file size minus the header's offset must equal the
// payload length; the CRC-32 of the whole file, with the 4 stored CRC bytes counted as zero, must
// equal the stored CRC. Then every product record must decode (product_record.h). Returns 0 when
// all of these hold, 1 otherwise (each failed check is reported).
int pack_verify(const char *path);

// Opens the package at path and checks it as pack_verify does, each failure reported on standard
// error. Returns the read-only descriptor (the caller closes it) with *payload_offset and
// *file_size set, or -1 when the file cannot be read or a check failed.
int pack_open_verified(const char *path, uint32_t *payload_offset, uint64_t *file_size);

// Appends n bytes of text to d, each byte that is not printable ASCII as \xhh, so that what a
// package holds can never put control sequences on the terminal.
void pack_add_shown(dstr *d, const char *p, int n);

// Appends the fields of a product record, for one line: 'name "Zantho", version "2.1",
// default dir "~/zantho", 1234 bytes unpacked, 17 entries, progress line on', leaving out the
// fields it does not hold ("no fields" when it holds none). Texts are shown as pack_add_shown
// shows them.
struct product_info;
void pack_add_product(dstr *d, const product_info *p);

// Prints the header (offset, payload length, stored and calculated CRC) and one line per record:
// offset, body length, type and a detail (the product's fields or why they cannot be read, the
// environment text, the welcome text's first line, the licence's size, an archive's member count
// and sizes, a script's decompressed size). Returns 0, or 1 when there is no package or the
// record chain does not end at the end of the file.
int pack_list(const char *path);

}  // namespace zn

#endif  // ZN_PACK_PACK_REPORT_H
