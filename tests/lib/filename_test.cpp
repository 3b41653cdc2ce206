#include "lib/filename.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/test_util.h"

namespace zn {
namespace {

// The tables write a double quote as ^.
std::string q(std::string s) {
    for (char &c : s)
        if (c == '^') c = '"';
    return s;
}

// Offset of p into name, -1 for null.
long at(const char *p, const char *name) {
    return p != nullptr ? long(p - name) : -1;
}

TEST(Filename, AppendJoinsAndNormalisesQuotes) {
    struct {
        const char *dir, *name, *want;
    } rows[] = {
        {"", "x", "x"},          {"a", "", "a"},
        {"a", "/b", "/b"},       {"a/", "b", "a/b"},
        {"a", "b", "a/b"},       {"a\\", "b", "a\\b"},  // '\' ends a dir too
        {"a\\b", "c", "a\\b/c"}, {"my dir", "x^y", "^my dir/xy^"},
        {"a", "^b^", "a/b"},     {"a", "/^b c^", "/^b c^"},
        {"", "^b c", "^b c"},    {"^a b", "", "^a b"},  // as they stand
    };
    for (const auto &r : rows) {
        EXPECT_EQ(take(filename_append_filename(q(r.dir).c_str(), q(r.name).c_str())), q(r.want))
            << "'" << r.dir << "' + '" << r.name << "'";
    }
}

TEST(Filename, NormalizeQuotes) {
    const char *rows[][2] = {
        {"a b", "a b"}, {"^a b^", "^a b^"}, {"a ^b^ c", "^a b c^"}, {"^a^b", "ab"},
        {"", ""},       {"^", ""},          {" ^", "^ ^"},          {"^^x y^^", "^x y^"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(take(string_normalize_quotes(q(r[0]).c_str())), q(r[1])) << r[0];
}

TEST(Filename, Dirname) {
    const char *rows[][2] = {
        {"a", "."},      {"/a", "/"},    {"/", "/"},   {"", "."},     {"a//b", "a/"},
        {"a/b/", "a/b"}, {"/a/b", "/a"}, {"//a", "/"}, {"a\\b", "."},
    };
    for (const auto &r : rows) {
        std::string in = r[0];
        EXPECT_EQ(take(dirname(in.c_str())), r[1]) << r[0];
        EXPECT_EQ(take(filename_dirname(in.c_str())), r[1]) << r[0];
        EXPECT_EQ(in, r[0]) << "argument modified";
    }
}

TEST(Filename, Dirname2) {
    struct {
        const char *in;
        int n;
        const char *want;
    } rows[] = {
        {"a/b/", 1, "a/b"}, {"/a/b/c", 2, "/a"}, {"a", 1, "."},    {"a/b/c", 2, "a"},
        {"a/b/c", 9, "."},  {"a//b", 1, "a/"},   {"a//b", 2, "a"}, {"/a", 1, "/"},
        {"/", 1, "/"},      {"/a/b", 5, "/"},    {"", 1, "."},     {"a/b", 0, "a/b"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(take(filename_dirname2(r.in, r.n)), r.want) << r.in << "," << r.n;
}

TEST(Filename, Extensions) {
    struct {
        const char *in;
        long ext;          // offset of filename_extension, -1 for null
        const char *file;  // file_extension, null for none
    } rows[] = {
        {"x.tar.gz", 6, ".gz"},      {"a.b/c", -1, nullptr}, {"x.", 2, "."},
        {".profile", 1, ".profile"}, {"", -1, "."},          {"dir/x.tar.gz", 10, ".gz"},
        {"a.b/c.d/", -1, ".d"},  // basename drops the trailing '/' (and gives "." for "")
    };
    for (const auto &r : rows) {
        EXPECT_EQ(at(filename_extension(r.in), r.in), r.ext) << r.in;
        std::string buf = r.in;
        const char *got = file_extension(&buf[0]);
        EXPECT_STREQ(got != nullptr ? got : "(null)", r.file != nullptr ? r.file : "(null)")
            << r.in;
    }
}

TEST(Filename, Components) {
    const char *name = "/a/b/c";
    const long rows[][3] = {{-5, 0, 4}, {0, 0, 4}, {1, 0, 4}, {2, 2, 2}, {3, 4, 0}, {4, -1, -1}};
    for (const auto &r : rows) {
        EXPECT_EQ(at(filename_nth_first_component(name, int(r[0])), name), r[1]) << r[0];
        EXPECT_EQ(at(filename_nth_last_component(name, int(r[0])), name), r[2]) << r[0];
    }
    EXPECT_EQ(filename_nth_last_component("", 1), nullptr);
    EXPECT_EQ(filename_nth_first_component("a\\b", 1), nullptr);
    EXPECT_EQ(at(filename_first_component("ab/c//d"), "ab/c//d"), 2);
    for (int c = -1; c < 256; c++) {
        char one[2] = {char(c), 0};
        EXPECT_EQ(filename_is_delim(c) + is_absolute(one), c == '/' ? 2 : 0) << c;
    }
}

TEST(Filename, PlatformRulesAndSettings) {
    EXPECT_NE(filename_strcmp("A", "a"), 0);
    EXPECT_EQ(filename_monocase_enable(-1), 0);
    EXPECT_EQ(filename_monocase_enable(1), 1);
    EXPECT_EQ(filename_monocase_enable(-1), 1);  // a query changes nothing
    EXPECT_EQ(filename_monocase_enable(0), 0);

    char move[16] = "abcdef";
    overlap_strcpy(move, move + 2);
    EXPECT_STREQ(move, "cdef");
    overlap_strcpy(move + 3, move);  // the source is overwritten as it is read
    EXPECT_STREQ(move, "cdecdef");
}

}  // namespace
}  // namespace zn
