#include "package/package_check.h"

#include <unistd.h>

#include <cstring>

#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/fd_io.h"

namespace zn {

namespace {

// Reads up to n bytes at the file position into buf, stopping early only at the end of the file.
// Returns the count read, or -1 when a read failed (errno set).
ssize_t read_up_to(int fd, unsigned char *buf, size_t n) {
    size_t have = 0;
    while (have < n) {
        ssize_t got = read_some(fd, buf + have, n - have);
        if (got < 0) return -1;
        if (got == 0) break;
        have += size_t(got);
    }
    return ssize_t(have);
}

}  // namespace

int package_check_file(int fd, uint64_t file_size, package_check *c,
                       package_check_progress progress, void *ctx) {
    static unsigned char chunk[kCheckChunk];
    std::memset(c, 0, sizeof *c);
    c->file_size = file_size;
    build_package_magic();
    uint32_t limit = file_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(file_size);
    c->header_offset = find_package_header(fd, 0, limit);
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;

    // 1. The program image, chunk by chunk; a file that ends inside it leaves the header short.
    uint32_t reg = 0xFFFFFFFFu;
    uint32_t done = 0;
    while (done < c->header_offset) {
        uint32_t want = c->header_offset - done;
        if (want > uint32_t(kCheckChunk)) want = kCheckChunk;
        ssize_t got = read_up_to(fd, chunk, want);
        if (got < 0) return -1;
        if (got == 0) break;
        reg = crc32_fold(reg, chunk, size_t(got));
        done += uint32_t(got);
        if (progress != nullptr) progress(ctx, done, c->header_offset);
    }
    c->calculated_crc = ~reg;

    // 2. The header, right behind the image.
    ssize_t have = done < c->header_offset ? 0 : read_up_to(fd, c->raw, kPackageHeaderSize);
    if (have < 0) return -1;
    c->magic_seen = c->header_offset != 0 ||
                    (have >= kMagicLength && std::memcmp(c->raw, package_magic, kMagicLength) == 0);
    c->header_whole = have == kPackageHeaderSize;
    if (!c->header_whole) return 0;
    c->magic_ok = package_header_decode(c->raw, &c->header);
    if (!c->magic_ok) return 0;

    // 3. The header with its stored CRC counted as zero, then the rest of the file.
    unsigned char zeroed[kPackageHeaderSize];
    std::memcpy(zeroed, c->raw, sizeof zeroed);
    LPUT32(zeroed + kHeaderCrcOffset, 0);
    reg = crc32_fold(reg, zeroed, sizeof zeroed);
    for (;;) {
        c->calculated_crc = ~reg;
        ssize_t got = read_some(fd, chunk, kCheckChunk);
        if (got < 0) return -1;
        if (got == 0) break;
        reg = crc32_fold(reg, chunk, size_t(got));
    }
    c->crc_whole = 1;
    return 0;
}

uint64_t package_check_wanted_size(const package_check *c) {
    return uint64_t(c->header_offset) + c->header.payload_length;
}

int package_check_length_ok(const package_check *c) {
    return c->file_size - c->header_offset == c->header.payload_length;
}

int package_check_crc_ok(const package_check *c) {
    return c->crc_whole && c->calculated_crc == c->header.crc;
}

}  // namespace zn
