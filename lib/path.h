// Path simplification and tilde expansion: turns a name typed by a user into a clean absolute
// path. Repeated delimiters are collapsed, a trailing delimiter dropped, "~" and "~user" replaced
// by home directories, relative names placed under the current directory, and "." and ".."
// components resolved as text (symbolic links are not consulted).
//
// Module state (single-threaded, no locks):
//   - the current-directory cache: the working directory as last asked of the system. get_cwd
//     fills it and returns it; it is refreshed only after get_cwd_changed_directory.
//   - the home-directory cache: a copy of the first home directory that "~" needed (HOME, else
//     the real user's password entry). Once set it is kept, so later changes of HOME have no
//     effect until path_cache_reset.
// Every other result is a new string from lib/chk.h that the caller owns and frees with chk_free.
#ifndef ZN_LIB_PATH_H
#define ZN_LIB_PATH_H

namespace zn {

// Returns the current directory, from the cache when it holds one, else asked of the system
// (touches the current directory). When the directory cannot be named (it was removed, say), the
// text is "/DIRECTORY-REMOVED". There is no length limit: the buffer grows as needed.
// The result points into the cache: do not free it, and do not keep it past the next
// get_cwd_changed_directory.
const char *get_cwd();

// Empties the current-directory cache so that the next get_cwd asks the system again. A caller
// that changes the working directory calls it.
void get_cwd_changed_directory();

// Returns a new string: name made absolute and simple.
//   1. An empty name, or one starting with '|' or '!' (a command, not a file), comes back as is.
//   2. Runs of delimiters become one; a trailing delimiter is dropped (a lone "/" stays).
//   3. An absolute name has its "." and ".." components resolved (wild_collapse).
//   4. A name starting with '~' is tilde-expanded, then resolved. A "~user" without a password
//      entry comes back unexpanded and is not placed under the current directory.
//   5. Any other name is joined under get_cwd() (filename_append_filename, which also normalises
//      double quotes), then resolved.
// Null only when tilde expansion fails. Reads the current directory, HOME and the password
// database. Caller frees.
char *simplify_filename(const char *name);

// Resolves the "." and ".." components of name in place, as text: "/a/./b" gives "/a/b",
// "/a/b/../c" gives "/a/c", "/a/.." gives "/", "/../x" gives "/x". A ".." that would climb above
// the start of the name is left alone ("/.." stays, and so does "a/../b"), and a later ".." does
// not take off such a ".." ("a/../../b" stays, meaning "../b"). A trailing delimiter is not
// removed. The name never grows, and what it names does not change.
void wild_collapse(char *name);

// Returns a new string: name with a leading "~" or "~user" replaced by the home directory
// followed by '/': "~" gives "<home>/", "~/x" gives "<home>/x", "~user/x" gives "<user's home>/x".
// Any other name, a user without a password entry, or an own home found neither in HOME nor in
// the password entry of the real user id, gives an unexpanded copy. Reads HOME and the password
// database. Caller frees.
char *tilde_expand(const char *name);

// Returns a new string: name with each "/../" resolved against the text before it
// ("/a/b/../c" gives "/a/c"; "a/../b" gives "b"; "/../x" gives "x"). A "/.." at the very end is
// kept. Any length of name is handled. Purely textual. Caller frees.
char *remove_dotdot(const char *name);

// Test hook: empties the current-directory and home-directory caches.
void path_cache_reset();

}  // namespace zn

#endif  // ZN_LIB_PATH_H
