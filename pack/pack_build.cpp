#include "pack/pack_build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "pack/bzip_stream.h"
#include "pack/pack_error.h"
#include "pack/tree_tar.h"
#include "pack/zstd_stream.h"
#include "package/package_format.h"

namespace zn {

constexpr unsigned kCopyBlock = 65536;  // bytes read per step when copying an input
constexpr mode_t kPackageMode = 0755;
constexpr const char *kStubName = "zninstall";
constexpr const char *kTarSuffix = ".tar";

// The temporary output, for the signal handler. Written before the handlers are installed and
// only read by them.
static char temp_path[PATH_MAX + 32];
static volatile sig_atomic_t temp_live;

static const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

static void remove_temp_and_die(int sig) {
    if (temp_live) unlink(temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void guard_temp(int on) {
    temp_live = on;
    for (int sig : kCleanupSignals) signal(sig, on ? remove_temp_and_die : SIG_DFL);
}

char *pack_default_stub() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n < 0) {
        pack_error_errno("cannot find the running program (/proc/self/exe)");
        return nullptr;
    }
    self[n] = 0;
    char *slash = std::strrchr(self, '/');
    if (slash != nullptr) *slash = 0;
    char *beside = chk_makestr(self, "/", kStubName, nullptr);
#ifdef ZN_STUB_FROM_BINDIR
    // Installed, the installer image lives in its own directory under the same prefix, given
    // relative to the tool's directory so that the whole prefix can move.
    if (access(beside, F_OK) != 0) {
        char *installed = chk_makestr(self, "/", ZN_STUB_FROM_BINDIR, "/", kStubName, nullptr);
        if (access(installed, F_OK) == 0) {
            chk_free(beside);
            return installed;
        }
        chk_free(installed);
    }
#endif
    return beside;
}

int pack_check_environment(const char *text) {
    size_t stored =
        std::strlen(text) + 1;  // the NUL goes into the body, as shipped packages have it
    if (stored > kEnvironmentMax) {
        pack_error("environment setting too long: %zu bytes with its NUL, at most %u", stored,
                   unsigned(kEnvironmentMax));
        return -1;
    }
    const char *eq = std::strchr(text, '=');
    if (eq == nullptr || eq == text) {
        pack_error("environment setting \"%s\" is not NAME=VALUE", text);
        return -1;
    }
    return 0;
}

// Where record bodies go: appended to the package through the writer.
struct package_sink_ctx {
    package_writer *w;
    const char *out;  // the output's name, for messages
};

static int package_sink(void *ctx, const void *data, size_t n) {
    package_sink_ctx *p = static_cast<package_sink_ctx *>(ctx);
    const char *bytes = static_cast<const char *>(data);
    while (n > 0) {
        uint32_t piece = n > 0x40000000u ? 0x40000000u : uint32_t(n);
        if (package_writer_append(p->w, bytes, piece) < 0) {
            pack_error_errno("cannot write %s", p->out);
            return -1;
        }
        bytes += piece;
        n -= piece;
    }
    return 0;
}

// A record body's compressor: the build's compression behind one sink.
struct body_compressor {
    int compression;
    bz_writer bz;
    zstd_writer zs;
};

static int body_compressor_init(body_compressor *c, const pack_build_args *args,
                                package_sink_ctx *out) {
    c->compression = args->compression;
    if (c->compression == kCompressionZstd)
        return zstd_writer_init(&c->zs, args->zstd_level, args->threads, package_sink, out);
    return bz_writer_init(&c->bz, args->threads, package_sink, out);
}

static int body_compressor_sink(void *ctx, const void *data, size_t n) {
    body_compressor *c = static_cast<body_compressor *>(ctx);
    return c->compression == kCompressionZstd ? zstd_writer_write(&c->zs, data, n)
                                              : bz_writer_write(&c->bz, data, n);
}

static int body_compressor_finish(body_compressor *c) {
    return c->compression == kCompressionZstd ? zstd_writer_finish(&c->zs)
                                              : bz_writer_finish(&c->bz);
}

static void body_compressor_free(body_compressor *c) {
    if (c->compression == kCompressionZstd)
        zstd_writer_free(&c->zs);
    else
        bz_writer_free(&c->bz);
}

// Streams what fd holds from its current position to its end into sink; name is for messages.
// Returns 0 or -1.
static int copy_fd(int fd, const char *name, byte_sink sink, void *ctx) {
    char *buf = static_cast<char *>(chk_alloc(kCopyBlock));
    int rc = 0;
    for (;;) {
        ssize_t got = read(fd, buf, kCopyBlock);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            pack_error_errno("cannot read %s", name);
            rc = -1;
            break;
        }
        if (got == 0) break;
        if (sink(ctx, buf, size_t(got)) < 0) {
            rc = -1;
            break;
        }
    }
    chk_free(buf);
    return rc;
}

