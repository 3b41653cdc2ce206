#include "pack/tree_tar.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "pack/pack_error.h"
#include "string/dstr.h"

namespace zn {

constexpr unsigned kFileChunk = 65536;  // bytes read from a file per step
constexpr mode_t kPermissionBits = 07777;
constexpr const char *kOwnerName = "root";  // user and group name stored with ids 0/0

// The first archive name under which a file with several links was stored.
struct tree_link {
    dev_t dev;
    ino_t ino;
    char *name;
};

struct tree_tar {
    struct archive *a;
    byte_sink sink;
    void *ctx;
    int sink_failed;  // the sink recorded its own error text
    int abandoned;    // the walk failed: whatever libarchive still flushes is dropped
    int64_t mtime;
    int root_len;      // bytes of the disk path before the '/' that starts a relative name
    tree_link *links;  // linear search: only files with more than one link are kept here
    int nlinks;
    int links_cap;
    char *buf;           // kFileChunk bytes
    tar_counts *counts;  // what the archive holds so far
};

static la_ssize_t tree_tar_out(struct archive *, void *client, const void *data, size_t n) {
    tree_tar *t = static_cast<tree_tar *>(client);
    if (t->abandoned) return static_cast<la_ssize_t>(n);
    if (t->sink(t->ctx, data, n) < 0) {
        t->sink_failed = 1;
        return -1;
    }
    return static_cast<la_ssize_t>(n);
}

// Records the archive's failure for what, unless the sink already said what went wrong.
static int tree_tar_fail(tree_tar *t, const char *what) {
    if (!t->sink_failed) {
        const char *why = archive_error_string(t->a);
        pack_error("%s: %s", what, why != nullptr ? why : "tar archive writer failed");
    }
    return -1;
}

static const char *tree_link_find(const tree_tar *t, const struct stat *st) {
    for (int i = 0; i < t->nlinks; i++)
        if (t->links[i].dev == st->st_dev && t->links[i].ino == st->st_ino) return t->links[i].name;
    return nullptr;
}

static void tree_link_add(tree_tar *t, const struct stat *st, const char *name) {
    if (t->nlinks == t->links_cap) {
        t->links_cap = t->links_cap == 0 ? 16 : t->links_cap * 2;
        t->links = static_cast<tree_link *>(
            chk_realloc(t->links, unsigned(t->links_cap * sizeof(tree_link))));
    }
    tree_link *l = &t->links[t->nlinks++];
    l->dev = st->st_dev;
    l->ino = st->st_ino;
    l->name = chk_strdup(name);
}

// Records that path is no longer what the walk listed (or was opened as).
static int tree_changed(const char *path) {
    pack_error("%s: changed while it was being packed", path);
    return -1;
}

// True when st is the object listed as want.
static bool tree_same(const struct stat *st, const struct stat *want) {
    return st->st_dev == want->st_dev && st->st_ino == want->st_ino;
}

#ifdef ZN_PACK_TEST_HOOKS
// Test builds only: before the entry named ZN_PACK_PAUSE_AT (relative to the tree) is opened,
// waits until the FIFO ZN_PACK_PAUSE_FIFO has been opened for writing and closed again, so that a
// test can change the tree at exactly this point of the walk.
static void tree_test_pause(const char *rel) {
    const char *at = std::getenv("ZN_PACK_PAUSE_AT");
    const char *fifo = std::getenv("ZN_PACK_PAUSE_FIFO");
    if (at == nullptr || fifo == nullptr || std::strcmp(at, rel) != 0) return;
    int fd = open(fifo, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char c;
    while (read(fd, &c, 1) > 0) {
    }
    close(fd);
}
#else
static void tree_test_pause(const char *) {}
#endif

// Opens name in dir_fd, never through a symbolic link, and checks that it is the object listed
// as st (a directory when dir is set, else a regular file). Returns the descriptor, or -1 after
// recording why not; path names it in messages.
static int tree_open(int dir_fd, const char *name, const struct stat *st, bool dir,
                     const char *path) {
    // O_NONBLOCK: a fifo swapped in for a file must not hang the tool.
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (dir ? O_DIRECTORY : O_NONBLOCK);
    int fd = openat(dir_fd, name, flags);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) return tree_changed(path);
        pack_error_errno(dir ? "cannot open directory %s" : "cannot open %s", path);
        return -1;
    }
    struct stat now;
    if (fstat(fd, &now) < 0 || !tree_same(&now, st) ||
        (dir ? !S_ISDIR(now.st_mode) : !S_ISREG(now.st_mode))) {
        close(fd);
        return tree_changed(path);
    }
    return fd;
}

