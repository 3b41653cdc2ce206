// Directory globbing: turns one path that may hold wildcards into the list of existing paths it
// names. The path is walked one component at a time over a list of candidate paths:
//   - a component starting with "$" is first replaced by the value of the environment variable it
//     names, when that is set;
//   - a plain component is appended to every candidate;
//   - a component with any of "*?[" replaces each candidate directory by its entries that match
//     (wild_match), and "**" adds every directory below each candidate while keeping the
//     candidate itself (so "**" also stands for no directory at all).
// Directories that "**" finds are named absolutely; over the current directory, the current
// directory itself (absolute) is the candidate that stays. A wildcard step that finds nothing
// leaves no candidates, and later components do not start a new path from nothing.
// At the end every candidate is checked on disk, filtered by kind and sorted. A path without
// wildcard components comes back as its one path whether or not it exists; once a wildcard was
// met, only existing paths of the kinds asked for (WILD_FILES, WILD_DIRS) remain.
//
// Result lists: a contiguous array of wild_entry ending with a record whose name is null. The
// caller owns the array and every name in it (wild_free_list releases both).
//
// A wildcard step stops after adding more than wild_limit_max_count candidates, or once the clock
// passes wild_limit_timeout seconds after the glob began; the stop goes to trace_log and the
// result holds what was found until then.
//
// Every function here that takes a path touches the disk; wild_walk_tree also changes the working
// directory while it runs and puts it back before returning.
#ifndef ZN_WILD_GLOB_H
#define ZN_WILD_GLOB_H

#include <dirent.h>
#include <sys/stat.h>

#include "lib/port.h"
#include "string/dstr.h"
#include "wild/wild_flags.h"

namespace zn {

struct wild_entry {
    char *name;  // owned path from chk_alloc; null in the record that ends a list
    int size;    // lower bound of the bytes allocated for name, so components can be appended
    struct stat64 status;  // as filled by wild_stat; zeroed when the path could not be checked
};

enum : int {
    kWildDefaultMaxCount = 5000,  // candidates one wildcard step may add; 0 means no limit
    kWildDefaultTimeout = 30,     // seconds one glob may scan; 0 means no limit
    kWildFirstCapacity = 128,     // records a glob's candidate list starts with
    kWildScanBufferFirst = 64,    // bytes of the directory scan's first name buffer
};

// The limits, read by every glob; wild_init may set them from the environment.
extern int wild_limit_max_count;
extern int wild_limit_timeout;
// Non-zero forces lstat64 in wild_stat; raised and lowered around calls as a nesting counter.
extern int wild_lstat;
// Cleared to 0 at the start of each glob; nothing here sets it.
extern int shell_error;
// The flags that wild_compare sorts by; a glob stores its own flags here before sorting.
extern int wild_sort_flags;

// Returns the result list for path after "~" expansion (tilde_expand), or null only if that
// expansion fails. Reads HOME and the password database, the environment and the disk.
wild_entry *glob_filenames(const char *path, int flags);

// Reads ZN_WILD_LIMIT_TIMEOUT and ZN_WILD_LIMIT_MAX_COUNT; each that is set replaces
// wild_limit_timeout or wild_limit_max_count with its atoi value.
void wild_init();

// The globbing algorithm, without "~" expansion. A path beginning with "|" or "!" names a command:
// it comes back as a one-record list (zeroed status) without touching the disk. Never null.
wild_entry *wild_glob(const char *path, int flags);

// Returns lstat64(path, status) when wild_lstat is non-zero or flags hold WILD_LSTAT, else
// stat64(path, status).
int wild_stat(const char *path, struct stat64 *status, int flags);

// Returns the next entry name of the directory parent (or "." when parent is null) that matches
// pattern (a wild_match list) under flags, or null at the end of the directory. With
// WILD_ALL_DIRS a subdirectory that does not match also qualifies (dot entries only with
// WILD_DOTFILES; "." never). *handle holds the open directory between calls: start with null; it
// is closed and cleared at the end, and a caller that stops early closes it itself.
// The result points into a module buffer that the next call overwrites; do not free it.
const char *wild_next_match(const char *parent, const char *pattern, int flags, DIR **handle);

// Appends to out (a dstr used as an array of char *, each a new string the caller frees) every
// directory below directory, depth first; paths are absolute, a relative directory being taken
// from the current directory. Symbolic links are not followed. When rest is non-empty and holds
// none of "$*[?", a directory is listed only if it joined with rest exists, though it is still
// descended. Returns 1 after a walk, 0 when directory is not a directory or cannot be entered.
// Changes the working directory while it walks and restores it on every way out.
int wild_walk_tree(dstr *out, const char *directory, int flags, int depth, const char *rest);

// The sort order of result records under wild_sort_flags: with WILD_DIRS_FIRST directories come
// first; names compare with strcasecmp under WILD_SORT_NOCASE, else with strcmp.
int wild_compare(const void *a, const void *b);

// Appends wild_filename_delimiter (unless the name already ends in a delimiter) and component to
// the record's name, growing the allocation when needed and updating size.
// REQUIRES: entry->name is non-null.
void wild_append_component(wild_entry *entry, const char *component);

// Finishes the list of a glob: without a wildcard seen, returns list itself. Otherwise collapses
// leading runs of delimiters to one, keeps the records of the kinds that flags ask for (WILD_DIRS
// directories, WILD_FILES the rest) in order, and returns them in a new list; the other names and
// the old array are freed. Records with an empty name are never kept.
// REQUIRES: list ends with a record whose name is null.
wild_entry *wild_finish_list(wild_entry *list, int flags, int saw_wildcard);

// Returns the number of records before the one whose name is null.
int wild_list_length(const wild_entry *list);

// Frees every name of a result list and then the list; null is allowed.
void wild_free_list(wild_entry *list);

}  // namespace zn

#endif  // ZN_WILD_GLOB_H
