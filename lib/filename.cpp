#include "lib/filename.h"

#include <libgen.h>  // the POSIX basename; declares ::dirname too, which never meets zn::dirname

#include <cstring>

#include "lib/chk.h"

namespace zn {
namespace {

// The set the n-th-component searches test each character against. It is a constant of its own
// and does not follow wild_filename_delimiter.
constexpr char kComponentDelimiters[] = "/";
constexpr char kPathListDelimiter[] = ":";

int monocase_setting = 0;

bool is_component_delimiter(char c) {
    return c != '\0' && std::strchr(kComponentDelimiters, c) != nullptr;
}

}  // namespace

const char *wild_filename_delimiter = "/";

int filename_is_delim(int ch) {
    return ch == '/' ? 1 : 0;
}

int is_absolute(const char *name) {
    return filename_is_delim(static_cast<unsigned char>(name[0]));
}

const char *filename_delimiter() {
    return wild_filename_delimiter;
}

const char *filename_path_delimiter() {
    return kPathListDelimiter;
}

const char *filename_first_component(const char *name) {
    return std::strchr(name, '/');
}

const char *filename_last_component(const char *name) {
    return std::strrchr(name, '/');
}

const char *filename_nth_first_component(const char *name, int n) {
    for (const char *p = name; *p != '\0'; p++) {
        if (is_component_delimiter(*p) && --n < 1) return p;
    }
    return nullptr;
}

const char *filename_nth_last_component(const char *name, int n) {
    for (const char *p = name + std::strlen(name); p > name;) {
        --p;
        if (is_component_delimiter(*p) && --n < 1) return p;
    }
    return nullptr;
}

const char *filename_extension(const char *name) {
    for (const char *p = name + std::strlen(name); p > name;) {
        --p;
        if (*p == '.') return p + 1;
        if (filename_is_delim(static_cast<unsigned char>(*p))) return nullptr;
    }
    return nullptr;
}

char *filename_basename(char *name) {
    return ::basename(name);
}

char *file_extension(char *name) {
    return std::strrchr(filename_basename(name), '.');
}

char *dirname(const char *name) {
    const char *last = filename_last_component(name);
    if (last == nullptr) return chk_strdup(".");
    if (last == name) return chk_strdup("/");
    size_t n = static_cast<size_t>(last - name);
    char *result = static_cast<char *>(chk_alloc(static_cast<unsigned>(n + 1)));
    std::memcpy(result, name, n);
    result[n] = '\0';
    return result;
}

char *filename_dirname(const char *name) {
    return dirname(name);
}

char *filename_dirname2(const char *name, int n) {
    if (n < 1) return chk_strdup(name);
    size_t len = std::strlen(name);
    if (len == 0) return chk_strdup(".");
    // Each pass scans leftwards from pos for a delimiter; the next pass starts just left of it.
    size_t pos = len;  // one past the first character the pass examines
    for (int pass = 1;; pass++) {
        size_t at = pos;
        while (at > 0 && !filename_is_delim(static_cast<unsigned char>(name[at - 1]))) at--;
        if (at == 0) return chk_strdup(".");  // relative name out of delimiters
        size_t slash = at - 1;
        if (slash == 0) return chk_strdup("/");  // reached the root of an absolute name
        if (pass == n) {
            char *result = static_cast<char *>(chk_alloc(static_cast<unsigned>(slash + 1)));
            std::memcpy(result, name, slash);
            result[slash] = '\0';
            return result;
        }
        pos = slash;
    }
}

char *filename_append_filename(const char *dir, const char *name) {
    if (is_absolute(name) || dir[0] == '\0') return chk_strdup(name);
    if (name[0] == '\0') return chk_strdup(dir);

    size_t dir_len = std::strlen(dir);
    const char *delim = wild_filename_delimiter;
    char last = dir[dir_len - 1];
    if (last == '/' || last == '\\') delim = "";
    char *joined = chk_makestr(dir, delim, name, nullptr);
    char *result = string_normalize_quotes(joined);
    chk_free(joined);
    return result;
}

char *string_normalize_quotes(const char *s) {
    size_t len = std::strlen(s);
    bool quoted = std::strchr(s, ' ') != nullptr && std::strchr(s, '"') != nullptr;
    // The result is never longer than s plus two quotes and the NUL.
    char *out = static_cast<char *>(chk_alloc(unsigned(len + 3)));
    char *at = out;
    if (quoted) *at++ = '"';
    for (const char *p = s; *p != '\0'; p++) {
        if (*p != '"') *at++ = *p;
    }
    if (quoted) *at++ = '"';
    *at = '\0';
    return out;
}

int filename_strcmp(const char *a, const char *b) {
    return std::strcmp(a, b);
}

char *filename_long_to_short(const char *name) {
    return chk_strdup(name);
}

char *filename_short_to_long(const char *name) {
    return chk_strdup(name);
}

int filename_get_drive(const char *name) {
    (void)name;
    return 0;
}

int is_unc_filename(const char *name) {
    (void)name;
    return 0;
}

const char *filename_skip_drive(const char *name) {
    return name;
}

const char *filename_skip_unc(const char *name) {
    return name;
}

char *forwardslash_to_back(char *name) {
    return name;
}

char *backslash_to_fwd(char *name) {
    return name;
}

char *monocase_filename(char *name) {
    return name;
}

char *filename_normalize(char *name) {
    return name;
}

int filename_monocase_enable(int flag) {
    if (flag >= 0) monocase_setting = flag;
    return monocase_setting;
}

char *overlap_strcpy(char *dst, const char *src) {
    std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}

}  // namespace zn