// Copies the st_size bytes of the regular file open at fd into the current entry.
static int tree_copy_file(tree_tar *t, int fd, const char *path, const struct stat *st) {
    off_t left = st->st_size;
    while (left > 0) {
        size_t want = left < off_t(kFileChunk) ? size_t(left) : kFileChunk;
        ssize_t got = read(fd, t->buf, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            pack_error_errno("cannot read %s", path);
            return -1;
        }
        if (got == 0) {
            // The header already promised st_size bytes; padding with zeros would ship a
            // file that was never on disk.
            pack_error("%s: file shrank while it was being packed", path);
            return -1;
        }
        if (archive_write_data(t->a, t->buf, size_t(got)) != got) return tree_tar_fail(t, path);
        left -= got;
    }
    return 0;
}

static int tree_walk(tree_tar *t, int *dir_fd, const struct stat *dir_st, dstr *path);

// Descends into the directory name of *dir_fd (listed as st; path->dl_ptr is its disk path).
// The walk holds one directory descriptor at a time: *dir_fd is closed while the subtree is
// walked and opened again afterwards as the subtree's "..", which must still be the directory
// listed as dir_st.
static int tree_descend(tree_tar *t, int *dir_fd, const struct stat *dir_st, const char *name,
                        const struct stat *st, dstr *path) {
    int fd = tree_open(*dir_fd, name, st, true, path->dl_ptr);
    if (fd < 0) return -1;
    close(*dir_fd);
    int rc = tree_walk(t, &fd, st, path);
    *dir_fd = fd >= 0 ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd >= 0) close(fd);
    struct stat back;
    if (rc == 0 && (*dir_fd < 0 || fstat(*dir_fd, &back) < 0 || !tree_same(&back, dir_st)))
        return tree_changed(path->dl_ptr);
    return rc;
}

// Adds the entry name of the directory *dir_fd (listed as dir_st) and, for a directory,
// everything under it. path->dl_ptr is the entry's disk path, for messages; its archive name
// starts after the tree's own path.
static int tree_add(tree_tar *t, int *dir_fd, const struct stat *dir_st, const char *name,
                    dstr *path) {
    const char *disk = path->dl_ptr;
    const char *rel = disk + t->root_len + 1;
    struct stat st;
    if (fstatat(*dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) < 0) {
        pack_error_errno("cannot stat %s", disk);
        return -1;
    }
    tree_test_pause(rel);

    struct archive_entry *e = archive_entry_new();
    archive_entry_set_uid(e, 0);
    archive_entry_set_gid(e, 0);
    archive_entry_copy_uname(e, kOwnerName);
    archive_entry_copy_gname(e, kOwnerName);
    archive_entry_set_mtime(e, static_cast<time_t>(t->mtime), 0);
    archive_entry_set_perm(e, st.st_mode & kPermissionBits);
    archive_entry_set_size(e, 0);

    int data_fd = -1;
    int is_dir = 0;
    if (S_ISDIR(st.st_mode)) {
        // Directory names end in '/', which is how tar readers tell them apart by name alone.
        dstr dir_name;
        dstr_init(&dir_name, int(std::strlen(rel)) + 2);
        dstr_add_mem(&dir_name, rel, int(std::strlen(rel)));
        dstr_add_char(&dir_name, '/');
        dstr_terminate(&dir_name);
        archive_entry_set_filetype(e, AE_IFDIR);
        archive_entry_copy_pathname(e, dir_name.dl_ptr);
        dstr_free(&dir_name);
        is_dir = 1;
    } else if (S_ISLNK(st.st_mode)) {
        // st_size is the target's length; a target that changes under us shows as a longer read.
        size_t cap = size_t(st.st_size) + 2;
        char *target = static_cast<char *>(chk_alloc(unsigned(cap)));
        ssize_t n = readlinkat(*dir_fd, name, target, cap);
        if (n < 0 || size_t(n) >= cap) {
            if (n < 0)
                pack_error_errno("cannot read symbolic link %s", disk);
            else
                pack_error("%s: symbolic link changed while it was being packed", disk);
            chk_free(target);
            archive_entry_free(e);
            return -1;
        }
        target[n] = 0;
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_copy_pathname(e, rel);
        archive_entry_copy_symlink(e, target);
        chk_free(target);
    } else if (S_ISREG(st.st_mode)) {
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_copy_pathname(e, rel);
        const char *first = st.st_nlink > 1 ? tree_link_find(t, &st) : nullptr;
        if (first != nullptr) {
            archive_entry_copy_hardlink(e, first);
        } else {
            // Opened before its header is written: what the header describes is what is read.
            data_fd = tree_open(*dir_fd, name, &st, false, disk);
            if (data_fd < 0) {
                archive_entry_free(e);
                return -1;
            }
            if (st.st_nlink > 1) tree_link_add(t, &st, rel);
            archive_entry_set_size(e, st.st_size);
        }
    } else {
        pack_error(
            "%s: cannot pack a special file (only directories, regular files and "
            "symbolic links)",
            disk);
        archive_entry_free(e);
        return -1;
    }

    // ARCHIVE_WARN is kept: it reports a name that is not text in this locale, which pax then
    // stores as raw bytes.
    int rc = archive_write_header(t->a, e);
    archive_entry_free(e);
    t->counts->entries++;
    if (data_fd >= 0) t->counts->file_bytes += uint64_t(st.st_size);
    if (rc < ARCHIVE_WARN) {
        rc = tree_tar_fail(t, disk);
    } else if (data_fd >= 0) {
        rc = tree_copy_file(t, data_fd, disk, &st);
    } else {
        rc = is_dir ? tree_descend(t, dir_fd, dir_st, name, &st, path) : 0;
    }
    if (data_fd >= 0) close(data_fd);
    return rc;
}

