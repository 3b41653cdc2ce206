#include "package/dir_modes.h"

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

void collect(void *ctx, const char *path, int mode) {
    char text[64];
    std::snprintf(text, sizeof text, " %o", unsigned(mode));
    static_cast<std::vector<std::string> *>(ctx)->push_back(path + std::string(text));
}

// A directory replaced after it was made, by a link to elsewhere or by another directory, is
// reported and left alone, and so is what the link leads to; the others still get their modes.
TEST(DirModes, ReplacedDirectoriesAreNotTouched) {
    for (bool by_link : {true, false}) {
        TempDir dir;
        std::string root = dir / "root", outside = dir / "outside";
        for (const char *name : {"", "/a", "/a/b", "/keep"}) {
            ASSERT_EQ(mkdir((root + name).c_str(), 0700), 0);
            ASSERT_EQ(mkdir((outside + name).c_str(), 0700), 0);
        }
        dir_modes d;
        dir_modes_init(&d);
        struct stat a, b, keep;
        ASSERT_EQ(lstat((root + "/a").c_str(), &a) | lstat((root + "/a/b").c_str(), &b) |
                      lstat((root + "/keep").c_str(), &keep),
                  0);
        long rec = dir_modes_add(&d, kDirNoParent, "./a", 3, &a, 0555);
        dir_modes_add(&d, size_t(rec), "b", 1, &b, 0511);
        dir_modes_add(&d, kDirNoParent, "keep", 4, &keep, 0751);

        ASSERT_EQ(rename((root + "/a").c_str(), (dir / "a-moved").c_str()), 0);
        if (by_link)
            ASSERT_EQ(symlink(outside.c_str(), (root + "/a").c_str()), 0);
        else
            ASSERT_EQ(rename((outside + "/a").c_str(), (root + "/a").c_str()), 0);
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        std::vector<std::string> failed;
        EXPECT_EQ(dir_modes_apply(&d, fd, collect, &failed), 2u) << by_link;
        close(fd);
        dir_modes_free(&d);
        EXPECT_EQ(failed, (std::vector<std::string>{"./a/b 511", "./a 555"})) << by_link;
        for (const auto &kv : zn_test::snapshot_tree(dir.path())) {
            int want = kv.second.kind != 'd'     ? kv.second.mode
                       : kv.first == "root/keep" ? 0751
                                                 : 0700;
            EXPECT_EQ(kv.second.mode, want) << kv.first;
        }
    }
}

}  // namespace
}  // namespace zn
