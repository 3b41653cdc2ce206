#include "lib/findexec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/chk.h"
#include "lib/path.h"
#include "lib/scratch_dir.h"

namespace zn {
namespace {

std::string take(char *s) {
    std::string out = s != nullptr ? s : "(null)";
    chk_free(s);
    return out;
}

constexpr time_t kProgTime = 1000000000;  // mtime given to bin/prog

// A scratch tree of candidates, all named "prog":
//   prog, bin/prog, bin2/prog, "my bin"/prog   readable, 0755
//   isdir/prog                                 a directory, 0755
//   noexec/prog                                readable, 0644
//   grp/prog                                   readable, group execute only (0650)
//   noread/prog                                execute bits only (0111)
//   link/prog -> ../bin/prog, badlink/prog -> ../noexec/prog, dangling/prog -> nowhere
class FindExec : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char *d : {"bin", "bin2", "my bin", "isdir", "isdir/prog", "noexec", "grp",
                              "noread", "link", "badlink", "dangling", "sub"})
            ASSERT_EQ(mkdir(d, 0755), 0) << d;
        for (const char *f : {"prog", "bin/prog", "bin2/prog", "my bin/prog"}) make_file(f, 0755);
        make_file("noexec/prog", 0644);
        make_file("grp/prog", 0650);
        make_file("noread/prog", 0111);
        ASSERT_EQ(symlink("../bin/prog", "link/prog"), 0);
        ASSERT_EQ(symlink("../noexec/prog", "badlink/prog"), 0);
        ASSERT_EQ(symlink("../nowhere/prog", "dangling/prog"), 0);
        struct timeval times[2] = {{kProgTime, 0}, {kProgTime, 0}};
        ASSERT_EQ(utimes("bin/prog", times), 0);
    }
    std::string at(const std::string &rel) const { return scratch_.path(rel); }

    ScratchDir scratch_;
    EnvGuard path_{"PATH"};
    EnvGuard znpath_{"ZNPATH"};
    EnvGuard home_{"HOME"};
};

TEST(NextPathElement, SplitsKeepingEmptyElements) {
    struct {
        const char *list;
        std::vector<std::string> want;
    } rows[] = {
        {":a", {"", "a"}},          {"a::b", {"a", "", "b"}}, {"a:", {"a", ""}}, {"", {""}},
        {"/usr/bin", {"/usr/bin"}}, {":", {"", ""}},          {"a;b", {"a;b"}},
    };
    for (const auto &row : rows) {
        std::string buf = row.list;
        std::vector<std::string> got;
        for (char *e = next_path_element(&buf[0], ':'); e != nullptr;
             e = next_path_element(nullptr, ':'))
            got.push_back(e);
        EXPECT_EQ(got, row.want) << "'" << row.list << "'";
        EXPECT_EQ(next_path_element(nullptr, ':'), nullptr) << "exhausted stays exhausted";
    }
}

TEST_F(FindExec, CheckExecutable) {
    struct {
        const char *path;
        const char *want;  // null: refused
    } rows[] = {
        {"bin/prog", "bin/prog"},
        {"./bin/prog", "bin/prog"},  // one leading "./" is dropped
        {"grp/prog", "grp/prog"},    // any execute bit will do
        {"link/prog", "link/prog"},  // a link to an executable file
        {"isdir/prog", nullptr},     // a directory, however executable
        {"noexec/prog", nullptr},
        {"badlink/prog", nullptr},  // a link to a file without execute
                                    // bits
        {"dangling/prog", nullptr},
        {"missing/prog", nullptr},
        {"", nullptr},
    };
    for (const auto &row : rows) {
        struct stat st;
        char *got = check_executable(row.path, &st);
        if (row.want == nullptr) {
            EXPECT_EQ(got, nullptr) << row.path;
        } else {
            EXPECT_EQ(take(got), row.want) << row.path;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << row.path << ": status of the target";
        }
    }
    EXPECT_EQ(take(check_executable(at("bin/prog").c_str(), nullptr)), at("bin/prog"));
}

// A file that cannot be read is not the program, even with execute bits, and the search goes on.
TEST_F(FindExec, UnreadableFileRefused) {
    int fd = open("noread/prog", O_RDONLY);
    if (fd >= 0) {
        close(fd);
        GTEST_SKIP() << "this process (root) opens files without read permission, so the "
                        "unreadable-file case cannot be observed here";
    }
    EXPECT_EQ(check_executable("noread/prog", nullptr), nullptr);
    std::string list = at("noread") + ":" + at("bin2");
    EXPECT_EQ(take(find_exec_path(list.c_str(), "prog")), at("bin2/prog"));
}

TEST_F(FindExec, NothingWithoutASearchList) {
    for (const std::string &name : {std::string("prog"), std::string("./prog"), at("bin/prog")}) {
        EXPECT_EQ(find_exec_path(nullptr, name.c_str()), nullptr) << name;
        EXPECT_EQ(find_exec_path2(nullptr, name.c_str(), 0), nullptr) << name;
    }
}

