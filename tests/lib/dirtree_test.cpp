#include "lib/dirtree.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "lib/scratch_dir.h"

namespace zn {
namespace {

// Names in the directory, "." and ".." left out.
int entry_count(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") n++;
    }
    closedir(d);
    return n;
}

TEST(MakeDirectoryTree, CreatesMissingAncestorsWithSearchBits) {
    ScratchDir scratch;
    struct {
        mode_t mask;
        std::string dir;
        int mode;
        std::vector<std::string> made;  // relative to the scratch directory
        int want_mode;
    } rows[] = {
        {022, "a/b/c", 0755, {"a", "a/b", "a/b/c"}, 0755},
        {022, scratch.path("x/y"), 0644, {"x", "x/y"}, 0755},  // 0644 | 0111
        {077, "p/q", 0755, {"p", "p/q"}, 0700},
        {022, "t/u/", 0700, {"t", "t/u"}, 0711},  // a trailing '/' as tar directory entries have
        {0, "m//n", 0700, {"m", "m/n"}, 0711},
        {022, "one", 0750, {"one"}, 0751},
        {022, "./dot/./here", 0700, {"dot", "dot/here"}, 0711},
    };
    for (const auto &row : rows) {
        umask(row.mask);
        EXPECT_EQ(make_directory_tree(row.dir.c_str(), row.mode), 0) << row.dir;
        for (const std::string &d : row.made) {
            EXPECT_EQ(mode_of(scratch.path(d)), row.want_mode) << row.dir << ": " << d;
        }
    }
}

TEST(MakeDirectoryTree, ExistingDirectoryIsLeftAlone) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir("e", 0700), 0);
    ASSERT_EQ(mkdir("e/f", 0700), 0);
    for (const char *dir : {"e", "e/", "e/f", ".", "/", "//"}) {
        EXPECT_EQ(make_directory_tree(dir, 0755), 0) << dir;
    }
    EXPECT_EQ(mode_of("e"), 0700);
    EXPECT_EQ(entry_count(scratch.path()), 1);
    EXPECT_EQ(entry_count(scratch.path("e")), 1);
}

TEST(MakeDirectoryTree, EmptyNameIsReported) {
    ScratchDir scratch;
    for (const char *dir : {"", static_cast<const char *>(nullptr)}) {
        testing::internal::CaptureStdout();
        int result = make_directory_tree(dir, 0755);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "make_directory_tree: Attempting to make NULL directory\n");
        EXPECT_EQ(result, -1);
    }
    EXPECT_EQ(entry_count(scratch.path()), 0);
}

// A file where a directory should be is a failure, not a directory that "already exists".
TEST(MakeDirectoryTree, FileInTheWay) {
    ScratchDir scratch;
    make_file("f", 0644);
    EXPECT_EQ(make_directory_tree("f", 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(make_directory_tree("f/", 0755), -1);
    EXPECT_EQ(make_directory_tree("f/g/h", 0755), -1);
    EXPECT_EQ(make_directory_tree2("f/g", 0755), -1);
}

TEST(MakeDirectoryTree2, MakesOnlyWhatIsAboveTheLastComponent) {
    ScratchDir scratch;
    EXPECT_EQ(make_directory_tree2("file", 0755), -1);  // no '/'
    EXPECT_EQ(entry_count(scratch.path()), 0);
    EXPECT_EQ(make_directory_tree2("/file", 0755), 0);  // the root is there
    const std::string path = "d1/d2/f";
    EXPECT_EQ(make_directory_tree2(path.c_str(), 0700), 0);
    EXPECT_EQ(path, "d1/d2/f");
    EXPECT_EQ(mode_of("d1"), 0711);
    EXPECT_EQ(mode_of("d1/d2"), 0711);
    EXPECT_EQ(mode_of("d1/d2/f"), -1);
    EXPECT_EQ(make_directory_tree2("d1/d2/f", 0700), 0);  // again: all there
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

    fd = mkdir_open("d1/d2/f", O_RDONLY, 0);  // there already: opened at once
    ASSERT_GE(fd, 0);
    char buf[4] = {};
    EXPECT_EQ(read(fd, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "hi");
    close(fd);

    make_file("blk", 0644);
    EXPECT_EQ(mkdir_open("blk/x/f", O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(mkdir_open("d1/d2/f", O_WRONLY | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_EQ(errno, EEXIST);  // from the second open, the directories being fine
    EXPECT_EQ(mkdir_open("nodir", O_RDONLY, 0644), -1);
}

TEST(MkdirFopen, CreatesParents) {
    ScratchDir scratch;
    FILE *f = mkdir_fopen("f1/f2/t.txt", "w", 0700);
    ASSERT_NE(f, nullptr);
    EXPECT_GE(std::fputs("text", f), 0);
    EXPECT_EQ(std::fclose(f), 0);
    EXPECT_EQ(mode_of("f1"), 0711);
    EXPECT_EQ(mode_of("f1/f2"), 0711);
    f = mkdir_fopen("f1/f2/t.txt", "r", 0700);
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    EXPECT_NE(std::fgets(buf, sizeof buf, f), nullptr);
    EXPECT_STREQ(buf, "text");
    std::fclose(f);
    make_file("blk", 0644);
    EXPECT_EQ(mkdir_fopen("blk/t.txt", "w", 0700), nullptr);
}

}  // namespace
}  // namespace zn
