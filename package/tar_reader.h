// The tar reader: a streaming state machine that unpacks a tar archive into a directory as the
// decompressed bytes arrive, in pieces of any size.
//
// It reads POSIX ustar (with the prefix field), GNU long names and long link names ('L', 'K'),
// pax extended headers ('x': path, linkpath, size; 'g' is ignored), base-256 size fields,
// directories, regular files, symbolic links (target stored as it is) and hard links. A
// directory may also be stored the old way, as a name ending in "/" with type flag '0' or NUL,
// or as a GNU dump directory ('D', whose body is skipped). Device nodes and FIFOs are skipped
// with a message. Every header's checksum is verified; an all-zero block (or a header with an
// empty name) ends the archive.
//
// Nothing is written outside the root directory: absolute names and names with a ".." component
// are refused, every directory on an entry's path is opened without following a symbolic link
// (an entry whose path goes through a link is refused, whether the link came from this archive or
// was already on disk), whatever stands at an entry's own path is removed and the entry created
// fresh and exclusively, and modes are set on descriptors opened without following links.
//
// Modes: a file gets its header's mode & 07777 exactly, set on its descriptor once its data is
// written (set before, the setuid and setgid bits would be cleared by the kernel as a user who is
// not root writes the data); a file cut short or not written whole keeps the private mode it was
// created with. A directory entry ends with (mode & 07777) | 0111 less the umask, setgid and
// sticky bits included; a directory made for an entry's path ends with (the entry's mode & 0777)
// | 0111 less the umask. Directories are made owner-writable and searchable and get those modes
// when the archive ends (also when it was cut short or failed), deepest first, so that entries
// beneath a read-only directory can be made by a user who is not root. Directories that were
// there before keep their modes; one this archive made that a later directory entry names again
// ends with that entry's mode.
//
// Checks it deliberately does not make: owner, group and times are not restored (files belong to
// whoever runs the installer, with the time of extraction); the magic field is not required (old
// archives lack it); a symbolic link's target is not checked, since nothing is ever written
// through a link.
//
// Messages, on standard output unless said: "Extracting %s .. %lu bytes\n" for every entry and
// for the end-of-archive header (empty name, 0 bytes), but not for metadata headers;
// "Error creating dir %s\n", "Cannot create file %s\n", "Failed to chmod(%s, %o)\n",
// "Refusing unsafe path %s\n", "Skipping special file %s\n", "Error writing file %s\n"; on
// standard error "Corrupt archive header\n" (the rest of the archive is skipped) and
// "Unexpected end of archive\n".
//
// In list mode the same headers are read, but nothing is created and no "Extracting" line is
// printed: each entry (not the metadata headers, not the end of the archive) is shown as one line
// on standard output, "<kind><permissions> <size> <name>", the size in 12 columns, followed by
// " -> <target>" for a symbolic link and " link to <target>" for a hard link. The kind is '-'
// file, 'd' directory, 'l' symbolic link, 'h' hard link, 'c', 'b' or 'p' special file; the
// permissions read as in "drwxr-xr-x" (s, S, t, T for the set-ID and sticky bits). Control bytes
// and backslashes in names are shown as escapes: a line feed as \012, a backslash as \\.
#ifndef ZN_PACKAGE_TAR_READER_H
#define ZN_PACKAGE_TAR_READER_H

#include <cstddef>
#include <cstdint>

#include "package/dir_modes.h"
#include "string/dstr.h"

namespace zn {

constexpr int kTarBlock = 512;              // bytes per header and per data block
constexpr uint64_t kTarMetaMax = 1u << 20;  // largest metadata body (long name, pax header)

enum tar_state : int {
    kTarHeader = 0,   // collecting a 512-byte header
    kTarData = 1,     // an entry's data (written to out_fd, or skipped when it is -1)
    kTarPadding = 2,  // the zeros that round the data up to a block
    kTarEnd = 3,      // after the end of the archive, or after a corrupt header: skip everything
    kTarMeta = 4,     // the body of a metadata entry, collected in meta
};

struct tar_reader {
    int root_fd;  // the directory entries are created in
    int state;
    unsigned char header[kTarBlock];
    size_t fill;         // header bytes collected
    uint64_t remaining;  // data bytes of the current entry still to come
    size_t padding;      // padding bytes still to skip
    int out_fd;          // file being written, or -1
    int out_mode;        // the mode it gets once its data is all written
    char *entry_name;    // full name of the current entry, for messages (owned)
    int failed;          // set by anything that keeps the archive from being installed whole
    // Metadata: the body being collected, and what it says about the next entry.
    char meta_type;
    dstr meta;
    char *next_name;  // from 'L' or pax path (owned)
    char *next_link;  // from 'K' or pax linkpath (owned)
    int has_next_size;
    uint64_t next_size;
    // The directory of the last entry, kept open: entries of one directory follow each other.
    char *parent_name;  // the name's text up to its last component (owned)
    int parent_fd;
    int list_only;       // entries are listed, not created (tar_reader_init_list)
    size_t parent_made;  // its record in made when the walk that opened it made it
    // The directories made, for the modes they get when the archive ends.
    dir_modes made;
    int umask_bits;  // the process umask, taken out of those modes
};

// Prepares r to unpack a new archive into the directory root_fd (not owned; it must stay open
// until tar_reader_finish). Reads the process umask (putting it back at once).
void tar_reader_init(tar_reader *r, int root_fd);

// Prepares r to list a new archive: nothing is created, nothing written. Finish it with
// tar_reader_finish, which then returns 1 when the archive could not be read whole.
void tar_reader_init_list(tar_reader *r);

// Consumes n bytes of the archive. Failures of single entries are reported and remembered;
// reading goes on with the next entry. Touches the disk under root_fd.
void tar_reader_feed(tar_reader *r, const char *data, size_t n);

// Ends the archive: closes a file still open, gives the directories made their modes and frees
// what r holds. stream_complete says whether the input ended properly; if it did and the archive
// stopped inside an entry, that is reported. Returns 0 when the whole archive was installed, 1
// when anything failed.
int tar_reader_finish(tar_reader *r, bool stream_complete);

}  // namespace zn

#endif  // ZN_PACKAGE_TAR_READER_H