static int compare_names(const void *a, const void *b) {
    return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

static void free_names(char **names, int n) {
    for (int i = 0; i < n; i++) chk_free(names[i]);
    chk_free(names);
}

// Adds everything in the directory open at *dir_fd (listed as dir_st; path->dl_ptr is its disk
// path), sorted by name. The directory is read in full before anything in it is added; *dir_fd
// stays open (it may be another descriptor of the same directory on return).
static int tree_walk(tree_tar *t, int *dir_fd, const struct stat *dir_st, dstr *path) {
    const char *shown = path->dl_ptr[0] != 0 ? path->dl_ptr : "/";
    int list_fd = dup(*dir_fd);
    DIR *d = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (d == nullptr) {
        pack_error_errno("cannot open directory %s", shown);
        if (list_fd >= 0) close(list_fd);
        return -1;
    }
    char **names = nullptr;
    int n = 0, cap = 0;
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(d);
        if (de == nullptr) break;
        if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
        if (n == cap) {
            cap = cap == 0 ? 32 : cap * 2;
            names = static_cast<char **>(chk_realloc(names, unsigned(cap * sizeof(char *))));
        }
        names[n++] = chk_strdup(de->d_name);
    }
    if (errno != 0) {
        pack_error_errno("cannot read directory %s", shown);
        closedir(d);
        free_names(names, n);
        return -1;
    }
    closedir(d);
    if (n > 1) std::qsort(names, size_t(n), sizeof(char *), compare_names);

    // path->dl_len counts the NUL; each child replaces it with "/name" and a new NUL.
    int base = path->dl_len - 1;
    int rc = 0;
    for (int i = 0; i < n && rc == 0; i++) {
        path->dl_len = base;
        dstr_add_char(path, '/');
        dstr_add_mem(path, names[i], int(std::strlen(names[i])));
        dstr_terminate(path);
        rc = tree_add(t, dir_fd, dir_st, names[i], path);
    }
    path->dl_len = base;
    dstr_terminate(path);
    free_names(names, n);
    return rc;
}

int tree_tar_write(const char *dir, int64_t mtime, byte_sink sink, void *ctx, tar_counts *counts) {
    tree_tar t;
    std::memset(&t, 0, sizeof t);
    t.sink = sink;
    t.ctx = ctx;
    t.mtime = mtime;
    t.counts = counts;

    // Trailing slashes would double up in the disk paths; "/" itself becomes "" (see tree_walk).
    int len = int(std::strlen(dir));
    while (len > 0 && dir[len - 1] == '/') len--;
    dstr path;
    dstr_init(&path, len + 256);
    dstr_add_mem(&path, dir, len);
    dstr_terminate(&path);
    t.root_len = len;

    // The tree's top is opened as the caller names it, through a symbolic link if it is one;
    // below it, the walk follows none.
    const char *top = len > 0 ? path.dl_ptr : "/";
    struct stat root_st;
    int root_fd = open(top, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0 || fstat(root_fd, &root_st) < 0) {
        pack_error_errno("cannot open directory %s", top);
        if (root_fd >= 0) close(root_fd);
        dstr_free(&path);
        return -1;
    }

    t.a = archive_write_new();
    t.buf = static_cast<char *>(chk_alloc(kFileChunk));
    int rc = -1;
    if (archive_write_set_format_pax_restricted(t.a) != ARCHIVE_OK ||
        archive_write_open(t.a, &t, nullptr, tree_tar_out, nullptr) != ARCHIVE_OK) {
        tree_tar_fail(&t, "cannot start the tar archive");
    } else if (tree_walk(&t, &root_fd, &root_st, &path) == 0) {
        // Closing writes the end-of-archive blocks and the padding of the last block.
        if (archive_write_close(t.a) != ARCHIVE_OK)
            tree_tar_fail(&t, dir);
        else
            rc = 0;
    }
    // Freeing an archive that was not closed closes it, which would write to the sink.
    t.abandoned = rc != 0;
    archive_write_free(t.a);
    if (root_fd >= 0) close(root_fd);
    for (int i = 0; i < t.nlinks; i++) chk_free(t.links[i].name);
    chk_free(t.links);
    chk_free(t.buf);
    dstr_free(&path);
    return rc;
}

}  // namespace zn
