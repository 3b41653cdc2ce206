// The changes one extraction makes, recorded so that an archive installs whole or not at all.
//
// While an archive is read, nothing that was there before is changed: an entry whose name is free
// is created under its own name; one whose name is taken is written under a hidden temporary name
// in the same directory, beside the old entry; something that is not a directory, standing where
// the archive needs one, is moved aside under such a name; directory modes wait. Each change is
// recorded here before it is made (journal_reserve first, the change, then its record), so that
// nothing is ever done that the journal does not know of. Then either:
//   - journal_commit puts the new entries in place: the data is made durable, each temporary is
//     renamed over the entry it replaces (which is first renamed aside, so that the rename can be
//     undone); a rename that fails undoes the renames before it and the whole extraction is
//     rolled back. Then the entries moved aside are removed (while every directory may still be
//     written to), the directories get their modes and are made durable;
//   - or journal_rollback undoes every change, last first: temporaries and created entries are
//     removed, directories made are removed when empty, entries moved aside are put back.
//
// What a crash leaves behind: before the commit, the entries created under free names, the
// directories made and hidden temporaries, next to the old entries, which are all still there;
// during the commit's renames, a mix of old and new entries and hidden temporaries; after them,
// the new tree and possibly hidden names not yet removed. Temporaries are named
// ".zninstall.<pid>.<n>" (kJournalTempPrefix) and may be deleted.
//
// Invariants:
//   - dirs[0] is the root; every other record names its directory by its last component inside
//     the directory of record parent (parent < its own index); depth counts the components from
//     the root; dev and ino identify the directory, so that one replaced since is never used;
//   - dir_index maps (dev, ino) to a record: each directory has one record;
//   - steps are in the order the changes were made; names and temporaries live in names, each
//     NUL-terminated;
//   - pending maps (directory, name) to the last kStepReplace step for that name, so that a hard
//     link to an entry being replaced can be made to the new content.
#ifndef ZN_PACKAGE_EXTRACT_JOURNAL_H
#define ZN_PACKAGE_EXTRACT_JOURNAL_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace zn {

constexpr uint32_t kJournalRoot = 0;           // the record of the root directory
constexpr uint32_t kJournalNone = UINT32_MAX;  // no record
constexpr const char kJournalTempPrefix[] = ".zninstall.";
constexpr int kJournalTempNameSize = 48;  // bytes for a temporary name and its NUL

// A directory's record flags.
enum : uint8_t {
    kDirMade = 1,        // made by this extraction (removed on rollback when empty)
    kDirModeWanted = 2,  // gets mode at commit
};

struct journal_dir {
    uint64_t dev;
    uint64_t ino;
    uint32_t parent;  // record of the directory that holds it (kJournalNone for the root)
    uint32_t name;    // offset in names of its last component
    uint32_t depth;
    uint32_t mode;  // the mode it gets at commit, with kDirModeWanted
    uint8_t flags;
};

enum journal_step_kind : uint8_t {
    kStepCreated = 0,  // name was created in dir (a file or a link)
    kStepDirMade = 1,  // directory record dir was made
    kStepReplace = 2,  // temp in dir holds what replaces name at commit
    kStepAside = 3,    // name in dir was moved to temp to make way for a directory
    kStepDropped = 4,  // a replacement that a later change of the same name made void
};

struct journal_step {
    uint32_t dir;
    uint32_t name;  // offset in names
    uint32_t temp;  // the number in the temporary's name (kStepReplace, kStepAside, kStepDropped)
    uint8_t kind;
};

struct extract_journal {
    int root_fd;  // not owned
    journal_dir *dirs;
    uint32_t ndirs, dirs_cap;
    journal_step *steps;
    uint32_t nsteps, steps_cap;
    char *names;
    uint32_t names_len, names_cap;
    uint32_t *dir_index;  // open addressing: record + 1, 0 when empty
    uint32_t dir_index_cap;
    uint32_t *pending;  // open addressing: step + 1, 0 when empty
    uint32_t pending_cap, npending;
    uint32_t next_temp;
    int cache_fd;  // the directory opened last (O_PATH), or -1
    uint32_t cache_dir;
};

