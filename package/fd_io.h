// Whole reads and writes on file descriptors, retried after interruptions and short transfers.
#ifndef ZN_PACKAGE_FD_IO_H
#define ZN_PACKAGE_FD_IO_H

#include <sys/types.h>

#include <cstddef>

namespace zn {

// Reads until n bytes are in, the file ends or a read fails. Returns the count read.
size_t read_full(int fd, void *buf, size_t n);

// Writes all n bytes unless a write fails. Returns the count written.
size_t write_full(int fd, const void *buf, size_t n);

// One read, retried only after an interruption. Returns what read returns.
ssize_t read_some(int fd, void *buf, size_t n);

}  // namespace zn

#endif  // ZN_PACKAGE_FD_IO_H
