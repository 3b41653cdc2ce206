#include "wild/glob.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/chk.h"
#include "lib/filename.h"
#include "lib/path.h"
#include "lib/trace.h"
#include "wild/sort.h"
#include "wild/wild_match.h"

namespace zn {

int wild_limit_max_count = kWildDefaultMaxCount;
int wild_limit_timeout = kWildDefaultTimeout;
int wild_lstat = 0;
int shell_error = 0;
int wild_sort_flags = 0;

namespace {

enum : int {
    kRootCandidateBytes = 16,    // bytes allocated for a first candidate that is the delimiter
    kPrefixCandidateSlack = 16,  // extra bytes for a first candidate that is a network prefix
    kBareCandidateSlack = 10,    // extra bytes for a candidate found in the current directory
};

// A candidate that a wildcard step has replaced by its matches points here. It differs from a
// candidate that is empty because a "$" component had an empty value, which later components
// still extend.
char consumed_name[1] = "";

bool is_consumed(const wild_entry &e) {
    return e.name == consumed_name;
}

void consume(wild_entry *e) {
    if (e->name != consumed_name) chk_free(e->name);
    e->name = consumed_name;
    e->size = 0;
}

// The scan buffer of wild_next_match: lives for the whole run and only grows.
char *scan_buffer = nullptr;
int scan_size = 0;

void scan_reserve(int size) {
    scan_buffer = static_cast<char *>(chk_realloc(scan_buffer, unsigned(size)));
    scan_size = size;
}

bool ends_in_delimiter(const char *s) {
    size_t len = std::strlen(s);
    return len > 0 && filename_is_delim(static_cast<unsigned char>(s[len - 1]));
}

// Returns a new string: dir, the delimiter unless dir already ends in one, and name. Unlike
// filename_append_filename it leaves quotes alone: a directory entry's name is used exactly as
// the directory holds it. *size receives the bytes allocated.
char *join_path(const char *dir, const char *name, int *size) {
    size_t dlen = std::strlen(dir);
    const char *delim = ends_in_delimiter(dir) || dlen == 0 ? "" : wild_filename_delimiter;
    size_t n = dlen + std::strlen(delim) + std::strlen(name) + 1;
    char *out = static_cast<char *>(chk_alloc(unsigned(n)));
    std::strcpy(out, dir);
    std::strcat(out, delim);
    std::strcat(out, name);
    if (size) *size = int(n);
    return out;
}

char *copy_with_room(const char *s, size_t room, int *size) {
    size_t len = std::strlen(s);
    if (room < len + 1) room = len + 1;
    char *out = static_cast<char *>(chk_alloc(unsigned(room)));
    std::memcpy(out, s, len + 1);
    *size = int(room);
    return out;
}

// The candidate list of one glob. items[count].name is always null, so the array is a result
// list at every moment.
struct candidate_list {
    wild_entry *items;
    int count;
    int capacity;
};

void list_init(candidate_list *l, int capacity) {
    l->items = static_cast<wild_entry *>(chk_zalloc(unsigned(capacity * sizeof(wild_entry))));
    l->count = 0;
    l->capacity = capacity;
}

void list_grow(candidate_list *l, int capacity) {
    if (capacity <= l->capacity) return;
    l->items =
        static_cast<wild_entry *>(chk_realloc(l->items, unsigned(capacity * sizeof(wild_entry))));
    std::memset(l->items + l->capacity, 0, (capacity - l->capacity) * sizeof(wild_entry));
    l->capacity = capacity;
}

// Adds a candidate that owns name. The capacity doubles when the count reaches capacity - 2.
void list_add(candidate_list *l, char *name, int size) {
    if (l->count + 1 >= l->capacity) list_grow(l, l->capacity * 2);
    wild_entry *e = &l->items[l->count++];
    std::memset(e, 0, sizeof *e);
    e->name = name;
    e->size = size;
    l->items[l->count].name = nullptr;
    if (l->count >= l->capacity - 2) list_grow(l, l->capacity * 2);
}

// State of one glob.
struct glob_state {
    candidate_list list;
    int flags;
    time_t deadline;  // 0: none
    bool saw_wildcard;
    bool started;  // some candidate was made, or a wildcard step ran: the current directory no
                   // longer stands for the candidates
};

void plain_step(glob_state *g, const char *component) {
    if (!g->started) {
        int size;
        char *name = copy_with_room(component, std::strlen(component) + 1, &size);
        list_add(&g->list, name, size);
        g->started = true;
        return;
    }
    for (int i = 0; i < g->list.count; i++) {
        if (!is_consumed(g->list.items[i])) wild_append_component(&g->list.items[i], component);
    }
}

// "**": every directory below each candidate becomes a candidate too.
void tree_step(glob_state *g, const char *rest) {
    bool current = !g->started;
    g->started = true;
    int start_count = g->list.count;
    for (int i = 0; i < (current ? 1 : start_count); i++) {
        if (!current && is_consumed(g->list.items[i])) continue;
        dstr found;
        dstr_init(&found, 16 * int(sizeof(char *)));
        const char *dir = current ? "." : g->list.items[i].name;
        int walked = wild_walk_tree(&found, dir, g->flags, 0, rest);
        int n = found.dl_len / int(sizeof(char *));
        list_grow(&g->list, g->list.count + n + 4);
        if (current && walked) {
            // The current directory itself stays a candidate, so that "**" may stand for no
            // directory at all; the walk names directories absolutely, and so does this.
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd)) {
                int size;
                char *name = copy_with_room(cwd, std::strlen(cwd) + 1, &size);
                list_add(&g->list, name, size);
            }
        }
        char **paths = reinterpret_cast<char **>(found.dl_ptr);
        for (int k = 0; k < n; k++) list_add(&g->list, paths[k], int(std::strlen(paths[k])) + 1);
        dstr_free(&found);
    }
}

