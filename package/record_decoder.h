// The decompressor of a compressed record's body, chosen by the record's type, so that the
// archive and script handlers serve every compression with one body of code.
#ifndef ZN_PACKAGE_RECORD_DECODER_H
#define ZN_PACKAGE_RECORD_DECODER_H

#include <cstdint>

#include "package/bzunzip.h"

namespace zn {

// A decompressor with bzunzip's contract: the same callbacks and results; the messages are each
// decompressor's own.
using unzip_fn = int (*)(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
                         bz_sync_fn sync_cb);

// Returns the decompressor for the body of the record whose 5-byte header is at record_header:
// zstd_unzip for the zstd types, bz_decode (block-parallel bzip2) for the bzip2 types and any
// other.
unzip_fn record_decoder(const unsigned char *record_header);

}  // namespace zn

#endif  // ZN_PACKAGE_RECORD_DECODER_H
