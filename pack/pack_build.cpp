#include "pack/pack_build.h"

#include <fcntl.h>
#include <sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "lib/ctype_table.h"
#include "pack/bzip_stream.h"
#include "pack/pack_error.h"
#include "pack/tar_count.h"
#include "pack/tree_tar.h"
#include "pack/zstd_stream.h"
#include "package/package_format.h"
#include "package/product_record.h"
#include "string/dstr.h"

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

#ifdef ZN_PACK_TEST_HOOKS
// Test builds only: ZN_PACK_SIZE_LIMIT lowers the largest record body and payload, so that a
// test can pass them with little data.
static uint64_t size_limit() {
    const char *v = std::getenv("ZN_PACK_SIZE_LIMIT");
    return v != nullptr ? std::strtoull(v, nullptr, 10) : kPayloadMax;
}
#else
static uint64_t size_limit() {
    return kPayloadMax;
}
#endif

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
    // The installer's own expansion ($NAME) and the post-install script read the setting by
    // name, so the name must be one a shell can use.
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    bool name_ok = ctype_is(*p, kCtypeAlpha) || *p == '_';
    for (p++; name_ok && p < reinterpret_cast<const unsigned char *>(eq); p++)
        name_ok = ctype_is(*p, kCtypeAlpha | kCtypeDigit) || *p == '_';
    if (!name_ok) {
        pack_error(
            "environment setting \"%s\": the name is not a variable name (letters, digits and "
            "_, not beginning with a digit)",
            text);
        return -1;
    }
    return 0;
}

int pack_check_product(const pack_build_args *args) {
    const struct {
        const char *option;
        const char *text;
    } texts[] = {
        {"--name", args->name},
        {"--version", args->version},
        {"--default-dir", args->default_dir},
    };
    for (const auto &t : texts) {
        if (t.text != nullptr && std::strlen(t.text) > kProductTextMax) {
            pack_error("%s takes at most %u bytes, not %zu", t.option, unsigned(kProductTextMax),
                       std::strlen(t.text));
            return -1;
        }
    }
    const char *dir = args->default_dir;
    if (dir != nullptr && dir[0] != '/' && dir[0] != '~') {
        pack_error("--default-dir takes an absolute directory or one beginning with ~, not \"%s\"",
                   dir);
        return -1;
    }
    return 0;
}

// Where record bodies go: appended to the package through the writer, which stops as soon as a
// body or the payload passes what the format holds.
struct package_sink_ctx {
    package_writer *w;
    const char *out;      // the output's name, for messages
    uint64_t limit;       // largest record body and payload, in bytes
    uint64_t body_start;  // offset of the current record's body
    const char *input;    // the current record's input, for messages
    uint64_t reserved;    // bytes the records not yet begun take at least
    int records;          // records begun
};

