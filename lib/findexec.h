// Locating the running executable: turns the name a program was started by (its argv[0]) into
// the path of its file, searching a list of directories for a bare name.
//
// A search list is a string of directories separated by ':' (filename_path_delimiter). An empty
// element stands for the current directory ".". Elements starting with '~' are tilde-expanded.
//
// Module state: the cursor of next_path_element, so only one split runs at a time. Every search
// here starts a fresh split of its own copy of the list.
//
// Every path returned is a new string from lib/chk.h that the caller owns and frees with
// chk_free. All of these touch the disk; the searches read the current directory and HOME.
#ifndef ZN_LIB_FINDEXEC_H
#define ZN_LIB_FINDEXEC_H

#include <sys/stat.h>

#include <ctime>

namespace zn {

// Splits list in place, one element per call: with a non-null list it starts at the list's first
// character, with null it continues where the last call stopped. Returns the element (pointing
// into list, its delimiter overwritten by a NUL), or null once the list is exhausted. Empty
// elements are returned as empty strings, not skipped (":a" yields "", then "a").
// Not reentrant: one split at a time.
char *next_path_element(char *list, int delim);

// Decides whether path is the program: it must open for reading, stat must succeed, it must not be
// a directory, and at least one execute bit (owner, group or other) must be set. A symbolic link
// is judged by its target: a link to an executable file is accepted, a link to a file without
// execute bits is refused, a dangling link is refused.
// Returns a new copy of path without a leading "./", or null. st (may be null) receives the
// status of the file (of the link's target for a link) whenever stat succeeded.
char *check_executable(const char *path, struct stat *st);

// Returns the path of the executable named name as found (not canonicalised), or null.
//   - path_list null: null whatever name is (so with PATH unset nothing is found, not even an
//     absolute name).
//   - name absolute: check_executable(name).
//   - name relative with a '/': leading "./" are dropped ("../" stays) and the rest is checked
//     under get_cwd().
//   - bare name: each element of path_list in order, with its double quotes removed, joined to
//     name; the first that check_executable accepts wins.
// flag is not used.
char *find_exec_path2(const char *path_list, const char *name, int flag);

// As find_exec_path2, with the path found resolved by realpath (symbolic links and dot
// components gone); when realpath fails, the path as found. Null when nothing is found.
char *find_exec_path(const char *path_list, const char *name);

// Returns the modification time of the program name, or 0 when it is not found.
//   - name with a '/': the mtime from stat(name), or 0. *dir_out receives name cut at its last
//     '/' (the empty string when that '/' is the first character), also when stat fails.
//   - bare name: find_in_path_mtime over PATH, and when that gives 0, over ZNPATH.
// dir_out may be null. REQUIRES: when dir_out is non-null, *dir_out is null or a string of ours;
// a previous string is freed when a new one is stored.
time_t find_executable_mtime(const char *name, char **dir_out);

// Searches one list for the bare name, as find_exec_path2 does but with a different test: stat
// succeeds, not a directory, and the owner execute bit (0100) set; double quotes are not removed
// and there is no open test. Returns the candidate's mtime, or 0 (also for a null list). On
// success *dir_out (when dir_out is non-null) receives the element: tilde-expanded, "." when
// empty. Same REQUIRES on dir_out as find_executable_mtime.
time_t find_in_path_mtime(const char *path_list, const char *name, char **dir_out);

}  // namespace zn

#endif  // ZN_LIB_FINDEXEC_H
