#include "wild/brace.h"

#include <cstring>

#include "lib/chk.h"
#include "lib/ctype_table.h"
#include "string/dstr.h"

namespace zn {

namespace {

// A word during expansion: its bytes, and for each byte whether it was quoted (1) or not (0).
struct marked_word {
    dstr bytes;
    dstr quoted;
    int literal;
};

void word_init(marked_word *w, int literal) {
    dstr_init(&w->bytes, 16);
    dstr_init(&w->quoted, 16);
    w->literal = literal;
}

void word_free(marked_word *w) {
    dstr_free(&w->bytes);
    dstr_free(&w->quoted);
}

void word_add(marked_word *w, char c, char quoted) {
    dstr_add_char(&w->bytes, c);
    dstr_add_char(&w->quoted, quoted);
}

// Appends bytes [from, to) of src to dst.
void word_append(marked_word *dst, const marked_word *src, int from, int to) {
    dstr_add_mem(&dst->bytes, src->bytes.dl_ptr + from, to - from);
    dstr_add_mem(&dst->quoted, src->quoted.dl_ptr + from, to - from);
}

bool is_special(const marked_word *w, int i, char c) {
    return w->bytes.dl_ptr[i] == c && !w->quoted.dl_ptr[i];
}

// Returns the index of the "}" matching the "{" at open, or -1; *has_comma tells whether a ","
// stands at the list's own level.
int find_close(const marked_word *w, int open, bool *has_comma) {
    int level = 0;
    *has_comma = false;
    for (int i = open + 1; i < w->bytes.dl_len; i++) {
        if (is_special(w, i, '{')) {
            level++;
        } else if (is_special(w, i, '}')) {
            if (level == 0) return i;
            level--;
        } else if (is_special(w, i, ',') && level == 0) {
            *has_comma = true;
        }
    }
    return -1;
}

// The words produced so far: a dstr used as an array of brace_word.
int out_count(const dstr *out) {
    return out->dl_len / int(sizeof(brace_word));
}

void out_push(dstr *out, const marked_word *w) {
    brace_word word;
    int len = w->bytes.dl_len;
    word.text = static_cast<char *>(chk_alloc(unsigned(len + 1)));
    std::memcpy(word.text, w->bytes.dl_ptr, size_t(len));
    word.text[len] = 0;
    word.flags = w->literal ? kBraceWordLiteral : 0;
    dstr_add_mem(out, &word, int(sizeof word));
}

void out_truncate(dstr *out, int count) {
    brace_word *words = reinterpret_cast<brace_word *>(out->dl_ptr);
    for (int i = count; i < out_count(out); i++) chk_free(words[i].text);
    out->dl_len = count * int(sizeof(brace_word));
}

// Appends the expansions of w to out. Returns false when out would pass kBraceMaxWords.
bool expand_word(const marked_word *w, dstr *out) {
    for (int open = 0; open < w->bytes.dl_len; open++) {
        if (!is_special(w, open, '{')) continue;
        bool has_comma;
        int close = find_close(w, open, &has_comma);
        if (close < 0 || !has_comma) continue;
        int start = open + 1;
        int level = 0;
        for (int i = start; i <= close; i++) {
            if (i < close && is_special(w, i, '{')) level++;
            if (i < close && is_special(w, i, '}')) level--;
            if (i == close || (level == 0 && is_special(w, i, ','))) {
                marked_word next;
                word_init(&next, w->literal);
                word_append(&next, w, 0, open);
                word_append(&next, w, start, i);
                word_append(&next, w, close + 1, w->bytes.dl_len);
                bool ok = expand_word(&next, out);
                word_free(&next);
                if (!ok) return false;
                start = i + 1;
            }
        }
        return true;
    }
    if (out_count(out) >= kBraceMaxWords) return false;
    out_push(out, w);
    return true;
}

// Ends the word being built: expands it into out, or keeps it as typed when it would expand
// into too many words.
void finish_word(marked_word *w, dstr *out) {
    int before = out_count(out);
    if (!expand_word(w, out)) {
        out_truncate(out, before);
        out_push(out, w);
    }
    word_free(w);
}

}  // namespace

brace_word *brace_expand_string(const char *text, int *count, int mode) {
    bool split = mode != kBraceOneWord;
    dstr out;
    dstr_init(&out, int(sizeof(brace_word)) * 4);
    marked_word cur;
    word_init(&cur, 0);
    bool in_word = false;
    char quote = 0;
    // Quotes are removed and their contents marked; words end at unquoted white space when
    // splitting.
    for (const char *s = text; *s; s++) {
        char c = *s;
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else {
                word_add(&cur, c, 1);
            }
            continue;
        }
        if (split && ctype_is(static_cast<unsigned char>(c), kCtypeSpace)) {
            if (in_word) {
                finish_word(&cur, &out);
                word_init(&cur, 0);
            }
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '"' || c == '\'') {
            quote = c;
            cur.literal = 1;
        } else {
            word_add(&cur, c, 0);
        }
    }
    if (in_word) {
        finish_word(&cur, &out);
    } else {
        word_free(&cur);
    }
    *count = out_count(&out);
    // The caller owns the array: the dstr's buffer, with room for at least one record.
    dstr_reserve_zero(&out, int(sizeof(brace_word)));
    return reinterpret_cast<brace_word *>(out.dl_ptr);
}

void brace_free_words(brace_word *words, int count) {
    if (!words) return;
    for (int i = 0; i < count; i++) chk_free(words[i].text);
    chk_free(words);
}

}  // namespace zn
