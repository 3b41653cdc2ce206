#include "install/dir_modes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace zn {
namespace {

using zn_test::TempDir;

int mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

void collect(void *ctx, const char *path, int mode) {
    char text[64];
    std::snprintf(text, sizeof text, " %o", unsigned(mode));
    static_cast<std::vector<std::string> *>(ctx)->push_back(path + std::string(text));
}

// A directory replaced after it was made, by a link to elsewhere or by another directory, is
// reported and left alone; its target keeps its mode. The others still get theirs.
TEST(DirModes, ReplacedDirectoriesAreNotTouched) {
    struct Row {
        const char *what;
        bool by_link;
    } rows[] = {{"replaced by a link", true}, {"replaced by a directory", false}};
    for (const Row &row : rows) {
        TempDir dir;
        std::string root = dir / "root", outside = dir / "outside";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/a").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/a/b").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/keep").c_str(), 0700), 0);
        dir_modes d;
        dir_modes_init(&d);
        struct stat st;
        ASSERT_EQ(lstat((root + "/a").c_str(), &st), 0);
        long a = dir_modes_add(&d, kDirNoParent, "./a", 3, &st, 0555);
        ASSERT_EQ(lstat((root + "/a/b").c_str(), &st), 0);
        dir_modes_add(&d, size_t(a), "b", 1, &st, 0511);
        ASSERT_EQ(lstat((root + "/keep").c_str(), &st), 0);
        dir_modes_add(&d, kDirNoParent, "keep", 4, &st, 0751);

        ASSERT_EQ(rename((root + "/a").c_str(), (dir / "a-moved").c_str()), 0);
        if (row.by_link) {
            ASSERT_EQ(mkdir((outside + "/b").c_str(), 0700), 0);
            ASSERT_EQ(symlink(outside.c_str(), (root + "/a").c_str()), 0);
        } else {
            ASSERT_EQ(mkdir((root + "/a").c_str(), 0700), 0);
            ASSERT_EQ(mkdir((root + "/a/b").c_str(), 0700), 0);
        }
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        std::vector<std::string> failed;
        EXPECT_EQ(dir_modes_apply(&d, fd, collect, &failed), 2u) << row.what;
        close(fd);
        dir_modes_free(&d);
        EXPECT_EQ(failed, (std::vector<std::string>{"./a/b 511", "./a 555"})) << row.what;
        EXPECT_EQ(mode_of(outside), 0700) << row.what;
        EXPECT_EQ(mode_of(row.by_link ? outside + "/b" : root + "/a/b"), 0700) << row.what;
        EXPECT_EQ(mode_of(dir / "a-moved"), 0700) << row.what;
        EXPECT_EQ(mode_of(root + "/keep"), 0751) << row.what;
    }
}

}  // namespace
}  // namespace zn
