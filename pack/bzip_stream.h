// bzip2 streams for the package tool: a compressor that pushes its output to a sink, so that an
// archive of any size passes through a fixed amount of memory, and a decompressor that pulls its
// input from a source. The compressor works on every core (bz_pieces): its output is one stream,
// the same bytes whatever the number of threads (ZN_THREADS, else the processors available).
//
// Both own their buffers from _init until _free; _free is harmless after a failed _init and when
// called twice. Failures record a text with pack_error and return -1.
#ifndef ZN_PACK_BZIP_STREAM_H
#define ZN_PACK_BZIP_STREAM_H

#include <bzlib.h>

#include <cstddef>
#include <cstdint>

namespace zn {

// Receives n bytes. Returns 0, or -1 after recording a text with pack_error.
typedef int (*byte_sink)(void *ctx, const void *data, size_t n);

// Places up to n bytes in buf. Returns the count, 0 at the end of the input, or -1 after
// recording a text with pack_error.
typedef long (*byte_source)(void *ctx, void *buf, size_t n);

// Block size level given to the compressor: the largest (900 KB blocks), as packages ship it.
constexpr int kBzLevel = 9;

struct bz_pieces;

struct bz_writer {
    bz_pieces *pieces;   // the compressor, from init until finish or free
    uint64_t bytes_in;   // uncompressed bytes taken
    uint64_t bytes_out;  // compressed bytes handed to the sink, once finished
};

// Starts a stream at level kBzLevel, compressed by threads workers (the same bytes for any
// number). Returns 0 or -1.
int bz_writer_init(bz_writer *w, int threads, byte_sink sink, void *ctx);

// Compresses n bytes, handing every full output block to the sink. Returns 0 or -1.
int bz_writer_write(bz_writer *w, const void *data, size_t n);

// Ends the stream and hands the rest of the output to the sink. Returns 0 or -1.
// REQUIRES: bz_writer_init succeeded and no call failed since.
int bz_writer_finish(bz_writer *w);

void bz_writer_free(bz_writer *w);

struct bz_reader {
    bz_stream stream;
    int active;       // stream initialised and not yet ended
    int ended;        // the last stream's end has been reached
    int input_ended;  // the source has returned 0
    byte_source source;
    void *ctx;
    char *in;            // kBzInBlock bytes, from chk_alloc
    uint64_t bytes_out;  // decompressed bytes handed out
};

// Starts decompressing what source supplies. Returns 0 or -1.
int bz_reader_init(bz_reader *r, byte_source source, void *ctx);

// Places up to n decompressed bytes in buf. Returns the count (> 0), 0 once the data has ended,
// or -1 for data that is not bzip2, is corrupt, or ends inside a stream. Streams that follow
// one another read as one; after a stream, bytes that do not begin another ("BZh" and a digit
// from 1 to 9) end the data, as they do for the installer.
// REQUIRES: n > 0.
long bz_reader_read(bz_reader *r, void *buf, size_t n);

void bz_reader_free(bz_reader *r);

}  // namespace zn

#endif  // ZN_PACK_BZIP_STREAM_H
