#include "lib/filename.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/chk.h"

namespace zn {
namespace {

// Test texts write a double quote as ^ so that the tables stay readable.
std::string q(const char *s) {
    std::string out(s);
    for (char &c : out)
        if (c == '^') c = '"';
    return out;
}

// Takes ownership of a chk string and returns it as std::string ("(null)" for null).
std::string take(char *s) {
    std::string out = s != nullptr ? s : "(null)";
    chk_free(s);
    return out;
}

// Offset of a pointer into name, or -1 for null.
long offset(const char *p, const char *name) {
    return p != nullptr ? long(p - name) : -1;
}

TEST(FilenameAppend, JoinsAndNormalisesQuotes) {
    struct {
        const char *dir, *name, *want;
    } rows[] = {
        {"", "x", "x"},
        {"a", "", "a"},
        {"a", "/b", "/b"},
        {"a/", "b", "a/b"},
        {"a", "b", "a/b"},
        {"a\\", "b", "a\\b"},  // a trailing backslash takes the place of the delimiter
        {"a\\b", "c", "a\\b/c"},
        {"my dir", "x^y", "^my dir/xy^"},
        {"a", "^b^", "a/b"},
        {"a", "/^b c^", "/^b c^"},  // absolute: taken as it stands
        {"", "^b c", "^b c"},       // empty dir: taken as it stands
        {"^a b", "", "^a b"},       // empty name: dir as it stands
        {"/", "etc", "/etc"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(filename_append_filename(q(row.dir).c_str(), q(row.name).c_str())),
                  q(row.want))
            << "dir '" << row.dir << "' name '" << row.name << "'";
    }
}

TEST(StringNormalizeQuotes, MergesQuotesWhenThereAreSpaces) {
    struct {
        const char *in, *want;
    } rows[] = {
        {"a b", "a b"},
        {"^a b^", "^a b^"},
        {"a ^b^ c", "^a b c^"},
        {"^a^b", "ab"},
        {"", ""},
        {"^", ""},
        {"^ ^", "^ ^"},
        {" ^", "^ ^"},
        {"^^x y^^", "^x y^"},
        {"no quotes", "no quotes"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(string_normalize_quotes(q(row.in).c_str())), q(row.want)) << row.in;
    }
    // The result is built in a buffer of strlen + 3; a long name with many quotes must still fit.
    std::string many(500, 'x');
    for (size_t i = 0; i < many.size(); i += 3) many[i] = ' ';
    many.back() = '"';
    std::string want = "\"" + many.substr(0, many.size() - 1) + "\"";
    EXPECT_EQ(take(string_normalize_quotes(many.c_str())), want);
}

TEST(Dirname, RemovesOnlyTheLastDelimiter) {
    struct {
        const char *in, *want;
    } rows[] = {
        {"a", "."},      {"/a", "/"},    {"/", "/"},   {"", "."},     {"a//b", "a/"},
        {"a/b/", "a/b"}, {"/a/b", "/a"}, {"//a", "/"}, {"a\\b", "."},
    };
    for (const auto &row : rows) {
        std::string in = row.in;
        EXPECT_EQ(take(dirname(in.c_str())), row.want) << row.in;
        EXPECT_EQ(take(filename_dirname(in.c_str())), row.want) << row.in;
        EXPECT_EQ(in, row.in) << "argument modified";
    }
}

TEST(FilenameDirname2, RemovesNComponents) {
    struct {
        const char *in;
        int n;
        const char *want;
    } rows[] = {
        {"a/b/", 1, "a/b"}, {"/a/b/c", 2, "/a"}, {"a", 1, "."},     {"a/b/c", 1, "a/b"},
        {"a/b/c", 2, "a"},  {"a/b/c", 3, "."},   {"a/b/c", 9, "."}, {"a//b", 1, "a/"},
        {"a//b", 2, "a"},   {"/a", 1, "/"},      {"/", 1, "/"},     {"/a/b/c", 3, "/"},
        {"/a/b", 5, "/"},   {"", 1, "."},        {"a/b", 0, "a/b"}, {"a/b", -3, "a/b"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(filename_dirname2(row.in, row.n)), row.want)
            << "'" << row.in << "', " << row.n;
    }
}

TEST(FilenameExtension, FromTheLastComponent) {
    struct {
        const char *in;
        long at;  // offset of the result, -1 for null
    } rows[] = {
        {"x.tar.gz", 6}, {"a.b/c", -1}, {"x.", 2},   {".profile", 1},
        {"", -1},        {"abc", -1},   {"d/.x", 3}, {"a.b/", -1},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(offset(filename_extension(row.in), row.in), row.at) << row.in;
    }
}

TEST(FileExtension, IncludesTheDotOfTheBasename) {
    struct {
        const char *in, *want;  // null for no extension
    } rows[] = {
        {"dir/x.tar.gz", ".gz"},  {"x.c", ".c"}, {"a.b/c", nullptr}, {"a.b/c.d/", ".d"},
        {".profile", ".profile"},
    };
    for (const auto &row : rows) {
        std::string buf = row.in;
        char *got = file_extension(&buf[0]);
        if (row.want == nullptr) {
            EXPECT_EQ(got, nullptr) << row.in;
        } else {
            ASSERT_NE(got, nullptr) << row.in;
            EXPECT_STREQ(got, row.want) << row.in;
            EXPECT_GE(got, &buf[0]) << "result points into the name";
        }
    }
}

TEST(FilenameBasename, IsThePosixOne) {
    struct {
        const char *in, *want;
    } rows[] = {
        {"a/b", "b"}, {"b", "b"}, {"a/b/", "b"}, {"/", "/"}, {"", "."}, {"/usr/lib", "lib"},
    };
    for (const auto &row : rows) {
        std::string buf = row.in;
        EXPECT_STREQ(filename_basename(&buf[0]), row.want) << row.in;
    }
}

TEST(FilenameComponents, NthFromEitherEnd) {
    const char *name = "/a/b/c";
    struct {
        int n;
        long first, last;  // offsets, -1 for null
    } rows[] = {
        {-5, 0, 4}, {0, 0, 4}, {1, 0, 4}, {2, 2, 2}, {3, 4, 0}, {4, -1, -1},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(offset(filename_nth_first_component(name, row.n), name), row.first) << row.n;
        EXPECT_EQ(offset(filename_nth_last_component(name, row.n), name), row.last) << row.n;
    }
    EXPECT_EQ(filename_nth_first_component("", 1), nullptr);
    EXPECT_EQ(filename_nth_last_component("", 1), nullptr);
    EXPECT_EQ(filename_nth_first_component("a\\b", 1), nullptr);

    const char *rel = "ab/c//d";
    EXPECT_EQ(offset(filename_first_component(rel), rel), 2);
    EXPECT_EQ(offset(filename_last_component(rel), rel), 5);
    EXPECT_EQ(filename_first_component("abc"), nullptr);
    EXPECT_EQ(filename_last_component(""), nullptr);
}

// Only '/' is a delimiter, and a name is absolute exactly when it starts with one.
TEST(FilenameDelim, OnlySlashOfAllBytes) {
    for (int c = -1; c < 256; c++) {
        EXPECT_EQ(filename_is_delim(c), c == '/' ? 1 : 0) << c;
        char name[2] = {char(c), 0};
        EXPECT_EQ(is_absolute(name), c == '/' ? 1 : 0) << c;
    }
    EXPECT_STREQ(filename_delimiter(), "/");
    EXPECT_STREQ(filename_path_delimiter(), ":");
}

// The conversions that exist for other platforms leave names untouched here.
TEST(FilenamePlatform, OtherPlatformsRulesAreIdentities) {
    const std::string name = "C:\\Dir/Sub\\FILE.Txt";
    std::string buf = name;
    char *(*in_place[])(char *) = {forwardslash_to_back, backslash_to_fwd, monocase_filename,
                                   filename_normalize};
    for (auto op : in_place) {
        EXPECT_EQ(op(&buf[0]), &buf[0]);
        EXPECT_EQ(buf, name);
    }
    EXPECT_EQ(take(filename_long_to_short(name.c_str())), name);
    EXPECT_EQ(take(filename_short_to_long(name.c_str())), name);
    EXPECT_EQ(filename_get_drive(name.c_str()), 0);
    EXPECT_EQ(is_unc_filename("\\\\server\\share"), 0);
    EXPECT_EQ(filename_skip_drive(name.c_str()), name.c_str());
    EXPECT_EQ(filename_skip_unc(&buf[0]), &buf[0]);
    EXPECT_NE(filename_strcmp("A", "a"), 0);
    EXPECT_EQ(filename_strcmp("a/b", "a/b"), 0);
    EXPECT_LT(filename_strcmp("a/b", "a/c"), 0);
}

TEST(FilenameMonocase, SettingIsKeptAndQueried) {
    EXPECT_EQ(filename_monocase_enable(-1), 0);
    EXPECT_EQ(filename_monocase_enable(-1), 0);  // a query changes nothing
    EXPECT_EQ(filename_monocase_enable(1), 1);
    EXPECT_EQ(filename_monocase_enable(-1), 1);
    std::string buf = "MiXeD";
    monocase_filename(&buf[0]);
    EXPECT_EQ(buf, "MiXeD");
    EXPECT_EQ(filename_monocase_enable(0), 0);
}

TEST(OverlapStrcpy, MovesEitherWay) {
    char buf[32] = "abcdef";
    EXPECT_EQ(overlap_strcpy(buf, buf + 2), buf);  // shift left
    EXPECT_STREQ(buf, "cdef");
    overlap_strcpy(buf + 3, buf);  // shift right: the source is overwritten as it is read
    EXPECT_STREQ(buf, "cdecdef");
    overlap_strcpy(buf, "");
    EXPECT_STREQ(buf, "");
}

}  // namespace
}  // namespace zn
