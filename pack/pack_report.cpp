#include "pack/pack_report.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/chk.h"
#include "pack/bzip_stream.h"
#include "pack/pack_error.h"
#include "pack/zstd_stream.h"
#include "package/package_check.h"
#include "package/package_format.h"
#include "package/product_record.h"
#include "string/dstr.h"

namespace zn {

constexpr int kLineShown = 72;           // bytes of a welcome or program first line shown
constexpr unsigned kDrainBlock = 65536;  // bytes decompressed per step when only counting

// An open package file and what the checks of it found.
struct package_view {
    int fd;
    package_check c;
};

// Opens path, finds the header and computes the CRC. Returns 0, or -1 (pack_error set) when the
// file cannot be opened or read; a missing or short header is not a failure here.
static int package_view_open(const char *path, package_view *v) {
    v->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (v->fd < 0) {
        pack_error_errno("cannot open %s", path);
        return -1;
    }
    struct stat st;
    if (fstat(v->fd, &st) < 0 || S_ISDIR(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) errno = EISDIR;
        pack_error_errno("cannot read %s", path);
        close(v->fd);
        return -1;
    }
    if (package_check_file(v->fd, uint64_t(st.st_size), &v->c, nullptr, nullptr) < 0) {
        pack_error_errno("cannot read %s", path);
        close(v->fd);
        return -1;
    }
    return 0;
}

// Reports a file without a usable header on standard error. Returns 1 when there is one.
static int package_view_usable(const char *path, const package_view *v) {
    if (!v->c.magic_seen) {
        std::fprintf(stderr, "znpack: %s: no package header found\n", path);
        return 0;
    }
    if (!v->c.header_whole) {
        std::fprintf(stderr,
                     "znpack: %s: package header at offset %u cut short (the file has %llu "
                     "bytes)\n",
                     path, unsigned(v->c.header_offset),
                     static_cast<unsigned long long>(v->c.file_size));
        return 0;
    }
    if (!v->c.magic_ok) {
        std::fprintf(stderr, "znpack: %s: no package header found\n", path);
        return 0;
    }
    return 1;
}

// Checks the length and the CRC of a usable package, each failure reported on standard error.
// Returns 0 when both hold, 1 otherwise.
static int package_view_check(const char *path, const package_view *v) {
    int status = 0;
    if (!package_check_length_ok(&v->c)) {
        std::fprintf(stderr,
                     "znpack: %s: package is corrupt: incorrect size: should be %llu bytes, "
                     "actual size %llu bytes\n",
                     path, static_cast<unsigned long long>(package_check_wanted_size(&v->c)),
                     static_cast<unsigned long long>(v->c.file_size));
        status = 1;
    }
    if (!package_check_crc_ok(&v->c)) {
        std::fprintf(stderr,
                     "znpack: %s: package is corrupt: checksum failed: expected CRC %08x, "
                     "calculated %08x\n",
                     path, unsigned(v->c.header.crc), unsigned(v->c.calculated_crc));
        status = 1;
    }
    return status;
}

// Reads the product record whose header is raw (the descriptor at its body). Returns 0, or -1
// after appending why it cannot be used to why.
static int read_product(int fd, const unsigned char *raw, product_info *p, dstr *why) {
    const char *fault = "";
    int rc = product_record_read(fd, raw, p, &fault);
    if (rc == 0) return 0;
    if (rc == -2) fault = "the file ends inside it";
    dstr_add_mem(why, fault, int(std::strlen(fault)));
    return -1;
}

// Checks that every product record of an intact package decodes, each failure reported on
// standard error: the CRC only shows that the file is as it was written, not that what was
// written can be read. Returns 0 when all do, 1 otherwise.
static int package_view_check_products(const char *path, const package_view *v) {
    record_cursor c;
    record_cursor_init(&c, v->fd, v->c.header_offset, v->c.file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header r;
    uint64_t at = 0;
    int status = 0;
    dstr why;
    dstr_init(&why, 64);
    while (record_cursor_next(&c, raw, &r, &at) == 1) {
        if (r.type != kRecordProduct) continue;
        product_info p;
        dstr_clear(&why);
        if (read_product(v->fd, raw, &p, &why) == 0) continue;
        dstr_terminate(&why);
        std::fprintf(stderr, "znpack: %s: product record at offset %llu is damaged: %s\n", path,
                     static_cast<unsigned long long>(at), why.dl_ptr);
        status = 1;
    }
    dstr_free(&why);
    return status;
}

// Opens and checks the package; returns 0 with v open, or 1 after reporting why not (v closed).
static int package_view_verified(const char *path, package_view *v) {
    if (package_view_open(path, v) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        return 1;
    }
    if (!package_view_usable(path, v) || package_view_check(path, v) != 0 ||
        package_view_check_products(path, v) != 0) {
        close(v->fd);
        return 1;
    }
    return 0;
}

int pack_verify(const char *path) {
    package_view v;
    if (package_view_verified(path, &v) != 0) return 1;
    std::printf("%s: package OK: header at offset %u, payload length %u, CRC %08x\n", path,
                unsigned(v.c.header_offset), unsigned(v.c.header.payload_length),
                unsigned(v.c.header.crc));
    close(v.fd);
    return 0;
}

int pack_open_verified(const char *path, uint32_t *payload_offset, uint64_t *file_size) {
    package_view v;
    if (package_view_verified(path, &v) != 0) return -1;
    *payload_offset = v.c.header_offset;
    *file_size = v.c.file_size;
    return v.fd;
}

// A record body as a byte source for the decompressor: reads stop at the body's end.
struct body_source {
    int fd;
    uint64_t pos;
    uint64_t end;
};

static long body_read(void *ctx, void *buf, size_t n) {
    body_source *b = static_cast<body_source *>(ctx);
    if (b->pos >= b->end) return 0;
    if (n > b->end - b->pos) n = size_t(b->end - b->pos);
    for (;;) {
        ssize_t got = pread(b->fd, buf, n, off_t(b->pos));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            pack_error_errno("cannot read the record body");
            return -1;
        }
        b->pos += uint64_t(got);
        return long(got);
    }
}

void pack_add_shown(dstr *d, const char *p, int n) {
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c < 0x7F) {
            dstr_add_char(d, c);
        } else {
            const char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            dstr_add_mem(d, esc, 4);
        }
    }
}

