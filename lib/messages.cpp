#include "lib/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zn {

void (*before_message)() = nullptr;

int out_printf(const char *fmt, ...) {
    if (before_message != nullptr) before_message();
    va_list ap;
    va_start(ap, fmt);
    int n = std::vprintf(fmt, ap);
    va_end(ap);
    return n;
}

int err_printf(const char *fmt, ...) {
    if (before_message != nullptr) before_message();
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    int n = std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

const char *program_name = "zninstall";

void err_reason(const char *what, int error) {
    err_printf("%s: %s: %s\n", program_name, what, std::strerror(error));
}

void err_perror(const char *prefix) {
    int saved = errno;
    std::fflush(stdout);
    errno = saved;
    std::perror(prefix);
}

}  // namespace zn
