#include "package/tar_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/chk.h"
#include "lib/dir_trust.h"
#include "lib/messages.h"

namespace zn {

// Header layout: offset and width of each field used.
constexpr int kNameOffset = 0, kNameWidth = 100;
constexpr int kModeOffset = 100, kModeWidth = 8;
constexpr int kSizeOffset = 124, kSizeWidth = 12;
constexpr int kChecksumOffset = 148, kChecksumWidth = 8;
constexpr int kTypeOffset = 156;
constexpr int kLinkOffset = 157, kLinkWidth = 100;
constexpr int kMagicOffset = 257;  // "ustar\0" in POSIX archives, "ustar " in old GNU ones
constexpr int kPrefixOffset = 345, kPrefixWidth = 155;

constexpr int kSearchBits = 0111;     // added to the mode of every directory made
constexpr int kOwnerAll = 0700;       // a directory's mode while entries are made beneath it
constexpr int kFreshFileMode = 0600;  // a new file's mode until its own is set

namespace {

char *dup_bytes(const char *p, size_t n) {
    char *s = static_cast<char *>(chk_alloc(unsigned(n + 1)));
    std::memcpy(s, p, n);
    s[n] = '\0';
    return s;
}

// Parses a numeric header field: octal text (leading blanks, then digits, then NULs or blanks
// to the end of the field), or base-256 when the first byte has its top bit set. An empty field
// is 0. Returns 0, or -1 for anything else (including negative base-256 values and overflow).
int parse_number(const unsigned char *f, int width, uint64_t *out) {
    uint64_t v = 0;
    if (f[0] & 0x80) {
        if (f[0] & 0x40) return -1;  // negative
        v = f[0] & 0x3F;
        for (int i = 1; i < width; i++) {
            if (v >> 55) return -1;
            v = (v << 8) | f[i];
        }
        *out = v;
        return 0;
    }
    int i = 0;
    while (i < width && f[i] == ' ') i++;
    for (; i < width && f[i] >= '0' && f[i] <= '7'; i++) {
        if (v >> 60) return -1;
        v = (v << 3) | uint64_t(f[i] - '0');
    }
    for (; i < width; i++)
        if (f[i] != '\0' && f[i] != ' ') return -1;
    *out = v;
    return 0;
}

// The stored checksum must equal the sum of the header's bytes with the checksum field counted
// as blanks, taken either unsigned or signed (old writers used signed chars).
bool checksum_ok(const unsigned char *h) {
    uint64_t stored;
    if (parse_number(h + kChecksumOffset, kChecksumWidth, &stored) < 0) return false;
    long unsigned_sum = 0, signed_sum = 0;
    for (int i = 0; i < kTarBlock; i++) {
        bool in_field = i >= kChecksumOffset && i < kChecksumOffset + kChecksumWidth;
        unsigned char c = in_field ? ' ' : h[i];
        unsigned_sum += c;
        signed_sum += static_cast<signed char>(c);
    }
    return long(stored) == unsigned_sum || long(stored) == signed_sum;
}

bool all_zero(const unsigned char *h) {
    for (int i = 0; i < kTarBlock; i++)
        if (h[i]) return false;
    return true;
}

// A name is unsafe when it is absolute or has a ".." component.
bool name_is_unsafe(const char *name) {
    if (name[0] == '/') return true;
    for (const char *p = name; *p;) {
        const char *end = std::strchr(p, '/');
        size_t len = end ? size_t(end - p) : std::strlen(p);
        if (len == 2 && p[0] == '.' && p[1] == '.') return true;
        if (!end) break;
        p = end + 1;
    }
    return false;
}

enum walk_result { kWalkOk, kWalkUnsafe, kWalkFailed };

// Where a walk ended up: the directory reached, or why it stopped.
struct walk {
    int fd;        // the directory that holds the name's last component (O_PATH)
    uint32_t dir;  // its journal record
    int error;     // errno of the call that failed (kWalkFailed)
    int distrust;  // why a directory on the way was refused (kWalkUnsafe), or kTrustOk for a link
    size_t upto;   // the length of the name's text up to the component where it stopped
};

bool is_no_space(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// A new directory's mode while entries are made beneath it.
mode_t provisional_mode(int mode) {
    return mode_t((mode & 0777) | kSearchBits | kOwnerAll);
}

// Opens the directory that holds name's last component, starting at the root and never following
// a symbolic link. A directory that was already there must pass dir_trust; with path_mode >= 0,
// missing directories are made (provisional_mode, ending with path_mode) and recorded. Each
// directory passed through gets a journal record. On kWalkOk, w->fd is open (the caller closes
// it) and leaf (at least strlen(name) + 1 bytes) holds the last component, "" when name has none
// (as in "./").
walk_result walk_parent(tar_reader *r, const char *name, int path_mode, walk *w, char *leaf) {
    extract_journal *j = &r->journal;
    *w = {openat(r->root_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC), kJournalRoot, 0, kTrustOk, 0};
    leaf[0] = '\0';
    const char *p = name;
    for (;;) {
        while (*p == '/') p++;
        const char *end = std::strchr(p, '/');
        size_t len = end ? size_t(end - p) : std::strlen(p);
        const char *rest = p + len;
        while (*rest == '/') rest++;
        bool last = *rest == '\0';
        std::memcpy(leaf, p, len);
        leaf[len] = '\0';
        if (last) break;
        w->upto = size_t(p - name) + len;
        p = rest;
        if (len == 0 || (len == 1 && leaf[0] == '.')) continue;

        walk_result stop = kWalkFailed;
        int next = -1;
        bool made = false;
        struct stat st;
        if (w->fd >= 0) next = openat(w->fd, leaf, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && path_mode >= 0) {
            if (journal_reserve(j, len) < 0) {
                errno = ENOMEM;
            } else {
                made = mkdirat(w->fd, leaf, provisional_mode(path_mode)) == 0;
                if (made || errno == EEXIST)
                    next = openat(w->fd, leaf, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
        }
        if (next < 0) {
            w->error = errno;
            if (w->fd >= 0 && fstatat(w->fd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                stop = kWalkUnsafe;
        } else if (fstat(next, &st) < 0) {
            w->error = errno;
        } else if (made) {
            w->dir = journal_dir_add(j, w->dir, leaf, len, &st, 1);
            journal_want_mode(j, w->dir, path_mode);
            stop = kWalkOk;
        } else {
            uint32_t known = journal_dir_find(j, &st);
            if (known == kJournalNone) {
                w->distrust = dir_trust(next, &st, r->uid, kTrustOnTheWay);
                if (w->distrust != kTrustOk) {
                    stop = kWalkUnsafe;
                } else if (journal_reserve(j, len) < 0) {
                    w->error = ENOMEM;
                } else {
                    known = journal_dir_add(j, w->dir, leaf, len, &st, 0);
                }
            }
            if (known != kJournalNone) {
                w->dir = known;
                stop = kWalkOk;
            }
        }
        if (w->fd >= 0) close(w->fd);
        w->fd = next;
        if (stop != kWalkOk) {
            if (next >= 0) close(next);
            w->fd = -1;
            return stop;
        }
    }
    if (w->fd < 0) {
        w->error = errno;
        return kWalkFailed;
    }
    if (leaf[0] == '.' && leaf[1] == '\0') leaf[0] = '\0';
    return kWalkOk;
}

void free_name(char **p) {
    chk_free_ptr(p);
}

void forget_parent(tar_reader *r) {
    free_name(&r->parent_name);
    if (r->parent_fd >= 0) close(r->parent_fd);
    r->parent_fd = -1;
    r->parent_dir = kJournalNone;
}

// The mode a directory made for an entry's path ends with: the entry's permission bits and
// search for all, less the umask.
int path_dir_mode(const tar_reader *r, int mode) {
    return ((mode & 0777) | kSearchBits) & ~r->umask_bits & ~r->clear_bits;
}

void clear_metadata(tar_reader *r) {
    free_name(&r->next_name);
    free_name(&r->next_link);
    r->has_next_size = 0;
}

void corrupt(tar_reader *r) {
    err_printf("Corrupt archive header\n");
    r->failed = 1;
    r->state = kTarEnd;
}

void refuse(tar_reader *r, const char *name) {
    out_printf("Refusing unsafe path %s\n", name);
    r->failed = 1;
}

// Refuses name because of a directory on its way (or the directory it names): the first dir_len
// bytes of name. A directory another user could change gets its reason on standard error; a
// symbolic link (distrust kTrustOk) needs none.
void refuse_untrusted(tar_reader *r, const char *name, size_t dir_len, int distrust) {
    refuse(r, name);
    if (distrust != kTrustOk)
        err_printf("%s: %.*s: %s\n", program_name, int(dir_len), name, dir_trust_reason(distrust));
}

// A walk for name stopped: the entry is refused (with why a directory was not trusted) or could
// not be made (message, with the reason).
void walk_failed(tar_reader *r, walk_result result, const walk &w, const char *name,
                 const char *message) {
    if (result == kWalkUnsafe) {
        refuse_untrusted(r, name, w.upto, w.distrust);
        return;
    }
    out_printf(message, name);
    err_reason(name, w.error);
    r->failed = 1;
    if (is_no_space(w.error)) r->no_space = 1;
}

// An entry could not be made: message (with %s for its name), then the reason error.
void cannot_make(tar_reader *r, const char *message, const char *name, int error) {
    out_printf(message, name);
    err_reason(name, error);
    r->failed = 1;
    if (is_no_space(error)) r->no_space = 1;
}

// After an entry's header: its data (if any) follows, then padding to the next block.
void expect_data(tar_reader *r, uint64_t size) {
    r->remaining = size;
    r->padding = size % kTarBlock ? kTarBlock - size % kTarBlock : 0;
    r->state = size ? kTarData : (r->padding ? kTarPadding : kTarHeader);
}

// The mode of an entry, less clear_bits (counting the set-ID bits taken).
int entry_mode(tar_reader *r, int mode) {
    if (mode & r->clear_bits & 06000) r->setid_cleared++;
    return mode & 07777 & ~r->clear_bits;
}

// Opens the parent of an entry, making missing directories (ending with path_dir_mode(mode)):
// the descriptor stays with the reader (the caller must not close it), so that the entries of
// one directory share one walk. Returns the result with *parent_fd and *parent_dir set, or
// reports why not.
walk_result entry_parent(tar_reader *r, const char *name, int mode, const char *message,
                         int *parent_fd, uint32_t *parent_dir, char *leaf) {
    size_t end = std::strlen(name);
    while (end > 0 && name[end - 1] == '/') end--;
    size_t cut = end;
    while (cut > 0 && name[cut - 1] != '/') cut--;
    if (r->parent_name != nullptr && std::strlen(r->parent_name) == cut &&
        std::memcmp(r->parent_name, name, cut) == 0) {
        std::memcpy(leaf, name + cut, end - cut);
        leaf[end - cut] = '\0';
        if (leaf[0] == '.' && leaf[1] == '\0') leaf[0] = '\0';
        *parent_fd = r->parent_fd;
        *parent_dir = r->parent_dir;
        return kWalkOk;
    }
    walk w;
    walk_result result = walk_parent(r, name, path_dir_mode(r, mode), &w, leaf);
    if (result != kWalkOk) {
        walk_failed(r, result, w, name, message);
        return result;
    }
    forget_parent(r);
    r->parent_name = dup_bytes(name, cut);
    r->parent_fd = w.fd;
    r->parent_dir = w.dir;
    *parent_fd = w.fd;
    *parent_dir = w.dir;
    return kWalkOk;
}

bool is_directory_at(int dfd, const char *leaf) {
    struct stat st;
    return fstatat(dfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

constexpr int kTempTries = 1000;  // temporary names tried before giving up

// Makes an entry at leaf in parent with make(parent, name), which returns -1 with errno EEXIST
// when the name is taken. A free name is recorded as created; a taken one (not a directory) gets
// a temporary name instead, recorded as replacing it at the commit. Returns make's result (-1
// with errno set when nothing was made).
template <typename Make>
int make_entry(tar_reader *r, int parent, uint32_t dir, const char *leaf, Make make) {
    if (journal_reserve(&r->journal, std::strlen(leaf)) < 0) {
        errno = ENOMEM;
        return -1;
    }
    int rc = make(parent, leaf);
    if (rc >= 0) {
        journal_created(&r->journal, dir, leaf);
        return rc;
    }
    if (errno != EEXIST) return -1;
    if (is_directory_at(parent, leaf)) {
        errno = EISDIR;  // a directory stays; the entry cannot take its place
        return -1;
    }
    char temp[kJournalTempNameSize];
    for (int tries = 0; tries < kTempTries; tries++) {
        uint32_t n = journal_temp_name(&r->journal, temp);
        rc = make(parent, temp);
        if (rc >= 0) {
            journal_replace(&r->journal, dir, leaf, n);
            return rc;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Opens the parent of a new entry. Returns the parent descriptor (kept by the reader: do not
// close it) with *dir its record, or -1 after reporting why not.
int prepare_entry(tar_reader *r, const char *name, int mode, char *leaf, uint32_t *dir) {
    int parent;
    const char *message = "Cannot create file %s\n";
    if (entry_parent(r, name, mode, message, &parent, dir, leaf) != kWalkOk) return -1;
    if (leaf[0] == '\0') {
        cannot_make(r, message, name, EISDIR);
        return -1;
    }
    return parent;
}

void make_directory(tar_reader *r, const char *name, int mode) {
    const char *message = "Error creating dir %s\n";
    int final_mode = ((mode & 07777) | kSearchBits) & ~r->umask_bits & ~r->clear_bits;
    if (mode & r->clear_bits & 06000) r->setid_cleared++;
    char *leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(name) + 1)));
    int parent;
    uint32_t parent_dir;
    walk_result w = entry_parent(r, name, mode, message, &parent, &parent_dir, leaf);
    extract_journal *j = &r->journal;
    size_t len = std::strlen(leaf);
    if (w == kWalkOk && leaf[0] != '\0') {
        bool made = false;
        int error = 0;
        if (journal_reserve(j, len) < 0) {
            error = ENOMEM;
        } else if (mkdirat(parent, leaf, provisional_mode(mode)) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            error = errno;
        } else {
            int fd = openat(parent, leaf, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat st;
            if (fd >= 0 && fstat(fd, &st) == 0) {
                // A directory that was there: trusted, and given this entry's mode when ours.
                uint32_t d = journal_dir_find(j, &st);
                int distrust = d == kJournalNone ? dir_trust(fd, &st, r->uid, kTrustOnTheWay) : 0;
                if (distrust != kTrustOk) {
                    // The directory's path, as the reason for one on the way names it.
                    size_t dir_len = std::strlen(name);
                    while (dir_len > 1 && name[dir_len - 1] == '/') dir_len--;
                    refuse_untrusted(r, name, dir_len, distrust);
                } else {
                    if (d == kJournalNone) d = journal_dir_add(j, parent_dir, leaf, len, &st, 0);
                    if (st.st_uid == r->uid) journal_want_mode(j, d, final_mode);
                }
            } else if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
                // A file or a link stands where the directory goes: it goes aside until the
                // commit removes it, and comes back on a rollback.
                if (journal_set_aside(j, parent, parent_dir, leaf) < 0 ||
                    journal_reserve(j, len) < 0 ||
                    mkdirat(parent, leaf, provisional_mode(mode)) < 0)
                    error = errno;
                else
                    made = true;
            } else {
                error = errno;
            }
            if (fd >= 0) close(fd);
        }
        struct stat st;
        if (made && fstatat(parent, leaf, &st, AT_SYMLINK_NOFOLLOW) < 0) error = errno;
        if (made && error == 0) {
            uint32_t d = journal_dir_add(j, parent_dir, leaf, len, &st, 1);
            journal_want_mode(j, d, final_mode);
        }
        if (error != 0) cannot_make(r, message, name, error);
    }
    chk_free(leaf);
}

void create_file(tar_reader *r, const char *name, int mode) {
    char *leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(name) + 1)));
    uint32_t dir;
    int parent = prepare_entry(r, name, mode, leaf, &dir);
    if (parent >= 0) {
        r->out_fd = make_entry(r, parent, dir, leaf, [](int dfd, const char *n) {
            return openat(dfd, n, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kFreshFileMode);
        });
        if (r->out_fd < 0) cannot_make(r, "Cannot create file %s\n", name, errno);
        r->out_mode = entry_mode(r, mode);
    }
    chk_free(leaf);
}

// Closes the file being written. One whose data is complete first gets its mode, on its own
// descriptor: set before the data, its setuid and setgid bits would be cleared by the kernel as
// a user who is not root writes it.
void close_output(tar_reader *r, bool complete) {
    if (complete && fchmod(r->out_fd, mode_t(r->out_mode)) < 0) {
        int error = errno;
        out_printf("Failed to chmod(%s, %o)\n", r->entry_name, unsigned(r->out_mode));
        err_reason(r->entry_name, error);
        r->failed = 1;
    }
    if (close(r->out_fd) < 0 && complete)
        cannot_make(r, "Error writing file %s\n", r->entry_name, errno);
    r->out_fd = -1;
}

void create_symlink(tar_reader *r, const char *name, const char *target, int mode) {
    char *leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(name) + 1)));
    uint32_t dir;
    int parent = prepare_entry(r, name, mode, leaf, &dir);
    if (parent >= 0 && make_entry(r, parent, dir, leaf, [target](int dfd, const char *n) {
                           return symlinkat(target, dfd, n);
                       }) < 0)
        cannot_make(r, "Cannot create file %s\n", name, errno);
    chk_free(leaf);
}

// True when name already is the file st describes (a hard link to itself needs nothing).
bool already_linked(tar_reader *r, const char *name, const struct stat &st) {
    char *leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(name) + 1)));
    walk w;
    bool same = false;
    if (walk_parent(r, name, -1, &w, leaf) == kWalkOk) {
        struct stat here;
        same = leaf[0] != '\0' && fstatat(w.fd, leaf, &here, AT_SYMLINK_NOFOLLOW) == 0 &&
               here.st_dev == st.st_dev && here.st_ino == st.st_ino;
        close(w.fd);
    }
    chk_free(leaf);
    return same;
}

// A hard link to an entry that this archive is replacing links to the new content: its
// temporary, which the commit renames into place.
void create_hardlink(tar_reader *r, const char *name, const char *target, int mode) {
    if (name_is_unsafe(target)) {
        refuse(r, target);
        return;
    }
    const char *message = "Cannot create file %s\n";
    char *target_leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(target) + 1)));
    char source[kJournalTempNameSize];
    walk w;
    walk_result result = walk_parent(r, target, -1, &w, target_leaf);
    struct stat st;
    const char *from = target_leaf;
    if (result == kWalkOk && journal_pending(&r->journal, w.dir, target_leaf, source))
        from = source;
    if (result != kWalkOk) {
        if (result == kWalkUnsafe)
            walk_failed(r, result, w, target, message);
        else
            cannot_make(r, message, name, w.error);
    } else if (target_leaf[0] == '\0' || fstatat(w.fd, from, &st, AT_SYMLINK_NOFOLLOW) < 0) {
        cannot_make(r, message, name, target_leaf[0] == '\0' ? EISDIR : errno);
    } else if (!already_linked(r, name, st)) {
        char *leaf = static_cast<char *>(chk_alloc(unsigned(std::strlen(name) + 1)));
        uint32_t dir;
        int parent = prepare_entry(r, name, mode, leaf, &dir);
        int source_dir = w.fd;
        // Without AT_SYMLINK_FOLLOW a link to a symbolic link stays a link to the link.
        if (parent >= 0 &&
            make_entry(r, parent, dir, leaf, [source_dir, from](int dfd, const char *n) {
                return linkat(source_dir, from, dfd, n, 0);
            }) < 0)
            cannot_make(r, message, name, errno);
        chk_free(leaf);
    }
    if (w.fd >= 0) close(w.fd);
    chk_free(target_leaf);
}

