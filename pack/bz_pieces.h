// Compression on every core for the package tool: the input is cut into pieces at fixed offsets
// (one block's capacity each, whatever the number of threads), each piece is compressed by
// libbzip2 into a stream of one block on a worker thread, and the blocks are joined bit by bit,
// in order, into one stream whose combined CRC folds in every block's CRC. So the output is the
// same bytes for any number of threads, and the same on every run.
//
// A piece is one block as long as its first-stage run-length coding fits a block; a piece that
// would not (runs of exactly four equal bytes expand) is compressed as two halves instead, which
// depends on the data alone. At most a few pieces more than there are threads are held at once,
// so memory stays bounded for input of any size.
//
// Failures record a text with pack_error and return -1; after a failure only _free may follow.
#ifndef ZN_PACK_BZ_PIECES_H
#define ZN_PACK_BZ_PIECES_H

#include <cstddef>
#include <cstdint>

#include "pack/bzip_stream.h"

namespace zn {

struct bz_pieces;

// Starts a stream at level (1 to 9) compressed by threads workers (1, or none could be started:
// in the calling thread), handing the output to sink. The caller frees it with bz_pieces_free.
bz_pieces *bz_pieces_new(int level, int threads, byte_sink sink, void *ctx);

// Takes n more bytes of input. Returns 0 or -1.
int bz_pieces_write(bz_pieces *p, const void *data, size_t n);

// Ends the stream: compresses the last piece and hands all the output to the sink. Returns 0 or
// -1. Compressed bytes handed to the sink in all go to *bytes_out.
int bz_pieces_finish(bz_pieces *p, uint64_t *bytes_out);

// Stops the workers and frees everything; null is allowed.
void bz_pieces_free(bz_pieces *p);

// Bytes of input a piece holds at level: the most a block takes when there are no runs.
inline size_t bz_piece_bytes(int level) {
    return size_t(100000) * size_t(level) - 19;
}

}  // namespace zn

#endif  // ZN_PACK_BZ_PIECES_H
