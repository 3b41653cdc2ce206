#include "wild/glob.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/chk.h"
#include "tests/wild/wild_test_util.h"

namespace zn {
namespace {

using testing_util::names_of;
using testing_util::set_env;
using Names = std::vector<std::string>;

class GlobTest : public testing_util::TempDirTest {};

const int FD = WILD_FILES | WILD_DIRS;

TEST_F(GlobTest, WildcardComponentGivesSortedFullPathsOfTheKindsAsked) {
    file("passwd");
    file("passthru");
    dir("pass.d");
    file("other");
    file(".passhidden");
    struct Row {
        int flags;
        Names want;
    } rows[] = {
        {WILD_FILES, {abs("passthru"), abs("passwd")}},
        {WILD_DIRS, {abs("pass.d")}},
        {FD, {abs("pass.d"), abs("passthru"), abs("passwd")}},
        {0, {}},  // a glob that met a wildcard keeps only the kinds asked for
    };
    for (const Row &r : rows)
        EXPECT_EQ(names_of(glob_filenames(abs("pass*").c_str(), r.flags)), r.want)
            << "flags " << r.flags;
    // Relative patterns give relative names; a long entry name grows the scan buffer.
    const std::string long_name = "pass" + std::string(200, 'n');
    file(long_name);
    EXPECT_EQ(names_of(glob_filenames("pass*", WILD_FILES)),
              (Names{long_name, "passthru", "passwd"}));
    // A parent that is a file, or missing, has no entries.
    EXPECT_TRUE(names_of(glob_filenames("passwd/*", FD)).empty());
    EXPECT_TRUE(names_of(glob_filenames("missing/*", FD)).empty());
}

TEST_F(GlobTest, DotFilesOnlyWithDotFilesFlag) {
    file(".x");
    file("y");
    EXPECT_EQ(names_of(glob_filenames("*", FD)), (Names{"y"}));
    EXPECT_EQ(names_of(glob_filenames("*", FD | WILD_DOTFILES)), (Names{".", "..", ".x", "y"}));
    EXPECT_EQ(names_of(glob_filenames(".*", FD)), (Names{".", "..", ".x"}));
}

TEST_F(GlobTest, PathsWithoutWildcardsComeBackWhetherOrNotTheyExist) {
    file("here");
    struct Row {
        std::string path;
        int flags;
        Names want;
        bool status_filled;
    } rows[] = {
        {abs("nonexistent/dir"), 0, {abs("nonexistent/dir")}, false},
        {abs("nonexistent/dir"), FD, {abs("nonexistent/dir")}, false},
        {abs("here"), WILD_DIRS, {abs("here")}, true},  // kinds filter only wildcard globs
        {"here", 0, {"here"}, true},
        {abs("here") + "/", 0, {abs("here")}, true},
        {"/", 0, {"/"}, true},
        {"", FD, {}, false},
        {abs("nonexistent/*"), FD, {}, false},
    };
    for (const Row &r : rows) {
        wild_entry *list = glob_filenames(r.path.c_str(), r.flags);
        ASSERT_NE(list, nullptr);
        if (!r.want.empty()) {
            EXPECT_EQ(list[0].status.st_mode != 0, r.status_filled) << r.path;
            if (!r.status_filled) {
                struct stat64 zero;
                std::memset(&zero, 0, sizeof zero);
                EXPECT_EQ(std::memcmp(&list[0].status, &zero, sizeof zero), 0) << r.path;
            }
        }
        EXPECT_EQ(names_of(list), r.want) << r.path;
    }
}

TEST_F(GlobTest, CommandsAreNotPaths) {
    for (const char *cmd : {"|ls", "!ls -l *", "|"}) {
        wild_entry *list = glob_filenames(cmd, FD);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(wild_list_length(list), 1) << cmd;
        EXPECT_EQ(list[0].status.st_mode, 0u);
        EXPECT_EQ(names_of(list), (Names{cmd}));
    }
}

TEST_F(GlobTest, DollarComponentsAndTilde) {
    dir("home/apps");
    file("home/apps/tool");
    zn_test::SavedProcessState saved(
        {"ZN_GT_DIR", "ZN_GT_NAME", "ZN_GT_PAT", "ZN_GT_UNSET", "HOME"});
    set_env("ZN_GT_DIR", abs("home").c_str());
    set_env("ZN_GT_NAME", "apps");
    set_env("ZN_GT_PAT", "t*");
    set_env("ZN_GT_UNSET", nullptr);
    set_env("HOME", abs("home").c_str());
    path_cache_reset();
    struct Row {
        std::string path;
        int flags;
        Names want;
    } rows[] = {
        {"$ZN_GT_DIR/x", 0, {abs("home/x")}},
        {"$ZN_GT_DIR/x", FD, {abs("home/x")}},
        {"$HOME/x", 0, {abs("home/x")}},
        {abs("home") + "/$ZN_GT_NAME/tool", 0, {abs("home/apps/tool")}},
        {"$ZN_GT_DIR/apps/$ZN_GT_PAT", WILD_FILES, {abs("home/apps/tool")}},  // a value may glob
        {"$ZN_GT_UNSET/x", 0, {"$ZN_GT_UNSET/x"}},
        {"x$ZN_GT_NAME", 0, {"x$ZN_GT_NAME"}},  // only a whole component is a reference
        {"~/apps/t*", WILD_FILES, {abs("home/apps/tool")}},
        {"~", 0, {abs("home")}},
    };
    for (const Row &r : rows)
        EXPECT_EQ(names_of(glob_filenames(r.path.c_str(), r.flags)), r.want) << r.path;
}

// "**" lists every directory below, leaf directories included, and the directory itself.
TEST_F(GlobTest, DoubleStarWalksTheTree) {
    dir("t/a/b/c");
    dir("t/a/d");
    dir("t/e");
    file("t/a/b/file");
    file("t/e/file");
    file("t/f");
    ASSERT_EQ(symlink("a", "t/link"), 0);  // a link to a directory is not followed
    std::string before = cwd();
    struct Row {
        std::string pattern;
        int flags;
        Names want;
    } rows[] = {
        {abs("t/**"),
         WILD_DIRS,
         {abs("t"), abs("t/a"), abs("t/a/b"), abs("t/a/b/c"), abs("t/a/d"), abs("t/e")}},
        {abs("t/**/file"), WILD_FILES, {abs("t/a/b/file"), abs("t/e/file")}},
        {abs("t/**/c"), WILD_DIRS, {abs("t/a/b/c")}},
        {abs("t/**/f*"), WILD_FILES, {abs("t/a/b/file"), abs("t/e/file"), abs("t/f")}},
        {abs("t/**/d/**"), WILD_DIRS, {abs("t/a/d")}},
        {"t/**/c", WILD_DIRS, {abs("t/a/b/c")}},  // found paths are absolute
    };
    for (const Row &r : rows) {
        EXPECT_EQ(names_of(glob_filenames(r.pattern.c_str(), r.flags)), r.want) << r.pattern;
        EXPECT_EQ(cwd(), before) << r.pattern;
    }
    // From the current directory, which itself stays a candidate.
    ASSERT_EQ(chdir("t"), 0);
    EXPECT_EQ(names_of(glob_filenames("**/file", WILD_FILES)),
              (Names{abs("t/a/b/file"), abs("t/e/file")}));
    EXPECT_EQ(names_of(glob_filenames("**/f", WILD_FILES)), (Names{abs("t/f")}));
    EXPECT_EQ(cwd(), abs("t"));
}

// The walk leaves the working directory as it found it on every way out.
TEST_F(GlobTest, WalkRestoresTheWorkingDirectory) {
    dir("w/x/y");
    dir("w/locked/inner");
    file("w/plain");
    bool as_root = geteuid() == 0;
    if (!as_root) {
        ASSERT_EQ(chmod(abs("w/locked").c_str(), 0), 0);
    }
    std::string before = cwd();
    struct Row {
        std::string directory;
        int want;
    } rows[] = {
        {abs("w"), 1},
        {"w", 1},
        {abs("w/plain"), 0},
        {abs("nonexistent"), 0},
        {abs("w/locked"), as_root ? 1 : 0},
    };
    for (const Row &r : rows) {
        dstr out;
        dstr_init(&out, 64);
        EXPECT_EQ(wild_walk_tree(&out, r.directory.c_str(), 0, 0, nullptr), r.want) << r.directory;
        EXPECT_EQ(cwd(), before) << r.directory;
        char **paths = reinterpret_cast<char **>(out.dl_ptr);
        Names got;
        for (int i = 0; i < out.dl_len / int(sizeof(char *)); i++) {
            got.push_back(paths[i]);
            chk_free(paths[i]);
        }
        dstr_free(&out);
        if (r.directory == abs("w")) {
            std::sort(got.begin(), got.end());
            Names want = {abs("w/locked"), abs("w/x"), abs("w/x/y")};
            if (as_root) want.insert(want.begin() + 1, abs("w/locked/inner"));
            EXPECT_EQ(got, want);
        }
    }
}

// With the limit at 10 a wildcard step stops after its 11th candidate; 0 means no limit.
TEST_F(GlobTest, CountLimitStopsAStepAfterTheLimit) {
    dir("many");
    for (int i = 0; i < 30; i++) file("many/f" + std::to_string(100 + i));
    zn_test::SavedProcessState saved({"ZN_WILD_LIMIT_MAX_COUNT", "ZN_WILD_LIMIT_TIMEOUT"});
    struct Row {
        const char *setting;
        size_t want;
    } rows[] = {{"10", 11}, {"0", 30}, {"29", 30}, {"1", 2}};
    for (const Row &r : rows) {
        set_env("ZN_WILD_LIMIT_MAX_COUNT", r.setting);
        wild_init();
        EXPECT_EQ(names_of(glob_filenames("many/*", WILD_FILES)).size(), r.want) << r.setting;
    }
    set_env("ZN_WILD_LIMIT_TIMEOUT", "7");
    wild_init();
    EXPECT_EQ(wild_limit_timeout, 7);
}

// A stopped step drops the candidates it had not finished instead of passing them on as if
// they were matches.
TEST_F(GlobTest, StoppedStepKeepsNoUnmatchedParents) {
    dir("p/d1");
    dir("p/d2");
    for (int i = 0; i < 5; i++) file("p/d1/f" + std::to_string(i));
    for (int i = 0; i < 5; i++) file("p/d2/f" + std::to_string(i));
    file("p/d1/f0x");
    wild_limit_max_count = 2;
    // The first step finds d1 and d2; the second stops after three entries of whichever
    // directory it reads first, and the other directory must not be passed on as a result.
    Names got = names_of(glob_filenames(abs("p/d*/*").c_str(), FD));
    ASSERT_EQ(got.size(), 3u);
    std::string parent = got[0].substr(0, got[0].rfind('/'));
    for (const std::string &n : got) {
        EXPECT_EQ(n.substr(0, n.rfind('/')), parent) << n;
        EXPECT_NE(n, abs("p/d1"));
        EXPECT_NE(n, abs("p/d2"));
    }
    wild_limit_max_count = 1;
    // The first step stops inside p; "x" must not be appended to p itself.
    file("p/x");
    got = names_of(glob_filenames(abs("p/*/x").c_str(), FD));
    EXPECT_TRUE(got.empty()) << got.size();
}

// A clock already past the deadline stops the step when the candidate count is a multiple of 4.
TEST_F(GlobTest, TimeLimitStopsAtMultiplesOfFour) {
    for (int i = 0; i < 10; i++) file("t" + std::to_string(i));
    wild_limit_timeout = -1;  // the deadline is a second before the glob starts
    EXPECT_EQ(names_of(glob_filenames("t*", WILD_FILES)).size(), 4u);
    wild_limit_timeout = 0;
    EXPECT_EQ(names_of(glob_filenames("t*", WILD_FILES)).size(), 10u);
}

TEST_F(GlobTest, SortOrders) {
    file("b");
    file("A");
    file("c");
    dir("d");
    dir("E");
    struct Row {
        int flags;
        Names want;
    } rows[] = {
        {FD, {"A", "E", "b", "c", "d"}},
        {FD | WILD_SORT_NOCASE, {"A", "b", "c", "d", "E"}},
        {FD | WILD_DIRS_FIRST, {"E", "d", "A", "b", "c"}},
        {FD | WILD_DIRS_FIRST | WILD_SORT_NOCASE, {"d", "E", "A", "b", "c"}},
    };
    for (const Row &r : rows) EXPECT_EQ(names_of(glob_filenames("*", r.flags)), r.want) << r.flags;
    Names unsorted = names_of(glob_filenames("*", FD | WILD_NOSORT));
    std::sort(unsorted.begin(), unsorted.end());
    EXPECT_EQ(unsorted, (Names{"A", "E", "b", "c", "d"}));
}

TEST_F(GlobTest, LstatAndAllDirsFlags) {
    dir("real");
    file("x.c");
    file("y.h");
    ASSERT_EQ(symlink("real", "ln"), 0);
    ASSERT_EQ(symlink("missing", "dangling"), 0);
    struct Row {
        const char *pattern;
        int flags;
        Names want;
    } rows[] = {
        {"*", WILD_FILES, {"x.c", "y.h"}},  // the dangling link cannot be checked
        {"*", WILD_FILES | WILD_LSTAT, {"dangling", "ln", "x.c", "y.h"}},
        {"*", WILD_DIRS, {"ln", "real"}},
        {"*", WILD_DIRS | WILD_LSTAT, {"real"}},
        {"*.c", FD, {"x.c"}},
        {"*.c", FD | WILD_ALL_DIRS, {"ln", "real", "x.c"}},
    };
    for (const Row &r : rows)
        EXPECT_EQ(names_of(glob_filenames(r.pattern, r.flags)), r.want)
            << r.pattern << " flags 0x" << std::hex << r.flags;
}

// A wildcard step that finds nothing in the current directory leaves no candidates; later plain
// components must not start a new path from nothing.
TEST_F(GlobTest, NothingFoundStaysNothing) {
    file("x");
    dir("sub");
    file("sub/x");
    EXPECT_TRUE(names_of(glob_filenames("nomatch*/x", FD)).empty());
    EXPECT_TRUE(names_of(glob_filenames("nomatch*/s*", FD)).empty());
    EXPECT_EQ(names_of(glob_filenames("s*/x", FD)), (Names{"sub/x"}));
}

// Entry names are used as the directory holds them: quotes and spaces are not rewritten.
TEST_F(GlobTest, NamesWithQuotesAndSpacesAreKept) {
    dir("q");
    file("q/a\"b");
    file("q/ab");
    file("q/a \"c\"");
    EXPECT_EQ(names_of(glob_filenames(abs("q/a*").c_str(), WILD_FILES)),
              (Names{abs("q/a \"c\""), abs("q/a\"b"), abs("q/ab")}));
}

TEST_F(GlobTest, LeadingDelimitersCollapse) {
    file("f");
    EXPECT_EQ(names_of(glob_filenames(("/" + abs("f*")).c_str(), WILD_FILES)), (Names{abs("f")}));
    EXPECT_EQ(names_of(glob_filenames((abs("") + "/f*").c_str(), WILD_FILES)), (Names{abs("f")}));
}

TEST(WildAppendComponent, GrowsByTheRule) {
    struct Row {
        const char *name;
        int size;
        const char *component;
        const char *want;
        int want_size;
    } rows[] = {
        {"ab", 3, "c", "ab/c", 32},  // 3 <= 2 + 1 + 2: (3 + 1 + 35) & ~31
        {"/", 16, "x", "/x", 16},    // room enough, and no second delimiter
        {"a/", 6, "b", "a/b", 6},
        {"abc", 7, "de", "abc/de", 32},  // 7 <= 3 + 2 + 2
        {"abc", 8, "de", "abc/de", 8},
        {"a", 0, "0123456789012345678901234567890123456789",
         "a/0123456789012345678901234567890123456789", 64},  // (0 + 40 + 35) & ~31
        {"0123456789012345678901234567890123456789", 0, "x",
         "0123456789012345678901234567890123456789/x", 43},  // a size that understates the text
        {"", 1, "x", "/x", 32},
    };
    for (const Row &r : rows) {
        wild_entry e;
        std::memset(&e, 0, sizeof e);
        size_t alloc = std::max<size_t>(std::strlen(r.name) + 1, size_t(r.size));
        e.name = static_cast<char *>(chk_alloc(unsigned(alloc)));
        std::strcpy(e.name, r.name);
        e.size = r.size;
        wild_append_component(&e, r.component);
        EXPECT_STREQ(e.name, r.want) << r.name << " + " << r.component;
        EXPECT_EQ(e.size, r.want_size) << r.name << " + " << r.component;
        chk_free(e.name);
    }
}

}  // namespace
}  // namespace zn
