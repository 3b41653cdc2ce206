#include "lib/path.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "lib/chk.h"
#include "lib/scratch_dir.h"

namespace zn {
namespace {

std::string take(char *s) {
    std::string out = s != nullptr ? s : "(null)";
    chk_free(s);
    return out;
}

// Replaces "$C" in text with cwd and "$P" with parent, and ^ with a double quote.
std::string expand(std::string text, const std::string &cwd, const std::string &parent) {
    for (size_t at; (at = text.find("$C")) != std::string::npos;) text.replace(at, 2, cwd);
    for (size_t at; (at = text.find("$P")) != std::string::npos;) text.replace(at, 2, parent);
    for (char &c : text)
        if (c == '^') c = '"';
    return text;
}

const char kNoSuchUser[] = "zn-no-such-user-4711";

TEST(SimplifyFilename, FromAKnownDirectory) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir("home", 0755), 0);
    ASSERT_EQ(mkdir("home/u", 0755), 0);
    ASSERT_EQ(chdir("home/u"), 0);
    get_cwd_changed_directory();
    const std::string cwd = scratch.path("home/u");
    struct {
        const char *in, *want;
    } rows[] = {
        {"a//b/", "$C/a/b"},
        {"/x/./y/../z", "/x/z"},
        {"/", "/"},
        {"///", "/"},
        {"/..", "/.."},
        {"/../x", "/x"},
        {".", "$C"},
        {"..", "$P/home"},
        {"../..", "$P"},
        {"a/./b/../c", "$C/a/c"},
        {"a/..", "$C"},
        {"/a//b//", "/a/b"},
        {"/.x/...", "/.x/..."},
        {"|cmd //x", "|cmd //x"},
        {"!cmd ..", "!cmd .."},
        {"", ""},
        {"my ^x^", "^$C/my x^"},  // joining normalises quotes
        {"^x^", "$C/x"},
        {"/^a b^", "/^a b^"},  // absolute names keep their quotes
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(simplify_filename(expand(row.in, "", "").c_str())),
                  expand(row.want, cwd, scratch.path()))
            << row.in;
    }
}

TEST(SimplifyFilename, UnderTheRoot) {
    ScratchDir scratch;
    ASSERT_EQ(chdir("/"), 0);
    get_cwd_changed_directory();
    struct {
        const char *in, *want;
    } rows[] = {
        {"a", "/a"}, {"a/../b", "/b"}, {".", "/"}, {"a//b/", "/a/b"}, {"my ^x^", "/my ^x^"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(simplify_filename(expand(row.in, "", "").c_str())), expand(row.want, "", ""))
            << row.in;
    }
}

TEST(SimplifyFilename, HomeDirectories) {
    EnvGuard home("HOME");
    home.set("/h");
    path_cache_reset();
    struct passwd *root = getpwnam("root");
    std::string root_home = root != nullptr ? root->pw_dir : "";
    struct {
        const char *in, *want;
    } rows[] = {
        {"~", "/h/"},
        {"~/x", "/h/x"},
        {"~//x/", "/h/x"},
        {"~/a/../b", "/h/b"},
        {"~zn-no-such-user-4711/x", "~zn-no-such-user-4711/x"},  // not placed under the cwd
    };
    for (const auto &row : rows) EXPECT_EQ(take(simplify_filename(row.in)), row.want) << row.in;
    if (root != nullptr) {
        EXPECT_EQ(take(simplify_filename("~root/x/")), root_home + "/x");
    }
}

TEST(TildeExpand, OwnAndOtherUsers) {
    EnvGuard home("HOME");
    home.set("/h");
    path_cache_reset();
    const std::string nobody = std::string("~") + kNoSuchUser;
    struct {
        std::string in, want;
    } rows[] = {
        {"~", "/h/"},        {"~/", "/h/"},
        {"~/x/y", "/h/x/y"}, {"~//x", "/h//x"},  // tilde_expand alone does not collapse
        {"x/~", "x/~"},      {"", ""},
        {nobody, nobody},    {nobody + "/x", nobody + "/x"},
    };
    for (const auto &row : rows) EXPECT_EQ(take(tilde_expand(row.in.c_str())), row.want) << row.in;

    struct passwd *root = getpwnam("root");
    if (root == nullptr) GTEST_SKIP() << "no password entry for root";
    std::string root_home = root->pw_dir;
    EXPECT_EQ(take(tilde_expand("~root")), root_home + "/");
    EXPECT_EQ(take(tilde_expand("~root/a")), root_home + "/a");
}

