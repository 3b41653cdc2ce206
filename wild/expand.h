// Filename expansion: the entry points through which the rest of the program hands a file name
// typed by a user to the wildcard engine. Every function here may read the environment, HOME,
// the password database, the current directory and the disk.
#ifndef ZN_WILD_EXPAND_H
#define ZN_WILD_EXPAND_H

#include "wild/glob.h"

namespace zn {

enum : int {
    kExpandTreeMaxDepth = 1000,  // directory levels expand_directory_tree descends at most
};

// Returns a new string (free with chk_free): text as an absolute, simplified path.
//   1. An empty text, or one starting with "|" or "!" (a command), comes back as a copy.
//   2. A leading single or double quote is dropped, and so is the same quote at the end.
//   3. A text holding any of "$*[?" is globbed with no kind flags: "$VAR" components expand,
//      while a wildcard component finds nothing, so "/opt/z*" stays as typed.
//   4. The result is simplify_filename of that ("~" expanded, made absolute, "." and ".."
//      resolved); null only when that gives null.
// text is not changed.
char *simplify_and_expand_filename(const char *text);

// Returns text itself when it neither starts with "~" nor holds any of "$*[?". Otherwise returns
// the first non-empty word of shell_expand(text, WILD_FILES | WILD_DIRS), or "" when there is
// none. The caller must not free the result; an expanded result is owned by the module and lives
// until the next call that expands. text may be the previous result.
const char *expand_filename(const char *text);

// Returns a new null-terminated array of new strings (free each, then the array, with chk_free;
// or call expand_free_words): the words of text after brace expansion (brace_expand_string, one
// word per white-space separated word, or the whole text as one word when flags hold
// WILD_BRACE_MODE3), each quoted word taken as it is and every other word globbed with flags.
// With two or more words the gathered names are sorted by wild_compare under flags. A name equal
// to the one before it is left out. A text starting with "!" or "|" comes back as its one copy.
char **shell_expand(const char *text, int flags);

// Frees a word array from shell_expand; null is allowed.
void expand_free_words(char **words);

// Returns a new result list (free with wild_free_list) of every non-directory below path: the
// glob of path + "/*" under flags, with each directory found expanded the same way (WILD_DIRS
// must be in flags for the walk to go down, and WILD_DOTFILES for dot entries to be seen). When
// the last component of path holds any of "$*[?", path itself is the pattern at the first level.
// A directory is not entered twice on one descent (a symbolic link back up the tree), and the
// walk stops kExpandTreeMaxDepth levels down. Never null.
wild_entry *expand_directory_tree(const char *path, int flags);

}  // namespace zn

#endif  // ZN_WILD_EXPAND_H
