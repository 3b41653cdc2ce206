#include "lib/findexec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "lib/path.h"
#include "lib/test_util.h"

namespace zn {
namespace {

constexpr time_t kProgTime = 1000000000;  // mtime of bin/prog

// Candidates, all named "prog": prog, bin/, bin2/, "my bin"/ (0755); isdir/prog a directory;
// noexec/ (0644); grp/ (0650: group execute only); noread/ (0111); link/ -> bin/prog;
// badlink/ -> noexec/prog; dangling/ -> nowhere.
class FindExec : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char *d : {"bin", "bin2", "my bin", "isdir", "isdir/prog", "noexec", "grp",
                              "noread", "link", "badlink", "dangling", "sub", "sub/dir"})
            ASSERT_EQ(mkdir(d, 0755), 0) << d;
        for (const char *f : {"prog", "bin/prog", "bin2/prog", "my bin/prog"}) make_file(f, 0755);
        make_file("noexec/prog", 0644);
        make_file("grp/prog", 0650);
        make_file("noread/prog", 0111);
        ASSERT_EQ(symlink("../bin/prog", "link/prog"), 0);
        ASSERT_EQ(symlink("../noexec/prog", "badlink/prog"), 0);
        ASSERT_EQ(symlink("../nowhere", "dangling/prog"), 0);
        struct timeval times[2] = {{kProgTime, 0}, {kProgTime, 0}};
        ASSERT_EQ(utimes("bin/prog", times), 0);
    }
    std::string s(const std::string &rel = "") const { return scratch_.path(rel); }

    ScratchDir scratch_;
    EnvGuard path_{"PATH"}, znpath_{"ZNPATH"}, home_{"HOME"};
};

TEST(NextPathElement, KeepsEmptyElements) {
    const char *rows[][2] = {
        {":a", "|a|"}, {"a::b", "a||b|"}, {"a:", "a||"}, {"", "|"}, {"a;b", "a;b|"}};
    for (const auto &r : rows) {
        std::string buf = r[0], got;
        for (char *e = next_path_element(&buf[0], ':'); e != nullptr;
             e = next_path_element(nullptr, ':'))
            got += std::string(e) + "|";
        EXPECT_EQ(got, r[1]) << "'" << r[0] << "'";
    }
}

TEST_F(FindExec, CheckExecutable) {
    const char *rows[][2] = {
        {"bin/prog", "bin/prog"},   {"./bin/prog", "bin/prog"},  {"grp/prog", "grp/prog"},
        {"link/prog", "link/prog"}, {"isdir/prog", "(null)"},    {"noexec/prog", "(null)"},
        {"badlink/prog", "(null)"}, {"dangling/prog", "(null)"}, {"", "(null)"},
    };
    for (const auto &r : rows) EXPECT_EQ(take(check_executable(r[0], nullptr)), r[1]) << r[0];
    struct stat st;
    EXPECT_EQ(take(check_executable("link/prog", &st)), "link/prog");
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the status is the target's";
}

// A file that cannot be read is not the program, even with execute bits; the search goes on.
TEST_F(FindExec, UnreadableFileRefused) {
    int fd = open("noread/prog", O_RDONLY);
    if (fd >= 0) {
        close(fd);
        GTEST_SKIP() << "this process (root) opens files without read permission, so the "
                        "unreadable-file case cannot be observed here";
    }
    EXPECT_EQ(check_executable("noread/prog", nullptr), nullptr);
    EXPECT_EQ(take(find_exec_path((s("noread") + ":" + s("bin2")).c_str(), "prog")),
              s("bin2/prog"));
}

