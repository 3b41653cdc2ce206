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
// was already on disk), and every directory that was already there must pass dir_trust
// (kTrustOnTheWay) for the user running the extraction: one that another user could change is
// refused too. Entries are created exclusively, and modes set on descriptors opened without
// following links.
//
// Nothing that was there before is changed while the archive is read (extract_journal.h): an
// entry whose name is taken is written under a hidden temporary name beside the old one, which
// stays until tar_reader_commit puts the new one in place; a hard link to an entry being replaced
// is made to the new content. tar_reader_rollback undoes everything instead. After a write fails
// for want of space (ENOSPC, EDQUOT, EFBIG) nothing more is created: the rest of the archive is
// only read, to find out whether it is whole.
//
// Modes: a file gets its header's mode & 07777 exactly, set on its descriptor once its data is
// written (set before, the setuid and setgid bits would be cleared by the kernel as a user who is
// not root writes the data); a file cut short or not written whole keeps the private mode it was
// created with. A directory entry ends with (mode & 07777) | 0111 less the umask, setgid and
// sticky bits included; a directory made for an entry's path ends with (the entry's mode & 0777)
// | 0111 less the umask. Directories are made owner-writable and searchable and get those modes
// at the commit, deepest first, so that entries beneath a read-only directory can be made by a
// user who is not root. A directory that was already there gets the mode of a directory entry
// that names it when the user running the extraction owns it; the root never changes. Bits in
// clear_bits are taken out of every mode.
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
// standard error "Corrupt archive header\n" (the rest of the archive is skipped),
// "Unexpected end of archive\n", and after each failure that has one, its reason (err_reason:
// the path and the system's text, or why a directory is not trusted). No "Extracting" line is
// printed once nothing more is created, nor with quiet set.
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

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "package/extract_journal.h"
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

// What extractions have done so far, added up over every reader that points at it: the data
// bytes of the entries read, and the entries (metadata headers and the end of the archive not
// counted).
struct tar_counts {
    uint64_t bytes;
    uint64_t entries;
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
    int no_space;        // a write failed for want of space: nothing more is created
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
    uint32_t parent_dir;  // its record in journal
    int list_only;        // entries are listed, not created (tar_reader_init_list)
    extract_journal journal;
    int umask_bits;  // the process umask, taken out of directory modes
    uid_t uid;       // the user extracting: directories that others could change are refused
    // Settings the caller may change after tar_reader_init:
    int clear_bits;                     // mode bits taken out of every entry (none by default)
    int setid_cleared;                  // entries whose set-user-ID or set-group-ID bit went
    const volatile sig_atomic_t *stop;  // when it points at a non-zero value, reading stops
    int quiet;                          // no "Extracting" line for each entry
    tar_counts *counts;                 // when set, added to as entries and data are read
    void (*progress)(void *ctx);        // when set, called after each entry and piece of data
    void *progress_ctx;
};

// Prints text on standard output, each control byte and backslash as a backslash escape (a line
// feed as \012, a backslash as \\), so that a name or a setting from a package can never put
// control sequences on the terminal.
void put_shown(const char *text);

// put_shown for n bytes of a text (NUL bytes included, shown as \000); with keep_lines, line
// feeds and tabs are printed as they are, so that a text of several lines reads as one.
void put_shown_bytes(const char *text, size_t n, int keep_lines);

// Prepares r to unpack a new archive into the directory root_fd (not owned; it must stay open
// until the archive is committed or rolled back). Reads the process umask (putting it back at
// once) and the effective user.
void tar_reader_init(tar_reader *r, int root_fd);

// Prepares r to list a new archive: nothing is created, nothing written. Finish it with
// tar_reader_finish, which then returns 1 when the archive could not be read whole.
void tar_reader_init_list(tar_reader *r);

// Consumes n bytes of the archive. Failures of single entries are reported and remembered;
// reading goes on with the next entry. Touches the disk under root_fd.
void tar_reader_feed(tar_reader *r, const char *data, size_t n);

// Ends reading: closes a file still open and frees what reading needed. stream_complete says
// whether the input ended properly; if it did and the archive stopped inside an entry, that is
// reported. Returns 0 when the whole archive was read and every entry made, 1 when anything
// failed. What was made stays pending: commit it or roll it back.
int tar_reader_finish(tar_reader *r, bool stream_complete);

// Puts what the archive made in place (journal_commit; flags: kJournalSync), reporting each
// failure. Returns 0; 1 when the commit failed and everything was rolled back; 2 when the new
// tree stands but a directory's mode or the final write to disk failed.
int tar_reader_commit(tar_reader *r, int flags);

// Undoes everything the archive made, reporting what could not be undone. Returns 0, or 1 when
// something could not be undone.
int tar_reader_rollback(tar_reader *r);

}  // namespace zn

#endif  // ZN_PACKAGE_TAR_READER_H