// The list line of an entry, as a verbose tar listing has it: the kind ('-' file, 'd'
// directory, 'l' symbolic link, 'h' hard link, 'c', 'b', 'p' special files) and permission
// string, the size from the header, the name, and where a link leads.
void list_entry(char type, int mode, uint64_t size, const char *name, const char *link) {
    static const char kKinds[] = "1h2l3c4b5d6p";
    const char *kind = type != '\0' ? std::strchr(kKinds, type) : nullptr;
    char perms[11] = "-rwxrwxrwx";
    if (kind != nullptr && (kind - kKinds) % 2 == 0) perms[0] = kind[1];
    for (int bit = 0; bit < 9; bit++)
        if (!(mode & (0400 >> bit))) perms[1 + bit] = '-';
    // Set-user-ID, set-group-ID and sticky show in the execute places, upper case without it.
    static const struct {
        int bit, at;
        char with_x, without_x;
    } kSpecial[] = {{04000, 3, 's', 'S'}, {02000, 6, 's', 'S'}, {01000, 9, 't', 'T'}};
    for (const auto &sp : kSpecial)
        if (mode & sp.bit) perms[sp.at] = perms[sp.at] == 'x' ? sp.with_x : sp.without_x;
    std::printf("%s %12llu ", perms, static_cast<unsigned long long>(size));
    put_shown(name);
    if (type == '1' || type == '2') {
        std::fputs(type == '2' ? " -> " : " link to ", stdout);
        put_shown(link);
    }
    std::putchar('\n');
}