// Streams the file at path to sink. Returns 0 or -1.
static int copy_file(const char *path, byte_sink sink, void *ctx) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        pack_error_errno("cannot open %s", path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        pack_error("%s is a directory", path);
        close(fd);
        return -1;
    }
    int rc = copy_fd(fd, path, sink, ctx);
    close(fd);
    return rc;
}

// Where the image goes: written at the file position of the descriptor in ctx.
struct fd_sink_ctx {
    int fd;
    const char *out;
};

static int fd_sink(void *ctx, const void *data, size_t n) {
    fd_sink_ctx *f = static_cast<fd_sink_ctx *>(ctx);
    const char *bytes = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t put = write(f->fd, bytes, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            pack_error_errno("cannot write %s", f->out);
            return -1;
        }
        bytes += put;
        n -= size_t(put);
    }
    return 0;
}

static int has_tar_suffix(const char *path) {
    size_t n = std::strlen(path), k = std::strlen(kTarSuffix);
    return n > k && std::strcmp(path + n - k, kTarSuffix) == 0;
}

// Writes the body of one compressed record: a packed directory, or the bytes of a file.
static int add_compressed_body(const pack_build_args *args, const pack_record_arg *r,
                               package_sink_ctx *out) {
    int is_tree = 0;
    if (r->type == kRecordArchive) {
        struct stat st;
        if (stat(r->value, &st) < 0) {
            pack_error_errno("cannot open %s", r->value);
            return -1;
        }
        is_tree = S_ISDIR(st.st_mode);
        if (!is_tree && !has_tar_suffix(r->value)) {
            pack_error("%s: --archive takes a directory or a file named *.tar", r->value);
            return -1;
        }
    }
    body_compressor c;
    int rc = body_compressor_init(&c, args, out);
    if (rc == 0)
        rc = is_tree ? tree_tar_write(r->value, args->mtime, body_compressor_sink, &c)
                     : copy_file(r->value, body_compressor_sink, &c);
    if (rc == 0) rc = body_compressor_finish(&c);
    body_compressor_free(&c);
    return rc;
}

static int add_record(const pack_build_args *args, const pack_record_arg *r,
                      package_sink_ctx *out) {
    package_writer *w = out->w;
    if (r->type == kRecordEnvironment) {
        if (pack_check_environment(r->value) < 0) return -1;
        uint32_t n = uint32_t(std::strlen(r->value) + 1);
        if (package_writer_add(w, kRecordEnvironment, r->value, n) < 0) {
            pack_error_errno("cannot write %s", out->out);
            return -1;
        }
        return 0;
    }
    // Archives and scripts take the type that names the build's compression.
    unsigned type = r->type;
    if (args->compression == kCompressionZstd && type == kRecordArchive) type = kRecordZstdArchive;
    if (args->compression == kCompressionZstd && type == kRecordScript) type = kRecordZstdScript;
    uint64_t at;
    if (package_writer_begin_record(w, type, &at) < 0) {
        pack_error_errno("cannot write %s", out->out);
        return -1;
    }
    int rc = (r->type == kRecordArchive || r->type == kRecordScript)
                 ? add_compressed_body(args, r, out)
                 : copy_file(r->value, package_sink, out);
    if (rc < 0) return -1;
    if (package_writer_end_record(w, at) < 0) {
        if (errno == EFBIG)
            pack_error("%s: record body over 4 GiB, too large for the package format", r->value);
        else
            pack_error_errno("cannot write %s", out->out);
        return -1;
    }
    return 0;
}

