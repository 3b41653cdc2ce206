// The installer's reads of a package file, on any file: the header search, the header decode, the
// record walk, and the body reads of the environment records, the program records, the product
// records and the package reader that serves compressed bodies. The handlers themselves end the
// process or run programs, so the target calls the reads they are built on
// (environment_record_read, program_record_copy, product_record_read, package_reader_read) and
// stops the walk where the installer would stop.
// The input is the package file, held in a memory file.
//
// Checks: the search finds the first copy of the magic (one with room for a whole header after
// it always; one too close to the end may be missed) and nothing that is not the magic; the walk
// moves forward only, leaves the descriptor at each body, and ends; every body read hands out
// exactly the body's bytes, as many as the file holds, never a byte of the next record; a product
// record read from the file decodes exactly as its bytes do.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "lib/byteorder.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/product_record.h"
#include "package/record_body.h"

namespace {

int program_out = -1;  // memory file that receives program bodies, emptied per record

std::string read_all(int fd) {
    std::string s;
    off_t n = lseek(fd, 0, SEEK_END);
    s.resize(size_t(n));
    if (n > 0 && pread(fd, &s[0], s.size(), 0) != n) zn_fuzz::fuzz_fail("reading a memory file");
    return s;
}

void check_search(const uint8_t *data, size_t size, uint32_t found) {
    const void *hit = memmem(data, size, zn::package_magic, zn::kMagicLength);
    if (hit == nullptr) {
        if (found != 0) zn_fuzz::fuzz_fail("a header found at %u where there is no magic", found);
        return;
    }
    size_t first = size_t(static_cast<const uint8_t *>(hit) - data);
    if (first + zn::kPackageHeaderSize <= size) {
        if (found != first)
            zn_fuzz::fuzz_fail("the header found at %u, the magic is at %zu", found, first);
    } else if (found != first && found != 0) {
        zn_fuzz::fuzz_fail("the header found at %u, the magic is first at %zu", found, first);
    }
}

// The body of one record, as much of it as the file holds.
std::string body_in_file(const uint8_t *data, size_t size, uint64_t body, uint32_t length) {
    if (body >= size) return "";
    uint64_t n = size - body < length ? size - body : length;
    return std::string(reinterpret_cast<const char *>(data + body), size_t(n));
}

// Returns 0 when the walk goes on after this record, as it does in the installer.
int read_record(int fd, const unsigned char *raw, const zn::record_header &h, uint64_t body,
                const uint8_t *data, size_t size) {
    std::string want = body_in_file(data, size, body, h.body_length);
    bool whole = want.size() == h.body_length;
    switch (h.type) {
        case zn::kRecordEnvironment: {
            char text[zn::kEnvironmentMax + 1];
            int rc = zn::environment_record_read(fd, raw, text);
            if (h.body_length > zn::kEnvironmentMax) {
                FUZZ_CHECK(rc == -1);
                return -1;
            }
            if (!whole) {
                FUZZ_CHECK(rc == -2);
                return -1;
            }
            FUZZ_CHECK(rc == 0);
            size_t len = std::strlen(text);
            FUZZ_CHECK(len <= want.size());
            FUZZ_CHECK(want.compare(0, len, text) == 0);
            FUZZ_CHECK(len == want.size() || want[len] == '\0');
            return 0;
        }
        case zn::kRecordProgram: {
            if (ftruncate(program_out, 0) < 0 || lseek(program_out, 0, SEEK_SET) != 0)
                zn_fuzz::fuzz_fail("emptying the program copy");
            int chunk = 0;
            int rc = zn::program_record_copy(fd, h.body_length, program_out, &chunk);
            std::string copied = read_all(program_out);
            if (whole) {
                FUZZ_CHECK(rc == 0);
                FUZZ_CHECK(copied == want);
            } else {
                FUZZ_CHECK(rc == -2);
                FUZZ_CHECK(chunk > 0 && chunk <= 4096);
                FUZZ_CHECK(copied.size() < want.size() + size_t(chunk));
                FUZZ_CHECK(want.compare(0, copied.size(), copied) == 0);
            }
            return 0;
        }
        case zn::kRecordArchive:
        case zn::kRecordArchiveAlt:
        case zn::kRecordScript: {
            zn::package_reader_start(fd, h.body_length);
            std::string got;
            char buf[zn::kBzInputBlock];
            // Asks for varying amounts and moves the shared descriptor between reads, as other
            // users of it do; the reader must keep its own place.
            for (int i = 0;; i++) {
                int capacity = 1 + int((h.body_length + unsigned(i) * 977) % zn::kBzInputBlock);
                int n = zn::package_reader_read(nullptr, buf, capacity);
                FUZZ_CHECK(n >= 0 && n <= capacity);
                if (n == 0) break;
                got.append(buf, size_t(n));
                FUZZ_CHECK(got.size() <= want.size());
                lseek(fd, off_t(i * 131 % (size + 1)), SEEK_SET);
            }
            if (got != want)
                zn_fuzz::fuzz_fail("the package reader gave %zu bytes of a body of %zu", got.size(),
                                   want.size());
            return 0;
        }
        case zn::kRecordProduct: {
            zn::product_info read, decoded;
            int rc = zn::product_record_read(fd, raw, &read);
            if (h.body_length > zn::kProductRecordMax) {
                FUZZ_CHECK(rc == -1);
                return -1;
            }
            if (!whole) {
                FUZZ_CHECK(rc == -2);
                return -1;
            }
            int want_rc = zn::product_record_decode(
                reinterpret_cast<const unsigned char *>(want.data()), h.body_length, &decoded);
            FUZZ_CHECK(rc == want_rc && (rc == 0 || rc == -1));
            FUZZ_CHECK(std::memcmp(&read, &decoded, sizeof read) == 0);
            for (const char *text : {read.name, read.version, read.default_dir})
                FUZZ_CHECK(std::memchr(text, 0, zn::kProductTextMax + 1) != nullptr);
            return 0;
        }
        case zn::kRecordWelcome:
        case zn::kRecordLicence:
            return 0;  // texts: read as they are (the welcome text, then a terminal question)
        default:
            return -1;  // the installer stops at a record type it does not know
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (program_out < 0) program_out = memfd_create("zn-fuzz-program", MFD_CLOEXEC);
    if (program_out < 0) zn_fuzz::fuzz_fail("memfd_create");
    zn::build_package_magic();
    int fd = zn_fuzz::memory_file(data, size);

    uint32_t limit = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size);
    uint32_t offset = zn::find_package_header(fd, 0, limit);
    check_search(data, size, offset);

    unsigned char header[zn::kPackageHeaderSize];
    zn::package_header fields;
    if (size < uint64_t(offset) + zn::kPackageHeaderSize ||
        pread(fd, header, sizeof header, offset) != ssize_t(sizeof header) ||
        !zn::package_header_decode(header, &fields)) {
        close(fd);
        return 0;
    }
    FUZZ_CHECK(fields.payload_length == zn::LGET32(header + zn::kHeaderPayloadLengthOffset));

    zn::record_cursor cursor;
    zn::record_cursor_init(&cursor, fd, offset, size);
    uint64_t previous = offset;
    size_t records = 0;
    for (;;) {
        unsigned char raw[zn::kRecordHeaderSize];
        zn::record_header h;
        uint64_t at = 0;
        int rc = zn::record_cursor_next(&cursor, raw, &h, &at);
        if (rc == 0) break;
        if (rc < 0) {
            // Fewer than five bytes are left for the record header.
            FUZZ_CHECK(cursor.pos + zn::kRecordHeaderSize > size);
            break;
        }
        FUZZ_CHECK(rc == 1);
        FUZZ_CHECK(at > previous);
        FUZZ_CHECK(at + zn::kRecordHeaderSize <= size);
        FUZZ_CHECK(std::memcmp(raw, data + at, zn::kRecordHeaderSize) == 0);
        FUZZ_CHECK(h.body_length == zn::LGET32(raw) && h.type == raw[zn::kRecordTypeOffset]);
        FUZZ_CHECK(uint64_t(lseek(fd, 0, SEEK_CUR)) == at + zn::kRecordHeaderSize);
        FUZZ_CHECK(cursor.pos == at + zn::kRecordHeaderSize + h.body_length);
        FUZZ_CHECK(++records <= size / zn::kRecordHeaderSize);
        previous = at;
        if (read_record(fd, raw, h, at + zn::kRecordHeaderSize, data, size) != 0) break;
    }
    close(fd);
    return 0;
}
