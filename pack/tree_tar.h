// Packs a directory tree into a tar archive, the same bytes for the same tree on every run.
//
// The archive holds everything under the directory (not the directory itself), with names
// relative to it:
//   - siblings in byte order of their names (strcmp), each directory's entry (its name ending
//     in '/') right before its contents;
//   - permission bits (07777) as the tree has them; owner and group 0, named "root"; every time
//     stamp the mtime given;
//   - symbolic links as link entries with the target stored as it is, never followed;
//   - a regular file met a second time by the same device and inode is a hard-link entry that
//     names the first path at which the walk met it.
// Format: pax restricted to ustar, so that a name over 100 bytes goes into the ustar prefix field
// or, when it cannot be split there, into a pax extended header; plain entries stay plain ustar.
// Other kinds of file (fifos, sockets, devices) are refused: the installer would turn them into
// regular files, and reading a fifo would hang the tool.
//
// Only what is in the tree is packed, even while others change it: below the top directory (which
// is opened as named, through a symbolic link if it is one) the walk goes by descriptors, opening
// each directory and file relative to its parent's with O_NOFOLLOW, and each must be the very
// object the walk listed (same device and inode, still a directory or a regular file). Anything
// swapped between listing and opening, such as a directory replaced by a link to elsewhere, ends
// the walk with "<path>: changed while it was being packed". The walk holds at most two directory
// descriptors at a time, whatever the depth: a directory's parent is closed while the directory
// is walked and opened again afterwards as its "..", which must still be the parent listed.
#ifndef ZN_PACK_TREE_TAR_H
#define ZN_PACK_TREE_TAR_H

#include <cstdint>

#include "pack/bzip_stream.h"
#include "pack/tar_count.h"

namespace zn {

// Writes the tar archive of the tree under dir to sink, ending with the end-of-archive blocks,
// and adds its entries to *counts. Returns 0, or -1 after recording a text with pack_error.
// Reads the disk; changes nothing.
int tree_tar_write(const char *dir, int64_t mtime, byte_sink sink, void *ctx, tar_counts *counts);

}  // namespace zn

#endif  // ZN_PACK_TREE_TAR_H