// A component with wildcards: each candidate directory is replaced by its matching entries.
void wildcard_step(glob_state *g, const char *pattern) {
    bool current = !g->started;
    g->started = true;
    int start_count = g->list.count;
    int added = 0;
    bool stopped = false;
    for (int i = 0; i < (current ? 1 : start_count) && !stopped; i++) {
        if (!current && is_consumed(g->list.items[i])) continue;
        // The name stays put while the array grows; only the array moves.
        const char *parent = current ? nullptr : g->list.items[i].name;
        DIR *handle = nullptr;
        const char *entry;
        while ((entry = wild_next_match(parent, pattern, g->flags, &handle)) != nullptr) {
            int size;
            char *name =
                parent ? join_path(parent, entry, &size)
                       : copy_with_room(entry, std::strlen(entry) + kBareCandidateSlack, &size);
            list_add(&g->list, name, size);
            added++;
            if (wild_limit_max_count && added > wild_limit_max_count) {
                trace_log("wild: limit_max_count reached %d\n", wild_limit_max_count);
                stopped = true;
                break;
            }
            if (g->deadline && g->list.count % 4 == 0 && std::time(nullptr) > g->deadline) {
                trace_log("wild: limit_timeout reached %d\n", wild_limit_timeout);
                stopped = true;
                break;
            }
        }
        if (handle) closedir(handle);
        if (!current) consume(&g->list.items[i]);
    }
    // A stopped step leaves the candidates it did not finish without their matches; they are
    // not results of the pattern either, so they go too.
    if (stopped && !current) {
        for (int i = 0; i < start_count; i++) consume(&g->list.items[i]);
    }
}

