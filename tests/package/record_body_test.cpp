// The body reads under the environment and program handlers, on memory files. The handlers'
// messages and exits are covered end to end (tests/e2e/driver_test.cpp).
#include "package/record_body.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/byteorder.h"
#include "package/package_format.h"

namespace zn {
namespace {

// A memory file holding bytes, positioned at offset 0.
int memory_file(const std::string &bytes) {
    int fd = memfd_create("handlers-test", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string file_contents(int fd) {
    std::string s(size_t(lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(fd, &s[0], s.size(), 0), ssize_t(s.size()));
    return s;
}

void record_header_of(uint32_t length, unsigned char raw[kRecordHeaderSize]) {
    LPUT32(raw, length);
    raw[kRecordTypeOffset] = kRecordEnvironment;
}

TEST(EnvironmentRecordRead, TakesTheBodyUpToItsFirstNul) {
    struct Row {
        std::string file;  // the bytes from the body's first byte to the end of the file
        uint32_t length;   // the record header's body length
        int rc;
        std::string text;
        off_t position;  // where the descriptor is left
    };
    const Row rows[] = {
        {std::string("A=1\0", 4), 4, 0, "A=1", 4},
        {"NAME=value", 10, 0, "NAME=value", 10},       // no NUL: taken in full
        {std::string("A=1\0B=2", 7), 7, 0, "A=1", 7},  // a NUL inside ends the text
        {"A=1NEXT", 3, 0, "A=1", 3},                   // the next record is not read
        {"", 0, 0, "", 0},                             //
        {std::string(1023, 'a'), 1023, 0, std::string(1023, 'a'), 1023},
        {std::string(1024, 'a'), 1024, -1, "", 0},      // too long: nothing read
        {std::string(9, 'a'), 0xFFFFFFFFu, -1, "", 0},  //
        {"A=1", 50, -2, "", 3},                         // the file ends inside the body
    };
    for (const Row &r : rows) {
        int fd = memory_file(r.file);
        unsigned char raw[kRecordHeaderSize];
        record_header_of(r.length, raw);
        char text[kEnvironmentMax + 1];
        std::memset(text, 'X', sizeof text);
        EXPECT_EQ(environment_record_read(fd, raw, text), r.rc) << r.length;
        if (r.rc == 0) {
            EXPECT_EQ(std::string(text), r.text) << r.length;
        }
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), r.position) << r.length;
        close(fd);
    }
}

TEST(ProgramRecordCopy, CopiesInChunksAndReportsTheFailingOne) {
    std::string program;
    for (int i = 0; i < 10000; i++) program += char('a' + i % 26);
    struct Row {
        size_t in_file;   // bytes of the body present in the file
        uint32_t length;  // the record header's body length
        bool writable;
        int rc;
        int chunk;      // the failing chunk's size
        size_t copied;  // bytes that reach the output
    };
    const Row rows[] = {
        {10000, 10000, true, 0, 0, 10000},    // 4096, 4096 and 1808 bytes
        {10000, 4096, true, 0, 0, 4096},      // exactly one chunk; the rest is the next record
        {0, 0, true, 0, 0, 0},                // an empty program
        {5000, 10000, true, -2, 4096, 4096},  // the second chunk runs past the end of the file
        {9000, 10000, true, -2, 1808, 8192},  // the last one does
        {100, 0xFFFFFFFFu, true, -2, 4096, 0},
        {10000, 10000, false, -1, 4096, 0},  // the output takes nothing
    };
    for (const Row &r : rows) {
        int in = memory_file(program.substr(0, r.in_file));
        int out = memfd_create("handlers-test-out", MFD_CLOEXEC);
        int target = out;
        if (!r.writable) target = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int chunk = 0;
        EXPECT_EQ(program_record_copy(in, r.length, target, &chunk), r.rc) << r.in_file;
        if (r.rc != 0) {
            EXPECT_EQ(chunk, r.chunk) << r.in_file;
        }
        EXPECT_EQ(file_contents(out), program.substr(0, r.copied)) << r.in_file;
        if (target != out) close(target);
        close(out);
        close(in);
    }
}

}  // namespace
}  // namespace zn
