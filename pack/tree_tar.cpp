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
    char *buf;  // kFileChunk bytes
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

// Copies the st_size bytes of the regular file at path into the current entry.
static int tree_copy_file(tree_tar *t, const char *path, const struct stat *st) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        pack_error_errno("cannot open %s", path);
        return -1;
    }
    off_t left = st->st_size;
    while (left > 0) {
        size_t want = left < off_t(kFileChunk) ? size_t(left) : kFileChunk;
        ssize_t got = read(fd, t->buf, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            pack_error_errno("cannot read %s", path);
            close(fd);
            return -1;
        }
        if (got == 0) {
            // The header already promised st_size bytes; padding with zeros would ship a
            // file that was never on disk.
            pack_error("%s: file shrank while it was being packed", path);
            close(fd);
            return -1;
        }
        if (archive_write_data(t->a, t->buf, size_t(got)) != got) {
            close(fd);
            return tree_tar_fail(t, path);
        }
        left -= got;
    }
    close(fd);
    return 0;
}

static int tree_walk(tree_tar *t, dstr *path);

// Adds the entry at path (a NUL-terminated disk path in path->dl_ptr) and, for a directory,
// everything under it.
static int tree_add(tree_tar *t, dstr *path) {
    const char *disk = path->dl_ptr;
    const char *rel = disk + t->root_len + 1;
    struct stat st;
    if (lstat(disk, &st) < 0) {
        pack_error_errno("cannot stat %s", disk);
        return -1;
    }

    struct archive_entry *e = archive_entry_new();
    archive_entry_set_uid(e, 0);
    archive_entry_set_gid(e, 0);
    archive_entry_copy_uname(e, kOwnerName);
    archive_entry_copy_gname(e, kOwnerName);
    archive_entry_set_mtime(e, static_cast<time_t>(t->mtime), 0);
    archive_entry_set_perm(e, st.st_mode & kPermissionBits);
    archive_entry_set_size(e, 0);

    int copy_data = 0;
    int is_dir = 0;
    if (S_ISDIR(st.st_mode)) {
        // Directory names end in '/', which is how tar readers tell them apart by name alone.
        dstr name;
        dstr_init(&name, int(std::strlen(rel)) + 2);
        dstr_add_mem(&name, rel, int(std::strlen(rel)));
        dstr_add_char(&name, '/');
        dstr_terminate(&name);
        archive_entry_set_filetype(e, AE_IFDIR);
        archive_entry_copy_pathname(e, name.dl_ptr);
        dstr_free(&name);
        is_dir = 1;
    } else if (S_ISLNK(st.st_mode)) {
        // st_size is the target's length; a target that changes under us shows as a longer read.
        size_t cap = size_t(st.st_size) + 2;
        char *target = static_cast<char *>(chk_alloc(unsigned(cap)));
        ssize_t n = readlink(disk, target, cap);
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
            if (st.st_nlink > 1) tree_link_add(t, &st, rel);
            archive_entry_set_size(e, st.st_size);
            copy_data = st.st_size > 0;
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
    if (rc < ARCHIVE_WARN) return tree_tar_fail(t, disk);
    if (copy_data && tree_copy_file(t, disk, &st) < 0) return -1;
    if (is_dir) return tree_walk(t, path);
    return 0;
}

static int compare_names(const void *a, const void *b) {
    return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

static void free_names(char **names, int n) {
    for (int i = 0; i < n; i++) chk_free(names[i]);
    chk_free(names);
}

// Adds everything in the directory at path, sorted by name. The directory is read in full and
// closed before descending, so the walk holds one descriptor whatever the depth.
static int tree_walk(tree_tar *t, dstr *path) {
    DIR *d = opendir(path->dl_ptr[0] != 0 ? path->dl_ptr : "/");
    if (d == nullptr) {
        pack_error_errno("cannot open directory %s", path->dl_ptr);
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
        pack_error_errno("cannot read directory %s", path->dl_ptr);
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
        rc = tree_add(t, path);
    }
    path->dl_len = base;
    dstr_terminate(path);
    free_names(names, n);
    return rc;
}

int tree_tar_write(const char *dir, int64_t mtime, byte_sink sink, void *ctx) {
    tree_tar t;
    std::memset(&t, 0, sizeof t);
    t.sink = sink;
    t.ctx = ctx;
    t.mtime = mtime;

    // Trailing slashes would double up in the disk paths; "/" itself becomes "" (see tree_walk).
    int len = int(std::strlen(dir));
    while (len > 0 && dir[len - 1] == '/') len--;
    dstr path;
    dstr_init(&path, len + 256);
    dstr_add_mem(&path, dir, len);
    dstr_terminate(&path);
    t.root_len = len;

    t.a = archive_write_new();
    t.buf = static_cast<char *>(chk_alloc(kFileChunk));
    int rc = -1;
    if (archive_write_set_format_pax_restricted(t.a) != ARCHIVE_OK ||
        archive_write_open(t.a, &t, nullptr, tree_tar_out, nullptr) != ARCHIVE_OK) {
        tree_tar_fail(&t, "cannot start the tar archive");
    } else if (tree_walk(&t, &path) == 0) {
        // Closing writes the end-of-archive blocks and the padding of the last block.
        if (archive_write_close(t.a) != ARCHIVE_OK)
            tree_tar_fail(&t, dir);
        else
            rc = 0;
    }
    // Freeing an archive that was not closed closes it, which would write to the sink.
    t.abandoned = rc != 0;
    archive_write_free(t.a);
    for (int i = 0; i < t.nlinks; i++) chk_free(t.links[i].name);
    chk_free(t.links);
    chk_free(t.buf);
    dstr_free(&path);
    return rc;
}

}  // namespace zn
