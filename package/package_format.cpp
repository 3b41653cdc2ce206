#include "package/package_format.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/fd_io.h"

namespace zn {

constexpr int kSearchChunk = 1024;  // bytes read per step of the header search
constexpr int kCopyChunk = 65536;   // bytes read per step when the writer computes the CRC

char package_magic[16];

record_kind record_kind_of(unsigned type) {
    switch (type) {
        case kRecordWelcome:
            return kKindWelcome;
        case kRecordArchive:
        case kRecordArchiveAlt:
        case kRecordZstdArchive:
            return kKindArchive;
        case kRecordProgram:
            return kKindProgram;
        case kRecordScript:
        case kRecordZstdScript:
            return kKindScript;
        case kRecordEnvironment:
            return kKindEnvironment;
        case kRecordProduct:
            return kKindProduct;
        case kRecordLicence:
            return kKindLicence;
        default:
            return kKindInvalid;
    }
}

int record_type_is_valid(unsigned type) {
    return record_kind_of(type) != kKindInvalid;
}

int record_compression(unsigned type) {
    switch (type) {
        case kRecordArchive:
        case kRecordArchiveAlt:
        case kRecordScript:
            return kCompressionBzip2;
        case kRecordZstdArchive:
        case kRecordZstdScript:
            return kCompressionZstd;
        default:
            return kCompressionNone;
    }
}

void build_package_magic() {
    // Volatile stores: each byte is its own instruction, so the optimiser cannot merge the
    // sequence into one constant in the image.
    volatile char *m = package_magic;
    int at = 0;
    m[at++] = 0x01;
    m[at++] = 'I';
    m[at++] = 'n';
    m[at++] = 's';
    m[at++] = 't';
    m[at++] = 'a';
    m[at++] = 'l';
    m[at++] = 'l';
    m[at] = 0;
    m[at++] = 0x07;
    m[at++] = 'M';
    m[at++] = 'a';
    m[at++] = 'g';
    m[at++] = 'i';
    m[at++] = 'c';
    m[at] = 0;
}

void package_header_encode(const package_header *h, unsigned char out[kPackageHeaderSize]) {
    build_package_magic();
    std::memset(out, 0, kPackageHeaderSize);
    std::memcpy(out + kHeaderMagicOffset, package_magic, kMagicLength);
    LPUT32(out + kHeaderPayloadLengthOffset, h->payload_length);
    LPUT32(out + kHeaderCrcOffset, h->crc);
    for (int i = 0; i < kHeaderWordCount; i++)
        LPUT32(out + kHeaderWordsOffset + 4 * i, h->words[i]);
}

int package_header_decode(const unsigned char in[kPackageHeaderSize], package_header *h) {
    build_package_magic();
    h->payload_length = LGET32(in + kHeaderPayloadLengthOffset);
    h->crc = LGET32(in + kHeaderCrcOffset);
    for (int i = 0; i < kHeaderWordCount; i++)
        h->words[i] = LGET32(in + kHeaderWordsOffset + 4 * i);
    // Compared as a NUL-terminated string: the 14 bytes and the NUL behind them.
    return std::memcmp(in + kHeaderMagicOffset, package_magic, kMagicLength + 1) == 0;
}

uint32_t find_package_header(int fd, uint32_t start, uint32_t limit) {
    build_package_magic();
    unsigned char chunk[kSearchChunk];
    uint64_t chunk_offset = start;
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) return 0;
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return 0;
        size_t n = static_cast<size_t>(got);
        size_t index = 0;
        bool reread = false;
        while (index < n) {
            const void *hit = std::memchr(chunk + index, 0x01, n - index);
            if (hit == nullptr) break;
            size_t candidate = static_cast<size_t>(static_cast<const unsigned char *>(hit) - chunk);
            if (candidate + kMagicLength <= n) {
                if (std::memcmp(chunk + candidate, package_magic, kMagicLength) == 0)
                    return static_cast<uint32_t>(chunk_offset + candidate);
                index = candidate + 1;
                continue;
            }
            // The candidate runs past the chunk: re-read from it, so that it starts the next
            // chunk, unless the file cannot hold the magic there. A candidate that already
            // starts its chunk was cut by the end of the file.
            if (chunk_offset + n + kMagicLength > limit || candidate == 0) return 0;
            chunk_offset += candidate;
            if (lseek(fd, static_cast<off_t>(chunk_offset), SEEK_SET) < 0) return 0;
            reread = true;
            break;
        }
        if (!reread) chunk_offset += n;
    }
}

void record_header_decode(const unsigned char in[kRecordHeaderSize], record_header *r) {
    r->body_length = LGET32(in + kRecordLengthOffset);
    r->type = in[kRecordTypeOffset];
}

