#include "wild/expand.h"

#include <cstring>

#include "lib/chk.h"
#include "lib/filename.h"
#include "lib/path.h"
#include "string/dstr.h"
#include "wild/brace.h"
#include "wild/sort.h"
#include "wild/wild_match.h"

namespace zn {

namespace {

// The last result of expand_filename, owned here.
char *last_expansion = nullptr;

char *copy_string(const char *s) {
    size_t len = std::strlen(s);
    char *out = static_cast<char *>(chk_alloc(unsigned(len + 1)));
    std::memcpy(out, s, len + 1);
    return out;
}

// The output list of expand_directory_tree. items[count].name is null whenever items is set.
struct tree_list {
    wild_entry *items;
    int count;
    int capacity;
};

// Makes room for a batch of n more records: the first batch gets twice its size, and a batch that
// does not fit grows the room by twice the batch plus 4 records.
void tree_reserve(tree_list *t, int n) {
    if (!t->items) {
        t->capacity = 2 * n + 1;
        t->items =
            static_cast<wild_entry *>(chk_zalloc(unsigned(t->capacity * sizeof(wild_entry))));
        return;
    }
    if (t->count + n + 1 <= t->capacity) return;
    int capacity = t->capacity + 2 * n + 4;
    t->items =
        static_cast<wild_entry *>(chk_realloc(t->items, unsigned(capacity * sizeof(wild_entry))));
    std::memset(t->items + t->capacity, 0, (capacity - t->capacity) * sizeof(wild_entry));
    t->capacity = capacity;
}

// A directory on the current descent, to recognise a link that leads back up the tree.
struct tree_ancestor {
    dev_t dev;
    ino_t ino;
    const tree_ancestor *up;
};

bool on_descent(const tree_ancestor *a, const struct stat64 &st) {
    for (; a; a = a->up) {
        if (a->dev == st.st_dev && a->ino == st.st_ino) return true;
    }
    return false;
}

bool is_dot_or_dotdot(const char *path) {
    const char *last = filename_last_component(path);
    last = last ? last + 1 : path;
    return std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0;
}

void tree_level(tree_list *out, const char *path, int flags, int depth, const tree_ancestor *up) {
    if (depth > kExpandTreeMaxDepth) return;
    const char *last = filename_last_component(path);
    last = last ? last + 1 : path;
    char *pattern;
    if (depth == 0 && is_wildcard(last)) {
        pattern = copy_string(path);
    } else {
        pattern = chk_makestr(path, wild_filename_delimiter, "*", static_cast<char *>(nullptr));
    }
    wild_entry *list = glob_filenames(pattern, flags);
    chk_free(pattern);
    if (!list) return;
    int n = wild_list_length(list);
    tree_reserve(out, n);
    for (int i = 0; i < n; i++) {
        wild_entry *e = &list[i];
        if (!S_ISDIR(e->status.st_mode)) {
            // Room was made for the whole batch, but deeper levels may have used it meanwhile.
            tree_reserve(out, 1);
            out->items[out->count++] = *e;
            out->items[out->count].name = nullptr;
            continue;
        }
        if (!is_dot_or_dotdot(e->name) && !on_descent(up, e->status)) {
            tree_ancestor here = {e->status.st_dev, e->status.st_ino, up};
            tree_level(out, e->name, flags | WILD_TREE_NESTED, depth + 1, &here);
        }
        chk_free(e->name);
    }
    chk_free(list);
}

}  // namespace

char *simplify_and_expand_filename(const char *text) {
    // 1. A command, or nothing at all.
    if (!text[0] || text[0] == '|' || text[0] == '!') return copy_string(text);
    // 2. Quotes around the whole text.
    char *copy;
    if (text[0] == '"' || text[0] == '\'') {
        copy = copy_string(text + 1);
        size_t len = std::strlen(copy);
        if (len > 0 && copy[len - 1] == text[0]) copy[len - 1] = 0;
    } else {
        copy = copy_string(text);
    }
    // 3. Environment references and wildcards; with no kind flags a wildcard finds nothing and
    // the text stays as typed.
    if (is_wildcard(copy)) {
        wild_entry *list = glob_filenames(copy, 0);
        if (!list) return copy;
        char *first = list[0].name;
        if (first) {
            list[0].name = copy;  // freed with the rest of the list
            copy = first;
        }
        wild_free_list(list);
    }
    // 4. Absolute and simple.
    char *result = simplify_filename(copy);
    chk_free(copy);
    return result;
}

const char *expand_filename(const char *text) {
    if (text[0] != '~' && !is_wildcard(text)) return text;
    // text may be the previous result (a name that holds a '$'), so that is freed only once
    // the expansion is done with it.
    char **words = shell_expand(text, WILD_FILES | WILD_DIRS);
    chk_free(last_expansion);
    last_expansion = nullptr;
    if (!words) return "";
    for (int i = 0; words[i]; i++) {
        if (!last_expansion && words[i][0])
            last_expansion = words[i];
        else
            chk_free(words[i]);
    }
    chk_free(words);
    return last_expansion ? last_expansion : "";
}

char **shell_expand(const char *text, int flags) {
    dstr out;
    dstr_init(&out, 8 * int(sizeof(char *)));
    char *word;
    if (text[0] == '!' || text[0] == '|') {
        word = copy_string(text);
        dstr_add_mem(&out, &word, int(sizeof word));
        word = nullptr;
        dstr_add_mem(&out, &word, int(sizeof word));
        return reinterpret_cast<char **>(out.dl_ptr);
    }
    int count = 0;
    brace_word *words = brace_expand_string(
        text, &count, (flags & WILD_BRACE_MODE3) ? kBraceOneWord : kBraceSplitWords);
    dstr gathered;
    dstr_init(&gathered, 8 * int(sizeof(wild_entry)));
    for (int i = 0; i < count; i++) {
        if (words[i].flags & kBraceWordLiteral) {
            wild_entry e;
            std::memset(&e, 0, sizeof e);
            e.name = words[i].text;
            e.size = int(std::strlen(e.name)) + 1;
            words[i].text = nullptr;
            dstr_add_mem(&gathered, &e, int(sizeof e));
            continue;
        }
        wild_entry *list = glob_filenames(words[i].text, count > 1 ? flags | WILD_NOSORT : flags);
        if (!list) continue;
        dstr_add_mem(&gathered, list, wild_list_length(list) * int(sizeof(wild_entry)));
        chk_free(list);  // the names now belong to gathered
    }
    brace_free_words(words, count);
    wild_entry *all = reinterpret_cast<wild_entry *>(gathered.dl_ptr);
    int n = gathered.dl_len / int(sizeof(wild_entry));
    if (count >= 2) {
        wild_sort_flags = flags;
        qsort(all, unsigned(n), sizeof(wild_entry), wild_compare);
    }
    const char *previous = nullptr;
    for (int i = 0; i < n; i++) {
        if (previous && std::strcmp(previous, all[i].name) == 0) {
            chk_free(all[i].name);
            continue;
        }
        dstr_add_mem(&out, &all[i].name, int(sizeof(char *)));
        previous = all[i].name;
    }
    dstr_free(&gathered);
    word = nullptr;
    dstr_add_mem(&out, &word, int(sizeof word));
    return reinterpret_cast<char **>(out.dl_ptr);
}

void expand_free_words(char **words) {
    if (!words) return;
    for (int i = 0; words[i]; i++) chk_free(words[i]);
    chk_free(words);
}

wild_entry *expand_directory_tree(const char *path, int flags) {
    // An empty path means the current directory, not the root that "/*" would name.
    if (!path[0]) path = ".";
    tree_list out = {nullptr, 0, 0};
    struct stat64 st;
    tree_ancestor top;
    const tree_ancestor *up = nullptr;
    if (wild_stat(path, &st, flags) == 0 && S_ISDIR(st.st_mode)) {
        top = {st.st_dev, st.st_ino, nullptr};
        up = &top;
    }
    tree_level(&out, path, flags, 0, up);
    if (!out.items) tree_reserve(&out, 0);
    return out.items;
}

}  // namespace zn
