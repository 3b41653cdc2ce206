#include "lib/dirtree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "lib/test_util.h"

namespace zn {
namespace {

TEST(MakeDirectoryTree, CreatesMissingAncestorsWithSearchBits) {
    ScratchDir scratch;
    struct {
        mode_t mask;
        std::string dir;
        int mode;
        std::vector<std::string> made;
        int want_mode;
    } rows[] = {
        {022, "a/b/c", 0755, {"a", "a/b", "a/b/c"}, 0755},
        {022, scratch.path("x/y"), 0644, {"x", "x/y"}, 0755},  // 0644 | 0111
        {077, "p/q", 0755, {"p", "p/q"}, 0700},
        {022, "t/u/", 0700, {"t", "t/u"}, 0711},  // a trailing '/', as tar directory entries have
        {0, "m//n", 0700, {"m", "m/n"}, 0711},
        {022, "./dot/./here", 0750, {"dot", "dot/here"}, 0751},
    };
    for (const auto &r : rows) {
        umask(r.mask);
        EXPECT_EQ(make_directory_tree(r.dir.c_str(), r.mode), 0) << r.dir;
        for (const std::string &d : r.made)
            EXPECT_EQ(mode_of(d), r.want_mode) << r.dir << ": " << d;
    }
}

TEST(MakeDirectoryTree, ExistingEmptyAndBlocked) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir("e", 0700), 0);
    for (const char *dir : {"e", "e/", ".", "/"})
        EXPECT_EQ(make_directory_tree(dir, 0755), 0) << dir;
    EXPECT_EQ(mode_of("e"), 0700);

    for (const char *dir : {"", static_cast<const char *>(nullptr)}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(make_directory_tree(dir, 0755), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "make_directory_tree: Attempting to make NULL directory\n");
    }
    // A file where a directory should be is a failure, not a directory that already exists.
    make_file("f", 0644);
    EXPECT_EQ(make_directory_tree("f", 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(make_directory_tree("f/g/h", 0755), -1);
}

TEST(MakeDirectoryTree2, MakesOnlyWhatIsAboveTheLastComponent) {
    ScratchDir scratch;
    EXPECT_EQ(make_directory_tree2("file", 0755), -1);  // no '/'
    EXPECT_EQ(make_directory_tree2("/file", 0755), 0);  // the root is there
    EXPECT_EQ(make_directory_tree2("d1/d2/f", 0700), 0);
    EXPECT_EQ(mode_of("d1"), 0711);
    EXPECT_EQ(mode_of("d1/d2"), 0711);
    EXPECT_EQ(mode_of("d1/d2/f"), -1);
}

TEST(MkdirOpen, CreatesParents) {
    ScratchDir scratch;
    int fd = mkdir_open("d1/d2/f", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "hi", 2), 2);
    close(fd);
    EXPECT_EQ(mode_of("d1"), 0755);
    EXPECT_EQ(mode_of("d1/d2"), 0755);
    EXPECT_EQ(mode_of("d1/d2/f"), 0644);
    EXPECT_EQ(mkdir_open("d1/d2/f", O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_EQ(errno, EEXIST);  // from the second open: the directories were fine
    make_file("blk", 0644);
    EXPECT_EQ(mkdir_open("blk/x/f", O_WRONLY | O_CREAT, 0644), -1);

    FILE *f = mkdir_fopen("f1/f2/t.txt", "w", 0700);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fclose(f), 0);
    EXPECT_EQ(mode_of("f1/f2"), 0711);
    EXPECT_EQ(mode_of("f1/f2/t.txt"), 0644);
    EXPECT_EQ(mkdir_fopen("blk/t.txt", "w", 0700), nullptr);
}

}  // namespace
}  // namespace zn
