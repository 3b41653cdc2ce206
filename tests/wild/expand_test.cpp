#include "wild/expand.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/chk.h"
#include "lib/path.h"
#include "tests/wild/wild_test_util.h"

namespace zn {
namespace {

using testing_util::names_of;
using testing_util::set_env;
using Names = std::vector<std::string>;

class ExpandTest : public testing_util::TempDirTest {};

std::string simplify_expand(const std::string &text) {
    char *out = simplify_and_expand_filename(text.c_str());
    EXPECT_NE(out, nullptr) << text;
    std::string s = out ? out : "<null>";
    chk_free(out);
    return s;
}

Names words_of(char **words) {
    Names out;
    for (int i = 0; words && words[i]; i++) out.push_back(words[i]);
    expand_free_words(words);
    return out;
}

TEST_F(ExpandTest, SimplifyAndExpandFilename) {
    zn_test::SavedProcessState saved({"HOME", "ZN_XT_UNSET", "ZN_XT_SUB"});
    dir("home");
    dir("opt");
    file("opt/zeta");
    set_env("HOME", abs("home").c_str());
    set_env("ZN_XT_UNSET", nullptr);
    set_env("ZN_XT_SUB", "sub");
    path_cache_reset();
    struct Row {
        std::string text, want;
    } rows[] = {
        {"'/opt/app'", "/opt/app"},
        {"\"/opt/app", "/opt/app"},  // a lone opening quote is dropped
        {"\"/opt/app\"", "/opt/app"},
        {"'/opt/app\"", "/opt/app\""},  // only the same quote closes
        {"\"", ""},
        {"", ""},
        {"|cmd", "|cmd"},
        {"!cmd arg", "!cmd arg"},
        {"$HOME/apps", abs("home/apps")},
        {"$HOME", abs("home")},
        {"~", abs("home") + "/"},
        {"~/apps/", abs("home/apps")},
        {abs("opt/z*"), abs("opt/z*")},  // wildcards are kept as typed, even with a match
        {"/opt/z*", "/opt/z*"},
        {"rel/dir", abs("rel/dir")},
        {"$ZN_XT_UNSET/apps", abs("$ZN_XT_UNSET/apps")},
        {"/x/$ZN_XT_SUB/../y", "/x/y"},
        {"'$HOME/a b'", abs("home/a b")},
        {"/a/./b/../c//", "/a/c"},
    };
    for (const Row &r : rows) EXPECT_EQ(simplify_expand(r.text), r.want) << r.text;
}

TEST_F(ExpandTest, SimplifyAndExpandLeavesTheTextAlone) {
    char text[] = "'$HOME/x'";
    char *out = simplify_and_expand_filename(text);
    EXPECT_STREQ(text, "'$HOME/x'");
    EXPECT_NE(out, text);
    chk_free(out);
}

TEST_F(ExpandTest, ExpandFilename) {
    zn_test::SavedProcessState saved({"HOME"});
    dir("home");
    file("home/f1");
    file("home/f2");
    file("home/cost$5");
    set_env("HOME", abs("home").c_str());
    path_cache_reset();
    // A result that holds a '$' fed back in: it is read before it is replaced.
    const char *cost = expand_filename("~/cost*");
    EXPECT_STREQ(cost, abs("home/cost$5").c_str());
    EXPECT_STREQ(expand_filename(cost), abs("home/cost$5").c_str());
    const char *plain = "plain.txt";
    EXPECT_EQ(expand_filename(plain), plain);  // the argument's own pointer
    const char *braces = "{a,b}";
    EXPECT_EQ(expand_filename(braces), braces);
    const char *first = expand_filename("~/f*");
    EXPECT_STREQ(first, abs("home/f1").c_str());
    std::string kept = first;
    EXPECT_STREQ(expand_filename("$HOME/f2"), abs("home/f2").c_str());
    EXPECT_STREQ(expand_filename("~/none*"), "");
    EXPECT_STREQ(expand_filename("~"), abs("home").c_str());
    EXPECT_EQ(kept, abs("home/f1"));
}

TEST_F(ExpandTest, ShellExpand) {
    file("a1");
    file("a2");
    file("b.c");
    dir("d");
    struct Row {
        std::string text;
        int flags;
        Names want;
    } rows[] = {
        {"a{2,1}", WILD_FILES | WILD_DIRS, {"a1", "a2"}},  // sorted
        {"{b,a,b}", 0, {"a", "b"}},                        // without duplicates
        {"a* a1", WILD_FILES, {"a1", "a2"}},
        {"'a*' zz", WILD_FILES, {"a*", "zz"}},  // a quoted word is taken as it is
        {"*", WILD_FILES | WILD_DIRS | WILD_DIRS_FIRST, {"d", "a1", "a2", "b.c"}},
        {"x* a1", WILD_FILES, {"a1"}},
        {"|cmd {a,b}", 0, {"|cmd {a,b}"}},
        {"!x", 0, {"!x"}},
        {"", 0, {}},
        {"p q", 0, {"p", "q"}},
        {"p q", WILD_BRACE_MODE3, {"p q"}},
        {"d/{x,y}", 0, {"d/x", "d/y"}},
    };
    for (const Row &r : rows)
        EXPECT_EQ(words_of(shell_expand(r.text.c_str(), r.flags)), r.want) << r.text;
}

TEST_F(ExpandTest, DirectoryTreeListsEveryFileBelow) {
    dir("t/sub/deeper");
    dir("t/empty");
    file("t/f1");
    file("t/.hidden");
    file("t/sub/f2");
    file("t/sub/deeper/f3");
    file("t/sub/deeper/.h2");
    ASSERT_EQ(symlink("..", "t/sub/up"), 0);  // a way back up the tree
    ASSERT_EQ(symlink("f1", "t/flink"), 0);
    const int FD = WILD_FILES | WILD_DIRS;
    struct Row {
        std::string path;
        int flags;
        Names want;
    } rows[] = {
        {abs("t"), FD, {abs("t/f1"), abs("t/flink"), abs("t/sub/deeper/f3"), abs("t/sub/f2")}},
        {abs("t"),
         FD | WILD_DOTFILES,
         {abs("t/.hidden"), abs("t/f1"), abs("t/flink"), abs("t/sub/deeper/.h2"),
          abs("t/sub/deeper/f3"), abs("t/sub/f2")}},
        {abs("t"),
         FD | WILD_LSTAT,
         {abs("t/f1"), abs("t/flink"), abs("t/sub/deeper/f3"), abs("t/sub/f2"), abs("t/sub/up")}},
        {abs("t"), WILD_FILES, {abs("t/f1"), abs("t/flink")}},  // without WILD_DIRS no descent
        {"t", FD, {"t/f1", "t/flink", "t/sub/deeper/f3", "t/sub/f2"}},
        {abs("t/sub/d*"), FD, {abs("t/sub/deeper/f3")}},
        {abs("t/f*"), FD, {abs("t/f1"), abs("t/flink")}},
        {abs("t/empty"), FD, {}},
        {abs("missing"), FD, {}},
    };
    for (const Row &r : rows) {
        wild_entry *list = expand_directory_tree(r.path.c_str(), r.flags);
        ASSERT_NE(list, nullptr) << r.path;
        Names got = names_of(list);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, r.want) << r.path << " flags 0x" << std::hex << r.flags;
    }
    // A wildcard in the last component is matched where the path points, not in the current
    // directory.
    ASSERT_EQ(chdir("t/sub"), 0);
    Names got = names_of(expand_directory_tree(abs("t/f*").c_str(), FD));
    EXPECT_EQ(got, (Names{abs("t/f1"), abs("t/flink")}));
}

// The tree is entered at most kExpandTreeMaxDepth levels down.
TEST_F(ExpandTest, DirectoryTreeDepthLimit) {
    std::string path = "n";
    std::vector<std::string> levels;
    for (int depth = 1; depth <= kExpandTreeMaxDepth + 2; depth++) {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << depth;
        levels.push_back(path);
        path += "/d";
    }
    // levels[k] lies k levels below "n" and is globbed at depth k.
    file(levels[kExpandTreeMaxDepth] + "/deepest_kept");
    file(levels[kExpandTreeMaxDepth + 1] + "/too_deep");
    file(levels[0] + "/top");
    Names got = names_of(expand_directory_tree("n", WILD_FILES | WILD_DIRS));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (Names{levels[kExpandTreeMaxDepth] + "/deepest_kept", "n/top"}));
}

}  // namespace
}  // namespace zn
