// Hands the decompressed archive to the tar reader on a second thread, so that parsing, creating
// files and writing them overlap with decompression. The stream is cut into blocks of
// kPipeBlock bytes; at most kPipeDepth of them are in flight, so memory stays bounded whatever
// the size of the archive. The tar reader sees exactly the bytes, in order, that it would see
// if it were fed directly; when no thread can be started it is fed directly.
//
// One pipe at a time (module state); the caller is the thread that decompresses.
#ifndef ZN_INSTALL_EXTRACT_PIPE_H
#define ZN_INSTALL_EXTRACT_PIPE_H

#include <cstddef>

#include "package/tar_reader.h"

namespace zn {

constexpr size_t kPipeBlock = 64 * 1024;  // bytes handed over at a time
// Blocks filled or being read at once: 1 MiB in flight absorbs a run of small files, whose
// creation costs more than their data, without decompression having to wait.
constexpr int kPipeDepth = 16;

// Starts the reading thread for r. Returns 0, or -1 when it runs without a thread.
int extract_pipe_start(tar_reader *r);

// Queues count bytes for the reader; waits while every block is in flight.
void extract_pipe_write(const char *data, size_t count);

// Returns once the reader has taken everything written so far (and printed what it had to).
void extract_pipe_sync();

// Hands over the rest, waits for the reader to finish and stops the thread.
void extract_pipe_finish();

}  // namespace zn

#endif  // ZN_INSTALL_EXTRACT_PIPE_H