// Reads the records of a pax extended header: "<length> <key>=<value>\n", the length counting
// the whole record. Returns -1 when a record is malformed.
int parse_pax(tar_reader *r, const char *p, size_t n) {
    size_t at = 0;
    while (at < n) {
        if (p[at] == '\0') break;  // padding some writers leave at the end
        size_t len = 0, i = at;
        while (i < n && p[i] >= '0' && p[i] <= '9') {
            len = len * 10 + size_t(p[i] - '0');
            if (len > n) return -1;
            i++;
        }
        if (i == at || i >= n || p[i] != ' ' || len < 5 || at + len > n || p[at + len - 1] != '\n')
            return -1;
        const char *key = p + i + 1;
        const char *end = p + at + len - 1;  // the newline
        const char *eq = static_cast<const char *>(std::memchr(key, '=', size_t(end - key)));
        if (eq == nullptr) return -1;
        size_t key_len = size_t(eq - key);
        const char *value = eq + 1;
        size_t value_len = size_t(end - value);
        if (key_len == 4 && std::memcmp(key, "path", 4) == 0) {
            free_name(&r->next_name);
            r->next_name = dup_bytes(value, value_len);
        } else if (key_len == 8 && std::memcmp(key, "linkpath", 8) == 0) {
            free_name(&r->next_link);
            r->next_link = dup_bytes(value, value_len);
        } else if (key_len == 4 && std::memcmp(key, "size", 4) == 0) {
            uint64_t v = 0;
            if (value_len == 0 || value_len > 19) return -1;
            for (size_t k = 0; k < value_len; k++) {
                if (value[k] < '0' || value[k] > '9') return -1;
                v = v * 10 + uint64_t(value[k] - '0');
            }
            r->next_size = v;
            r->has_next_size = 1;
        }
        at += len;
    }
    return 0;
}