TEST_F(FindExec, BareNameAlongTheList) {
    ASSERT_EQ(chdir("sub"), 0);
    get_cwd_changed_directory();
    home_.set(s());
    path_cache_reset();
    struct {
        std::string list, want, unresolved;  // find_exec_path, find_exec_path2
    } rows[] = {
        {":/nonexistent", "(null)", "(null)"},  // sub holds no prog
        {s("isdir") + ":" + s("noexec") + ":" + s("bin"), s("bin/prog"), s("bin/prog")},
        {s("bin") + ":" + s("bin2"), s("bin/prog"), s("bin/prog")},  // the first wins
        {"\"" + s("my bin") + "\":" + s("bin"), s("my bin/prog"), s("my bin/prog")},
        {s("link"), s("bin/prog"), s("link/prog")},
        {s("badlink") + ":" + s("dangling") + ":" + s("grp"), s("grp/prog"), s("grp/prog")},
        {"~/bin2", s("bin2/prog"), s("bin2/prog")},
        {"..", s("prog"), "../prog"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(take(find_exec_path(r.list.c_str(), "prog")), r.want) << r.list;
        EXPECT_EQ(take(find_exec_path2(r.list.c_str(), "prog", 0)), r.unresolved) << r.list;
    }
    ASSERT_EQ(chdir(".."), 0);
    get_cwd_changed_directory();
    EXPECT_EQ(take(find_exec_path(":/nonexistent", "prog")), s("prog"));  // "" is "."
    // Without a list nothing is found, not even by an absolute name.
    for (const std::string &name : {std::string("prog"), std::string("./prog"), s("bin/prog")})
        EXPECT_EQ(find_exec_path(nullptr, name.c_str()), nullptr) << name;
}

TEST_F(FindExec, NamesWithADelimiter) {
    ASSERT_EQ(chdir("sub/dir"), 0);
    get_cwd_changed_directory();
    const std::string rows[][2] = {
        {"../../prog", s("prog")},
        {"./../../link/prog", s("bin/prog")},
        {s("link/prog"), s("bin/prog")},
        {s("isdir/prog"), "(null)"},
        {"./prog", "(null)"},  // a name with a '/' is not searched for
    };
    for (const auto &r : rows)
        EXPECT_EQ(take(find_exec_path("/nonexistent", r[0].c_str())), r[1]) << r[0];
    ASSERT_EQ(chdir(s().c_str()), 0);
    get_cwd_changed_directory();
    EXPECT_EQ(take(find_exec_path(s("bin").c_str(), "./prog")), s("prog"));
    EXPECT_EQ(take(find_exec_path2("", "././bin/prog", 0)), s("bin/prog"));
    // Slashes after "./" stay in the current directory, never reach the root.
    EXPECT_EQ(take(find_exec_path2("", ".//prog", 0)), s("prog"));
    EXPECT_EQ(take(find_exec_path2("", "././/bin/prog", 0)), s("bin/prog"));
}

TEST_F(FindExec, ExecutableMtime) {
    char *dir = chk_strdup("previous");  // each result replaces (and frees) the one before
    EXPECT_EQ(find_executable_mtime(s("bin/prog").c_str(), &dir), kProgTime);
    EXPECT_STREQ(dir, s("bin").c_str());
    EXPECT_EQ(find_executable_mtime("/nonexistent", &dir), 0);
    EXPECT_STREQ(dir, "");
    path_.set(s("grp") + ":" + s("bin"));  // owner execute is required: grp is passed over
    EXPECT_EQ(find_executable_mtime("prog", &dir), kProgTime);
    EXPECT_STREQ(dir, s("bin").c_str());
    path_.set(s("grp"));
    znpath_.unset();
    EXPECT_EQ(find_executable_mtime("prog", nullptr), 0);
    znpath_.set(s("bin"));  // the second list
    EXPECT_EQ(find_executable_mtime("prog", nullptr), kProgTime);
    home_.set(s());
    path_cache_reset();
    EXPECT_EQ(find_in_path_mtime("/nonexistent:~/bin", "prog", &dir), kProgTime);
    EXPECT_STREQ(dir, s("bin").c_str());
    EXPECT_GT(find_in_path_mtime("/nonexistent::", "prog", &dir), 0);
    EXPECT_STREQ(dir, ".");
    chk_free(dir);
}

}  // namespace
}  // namespace zn
