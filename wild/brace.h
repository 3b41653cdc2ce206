// Brace expansion: splits a text into words and expands "{a,b}" lists inside each word, as a
// shell would. Purely textual.
//
// Rules:
//   - Mode kBraceSplitWords cuts the text into words at runs of unquoted white space; mode
//     kBraceOneWord takes the whole text as one word, white space included. An empty text (or, when
//     splitting, one of white space only) gives no words.
//   - Single or double quotes quote what lies between them (white space, braces, commas); the
//     quote marks themselves are removed. An unclosed quote runs to the end of the text. A word
//     with any quoted part is marked kBraceWordLiteral: it is to be taken as it is, not globbed.
//   - In the unquoted parts, "{" with its matching "}" and at least one "," at its own level is a
//     list: the word becomes one word per alternative (prefix + alternative + suffix), in order,
//     and each of those is expanded again, so lists may nest and follow one another. "{}", "{a}"
//     and a "{" without its "}" stay as they are.
//   - A word whose expansion would pass kBraceMaxWords words in all is kept unexpanded.
#ifndef ZN_WILD_BRACE_H
#define ZN_WILD_BRACE_H

namespace zn {

enum : int {
    kBraceSplitWords = 2,  // mode: split at white space
    kBraceOneWord = 3,     // mode: the text is one word
};

enum : int {
    kBraceWordLiteral = 0x1,  // brace_word.flags: take the word as it is, without globbing
};

enum : int {
    kBraceMaxWords = 10000,  // words one call may produce
};

struct brace_word {
    char *text;  // owned, NUL-terminated; free with chk_free
    int flags;   // kBraceWordLiteral or 0
};

// Returns a new array of *count words (the caller frees each text and then the array with
// chk_free, or calls brace_free_words). With no words, *count is 0 and the array holds nothing.
// REQUIRES: mode is kBraceSplitWords or kBraceOneWord; text is NUL-terminated.
brace_word *brace_expand_string(const char *text, int *count, int mode);

// Frees the texts of count words and the array itself; words may be null.
void brace_free_words(brace_word *words, int count);

}  // namespace zn

#endif  // ZN_WILD_BRACE_H