// The body of a metadata entry is complete: remember what it says about the next entry.
void finish_metadata(tar_reader *r) {
    const char *body = r->meta.dl_ptr;
    size_t n = size_t(r->meta.dl_len);
    switch (r->meta_type) {
        case 'L':
        case 'K': {
            size_t len = body ? strnlen(body, n) : 0;
            char **slot = r->meta_type == 'L' ? &r->next_name : &r->next_link;
            free_name(slot);
            *slot = dup_bytes(body ? body : "", len);
            break;
        }
        case 'x':
        case 'X':
            if (parse_pax(r, body ? body : "", n) < 0) {
                corrupt(r);
                return;
            }
            break;
        default:
            break;  // 'g': global settings are not used
    }
    r->meta.dl_len = 0;
    r->state = r->padding ? kTarPadding : kTarHeader;
}

// True when the entries that follow are only read: a write failed for want of space, or the
// caller asked reading to stop.
bool only_reading(tar_reader *r) {
    return r->no_space || (r->stop != nullptr && *r->stop);
}

void process_header(tar_reader *r) {
    const unsigned char *h = r->header;
    if (r->stop != nullptr && *r->stop) {
        r->failed = 1;
        r->state = kTarEnd;
        return;
    }
    bool quiet = r->list_only || r->quiet || only_reading(r);
    if (all_zero(h)) {
        if (!quiet) std::printf("Extracting %s .. %lu bytes\n", "", 0ul);
        r->state = kTarEnd;
        return;
    }
    uint64_t size, mode;
    if (!checksum_ok(h) || parse_number(h + kSizeOffset, kSizeWidth, &size) < 0 ||
        parse_number(h + kModeOffset, kModeWidth, &mode) < 0) {
        corrupt(r);
        return;
    }
    char type = char(h[kTypeOffset]);

    // 1. Metadata entries describe the entry after them and print nothing.
    if (type == 'L' || type == 'K' || type == 'x' || type == 'X' || type == 'g') {
        if (size > kTarMetaMax) {
            corrupt(r);
            return;
        }
        r->meta_type = type;
        r->meta.dl_len = 0;
        expect_data(r, size);
        if (size)
            r->state = kTarMeta;
        else
            finish_metadata(r);
        return;
    }

    // 2. The entry's names and size, with what metadata said first.
    if (r->has_next_size) size = r->next_size;
    free_name(&r->entry_name);
    bool named_by_metadata = r->next_name != nullptr;
    if (named_by_metadata) {
        r->entry_name = r->next_name;
        r->next_name = nullptr;
    } else {
        const char *name = reinterpret_cast<const char *>(h + kNameOffset);
        const char *prefix = reinterpret_cast<const char *>(h + kPrefixOffset);
        size_t name_len = strnlen(name, kNameWidth);
        size_t prefix_len =
            std::memcmp(h + kMagicOffset, "ustar\0", 6) == 0 ? strnlen(prefix, kPrefixWidth) : 0;
        r->entry_name = static_cast<char *>(chk_alloc(unsigned(prefix_len + name_len + 2)));
        char *at = r->entry_name;
        if (prefix_len) {
            std::memcpy(at, prefix, prefix_len);
            at += prefix_len;
            *at++ = '/';
        }
        std::memcpy(at, name, name_len);
        at[name_len] = '\0';
    }
    char *link = r->next_link;
    r->next_link = nullptr;
    if (link == nullptr)
        link = dup_bytes(reinterpret_cast<const char *>(h + kLinkOffset),
                         strnlen(reinterpret_cast<const char *>(h + kLinkOffset), kLinkWidth));
    clear_metadata(r);

    const char *name = r->entry_name;
    if (!quiet) std::printf("Extracting %s .. %lu bytes\n", name, (unsigned long)size);

    // 3. An empty name in the header itself ends the archive; one given by metadata names
    // nothing that could be created.
    if (name[0] == '\0') {
        chk_free(link);
        if (!named_by_metadata) {
            r->state = kTarEnd;
            return;
        }
        if (r->list_only)
            std::printf("Cannot create file %s\n", name);
        else if (!only_reading(r))
            cannot_make(r, "Cannot create file %s\n", name, ENOENT);
        r->failed = 1;
        expect_data(r, size);
        return;
    }

    if (r->counts != nullptr) r->counts->entries++;
    if (r->progress != nullptr) r->progress(r->progress_ctx);

    // 4. The entry itself; its data is written only for a regular file that could be created.
    // Directories stored the old way are names ending in '/' with a regular file's type, and GNU
    // dump directories carry a listing as their body, which is skipped. In list mode the entry is
    // shown instead, and its data skipped.
    int m = int(mode & 07777);
    size_t len = std::strlen(name);
    bool old_dir = (type == '0' || type == '\0') && name[len - 1] == '/';
    r->out_fd = -1;
    if (r->list_only) {
        list_entry(type == 'D' || old_dir ? '5' : type, m, size, name, link);
    } else if (only_reading(r)) {
        // Nothing more is made; the data is skipped.
    } else if ((type == '1' || type == '2') && link[0] == '\0') {
        cannot_make(r, "Cannot create file %s\n", name, ENOENT);
    } else if (type == '3' || type == '4' || type == '6') {
        out_printf("Skipping special file %s\n", name);
    } else if (name_is_unsafe(name)) {
        refuse(r, name);
    } else if (type == '5' || type == 'D' || old_dir) {
        make_directory(r, name, m);
    } else if (type == '2') {
        create_symlink(r, name, link, m);
    } else if (type == '1') {
        create_hardlink(r, name, link, m);
    } else {
        create_file(r, name, m);
    }
    chk_free(link);
    expect_data(r, size);
    if (r->state != kTarData && r->out_fd >= 0) close_output(r, true);
}

