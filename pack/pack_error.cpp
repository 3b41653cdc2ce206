#include "pack/pack_error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zn {

constexpr int kPackErrorMax = 2048;  // bytes of error text kept, NUL included

static char error_text[kPackErrorMax];

void pack_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(error_text, sizeof error_text, fmt, ap);
    va_end(ap);
}

void pack_error_errno(const char *fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(error_text, sizeof error_text, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    if (size_t(n) < sizeof error_text)
        std::snprintf(error_text + n, sizeof error_text - size_t(n), ": %s", std::strerror(saved));
}

const char *pack_error_text() {
    return error_text;
}

int pack_error_is_set() {
    return error_text[0] != 0;
}

void pack_error_clear() {
    error_text[0] = 0;
}

}  // namespace zn
