#include "wild/wild_match.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace zn {
namespace {

// A pattern given as exactly its own bytes, followed in memory by bytes that would change the
// answer if the matcher read past the length.
int match_bounded(const std::string &name, const std::string &pattern, int flags) {
    std::vector<char> buf(pattern.begin(), pattern.end());
    const std::string trap = "*]}x";
    buf.insert(buf.end(), trap.begin(), trap.end());
    return wild_match_one(name.c_str(), buf.data(), int(pattern.size()), flags);
}

struct MatchRow {
    const char *pattern;
    const char *name;
    int flags;
    bool want;
};

void check_rows(const MatchRow *rows, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const MatchRow &r = rows[i];
        int got = match_bounded(r.name, r.pattern, r.flags);
        EXPECT_EQ(got >= 0, r.want) << "pattern \"" << r.pattern << "\" name \"" << r.name
                                    << "\" flags 0x" << std::hex << r.flags;
        if (got >= 0) {
            EXPECT_EQ(got, int(std::string(r.name).size())) << r.pattern;
        }
    }
}

const int D = WILD_DOTFILES;
const int I = WILD_IGNORE_CASE;

TEST(WildMatchOne, StarsAndQuestionMarks) {
    const MatchRow rows[] = {
        {"*", "", 0, true},
        {"*", ".profile", 0, false},
        {"*", ".", 0, false},
        {"*", ".profile", D, true},
        {"*", ".", D, true},
        {".*", ".profile", 0, true},
        {".*", ".", 0, true},
        {"?profile", ".profile", 0, true},
        {"?", "", 0, false},
        {"?", "/", 0, true},
        {"a*", "a", 0, true},
        {"a**", "a", 0, false},
        {"a**", "ab", 0, true},
        {"a**", "a.", 0, false},  // the second star opens its own sub-match
        {"a**", "a.", D, false},  // and the sub-match never sees WILD_DOTFILES
        {"a*", "a.b", 0, true},   // a star that does not open the pattern takes dots
        {"*.*", "a.b", 0, true},
        {"*.*", "a.", 0, true},
        {"*.*", "ab", 0, false},
        {"*.c", ".c", 0, false},
        {"*x*", "x", 0, true},  // a star may take nothing, the final one too
        {"*x*", "xy", 0, true},
        {"**", "a", 0, true},
        {"**", "", 0, false},
        {"abc", "abcd", 0, false},
        {"", "", 0, true},
        {"", "a", 0, false},
        {"a\\b", "a\\b", 0, true},  // no escape character
        {"}{,}", "}", 0, true},     // a group's empty alternative meets the empty rest
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(WildMatchOne, Classes) {
    const MatchRow rows[] = {
        {"[a-c]x", "bx", 0, true},
        {"[a-c]x", "Bx", 0, false},
        {"[a-c]x", "Bx", I, false},  // no folding inside a class
        {"[A-C]", "b", I, false},
        {"[abc]", "", 0, false},
        {"[^a]b", "xb", 0, true},
        {"[^a]b", "ab", 0, false},
        {"[^a]b", "b", 0, false},
        {"[!a]", "!", 0, true},  // "!" is a member, not a negation
        {"[!a]", "b", 0, false},
        {"[]a]", "a", 0, false},  // empty class, then the literal text "a]"
        {"[]a]", "xa]", 0, false},
        {"[^]", "a", 0, true},  // negated empty class takes any one byte
        {"[^]a", "xa", 0, true},
        {"[a-]x", "]x", 0, false},  // "a-]" is the empty range a..], the class stays open
        {"[Z-a]", "_", 0, true},    // ranges follow byte order
        {"[a-Z]", "_", 0, false},   // an upside-down range is empty
        {"[a-", "a", 0, true},      // a "-" that ends the pattern is a literal member
        {"[a-", "-", 0, true},
        {"[a-", "b", 0, false},
        {"[a", "a", 0, true},  // an unclosed class ends with the pattern
        {"[", "a", 0, false},
        {"[^", "a", 0, true},
        {"[a-cx]y", "xy", 0, true},
        {"[a-c-e]", "-", 0, true},  // after the range "a-c" the second "-" is a member
        {"[*]", "*", 0, true},
        {"[\x80-\xff]", "\x90", 0, true},  // signed order: -128..-1
        {"[\x01-\xff]", "a", 0, false},    // 1..-1 is upside down
        {"[\xff-a]", "\x90", 0, false},
        {"[\xff-a]", "Z", 0, true},
        {"x[^.]", "x.", 0, false},
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(WildMatchOne, GroupsAndCase) {
    const MatchRow rows[] = {
        {"*.{c,h}", "x.c", 0, true},
        {"*.{c,h}", "x.h", 0, true},
        {"*.{c,h}", "x.o", 0, false},
        {"{a,b}", "a", 0, true},
        {"{a,b}", "b", 0, true},
        {"{a,b}c", "ac", 0, false},  // text after a group only meets an empty rest
        {"{a,b}c", "c", 0, false},
        {"{a,b}*", "a", 0, true},
        {"{a,}", "a", 0, true},
        {"{a,}", "", 0, false},
        {"{,a}", "", 0, true},
        {"{,a}", "a", 0, true},
        {"{}", "", 0, false},
        {"{", "", 0, false},
        {"{a", "a", 0, true},  // an unclosed group takes its last alternative to the end
        {"{a,b", "b", 0, true},
        {"{a,{b,c}}", "c", 0, true},
        {"{{a,b},c}", "b", 0, true},
        {"{a*,b*}", "bcd", 0, true},
        {"{a*,b*}", ".b", D, false},
        {"{*}", ".x", 0, false},  // the star opens the alternative's own sub-match
        {"{*}", ".x", D, true},   // which keeps the caller's flags
        {"x{*}", "x.y", 0, false},
        {"a{b,c}d", "abd", 0, false},
        {"{a,b}{}", "a", 0, false},
        {"{[,]}", ",", 0, false},  // the "," ends the first alternative "[" before the class does
        {"{[},a}", "a", 0, false},
        {"ABC", "abc", 0, false},
        {"ABC", "abc", I, true},
        {"abc", "ABC", I, true},
        {"*.C", "x.c", I, true},
        {"_", "\x7f", I, false},  // folding touches letters only
        {"@", "`", I, false},
        {"\xe9", "\xc9", I, false},  // bytes above 0x7F are not letters
    };
    check_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(WildMatch, PatternLists) {
    struct Row {
        const char *list;
        const char *name;
        int want;
    } rows[] = {
        {"a;b", "a", 1},      {"a;b", "b", 1},  {"a;b", "c", 0},    {"a;", "a", 1},
        {"a;", "", 0},        {"", "", 0},      {"", "a", 0},       {";a", "", 1},
        {"a;;b", "", 1},      {"a;;b", "b", 1}, {";", "", 1},       {"x;*.c", "y.c", 1},
        {"*.h;*.c", ".c", 0}, {"[;]", ";", 0},  {"{a;b}", "b}", 1},  // the list splits at every
                                                                     // ";", braces or not
    };
    for (const Row &r : rows)
        EXPECT_EQ(wild_match(r.name, r.list, 0), r.want)
            << "list \"" << r.list << "\" name \"" << r.name << "\"";
}

TEST(WildMatch, IsWildcard) {
    struct Row {
        const char *text;
        int want;
    } rows[] = {
        {"$HOME/x", 1}, {"a*", 1}, {"[x]", 1}, {"a?", 1},          {"{a,b}", 0},
        {"~/x", 0},     {"", 0},   {"a]", 0},  {"/plain/path", 0},
    };
    for (const Row &r : rows) EXPECT_EQ(is_wildcard(r.text), r.want) << r.text;
}

// A slow reading of the matching rules, straight from their wording, without remembering failed
// pairs. Returns -1 or the number of name bytes from ni to the end.
int reference(const std::string &name, size_t ni, const std::string &pat, size_t ps, size_t pe,
              int flags) {
    const size_t n0 = ni;
    size_t p = ps;
    auto at_end = [&] { return ni >= name.size(); };
    while (p < pe) {
        char c = pat[p];
        if (c == '?') {
            if (at_end()) return -1;
            ni++, p++;
        } else if (c == '*') {
            if (p == ps && !at_end() && name[ni] == '.' && !(flags & WILD_DOTFILES)) return -1;
            p++;
            if (p == pe) return int(name.size() - n0);
            for (size_t t = name.size(); t-- > ni;)
                if (reference(name, t, pat, p, pe, flags & ~WILD_DOTFILES) >= 0)
                    return int(name.size() - n0);
            return -1;
        } else if (c == '[') {
            if (at_end()) return -1;
            p++;
            bool neg = p < pe && pat[p] == '^';
            if (neg) p++;
            signed char ch = static_cast<signed char>(name[ni]);
            bool found = false;
            while (p < pe && pat[p] != ']' && !found) {
                signed char lo = static_cast<signed char>(pat[p++]), hi = lo;
                bool dash_member = false;
                if (p < pe && pat[p] == '-') {
                    p++;
                    if (p < pe)
                        hi = static_cast<signed char>(pat[p++]);
                    else
                        dash_member = true;
                }
                found = (lo <= ch && ch <= hi) || (dash_member && ch == '-');
            }
            if (found == neg) return -1;
            while (p < pe && pat[p] != ']') p++;
            if (p < pe) p++;
            ni++;
        } else if (c == '{') {
            p++;
            bool matched = false;
            while (!matched) {
                if (p >= pe || pat[p] == '}') return -1;
                size_t q = p;
                int level = 0;
                while (q < pe && !(level == 0 && (pat[q] == ',' || pat[q] == '}'))) {
                    if (pat[q] == '{') level++;
                    if (pat[q] == '}') level--;
                    q++;
                }
                if (reference(name, ni, pat, p, q, flags) >= 0) {
                    matched = true;
                    ni = name.size();
                    p = q;
                    level = 0;
                    while (p < pe && !(level == 0 && pat[p] == '}')) {
                        if (pat[p] == '{') level++;
                        if (pat[p] == '}') level--;
                        p++;
                    }
                    if (p < pe) p++;
                } else if (q < pe && pat[q] == ',') {
                    p = q + 1;
                } else {
                    return -1;
                }
            }
        } else {
            if (at_end()) return -1;
            unsigned char a = static_cast<unsigned char>(c),
                          b = static_cast<unsigned char>(name[ni]);
            if ((flags & WILD_IGNORE_CASE) && a >= 'a' && a <= 'z') a -= 0x20;
            if ((flags & WILD_IGNORE_CASE) && b >= 'a' && b <= 'z') b -= 0x20;
            if (a != b) return -1;
            ni++, p++;
        }
    }
    return at_end() ? int(name.size() - n0) : -1;
}

// Generated patterns and names, answered by both the matcher and the slow reference: one
// generator for every kind of pattern byte, one for star-heavy patterns on longer names, where
// remembering failed pairs does the work.
TEST(WildMatchOne, AgreesWithReferenceOnGeneratedPatterns) {
    struct Generator {
        std::string pattern_bytes, name_bytes;
        int max_pattern, max_name, rounds;
    } generators[] = {
        {"ab.A*?*[]^-{},", "ab.A-]{,", 8, 6, 150000},
        {"****ab?.{,}", "ab.", 10, 11, 30000},
    };
    std::mt19937 rng(20240601);
    for (const Generator &g : generators) {
        int matches = 0;
        for (int round = 0; round < g.rounds; round++) {
            std::string pattern, name;
            for (int i = int(rng() % (g.max_pattern + 1)); i > 0; i--)
                pattern += g.pattern_bytes[rng() % g.pattern_bytes.size()];
            for (int i = int(rng() % (g.max_name + 1)); i > 0; i--)
                name += g.name_bytes[rng() % g.name_bytes.size()];
            int flags = (rng() % 2 ? WILD_DOTFILES : 0) | (rng() % 2 ? WILD_IGNORE_CASE : 0);
            int want = reference(name, 0, pattern, 0, pattern.size(), flags);
            ASSERT_EQ(match_bounded(name, pattern, flags), want)
                << "pattern \"" << pattern << "\" name \"" << name << "\" flags 0x" << std::hex
                << flags;
            matches += want >= 0;
        }
        // Both answers must come up in quantity for the comparison to mean anything.
        EXPECT_GT(matches, g.rounds / 50) << g.pattern_bytes;
        EXPECT_LT(matches, g.rounds - g.rounds / 50) << g.pattern_bytes;
    }
}

// Sixteen stars against a 255-byte name: without remembering failed pairs the failing cases
// would take on the order of 255^16 steps. The step counter bounds the work instead of a clock.
TEST(WildMatchOne, ManyStarsStayPolynomial) {
    const std::string stars(16, '*');
    const std::string a255(255, 'a');
    struct Row {
        std::string pattern, name;
        bool want;
    } rows[] = {
        {stars, a255, true},
        {stars + "b", a255, false},
        {stars + "b", a255.substr(0, 254) + "b", true},
        {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", a255, false},
        {stars, "", false},  // a star with more pattern after it needs a byte left
        {stars, "a", true},
        {"?" + stars, "a" + std::string(254, '.'), false},  // the inner stars refuse leading dots
        {"?" + stars, "a" + std::string(253, '.') + "a", true},
        {"{" + stars + "b,x}", a255, false},
    };
    for (const Row &r : rows) {
        long before = wild_match_steps();
        EXPECT_EQ(match_bounded(r.name, r.pattern, 0) >= 0, r.want) << r.pattern;
        long steps = wild_match_steps() - before;
        // At most about one step per (name position, pattern position) pair.
        EXPECT_LE(steps, long(r.name.size() + 1) * long(r.pattern.size() + 1)) << r.pattern;
    }
}

// A run of stars used to look at every tail once per (name position, pattern position) pair:
// 1000 stars against 1000 bytes took seconds. Each star's rest now remembers from where every
// tail has failed, so the looks stay near one per pair.
TEST(WildMatchOne, RunsOfStarsLookAtEachTailOnce) {
    const std::string a1000(1000, 'a');
    struct Row {
        std::string pattern, name;
        bool want;
    } rows[] = {
        {std::string(1000, '*') + "b", a1000, false},
        {std::string(1000, '*') + "a", a1000, true},
        {std::string(999, '*') + "?", a1000, true},
        {std::string(500, '*') + "b" + std::string(500, '*'), a1000, false},
        {"a" + std::string(998, '*') + "b", a1000.substr(0, 999) + "b", true},
        {"{" + std::string(300, '*') + "b,x}" + std::string(300, '*'), a1000, false},
    };
    for (const Row &r : rows) {
        long before = wild_match_tail_checks();
        EXPECT_EQ(match_bounded(r.name, r.pattern, 0) >= 0, r.want) << r.pattern.size();
        long looks = wild_match_tail_checks() - before;
        EXPECT_LE(looks, 2 * long(r.name.size() + 1) * long(r.pattern.size() + 1))
            << r.pattern.size();
    }
}

// Names and patterns too large for the stack table still answer, through the heap table.
TEST(WildMatchOne, LongNameAndPatternUseHeapTable) {
    std::string name(1000, 'a');
    std::string pattern;
    for (int i = 0; i < 40; i++) pattern += "*a";
    long before = wild_match_steps();
    EXPECT_EQ(match_bounded(name + "b", pattern, 0), -1);
    EXPECT_EQ(match_bounded(name, pattern, 0), int(name.size()));
    EXPECT_LT(wild_match_steps() - before, 50000000);
}

}  // namespace
}  // namespace zn
