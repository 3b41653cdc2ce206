#include "lib/chk.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zn {
namespace {

[[noreturn]] void out_of_memory(const char *what, unsigned size) {
    std::printf("CHK_ALLOC: Failed to %s memory. Wanted 0x%x bytes\n", what, size);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

void chk_init() {}

void *check_alloc(unsigned size, const char *tag) {
    (void)tag;
    return std::malloc(size);
}

void *chk_alloc(unsigned size) {
    void *p = std::malloc(size);
    if (p == nullptr && size != 0) out_of_memory("allocate", size);
    return p;
}

void *chk_calloc(unsigned count, unsigned size) {
    return std::calloc(count, size);
}

void *chk_zalloc(unsigned size) {
    void *p = std::calloc(size, 1);
    if (p == nullptr && size != 0) out_of_memory("zallocate", size);
    return p;
}

void *chk_realloc(void *block, unsigned size) {
    void *p = std::realloc(block, size);
    if (p == nullptr && size != 0) out_of_memory("reallocate", size);
    return p;
}

char *chk_makestr(const char *first, ...) {
    size_t total = std::strlen(first);
    va_list ap;
    va_start(ap, first);
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *))
        total += std::strlen(s);
    va_end(ap);

    if (total >= 0xFFFFFFFFu) return nullptr;  // sizes are 32-bit; never under-allocate
    char *result =
        static_cast<char *>(check_alloc(static_cast<unsigned>(total + 1), "chk_makestr"));
    if (result == nullptr) return nullptr;
    size_t at = std::strlen(first);
    std::memcpy(result, first, at);
    va_start(ap, first);
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *)) {
        size_t n = std::strlen(s);
        std::memcpy(result + at, s, n);
        at += n;
    }
    va_end(ap);
    result[at] = '\0';
    return result;
}

void chk_free(void *block) {
    std::free(block);
}

void chk_free_ptr(void *pp) {
    void **slot = static_cast<void **>(pp);
    if (*slot != nullptr) {
        chk_free(*slot);
        *slot = nullptr;
    }
}

void chk_free_safe(void *block) {
    if (block != nullptr) chk_free(block);
}

char *chk_strdup(const char *s) {
    return strdup(s);
}

void *chk_strndup(const void *src, unsigned n) {
    void *p = std::malloc(n);
    if (p != nullptr && n != 0) std::memcpy(p, src, n);
    return p;
}

void chk_exit() {}
void chk_error() {}
void chk_dump() {}

}  // namespace zn