// Appends the first line of the body (up to the line feed, without a carriage return before it),
// cut to kLineShown bytes.
static void add_first_line(dstr *d, int fd, uint64_t body, uint32_t len) {
    char buf[kLineShown + 2];
    size_t want = len < sizeof buf ? len : sizeof buf;
    ssize_t got = pread(fd, buf, want, off_t(body));
    if (got <= 0) return;
    int n = 0;
    while (n < got && buf[n] != '\n') n++;
    int cut = n > kLineShown;
    if (cut) n = kLineShown;
    if (!cut && n > 0 && buf[n - 1] == '\r') n--;
    pack_add_shown(d, buf, n);
    if (cut) dstr_add_mem(d, "...", 3);
}

static void add_environment(dstr *d, int fd, uint64_t body, uint32_t len) {
    char buf[kEnvironmentMax + 1];
    size_t want = len < sizeof buf ? len : sizeof buf;
    ssize_t got = pread(fd, buf, want, off_t(body));
    if (got < 0) got = 0;
    // The installer stops at the first NUL, the one that shipped records carry at their end.
    int n = 0;
    while (n < got && n < int(kEnvironmentMax) && buf[n] != 0) n++;
    pack_add_shown(d, buf, n);
    if (len > kEnvironmentMax) {
        char note[96];
        int k =
            std::snprintf(note, sizeof note, "... (too long: the installer takes at most %u bytes)",
                          unsigned(kEnvironmentMax));
        dstr_add_mem(d, note, k);
    }
}

static void add_printf(dstr *d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void add_printf(dstr *d, const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > int(sizeof text) - 1) n = int(sizeof text) - 1;
    if (n > 0) dstr_add_mem(d, text, n);
}

void pack_add_product(dstr *d, const product_info *p) {
    const int start = d->dl_len;
    const struct {
        int has;
        const char *label;
        const char *text;
    } texts[] = {
        {p->has_name, "name", p->name},
        {p->has_version, "version", p->version},
        {p->has_default_dir, "default dir", p->default_dir},
    };
    for (const auto &t : texts) {
        if (!t.has) continue;
        add_printf(d, "%s%s \"", d->dl_len > start ? ", " : "", t.label);
        // A quote or backslash inside is shown escaped too, so that the text's end is plain.
        for (const char *c = t.text; *c != 0; c++) {
            if (*c == '"' || *c == '\\')
                add_printf(d, "\\x%02x", unsigned(*c));
            else
                pack_add_shown(d, c, 1);
        }
        dstr_add_char(d, '"');
    }
    const struct {
        int has;
        const char *fmt;
        unsigned long long value;
    } numbers[] = {
        {p->has_unpacked_size, "%llu bytes unpacked", p->unpacked_size},
        {p->has_entries, "%llu entries", p->entries},
        {p->has_flags, (p->flags & kProductFlagProgress) ? "progress line on" : "progress line off",
         0},
        {p->has_flags && (p->flags & ~kProductFlagProgress) != 0, "flags %08llx", p->flags},
        {p->unknown_fields > 0, "%llu unknown fields",
         static_cast<unsigned long long>(p->unknown_fields)},
    };
    char text[96];
    for (const auto &n : numbers) {
        if (!n.has) continue;
        if (d->dl_len > start) dstr_add_mem(d, ", ", 2);
        int k = std::snprintf(text, sizeof text, n.fmt, n.value);
        dstr_add_mem(d, text, k);
    }
    if (d->dl_len == start) dstr_add_mem(d, "no fields", 9);
}

