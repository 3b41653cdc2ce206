#include "lib/findexec.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "lib/filename.h"
#include "lib/path.h"

namespace zn {
namespace {

constexpr mode_t kAnyExecute = 0111;
constexpr mode_t kOwnerExecute = 0100;

char *path_cursor = nullptr;  // where next_path_element continues; null when exhausted

int list_delimiter() {
    return static_cast<unsigned char>(filename_path_delimiter()[0]);
}

// Removes every double quote from s in place.
void drop_quotes(char *s) {
    char *out = s;
    for (const char *in = s; *in != '\0'; in++) {
        if (*in != '"') *out++ = *in;
    }
    *out = '\0';
}

// Returns a new string: element joined to name, "." standing for an empty element, and
// tilde-expanded when it starts with '~'.
char *candidate_in(const char *element, const char *name) {
    char *candidate = filename_append_filename(element[0] != '\0' ? element : ".", name);
    if (candidate[0] == '~') {
        char *expanded = tilde_expand(candidate);
        chk_free(candidate);
        candidate = expanded;
    }
    return candidate;
}

// Replaces *dir_out with dir, freeing the previous string.
void store_dir(char **dir_out, char *dir) {
    chk_free(*dir_out);
    *dir_out = dir;
}

}  // namespace

char *next_path_element(char *list, int delim) {
    char *start = list != nullptr ? list : path_cursor;
    if (start == nullptr) return nullptr;
    char *end = std::strchr(start, delim);
    if (end != nullptr && delim != '\0') {
        *end = '\0';
        path_cursor = end + 1;
    } else {
        path_cursor = nullptr;
    }
    return start;
}

char *check_executable(const char *path, struct stat *st) {
    struct stat local;
    if (st == nullptr) st = &local;

    // 1. It must open for reading. O_NONBLOCK keeps a FIFO of that name from hanging the search;
    // O_NOCTTY keeps a terminal from becoming ours.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    close(fd);
    // 2. stat follows a symbolic link, so from here on a link is judged by its target.
    if (stat(path, st) != 0) return nullptr;
    // 3. Not a directory, however its execute bits stand.
    if (S_ISDIR(st->st_mode)) return nullptr;
    // 4. Some execute bit.
    if ((st->st_mode & kAnyExecute) == 0) return nullptr;

    if (std::strncmp(path, "./", 2) == 0) path += 2;
    return chk_strdup(path);
}

char *find_exec_path2(const char *path_list, const char *name, int flag) {
    (void)flag;
    if (path_list == nullptr) return nullptr;

    if (filename_first_component(name) != nullptr) {
        if (is_absolute(name)) return check_executable(name, nullptr);
        // "./" and the slashes after it name the current directory: ".//x" is "x", never "/x".
        while (std::strncmp(name, "./", 2) == 0) {
            name += 2;
            while (*name == '/') name++;
        }
        char *joined = filename_append_filename(get_cwd(), name);
        char *found = check_executable(joined, nullptr);
        chk_free(joined);
        return found;
    }

    char *list = chk_strdup(path_list);
    char *found = nullptr;
    for (char *element = next_path_element(list, list_delimiter()); element != nullptr;
         element = next_path_element(nullptr, list_delimiter())) {
        drop_quotes(element);
        char *candidate = candidate_in(element, name);
        found = check_executable(candidate, nullptr);
        chk_free(candidate);
        if (found != nullptr) break;
    }
    chk_free(list);
    return found;
}

char *find_exec_path(const char *path_list, const char *name) {
    char *found = find_exec_path2(path_list, name, 0);
    if (found == nullptr) return nullptr;
    char *resolved = realpath(found, nullptr);  // allocated by the C library, at any length
    if (resolved == nullptr) return found;
    chk_free(found);
    char *result = chk_strdup(resolved);
    std::free(resolved);
    return result;
}

time_t find_executable_mtime(const char *name, char **dir_out) {
    const char *last = filename_last_component(name);
    if (last != nullptr) {
        if (dir_out != nullptr) {
            size_t n = static_cast<size_t>(last - name);
            char *dir = static_cast<char *>(chk_alloc(static_cast<unsigned>(n + 1)));
            std::memcpy(dir, name, n);
            dir[n] = '\0';
            store_dir(dir_out, dir);
        }
        struct stat st;
        return stat(name, &st) == 0 ? st.st_mtime : 0;
    }
    time_t mtime = find_in_path_mtime(std::getenv("PATH"), name, dir_out);
    if (mtime == 0) mtime = find_in_path_mtime(std::getenv("ZNPATH"), name, dir_out);
    return mtime;
}

time_t find_in_path_mtime(const char *path_list, const char *name, char **dir_out) {
    if (path_list == nullptr) return 0;

    char *list = chk_strdup(path_list);
    time_t mtime = 0;
    for (char *element = next_path_element(list, list_delimiter()); element != nullptr;
         element = next_path_element(nullptr, list_delimiter())) {
        char *candidate = candidate_in(element, name);
        struct stat st;
        bool accepted =
            stat(candidate, &st) == 0 && !S_ISDIR(st.st_mode) && (st.st_mode & kOwnerExecute) != 0;
        chk_free(candidate);
        if (!accepted) continue;
        mtime = st.st_mtime;
        if (dir_out != nullptr) {
            // tilde_expand copies an element without a leading '~'.
            store_dir(dir_out, element[0] != '\0' ? tilde_expand(element) : chk_strdup("."));
        }
        break;
    }
    chk_free(list);
    return mtime;
}

}  // namespace zn
