#include "install/product.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/handlers.h"
#include "install/run_state.h"
#include "lib/chk.h"
#include "lib/messages.h"
#include "package/fd_io.h"
#include "package/package_format.h"
#include "package/record_body.h"
#include "package/tar_reader.h"

namespace zn {

product_info product;
package_summary summary;

namespace {

// Prints a label and a text from the package, escaped, as a line.
void show_field(const char *label, const char *text) {
    std::fputs(label, stdout);
    put_shown(text);
    std::putchar('\n');
}

}  // namespace

void licence_list(int fd, uint32_t length) {
    std::printf("licence %lu bytes\n", (unsigned long)length);
    char piece[kTextBufferSize];
    bool line_open = false;
    for (uint32_t left = length; left > 0;) {
        size_t want = left < sizeof piece ? left : sizeof piece;
        if (read_full(fd, piece, want) < want) fatal_err("Premature EOF detected\n");
        put_shown_bytes(piece, want, 1);
        line_open = piece[want - 1] != '\n';
        left -= uint32_t(want);
    }
    if (line_open) std::putchar('\n');
}

void human_size(uint64_t bytes, char *out, int size) {
    static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) {
        std::snprintf(out, size_t(size), "%" PRIu64 " bytes", bytes);
        return;
    }
    double v = double(bytes) / 1024;
    int unit = 0;
    while (v >= 1024 && unit < 5) {
        v /= 1024;
        unit++;
    }
    std::snprintf(out, size_t(size), "%.1f %s", v, kUnits[unit]);
}

int product_scan(int fd, uint32_t payload_offset, uint64_t file_size, const char **why) {
    std::memset(&summary, 0, sizeof summary);
    product_info_init(&product);
    record_cursor cursor;
    record_cursor_init(&cursor, fd, payload_offset, file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header h;
    int got;
    while ((got = record_cursor_next(&cursor, raw, &h, nullptr)) == 1) {
        switch (record_kind_of(h.type)) {
            case kKindProduct:
                if (!summary.has_product) {
                    int rc = product_record_read(fd, raw, &product, why);
                    if (rc == -2) *why = "the file ends inside it";
                    if (rc < 0) return -1;
                    summary.has_product = 1;
                }
                break;
            case kKindArchive:
                summary.archives++;
                summary.archive_bytes += h.body_length;
                break;
            case kKindScript:
                summary.scripts++;
                break;
            case kKindProgram:
                summary.programs++;
                break;
            case kKindLicence:
                if (summary.licence_length == 0) summary.licence_length = h.body_length;
                break;
            default:
                break;
        }
        int compression = record_compression(h.type);
        if (compression == kCompressionBzip2) summary.bzip2++;
        if (compression == kCompressionZstd) summary.zstd++;
    }
    return got < 0 ? -2 : 0;
}

void product_load(uint32_t payload_offset, uint64_t file_size) {
    const char *why = "";
    // A record header cut short is for the record walk to report, when it gets there.
    if (product_scan(package_fd, payload_offset, file_size, &why) == -1) {
        err_printf("Damaged product record in package file: %s\n", why);
        std::exit(1);
    }
}

void product_version_line(int fd, uint64_t file_size) {
    build_package_magic();
    uint32_t limit = file_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(file_size);
    uint32_t offset = find_package_header(fd, 0, limit);
    unsigned char header[kPackageHeaderSize];
    package_header fields;
    const char *why;
    if (pread(fd, header, sizeof header, off_t(offset)) != ssize_t(sizeof header) ||
        !package_header_decode(header, &fields) ||
        product_scan(fd, offset, file_size, &why) == -1 || !summary.has_product ||
        !(product.has_name || product.has_version))
        return;
    if (product.has_name) put_shown(product.name);
    if (product.has_name && product.has_version) std::putchar(' ');
    if (product.has_version) put_shown(product.version);
    std::putchar('\n');
}

int product_info_print(uint32_t payload_offset, uint64_t file_size, uint32_t stored_crc) {
    char size[32];
    if (!summary.has_product) std::puts("product: (no product record)");
    if (product.has_name) show_field("product: ", product.name);
    if (product.has_version) show_field("version: ", product.version);
    if (product.has_default_dir) show_field("default directory: ", product.default_dir);
    if (product.has_unpacked_size) {
        human_size(product.unpacked_size, size, sizeof size);
        std::printf("unpacked: %s", size);
        if (product.unpacked_size >= 1024)
            std::printf(" (%" PRIu64 " bytes)", product.unpacked_size);
        if (product.has_entries) std::printf(" in %" PRIu64 " entries", product.entries);
        std::putchar('\n');
    }
    std::printf("compression: %s\n", summary.zstd && summary.bzip2 ? "bzip2 and zstd"
                                     : summary.zstd                ? "zstd"
                                     : summary.bzip2               ? "bzip2"
                                                                   : "none");
    std::printf("post-install script: %s\n", summary.scripts ? "runs" : "none");
    std::printf("helper programs: %d\n", summary.programs);

    // The environment settings and the licence, in the package's order.
    record_cursor cursor;
    record_cursor_init(&cursor, package_fd, payload_offset, file_size);
    unsigned char raw[kRecordHeaderSize];
    record_header h;
    while (record_cursor_next(&cursor, raw, &h, nullptr) == 1) {
        if (record_kind_of(h.type) == kKindEnvironment) {
            char text[kEnvironmentMax + 1];
            environment_record_load(package_fd, raw, text);
            show_field("env ", text);
        } else if (record_kind_of(h.type) == kKindLicence) {
            licence_list(package_fd, h.body_length);
        }
    }
    human_size(file_size, size, sizeof size);
    std::printf("package: %s (%" PRIu64 " bytes), CRC %08lx\n", size, file_size,
                (unsigned long)stored_crc);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

void product_space_check(const char *dir) {
    if (nodiskspace_mode || dump_mode || summary.archives == 0 || !product.has_unpacked_size ||
        !product.has_entries)
        return;
    // The directory, or the nearest of its ancestors that exists.
    struct statvfs fs;
    char *at = chk_strdup(dir);
    int rc;
    while ((rc = statvfs(at, &fs)) < 0 && errno == ENOENT) {
        char *slash = std::strrchr(at, '/');
        if (slash == nullptr) break;
        slash == at ? slash[1] = '\0' : *slash = '\0';
    }
    chk_free(at);
    if (rc < 0) return;  // nothing to compare with: the writes will tell
    uint64_t block = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    // Each entry's last block is rounded up: one block more for each, whatever its size.
    uint64_t needed = product.unpacked_size + block * product.entries;
    uint64_t available = uint64_t(fs.f_bavail) * block;
    char need_text[48], have_text[48];
    if (needed > available) {
        human_size(needed, need_text, sizeof need_text);
        human_size(available, have_text, sizeof have_text);
    } else if (fs.f_files != 0 && product.entries > fs.f_favail) {
        std::snprintf(need_text, sizeof need_text, "%" PRIu64 " inodes", product.entries);
        std::snprintf(have_text, sizeof have_text, "%" PRIu64 " inodes", uint64_t(fs.f_favail));
    } else {
        return;
    }
    std::printf("Error: Not enough free space in %s: %s needed, %s available.\n", dir, need_text,
                have_text);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace zn
