#include "install/path_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "lib/dir_trust.h"
#include "string/dstr.h"

namespace zn {

constexpr int kMadeDirMode = 0755;  // directories made on the way, less the umask

namespace {

// The text of d as a C string; the terminator stays outside dl_len, so appending goes on.
const char *text(dstr *d) {
    dstr_terminate(d);
    d->dl_len--;
    return d->dl_ptr;
}

// A walk's state: the directory reached (its descriptor, its path, "" for the root, and its
// status) and the path still to walk.
struct trust_walk {
    int fd;
    struct stat st;
    dstr at;
    dstr todo;
    int next;  // offset in todo of what is still to walk
};

// Makes the root the directory reached. Returns false when it cannot be opened.
bool restart_at_root(trust_walk *w) {
    if (w->fd >= 0) close(w->fd);
    w->at.dl_len = 0;
    w->fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return w->fd >= 0 && fstat(w->fd, &w->st) == 0;
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

// Follows the symbolic link name in the directory reached, whose status is st: refused when
// another user planted it in a shared sticky directory, else its target is spliced in front of
// what is still to walk. Returns kPathOk or a failure.
int follow_link(trust_walk *w, const char *name, const struct stat &st, uid_t uid, int *links) {
    // Anyone may create a link in a shared sticky directory, and only its owner may remove it
    // there; elsewhere the directory's own check covers who put it there.
    bool owner_trusted = st.st_uid == uid || st.st_uid == 0;
    if (!owner_trusted && (w->st.st_mode & S_IWOTH) && (w->st.st_mode & S_ISVTX))
        return kPathRefused;
    if (++*links > kTrustMaxLinks) {
        errno = ELOOP;
        return kPathFailed;
    }
    // Some file systems give links no size; their targets still fit PATH_MAX.
    size_t cap = st.st_size > 0 ? size_t(st.st_size) + 1 : PATH_MAX;
    char *target = static_cast<char *>(chk_alloc(unsigned(cap)));
    ssize_t n = readlinkat(w->fd, name, target, cap);
    bool ok = n > 0 && size_t(n) < cap;
    if (ok) splice_link(w, target, size_t(n));
    chk_free(target);
    if (!ok) {
        if (n >= 0) errno = ENOENT;  // changed under us, or empty
        return kPathFailed;
    }
    if (w->todo.dl_ptr[0] == '/' && !restart_at_root(w)) return kPathFailed;
    return kPathOk;
}

// Walks the path. Returns kPathOk with w->fd at the directory reached, or a failure with w->at
// naming the culprit.
int walk(trust_walk *w, uid_t uid, int flags) {
    if (!restart_at_root(w)) return kPathFailed;
    if (dir_trust(w->fd, &w->st, uid, kTrustOnTheWay) != kTrustOk) {
        dstr_add_char(&w->at, '/');
        return kPathRefused;
    }
    int links = 0;
    while (w->next < w->todo.dl_len) {
        const char *p = w->todo.dl_ptr + w->next;
        const char *slash =
            static_cast<const char *>(std::memchr(p, '/', size_t(w->todo.dl_len - w->next)));
        int len = slash != nullptr ? int(slash - p) : w->todo.dl_len - w->next;
        w->next += len + (slash != nullptr);
        if (len == 0 || (len == 1 && p[0] == '.')) continue;
        int parent_len = w->at.dl_len;
        bool last = w->next >= w->todo.dl_len;
        char *name = static_cast<char *>(chk_alloc(unsigned(len) + 1));
        std::memcpy(name, p, size_t(len));
        name[len] = '\0';
        if (len == 2 && p[0] == '.' && p[1] == '.') {
            while (w->at.dl_len > 0 && w->at.dl_ptr[w->at.dl_len - 1] != '/') w->at.dl_len--;
            if (w->at.dl_len > 0) w->at.dl_len--;
        } else {
            dstr_add_char(&w->at, '/');
            dstr_add_mem(&w->at, p, len);
        }
        int next = openat(w->fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int creating = last ? kPathCreateLast : kPathCreateParents;
        if (next < 0 && errno == ENOENT && (flags & creating)) {
            if (mkdirat(w->fd, name, kMadeDirMode) < 0 && errno != EEXIST) {
                chk_free(name);
                return kPathNotMade;
            }
            next = openat(w->fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        struct stat st;
        if (next < 0) {
            int error = errno;
            bool link = (error == ELOOP || error == ENOTDIR) &&
                        fstatat(w->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            int rc = link ? follow_link(w, name, st, uid, &links) : kPathFailed;
            chk_free(name);
            if (!link) {
                errno = error;
                return error == ENOENT ? kPathMissing : kPathFailed;
            }
            if (rc != kPathOk) return rc;
            if (w->todo.dl_ptr[0] != '/') w->at.dl_len = parent_len;
            continue;
        }
        chk_free(name);
        close(w->fd);
        w->fd = next;
        if (fstat(w->fd, &w->st) < 0) return kPathFailed;
        if (dir_trust(w->fd, &w->st, uid, kTrustOnTheWay) != kTrustOk) return kPathRefused;
    }
    if ((flags & kPathStrictLast) && dir_trust(w->fd, &w->st, uid, kTrustStrict) != kTrustOk) {
        if (w->at.dl_len == 0) dstr_add_char(&w->at, '/');
        return kPathRefused;
    }
    return kPathOk;
}

}  // namespace

int path_trust_open(const char *path, uid_t uid, int flags, int *fd, char **culprit) {
    *culprit = nullptr;
    *fd = -1;
    trust_walk w;
    w.fd = -1;
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
    int rc = walk(&w, uid, flags);
    int error = errno;
    if (rc == kPathOk) {
        *fd = w.fd;
    } else {
        if (w.fd >= 0) close(w.fd);
        *culprit = static_cast<char *>(chk_alloc(unsigned(w.at.dl_len) + 1));
        std::memcpy(*culprit, text(&w.at), size_t(w.at.dl_len) + 1);
    }
    dstr_free(&w.at);
    dstr_free(&w.todo);
    errno = error;
    return rc;
}

}  // namespace zn
