// The directories an extraction made, and the modes they end with.
//
// A directory is made owner-writable and searchable, whatever mode the archive gives it, so that
// the entries beneath it can be created by a user who is not root; its own mode is set once the
// archive has ended, deepest directories first, so that a read-only directory becomes read-only
// only after everything beneath it is in place. This list remembers every directory made until
// then.
//
// Invariants:
//   - one record per directory made, in the order made; directories that existed before are
//     never recorded, so their modes are never touched;
//   - a record names its directory either by its last component inside the directory of an
//     earlier record (parent != kDirNoParent), or by its whole path from the root; the text
//     lives in names, each piece NUL-terminated. A walk that makes a chain of directories stores
//     the first by its path and the rest by their last components, so memory grows with the
//     names in the archive, never with the square of their depth;
//   - depth counts the components from the root ("a/b" is 2);
//   - dev and ino identify the directory made: a directory replaced after it was made (by
//     another directory, or by a symbolic link) is never the one whose mode gets set.
#ifndef ZN_PACKAGE_DIR_MODES_H
#define ZN_PACKAGE_DIR_MODES_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace zn {

constexpr size_t kDirNoParent = SIZE_MAX;  // a record named by its path from the root

struct dir_made {
    uint64_t dev;
    uint64_t ino;
    size_t name;    // offset in names: the last component, or the path when parent is kDirNoParent
    size_t parent;  // index of the record of the directory that holds it, or kDirNoParent
    uint32_t depth;
    uint32_t mode;  // the mode it ends with
};

// A directory entry that found its directory already there: if this extraction made it, the
// entry's mode replaces the one it was made with (the last such entry wins).
struct dir_mode_change {
    uint64_t dev;
    uint64_t ino;
    uint32_t mode;
};

struct dir_modes {
    dir_made *dirs;
    size_t count;
    size_t cap;
    dir_mode_change *changes;
    size_t nchanges;
    size_t changes_cap;
    char *names;
    size_t names_len;
    size_t names_cap;
    size_t lost;  // directories made, or modes asked for, that the list could not take
};

// An empty list.
void dir_modes_init(dir_modes *d);

// Records the directory st, just made, that is to end with mode. It is named by the len bytes at
// name: its last component inside the directory of record parent, or, with parent kDirNoParent,
// its path from the root (components separated by '/'; empty and "." components count for
// nothing). Returns the new record's index, or -1 when the list cannot grow (the directory then
// keeps the mode it was made with, and counts as a failure of dir_modes_apply). Purely in
// memory.
long dir_modes_add(dir_modes *d, size_t parent, const char *name, size_t len, const struct stat *st,
                   int mode);

// A directory entry for the directory st, which was already there, asks for mode. Purely in
// memory; which record, if any, it concerns is settled by dir_modes_apply.
void dir_modes_change(dir_modes *d, const struct stat *st, int mode);

// Called by dir_modes_apply for each directory whose mode could not be set: path is its path
// from the root (valid during the call only), mode the one it was to get.
using dir_modes_failure = void (*)(void *ctx, const char *path, int mode);

// Sets the mode of every recorded directory, deepest first (the latest made first among equals),
// on a descriptor opened below root_fd without following a symbolic link at any step, after
// checking that it is still the directory made. A directory that cannot be reached, was replaced
// or refuses the mode is reported through failed and left alone. Returns the number of failures,
// directories that could not be recorded included. Touches the disk under root_fd; the list
// stays as it is.
size_t dir_modes_apply(dir_modes *d, int root_fd, dir_modes_failure failed, void *ctx);

// Frees what d holds; d is empty afterwards.
void dir_modes_free(dir_modes *d);

}  // namespace zn

#endif  // ZN_PACKAGE_DIR_MODES_H