// Every candidate is checked on disk. Once a wildcard was met, those that are missing go; a path
// without wildcards stays with a zeroed status. A file too large for the status record exists.
void check_candidates(glob_state *g) {
    for (int i = 0; i < g->list.count; i++) {
        wild_entry *e = &g->list.items[i];
        std::memset(&e->status, 0, sizeof e->status);
        if (is_consumed(*e)) continue;
        bool exists = false;
        if (e->name[0]) {
            errno = 0;
            if (wild_stat(e->name, &e->status, g->flags) == 0) {
                exists = true;
            } else {
                exists = errno == EFBIG || errno == EOVERFLOW;
                std::memset(&e->status, 0, sizeof e->status);
            }
        }
        if (!exists && g->saw_wildcard) consume(e);
    }
}

// Walks the absolute directory dir: changes into it, collects its subdirectories, then lists and
// descends each. The directory handle is closed before descending, so a deep tree holds no more
// than one open directory at a time.
int walk(dstr *out, const char *dir, int flags, int depth, const char *rest) {
    if (chdir(dir) != 0) return 0;
    DIR *d = opendir(".");
    if (!d) return 0;
    dstr children;
    dstr_init(&children, 8 * int(sizeof(char *)));
    struct dirent *ent;
    while ((ent = readdir(d)) != nullptr) {
        const char *name = ent->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat64 st;
        wild_lstat++;
        int r = wild_stat(name, &st, flags);
        wild_lstat--;
        if (r != 0 || S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) continue;
        char *path = join_path(dir, name, nullptr);
        dstr_add_mem(&children, &path, int(sizeof path));
    }
    closedir(d);
    char **kids = reinterpret_cast<char **>(children.dl_ptr);
    int n = children.dl_len / int(sizeof(char *));
    for (int i = 0; i < n; i++) {
        char *path = kids[i];
        bool list = true;
        if (rest && *rest && !is_wildcard(rest)) {
            char *joined = join_path(path, rest, nullptr);
            struct stat64 st;
            list = wild_stat(joined, &st, flags) == 0;
            chk_free(joined);
        }
        if (list) dstr_add_mem(out, &path, int(sizeof path));
        walk(out, path, flags, depth + 1, rest);
        if (!list) chk_free(path);
    }
    dstr_free(&children);
    return 1;
}

}  // namespace

void wild_init() {
    const char *timeout = std::getenv("ZN_WILD_LIMIT_TIMEOUT");
    if (timeout) wild_limit_timeout = std::atoi(timeout);
    const char *max_count = std::getenv("ZN_WILD_LIMIT_MAX_COUNT");
    if (max_count) wild_limit_max_count = std::atoi(max_count);
}

int wild_stat(const char *path, struct stat64 *status, int flags) {
    if (wild_lstat || (flags & WILD_LSTAT)) return lstat64(path, status);
    return stat64(path, status);
}

const char *wild_next_match(const char *parent, const char *pattern, int flags, DIR **handle) {
    if (!scan_buffer) scan_reserve(kWildScanBufferFirst);
    if (!*handle) {
        const char *dir = parent ? parent : ".";
        while (filename_is_delim(static_cast<unsigned char>(dir[0])) &&
               filename_is_delim(static_cast<unsigned char>(dir[1])))
            dir++;
        struct stat64 st;
        if (wild_stat(dir, &st, flags) == 0 && !S_ISDIR(st.st_mode)) return nullptr;
        *handle = opendir(dir);
        if (!*handle) return nullptr;
    }
    struct dirent *ent;
    while ((ent = readdir(*handle)) != nullptr) {
        const char *name = ent->d_name;
        int len = int(std::strlen(name));
        if (len + 1 >= scan_size) scan_reserve(len + 32);
        std::memcpy(scan_buffer, name, len + 1);
        if (wild_match(scan_buffer, pattern, flags)) return scan_buffer;
        if (name[0] == '.' && !(flags & WILD_DOTFILES)) continue;
        if (std::strcmp(name, ".") == 0) continue;
        if (!(flags & WILD_ALL_DIRS) || std::strcmp(pattern, "*") == 0) continue;
        // Every subdirectory qualifies: take its status through the parent, links followed.
        const char *dir = parent ? parent : ".";
        const char *delim = ends_in_delimiter(dir) ? "" : wild_filename_delimiter;
        int dlen = int(std::strlen(dir)), slen = int(std::strlen(delim));
        int total = dlen + slen + len;
        if (total + 3 >= scan_size) scan_reserve(total + 34);
        std::memcpy(scan_buffer, dir, dlen);
        std::memcpy(scan_buffer + dlen, delim, slen);
        std::memcpy(scan_buffer + dlen + slen, name, len + 1);
        struct stat64 st;
        bool is_dir = stat64(scan_buffer, &st) == 0 && S_ISDIR(st.st_mode);
        std::memmove(scan_buffer, scan_buffer + dlen + slen, len + 1);
        if (is_dir) return scan_buffer;
    }
    closedir(*handle);
    *handle = nullptr;
    return nullptr;
}