// Called for each change that could not be made or undone: what happened ("Cannot put %s in
// place", say, with %s the path), the path from the root (valid during the call), and errno.
using journal_report = void (*)(void *ctx, const char *what, const char *path, int error);

// Starts an empty journal for an extraction into root_fd (not owned; it must stay open until the
// journal is committed or rolled back). Returns 0, or -1 when root_fd cannot be inspected.
int journal_init(extract_journal *j, int root_fd);

// Makes room for one more step, one more directory record and a name of name_len bytes, so that
// the calls that record a change cannot fail. Returns 0, or -1 when the journal cannot grow (the
// change must not be made).
int journal_reserve(extract_journal *j, size_t name_len);

// The record of the directory st describes, or kJournalNone. Purely in memory.
uint32_t journal_dir_find(const extract_journal *j, const struct stat *st);

// Records the directory st, named name (len bytes) inside the directory of record parent: made by
// this extraction (made non-zero; a kStepDirMade step is added) or found there. Returns its
// record, the existing one when it has one. REQUIRES: journal_reserve just before.
uint32_t journal_dir_add(extract_journal *j, uint32_t parent, const char *name, size_t len,
                         const struct stat *st, int made);

// Directory record dir is to get mode at commit (the last call for a directory wins).
void journal_want_mode(extract_journal *j, uint32_t dir, int mode);

// Formats the name of a new temporary into out (kJournalTempNameSize bytes) and returns its
// number; the caller creates it exclusively and asks again while the name is taken.
uint32_t journal_temp_name(extract_journal *j, char *out);

// Records that name was created in dir. REQUIRES: journal_reserve just before.
void journal_created(extract_journal *j, uint32_t dir, const char *name);

// Records that temporary temp in dir holds what is to replace name. REQUIRES: journal_reserve.
void journal_replace(extract_journal *j, uint32_t dir, const char *name, uint32_t temp);

// Records that name in dir was moved to temporary temp; a replacement of name waiting for the
// commit is void from now on. REQUIRES: journal_reserve just before.
void journal_aside(extract_journal *j, uint32_t dir, const char *name, uint32_t temp);

// Moves name, in dir (open at dfd), aside under a new temporary name, never over anything, and
// records it (journal_aside). Returns 0, or -1 (errno set; ENOENT when nothing stands there).
// REQUIRES: journal_reserve just before. Touches the disk.
int journal_set_aside(extract_journal *j, int dfd, uint32_t dir, const char *name);

// When name in dir is waiting to be replaced, writes the temporary that holds its new content
// into temp_out (kJournalTempNameSize bytes) and returns 1; else returns 0. Purely in memory.
int journal_pending(const extract_journal *j, uint32_t dir, const char *name, char *temp_out);

// Opens the directory of record dir, never following a symbolic link, and checks that it is the
// one recorded. Returns a descriptor that the journal keeps (do not close it; it stays valid until
// the next call), or -1 (errno set). Touches the disk.
int journal_open_dir(extract_journal *j, uint32_t dir);

// Flags of journal_commit.
enum : int {
    kJournalSync = 1,  // data on disk before the renames, directories on disk after them
};

// Puts the changes in place as described above, reporting every step that fails. Returns the
// number of failures, 0 when the commit is complete. When the data could not be made durable or
// a rename failed, the commit's renames are undone, the journal rolled back and *rolled_back set;
// a directory mode or the final write to disk that fails leaves the new tree in place. The
// journal is freed either way.
size_t journal_commit(extract_journal *j, int flags, journal_report report, void *ctx,
                      int *rolled_back);

// Undoes every change, last first, reporting what cannot be undone. Returns the number of
// failures. The journal is freed.
size_t journal_rollback(extract_journal *j, journal_report report, void *ctx);

// The path of directory record dir from the root, followed by '/' and name when name is not null,
// as a new string (the caller frees it with chk_free). Purely in memory.
char *journal_path(const extract_journal *j, uint32_t dir, const char *name);

// Frees what j holds and closes its cached descriptor; j is empty afterwards.
void journal_free(extract_journal *j);

}  // namespace zn

#endif  // ZN_PACKAGE_EXTRACT_JOURNAL_H