// A compressed record body's decompressor, chosen by the record's type.
struct body_reader {
    int compression;
    bz_reader bz;
    zstd_reader zs;
};

static int body_reader_init(body_reader *r, unsigned type, body_source *src) {
    r->compression = record_compression(type);
    if (r->compression == kCompressionZstd) return zstd_reader_init(&r->zs, body_read, src);
    return bz_reader_init(&r->bz, body_read, src);
}

static long body_reader_read(body_reader *r, void *buf, size_t n) {
    return r->compression == kCompressionZstd ? zstd_reader_read(&r->zs, buf, n)
                                              : bz_reader_read(&r->bz, buf, n);
}

// Decompressed bytes handed out so far.
static uint64_t body_reader_bytes(const body_reader *r) {
    return r->compression == kCompressionZstd ? r->zs.bytes_out : r->bz.bytes_out;
}

static void body_reader_free(body_reader *r) {
    if (r->compression == kCompressionZstd)
        zstd_reader_free(&r->zs);
    else
        bz_reader_free(&r->bz);
}

// Decompresses the rest of the body without keeping it. Returns 0 at its end, -1 on bad data.
static int drain(body_reader *r) {
    char *buf = static_cast<char *>(chk_alloc(kDrainBlock));
    long n;
    while ((n = body_reader_read(r, buf, kDrainBlock)) > 0) {
    }
    chk_free(buf);
    return n < 0 ? -1 : 0;
}

static void add_script(dstr *d, int fd, uint64_t body, const record_header *h) {
    body_source src = {fd, body, body + h->body_length};
    body_reader r;
    if (body_reader_init(&r, h->type, &src) < 0 || drain(&r) < 0)
        add_printf(d, "bad script: %s", pack_error_text());
    else
        add_printf(d, "script of %llu bytes",
                   static_cast<unsigned long long>(body_reader_bytes(&r)));
    body_reader_free(&r);
}

// The decompressed archive as libarchive's input.
struct tar_feed {
    body_reader r;
    char *buf;   // kDrainBlock bytes
    int failed;  // the decompressor failed; pack_error says why
};

static la_ssize_t tar_feed_read(struct archive *a, void *ctx, const void **out) {
    tar_feed *f = static_cast<tar_feed *>(ctx);
    long n = body_reader_read(&f->r, f->buf, kDrainBlock);
    if (n < 0) {
        f->failed = 1;
        archive_set_error(a, EINVAL, "%s", pack_error_text());
        return -1;
    }
    *out = f->buf;
    return n;
}

static void add_archive(dstr *d, int fd, uint64_t body, const record_header *h) {
    body_source src = {fd, body, body + h->body_length};
    tar_feed f;
    std::memset(&f, 0, sizeof f);
    if (body_reader_init(&f.r, h->type, &src) < 0) {
        add_printf(d, "bad archive: %s", pack_error_text());
        body_reader_free(&f.r);
        return;
    }
    f.buf = static_cast<char *>(chk_alloc(kDrainBlock));
    struct archive *a = archive_read_new();
    archive_read_support_format_tar(a);
    uint64_t members = 0, file_bytes = 0;
    int rc = archive_read_open(a, &f, nullptr, tar_feed_read, nullptr);
    if (rc == ARCHIVE_OK) {
        struct archive_entry *e;
        while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
            members++;
            if (archive_entry_size_is_set(e)) file_bytes += uint64_t(archive_entry_size(e));
        }
    }
    if (rc != ARCHIVE_EOF) {
        const char *why = f.failed ? pack_error_text() : archive_error_string(a);
        add_printf(d, "bad archive after %llu members: %s",
                   static_cast<unsigned long long>(members),
                   why != nullptr ? why : "unreadable tar archive");
    } else if (drain(&f.r) < 0) {
        add_printf(d, "bad archive: %s", pack_error_text());
    } else {
        add_printf(d, "%llu members, %llu bytes in files, tar of %llu bytes",
                   static_cast<unsigned long long>(members),
                   static_cast<unsigned long long>(file_bytes),
                   static_cast<unsigned long long>(body_reader_bytes(&f.r)));
    }
    archive_read_free(a);
    chk_free(f.buf);
    body_reader_free(&f.r);
}

