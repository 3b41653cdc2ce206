#include "install/path_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "string/dstr.h"

namespace zn {

namespace {

bool trusted_owner(const struct stat &st, uid_t uid) {
    return st.st_uid == uid || st.st_uid == 0;
}

bool others_write(const struct stat &st) {
    return (st.st_mode & S_IWOTH) != 0;
}

// The text of d as a C string; the terminator stays outside dl_len, so appending goes on.
const char *text(dstr *d) {
    dstr_terminate(d);
    d->dl_len--;
    return d->dl_ptr;
}

// A walk's state: the directory reached (its path, "" for the root, and its status) and the
// path still to walk.
struct trust_walk {
    dstr at;
    struct stat at_st;
    dstr todo;
    int next;  // offset in todo of what is still to walk
};

// Makes the root the directory reached. Returns false when it cannot be inspected.
bool restart_at_root(trust_walk *w) {
    w->at.dl_len = 0;
    return lstat("/", &w->at_st) == 0;
}

// Replaces the path still to walk by target followed by the rest of it.
void splice_link(trust_walk *w, const char *target, size_t len) {
    dstr rest;
    dstr_init(&rest, int(len) + (w->todo.dl_len - w->next) + 2);
    dstr_add_mem(&rest, target, int(len));
    dstr_add_char(&rest, '/');
    dstr_add_mem(&rest, w->todo.dl_ptr + w->next, w->todo.dl_len - w->next);
    dstr_free(&w->todo);
    w->todo = rest;
    w->next = 0;
}

// Walks the path. Returns 0 to accept, -1 to refuse, leaving the offending path in w->at.
int walk(trust_walk *w, uid_t uid) {
    if (!restart_at_root(w)) return 0;
    if (!trusted_owner(w->at_st, uid) ||
        (others_write(w->at_st) && !(w->at_st.st_mode & S_ISVTX))) {
        dstr_add_char(&w->at, '/');
        return -1;
    }
    int links = 0;
    while (w->next < w->todo.dl_len) {
        const char *p = w->todo.dl_ptr + w->next;
        const char *slash =
            static_cast<const char *>(std::memchr(p, '/', size_t(w->todo.dl_len - w->next)));
        int len = slash != nullptr ? int(slash - p) : w->todo.dl_len - w->next;
        w->next += len + (slash != nullptr);
        if (len == 0 || (len == 1 && p[0] == '.')) continue;
        if (len == 2 && p[0] == '.' && p[1] == '.') {
            while (w->at.dl_len > 0 && w->at.dl_ptr[w->at.dl_len - 1] != '/') w->at.dl_len--;
            if (w->at.dl_len > 0) w->at.dl_len--;
            if (lstat(w->at.dl_len > 0 ? text(&w->at) : "/", &w->at_st) < 0) return 0;
            continue;
        }
        int parent_len = w->at.dl_len;
        dstr_add_char(&w->at, '/');
        dstr_add_mem(&w->at, p, len);
        struct stat st;
        if (lstat(text(&w->at), &st) < 0) return 0;
        if (S_ISLNK(st.st_mode)) {
            // Anyone may create a link in a shared sticky directory, and only its owner may
            // remove it there; elsewhere the directory's own check covers who put it there.
            if (!trusted_owner(st, uid) && others_write(w->at_st) && (w->at_st.st_mode & S_ISVTX))
                return -1;
            if (++links > kTrustMaxLinks) return 0;
            // Some file systems give links no size; their targets still fit PATH_MAX.
            size_t cap = st.st_size > 0 ? size_t(st.st_size) + 1 : PATH_MAX;
            char *target = static_cast<char *>(chk_alloc(unsigned(cap)));
            ssize_t n = readlink(text(&w->at), target, cap);
            bool ok = n > 0 && size_t(n) < cap;
            if (ok) splice_link(w, target, size_t(n));
            chk_free(target);
            if (!ok) return 0;  // changed under us, or empty: the kernel decides
            w->at.dl_len = parent_len;
            if (w->todo.dl_ptr[0] == '/' && !restart_at_root(w)) return 0;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return 0;
        if (!trusted_owner(st, uid) || (others_write(st) && !(st.st_mode & S_ISVTX))) return -1;
        w->at_st = st;
    }
    return 0;
}

}  // namespace

int path_trust_check(const char *path, uid_t uid, char **culprit) {
    *culprit = nullptr;
    trust_walk w;
    dstr_init(&w.at, 256);
    dstr_init(&w.todo, 256);
    w.next = 0;
    if (path[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) dstr_add_mem(&w.todo, cwd, int(std::strlen(cwd)));
        std::free(cwd);
        dstr_add_char(&w.todo, '/');
    }
    dstr_add_mem(&w.todo, path, int(std::strlen(path)));
    int rc = walk(&w, uid);
    if (rc < 0) {
        *culprit = static_cast<char *>(chk_alloc(unsigned(w.at.dl_len) + 1));
        std::memcpy(*culprit, text(&w.at), size_t(w.at.dl_len) + 1);
    }
    dstr_free(&w.at);
    dstr_free(&w.todo);
    return rc;
}

}  // namespace zn