// The own home is looked up once; a later HOME is seen only after the cache is reset.
TEST(TildeExpand, HomeIsCached) {
    EnvGuard home("HOME");
    home.set("/h1");
    path_cache_reset();
    EXPECT_EQ(take(tilde_expand("~/x")), "/h1/x");
    home.set("/h2");
    EXPECT_EQ(take(tilde_expand("~/x")), "/h1/x");
    path_cache_reset();
    EXPECT_EQ(take(tilde_expand("~/x")), "/h2/x");

    home.unset();
    path_cache_reset();
    struct passwd *me = getpwuid(getuid());
    if (me == nullptr) GTEST_SKIP() << "no password entry for uid " << getuid();
    EXPECT_EQ(take(tilde_expand("~/x")), std::string(me->pw_dir) + "/x");
}

TEST(WildCollapse, ResolvesDotComponentsInPlace) {
    struct {
        const char *in, *want;
    } rows[] = {
        {"/a/.", "/a"},         {"/.", "/"},
        {"/a/..", "/"},         {"/a/b/..", "/a"},
        {"/a/b/../../c", "/c"}, {"/a/../../b", "/b"},
        {"/.x/...", "/.x/..."}, {"/a/..b/.c", "/a/..b/.c"},
        {"/..", "/.."},         {"/../x", "/x"},
        {"/a//b", "/a/b"},      {"/a/./././b", "/a/b"},
        {"/./", "/"},           {"/a/b/", "/a/b/"},  // a trailing delimiter stays
        {"a/../b", "a/../b"},   {"a/b/../c", "a/c"},
        {"a/..", "a/.."},       {"", ""},
    };
    for (const auto &row : rows) {
        std::string buf = row.in;
        wild_collapse(&buf[0]);
        EXPECT_STREQ(buf.c_str(), row.want) << row.in;
    }
}

TEST(RemoveDotdot, ResolvesAgainstTheTextBefore) {
    struct {
        std::string in, want;
    } rows[] = {
        {"/a/b/../c", "/a/c"},
        {"a/../b", "b"},
        {"/../x", "x"},
        {"/a/..", "/a/.."},
        {"/a/b/../../c", "/c"},
        {"/a/../../b", "b"},
        {"/a/./b", "/a/./b"},
        {"", ""},
        // Longer than the 1024 bytes such a name was once assumed to fit in.
        {"/" + std::string(3000, 'd') + "/../e", "/e"},
        {std::string(5000, 'x'), std::string(5000, 'x')},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(remove_dotdot(row.in.c_str())), row.want) << row.in.substr(0, 40);
    }
}

TEST(GetCwd, CachedUntilToldOfAChange) {
    ScratchDir scratch;
    const char *first = get_cwd();
    EXPECT_EQ(first, scratch.path());
    EXPECT_EQ(get_cwd(), first);  // the same cache, not a new string
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(chdir("sub"), 0);
    EXPECT_STREQ(get_cwd(), scratch.path().c_str());  // stale until told
    get_cwd_changed_directory();
    EXPECT_EQ(std::string(get_cwd()), scratch.path("sub"));
    EXPECT_EQ(take(simplify_filename("x")), scratch.path("sub/x"));
}

TEST(GetCwd, RemovedDirectory) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir("gone", 0755), 0);
    ASSERT_EQ(chdir("gone"), 0);
    ASSERT_EQ(rmdir(scratch.path("gone").c_str()), 0);
    get_cwd_changed_directory();
    EXPECT_STREQ(get_cwd(), "/DIRECTORY-REMOVED");
    EXPECT_EQ(take(simplify_filename("a/b")), "/DIRECTORY-REMOVED/a/b");
}

// A directory name far longer than the first buffer offered to getcwd: the buffer must grow, not
// truncate into some other path.
TEST(GetCwd, LongDirectory) {
    ScratchDir scratch;
    const std::string component(200, 'd');
    const int depth = 25;  // about 5000 bytes
    std::string want = scratch.path();
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(mkdir(component.c_str(), 0755), 0);
        ASSERT_EQ(chdir(component.c_str()), 0);
        want += "/" + component;
    }
    get_cwd_changed_directory();
    std::string got = get_cwd();
    EXPECT_GT(got.size(), 4096u);
    EXPECT_EQ(got, want);
    // nftw cannot reach that deep by full path, so climb out and remove level by level.
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(chdir(".."), 0);
        ASSERT_EQ(rmdir(component.c_str()), 0);
    }
}

}  // namespace
}  // namespace zn
