#include "wild/wild_match.h"

#include <cstdlib>
#include <cstring>

#include "lib/ctype_table.h"

namespace zn {

namespace {

enum : int {
    kMemoStackBytes = 8192,  // bytes of stack for the failed-pair table of one match
};

int case_conversion = 0;
long match_steps = 0;
long tail_checks = 0;

// The failed-pair table of one outermost match. Every name a recursive call sees is a tail of the
// outermost name, and every pattern it sees lies inside the outermost pattern, so a (name offset,
// pattern offset) pair names a star's sub-match. The sub-match also depends on where its pattern
// ends; rest_end records the end first seen for each pattern offset, and a star whose end differs
// simply goes unremembered.
//
// A star tries its rest against every tail from a name offset to the end, so once a star has
// failed from offset j, every tail from j on is a known failure for that rest. failed_from keeps,
// per pattern offset, the lowest such j: a later star with the same rest skips those tails
// without looking at them, which keeps a run of stars to about one look per pair instead of one
// per pair and tail.
struct match_memo {
    const char *name_base;
    const char *pattern_base;
    int name_len;
    int pattern_len;
    char *space;          // uninitialised scratch, owned by the outermost call
    int space_bytes;      // bytes at space
    bool heap;            // space came from malloc
    bool ready;           // bits and rest_end are set up
    unsigned char *bits;  // (name_len + 1) * (pattern_len + 1) bits; null: remember nothing
    int *rest_end;        // pattern_len + 1 entries, -1 when unseen
    int *failed_from;     // pattern_len + 1 entries: every tail from this name offset on failed
};

void memo_setup(match_memo *m) {
    m->ready = true;
    size_t cells = size_t(m->name_len + 1) * size_t(m->pattern_len + 1);
    size_t bit_bytes = (cells + 7) / 8;
    size_t end_bytes = size_t(m->pattern_len + 1) * sizeof(int);
    size_t need = 2 * end_bytes + bit_bytes;
    if (need > size_t(m->space_bytes)) {
        // Too big for the stack table. Without the heap block the match is only slower.
        m->space = static_cast<char *>(std::malloc(need));
        if (!m->space) return;
        m->heap = true;
    }
    m->rest_end = reinterpret_cast<int *>(m->space);
    m->failed_from = reinterpret_cast<int *>(m->space + end_bytes);
    for (int i = 0; i <= m->pattern_len; i++) {
        m->rest_end[i] = -1;
        m->failed_from[i] = m->name_len;  // no tail known to fail yet
    }
    m->bits = reinterpret_cast<unsigned char *>(m->space + 2 * end_bytes);
    std::memset(m->bits, 0, bit_bytes);
}

// Returns the bit index for a star's sub-match of rest (ending at rest_end) against tail, or -1
// when the pair cannot be remembered.
long memo_index(match_memo *m, const char *tail, const char *rest, const char *end) {
    if (!m->ready) memo_setup(m);
    if (!m->bits) return -1;
    int r = int(rest - m->pattern_base);
    int e = int(end - m->pattern_base);
    if (m->rest_end[r] < 0) m->rest_end[r] = e;
    if (m->rest_end[r] != e) return -1;
    return long(tail - m->name_base) * (m->pattern_len + 1) + r;
}

// Returns the slot in failed_from for a star's rest (ending at end), or null when the rest
// cannot be remembered.
int *memo_failed_from(match_memo *m, const char *rest, const char *end) {
    if (!m->ready) memo_setup(m);
    if (!m->bits) return nullptr;
    int r = int(rest - m->pattern_base);
    int e = int(end - m->pattern_base);
    if (m->rest_end[r] < 0) m->rest_end[r] = e;
    return m->rest_end[r] == e ? &m->failed_from[r] : nullptr;
}

bool memo_failed(const match_memo *m, long bit) {
    return bit >= 0 && (m->bits[bit >> 3] & (1u << (bit & 7)));
}

void memo_mark_failed(match_memo *m, long bit) {
    if (bit >= 0) m->bits[bit >> 3] |= static_cast<unsigned char>(1u << (bit & 7));
}

unsigned char fold_upper(unsigned char c) {
    return (ctype_array[c] & kCtypeLower) ? static_cast<unsigned char>(c - 0x20) : c;
}

// Returns the length of the current alternative of a group: the bytes up to the first "," at
// nesting level 0, the "}" that closes the group, or the end of the n bytes at p. *stop is the
// byte that ended it, or 0 for the end of the pattern.
int alternative_length(const char *p, int n, char *stop) {
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

// Returns how many of the n bytes at p lie up to and including the "}" that closes the group
// the bytes are inside (level 0), or n when the pattern ends first.
int skip_group_rest(const char *p, int n) {
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

int match(const char *name, const char *p, int n, int flags, match_memo *m) {
    match_steps++;
    const char *const name0 = name;
    const char *const p0 = p;
    while (n > 0) {
        switch (*p) {
            case '?':
                if (!*name) return -1;
                name++;
                p++;
                n--;
                break;

            case '*': {
                // 1. A star that opens this call's pattern does not match a leading dot.
                if (p == p0 && *name == '.' && !(flags & WILD_DOTFILES)) return -1;
                p++;
                n--;
                int len = int(std::strlen(name));
                // 2. A final star takes the whole rest of the name.
                if (n == 0) return int(name - name0) + len;
                // 3. Try the rest against ever longer tails, never the empty one. Any tail that
                // matches gives the same answer, so the failed ones are remembered; tails from
                // where an earlier star with this rest failed are skipped whole.
                int sub_flags = flags & ~WILD_DOTFILES;
                int at = int(name - m->name_base);
                int *failed_from = memo_failed_from(m, p, p + n);
                int first = len - 1;
                if (failed_from != nullptr && *failed_from - at - 1 < first)
                    first = *failed_from - at - 1;
                for (int i = first; i >= 0; i--) {
                    tail_checks++;
                    long bit = memo_index(m, name + i, p, p + n);
                    if (memo_failed(m, bit)) continue;
                    if (match(name + i, p, n, sub_flags, m) >= 0) return int(name - name0) + len;
                    memo_mark_failed(m, bit);
                }
                // 4. No tail matched: every tail from here on fails this rest.
                if (failed_from != nullptr && at < *failed_from) *failed_from = at;
                return -1;
            }

            case '[': {
                // 1. One byte of the name; "^" negates.
                if (!*name) return -1;
                p++;
                n--;
                bool negated = false;
                if (n > 0 && *p == '^') {
                    negated = true;
                    p++;
                    n--;
                }
                // 2, 3. Members up to the first "]", stopping at the one holding the byte.
                const signed char c = static_cast<signed char>(*name);
                bool found = false;
                while (n > 0 && *p != ']') {
                    signed char lo = static_cast<signed char>(*p);
                    signed char hi = lo;
                    p++;
                    n--;
                    if (n > 0 && *p == '-') {
                        p++;
                        n--;
                        if (n > 0) {
                            hi = static_cast<signed char>(*p);
                            p++;
                            n--;
                        } else if (c == '-') {
                            // A "-" that ends the pattern is a member of its own.
                            found = true;
                            break;
                        }
                    }
                    if (lo <= c && c <= hi) {
                        found = true;
                        break;
                    }
                }
                // 4, 5. Take the byte, then skip past the class's "]".
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
                break;
            }

            case '{': {
                p++;
                n--;
                for (;;) {
                    // 1. An empty group or empty last alternative matches nothing.
                    if (n == 0 || *p == '}') return -1;
                    // 2. The current alternative.
                    char stop;
                    int k = alternative_length(p, n, &stop);
                    // 3. It must match the whole rest of the name.
                    int r = match(name, p, k, flags, m);
                    if (r >= 0) {
                        // 4. Continue after the group with what is left of the name (nothing).
                        name += r;
                        p += k;
                        n -= k;
                        if (stop == '}') {
                            p++;
                            n--;
                        } else if (stop == ',') {
                            int skip = skip_group_rest(p + 1, n - 1) + 1;
                            p += skip;
                            n -= skip;
                        }
                        break;
                    }
                    // 5. The group fails after its last alternative.
                    if (stop != ',') return -1;
                    p += k + 1;
                    n -= k + 1;
                }
                break;
            }

            default: {
                if (!*name) return -1;
                unsigned char a = static_cast<unsigned char>(*p);
                unsigned char b = static_cast<unsigned char>(*name);
                if (a != b && !((flags & WILD_IGNORE_CASE) && fold_upper(a) == fold_upper(b)))
                    return -1;
                name++;
                p++;
                n--;
                break;
            }
        }
    }
    // Anchored at the end: the pattern must have covered the whole name.
    if (n != 0 || *name) return -1;
    return int(name - name0);
}

}  // namespace

int wild_match_one(const char *name, const char *pattern, int length, int flags) {
    char stack_space[kMemoStackBytes];
    match_memo m;
    m.name_base = name;
    m.pattern_base = pattern;
    m.name_len = int(std::strlen(name));
    m.pattern_len = length;
    m.space = stack_space;
    m.space_bytes = sizeof stack_space;
    m.heap = false;
    m.ready = false;
    m.bits = nullptr;
    m.rest_end = nullptr;
    m.failed_from = nullptr;
    int r = match(name, pattern, length, flags, &m);
    if (m.heap) std::free(m.space);
    return r;
}

int wild_match(const char *name, const char *pattern_list, int flags) {
    const char *p = pattern_list;
    while (*p) {
        const char *semi = std::strchr(p, ';');
        int len = semi ? int(semi - p) : int(std::strlen(p));
        if (wild_match_one(name, p, len, flags) >= 0) return 1;
        if (!semi) return 0;
        p = semi + 1;
    }
    return 0;
}

int is_wildcard(const char *text) {
    return std::strpbrk(text, "$*[?") != nullptr;
}

void wild_set_case_conversion(int on) {
    case_conversion += on ? 1 : -1;
}

int wild_case_conversion_level() {
    return case_conversion;
}

long wild_match_steps() {
    return match_steps;
}

long wild_match_tail_checks() {
    return tail_checks;
}

}  // namespace zn
