#include "package/extract_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"

namespace zn {

constexpr uint32_t kFirstBlock = 64;  // records, hash slots or name bytes of a first block

namespace {

// Makes room for need items of size bytes at *block, which holds *cap. Returns false when that
// would pass what one allocation (and a 32-bit index) can hold.
bool reserve(void **block, uint32_t *cap, uint64_t need, size_t size) {
    if (need <= *cap) return true;
    uint64_t want = *cap < kFirstBlock ? kFirstBlock : uint64_t(*cap) * 2;
    if (want < need) want = need;
    if (want * size > UINT_MAX) want = need;
    if (want * size > UINT_MAX || want >= kJournalNone) return false;
    *block = chk_realloc(*block, unsigned(want * size));
    *cap = uint32_t(want);
    return true;
}

const char *name_at(const extract_journal *j, uint32_t offset) {
    return j->names + offset;
}

uint32_t add_name(extract_journal *j, const char *name, size_t len) {
    uint32_t at = j->names_len;
    std::memcpy(j->names + at, name, len);
    j->names[at + len] = '\0';
    j->names_len += uint32_t(len) + 1;
    return at;
}

uint32_t hash_id(uint64_t dev, uint64_t ino) {
    uint64_t h = (ino * 0x9E3779B97F4A7C15ull) ^ (dev * 0xC2B2AE3D27D4EB4Full);
    return uint32_t(h >> 32) ^ uint32_t(h);
}

uint32_t hash_entry(uint32_t dir, const char *name) {
    uint32_t h = 2166136261u ^ (dir * 16777619u);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

// The slot of dir_index that holds (dev, ino), or the empty one where it would go.
uint32_t dir_slot(const extract_journal *j, uint64_t dev, uint64_t ino) {
    uint32_t mask = j->dir_index_cap - 1;
    for (uint32_t s = hash_id(dev, ino) & mask;; s = (s + 1) & mask) {
        uint32_t v = j->dir_index[s];
        if (v == 0 || (j->dirs[v - 1].dev == dev && j->dirs[v - 1].ino == ino)) return s;
    }
}

// The slot of pending that holds a replacement of name in dir, or the empty one where it goes.
uint32_t pending_slot(const extract_journal *j, uint32_t dir, const char *name) {
    uint32_t mask = j->pending_cap - 1;
    for (uint32_t s = hash_entry(dir, name) & mask;; s = (s + 1) & mask) {
        uint32_t v = j->pending[s];
        if (v == 0) return s;
        const journal_step &st = j->steps[v - 1];
        if (st.dir == dir && std::strcmp(name_at(j, st.name), name) == 0) return s;
    }
}

// Doubles a hash table of cap slots when it would be over half full with one more entry,
// re-inserting every entry through slot_of. Returns false when it cannot grow.
template <typename SlotOf>
bool grow_table(uint32_t **table, uint32_t *cap, uint32_t count, SlotOf slot_of) {
    if (uint64_t(count + 1) * 2 <= *cap) return true;
    uint64_t want = *cap ? uint64_t(*cap) * 2 : kFirstBlock;
    if (want * sizeof(uint32_t) > UINT_MAX) return false;
    uint32_t *old = *table;
    uint32_t old_cap = *cap;
    *table = static_cast<uint32_t *>(chk_zalloc(unsigned(want * sizeof(uint32_t))));
    *cap = uint32_t(want);
    for (uint32_t s = 0; s < old_cap; s++)
        if (old[s] != 0) (*table)[slot_of(old[s] - 1)] = old[s];
    chk_free(old);
    return true;
}

void format_temp(uint32_t n, char *out) {
    std::snprintf(out, kJournalTempNameSize, "%s%ld.%lu", kJournalTempPrefix, long(getpid()),
                  static_cast<unsigned long>(n));
}

void drop_cache(extract_journal *j) {
    if (j->cache_fd >= 0) close(j->cache_fd);
    j->cache_fd = -1;
    j->cache_dir = kJournalNone;
}

bool same_dir(int fd, const journal_dir &d) {
    struct stat st;
    return fstat(fd, &st) == 0 && uint64_t(st.st_dev) == d.dev && uint64_t(st.st_ino) == d.ino;
}

// Opens record dir from the root, one component at a time.
int open_from_root(extract_journal *j, uint32_t dir) {
    uint32_t depth = j->dirs[dir].depth;
    uint32_t *chain = static_cast<uint32_t *>(chk_alloc(unsigned((depth + 1) * sizeof(uint32_t))));
    uint32_t n = 0;
    for (uint32_t d = dir; d != kJournalRoot && n <= depth; d = j->dirs[d].parent) chain[n++] = d;
    int fd = openat(j->root_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (n > 0 && fd >= 0) {
        int next = openat(fd, name_at(j, j->dirs[chain[--n]].name),
                          O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    chk_free(chain);
    return fd;
}

void report_path(const extract_journal *j, journal_report report, void *ctx, const char *what,
                 uint32_t dir, const char *name, int error) {
    if (report == nullptr) return;
    char *path = journal_path(j, dir, name);
    report(ctx, what, path, error);
    chk_free(path);
}

// Renames name in dfd to a new temporary name, never over something already there. Returns the
// temporary's number; kJournalNone with errno ENOENT when nothing stands at name, or on failure.
uint32_t move_aside(extract_journal *j, int dfd, const char *name) {
    char temp[kJournalTempNameSize];
    for (;;) {
        uint32_t n = journal_temp_name(j, temp);
        if (renameat2(dfd, name, dfd, temp, RENAME_NOREPLACE) == 0) return n;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return kJournalNone;
        // A file system that cannot refuse to replace: hold the name with a file of our own,
        // created exclusively, and rename over that.
        int held = openat(dfd, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (held < 0) {
            if (errno == EEXIST) continue;
            return kJournalNone;
        }
        close(held);
        if (renameat(dfd, name, dfd, temp) == 0) return n;
        int saved = errno;
        unlinkat(dfd, temp, 0);
        errno = saved;
        return kJournalNone;
    }
}

// Makes the data written so far durable: one syncfs for each file system the extraction touched.
// Returns the number of failures (reported).
size_t sync_all(extract_journal *j, journal_report report, void *ctx) {
    constexpr int kMaxDevices = 16;  // file systems told apart; past that, each dir is synced
    uint64_t done[kMaxDevices];
    int ndone = 0;
    size_t failures = 0;
    for (uint32_t d = 0; d < j->ndirs; d++) {
        bool seen = false;
        for (int e = 0; e < ndone && !seen; e++) seen = done[e] == j->dirs[d].dev;
        if (seen) continue;
        if (ndone < kMaxDevices) done[ndone++] = j->dirs[d].dev;
        int dfd = journal_open_dir(j, d);
        int fd = dfd >= 0 ? openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        if (fd < 0 || syncfs(fd) < 0) {
            report_path(j, report, ctx, "Cannot write %s to disk", d, nullptr, errno);
            failures++;
        }
        if (fd >= 0) close(fd);
    }
    return failures;
}

// A rename of a commit, for undoing it: the kStepReplace step, and the temporary the old entry
// went to (kJournalNone when there was none).
struct undo_entry {
    uint32_t step;
    uint32_t aside;
};

struct order {
    uint32_t depth;
    uint32_t dir;
};

// Deepest first; among equals, the latest recorded first.
int compare_order(const void *a, const void *b) {
    const order *x = static_cast<const order *>(a), *y = static_cast<const order *>(b);
    if (x->depth != y->depth) return x->depth > y->depth ? -1 : 1;
    return x->dir > y->dir ? -1 : x->dir < y->dir ? 1 : 0;
}

// Sets the wanted modes, deepest directories first. Returns the number of failures (each
// reported; the other directories still get theirs).
size_t apply_modes(extract_journal *j, journal_report report, void *ctx) {
    order *todo = static_cast<order *>(chk_alloc(unsigned(j->ndirs * sizeof(order) + 1)));
    uint32_t n = 0;
    for (uint32_t d = 0; d < j->ndirs; d++)
        if (j->dirs[d].flags & kDirModeWanted) todo[n++] = {j->dirs[d].depth, d};
    std::qsort(todo, n, sizeof(order), compare_order);
    size_t failures = 0;
    for (uint32_t k = 0; k < n; k++) {
        uint32_t d = todo[k].dir;
        int dfd = journal_open_dir(j, d);
        // fchmod needs a descriptor opened for reading; the O_PATH one only says where it is.
        int fd = dfd >= 0 ? openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        struct stat st;
        bool ok = fd >= 0 && fstat(fd, &st) == 0;
        if (ok && (st.st_mode & 07777) != j->dirs[d].mode)
            ok = fchmod(fd, mode_t(j->dirs[d].mode)) == 0;
        int error = errno;
        if (fd >= 0) close(fd);
        if (!ok) {
            char what[64];
            std::snprintf(what, sizeof what, "Failed to chmod(%%s, %o)", unsigned(j->dirs[d].mode));
            report_path(j, report, ctx, what, d, nullptr, error);
            failures++;
        }
    }
    chk_free(todo);
    return failures;
}

// Undoes the logged renames, last first.
void undo_commit(extract_journal *j, const undo_entry *undo, uint32_t nundo, journal_report report,
                 void *ctx) {
    char temp[kJournalTempNameSize], aside[kJournalTempNameSize];
    for (uint32_t k = nundo; k-- > 0;) {
        const journal_step &s = j->steps[undo[k].step];
        const char *name = name_at(j, s.name);
        int dfd = journal_open_dir(j, s.dir);
        format_temp(s.temp, temp);
        bool ok = dfd >= 0 && renameat(dfd, name, dfd, temp) == 0;
        if (ok && undo[k].aside != kJournalNone) {
            format_temp(undo[k].aside, aside);
            ok = renameat(dfd, aside, dfd, name) == 0;
        }
        if (!ok) report_path(j, report, ctx, "Cannot restore %s", s.dir, name, errno);
    }
}

}  // namespace

int journal_init(extract_journal *j, int root_fd) {
    std::memset(j, 0, sizeof *j);
    j->root_fd = root_fd;
    j->cache_fd = -1;
    j->cache_dir = kJournalNone;
    struct stat st;
    if (fstat(root_fd, &st) < 0 || journal_reserve(j, 0) < 0) return -1;
    journal_dir &root = j->dirs[j->ndirs++];
    root = {uint64_t(st.st_dev), uint64_t(st.st_ino), kJournalNone, add_name(j, "", 0), 0, 0, 0};
    j->dir_index[dir_slot(j, root.dev, root.ino)] = 1;
    return 0;
}

int journal_reserve(extract_journal *j, size_t name_len) {
    bool ok = reserve(reinterpret_cast<void **>(&j->steps), &j->steps_cap, uint64_t(j->nsteps) + 1,
                      sizeof(journal_step)) &&
              reserve(reinterpret_cast<void **>(&j->dirs), &j->dirs_cap, uint64_t(j->ndirs) + 1,
                      sizeof(journal_dir)) &&
              reserve(reinterpret_cast<void **>(&j->names), &j->names_cap,
                      uint64_t(j->names_len) + name_len + 1, 1) &&
              grow_table(&j->dir_index, &j->dir_index_cap, j->ndirs,
                         [j](uint32_t d) { return dir_slot(j, j->dirs[d].dev, j->dirs[d].ino); }) &&
              grow_table(&j->pending, &j->pending_cap, j->npending, [j](uint32_t s) {
                  return pending_slot(j, j->steps[s].dir, name_at(j, j->steps[s].name));
              });
    return ok ? 0 : -1;
}

uint32_t journal_dir_find(const extract_journal *j, const struct stat *st) {
    if (j->dir_index_cap == 0) return kJournalNone;
    uint32_t v = j->dir_index[dir_slot(j, uint64_t(st->st_dev), uint64_t(st->st_ino))];
    return v == 0 ? kJournalNone : v - 1;
}

uint32_t journal_dir_add(extract_journal *j, uint32_t parent, const char *name, size_t len,
                         const struct stat *st, int made) {
    uint32_t slot = dir_slot(j, uint64_t(st->st_dev), uint64_t(st->st_ino));
    if (j->dir_index[slot] != 0 && !made) return j->dir_index[slot] - 1;
    uint32_t d = j->ndirs++;
    j->dirs[d] = {uint64_t(st->st_dev),        uint64_t(st->st_ino),      parent,
                  add_name(j, name, len),      j->dirs[parent].depth + 1, 0,
                  uint8_t(made ? kDirMade : 0)};
    j->dir_index[slot] = d + 1;
    if (made) j->steps[j->nsteps++] = {d, j->dirs[d].name, 0, kStepDirMade};
    return d;
}

void journal_want_mode(extract_journal *j, uint32_t dir, int mode) {
    j->dirs[dir].mode = uint32_t(mode);
    j->dirs[dir].flags |= kDirModeWanted;
}

uint32_t journal_temp_name(extract_journal *j, char *out) {
    uint32_t n = j->next_temp++;
    format_temp(n, out);
    return n;
}

void journal_created(extract_journal *j, uint32_t dir, const char *name) {
    j->steps[j->nsteps++] = {dir, add_name(j, name, std::strlen(name)), 0, kStepCreated};
}

void journal_replace(extract_journal *j, uint32_t dir, const char *name, uint32_t temp) {
    uint32_t step = j->nsteps++;
    j->steps[step] = {dir, add_name(j, name, std::strlen(name)), temp, kStepReplace};
    uint32_t slot = pending_slot(j, dir, name);
    if (j->pending[slot] == 0) j->npending++;
    j->pending[slot] = step + 1;
}

void journal_aside(extract_journal *j, uint32_t dir, const char *name, uint32_t temp) {
    if (j->pending_cap != 0) {
        uint32_t v = j->pending[pending_slot(j, dir, name)];
        if (v != 0 && j->steps[v - 1].kind == kStepReplace) j->steps[v - 1].kind = kStepDropped;
    }
    j->steps[j->nsteps++] = {dir, add_name(j, name, std::strlen(name)), temp, kStepAside};
}

int journal_set_aside(extract_journal *j, int dfd, uint32_t dir, const char *name) {
    uint32_t temp = move_aside(j, dfd, name);
    if (temp == kJournalNone) return -1;
    journal_aside(j, dir, name, temp);
    return 0;
}

int journal_pending(const extract_journal *j, uint32_t dir, const char *name, char *temp_out) {
    if (j->pending_cap == 0) return 0;
    uint32_t v = j->pending[pending_slot(j, dir, name)];
    if (v == 0 || j->steps[v - 1].kind != kStepReplace) return 0;
    format_temp(j->steps[v - 1].temp, temp_out);
    return 1;
}

int journal_open_dir(extract_journal *j, uint32_t dir) {
    if (j->cache_fd >= 0 && j->cache_dir == dir) return j->cache_fd;
    const journal_dir &d = j->dirs[dir];
    int fd = -1;
    // A step up or down from the directory opened last saves a walk from the root, which keeps
    // going through a deep chain of directories linear.
    if (j->cache_fd >= 0 && j->dirs[j->cache_dir].parent == dir)
        fd = openat(j->cache_fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    else if (j->cache_fd >= 0 && d.parent == j->cache_dir)
        fd = openat(j->cache_fd, name_at(j, d.name), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && !same_dir(fd, d)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) fd = open_from_root(j, dir);
    drop_cache(j);
    if (fd >= 0 && !same_dir(fd, d)) {
        close(fd);
        errno = ENOENT;  // not the directory recorded: it was replaced
        return -1;
    }
    if (fd >= 0) {
        j->cache_fd = fd;
        j->cache_dir = dir;
    }
    return fd;
}

size_t journal_commit(extract_journal *j, int flags, journal_report report, void *ctx,
                      int *rolled_back) {
    *rolled_back = 0;
    // 1. The data, durable before anything old is replaced.
    if ((flags & kJournalSync) && sync_all(j, report, ctx) > 0) {
        *rolled_back = 1;
        return journal_rollback(j, report, ctx) + 1;
    }

    // 2. The renames, each old entry first moved aside, so that a failure can be undone.
    undo_entry *undo = static_cast<undo_entry *>(
        chk_alloc(unsigned(uint64_t(j->nsteps) * sizeof(undo_entry) + 1)));
    uint32_t nundo = 0;
    size_t failures = 0;
    char temp[kJournalTempNameSize];
    for (uint32_t k = 0; k < j->nsteps; k++) {
        const journal_step &s = j->steps[k];
        if (s.kind != kStepReplace) continue;
        const char *name = name_at(j, s.name);
        int dfd = journal_open_dir(j, s.dir);
        uint32_t aside = dfd >= 0 ? move_aside(j, dfd, name) : kJournalNone;
        bool ok = dfd >= 0 && (aside != kJournalNone || errno == ENOENT);
        if (ok) {
            format_temp(s.temp, temp);
            ok = renameat(dfd, temp, dfd, name) == 0;
            if (!ok && aside != kJournalNone) {
                int saved = errno;
                char back[kJournalTempNameSize];
                format_temp(aside, back);
                renameat(dfd, back, dfd, name);
                errno = saved;
            }
        }
        if (!ok) {
            report_path(j, report, ctx, "Cannot put %s in place", s.dir, name, errno);
            undo_commit(j, undo, nundo, report, ctx);
            chk_free(undo);
            *rolled_back = 1;
            return 1 + journal_rollback(j, report, ctx);
        }
        undo[nundo++] = {k, aside};
    }

    // 3. What was replaced or moved aside goes, while every directory may still be written to:
    // from here on the new tree stands. 4. The directory modes; 5. the directories, durable.
    for (uint32_t k = 0; k < nundo; k++) {
        if (undo[k].aside == kJournalNone) continue;
        int dfd = journal_open_dir(j, j->steps[undo[k].step].dir);
        format_temp(undo[k].aside, temp);
        if (dfd >= 0) unlinkat(dfd, temp, 0);
    }
    chk_free(undo);
    for (uint32_t k = 0; k < j->nsteps; k++) {
        const journal_step &s = j->steps[k];
        if (s.kind != kStepAside && s.kind != kStepDropped) continue;
        int dfd = journal_open_dir(j, s.dir);
        format_temp(s.temp, temp);
        if (dfd >= 0) unlinkat(dfd, temp, 0);
    }
    failures += apply_modes(j, report, ctx);
    if (flags & kJournalSync) failures += sync_all(j, report, ctx);
    journal_free(j);
    return failures;
}

size_t journal_rollback(extract_journal *j, journal_report report, void *ctx) {
    size_t failures = 0;
    char temp[kJournalTempNameSize];
    for (uint32_t k = j->nsteps; k-- > 0;) {
        const journal_step &s = j->steps[k];
        const char *name = name_at(j, s.name);
        if (s.kind == kStepDirMade) {
            // Removed only while it is the directory made, and only when empty: what someone
            // else put there stays.
            const journal_dir &d = j->dirs[s.dir];
            int pfd = journal_open_dir(j, d.parent);
            struct stat st;
            if (pfd >= 0 && fstatat(pfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                uint64_t(st.st_dev) == d.dev && uint64_t(st.st_ino) == d.ino &&
                unlinkat(pfd, name, AT_REMOVEDIR) < 0 && errno != ENOTEMPTY && errno != EEXIST) {
                report_path(j, report, ctx, "Cannot remove %s", d.parent, name, errno);
                failures++;
            }
            continue;
        }
        int dfd = journal_open_dir(j, s.dir);
        bool ok = dfd >= 0;
        if (ok && s.kind == kStepCreated) {
            ok = unlinkat(dfd, name, 0) == 0 || errno == ENOENT;
        } else if (ok) {
            format_temp(s.temp, temp);
            if (s.kind == kStepAside)
                ok = renameat2(dfd, temp, dfd, name, RENAME_NOREPLACE) == 0 ||
                     ((errno == EINVAL || errno == ENOSYS) && renameat(dfd, temp, dfd, name) == 0);
            else
                ok = unlinkat(dfd, temp, 0) == 0 || errno == ENOENT;
        }
        if (!ok) {
            report_path(j, report, ctx,
                        s.kind == kStepAside ? "Cannot restore %s" : "Cannot remove %s", s.dir,
                        name, errno);
            failures++;
        }
    }
    journal_free(j);
    return failures;
}

char *journal_path(const extract_journal *j, uint32_t dir, const char *name) {
    // Each component of the directory's path is followed by a '/', except the last one when
    // there is no name.
    size_t len = name != nullptr ? std::strlen(name) : 0;
    for (uint32_t d = dir; d != kJournalRoot; d = j->dirs[d].parent)
        len += std::strlen(name_at(j, j->dirs[d].name)) + 1;
    if (name == nullptr && dir != kJournalRoot) len--;
    if (len == 0) {  // the root itself
        char *dot = static_cast<char *>(chk_alloc(2));
        std::memcpy(dot, ".", 2);
        return dot;
    }
    char *path = static_cast<char *>(chk_alloc(unsigned(len + 1)));
    size_t at = len;
    path[at] = '\0';
    if (name != nullptr) {
        at -= std::strlen(name);
        std::memcpy(path + at, name, std::strlen(name));
    }
    for (uint32_t d = dir; d != kJournalRoot; d = j->dirs[d].parent) {
        const char *part = name_at(j, j->dirs[d].name);
        if (name != nullptr || d != dir) path[--at] = '/';
        at -= std::strlen(part);
        std::memcpy(path + at, part, std::strlen(part));
    }
    return path;
}

void journal_free(extract_journal *j) {
    drop_cache(j);
    chk_free(j->dirs);
    chk_free(j->steps);
    chk_free(j->names);
    chk_free(j->dir_index);
    chk_free(j->pending);
    std::memset(j, 0, sizeof *j);
    j->cache_fd = -1;
    j->cache_dir = kJournalNone;
}

}  // namespace zn
