// zstd streams for the package tool, the counterparts of bzip_stream.h: a compressor that pushes
// its frames to a sink and a decompressor that pulls them from a source, each through a fixed
// amount of memory whatever the size of the data.
//
// Both own their buffers and library contexts from _init until _free; _free is harmless after a
// failed _init and when called twice. Failures record a text with pack_error and return -1.
#ifndef ZN_PACK_ZSTD_STREAM_H
#define ZN_PACK_ZSTD_STREAM_H

#include <zstd.h>

#include <cstddef>
#include <cstdint>

#include "pack/bzip_stream.h"

namespace zn {

// Level used when none is named: packages are built once and installed many times, so a high
// one, whose decoding is as fast as any level's.
constexpr int kZstdDefaultLevel = 19;

// log2 of the largest window the compressor uses (8 MiB). The installer keeps a whole window in
// memory while it decodes, so this bounds its memory; levels that would use more are held to it.
constexpr int kZstdWindowLogCap = 23;

struct zstd_writer {
    ZSTD_CCtx *cctx;
    byte_sink sink;
    void *ctx;
    char *out;           // kZstdOutBlock bytes, from chk_alloc
    uint64_t bytes_in;   // uncompressed bytes taken
    uint64_t bytes_out;  // compressed bytes handed to the sink
};

// Starts a frame at level (1 to ZSTD_maxCLevel()) with a content checksum, compressed by threads
// worker threads (at least 1). The output depends on the data and the level only, not on the
// number of threads. Returns 0 or -1.
int zstd_writer_init(zstd_writer *w, int level, int threads, byte_sink sink, void *ctx);

// Compresses n bytes, handing every full output block to the sink. Returns 0 or -1.
int zstd_writer_write(zstd_writer *w, const void *data, size_t n);

// Ends the frame and hands the rest of the output to the sink. Returns 0 or -1.
// REQUIRES: zstd_writer_init succeeded and no call failed since.
int zstd_writer_finish(zstd_writer *w);

void zstd_writer_free(zstd_writer *w);

struct zstd_reader {
    ZSTD_DCtx *dctx;
    byte_source source;
    void *ctx;
    char *in;  // kZstdInBlock bytes, from chk_alloc
    ZSTD_inBuffer input;
    int at_end;          // the source has ended
    int frames;          // frames decoded whole
    size_t after_frame;  // bytes taken since the last frame ended
    int ended;           // the data has ended
    uint64_t bytes_out;  // decompressed bytes handed out
    int frame_start;     // the next byte taken begins a frame
    // The frame's content size as its header states it, and what it has decoded to so far.
    unsigned long long declared;
    uint64_t decoded;
};

// Starts decompressing what source supplies, with the installer's window limit. Returns 0 or -1.
int zstd_reader_init(zstd_reader *r, byte_source source, void *ctx);

// Places up to n decompressed bytes in buf. Returns the count (> 0), 0 once the data has ended,
// or -1 for data that is not zstd, is corrupt, needs too large a window, or ends inside a frame.
// Frames that follow one another read as one; after a whole frame, bytes that do not begin
// another end the data, as they do for the installer.
// REQUIRES: n > 0.
long zstd_reader_read(zstd_reader *r, void *buf, size_t n);

void zstd_reader_free(zstd_reader *r);

}  // namespace zn

#endif  // ZN_PACK_ZSTD_STREAM_H
