#include "lib/port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "lib/test_util.h"

namespace zn {
namespace {

// Offsets past 4 GiB must survive the split into two words; the result is the low word.
TEST(Port, SysLseek64) {
    ScratchDir scratch;
    make_file("f", 0644, "0123456789");
    int fd = open("f", O_RDONLY);
    ASSERT_GE(fd, 0);
    struct {
        uint32_t high, low;
        int whence;
        uint32_t want;
        int64_t now;  // where the descriptor stands afterwards
    } rows[] = {
        {0, 5, SEEK_SET, 5, 5},
        {1, 0x10, SEEK_SET, 0x10, 0x100000010},
        {0xFFFFFFFF, 0xFFFFFFF0, SEEK_CUR, 0, 0x100000000},  // 16 back
        {0xFFFFFFFF, 0xFFFFFFFD, SEEK_END, 7, 7},            // 3 before the end
        {0, 0xFFFFFFFF, SEEK_SET, 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(sys_lseek64(fd, r.high, r.low, r.whence), r.want)
            << std::hex << r.high << ":" << r.low;
        EXPECT_EQ(lseek64(fd, 0, SEEK_CUR), r.now) << std::hex << r.high << ":" << r.low;
    }
    close(fd);
    errno = 0;
    EXPECT_EQ(sys_lseek64(-1, 0, 0, SEEK_SET), 0xFFFFFFFFu);
    EXPECT_EQ(errno, EBADF);
}

TEST(Port, MkdirAndLargeFileStatus) {
    ScratchDir scratch;
    EXPECT_EQ(port_mkdir("d", 0750), 0);
    EXPECT_EQ(mode_of("d"), 0750);  // no search bits added, unlike make_directory_tree
    EXPECT_EQ(port_mkdir("x/y", 0750), -1);
    make_file("f", 0644, "12345");
    ASSERT_EQ(symlink("f", "l"), 0);
    struct stat64 st;
    ASSERT_EQ(stat64("l", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(lstat64("l", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
}  // namespace zn