int wild_walk_tree(dstr *out, const char *directory, int flags, int depth, const char *rest) {
    struct stat64 st;
    if (wild_stat(directory, &st, flags) == 0 && !S_ISDIR(st.st_mode)) return 0;
    // The way back is a descriptor, not a name: it works for any path length and survives the
    // directory being renamed meanwhile.
    int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (back < 0) return 0;
    char *absolute;
    if (is_absolute(directory)) {
        absolute = join_path(directory, "", nullptr);
    } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            close(back);
            return 0;
        }
        absolute = std::strcmp(directory, ".") == 0 ? join_path(cwd, "", nullptr)
                                                    : join_path(cwd, directory, nullptr);
    }
    // join_path with an empty name leaves a trailing delimiter; the walk adds its own.
    size_t alen = std::strlen(absolute);
    if (alen > 1 && ends_in_delimiter(absolute)) absolute[alen - 1] = 0;
    int r = walk(out, absolute, flags, depth, rest);
    chk_free(absolute);
    if (fchdir(back) != 0) r = 0;
    close(back);
    return r;
}

int wild_compare(const void *a, const void *b) {
    const wild_entry *x = static_cast<const wild_entry *>(a);
    const wild_entry *y = static_cast<const wild_entry *>(b);
    if (wild_sort_flags & WILD_DIRS_FIRST) {
        bool xd = S_ISDIR(x->status.st_mode), yd = S_ISDIR(y->status.st_mode);
        if (xd != yd) return xd ? -1 : 1;
    }
    if (wild_sort_flags & WILD_SORT_NOCASE) return strcasecmp(x->name, y->name);
    return std::strcmp(x->name, y->name);
}

void wild_append_component(wild_entry *entry, const char *component) {
    int len = int(std::strlen(entry->name));
    int clen = int(std::strlen(component));
    const char *delim = ends_in_delimiter(entry->name) ? "" : wild_filename_delimiter;
    int dlen = int(std::strlen(delim));
    if (entry->size <= len + clen + 2) {
        int grown = (entry->size + clen + 35) & ~31;
        // The size is only a lower bound; never grow to less than the text needs.
        if (grown < len + dlen + clen + 1) grown = len + dlen + clen + 1;
        entry->name = static_cast<char *>(chk_realloc(entry->name, unsigned(grown)));
        entry->size = grown;
    }
    std::memcpy(entry->name + len, delim, dlen);
    std::memcpy(entry->name + len + dlen, component, clen + 1);
}

