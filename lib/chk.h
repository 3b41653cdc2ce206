// Checked allocation: a thin layer over the system allocator that every module of the support
// library uses for heap memory.
//
// chk_alloc, chk_zalloc and chk_realloc report a failure with a fixed message on standard output
// and then end the process with status 1: no caller tests their results, so returning null would
// only move the crash elsewhere. The other allocating functions pass the system allocator's
// result through unchanged (null on failure) and print nothing.
//
// Every block handed out here is released with chk_free (or chk_free_ptr / chk_free_safe).
#ifndef ZN_LIB_CHK_H
#define ZN_LIB_CHK_H

#include <cstddef>

namespace zn {

// Does nothing; kept so that callers can be written against one interface.
void chk_init();

// Returns malloc(size). The tag names the requesting function and is not used. No message.
void *check_alloc(unsigned size, const char *tag);

// Returns malloc(size). On failure prints
// "CHK_ALLOC: Failed to allocate memory. Wanted 0x%x bytes\n" on standard output and exits 1.
void *chk_alloc(unsigned size);

// Returns calloc(count, size); null on failure, no message.
void *chk_calloc(unsigned count, unsigned size);

// Returns a zero-filled block of size bytes. On failure prints
// "CHK_ALLOC: Failed to zallocate memory. Wanted 0x%x bytes\n" on standard output and exits 1.
void *chk_zalloc(unsigned size);

// Returns realloc(block, size). On failure prints
// "CHK_ALLOC: Failed to reallocate memory. Wanted 0x%x bytes\n" on standard output and exits 1.
void *chk_realloc(void *block, unsigned size);

// Returns a new NUL-terminated string: the concatenation of first and every further string up to
// the terminating null pointer. The caller owns it. No message on failure (null).
__attribute__((sentinel)) char *chk_makestr(const char *first, ...);

// Releases a block from this module; null is allowed.
void chk_free(void *block);

// If *pp is non-null, frees it and sets *pp to null; a null *pp is left alone.
void chk_free_ptr(void *pp);

// Frees block if it is non-null.
void chk_free_safe(void *block);

// Returns strdup(s); null on failure, no message.
char *chk_strdup(const char *s);

// Returns a new block of exactly n bytes copied from src. No terminator is added: a caller that
// wants a string passes a count that includes the source's own NUL.
// REQUIRES: src has at least n readable bytes.
void *chk_strndup(const void *src, unsigned n);

// Do nothing; kept so that callers can be written against one interface.
void chk_exit();
void chk_error();
void chk_dump();

}  // namespace zn

#endif  // ZN_LIB_CHK_H
