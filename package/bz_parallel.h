// Block-parallel bzip2 decoding behind bzunzip's contract: the same callbacks, the same bytes
// handed to the write callback in the same pieces, the same messages in the same order and the
// same result, for every input, whatever the number of threads.
//
// The calling thread reads the body, finds the block markers (a bit-level scan), and cuts the
// body into segments from one marker to the next; worker threads decode each segment with
// libbzip2 as a stream of its own ("BZh" and the stream's digit, the segment's bits moved to a
// byte boundary, the end marker, the block's CRC as combined CRC). The calling thread hands the
// output over in stream order, in exactly the pieces bzunzip would have handed over: it follows
// bzunzip's calls of the decompressor from the block positions, the read sizes and the output
// lengths. A segment's output goes out only once the whole segment has decoded and its CRC
// matched; a segment whose output is larger than kBzJobOutputCap keeps only that much and is
// decoded once more by the calling thread for the rest, so memory stays bounded.
//
// Markers that occur by chance inside compressed data make a segment fail; it is joined with
// the next one and decoded again. Whatever cannot be decoded that way (a damaged block, a body
// cut short, a wrong combined CRC, a damaged stream header) is decoded from the start of the
// block where the trouble lies by bzunzip's own loop, resumed in exactly the state bzunzip would
// be in there: the decoder is primed with a stream header and a synthetic block that leave it
// with the same combined CRC and the same bit alignment, the input is served in the pieces the
// read callback gave, and the output already produced by the current call of the decompressor
// goes with that call. From there on the rest of the body is decoded that way.
//
// A body of fewer than two blocks is decoded by bzunzip's loop alone, without threads. The scan
// reads ahead at most kBzJobsBeyondWorkers segments more than there are workers.
#ifndef ZN_PACKAGE_BZ_PARALLEL_H
#define ZN_PACKAGE_BZ_PARALLEL_H

#include <cstddef>
#include <cstdint>

#include "package/bzunzip.h"

namespace zn {

constexpr int kBzMaxThreads = 64;             // workers at most
constexpr size_t kBzJobOutputCap = 2u << 20;  // bytes of a segment's output kept in memory
constexpr int kBzJobsBeyondWorkers = 1;       // segments read ahead beyond one per worker

// The number of workers to use: ZN_THREADS when it is a number from 1 on, else the processors
// this process may run on; never more than kBzMaxThreads. Reads the environment.
int bz_thread_count();

struct bz_parallel_options {
    int threads;  // workers; below 2 the body is decoded by bzunzip
    // Test hook: bit positions in the body taken as block markers as if found by the scan
    // (sorted). They stand for markers that occur by chance inside compressed data.
    const uint64_t *false_markers;
    int false_marker_count;
};

// Decompresses like bzunzip with the options' number of workers. Same results and messages.
int bz_parallel_unzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
                      bz_sync_fn sync_cb, const bz_parallel_options *options);

// The decoder the record handlers use: bzunzip with one thread (bz_thread_count() == 1), the
// block-parallel decoder otherwise. Same results and messages as bzunzip.
int bz_decode(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
              bz_sync_fn sync_cb = nullptr);

}  // namespace zn

#endif  // ZN_PACKAGE_BZ_PARALLEL_H
