#include "pack/pack_extract.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/dirtree.h"
#include "pack/pack_report.h"
#include "package/bzunzip.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/product_record.h"
#include "package/record_body.h"
#include "package/tar_reader.h"
#include "string/dstr.h"

namespace zn {

constexpr int kDirMode = 0755;  // for the directory and its missing parents
// Taken off every mode: no set-user-ID or set-group-ID program, nothing others may write.
constexpr int kClearedBits = 06000 | 0002;
constexpr int kFileMode = 0644;   // welcome text, script and programs: never executable
constexpr int kNameTries = 1000;  // names stem, stem-2, ... tried before giving up
constexpr int kNameSize = 64;     // bytes for such a name

namespace {

// The records written as files, and their names.
struct record_file {
    record_kind kind;
    const char *stem;
    const char *extension;
    const char *what;  // for the report line
};

const record_file kRecordFiles[] = {
    {kKindLicence, "licence", ".txt", "licence text"},
    {kKindWelcome, "welcome", ".txt", "welcome text"},
    {kKindScript, "postinstall", ".sh", "script (not run)"},
    {kKindProgram, "program", "", "program (not run)"},
};

// Creates the first free name of stem, stem-2, ... (with the extension) in root, never through a
// symbolic link. Returns the descriptor with the name in name, or -1 (errno set).
int create_free_file(int root, const record_file *f, char name[kNameSize]) {
    for (int n = 1; n <= kNameTries; n++) {
        if (n == 1)
            std::snprintf(name, kNameSize, "%s%s", f->stem, f->extension);
        else
            std::snprintf(name, kNameSize, "%s-%d%s", f->stem, n, f->extension);
        int fd =
            openat(root, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// True when the directory open at fd holds nothing but "." and "..".
bool directory_is_empty(int fd) {
    int dup_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dup_fd >= 0 ? fdopendir(dup_fd) : nullptr;
    if (d == nullptr) {
        if (dup_fd >= 0) close(dup_fd);
        return false;
    }
    bool empty = true;
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(d);
    return empty;
}

int fd_writer(bz_context *ctx, const char *data, int count) {
    int out = int(bz_handle(ctx));
    return write_full(out, data, size_t(count)) == size_t(count) ? 0 : -1;
}

// The entry of kRecordFiles for a kind, or null when its records are not written as files.
const record_file *record_file_of(record_kind kind) {
    for (const record_file &f : kRecordFiles)
        if (f.kind == kind) return &f;
    return nullptr;
}

// Writes the body of a licence, welcome, script or program record (the package descriptor at the
// body) as a file in root; a script is decompressed. Returns 0, or 1 after reporting the failure.
int write_record_file(int fd, const unsigned char *raw, const record_header &h, int root,
                      const char *dir) {
    const record_file *f = record_file_of(record_kind_of(h.type));
    char name[kNameSize];
    int out = create_free_file(root, f, name);
    if (out < 0) {
        std::fprintf(stderr, "znpack: cannot create the %s file in %s: %s\n", f->stem, dir,
                     std::strerror(errno));
        return 1;
    }
    int rc;
    if (f->kind == kKindScript) {
        rc = record_body_unzip(fd, raw, uintptr_t(out), fd_writer) == kBzOk ? 0 : -1;
    } else {
        int chunk = 0;
        rc = program_record_copy(fd, h.body_length, out, &chunk);
        if (rc == -2)
            std::fprintf(stderr, "znpack: %s/%s: the package ends inside it\n", dir, name);
    }
    if (close(out) < 0 && rc == 0) rc = -1;
    if (rc == -1) std::fprintf(stderr, "znpack: %s/%s could not be written whole\n", dir, name);
    std::printf("%s: %s/%s\n", f->what, dir, name);
    return rc != 0;
}

// Prints an environment setting as "env NAME=VALUE". Returns 0, or 1 after reporting why not.
int print_environment(int fd, const unsigned char *raw, const char *path, uint64_t at) {
    char text[kEnvironmentMax + 1];
    int rc = environment_record_read(fd, raw, text);
    if (rc < 0) {
        std::fprintf(stderr, "znpack: %s: environment record at offset %llu %s\n", path,
                     static_cast<unsigned long long>(at),
                     rc == -1 ? "is longer than the installer takes" : "is cut short");
        return 1;
    }
    dstr line;
    dstr_init(&line, 64);
    pack_add_shown(&line, text, int(std::strlen(text)));
    dstr_terminate(&line);
    std::printf("env %s\n", line.dl_ptr);
    dstr_free(&line);
    return 0;
}

// Prints a product record's fields as "product: ...". Returns 0, or 1 after reporting why not.
int print_product(int fd, const unsigned char *raw, const char *path, uint64_t at) {
    product_info p;
    const char *why = "the file ends inside it";
    if (product_record_read(fd, raw, &p, &why) != 0) {
        std::fprintf(stderr, "znpack: %s: product record at offset %llu is damaged: %s\n", path,
                     static_cast<unsigned long long>(at), why);
        return 1;
    }
    dstr line;
    dstr_init(&line, 128);
    pack_add_product(&line, &p);
    dstr_terminate(&line);
    std::printf("product: %s\n", line.dl_ptr);
    dstr_free(&line);
    return 0;
}

}  // namespace

int pack_extract(const char *path, const char *dir) {
    uint32_t payload_offset;
    uint64_t file_size;
    int fd = pack_open_verified(path, &payload_offset, &file_size);
    if (fd < 0) return 1;
    int root = -1;
    if (make_directory_tree(dir, kDirMode) == 0)
        root = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0 || !directory_is_empty(root)) {
        std::fprintf(stderr, "znpack: cannot use the directory %s: %s\n", dir,
                     root < 0 ? std::strerror(errno) : "it is not empty");
        if (root >= 0) close(root);
        close(fd);
        return 1;
    }

    // 1. Environment settings and archives; 2. the records written as files.
    int failed = 0;
    int setid_cleared = 0;
    for (int pass = 1; pass <= 2; pass++) {
        record_cursor cursor;
        record_cursor_init(&cursor, fd, payload_offset, file_size);
        unsigned char raw[kRecordHeaderSize];
        record_header h;
        uint64_t at = 0;
        int got;
        while ((got = record_cursor_next(&cursor, raw, &h, &at)) == 1) {
            record_kind kind = record_kind_of(h.type);
            if (kind == kKindInvalid) {
                // The installer stops here, and so does the extraction.
                if (pass == 1) {
                    std::fprintf(stderr,
                                 "znpack: %s: record of type %u at offset %llu is invalid\n", path,
                                 h.type, static_cast<unsigned long long>(at));
                    failed = 1;
                }
                break;
            }
            if (pass == 1 && kind == kKindProduct) {
                failed |= print_product(fd, raw, path, at);
            } else if (pass == 1 && kind == kKindEnvironment) {
                failed |= print_environment(fd, raw, path, at);
            } else if (pass == 1 && kind == kKindArchive) {
                tar_reader reader;
                tar_reader_init(&reader, root);
                reader.clear_bits = kClearedBits;
                failed |= archive_record_read(fd, raw, &reader);
                setid_cleared += reader.setid_cleared;
            } else if (pass == 2 && record_file_of(kind) != nullptr) {
                failed |= write_record_file(fd, raw, h, root, dir);
            }
            std::fflush(stdout);
        }
        if (got < 0 && pass == 1) {
            std::fprintf(stderr, "znpack: %s: record header cut short at offset %llu\n", path,
                         static_cast<unsigned long long>(cursor.pos));
            failed = 1;
        }
    }
    std::printf("set-user-ID or set-group-ID bits taken off: %d\n", setid_cleared);
    close(root);
    close(fd);
    return failed;
}

}  // namespace zn
