// The inside of bzunzip, for the block-parallel decoder: the decompression context and the loop
// that bzunzip runs, which the parallel decoder resumes in the middle of a body when it has to
// reproduce exactly what bzunzip hands over (damaged or cut-short data).
//
// Invariants of a context: stream is a started decoder; stream.next_in / avail_in are the input
// not yet taken, inside input; input_ended is set once read_cb has returned 0 or less.
#ifndef ZN_PACKAGE_BZUNZIP_LOOP_H
#define ZN_PACKAGE_BZUNZIP_LOOP_H

#include <bzlib.h>

#include <cstddef>
#include <cstdint>

#include "package/bz_bits.h"
#include "package/bzunzip.h"

namespace zn {

// Most input bytes that can be made to lie together in front of a read (bz_gather_input): a
// bzip2 stream header, or a zstd frame header (at most 18 bytes).
constexpr int kBzInputKeepMax = 18;

struct bz_context {
    uintptr_t handle;
    bz_read_fn read_cb;  // what the loop reads through
    bz_write_fn write_cb;
    bz_sync_fn sync_cb;
    bz_read_fn source_cb;  // the caller's read callback, when read_cb stands in front of it
    void *source_state;    // the stand-in's own state
    bool input_ended;
    bz_stream stream;
    // Input, with room in front for the few bytes kept back while looking for the next stream
    // or frame.
    char input[kBzInputKeepMax - 1 + kBzInputBlock];
    char output[kBzOutputBlock];
};

// Sets the callbacks and the handle; no decoder yet, no input, input not ended.
void bz_context_init(bz_context *ctx, uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
                     bz_sync_fn sync_cb);

// Starts a fresh decoder in ctx->stream (input and output pointers cleared). Ends the process
// with status 1 after "bzDecompressInit: failed, ret=%d\n" when it cannot.
void bz_start_stream(bz_context *ctx);

// Makes at least need bytes of input (need <= kBzInputKeepMax) lie together, unless the input
// ends first: while fewer are at hand, moves the *avail bytes at `at` to the front of ctx->input
// and reads behind them. Returns where the bytes at hand begin, their count in *avail; bytes
// already enough stay where they are.
const char *bz_gather_input(bz_context *ctx, const char *at, size_t *avail, size_t need);

// Runs bzunzip's loop from the state in ctx until the last stream ends, an error, the input's
// end or a refused write; ends the decoder and returns bzunzip's result. With continuation set,
// the first call of the decompressor continues one already under way: it reads nothing first and
// takes ctx->stream.next_out / avail_out as they are, output[0 .. next_out) being what that call
// has produced so far (handed over with the rest of its output, or dropped if it fails).
int bz_run(bz_context *ctx, bool continuation);

}  // namespace zn

#endif  // ZN_PACKAGE_BZUNZIP_LOOP_H
