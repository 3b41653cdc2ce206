// What the product record says about the archives: how many entries they hold and how many bytes
// their regular files come to. A packed tree is counted by its walk (tree_tar.h); a .tar file
// taken as it is is counted here, read by libarchive on its way to the compressor.
#ifndef ZN_PACK_TAR_COUNT_H
#define ZN_PACK_TAR_COUNT_H

#include <cstdint>

#include "pack/bzip_stream.h"

namespace zn {

struct tar_counts {
    uint64_t entries;     // entries of every kind: directories, files, links
    uint64_t file_bytes;  // the sizes of the regular-file entries (a hard link adds nothing)
};

// Hands every byte of fd, from its current position to its end, to sink, and adds the entries of
// the tar archive they hold to *counts. The bytes are passed on exactly as read; what follows the
// end-of-archive blocks is passed on too. name is for messages. Returns 0, or -1 (pack_error set)
// when fd cannot be read, the sink fails, or the bytes are not a tar archive that reads whole
// (the installer could not unpack such an archive either). Reads fd only.
int tar_count_copy(int fd, const char *name, byte_sink sink, void *ctx, tar_counts *counts);

}  // namespace zn

#endif  // ZN_PACK_TAR_COUNT_H
