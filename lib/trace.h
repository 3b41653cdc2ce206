// The trace hook of the wildcard engine and the library under it. This build discards every
// message; the printf attribute still lets the compiler check each call's format and arguments.
#ifndef ZN_LIB_TRACE_H
#define ZN_LIB_TRACE_H

namespace zn {

__attribute__((format(printf, 1, 2))) inline void trace_log(const char *fmt, ...) {
    (void)fmt;
}

}  // namespace zn

#endif  // ZN_LIB_TRACE_H
