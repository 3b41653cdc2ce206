// Dollar substitution: replaces environment references written as "$NAME" anywhere in a text by
// the variables' values. Reads the environment; touches nothing else.
//
// A name starts with a letter or "_" and goes on with letters, digits and "_"; there is no braced
// form ("${X}" stays as it is). A "$" not followed by a name start is kept, and a "\" directly
// before a "$NAME" escapes it: the backslash goes and "$NAME" stays as typed. Unset variables
// expand to nothing. Values are inserted as they are, never expanded again. Only the first
// kDollarNameMax characters of a longer name are looked up, though all of them are consumed.
#ifndef ZN_WILD_DOLLAR_H
#define ZN_WILD_DOLLAR_H

namespace zn {

enum : int {
    kDollarNameMax = 255,  // characters of a variable name that take part in the lookup
};

// Returns a new string (the caller frees it with chk_free): text with every reference replaced.
// A text without "$" comes back as a plain copy. Reads the environment.
// REQUIRES: text is NUL-terminated.
char *wild_dollar_substitute(const char *text);

}  // namespace zn

#endif  // ZN_WILD_DOLLAR_H
