// The wildcard matcher on any name and pattern. Input: one byte of flags, the name up to the first
// NUL, then the pattern (every remaining byte, NULs included).
//
// The pattern goes to wild_match_one in a heap block of exactly its length with no terminator,
// and the name in a block of exactly its length plus the NUL, so that reading past either is
// caught. The pattern up to its first NUL also goes to wild_match as a pattern list.
//
// Checks: the result is -1 or the name's length; for small inputs it agrees with the same rules
// matched without the failed-pair table (exponential, but exact), so the table never turns a
// match into a failure; folding case never loses a match; a list of one non-empty pattern
// matches exactly when the pattern does.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "lib/ctype_table.h"
#include "wild/wild_match.h"

namespace {

constexpr size_t kReferenceMaxName = 16;     // bytes of name the slow matcher is tried on
constexpr size_t kReferenceMaxPattern = 24;  // bytes of pattern likewise
constexpr int kReferenceMaxStars = 4;

bool same_folded(unsigned char a, unsigned char b) {
    auto up = [](unsigned char c) {
        return (zn::ctype_array[c] & zn::kCtypeLower) ? static_cast<unsigned char>(c - 0x20) : c;
    };
    return up(a) == up(b);
}

int group_alternative(const char *p, int n, char *stop) {
    int level = 0;
    for (int k = 0; k < n; k++) {
        if (p[k] == '{') {
            level++;
        } else if (p[k] == '}') {
            if (level == 0) {
                *stop = '}';
                return k;
            }
            level--;
        } else if (p[k] == ',' && level == 0) {
            *stop = ',';
            return k;
        }
    }
    *stop = 0;
    return n;
}

int group_rest(const char *p, int n) {
    int level = 0;
    for (int k = 0; k < n; k++) {
        if (p[k] == '{') {
            level++;
        } else if (p[k] == '}') {
            if (level == 0) return k + 1;
            level--;
        }
    }
    return n;
}

// The matching rules of wild_match.h, every star trying every tail afresh. Returns the bytes of
// name covered (its whole length) or -1.
int slow_match(const char *name, const char *p, int n, int flags) {
    const char *const name0 = name;
    const char *const p0 = p;
    while (n > 0) {
        char c = *p;
        if (c == '?') {
            if (!*name) return -1;
            name++;
            p++;
            n--;
        } else if (c == '*') {
            if (p == p0 && *name == '.' && !(flags & zn::WILD_DOTFILES)) return -1;
            p++;
            n--;
            int len = int(std::strlen(name));
            if (n == 0) return int(name - name0) + len;
            for (int i = len - 1; i >= 0; i--)
                if (slow_match(name + i, p, n, flags & ~zn::WILD_DOTFILES) >= 0)
                    return int(name - name0) + len;
            return -1;
        } else if (c == '[') {
            if (!*name) return -1;
            p++;
            n--;
            bool negated = n > 0 && *p == '^';
            if (negated) {
                p++;
                n--;
            }
            signed char b = static_cast<signed char>(*name);
            bool found = false;
            while (n > 0 && *p != ']' && !found) {
                signed char lo = static_cast<signed char>(*p), hi = lo;
                p++;
                n--;
                if (n > 0 && *p == '-') {
                    p++;
                    n--;
                    if (n > 0) {
                        hi = static_cast<signed char>(*p);
                        p++;
                        n--;
                    } else if (b == '-') {
                        found = true;
                    }
                }
                if (lo <= b && b <= hi) found = true;
            }
            if (found == negated) return -1;
            while (n > 0 && *p != ']') {
                p++;
                n--;
            }
            if (n > 0) {
                p++;
                n--;
            }
            name++;
        } else if (c == '{') {
            p++;
            n--;
            for (;;) {
                if (n == 0 || *p == '}') return -1;
                char stop;
                int k = group_alternative(p, n, &stop);
                int r = slow_match(name, p, k, flags);
                if (r >= 0) {
                    name += r;
                    p += k;
                    n -= k;
                    if (stop == '}') {
                        p++;
                        n--;
                    } else if (stop == ',') {
                        int skip = group_rest(p + 1, n - 1) + 1;
                        p += skip;
                        n -= skip;
                    }
                    break;
                }
                if (stop != ',') return -1;
                p += k + 1;
                n -= k + 1;
            }
        } else {
            if (!*name) return -1;
            unsigned char a = static_cast<unsigned char>(c), b = static_cast<unsigned char>(*name);
            if (a != b && !((flags & zn::WILD_IGNORE_CASE) && same_folded(a, b))) return -1;
            name++;
            p++;
            n--;
        }
    }
    if (n != 0 || *name) return -1;
    return int(name - name0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    int flags = 0;
    if (data[0] & 1) flags |= zn::WILD_DOTFILES;
    if (data[0] & 2) flags |= zn::WILD_IGNORE_CASE;
    data++;
    size--;
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    size_t name_len = nul ? size_t(nul - data) : size;
    size_t pattern_len = nul ? size - name_len - 1 : 0;

    char *name = static_cast<char *>(std::malloc(name_len + 1));
    std::memcpy(name, data, name_len);
    name[name_len] = '\0';
    // Never an empty block: malloc(0) may hand out one that ASan does not watch the same way.
    char *pattern = static_cast<char *>(std::malloc(pattern_len ? pattern_len : 1));
    std::memcpy(pattern, data + name_len + 1 - (nul ? 0 : 1), pattern_len);

    int r = zn::wild_match_one(name, pattern, int(pattern_len), flags);
    if (r != -1 && r != int(name_len))
        zn_fuzz::fuzz_fail("wild_match_one returned %d for a name of %zu bytes", r, name_len);

    int folded = zn::wild_match_one(name, pattern, int(pattern_len), flags | zn::WILD_IGNORE_CASE);
    if (r >= 0 && folded < 0) zn_fuzz::fuzz_fail("folding case lost a match");

    int stars = 0;
    for (size_t i = 0; i < pattern_len; i++) stars += pattern[i] == '*';
    if (name_len <= kReferenceMaxName && pattern_len <= kReferenceMaxPattern &&
        stars <= kReferenceMaxStars) {
        int slow = slow_match(name, pattern, int(pattern_len), flags);
        if (slow != r) zn_fuzz::fuzz_fail("wild_match_one gave %d, the slow matcher %d", r, slow);
    }

    // The pattern up to its first NUL, as a list, in a block of exactly its length and the NUL.
    size_t list_len = strnlen(pattern, pattern_len);
    char *list = static_cast<char *>(std::malloc(list_len + 1));
    std::memcpy(list, pattern, list_len);
    list[list_len] = '\0';
    int listed = zn::wild_match(name, list, flags);
    if (listed != 0 && listed != 1) zn_fuzz::fuzz_fail("wild_match returned %d", listed);
    if (list_len > 0 && std::memchr(list, ';', list_len) == nullptr) {
        int one = zn::wild_match_one(name, list, int(list_len), flags);
        if (listed != (one >= 0)) zn_fuzz::fuzz_fail("a list of one pattern disagrees with it");
    }

    std::free(list);
    std::free(pattern);
    std::free(name);
    return 0;
}
