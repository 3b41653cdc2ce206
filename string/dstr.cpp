#include "string/dstr.h"

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/byteorder.h"
#include "lib/chk.h"

namespace zn {
namespace {

// Makes room for need more bytes: when dl_len + need >= dl_size, the capacity becomes
// dl_size + growth. Returns the address where the new bytes go.
char *make_room(dstr *d, int need, int64_t growth) {
    if (int64_t(d->dl_len) + need >= d->dl_size) {
        int64_t size = d->dl_size + growth;
        if (size > INT_MAX || int64_t(d->dl_len) + need > size) {
            std::printf("CHK_ALLOC: Failed to reallocate memory. Wanted 0x%llx bytes\n",
                        static_cast<unsigned long long>(size));
            std::fflush(stdout);
            std::exit(1);
        }
        d->dl_ptr = static_cast<char *>(chk_realloc(d->dl_ptr, static_cast<unsigned>(size)));
        d->dl_size = static_cast<int>(size);
    }
    return d->dl_ptr + d->dl_len;
}

// Appends n bytes from p with the given growth amount.
void append(dstr *d, const void *p, int n, int64_t growth) {
    if (n <= 0) return;
    char *at = make_room(d, n, growth);
    std::memcpy(at, p, static_cast<size_t>(n));
    d->dl_len += n;
}

void append_byte(dstr *d, int ch, int need, int64_t growth) {
    char *at = make_room(d, need, growth);
    *at = static_cast<char>(ch);
    d->dl_len += 1;
}

}  // namespace

void dstr_init(dstr *d, int size) {
    d->dl_ptr = static_cast<char *>(chk_alloc(static_cast<unsigned>(size)));
    d->dl_size = size;
    d->dl_len = 0;
}

void dstr_zinit(dstr *d, int size) {
    d->dl_ptr = static_cast<char *>(chk_zalloc(static_cast<unsigned>(size)));
    d->dl_size = size;
    d->dl_len = 0;
}

void dstr_free(dstr *d) {
    chk_free_ptr(&d->dl_ptr);
    d->dl_len = 0;
}

void dstr_clear(dstr *d) {
    d->dl_len = 0;
}

void dstr_setup(dstr *d, void *buf, int size) {
    d->dl_ptr = static_cast<char *>(buf);
    d->dl_size = size;
    d->dl_len = size;
}

void dstr_set_space(dstr *d, int size) {
    if (size == d->dl_size) return;
    d->dl_ptr = static_cast<char *>(chk_realloc(d->dl_ptr, static_cast<unsigned>(size)));
    d->dl_size = size;
    d->dl_len = 0;
}

void dstr_resize(dstr *d, int size) {
    if (size <= d->dl_size) return;
    if (d->dl_ptr == nullptr) {
        d->dl_ptr = static_cast<char *>(chk_zalloc(static_cast<unsigned>(size)));
    } else {
        d->dl_ptr = static_cast<char *>(chk_realloc(d->dl_ptr, static_cast<unsigned>(size)));
        std::memset(d->dl_ptr + d->dl_size, 0, static_cast<size_t>(size - d->dl_size));
    }
    d->dl_size = size;
}

void dstr_size(dstr *d, int size) {
    if (size <= d->dl_size) return;
    dstr_resize(d, size);
    d->dl_len = size;
}

void dstr_set_size(dstr *dstr, int size) {
    assert(size <= dstr->dl_size);
    dstr->dl_len = size;
}

void dstr_remove(dstr *d, int n) {
    if (n <= 0) return;
    if (n >= d->dl_len) {
        d->dl_len = 0;
        return;
    }
    std::memmove(d->dl_ptr, d->dl_ptr + n, static_cast<size_t>(d->dl_len - n));
    d->dl_len -= n;
}

void dstr_add_char(dstr *d, int ch) {
    append_byte(d, ch, 1, 64);
}

void dstr_add_mem(dstr *d, const void *p, int n) {
    if (n <= 0) return;
    append(d, p, n, int64_t(d->dl_size) / 10 + n + 64);
}

void dstr_terminate(dstr *d) {
    append_byte(d, 0, 1, 8);
}

void dstr_reserve(dstr *d, int n) {
    if (n <= 0) return;
    make_room(d, n, int64_t(n) + 64);
    d->dl_len += n;
}

void dstr_reserve_zero(dstr *d, int n) {
    if (n <= 0) return;
    char *at = make_room(d, n, int64_t(n) + 64);
    std::memset(at, 0, static_cast<size_t>(n));
    d->dl_len += n;
}

void dstr_add_string(dstr *d, const void *p, int n) {
    append(d, p, n, int64_t(n) + 64);
}

void dstr_add_nchar(dstr *d, int ch, int n) {
    if (n <= 0) return;
    char *at = make_room(d, n, int64_t(n) + 64);
    std::memset(at, ch, static_cast<size_t>(n));
    d->dl_len += n;
}

void dstr_add_cstring(dstr *d, const char *p, int n) {
    for (int i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        char piece[5];
        int len;
        switch (c) {
            case '"':
            case '\\':
                piece[0] = '\\';
                piece[1] = static_cast<char>(c);
                len = 2;
                break;
            case 0:
                std::memcpy(piece, "\\000", 4);
                len = 4;
                break;
            case '\n':
                std::memcpy(piece, "\\n", 2);
                len = 2;
                break;
            case '\t':
                std::memcpy(piece, "\\t", 2);
                len = 2;
                break;
            case '\r':
                std::memcpy(piece, "\\r", 2);
                len = 2;
                break;
            case '\f':
                std::memcpy(piece, "\\f", 2);
                len = 2;
                break;
            case '\b':
                std::memcpy(piece, "\\b", 2);
                len = 2;
                break;
            default:
                if (c < 0x20 || c >= 0x80) {
                    std::snprintf(piece, sizeof piece, "\\x%02x", c);
                    len = 4;
                } else {
                    piece[0] = static_cast<char>(c);
                    len = 1;
                }
        }
        dstr_add_string(d, piece, len);
    }
}

void dstr_add_id(dstr *d, int id) {
    unsigned char b[2];
    LPUT_ID(b, id);
    append(d, b, 2, 64);
}

void dstr_add_int16(dstr *d, int v) {
    unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    append(d, b, 2, 64);
}

void dstr_add_int24(dstr *d, unsigned v) {
    unsigned char b[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v)};
    append(d, b, 3, 64);
}

