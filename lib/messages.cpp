#include "lib/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace zn {

int err_printf(const char *fmt, ...) {
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    int n = std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

void err_perror(const char *prefix) {
    int saved = errno;
    std::fflush(stdout);
    errno = saved;
    std::perror(prefix);
}

}  // namespace zn