static const char *record_type_name(unsigned type) {
    switch (type) {
        case kRecordWelcome:
            return "welcome";
        case kRecordArchive:
        case kRecordArchiveAlt:
        case kRecordZstdArchive:
            return "archive";
        case kRecordProgram:
            return "program";
        case kRecordScript:
        case kRecordZstdScript:
            return "script";
        case kRecordEnvironment:
            return "environment";
        case kRecordProduct:
            return "product";
        case kRecordLicence:
            return "licence";
        default:
            return "invalid";
    }
}

static void describe(dstr *d, int fd, uint64_t body, const record_header *r) {
    switch (r->type) {
        case kRecordEnvironment:
            add_environment(d, fd, body, r->body_length);
            break;
        case kRecordWelcome:
            add_first_line(d, fd, body, r->body_length);
            break;
        case kRecordArchive:
        case kRecordArchiveAlt:
        case kRecordZstdArchive:
            add_archive(d, fd, body, r);
            break;
        case kRecordScript:
        case kRecordZstdScript:
            add_script(d, fd, body, r);
            break;
        case kRecordProduct: {
            unsigned char raw[kRecordHeaderSize];
            record_header_encode(r, raw);
            product_info p;
            dstr why;
            dstr_init(&why, 64);
            if (lseek(fd, off_t(body), SEEK_SET) >= 0 && read_product(fd, raw, &p, &why) == 0) {
                pack_add_product(d, &p);
            } else {
                dstr_add_mem(d, "damaged: ", 9);
                dstr_add_mem(d, why.dl_ptr, why.dl_len);
            }
            dstr_free(&why);
            break;
        }
        case kRecordLicence:
            add_printf(d, "licence text of %u bytes", unsigned(r->body_length));
            break;
        case kRecordProgram: {
            char head[2];
            if (r->body_length >= 2 && pread(fd, head, 2, off_t(body)) == 2 && head[0] == '#' &&
                head[1] == '!')
                add_first_line(d, fd, body, r->body_length);
            break;
        }
        default:
            dstr_add_mem(d, "the installer stops at this record", 34);
            break;
    }
}

int pack_list(const char *path) {
    package_view v;
    if (package_view_open(path, &v) < 0) {
        std::fprintf(stderr, "znpack: %s\n", pack_error_text());
        return 1;
    }
    if (!package_view_usable(path, &v)) {
        close(v.fd);
        return 1;
    }
    std::printf(
        "header at offset %u: payload length %u (file holds %llu), stored CRC %08x, "
        "calculated CRC %08x\n",
        unsigned(v.c.header_offset), unsigned(v.c.header.payload_length),
        static_cast<unsigned long long>(v.c.file_size - v.c.header_offset),
        unsigned(v.c.header.crc), unsigned(v.c.calculated_crc));
    std::printf("%10s %10s  %-14s  %s\n", "offset", "length", "type", "detail");

    record_cursor c;
    record_cursor_init(&c, v.fd, v.c.header_offset, v.c.file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header r;
    uint64_t at = 0;
    int count = 0, status = 0, rc;
    dstr detail;
    dstr_init(&detail, 256);
    while ((rc = record_cursor_next(&c, raw, &r, &at)) == 1) {
        count++;
        uint64_t body = at + kRecordHeaderSize;
        dstr_clear(&detail);
        char type[32];
        std::snprintf(type, sizeof type, "%u %s", r.type, record_type_name(r.type));
        if (r.body_length > v.c.file_size - body) {
            add_printf(&detail, "body runs %llu bytes past the end of the file",
                       static_cast<unsigned long long>(r.body_length - (v.c.file_size - body)));
            status = 1;
        } else {
            describe(&detail, v.fd, body, &r);
        }
        dstr_terminate(&detail);
        std::printf("%10llu %10u  %-14s  %s\n", static_cast<unsigned long long>(at),
                    unsigned(r.body_length), type, detail.dl_ptr);
        if (status != 0) break;
    }
    if (rc < 0) {
        std::printf("%10llu %10s  record header cut short (%llu bytes)\n",
                    static_cast<unsigned long long>(c.pos), "-",
                    static_cast<unsigned long long>(v.c.file_size - c.pos));
        status = 1;
    }
    std::printf("%d record%s\n", count, count == 1 ? "" : "s");
    dstr_free(&detail);
    close(v.fd);
    return status;
}

}  // namespace zn
