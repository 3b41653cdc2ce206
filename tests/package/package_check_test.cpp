// Checking a package file: what is found in intact and damaged files, the progress through the
// image, read failures, and a check that fails for every single-bit change of the header.
#include "package/package_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "support/package.h"
#include "support/scratch.h"

namespace zn {
namespace {

using zn_test::TempDir;

void note_progress(void *ctx, uint64_t done, uint64_t total) {
    static_cast<std::vector<uint64_t> *>(ctx)->push_back(done);
    static_cast<std::vector<uint64_t> *>(ctx)->push_back(total);
}

// Writes bytes to path and checks them; progress, when given, collects (done, total) pairs.
int check_file(const std::string &path, const std::string &bytes, package_check *c,
               std::vector<uint64_t> *progress = nullptr) {
    zn_test::write_file(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    int rc = package_check_file(fd, bytes.size(), c, progress ? note_progress : nullptr, progress);
    close(fd);
    return rc;
}

TEST(PackageCheck, FindsWhatIsWrong) {
    TempDir dir;
    // A program image of two chunks and a piece, with lone 0x01 bytes that begin no magic.
    std::string image(2 * kCheckChunk + 1000, 'i');
    for (size_t i = 5; i < image.size(); i += 4099) image[i] = 0x01;
    zn_test::write_file(dir / "image", image);
    const std::string fresh = zn_test::package_bytes({zn_test::env_record("A=1")}, dir / "image");
    const size_t at = image.size();
    std::string alone = fresh.substr(at);  // a package with no image before it
    zn_test::fix_package(alone, 0);
    auto flip = [](size_t offset) {
        return [offset](std::string &f) { f[offset] = char(f[offset] ^ 0x20); };
    };
    struct Row {
        const char *name;
        std::function<void(std::string &)> damage;
        uint32_t offset;
        int magic_seen, header_whole, magic_ok, length_ok, crc_ok;
    } rows[] = {
        {"intact", [](std::string &) {}, uint32_t(at), 1, 1, 1, 1, 1},
        {"image byte", flip(3), uint32_t(at), 1, 1, 1, 1, 0},
        {"stored CRC byte", flip(at + kHeaderCrcOffset), uint32_t(at), 1, 1, 1, 1, 0},
        {"payload length byte", flip(at + kHeaderPayloadLengthOffset + 3), uint32_t(at), 1, 1, 1, 0,
         0},
        {"byte appended", [](std::string &f) { f += 'x'; }, uint32_t(at), 1, 1, 1, 0, 0},
        {"last byte cut", [](std::string &f) { f.pop_back(); }, uint32_t(at), 1, 1, 1, 0, 0},
        {"magic's NUL", flip(at + kMagicLength), uint32_t(at), 1, 1, 0, 0, 0},
        {"magic", flip(at + 2), 0, 0, 1, 0, 0, 0},
        {"ends inside the header", [at](std::string &f) { f.resize(at + 100); }, uint32_t(at), 1, 0,
         0, 0, 0},
        {"no package", [at](std::string &f) { f.resize(at); }, 0, 0, 1, 0, 0, 0},
        {"header at offset 0", [&alone](std::string &f) { f = alone; }, 0, 1, 1, 1, 1, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string bytes = fresh;
        row.damage(bytes);
        package_check c;
        ASSERT_EQ(check_file(dir / "pkg", bytes, &c), 0);
        EXPECT_EQ(c.header_offset, row.offset);
        EXPECT_EQ(c.magic_seen, row.magic_seen);
        EXPECT_EQ(c.header_whole, row.header_whole);
        EXPECT_EQ(c.magic_ok, row.magic_ok);
        EXPECT_EQ(c.crc_whole, row.magic_ok);
        if (!c.magic_ok) continue;
        EXPECT_EQ(package_check_length_ok(&c), row.length_ok);
        EXPECT_EQ(package_check_crc_ok(&c), row.crc_ok);
        std::string zeroed = bytes;
        LPUT32(&zeroed[c.header_offset + kHeaderCrcOffset], 0);
        EXPECT_EQ(c.calculated_crc, crc32(zeroed.data(), int(zeroed.size())));
    }

    // Progress after each chunk of the image, none for the header and records.
    std::vector<uint64_t> progress;
    package_check c;
    ASSERT_EQ(check_file(dir / "pkg", fresh, &c, &progress), 0);
    EXPECT_EQ(progress,
              (std::vector<uint64_t>{uint64_t(kCheckChunk), at, 2u * kCheckChunk, at, at, at}));

    // A read that fails is an error, not a damaged package.
    int fd = open(dir.path().c_str(), O_RDONLY);
    EXPECT_EQ(package_check_file(fd, 4096, &c, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EISDIR);
    close(fd);

    // Every single-bit change anywhere in the header is caught.
    for (int i = 0; i < kPackageHeaderSize; i++) {
        std::string damaged = fresh;
        damaged[at + i] = char(damaged[at + i] ^ (1 << (i % 8)));
        ASSERT_EQ(check_file(dir / "pkg", damaged, &c), 0);
        ASSERT_FALSE(c.magic_ok && package_check_length_ok(&c) && package_check_crc_ok(&c))
            << "header byte " << i;
    }
}

}  // namespace
}  // namespace zn
