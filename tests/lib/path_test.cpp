#include "lib/path.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "lib/test_util.h"

namespace zn {
namespace {

// text with "$C" replaced by cwd and ^ by a double quote.
std::string expand(std::string text, const std::string &cwd = "") {
    for (size_t i; (i = text.find("$C")) != std::string::npos;) text.replace(i, 2, cwd);
    for (char &c : text)
        if (c == '^') c = '"';
    return text;
}

TEST(SimplifyFilename, FromAKnownDirectory) {
    ScratchDir scratch;
    ASSERT_EQ(mkdir("u", 0755), 0);
    ASSERT_EQ(chdir("u"), 0);
    get_cwd_changed_directory();
    const char *rows[][2] = {
        {"a//b/", "$C/u/a/b"},
        {"/x/./y/../z", "/x/z"},
        {"/", "/"},
        {"///", "/"},
        {"/..", "/.."},
        {"/../x", "/x"},
        {".", "$C/u"},
        {"..", "$C"},
        {"a/./b/../c", "$C/u/a/c"},
        {"/.x/...", "/.x/..."},
        {"|cmd //x", "|cmd //x"},
        {"!cmd ..", "!cmd .."},
        {"", ""},
        {"my ^x^", "^$C/u/my x^"},  // joining normalises quotes
        {"/^a b^", "/^a b^"},       // an absolute name keeps them
    };
    for (const auto &r : rows) {
        EXPECT_EQ(take(simplify_filename(expand(r[0]).c_str())), expand(r[1], scratch.path()))
            << r[0];
    }
    ASSERT_EQ(chdir("/"), 0);
    get_cwd_changed_directory();
    const char *root_rows[][2] = {{"a", "/a"}, {"a/../b", "/b"}, {".", "/"}, {"a//b/", "/a/b"}};
    for (const auto &r : root_rows) EXPECT_EQ(take(simplify_filename(r[0])), r[1]) << r[0];
}

TEST(SimplifyFilename, HomeDirectories) {
    EnvGuard home("HOME");
    home.set("/h");
    path_cache_reset();
    const char *rows[][2] = {
        {"~", "/h/"},
        {"~/x", "/h/x"},
        {"~//x/", "/h/x"},
        {"~/a/../b", "/h/b"},
        {"~zn-no-such-user/x", "~zn-no-such-user/x"},  // not placed under the cwd either
    };
    for (const auto &r : rows) EXPECT_EQ(take(simplify_filename(r[0])), r[1]) << r[0];
    if (struct passwd *root = getpwnam("root")) {
        EXPECT_EQ(take(tilde_expand("~root")), std::string(root->pw_dir) + "/");
        EXPECT_EQ(take(simplify_filename("~root/x/")), std::string(root->pw_dir) + "/x");
    }
}

// The own home is looked up once; a later HOME is seen only after the cache is reset, and
// without HOME the password entry of the real user gives it.
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
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(take(tilde_expand("~/x")), std::string(me->pw_dir) + "/x");
}

TEST(WildCollapse, ResolvesDotComponentsInPlace) {
    const char *rows[][2] = {
        {"/a/.", "/a"},
        {"/.", "/"},
        {"/a/..", "/"},
        {"/a/b/..", "/a"},
        {"/a/b/../../c", "/c"},
        {"/a/../../b", "/b"},
        {"/.x/...", "/.x/..."},
        {"/..", "/.."},
        {"/a//./b", "/a/b"},
        {"/a/b/", "/a/b/"},
        {"a/../b", "a/../b"},
        {"a/b/../c", "a/c"},
        // A ".." left alone used to be taken off by the next one: "a/../../b" became "a/b".
        {"a/../../b", "a/../../b"},
        {"a/../..", "a/../.."},
        {"a/b/../../c", "a/../c"},
        {"x/../../y/..", "x/../.."},
    };
    for (const auto &r : rows) {
        std::string buf = r[0];
        wild_collapse(&buf[0]);
        EXPECT_STREQ(buf.c_str(), r[1]) << r[0];
    }
}

TEST(RemoveDotdot, ResolvesAgainstTheTextBefore) {
    const std::string rows[][2] = {
        {"/a/b/../c", "/a/c"},
        {"a/../b", "b"},
        {"/../x", "x"},
        {"/a/..", "/a/.."},
        {"/a/b/../../c", "/c"},
        {"", ""},
        // Far longer than the fixed 1024-byte buffer such names once went into.
        {"/" + std::string(3000, 'd') + "/../e", "/e"},
        {std::string(5000, 'x'), std::string(5000, 'x')},
    };
    for (const auto &r : rows)
        EXPECT_EQ(take(remove_dotdot(r[0].c_str())), r[1]) << r[0].substr(0, 20);
}

TEST(GetCwd, CachedUntilToldOfAChange) {
    ScratchDir scratch;
    const char *first = get_cwd();
    EXPECT_EQ(first, scratch.path());
    EXPECT_EQ(get_cwd(), first);  // the cache itself, not a new string
    ASSERT_EQ(mkdir("gone", 0755), 0);
    ASSERT_EQ(chdir("gone"), 0);
    EXPECT_EQ(get_cwd(), scratch.path());  // stale until told
    get_cwd_changed_directory();
    EXPECT_EQ(get_cwd(), scratch.path("gone"));
    ASSERT_EQ(rmdir(scratch.path("gone").c_str()), 0);
    get_cwd_changed_directory();
    EXPECT_STREQ(get_cwd(), "/DIRECTORY-REMOVED");
    EXPECT_EQ(take(simplify_filename("a")), "/DIRECTORY-REMOVED/a");
}

// Far longer than the first buffer offered to getcwd: it must grow, not cut the path short.
TEST(GetCwd, LongDirectory) {
    ScratchDir scratch;
    const std::string component(200, 'd');
    const int depth = 25;  // about 5000 bytes
    std::string want = scratch.path();
    for (int i = 0; i < depth; i++, want += "/" + component) {
        ASSERT_EQ(mkdir(component.c_str(), 0755), 0);
        ASSERT_EQ(chdir(component.c_str()), 0);
    }
    get_cwd_changed_directory();
    EXPECT_EQ(get_cwd(), want);
    for (int i = 0; i < depth; i++) {  // too deep for removal by full path
        ASSERT_EQ(chdir(".."), 0);
        ASSERT_EQ(rmdir(component.c_str()), 0);
    }
}

}  // namespace
}  // namespace zn