void dstr_add_int32(dstr *d, unsigned v) {
    unsigned char b[4];
    LPUT32(b, v);
    append(d, b, 4, 64);
}

void dstr_add_int64(dstr *d, uint64_t v) {
    unsigned char b[8];
    LPUT32(b, static_cast<uint32_t>(v >> 32));
    LPUT32(b + 4, static_cast<uint32_t>(v));
    append(d, b, 8, 8);
}

void dstr_add_int(dstr *d, int v) {
    unsigned char b[5];
    int need;
    if (v >= -127 && v <= 127) {
        b[0] = kDstrTagShortInt;
        b[1] = static_cast<unsigned char>(v);
        need = 2;
    } else {
        b[0] = kDstrTagInt32;
        LPUT32(b + 1, static_cast<uint32_t>(v));
        need = 5;
    }
    append(d, b, need, need + 64);
}

void dstr_add_int_2(dstr *d, int a, int b) {
    dstr_add_int(d, a);
    dstr_add_int(d, b);
}

void dstr_add_integer(dstr *d, int64_t v) {
    unsigned char b[9];
    int len;
    if (v >= -127 && v <= 127) {
        b[0] = kDstrTagShortInt;
        b[1] = static_cast<unsigned char>(v);
        len = 2;
    } else if (v >= INT32_MIN && v <= INT32_MAX) {
        b[0] = kDstrTagInt32;
        LPUT32(b + 1, static_cast<uint32_t>(v));
        len = 5;
    } else {
        b[0] = kDstrTagInt64;
        LPUT32(b + 1, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
        LPUT32(b + 5, static_cast<uint32_t>(v));
        len = 9;
    }
    char *at = make_room(d, 9, 9);
    std::memcpy(at, b, static_cast<size_t>(len));
    d->dl_len += len;
}

void dstr_add_float(dstr *d, double v) {
    unsigned char b[9];
    b[0] = kDstrTagFloat;
    LPUT_FLOAT(b + 1, v);
    append(d, b, 9, 73);
}

void dstr_add_null(dstr *d) {
    append_byte(d, kDstrTagNull, 2, 8);
}

void dstr_add_ptr(dstr *d, int tag, unsigned v) {
    unsigned char b[5];
    b[0] = static_cast<unsigned char>(tag);
    LPUT32(b + 1, v);
    append(d, b, 5, 64);
}

}  // namespace zn