static int package_sink(void *ctx, const void *data, size_t n) {
    package_sink_ctx *p = static_cast<package_sink_ctx *>(ctx);
    uint64_t body = p->w->end - p->body_start + n;
    uint64_t payload = p->w->end - p->w->payload_offset + n + p->reserved;
    if (body > p->limit) {
        pack_error("%s: record body over %llu bytes, more than the package format holds", p->input,
                   static_cast<unsigned long long>(p->limit));
        return -1;
    }
    if (payload > p->limit) {
        pack_error("%s: the package would pass %llu bytes, more than the package format holds",
                   p->input, static_cast<unsigned long long>(p->limit));
        return -1;
    }
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

// Streams the file at path to sink; with counts, the file is a tar archive whose entries are
// added to them. Returns 0 or -1.
static int copy_file(const char *path, byte_sink sink, void *ctx, tar_counts *counts = nullptr) {
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
    int rc = counts != nullptr ? tar_count_copy(fd, path, sink, ctx, counts)
                               : copy_fd(fd, path, sink, ctx);
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

// Checks the input of one record before anything is written and gives the bytes the record
// takes for certain: its header, and its body when that is stored as it is (a compressed body
// counts as empty). Returns 0, or -1 (pack_error set) when the input is missing, of the wrong
// kind, or a stored body over limit bytes.
static int plan_record(const pack_record_arg *r, uint64_t limit, uint64_t *size) {
    *size = kRecordHeaderSize;
    if (r->type == kRecordEnvironment) {
        *size += std::strlen(r->value) + 1;
        return pack_check_environment(r->value);
    }
    struct stat st;
    if (stat(r->value, &st) < 0) {
        pack_error_errno("cannot open %s", r->value);
        return -1;
    }
    if (r->type == kRecordArchive) {
        if (!S_ISDIR(st.st_mode) && !has_tar_suffix(r->value)) {
            pack_error("%s: --archive takes a directory or a file named *.tar", r->value);
            return -1;
        }
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        pack_error("%s is a directory", r->value);
        return -1;
    }
    if (r->type == kRecordScript) return 0;
    if (uint64_t(st.st_size) > limit) {
        pack_error("%s: %llu bytes, more than a record body holds (%llu)", r->value,
                   static_cast<unsigned long long>(st.st_size),
                   static_cast<unsigned long long>(limit));
        return -1;
    }
    *size += uint64_t(st.st_size);
    return 0;
}

// Writes the body of one compressed record: a packed directory, a tar file (both counted into
// counts), or the bytes of a script.
static int add_compressed_body(const pack_build_args *args, const pack_record_arg *r,
                               package_sink_ctx *out, tar_counts *counts) {
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
    if (rc == 0 && is_tree)
        rc = tree_tar_write(r->value, args->mtime, body_compressor_sink, &c, counts);
    else if (rc == 0)
        rc = copy_file(r->value, body_compressor_sink, &c,
                       r->type == kRecordArchive ? counts : nullptr);
    if (rc == 0) rc = body_compressor_finish(&c);
    body_compressor_free(&c);
    return rc;
}

// Appends one record; planned is what plan_record gave for it.
static int add_record(const pack_build_args *args, const pack_record_arg *r, uint64_t planned,
                      package_sink_ctx *out, tar_counts *counts) {
    package_writer *w = out->w;
    out->reserved -= planned;
    out->input = r->value;
    out->records++;
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
    out->body_start = at + kRecordHeaderSize;
    int rc = (r->type == kRecordArchive || r->type == kRecordScript)
                 ? add_compressed_body(args, r, out, counts)
                 : copy_file(r->value, package_sink, out);
    if (rc < 0) return -1;
    if (package_writer_end_record(w, at) < 0) {
        if (errno == EFBIG)
            pack_error("%s: record body over 4 GiB - 1 bytes, more than the package format holds",
                       r->value);
        else
            pack_error_errno("cannot write %s", out->out);
        return -1;
    }
    return 0;
}

// The product record's fields from the command line; the archive figures are set when known.
static void product_from_args(const pack_build_args *args, const tar_counts *counts,
                              product_info *p) {
    product_info_init(p);
    const struct {
        const char *text;
        int *has;
        char *slot;
    } texts[] = {
        {args->name, &p->has_name, p->name},
        {args->version, &p->has_version, p->version},
        {args->default_dir, &p->has_default_dir, p->default_dir},
    };
    for (const auto &t : texts) {
        if (t.text == nullptr) continue;
        *t.has = 1;
        std::snprintf(t.slot, kProductTextMax + 1, "%s", t.text);
    }
    p->has_unpacked_size = p->has_entries = p->has_flags = 1;
    p->unpacked_size = counts->file_bytes;
    p->entries = counts->entries;
    p->flags = args->progress ? kProductFlagProgress : 0;
}

// Whether the package gets a product record: when it has an archive to describe, or when the
// command line describes the product.
static bool wants_product(const pack_build_args *args) {
    bool archive = false;
    for (int i = 0; i < args->nrecords; i++)
        if (args->records[i].type == kRecordArchive) archive = true;
    return archive || args->name != nullptr || args->version != nullptr ||
           args->default_dir != nullptr || args->progress;
}

// Hands bytes to a SHA-256 computation.
static int sha256_sink(void *ctx, const void *data, size_t n) {
    SHA256Update(static_cast<SHA2_CTX *>(ctx), static_cast<const uint8_t *>(data), n);
    return 0;
}

// Computes the SHA-256 of the whole file at fd as hex. Returns 0 or -1 (pack_error set).
// Moves the file position of fd.
static int file_sha256(int fd, const char *name, char hex[65]) {
    SHA2_CTX ctx;
    SHA256Init(&ctx);
    int rc = -1;
    if (lseek(fd, 0, SEEK_SET) < 0)
        pack_error_errno("cannot read %s", name);
    else
        rc = copy_fd(fd, name, sha256_sink, &ctx);
    SHA256End(&ctx, hex);
    return rc;
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

// The records of a build in the order they are written after the product record: the licence,
// then the others as given, each with the bytes it takes for certain (plan_record).
struct build_plan {
    pack_record_arg *records;
    uint64_t *planned;
    int nrecords;
    int product;        // a product record goes first
    dstr product_body;  // its body, the archive figures still zero
    uint64_t reserved;  // bytes of all records known before anything is compressed
};

static void build_plan_free(build_plan *plan) {
    chk_free(plan->records);
    chk_free(plan->planned);
    dstr_free(&plan->product_body);
}

// Checks everything that can be checked before anything is created: the settings, the inputs
// and the sizes of the stored records, so that the cheap mistakes cost nothing and nothing is
// compressed for a package that cannot be written. Returns 0, or -1 (pack_error set); the plan
// is freed with build_plan_free either way.
static int build_plan_make(const pack_build_args *args, uint64_t limit, build_plan *plan) {
    std::memset(plan, 0, sizeof *plan);
    dstr_init(&plan->product_body, 256);
    if (pack_check_product(args) < 0) return -1;
    int n = args->nrecords + (args->licence != nullptr);
    plan->records =
        static_cast<pack_record_arg *>(chk_alloc(unsigned(n * sizeof(pack_record_arg)) + 1));
    plan->planned = static_cast<uint64_t *>(chk_alloc(unsigned(n * sizeof(uint64_t)) + 1));
    if (args->licence != nullptr) plan->records[plan->nrecords++] = {kRecordLicence, args->licence};
    for (int i = 0; i < args->nrecords; i++) plan->records[plan->nrecords++] = args->records[i];

    plan->product = wants_product(args);
    if (plan->product) {
        tar_counts none = {0, 0};
        product_info info;
        product_from_args(args, &none, &info);
        product_record_encode(&info, &plan->product_body);
        plan->reserved += kRecordHeaderSize + uint64_t(plan->product_body.dl_len);
    }
    for (int i = 0; i < plan->nrecords; i++) {
        if (plan_record(&plan->records[i], limit, &plan->planned[i]) < 0) return -1;
        plan->reserved += plan->planned[i];
    }
    if (kPackageHeaderSize + plan->reserved > limit) {
        pack_error(
            "the stored records alone take %llu bytes, more than a package holds (%llu bytes, "
            "header included)",
            static_cast<unsigned long long>(plan->reserved),
            static_cast<unsigned long long>(limit));
        return -1;
    }
    return 0;
}

// Writes the package of the plan behind the image in fd: the product record, then the others;
// the product record's archive figures are filled in at the end. Returns 0 or -1.
static int write_package(const pack_build_args *args, build_plan *plan, uint64_t limit, int fd,
                         package_writer *w, int *records) {
    package_sink_ctx sink = {w, args->out, limit, 0, args->out, plan->reserved, 0};
    if (package_writer_begin(w, fd) < 0) {
        pack_error_errno("cannot write %s", args->out);
        return -1;
    }
    uint64_t product_at = 0;
    uint32_t product_len = uint32_t(plan->product_body.dl_len);
    if (plan->product) {
        product_at = w->end + kRecordHeaderSize;
        sink.reserved -= kRecordHeaderSize + product_len;
        sink.records++;
        if (package_writer_add(w, kRecordProduct, plan->product_body.dl_ptr, product_len) < 0) {
            pack_error_errno("cannot write %s", args->out);
            return -1;
        }
    }
    tar_counts counts = {0, 0};
    for (int i = 0; i < plan->nrecords; i++)
        if (add_record(args, &plan->records[i], plan->planned[i], &sink, &counts) < 0) return -1;
    if (plan->product) {
        product_info info;
        product_from_args(args, &counts, &info);
        dstr_clear(&plan->product_body);
        product_record_encode(&info, &plan->product_body);
        // The figures are fixed-width, so the body keeps its length.
        assert(uint32_t(plan->product_body.dl_len) == product_len);
        if (package_writer_overwrite(w, product_at, plan->product_body.dl_ptr, product_len) < 0) {
            pack_error_errno("cannot write %s", args->out);
            return -1;
        }
    }
    if (package_writer_finish(w) < 0) {
        if (errno == EFBIG)
            pack_error("package over 4 GiB - 1 bytes, more than the package format holds");
        else
            pack_error_errno("cannot write %s", args->out);
        return -1;
    }
    *records = sink.records;
    return 0;
}

int pack_build(const pack_build_args *args, pack_build_result *result) {
    uint64_t limit = size_limit();
    build_plan plan;
    if (build_plan_make(args, limit, &plan) < 0) {
        build_plan_free(&plan);
        return -1;
    }

    char *default_stub = nullptr;
    const char *stub = args->stub;
    if (stub == nullptr) {
        default_stub = pack_default_stub();
        if (default_stub == nullptr) {
            build_plan_free(&plan);
            return -1;
        }
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
        build_plan_free(&plan);
        return -1;
    }

    int fd = create_temp(args->out);
    if (fd < 0) {
        close(in);
        chk_free(default_stub);
        build_plan_free(&plan);
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
    if (rc == 0) rc = write_package(args, &plan, limit, fd, &w, &result->records);
    build_plan_free(&plan);
    if (rc == 0 && (fchmod(fd, kPackageMode) < 0 || fsync(fd) < 0)) {
        pack_error_errno("cannot write %s", args->out);
        rc = -1;
    }
    if (rc == 0) {
        result->size = w.end;
        rc = file_sha256(fd, args->out, result->sha256);
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
