// Streaming decompression of bzip2 data between two callbacks: input is pulled from a read
// callback, every block of output is pushed, in order and exactly once, to a write callback.
// Streams that follow one another decode as one, as the bzip2 tool reads them: after a stream's
// end, input that begins with another stream's signature ("BZh" and a digit from 1 to 9) is
// decoded too; anything else after the last stream is ignored.
#ifndef ZN_PACKAGE_BZUNZIP_H
#define ZN_PACKAGE_BZUNZIP_H

#include <cstdint>

namespace zn {

struct bz_context;

// Places up to capacity bytes in buffer and returns their number; 0 (or less) means the input has
// ended. bzunzip always asks for kBzInputBlock bytes.
using bz_read_fn = int (*)(bz_context *ctx, char *buffer, int capacity);
// Consumes count bytes (0 to kBzOutputBlock). A non-zero result stops the decompression.
using bz_write_fn = int (*)(bz_context *ctx, const char *data, int count);

// Called before bzunzip prints a message, so that a writer that works on another thread can
// first finish what it was given: the message then follows the output it comes after.
using bz_sync_fn = void (*)(bz_context *ctx);

constexpr int kBzInputBlock = 2048;   // bytes asked of the read callback per call
constexpr int kBzOutputBlock = 4096;  // most bytes handed to the write callback per call

// Results of bzunzip.
enum : int {
    kBzOk = 0,            // the stream ended properly
    kBzCorrupt = -1,      // the decompressor reported an error (message printed)
    kBzTruncated = -2,    // the input ended before the stream did (message printed)
    kBzWriteFailed = -3,  // the write callback refused the data (its own message)
};

// Decompresses the stream (and those after it). handle is the caller's value, available to the
// callbacks through bz_handle(ctx). Returns one of the results above; ends the process with status
// 1 when the decompressor cannot be initialised. Messages on standard error, each after sync_cb
// (when given): "bzDecompress: failed, ret=%d\n" and "Premature end of compressed data\n".
int bzunzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
            bz_sync_fn sync_cb = nullptr);

// The handle given to bzunzip.
uintptr_t bz_handle(const bz_context *ctx);

}  // namespace zn

#endif  // ZN_PACKAGE_BZUNZIP_H
