// The package tool's error text. The modules under the command line record what went wrong here
// and return -1; the command prints the text once, after the program name. Only the latest text
// is kept, so a module records its text once, at the failure, and not again on the way out.
#ifndef ZN_PACK_PACK_ERROR_H
#define ZN_PACK_PACK_ERROR_H

namespace zn {

// Records the formatted text (truncated to kPackErrorMax - 1 bytes).
void pack_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Records the formatted text followed by ": " and the description of the current errno. The only
// place in the tool that turns errno into words.
void pack_error_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Returns the latest text (empty when none); points into a static buffer.
const char *pack_error_text();

}  // namespace zn

#endif  // ZN_PACK_PACK_ERROR_H