wild_entry *wild_finish_list(wild_entry *list, int flags, int saw_wildcard) {
    if (!saw_wildcard) return list;
    int n = wild_list_length(list);
    int kept = 0;
    for (int i = 0; i < n; i++) {
        wild_entry *e = &list[i];
        bool keep = false;
        if (e->name[0]) {
            int k = 0;
            while (filename_is_delim(static_cast<unsigned char>(e->name[k])) &&
                   filename_is_delim(static_cast<unsigned char>(e->name[k + 1])))
                k++;
            if (k) std::memmove(e->name, e->name + k, std::strlen(e->name + k) + 1);
            bool dir = S_ISDIR(e->status.st_mode);
            keep = ((flags & WILD_DIRS) && dir) || ((flags & WILD_FILES) && !dir);
        }
        if (keep) {
            kept++;
        } else {
            consume(e);
        }
    }
    wild_entry *out =
        static_cast<wild_entry *>(chk_zalloc(unsigned((kept + 1) * sizeof(wild_entry))));
    int j = 0;
    for (int i = 0; i < n; i++) {
        if (!is_consumed(list[i])) out[j++] = list[i];
    }
    out[j].name = nullptr;
    chk_free(list);
    return out;
}

wild_entry *wild_glob(const char *path, int flags) {
    glob_state g;
    g.flags = flags;
    g.deadline = wild_limit_timeout ? std::time(nullptr) + wild_limit_timeout : 0;
    g.saw_wildcard = false;
    g.started = false;

    // 1. A command, not a file.
    if (path[0] == '|' || path[0] == '!') {
        wild_entry *one = static_cast<wild_entry *>(chk_zalloc(unsigned(2 * sizeof(wild_entry))));
        one[0].name = copy_with_room(path, std::strlen(path) + 1, &one[0].size);
        return one;
    }

    // 2. The first candidate: a network prefix, the root, or none (the current directory).
    shell_error = 0;
    list_init(&g.list, kWildFirstCapacity);
    int work_size;
    char *work = copy_with_room(path, std::strlen(path) + 1, &work_size);
    char *p = filename_skip_unc(work);
    if (p != work) {
        size_t plen = size_t(p - work);
        char *prefix = static_cast<char *>(chk_alloc(unsigned(plen + kPrefixCandidateSlack)));
        std::memcpy(prefix, work, plen);
        prefix[plen] = 0;
        list_add(&g.list, prefix, int(plen + kPrefixCandidateSlack));
        g.started = true;
    } else if (filename_is_delim(static_cast<unsigned char>(work[0]))) {
        int size;
        char *root = copy_with_room(wild_filename_delimiter, kRootCandidateBytes, &size);
        list_add(&g.list, root, size);
        g.started = true;
        p = work + 1;
    }

    // 3. One component at a time.
    while (*p) {
        char *end = p;
        while (*end && !filename_is_delim(static_cast<unsigned char>(*end))) end++;
        char *next = *end ? end + 1 : end;
        *end = 0;
        const char *component = p;
        if (component[0] == '$') {
            const char *value = std::getenv(component + 1);
            if (value) component = value;
        }
        if (!std::strpbrk(component, "*?[")) {
            plain_step(&g, component);
        } else {
            g.saw_wildcard = true;
            if (std::strcmp(component, "**") == 0)
                tree_step(&g, next);
            else
                wildcard_step(&g, component);
        }
        p = next;
    }
    chk_free(work);

    // 4. Check on disk, sort, keep the kinds asked for.
    check_candidates(&g);
    wild_sort_flags = flags;
    if (!(flags & WILD_NOSORT))
        qsort(g.list.items, unsigned(g.list.count), sizeof(wild_entry), wild_compare);
    return wild_finish_list(g.list.items, flags, g.saw_wildcard);
}

wild_entry *glob_filenames(const char *path, int flags) {
    char *expanded = tilde_expand(path);
    if (!expanded) return nullptr;
    wild_entry *list = wild_glob(expanded, flags);
    chk_free(expanded);
    return list;
}

int wild_list_length(const wild_entry *list) {
    int n = 0;
    while (list[n].name) n++;
    return n;
}

void wild_free_list(wild_entry *list) {
    if (!list) return;
    for (int i = 0; list[i].name; i++) {
        if (list[i].name != consumed_name) chk_free(list[i].name);
    }
    chk_free(list);
}

}  // namespace zn
