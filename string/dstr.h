// dstr: the support library's growable byte buffer, for building NUL-terminated text a character
// at a time and for building records of tagged big-endian values.
//
// Invariants:
//   - 0 <= dl_len <= dl_size; dl_size is the capacity of dl_ptr in bytes.
//   - The buffer is not kept NUL-terminated. Text users append a 0 themselves (dstr_add_char(d, 0)
//     or dstr_terminate), and that byte counts in dl_len.
//   - Whoever calls dstr_init owns dl_ptr. It passes either to dstr_free or, as a finished result,
//     to a caller who releases it with chk_free.
//
// Growth: an append first checks dl_len + need >= dl_size (so one byte is always spare before
// growing) and, when it holds, raises the capacity by a fixed amount per operation (given with
// each below) and reallocates. A capacity that would pass INT_MAX is an allocation failure and
// ends the process like chk_realloc does.
//
// Tagged values: dstr_add_int and its relatives write a one-byte tag and then the value
// big-endian: 0x0E + 1 byte (-127..127), 0x01 + 4 bytes, 0x10 + 8 bytes (64-bit), 0x0A + 8 bytes
// (double, LPUT_FLOAT), 0x04 alone (null).
#ifndef ZN_STRING_DSTR_H
#define ZN_STRING_DSTR_H

#include <cstdint>

namespace zn {

struct dstr {
    char *dl_ptr;  // buffer from chk_alloc / chk_realloc; null after dstr_free
    int dl_size;   // capacity in bytes
    int dl_len;    // bytes in use
};

enum : int {
    kDstrTagInt32 = 0x01,
    kDstrTagNull = 0x04,
    kDstrTagFloat = 0x0A,
    kDstrTagShortInt = 0x0E,
    kDstrTagInt64 = 0x10,
};

// dl_ptr = chk_alloc(size), dl_size = size, dl_len = 0.
void dstr_init(dstr *d, int size);
// As dstr_init with a zero-filled buffer.
void dstr_zinit(dstr *d, int size);
// Frees the buffer (dl_ptr becomes null) and sets dl_len = 0; dl_size is left as it was.
// Harmless when called again.
void dstr_free(dstr *d);
// dl_len = 0; the buffer stays.
void dstr_clear(dstr *d);
// Adopts buf: dl_ptr = buf, dl_size = dl_len = size. The dstr now owns buf (a chk_alloc block).
void dstr_setup(dstr *d, void *buf, int size);
// If size differs from dl_size, reallocates to exactly size and sets dl_len = 0.
void dstr_set_space(dstr *d, int size);
// If size > dl_size, grows to exactly size, zero-filling the new bytes; never shrinks.
void dstr_resize(dstr *d, int size);
// If size > dl_size, dstr_resize(d, size) and dl_len = size.
void dstr_size(dstr *d, int size);
// dl_len = size. REQUIRES: size <= dl_size (asserted).
void dstr_set_size(dstr *dstr, int size);
// Removes n bytes from the front; n >= dl_len empties the buffer; n <= 0 does nothing.
void dstr_remove(dstr *d, int n);

// Appends one byte. Growth +64.
void dstr_add_char(dstr *d, int ch);
// Appends n bytes from p (nothing for n <= 0). Growth: old + old / 10 + n + 64.
void dstr_add_mem(dstr *d, const void *p, int n);
// Appends a 0 byte, counted in dl_len. Need 1, growth +8.
void dstr_terminate(dstr *d);
// dl_len += n, the bytes left as they are. Need n, growth + n + 64.
void dstr_reserve(dstr *d, int n);
// Appends n zero bytes. Need n, growth + n + 64.
void dstr_reserve_zero(dstr *d, int n);
// Appends n bytes from p, no NUL. Need n, growth + n + 64.
void dstr_add_string(dstr *d, const void *p, int n);
// Appends n copies of ch (nothing for n <= 0). Need n, growth + n + 64.
void dstr_add_nchar(dstr *d, int ch, int n);
// Appends n bytes of p in escaped form: '"' and '\' get a backslash; 0 becomes \000; newline, tab,
// carriage return, form feed, backspace become \n \t \r \f \b; other bytes below 0x20 and bytes
// from 0x80 become \xhh (lower-case hex); the rest stand as they are. No quotes are added.
void dstr_add_cstring(dstr *d, const char *p, int n);

// Appends 2 bytes written by LPUT_ID. Need 2, growth +64.
void dstr_add_id(dstr *d, int id);
// Appends v big-endian in 2, 3, 4 or 8 bytes. Need 2/3/4 growth +64; need 8 growth +8.
void dstr_add_int16(dstr *d, int v);
void dstr_add_int24(dstr *d, unsigned v);
void dstr_add_int32(dstr *d, unsigned v);
void dstr_add_int64(dstr *d, uint64_t v);
// Tagged integer: 0x0E and 1 byte if -127 <= v <= 127, else 0x01 and 4 bytes. Need 2 or 5,
// growth + need + 64.
void dstr_add_int(dstr *d, int v);
// dstr_add_int(a), then dstr_add_int(b).
void dstr_add_int_2(dstr *d, int a, int b);
// Tagged 64-bit integer: the two forms of dstr_add_int for values that fit them (-127..127 short,
// the rest of the 32-bit signed range as 0x01 + 4 bytes), else 0x10 and 8 bytes. Need 9, growth +9.
void dstr_add_integer(dstr *d, int64_t v);
// 0x0A and the double written by LPUT_FLOAT: 9 bytes. Need 9, growth +73.
void dstr_add_float(dstr *d, double v);
// The single tag byte 0x04. Need 2, growth +8.
void dstr_add_null(dstr *d);
// One tag byte given by the caller, then v as 4 bytes big-endian. Need 5, growth +64.
void dstr_add_ptr(dstr *d, int tag, unsigned v);

}  // namespace zn

#endif  // ZN_STRING_DSTR_H
