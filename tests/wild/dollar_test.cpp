#include "wild/dollar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/chk.h"

namespace zn {
namespace {

// Sets environment variables for one test and puts the old values back afterwards.
class EnvGuard {
   public:
    void set(const std::string &name, const char *value) {
        const char *old = std::getenv(name.c_str());
        saved_.push_back({name, old != nullptr, old ? old : ""});
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->was_set)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }

   private:
    struct Saved {
        std::string name;
        bool was_set;
        std::string value;
    };
    std::vector<Saved> saved_;
};

std::string substitute(const std::string &text) {
    char *out = wild_dollar_substitute(text.c_str());
    std::string s = out;
    chk_free(out);
    return s;
}

TEST(DollarSubstitute, Table) {
    EnvGuard env;
    env.set("HOME", "/h");
    env.set("ZN_DA", "alpha");
    env.set("ZN_DB", "$ZN_DA");
    env.set("ZN_D_1", "one");
    env.set("ZN_DEMPTY", "");
    env.set("ZN_DUNSET", nullptr);
    env.set("_", "us");
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
    EnvGuard env;
    env.set(name255, "V");
    env.set(name300, "wrong");
    EXPECT_EQ(substitute("<$" + name300 + "/z>"), "<V/z>");
    EXPECT_EQ(substitute("$" + name255), "V");
    EXPECT_EQ(substitute("$" + name255.substr(0, 254)), "");
}

}  // namespace
}  // namespace zn