TEST_F(FindExec, BareNameAlongTheList) {
    ASSERT_EQ(chdir("sub"), 0);  // relative elements are taken from here
    get_cwd_changed_directory();
    home_.set(scratch_.path());
    path_cache_reset();
    const std::string s = scratch_.path();
    struct {
        std::string list, want, want_unresolved;
    } rows[] = {
        {":/nonexistent", "(null)", "(null)"},
        {":" + s + "/nonexistent", "(null)", "(null)"},
        {s + "/isdir:" + s + "/noexec:" + s + "/bin", s + "/bin/prog", s + "/bin/prog"},
        {s + "/bin:" + s + "/bin2", s + "/bin/prog", s + "/bin/prog"},  // first one wins
        {"\"" + s + "/bin2\"", s + "/bin2/prog", s + "/bin2/prog"},
        {"\"" + s + "/my bin\":" + s + "/bin", s + "/my bin/prog", s + "/my bin/prog"},
        {s + "/link", s + "/bin/prog", s + "/link/prog"},  // resolved to the link's target
        {s + "/badlink:" + s + "/dangling:" + s + "/grp", s + "/grp/prog", s + "/grp/prog"},
        {"~/bin2", s + "/bin2/prog", s + "/bin2/prog"},
        {"..", s + "/prog", "../prog"},
        {"", "(null)", "(null)"},  // sub holds no prog
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(find_exec_path(row.list.c_str(), "prog")), row.want) << row.list;
        EXPECT_EQ(take(find_exec_path2(row.list.c_str(), "prog", 0)), row.want_unresolved)
            << row.list;
    }
}

TEST_F(FindExec, EmptyElementIsTheCurrentDirectory) {
    EXPECT_EQ(take(find_exec_path(":/nonexistent", "prog")), at("prog"));
    EXPECT_EQ(take(find_exec_path2(":/nonexistent", "prog", 0)), "prog");
}

TEST_F(FindExec, NamesWithADelimiter) {
    ASSERT_EQ(mkdir("sub/dir", 0755), 0);
    ASSERT_EQ(chdir("sub/dir"), 0);
    get_cwd_changed_directory();
    struct {
        std::string name, want;
    } rows[] = {
        {"../../prog", at("prog")},  // "../" stays and is resolved
        {"../../bin/prog", at("bin/prog")},
        {"./../../link/prog", at("bin/prog")},
        {at("bin/prog"), at("bin/prog")},
        {at("link/prog"), at("bin/prog")},
        {at("noexec/prog"), "(null)"},
        {at("isdir/prog"), "(null)"},
        {"./prog", "(null)"},  // not in sub/dir, and no search for names with a '/'
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(find_exec_path("/nonexistent", row.name.c_str())), row.want) << row.name;
    }
    // Started as "./prog" from the directory that holds it.
    ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
    get_cwd_changed_directory();
    EXPECT_EQ(take(find_exec_path("/nonexistent", "./prog")), at("prog"));
    EXPECT_EQ(take(find_exec_path("/nonexistent", "././bin/prog")), at("bin/prog"));
    EXPECT_EQ(take(find_exec_path2("/nonexistent", "././bin/prog", 0)), at("bin/prog"));
}

TEST_F(FindExec, ExecutableMtime) {
    const std::string s = scratch_.path();
    char *dir = chk_strdup("previous");  // replaced (and freed) by each search
    EXPECT_EQ(find_executable_mtime(at("bin/prog").c_str(), &dir), kProgTime);
    EXPECT_EQ(std::string(dir), at("bin"));
    EXPECT_EQ(find_executable_mtime("/nonexistent", &dir), 0);
    EXPECT_EQ(std::string(dir), "");  // the '/' was the first character
    EXPECT_EQ(find_executable_mtime("bin/prog", nullptr), kProgTime);

    // Bare names: the owner execute bit is required, so grp/prog is passed over.
    path_.set(s + "/grp:" + s + "/bin");
    EXPECT_EQ(find_executable_mtime("prog", &dir), kProgTime);
    EXPECT_EQ(std::string(dir), at("bin"));
    path_.set(s + "/grp");
    znpath_.unset();
    EXPECT_EQ(find_executable_mtime("prog", &dir), 0);
    EXPECT_EQ(std::string(dir), at("bin")) << "left alone when nothing is found";
    znpath_.set(s + "/isdir:" + s + "/bin");  // the second list
    EXPECT_EQ(find_executable_mtime("prog", &dir), kProgTime);
    path_.unset();
    EXPECT_EQ(find_executable_mtime("prog", &dir), kProgTime);

    home_.set(s);
    path_cache_reset();
    EXPECT_EQ(find_in_path_mtime("~/bin", "prog", &dir), kProgTime);
    EXPECT_EQ(std::string(dir), at("bin"));
    EXPECT_GT(find_in_path_mtime("/nonexistent::", "prog", &dir), 0);
    EXPECT_EQ(std::string(dir), ".");
    EXPECT_EQ(find_in_path_mtime(nullptr, "prog", &dir), 0);
    chk_free(dir);
}

}  // namespace
}  // namespace zn
