#include "lib/port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/scratch_dir.h"

namespace zn {
namespace {

// Offsets past 4 GiB must survive the split into two words and back; the result is the low word.
TEST(SysLseek64, SeeksWithTheFullOffset) {
    ScratchDir scratch;
    make_file("f", 0644, "0123456789");
    int fd = open("f", O_RDONLY);
    ASSERT_GE(fd, 0);
    struct {
        uint32_t high, low;
        int whence;
        uint32_t want;
        int64_t want_at;  // where the descriptor stands afterwards
    } rows[] = {
        {0, 5, SEEK_SET, 5, 5},
        {1, 0x10, SEEK_SET, 0x10, 0x100000010},
        {0xFFFFFFFF, 0xFFFFFFF0, SEEK_CUR, 0, 0x100000000},  // 16 back
        {0, 0, SEEK_END, 10, 10},
        {0xFFFFFFFF, 0xFFFFFFFD, SEEK_END, 7, 7},  // 3 before the end
        {0, 0xFFFFFFFF, SEEK_SET, 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(sys_lseek64(fd, row.high, row.low, row.whence), row.want)
            << std::hex << row.high << ":" << row.low;
        EXPECT_EQ(lseek64(fd, 0, SEEK_CUR), row.want_at) << std::hex << row.high << ":" << row.low;
    }
    ASSERT_EQ(sys_lseek64(fd, 0, 3, SEEK_SET), 3u);
    char c = 0;
    EXPECT_EQ(read(fd, &c, 1), 1);
    EXPECT_EQ(c, '3');
    close(fd);

    errno = 0;
    EXPECT_EQ(sys_lseek64(-1, 0, 0, SEEK_SET), 0xFFFFFFFFu);
    EXPECT_EQ(errno, EBADF);
}

TEST(Port, NamesOfThisMachine) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    char dst[kPortNameMax + 1];
    std::memset(dst, 'z', sizeof dst);
    EXPECT_EQ(get_nodename(dst), 0);
    EXPECT_STREQ(dst, names.nodename);
    EXPECT_EQ(get_systemname(dst), 0);
    EXPECT_STREQ(dst, names.sysname);

    char host[256] = {};
    char want[256] = {};
    EXPECT_EQ(get_hostname(host, sizeof host), 0);
    ASSERT_EQ(gethostname(want, sizeof want), 0);
    EXPECT_STREQ(host, want);
    EXPECT_EQ(my_gethostid(), gethostid());
}

TEST(Port, MkdirAndLargeFileStatus) {
    ScratchDir scratch;
    EXPECT_EQ(port_mkdir("d", 0750), 0);
    EXPECT_EQ(mode_of("d"), 0750);  // no search bits added here, unlike make_directory_tree
    EXPECT_EQ(port_mkdir("d", 0750), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(port_mkdir("x/y", 0750), -1);  // one level only

    make_file("f", 0644, "12345");
    ASSERT_EQ(symlink("f", "l"), 0);
    struct stat64 st;
    static_assert(sizeof st.st_size >= 8, "the large-file record has a 64-bit size");
    ASSERT_EQ(stat64("l", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(lstat64("l", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(stat64("missing", &st), -1);
}

TEST(Port, SocketShimsActOnDescriptors) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int pending = -1;
    EXPECT_EQ(ioctlsocket(fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    EXPECT_EQ(ioctlsocket(fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    EXPECT_EQ(closesocket(fds[0]), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // really closed
    EXPECT_EQ(closesocket(fds[1]), 0);
}

}  // namespace
}  // namespace zn
