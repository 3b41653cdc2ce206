// Wildcard pattern matching: does one file name match one pattern? Purely textual: no file system,
// no environment. The globber calls wild_match once per directory entry with one component of the
// user's path as the pattern list.
//
// Rules of a single pattern (matched against the whole name, anchored at both ends):
//   ?      any one byte, "." and "/" included.
//   *      any run of bytes, but a "*" that opens the pattern text of a match call does not match
//          a leading "." unless WILD_DOTFILES is set; a "*" followed by more pattern leaves at
//          least one byte of the name for that pattern (so "a**" does not match "a").
//   [...]  one byte from a class of bytes and ranges "x-y" (signed 8-bit order); "^" first
//          negates; "]" ends the class wherever it stands, so "[]a]" is an empty class; a "-"
//          that is the last byte of the pattern is a literal member. No case folding inside.
//   {a,b}  alternatives, each matched against the whole rest of the name; text after the group
//          can only match an empty rest. "{}" and an empty last alternative never match.
//   other  a literal byte; with WILD_IGNORE_CASE, ASCII letters match either case. There is no
//          escape character.
// Malformed patterns are not errors: an unclosed "[" or "{" ends with the pattern.
//
// A pattern is a pointer plus a length and is never read past that length. Matching takes
// polynomial time: failed (name position, pattern position) pairs are remembered at each star, and
// so is the name position from which a star's rest has failed on every tail, so that a run of
// stars costs about one look per pair.
#ifndef ZN_WILD_WILD_MATCH_H
#define ZN_WILD_WILD_MATCH_H

#include "wild/wild_flags.h"

namespace zn {

// Returns 1 if name matches any pattern of pattern_list, else 0. Patterns are separated by ";";
// an empty list matches nothing, a trailing ";" ends the list, and an empty pattern between two
// ";" matches only the empty name. Reads WILD_DOTFILES and WILD_IGNORE_CASE from flags.
// REQUIRES: name and pattern_list are NUL-terminated.
int wild_match(const char *name, const char *pattern_list, int flags);

// The single-pattern matcher. Returns -1 for no match, otherwise the number of bytes of name the
// match covered, which is always strlen(name). Reads only length bytes of pattern; a NUL inside
// them is an ordinary literal. May allocate a scratch table for very long names and patterns.
// REQUIRES: name is NUL-terminated; length >= 0.
int wild_match_one(const char *name, const char *pattern, int length, int flags);

// Returns 1 if text holds any of "$*[?" (a "$" counts: the text refers to the environment and
// needs expanding), else 0. Braces and "~" do not count.
int is_wildcard(const char *text);

// Adds 1 to the module's case-conversion counter when on is non-zero, subtracts 1 otherwise.
// Matching does not consult the counter; case folding is chosen per call with WILD_IGNORE_CASE.
void wild_set_case_conversion(int on);

// Returns the case-conversion counter.
int wild_case_conversion_level();

// Test hook: the number of single-pattern match steps (calls of the matcher and of its own
// recursion) since the process started.
long wild_match_steps();

// Test hook: the number of name tails that stars have looked at (remembered failures included)
// since the process started.
long wild_match_tail_checks();

}  // namespace zn

#endif  // ZN_WILD_WILD_MATCH_H
