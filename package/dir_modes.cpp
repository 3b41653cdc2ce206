#include "package/dir_modes.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"

namespace zn {

namespace {

constexpr size_t kFirstRecords = 64;  // records (or bytes of names) of a list's first block

// Makes room for need items of size bytes at *block, which holds *cap. Returns false when that
// would pass what one allocation can hold.
bool reserve(void **block, size_t *cap, size_t need, size_t size) {
    if (need <= *cap) return true;
    size_t want = *cap < kFirstRecords ? kFirstRecords : *cap * 2;
    if (want < need) want = need;
    if (want > UINT_MAX / size) want = need;
    if (want > UINT_MAX / size) return false;
    *block = chk_realloc(*block, unsigned(want * size));
    *cap = want;
    return true;
}

// Counts the components of a path that name something ("", "." do not).
uint32_t count_components(const char *p, size_t len) {
    uint32_t n = 0;
    for (size_t at = 0; at < len;) {
        size_t end = at;
        while (end < len && p[end] != '/') end++;
        size_t part = end - at;
        if (part > 1 || (part == 1 && p[at] != '.')) n++;
        at = end + 1;
    }
    return n;
}

// Opens comp below dir, which is closed here. The directory whose mode is to be set is opened
// for reading (fchmod needs a real descriptor); the ones above it only as places in the tree.
// No symbolic link is followed.
int step(int dir, const char *comp, bool last) {
    int fd = openat(dir, comp, (last ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    return fd;
}

struct apply_state {
    dir_modes *d;
    int root_fd;
    size_t *chain;  // records from one up to the first named by its path
    size_t chain_cap;
    char *scratch;  // a copy of a path, cut into components
    size_t scratch_cap;
};

// Opens the directory of record i from the root, or -1.
int open_from_root(apply_state *s, size_t i) {
    const dir_made *dirs = s->d->dirs;
    size_t n = 0;
    for (size_t j = i;; j = dirs[j].parent) {
        if (!reserve(reinterpret_cast<void **>(&s->chain), &s->chain_cap, n + 1, sizeof(size_t)))
            return -1;
        s->chain[n++] = j;
        if (dirs[j].parent == kDirNoParent) break;
    }
    const char *path = s->d->names + dirs[s->chain[n - 1]].name;
    size_t len = std::strlen(path);
    if (!reserve(reinterpret_cast<void **>(&s->scratch), &s->scratch_cap, len + 1, 1)) return -1;
    std::memcpy(s->scratch, path, len + 1);

    int fd = dup(s->root_fd);
    // The components of the path: the last named one is the directory itself when it is the
    // only record of the chain.
    char *last = nullptr;
    for (char *p = s->scratch; *p;) {
        char *end = std::strchr(p, '/');
        if (end != nullptr) *end = '\0';
        if (std::strcmp(p, "") != 0 && std::strcmp(p, ".") != 0) {
            if (last != nullptr && fd >= 0) fd = step(fd, last, false);
            last = p;
        }
        if (end == nullptr) break;
        p = end + 1;
    }
    if (last == nullptr) {  // never the root itself
        if (fd >= 0) close(fd);
        return -1;
    }
    if (fd >= 0) fd = step(fd, last, n == 1);
    for (size_t k = n - 1; k-- > 0 && fd >= 0;)
        fd = step(fd, s->d->names + dirs[s->chain[k]].name, k == 0);
    return fd;
}

// The path of record i from the root, for a message. The caller frees it.
char *record_path(const dir_modes *d, size_t i) {
    size_t len = 0;
    for (size_t j = i;; j = d->dirs[j].parent) {
        len += std::strlen(d->names + d->dirs[j].name) + 1;
        if (d->dirs[j].parent == kDirNoParent) break;
    }
    char *path = static_cast<char *>(chk_alloc(unsigned(len)));
    size_t at = len - 1;
    path[at] = '\0';
    for (size_t j = i;; j = d->dirs[j].parent) {
        const char *name = d->names + d->dirs[j].name;
        size_t n = std::strlen(name);
        at -= n;
        std::memcpy(path + at, name, n);
        if (d->dirs[j].parent == kDirNoParent) break;
        path[--at] = '/';
    }
    return path;
}

struct id_index {
    uint64_t dev, ino;
    size_t record;
};

int compare_ids(const void *a, const void *b) {
    const id_index *x = static_cast<const id_index *>(a), *y = static_cast<const id_index *>(b);
    if (x->dev != y->dev) return x->dev < y->dev ? -1 : 1;
    if (x->ino != y->ino) return x->ino < y->ino ? -1 : 1;
    return 0;
}

// Gives the records that later directory entries found in place the modes those entries ask for.
void settle_changes(dir_modes *d) {
    if (d->nchanges == 0) return;
    id_index *ids = static_cast<id_index *>(chk_alloc(unsigned(d->count * sizeof(id_index))));
    for (size_t i = 0; i < d->count; i++) ids[i] = {d->dirs[i].dev, d->dirs[i].ino, i};
    std::qsort(ids, d->count, sizeof(id_index), compare_ids);
    for (size_t c = 0; c < d->nchanges; c++) {
        id_index key = {d->changes[c].dev, d->changes[c].ino, 0};
        void *hit = std::bsearch(&key, ids, d->count, sizeof(id_index), compare_ids);
        if (hit != nullptr) d->dirs[static_cast<id_index *>(hit)->record].mode = d->changes[c].mode;
    }
    chk_free(ids);
}

struct order {
    uint32_t depth;
    size_t record;
};

// Deepest first; among equals, the latest made first.
int compare_order(const void *a, const void *b) {
    const order *x = static_cast<const order *>(a), *y = static_cast<const order *>(b);
    if (x->depth != y->depth) return x->depth > y->depth ? -1 : 1;
    return x->record > y->record ? -1 : x->record < y->record ? 1 : 0;
}

}  // namespace

void dir_modes_init(dir_modes *d) {
    std::memset(d, 0, sizeof *d);
}

long dir_modes_add(dir_modes *d, size_t parent, const char *name, size_t len, const struct stat *st,
                   int mode) {
    if (d->count > size_t(LONG_MAX) - 1 ||
        !reserve(reinterpret_cast<void **>(&d->dirs), &d->cap, d->count + 1, sizeof(dir_made)) ||
        !reserve(reinterpret_cast<void **>(&d->names), &d->names_cap, d->names_len + len + 1, 1)) {
        d->lost++;
        return -1;
    }
    dir_made *r = &d->dirs[d->count];
    r->dev = uint64_t(st->st_dev);
    r->ino = uint64_t(st->st_ino);
    r->name = d->names_len;
    r->parent = parent;
    r->depth = parent == kDirNoParent ? count_components(name, len) : d->dirs[parent].depth + 1;
    r->mode = uint32_t(mode);
    std::memcpy(d->names + d->names_len, name, len);
    d->names[d->names_len + len] = '\0';
    d->names_len += len + 1;
    return long(d->count++);
}

void dir_modes_change(dir_modes *d, const struct stat *st, int mode) {
    if (!reserve(reinterpret_cast<void **>(&d->changes), &d->changes_cap, d->nchanges + 1,
                 sizeof(dir_mode_change))) {
        d->lost++;
        return;
    }
    d->changes[d->nchanges++] = {uint64_t(st->st_dev), uint64_t(st->st_ino), uint32_t(mode)};
}

size_t dir_modes_apply(dir_modes *d, int root_fd, dir_modes_failure failed, void *ctx) {
    if (d->count == 0) return d->lost;
    settle_changes(d);
    order *todo = static_cast<order *>(chk_alloc(unsigned(d->count * sizeof(order))));
    for (size_t i = 0; i < d->count; i++) todo[i] = {d->dirs[i].depth, i};
    std::qsort(todo, d->count, sizeof(order), compare_order);

    apply_state s = {d, root_fd, nullptr, 0, nullptr, 0};
    size_t failures = d->lost;
    int fd = -1;  // the directory of the record handled last
    size_t at = kDirNoParent;
    for (size_t k = 0; k < d->count; k++) {
        size_t i = todo[k].record;
        const dir_made *r = &d->dirs[i];
        // Going up one level from the directory just done saves a walk from the root, which
        // keeps a deep chain of directories linear. ".." is never a symbolic link; the identity
        // check below holds either way.
        int next = fd >= 0 && d->dirs[at].parent == i
                       ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : open_from_root(&s, i);
        if (fd >= 0) close(fd);
        fd = next;
        at = i;
        struct stat st;
        bool ok = fd >= 0 && fstat(fd, &st) == 0 && uint64_t(st.st_dev) == r->dev &&
                  uint64_t(st.st_ino) == r->ino && fchmod(fd, mode_t(r->mode)) == 0;
        if (!ok) {
            failures++;
            char *path = record_path(d, i);
            failed(ctx, path, int(r->mode));
            chk_free(path);
        }
    }
    if (fd >= 0) close(fd);
    chk_free(s.chain);
    chk_free(s.scratch);
    chk_free(todo);
    return failures;
}

void dir_modes_free(dir_modes *d) {
    chk_free(d->dirs);
    chk_free(d->changes);
    chk_free(d->names);
    dir_modes_init(d);
}

}  // namespace zn
