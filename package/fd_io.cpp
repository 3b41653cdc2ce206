#include "package/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace zn {

size_t read_full(int fd, void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, static_cast<char *>(buf) + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += size_t(got);
    }
    return done;
}

size_t write_full(int fd, const void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(fd, static_cast<const char *>(buf) + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += size_t(put);
    }
    return done;
}

ssize_t read_some(int fd, void *buf, size_t n) {
    ssize_t got;
    do got = read(fd, buf, n);
    while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace zn