// Data bytes of the current entry: written in one run to the open file, or dropped.
void take_data(tar_reader *r, const char *p, size_t n) {
    if (r->out_fd >= 0 && r->stop != nullptr && *r->stop) close_output(r, false);
    if (r->out_fd >= 0) {
        size_t done = 0;
        while (done < n) {
            ssize_t put = write(r->out_fd, p + done, n - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                cannot_make(r, "Error writing file %s\n", r->entry_name, put < 0 ? errno : ENOSPC);
                close_output(r, false);
                break;
            }
            done += size_t(put);
        }
    }
    r->remaining -= n;
    if (r->counts != nullptr) r->counts->bytes += n;
    if (r->progress != nullptr) r->progress(r->progress_ctx);
    if (r->remaining == 0) {
        if (r->out_fd >= 0) close_output(r, true);
        r->state = r->padding ? kTarPadding : kTarHeader;
    }
}

// Reports a change that the commit or the rollback could not make.
void report_change(void *, const char *what, const char *path, int error) {
    out_printf(what, path);
    out_printf("\n");
    err_reason(path, error);
}

}  // namespace

void put_shown_bytes(const char *text, size_t n, int keep_lines) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); n > 0; p++, n--) {
        if (*p == '\\')
            std::fputs("\\\\", stdout);
        else if (keep_lines && (*p == '\n' || *p == '\t'))
            std::putchar(*p);
        else if (*p < 0x20 || *p == 0x7F)
            std::printf("\\%03o", unsigned(*p));
        else
            std::putchar(*p);
    }
}

