// Streaming decompression of zstd data with bzunzip's contract: the same read, write and sync
// callbacks, the same results, input pulled kBzInputBlock bytes at a time and output pushed, in
// order and exactly once, in pieces of at most kBzOutputBlock bytes.
//
// Frames that follow one another decode as one (skippable frames are passed over). Once at least
// one frame has ended, bytes that do not begin with a frame's magic number end the data and are
// ignored, as bzunzip ignores what follows its last stream. Only frames of the standard format
// count: the magic numbers of the library's pre-standard formats are not taken as frames.
//
// A frame may ask for a window of at most 2^kZstdWindowLogMax bytes: the decoder reserves the
// window in full, so a larger one is refused rather than letting a hostile body make the
// installer reserve gigabytes.
#ifndef ZN_PACKAGE_ZSTD_UNZIP_H
#define ZN_PACKAGE_ZSTD_UNZIP_H

#include <cstdint>

#include "package/bzunzip.h"

namespace zn {

constexpr int kZstdWindowLogMax = 27;  // log2 of the largest window accepted (128 MiB)

// Decompresses the frames that read_cb supplies. handle is the caller's value, available to the
// callbacks through bz_handle(ctx). Returns kBzOk when the last frame ended whole, kBzCorrupt for
// data the library rejects (a frame over the window limit included) and for a frame that
// decodes to other than the content size its header states, kBzTruncated when the input
// ends inside a frame (or holds no frame at all), kBzWriteFailed when write_cb refused the data.
// Each failure but the last prints "zstd: %s\n" on standard error (after sync_cb, when given) with
// the library's name for the error; a cut frame is named as the library names a source of the
// wrong size. Ends the process with status 1 when the decoder cannot be set up.
int zstd_unzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
               bz_sync_fn sync_cb = nullptr);

}  // namespace zn

#endif  // ZN_PACKAGE_ZSTD_UNZIP_H
