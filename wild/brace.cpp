#include "wild/brace.h"

#include <cstring>
#include <string>
#include <vector>

#include "lib/chk.h"
#include "lib/ctype_table.h"

namespace zn {

namespace {

// A word during expansion: its bytes, and for each byte whether it was quoted.
struct marked_word {
    std::string bytes;
    std::vector<bool> quoted;
    bool literal = false;
};

bool is_special(const marked_word &w, size_t i, char c) {
    return w.bytes[i] == c && !w.quoted[i];
}

// Returns the index of the "}" matching the "{" at open, or npos; *has_comma tells whether a ","
// stands at the list's own level.
size_t find_close(const marked_word &w, size_t open, bool *has_comma) {
    int level = 0;
    *has_comma = false;
    for (size_t i = open + 1; i < w.bytes.size(); i++) {
        if (is_special(w, i, '{')) {
            level++;
        } else if (is_special(w, i, '}')) {
            if (level == 0) return i;
            level--;
        } else if (is_special(w, i, ',') && level == 0) {
            *has_comma = true;
        }
    }
    return std::string::npos;
}

marked_word slice(const marked_word &w, size_t from, size_t to) {
    marked_word s;
    s.bytes = w.bytes.substr(from, to - from);
    s.quoted.assign(w.quoted.begin() + from, w.quoted.begin() + to);
    s.literal = w.literal;
    return s;
}

void append(marked_word *dst, const marked_word &src) {
    dst->bytes += src.bytes;
    dst->quoted.insert(dst->quoted.end(), src.quoted.begin(), src.quoted.end());
}

// Appends the expansions of w to out. Returns false when out would pass kBraceMaxWords.
bool expand_word(const marked_word &w, std::vector<marked_word> *out) {
    for (size_t open = 0; open < w.bytes.size(); open++) {
        if (!is_special(w, open, '{')) continue;
        bool has_comma;
        size_t close = find_close(w, open, &has_comma);
        if (close == std::string::npos || !has_comma) continue;
        marked_word prefix = slice(w, 0, open);
        marked_word suffix = slice(w, close + 1, w.bytes.size());
        size_t start = open + 1;
        int level = 0;
        for (size_t i = start; i <= close; i++) {
            if (i < close && is_special(w, i, '{')) level++;
            if (i < close && is_special(w, i, '}')) level--;
            if (i == close || (level == 0 && is_special(w, i, ','))) {
                marked_word next = prefix;
                append(&next, slice(w, start, i));
                append(&next, suffix);
                if (!expand_word(next, out)) return false;
                start = i + 1;
            }
        }
        return true;
    }
    if (out->size() >= size_t(kBraceMaxWords)) return false;
    out->push_back(w);
    return true;
}

// Cuts text into marked words: quotes removed and their contents marked, words split at
// unquoted white space when split is set.
std::vector<marked_word> split_words(const char *text, bool split) {
    std::vector<marked_word> words;
    marked_word cur;
    bool in_word = false;
    char quote = 0;
    for (const char *s = text; *s; s++) {
        char c = *s;
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else {
                cur.bytes += c;
                cur.quoted.push_back(true);
            }
            continue;
        }
        if (split && ctype_is(static_cast<unsigned char>(c), kCtypeSpace)) {
            if (in_word) words.push_back(cur);
            cur = marked_word();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '"' || c == '\'') {
            quote = c;
            cur.literal = true;
        } else {
            cur.bytes += c;
            cur.quoted.push_back(false);
        }
    }
    if (in_word) words.push_back(cur);
    return words;
}

}  // namespace

brace_word *brace_expand_string(const char *text, int *count, int mode) {
    std::vector<marked_word> words = split_words(text, mode != kBraceOneWord);
    std::vector<marked_word> out;
    for (const marked_word &w : words) {
        size_t before = out.size();
        if (!expand_word(w, &out)) {
            out.resize(before);
            out.push_back(w);
        }
    }
    brace_word *result =
        static_cast<brace_word *>(chk_alloc(unsigned((out.size() + 1) * sizeof(brace_word))));
    for (size_t i = 0; i < out.size(); i++) {
        size_t len = out[i].bytes.size();
        result[i].text = static_cast<char *>(chk_alloc(unsigned(len + 1)));
        std::memcpy(result[i].text, out[i].bytes.data(), len);
        result[i].text[len] = 0;
        result[i].flags = out[i].literal ? kBraceWordLiteral : 0;
    }
    *count = int(out.size());
    return result;
}

void brace_free_words(brace_word *words, int count) {
    if (!words) return;
    for (int i = 0; i < count; i++) chk_free(words[i].text);
    chk_free(words);
}

}  // namespace zn