void put_shown(const char *text) {
    put_shown_bytes(text, std::strlen(text), 0);
}

void tar_reader_init(tar_reader *r, int root_fd) {
    std::memset(r, 0, sizeof *r);
    r->root_fd = root_fd;
    r->state = kTarHeader;
    r->out_fd = -1;
    r->parent_fd = -1;
    r->parent_dir = kJournalNone;
    dstr_init(&r->meta, 0);
    mode_t mask = umask(0);
    umask(mask);
    r->umask_bits = int(mask);
    r->uid = geteuid();
    r->journal.cache_fd = -1;
    if (root_fd >= 0 && journal_init(&r->journal, root_fd) < 0) {
        err_reason(".", errno);
        r->failed = 1;
        r->state = kTarEnd;
    }
}

void tar_reader_init_list(tar_reader *r) {
    tar_reader_init(r, -1);
    r->list_only = 1;
}

void tar_reader_feed(tar_reader *r, const char *data, size_t n) {
    while (n > 0) {
        size_t take;
        switch (r->state) {
            case kTarHeader:
                take = kTarBlock - r->fill < n ? kTarBlock - r->fill : n;
                std::memcpy(r->header + r->fill, data, take);
                r->fill += take;
                if (r->fill == kTarBlock) {
                    r->fill = 0;
                    process_header(r);
                }
                break;
            case kTarData:
                take = r->remaining < n ? size_t(r->remaining) : n;
                take_data(r, data, take);
                break;
            case kTarMeta:
                take = r->remaining < n ? size_t(r->remaining) : n;
                dstr_add_mem(&r->meta, data, int(take));
                r->remaining -= take;
                if (r->remaining == 0) finish_metadata(r);
                break;
            case kTarPadding:
                take = r->padding < n ? r->padding : n;
                r->padding -= take;
                if (r->padding == 0) r->state = kTarHeader;
                break;
            default:
                take = n;  // after the end: nothing more is read
                break;
        }
        data += take;
        n -= take;
    }
}

int tar_reader_finish(tar_reader *r, bool stream_complete) {
    bool inside = r->state == kTarData || r->state == kTarMeta || r->state == kTarPadding ||
                  (r->state == kTarHeader && r->fill > 0);
    if (r->out_fd >= 0) close_output(r, false);
    if (inside) {
        if (stream_complete) err_printf("Unexpected end of archive\n");
        r->failed = 1;
    }
    if (!stream_complete) r->failed = 1;
    clear_metadata(r);
    forget_parent(r);
    free_name(&r->entry_name);
    dstr_free(&r->meta);
    return r->failed;
}

int tar_reader_commit(tar_reader *r, int flags) {
    int rolled_back;
    size_t failures = journal_commit(&r->journal, flags, report_change, nullptr, &rolled_back);
    return failures == 0 ? 0 : rolled_back ? 1 : 2;
}

int tar_reader_rollback(tar_reader *r) {
    return journal_rollback(&r->journal, report_change, nullptr) > 0 ? 1 : 0;
}

}  // namespace zn
