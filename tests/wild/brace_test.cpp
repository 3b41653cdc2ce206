#include "wild/brace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zn {
namespace {

// The words of one expansion, each written as its text with a leading "=" when it is literal.
std::vector<std::string> expand(const std::string &text, int mode) {
    int count = -1;
    brace_word *words = brace_expand_string(text.c_str(), &count, mode);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.push_back((words[i].flags & kBraceWordLiteral ? "=" : "") + std::string(words[i].text));
    brace_free_words(words, count);
    return out;
}

TEST(BraceExpand, Table) {
    const int S = kBraceSplitWords, O = kBraceOneWord;
    struct Row {
        const char *text;
        int mode;
        std::vector<std::string> want;
    } rows[] = {
        {"", S, {}},
        {"  \t ", S, {}},
        {"", O, {}},
        {"abc", S, {"abc"}},
        {" a  b\tc ", S, {"a", "b", "c"}},
        {"a b", O, {"a b"}},
        {"a{1,2}", S, {"a1", "a2"}},
        {"a{1,2}z", S, {"a1z", "a2z"}},
        {"{a,b}{1,2}", S, {"a1", "a2", "b1", "b2"}},
        {"x{a,b{1,2},c}y", S, {"xay", "xb1y", "xb2y", "xcy"}},
        {"{a,}", S, {"a", ""}},
        {"{,}", S, {"", ""}},
        {"{}", S, {"{}"}},
        {"{a}", S, {"{a}"}},
        {"{a}{b,c}", S, {"{a}b", "{a}c"}},
        {"{{a,b}}", S, {"{a}", "{b}"}},
        {"a{b,c", S, {"a{b,c"}},
        {"a}b,c{", S, {"a}b,c{"}},
        {"p{1,2} q", S, {"p1", "p2", "q"}},
        {"p{1, 2}", S, {"p{1,", "2}"}},  // white space splits before lists are seen
        {"p{1, 2}", O, {"p1", "p 2"}},
        {"'a b'", S, {"=a b"}},
        {"\"a b\" c", S, {"=a b", "c"}},
        {"'{a,b}'", S, {"={a,b}"}},
        {"x'{'a,b}", S, {"=x{a,b}"}},  // a quoted "{" opens no list
        {"'p q'{1,2}", S, {"=p q1", "=p q2"}},
        {"'unclosed rest", S, {"=unclosed rest"}},
        {"''", S, {"="}},
        {"a\"b\"c", S, {"=abc"}},
        {"it's", S, {"=its"}},
    };
    for (const Row &r : rows) EXPECT_EQ(expand(r.text, r.mode), r.want) << "\"" << r.text << "\"";
}

// Twenty lists of two would give a million words; the word stays as typed instead, and the
// words around it are unaffected.
TEST(BraceExpand, RunawayExpansionIsKeptAsTyped) {
    std::string big;
    for (int i = 0; i < 20; i++) big += "{a,b}";
    std::vector<std::string> got = expand("x{1,2} " + big + " y", kBraceSplitWords);
    EXPECT_EQ(got, (std::vector<std::string>{"x1", "x2", big, "y"}));
    std::string fits;
    for (int i = 0; i < 13; i++) fits += "{a,b}";
    EXPECT_EQ(expand(fits, kBraceSplitWords).size(), 8192u);

    // Exactly kBraceMaxWords words are made; one word more and the last word stays as typed.
    std::string ten_thousand;
    for (int i = 0; i < 4; i++) ten_thousand += "{0,1,2,3,4,5,6,7,8,9}";
    EXPECT_EQ(expand(ten_thousand, kBraceSplitWords).size(), size_t(kBraceMaxWords));
    EXPECT_EQ(expand("w " + ten_thousand, kBraceSplitWords),
              (std::vector<std::string>{"w", ten_thousand}));
}

}  // namespace
}  // namespace zn
