// The package reader: serves the body of the current compressed record from the package file to
// bzunzip, a block at a time.
//
// The descriptor is shared with the driver and the other handlers, so every block is read at the
// reader's own position (pread), whatever the descriptor's file position is. It hands out no byte
// past the body's end: a compressed body that does not end its stream there is cut short, never
// continued with the next record.
#ifndef ZN_PACKAGE_PACKAGE_READER_H
#define ZN_PACKAGE_PACKAGE_READER_H

#include <cstdint>

#include "package/bzunzip.h"

namespace zn {

constexpr int kReaderBlock = 64 * 1024;  // bytes read from the package file per block

// Starts serving a body: position = the descriptor's current offset, length = body_length; the
// block buffer is emptied (and allocated on first use).
void package_reader_start(int fd, uint32_t body_length);

// The read callback for bzunzip: copies up to capacity bytes of the body into buffer and returns
// their number (0 at the body's end or when the file ends or fails).
int package_reader_read(bz_context *ctx, char *buffer, int capacity);

// Bytes read from package files by the reader since the process started, all bodies together.
// Safe to call from any thread (a progress line reads it while the decoder reads the body).
uint64_t package_reader_total();

// Decompresses the body of a compressed record (an archive or a script, of any compression; the
// descriptor at the body's first byte) through the package reader with the decoder its type
// calls for, and hands every block of output to write_cb, with handle available to it through
// bz_handle. Returns a bzunzip result (messages as the decoder prints them).
int record_body_unzip(int fd, const unsigned char *record_header, uintptr_t handle,
                      bz_write_fn write_cb, bz_sync_fn sync_cb = nullptr);

}  // namespace zn

#endif  // ZN_PACKAGE_PACKAGE_READER_H