void record_header_encode(const record_header *r, unsigned char out[kRecordHeaderSize]) {
    LPUT32(out + kRecordLengthOffset, r->body_length);
    out[kRecordTypeOffset] = static_cast<unsigned char>(r->type);
}

void record_cursor_init(record_cursor *c, int fd, uint32_t payload_offset, uint64_t file_size) {
    c->fd = fd;
    c->pos = uint64_t(payload_offset) + kPackageHeaderSize;
    c->end = file_size;
}

namespace {

int write_full_at(int fd, uint64_t offset, const void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = pwrite(fd, static_cast<const char *>(buf) + done, n - done,
                             static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        done += static_cast<size_t>(put);
    }
    return 0;
}

}  // namespace

int record_cursor_next(record_cursor *c, unsigned char raw[kRecordHeaderSize], record_header *r,
                       uint64_t *record_offset) {
    if (c->pos >= c->end) return 0;
    if (lseek(c->fd, static_cast<off_t>(c->pos), SEEK_SET) < 0) return -1;
    if (read_full(c->fd, raw, kRecordHeaderSize) < kRecordHeaderSize) return -1;
    record_header h;
    record_header_decode(raw, &h);
    if (r != nullptr) *r = h;
    if (record_offset != nullptr) *record_offset = c->pos;
    c->pos += kRecordHeaderSize + uint64_t(h.body_length);
    return 1;
}

int package_writer_begin(package_writer *w, int fd) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return -1;
    w->fd = fd;
    w->payload_offset = static_cast<uint64_t>(end);
    package_header h = {};
    unsigned char raw[kPackageHeaderSize];
    package_header_encode(&h, raw);
    if (write_full_at(fd, w->payload_offset, raw, sizeof raw) < 0) return -1;
    w->end = w->payload_offset + kPackageHeaderSize;
    return 0;
}

int package_writer_begin_record(package_writer *w, unsigned type, uint64_t *record_offset) {
    record_header h = {0, type};
    unsigned char raw[kRecordHeaderSize];
    record_header_encode(&h, raw);
    if (write_full_at(w->fd, w->end, raw, sizeof raw) < 0) return -1;
    *record_offset = w->end;
    w->end += kRecordHeaderSize;
    return 0;
}

int package_writer_append(package_writer *w, const void *data, uint32_t n) {
    if (write_full_at(w->fd, w->end, data, n) < 0) return -1;
    w->end += n;
    return 0;
}

int package_writer_end_record(package_writer *w, uint64_t record_offset) {
    uint64_t body = w->end - record_offset - kRecordHeaderSize;
    if (body > kRecordBodyMax) {
        errno = EFBIG;
        return -1;
    }
    unsigned char raw[4];
    LPUT32(raw, static_cast<uint32_t>(body));
    return write_full_at(w->fd, record_offset + kRecordLengthOffset, raw, sizeof raw);
}

int package_writer_overwrite(package_writer *w, uint64_t offset, const void *data, uint32_t n) {
    assert(offset >= w->payload_offset + kPackageHeaderSize && offset + n <= w->end);
    return write_full_at(w->fd, offset, data, n);
}

int package_writer_add(package_writer *w, unsigned type, const void *body, uint32_t n) {
    uint64_t at;
    if (package_writer_begin_record(w, type, &at) < 0) return -1;
    if (package_writer_append(w, body, n) < 0) return -1;
    return package_writer_end_record(w, at);
}

int package_file_crc(int fd, uint64_t crc_offset, uint32_t *crc) {
    static unsigned char buf[kCopyChunk];
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    uint32_t reg = 0xFFFFFFFFu;
    uint64_t at = 0;
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        // Count the stored CRC's bytes as zero wherever they fall in this block.
        for (uint64_t i = crc_offset; i < crc_offset + 4; i++)
            if (i >= at && i < at + uint64_t(got)) buf[i - at] = 0;
        reg = crc32_fold(reg, buf, static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    *crc = ~reg;
    return 0;
}

int package_writer_finish(package_writer *w) {
    uint64_t length = w->end - w->payload_offset;
    if (length > kPayloadMax || w->payload_offset > 0xFFFFFFFFu) {
        errno = EFBIG;
        return -1;
    }
    unsigned char raw[4];
    LPUT32(raw, static_cast<uint32_t>(length));
    if (write_full_at(w->fd, w->payload_offset + kHeaderPayloadLengthOffset, raw, 4) < 0) return -1;
    uint32_t crc;
    if (package_file_crc(w->fd, w->payload_offset + kHeaderCrcOffset, &crc) < 0) return -1;
    LPUT32(raw, crc);
    return write_full_at(w->fd, w->payload_offset + kHeaderCrcOffset, raw, 4);
}

}  // namespace zn
