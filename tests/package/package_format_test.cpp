#include "package/package_format.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/byteorder.h"
#include "lib/crc32.h"

namespace zn {
namespace {

std::string magic_bytes() {
    build_package_magic();
    return std::string(package_magic, kMagicLength);
}

// A scratch file that goes away with the test.
class ScratchFile {
   public:
    explicit ScratchFile(const std::string &content) {
        char path[] = "/tmp/zn-format-XXXXXX";
        fd_ = mkstemp(path);
        path_ = path;
        EXPECT_EQ(write(fd_, content.data(), content.size()), ssize_t(content.size()));
    }
    ~ScratchFile() {
        close(fd_);
        unlink(path_.c_str());
    }
    int fd() const { return fd_; }

   private:
    int fd_;
    std::string path_;
};

TEST(PackageMagic, BuiltAtRunTime) {
    build_package_magic();
    const unsigned char want[15] = {0x01, 'I', 'n', 's', 't', 'a', 'l', 'l',
                                    0x07, 'M', 'a', 'g', 'i', 'c', 0};
    EXPECT_EQ(std::memcmp(package_magic, want, sizeof want), 0);
}

// The magic placed at every offset around the first two chunk boundaries, so that it starts in
// the last 13 bytes of a chunk, exactly at one, and just after. Lone 0x01 bytes come before it.
TEST(FindPackageHeader, FindsMagicAtEveryChunkPosition) {
    const std::string magic = magic_bytes();
    for (size_t at = 990; at < 2080; at++) {
        std::string file(at, 'x');
        for (size_t i = 7; i < at; i += 97) file[i] = 0x01;  // decoys
        if (at > 3) file.replace(at - 3, 3, "\x01In");       // a near miss just before
        file += magic;
        file += std::string(200, 'y');
        ScratchFile f(file);
        ASSERT_EQ(find_package_header(f.fd(), 0, uint32_t(file.size())), at) << "magic at " << at;
    }
}

TEST(FindPackageHeader, ReturnsZeroWithoutMagic) {
    std::string file(5000, 'a');
    for (size_t i = 0; i < file.size(); i += 5) file[i] = 0x01;
    file.replace(file.size() - 13, 13, magic_bytes().substr(0, 13));  // cut by the end of the file
    ScratchFile f(file);
    EXPECT_EQ(find_package_header(f.fd(), 0, uint32_t(file.size())), 0u);
    ScratchFile empty("");
    EXPECT_EQ(find_package_header(empty.fd(), 0, 0), 0u);
    // A limit past the end of the file must not make the search re-read the same tail forever.
    EXPECT_EQ(find_package_header(f.fd(), 0, 0xFFFFFFFFu), 0u);
}

TEST(FindPackageHeader, StartsAtStartAndTakesTheFirst) {
    const std::string magic = magic_bytes();
    std::string file = "ab" + magic + std::string(50, 'z') + magic + std::string(10, 'z');
    ScratchFile f(file);
    EXPECT_EQ(find_package_header(f.fd(), 0, uint32_t(file.size())), 2u);
    EXPECT_EQ(find_package_header(f.fd(), 3, uint32_t(file.size())), 2u + 14 + 50);
}

TEST(PackageHeader, EncodeDecodeRoundTrip) {
    package_header h = {7541220u, 0x18CCDE5Bu, {1, 2, 0xFFFFFFFFu}};
    unsigned char raw[kPackageHeaderSize];
    package_header_encode(&h, raw);
    EXPECT_EQ(LGET32(raw + 24), 7541220u);
    EXPECT_EQ(LGET32(raw + 28), 0x18CCDE5Bu);
    EXPECT_EQ(raw[14], 0);
    for (int i = 44; i < kPackageHeaderSize; i++) EXPECT_EQ(raw[i], 0) << i;
    package_header back;
    EXPECT_EQ(package_header_decode(raw, &back), 1);
    EXPECT_EQ(back.payload_length, h.payload_length);
    EXPECT_EQ(back.crc, h.crc);
    EXPECT_EQ(back.words[2], 0xFFFFFFFFu);
    raw[14] = 'x';  // the magic must be followed by its NUL
    EXPECT_EQ(package_header_decode(raw, &back), 0);
}

// Writes a package with the writer, then checks it with the reader and with an independent
// CRC computed over the file with the stored CRC counted as zero.
TEST(PackageWriter, LaysOutHeaderRecordsLengthAndCrc) {
    char path[] = "/tmp/zn-writer-XXXXXX";
    int fd = mkstemp(path);
    const std::string image = "#!image bytes\x01\x02";
    ASSERT_EQ(write(fd, image.data(), image.size()), ssize_t(image.size()));

    package_writer w;
    ASSERT_EQ(package_writer_begin(&w, fd), 0);
    ASSERT_EQ(package_writer_add(&w, kRecordEnvironment, "A=1", 4), 0);
    uint64_t rec;
    ASSERT_EQ(package_writer_begin_record(&w, kRecordProgram, &rec), 0);
    ASSERT_EQ(package_writer_append(&w, "abc", 3), 0);
    ASSERT_EQ(package_writer_append(&w, "defg", 4), 0);
    ASSERT_EQ(package_writer_end_record(&w, rec), 0);
    ASSERT_EQ(package_writer_add(&w, kRecordWelcome, "", 0), 0);
    ASSERT_EQ(package_writer_finish(&w), 0);

    off_t size = lseek(fd, 0, SEEK_END);
    std::vector<unsigned char> file(static_cast<size_t>(size));
    ASSERT_EQ(pread(fd, file.data(), file.size(), 0), size);

    uint32_t found = find_package_header(fd, 0, uint32_t(size));
    EXPECT_EQ(found, image.size());
    package_header h;
    ASSERT_EQ(package_header_decode(file.data() + found, &h), 1);
    EXPECT_EQ(h.payload_length, uint64_t(size) - found);
    std::vector<unsigned char> zeroed = file;
    std::memset(zeroed.data() + found + kHeaderCrcOffset, 0, 4);
    EXPECT_EQ(h.crc, crc32(zeroed.data(), int(zeroed.size())));

    record_cursor c;
    record_cursor_init(&c, fd, found, uint64_t(size));
    unsigned char raw[kRecordHeaderSize];
    record_header r;
    struct {
        unsigned type;
        std::string body;
    } want[] = {{kRecordEnvironment, std::string("A=1\0", 4)},
                {kRecordProgram, "abcdefg"},
                {kRecordWelcome, ""}};
    for (const auto &row : want) {
        ASSERT_EQ(record_cursor_next(&c, raw, &r, nullptr), 1);
        EXPECT_EQ(r.type, row.type);
        ASSERT_EQ(r.body_length, row.body.size());
        std::string body(r.body_length, '\0');
        ASSERT_EQ(read(fd, &body[0], body.size()), ssize_t(body.size()));
        EXPECT_EQ(body, row.body);
    }
    EXPECT_EQ(record_cursor_next(&c, raw, &r, nullptr), 0);
    close(fd);
    unlink(path);
}

TEST(RecordCursor, ShortHeaderAndLyingLength) {
    const std::string magic = magic_bytes();
    std::string file = magic + std::string(kPackageHeaderSize - kMagicLength, '\0');
    file += std::string("\xFF\xFF\xFF\xF0\x07", 5);  // a body far past the end of the file
    file += "abc";
    ScratchFile f(file);
    record_cursor c;
    record_cursor_init(&c, f.fd(), 0, file.size());
    unsigned char raw[kRecordHeaderSize];
    record_header r;
    ASSERT_EQ(record_cursor_next(&c, raw, &r, nullptr), 1);
    EXPECT_EQ(r.body_length, 0xFFFFFFF0u);
    EXPECT_EQ(c.pos, uint64_t(kPackageHeaderSize) + 5 + 0xFFFFFFF0u);  // no 32-bit wrap
    EXPECT_EQ(record_cursor_next(&c, raw, &r, nullptr), 0);

    ScratchFile cut(magic + std::string(kPackageHeaderSize - kMagicLength, '\0') + "\0\0");
    record_cursor_init(&c, cut.fd(), 0, kPackageHeaderSize + 2);
    EXPECT_EQ(record_cursor_next(&c, raw, &r, nullptr), -1);
}

TEST(RecordTypes, OnlyDefinedTypesAreValid) {
    for (unsigned t = 0; t < 256; t++) {
        bool want = t == 1 || t == 2 || t == 7 || t == 10 || t == 11 || t == 12 || t == 20 ||
                    t == 21 || t == 30 || t == 31;
        EXPECT_EQ(record_type_is_valid(t), want ? 1 : 0) << t;
    }
}

}  // namespace
}  // namespace zn
