#include "pack/tar_count.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/chk.h"
#include "pack/pack_error.h"

namespace zn {

constexpr unsigned kTeeBlock = 65536;  // bytes read from the file per step

namespace {

// The file as libarchive's input, every block also handed to the sink. libarchive is given no
// skip callback, so that it reads file data through here instead of seeking past it.
struct tar_tee {
    int fd;
    const char *name;
    byte_sink sink;
    void *ctx;
    char *buf;   // kTeeBlock bytes
    int failed;  // a read or the sink failed; pack_error says why
};

// Reads the next block and hands it to the sink. Returns its size, 0 at the end, -1 on failure.
ssize_t tee_next(tar_tee *t) {
    for (;;) {
        ssize_t got = read(t->fd, t->buf, kTeeBlock);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            pack_error_errno("cannot read %s", t->name);
            t->failed = 1;
            return -1;
        }
        if (got > 0 && t->sink(t->ctx, t->buf, size_t(got)) < 0) {
            t->failed = 1;
            return -1;
        }
        return got;
    }
}

la_ssize_t tee_read(struct archive *a, void *client, const void **out) {
    tar_tee *t = static_cast<tar_tee *>(client);
    ssize_t got = tee_next(t);
    if (got < 0) {
        archive_set_error(a, EIO, "%s", pack_error_text());
        return -1;
    }
    *out = t->buf;
    return got;
}

}  // namespace

int tar_count_copy(int fd, const char *name, byte_sink sink, void *ctx, tar_counts *counts) {
    tar_tee t = {fd, name, sink, ctx, static_cast<char *>(chk_alloc(kTeeBlock)), 0};
    struct archive *a = archive_read_new();
    archive_read_support_format_tar(a);
    int rc = archive_read_open(a, &t, nullptr, tee_read, nullptr);
    if (rc == ARCHIVE_OK) {
        struct archive_entry *e;
        while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
            counts->entries++;
            if (archive_entry_filetype(e) == AE_IFREG && archive_entry_hardlink(e) == nullptr &&
                archive_entry_size_is_set(e))
                counts->file_bytes += uint64_t(archive_entry_size(e));
        }
    }
    int result = 0;
    if (rc != ARCHIVE_EOF) {
        if (!t.failed) {
            const char *why = archive_error_string(a);
            pack_error("%s: not a tar archive that reads whole: %s", name,
                       why != nullptr ? why : "unreadable");
        }
        result = -1;
    }
    archive_read_free(a);
    // What libarchive did not ask for: the rest of the last block, and whatever follows.
    ssize_t got = 1;
    while (result == 0 && got > 0) {
        got = tee_next(&t);
        if (got < 0) result = -1;
    }
    chk_free(t.buf);
    return result;
}

}  // namespace zn
