// Directory creation: a directory together with all its missing ancestors, and the open-or-create
// helpers built on it. All of these touch the disk; relative names are taken from the current
// directory.
//
// Every directory is made with mode | 0111 (search permission for owner, group and others added
// to the given mode); the process umask still applies. A directory that already exists counts as
// made; anything else that stands in its place (a regular file, say) is a failure.
#ifndef ZN_LIB_DIRTREE_H
#define ZN_LIB_DIRTREE_H

#include <cstdio>

namespace zn {

// Makes dir and every missing ancestor. Returns 0 on success (also when dir already exists as a
// directory), -1 on failure with errno as mkdir left it. A trailing '/' (as tar directory entries
// have) makes no difference. An empty (or null) dir prints
// "make_directory_tree: Attempting to make NULL directory" as a line on standard output and
// returns -1.
int make_directory_tree(const char *dir, int mode);

// Makes every directory above the last component of path; the last component itself is not
// made ("d1/d2/f" makes d1 and d1/d2). Returns 0 on success, -1 when path holds no '/' or the
// directory just above the last component cannot be made. A path whose only '/' is its first
// character needs nothing made (the root exists). path is not modified.
int make_directory_tree2(const char *path, int mode);

// Returns open(path, oflag, mode); when that fails, makes the directories above path
// (make_directory_tree2 with mode) and opens again. -1 when the directories cannot be made or
// the second open fails, with errno from the failing call. The caller owns the descriptor.
int mkdir_open(const char *path, int oflag, int mode);

// As mkdir_open for a stream: fopen(path, fmode), the directories made with dirmode. Null on
// failure. The caller owns the stream.
FILE *mkdir_fopen(const char *path, const char *fmode, int dirmode);

}  // namespace zn

#endif  // ZN_LIB_DIRTREE_H
