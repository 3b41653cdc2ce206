#include "lib/path.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "lib/filename.h"

namespace zn {
namespace {

constexpr unsigned kCwdInitialSize = 1024;  // bytes first offered to getcwd; doubled on ERANGE
constexpr char kCwdRemoved[] = "/DIRECTORY-REMOVED";

char *cwd_cache = nullptr;   // owned; null or empty means "ask the system"
char *home_cache = nullptr;  // owned copy; null until "~" first needs it

// Asks the system for the working directory. Returns a new string, or null when the directory
// cannot be named.
char *system_cwd() {
    for (unsigned size = kCwdInitialSize;; size *= 2) {
        char *buf = static_cast<char *>(chk_alloc(size));
        buf[0] = '\0';
        if (getcwd(buf, size) != nullptr) return buf;
        int err = errno;
        chk_free(buf);
        if (err != ERANGE || size > 0x7FFFFFFFu / 2) return nullptr;
    }
}

// Returns the own home directory (cached), or null when neither HOME nor the password entry of
// the real user id names one.
const char *own_home() {
    if (home_cache != nullptr) return home_cache;
    const char *home = std::getenv("HOME");
    if (home != nullptr) {
        home_cache = chk_strdup(home);
    } else {
        struct passwd *pw = getpwuid(getuid());
        if (pw != nullptr && pw->pw_dir != nullptr) home_cache = chk_strdup(pw->pw_dir);
        endpwent();
    }
    return home_cache;
}

bool is_delim_at(const char *p) {
    return filename_is_delim(static_cast<unsigned char>(*p)) != 0;
}

// Returns the nearest delimiter left of p within name, or null.
char *delim_before(char *name, char *p) {
    for (char *q = p; q > name;) {
        --q;
        if (is_delim_at(q)) return q;
    }
    return nullptr;
}

// True when the component between the delimiters at q and p is "..": one that was left alone
// because nothing was there to climb out of, and that a later ".." must not take off either.
bool dotdot_between(const char *q, const char *p) {
    return p - q == 3 && q[1] == '.' && q[2] == '.';
}

}  // namespace

const char *get_cwd() {
    if (cwd_cache != nullptr && cwd_cache[0] != '\0') return cwd_cache;
    char *now = system_cwd();
    if (now == nullptr) now = chk_strdup(kCwdRemoved);
    chk_free(cwd_cache);
    cwd_cache = filename_normalize(now);
    return cwd_cache;
}

void get_cwd_changed_directory() {
    chk_free_ptr(&cwd_cache);
}

void path_cache_reset() {
    chk_free_ptr(&cwd_cache);
    chk_free_ptr(&home_cache);
}

char *simplify_filename(const char *name) {
    // 1. Empty names and commands pass through.
    if (name[0] == '\0' || name[0] == '|' || name[0] == '!') return chk_strdup(name);

    char *copy = chk_strdup(name);
    const char *cwd = get_cwd();
    forwardslash_to_back(copy);  // a no-op where '/' is the only delimiter

    // 2. Collapse runs of delimiters, then drop a trailing one (a lone "/" stays).
    for (char *p = copy; *p != '\0';) {
        if (is_delim_at(p) && is_delim_at(p + 1)) {
            overlap_strcpy(p, p + 1);
        } else {
            p++;
        }
    }
    size_t len = std::strlen(copy);
    if (len >= 2 && is_delim_at(copy + len - 1)) copy[len - 1] = '\0';

    // 3. Absolute names only need their dot components resolved.
    if (is_absolute(copy)) {
        wild_collapse(copy);
        return copy;
    }

    char *result;
    if (copy[0] == '~') {
        // 4. Home directories.
        result = tilde_expand(copy);
        if (result == nullptr) {
            chk_free(copy);
            return nullptr;
        }
    } else if (std::strcmp(cwd, "/") == 0) {
        // 5. Under the root: a plain concatenation, so no doubled delimiter.
        result = chk_makestr(filename_delimiter(), copy, nullptr);
    } else {
        result = filename_append_filename(cwd, copy);
    }
    chk_free(copy);
    wild_collapse(result);
    return result;
}

void wild_collapse(char *name) {
restart:
    for (char *p = name; *p != '\0'; p++) {
        if (!is_delim_at(p)) continue;

        // 1. A run of delimiters becomes one.
        if (is_delim_at(p + 1)) {
            char *q = p + 1;
            while (is_delim_at(q)) q++;
            overlap_strcpy(p + 1, q);
        }
        if (p[1] != '.') continue;  // 6. an ordinary component

        // 2. "/./": drop the "/.".
        if (is_delim_at(p + 2)) {
            overlap_strcpy(p, p + 2);
            goto restart;
        }
        // 3. "/." ending the name.
        if (p[2] == '\0') {
            if (p == name) {
                p[1] = '\0';
            } else {
                *p = '\0';
            }
            return;
        }
        if (p[2] != '.') continue;  // 6. ".profile" and the like

        // 4. "/../": remove the component before it.
        if (is_delim_at(p + 3)) {
            if (p == name) {
                overlap_strcpy(p, p + 3);  // above the root is the root
                goto restart;
            }
            char *q = delim_before(name, p);
            if (q != nullptr && !dotdot_between(q, p)) {
                overlap_strcpy(q, p + 3);
                goto restart;
            }
            continue;  // nothing to climb out of: a relative name's first component, or ".."
        }
        // 5. "/.." ending the name.
        if (p[3] == '\0') {
            char *q = p == name ? nullptr : delim_before(name, p);
            if (q != nullptr && dotdot_between(q, p)) return;
            if (q == name) {
                name[1] = '\0';
            } else if (q != nullptr) {
                *q = '\0';
            }
            return;
        }
        // 6. "/...", "/..x": an ordinary component.
    }
}

char *tilde_expand(const char *name) {
    if (name[0] != '~') return chk_strdup(name);

    const char *after = name + 1;
    const char *home;
    const char *rest;
    if (*after == '\0' || is_delim_at(after)) {
        home = own_home();
        if (home == nullptr) return chk_strdup(name);
        rest = *after == '\0' ? after : after + 1;
        return chk_makestr(home, "/", rest, nullptr);
    }

    const char *end = filename_first_component(after);
    size_t user_len = end != nullptr ? static_cast<size_t>(end - after) : std::strlen(after);
    char *user = static_cast<char *>(chk_alloc(static_cast<unsigned>(user_len + 1)));
    std::memcpy(user, after, user_len);
    user[user_len] = '\0';
    struct passwd *pw = getpwnam(user);
    chk_free(user);
    char *result;
    if (pw == nullptr || pw->pw_dir == nullptr) {
        result = chk_strdup(name);
    } else {
        rest = end != nullptr ? end + 1 : "";
        result = chk_makestr(pw->pw_dir, "/", rest, nullptr);
    }
    endpwent();
    return result;
}

char *remove_dotdot(const char *name) {
    // The output never outgrows the input: every byte written consumes one byte of input.
    size_t len = std::strlen(name);
    char *out = static_cast<char *>(chk_alloc(static_cast<unsigned>(len + 1)));
    size_t o = 0;
    for (size_t i = 0; name[i] != '\0';) {
        if (std::strncmp(name + i, "/../", 4) == 0) {
            out[o] = '\0';
            char *last = std::strrchr(out, '/');
            if (last != nullptr) {
                o = static_cast<size_t>(last - out);
                i += 3;  // continue at the '/' after ".."
            } else {
                o = 0;
                i += 4;
            }
            continue;
        }
        out[o++] = name[i++];
    }
    out[o] = '\0';
    return out;
}

}  // namespace zn
