#include "wild/dollar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/chk.h"
#include "tests/wild/wild_test_util.h"

namespace zn {
namespace {

using testing_util::set_env;

std::string substitute(const std::string &text) {
    char *out = wild_dollar_substitute(text.c_str());
    std::string s = out;
    chk_free(out);
    return s;
}

TEST(DollarSubstitute, Table) {
    zn_test::SavedProcessState saved(
        {"HOME", "ZN_DA", "ZN_DB", "ZN_D_1", "ZN_DEMPTY", "ZN_DUNSET", "_"});
    set_env("HOME", "/h");
    set_env("ZN_DA", "alpha");
    set_env("ZN_DB", "$ZN_DA");
    set_env("ZN_D_1", "one");
    set_env("ZN_DEMPTY", "");
    set_env("ZN_DUNSET", nullptr);
    set_env("_", "us");
    struct Row {
        const char *text, *want;
    } rows[] = {
        {"x$HOME/y", "x/h/y"},
        {"\\$HOME", "$HOME"},  // escaped: the backslash goes, nothing is looked up
        {"a\\$HOME/b", "a$HOME/b"},
        {"$ZN_DUNSET/y", "/y"},
        {"a$", "a$"},
        {"$1", "$1"},
        {"\\$1", "\\$1"},  // no name follows, so the backslash stays too
        {"cost $ 5", "cost $ 5"},
        {"${ZN_DA}", "${ZN_DA}"},
        {"$$ZN_DA", "$alpha"},
        {"$ZN_DA$ZN_DA", "alphaalpha"},
        {"$ZN_DA.txt", "alpha.txt"},
        {"$ZN_D_1x", ""},  // the name runs on through letters, digits and "_"
        {"$ZN_D_1-x", "one-x"},
        {"$ZN_DB", "$ZN_DA"},  // values are not expanded again
        {"[$ZN_DEMPTY]", "[]"},
        {"$_", "us"},
        {"plain \\ text", "plain \\ text"},
        {"", ""},
        {"$", "$"},
        {"\\", "\\"},
    };
    for (const Row &r : rows) EXPECT_EQ(substitute(r.text), r.want) << r.text;
}

TEST(DollarSubstitute, PlainTextComesBackAsACopy) {
    const char *text = "no references here";
    char *out = wild_dollar_substitute(text);
    EXPECT_NE(out, text);
    EXPECT_STREQ(out, text);
    chk_free(out);
}

// A 300-letter name is looked up by its first 255 letters; all 300 are consumed.
TEST(DollarSubstitute, LongNamesAreCutForTheLookupOnly) {
    std::string name255;
    for (int i = 0; i < 255; i++) name255 += char('A' + i % 26);
    std::string name300 = name255;
    for (int i = 0; i < 45; i++) name300 += 'Q';
    zn_test::SavedProcessState saved({name255, name300});
    set_env(name255.c_str(), "V");
    set_env(name300.c_str(), "wrong");
    EXPECT_EQ(substitute("<$" + name300 + "/z>"), "<V/z>");
    EXPECT_EQ(substitute("$" + name255), "V");
    EXPECT_EQ(substitute("$" + name255.substr(0, 254)), "");
}

}  // namespace
}  // namespace zn