// Opens the installer image and checks that the magic does not already occur in it: the
// installer takes the first occurrence in its file as the package header, so a stub holding one
// (a finished package, say) would hide the package appended behind it. find_package_header
// reports a hit at offset 0 as none, so the start of the file is compared on its own.
static int open_stub(const char *stub, uint64_t *size) {
    int fd = open(stub, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        pack_error_errno("cannot open installer %s", stub);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        pack_error("installer %s is not a regular file", stub);
        close(fd);
        return -1;
    }
    if (uint64_t(st.st_size) > 0xFFFFFFFFu - kPackageHeaderSize) {
        pack_error("installer %s is too large for the package format", stub);
        close(fd);
        return -1;
    }
    build_package_magic();
    int64_t found = find_package_header(fd, 0, uint32_t(st.st_size));
    if (found == 0) {
        unsigned char head[kMagicLength];
        int at_start = pread(fd, head, kMagicLength, 0) == kMagicLength &&
                       std::memcmp(head, package_magic, kMagicLength) == 0;
        found = at_start ? 0 : -1;
    }
    if (found >= 0) {
        unsigned char raw[kPackageHeaderSize];
        package_header h;
        if (pread(fd, raw, sizeof raw, off_t(found)) == kPackageHeaderSize &&
            package_header_decode(raw, &h))
            pack_error("installer %s already carries a package (header at offset %lld)", stub,
                       static_cast<long long>(found));
        else
            pack_error("installer %s holds the package magic at offset %lld", stub,
                       static_cast<long long>(found));
        close(fd);
        return -1;
    }
    if (lseek(fd, 0, SEEK_SET) < 0) {
        pack_error_errno("cannot read installer %s", stub);
        close(fd);
        return -1;
    }
    *size = uint64_t(st.st_size);
    return fd;
}

// Creates the temporary output beside out and remembers it in temp_path. Returns the
// descriptor, or -1.
static int create_temp(const char *out) {
    const char *slash = std::strrchr(out, '/');
    int dir_len = slash == nullptr ? 0 : int(slash - out) + 1;
    const char *base = out + dir_len;
    if (*base == 0) {
        pack_error("output %s names a directory", out);
        return -1;
    }
    int n = std::snprintf(temp_path, sizeof temp_path, "%.*s.%s.XXXXXX", dir_len, out, base);
    if (n < 0 || size_t(n) >= sizeof temp_path) {
        pack_error("output name %s is too long", out);
        return -1;
    }
    guard_temp(0);
    int fd = mkstemp(temp_path);
    if (fd < 0) {
        pack_error_errno("cannot create a temporary file beside %s", out);
        return -1;
    }
    guard_temp(1);
    return fd;
}

static void drop_temp(int fd) {
    if (fd >= 0) close(fd);
    unlink(temp_path);
    guard_temp(0);
}

int pack_build(const pack_build_args *args) {
    // Settings are checked before anything is created, so that the cheap mistakes cost nothing.
    for (int i = 0; i < args->nrecords; i++)
        if (args->records[i].type == kRecordEnvironment &&
            pack_check_environment(args->records[i].value) < 0)
            return -1;

    char *default_stub = nullptr;
    const char *stub = args->stub;
    if (stub == nullptr) {
        default_stub = pack_default_stub();
        if (default_stub == nullptr) return -1;
        stub = default_stub;
    }
    uint64_t stub_size = 0;
    int in = open_stub(stub, &stub_size);
    if (in < 0) {
        if (default_stub != nullptr) {
            char *text = chk_strdup(pack_error_text());
            pack_error("%s (name the installer with --stub)", text);
            chk_free(text);
        }
        chk_free(default_stub);
        return -1;
    }

    int fd = create_temp(args->out);
    if (fd < 0) {
        close(in);
        chk_free(default_stub);
        return -1;
    }
    // The image first: the writer appends the package at the end of what fd holds.
    fd_sink_ctx image = {fd, args->out};
    int rc = copy_fd(in, stub, fd_sink, &image);
    close(in);
    if (rc == 0 && lseek(fd, 0, SEEK_END) != off_t(stub_size)) {
        pack_error("installer %s changed while it was being copied", stub);
        rc = -1;
    }
    chk_free(default_stub);
    package_writer w;
    package_sink_ctx sink = {&w, args->out};
    if (rc == 0 && package_writer_begin(&w, fd) < 0) {
        pack_error_errno("cannot write %s", args->out);
        rc = -1;
    }
    for (int i = 0; rc == 0 && i < args->nrecords; i++)
        rc = add_record(args, &args->records[i], &sink);
    if (rc == 0 && package_writer_finish(&w) < 0) {
        if (errno == EFBIG)
            pack_error("package over 4 GiB, too large for the package format");
        else
            pack_error_errno("cannot write %s", args->out);
        rc = -1;
    }
    if (rc == 0 && (fchmod(fd, kPackageMode) < 0 || fsync(fd) < 0)) {
        pack_error_errno("cannot write %s", args->out);
        rc = -1;
    }
    if (rc < 0) {
        drop_temp(fd);
        return -1;
    }
    if (close(fd) < 0) {
        pack_error_errno("cannot write %s", args->out);
        drop_temp(-1);
        return -1;
    }
    if (rename(temp_path, args->out) < 0) {
        pack_error_errno("cannot rename %s to %s", temp_path, args->out);
        drop_temp(-1);
        return -1;
    }
    guard_temp(0);
    return 0;
}

}  // namespace zn
