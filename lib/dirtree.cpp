#include "lib/dirtree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "lib/chk.h"
#include "lib/filename.h"

namespace zn {
namespace {

constexpr mode_t kSearchBits = 0111;  // added to every directory's mode

// Makes one directory. Returns 0 when it was made or already exists as a directory, else -1.
int make_one(const char *dir, int mode) {
    if (mkdir(dir, static_cast<mode_t>(mode) | kSearchBits) == 0) return 0;
    if (errno != EEXIST) return -1;
    struct stat st;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    errno = EEXIST;
    return -1;
}

// make_directory_tree2 on a writable copy: the path is cut at each '/' in turn and put back.
int make_parents(char *path, int mode) {
    char *last = filename_last_component(path);
    if (last == nullptr) return -1;
    if (last == path) return 0;  // directly under the root

    // 1. Usually the parent's parent exists: one mkdir does it.
    *last = '\0';
    int result = make_one(path, mode);
    *last = '/';
    if (result == 0) return 0;

    // 2. Otherwise every prefix from the top down. Failures on the way are not reported (an
    // ancestor that exists is fine); the prefix above the last component decides.
    for (char *slash = filename_first_component(path); slash != nullptr;
         slash = filename_first_component(slash + 1)) {
        if (slash == path) continue;  // the root
        *slash = '\0';
        result = make_one(path, mode);
        *slash = '/';
        if (slash == last) break;
    }
    return result;
}

}  // namespace

int make_directory_tree(const char *dir, int mode) {
    if (dir == nullptr || dir[0] == '\0') {
        std::puts("make_directory_tree: Attempting to make NULL directory");
        return -1;
    }
    // A dummy last component makes dir itself the part above it.
    char *path = chk_makestr(dir, "/junk", nullptr);
    int result = make_parents(path, mode);
    chk_free(path);
    return result;
}

int make_directory_tree2(const char *path, int mode) {
    char *copy = chk_strdup(path);
    int result = make_parents(copy, mode);
    chk_free(copy);
    return result;
}

int mkdir_open(const char *path, int oflag, int mode) {
    int fd = open(path, oflag, mode);
    if (fd >= 0) return fd;
    if (make_directory_tree2(path, mode) < 0) return -1;
    return open(path, oflag, mode);
}

FILE *mkdir_fopen(const char *path, const char *fmode, int dirmode) {
    FILE *f = std::fopen(path, fmode);
    if (f != nullptr) return f;
    if (make_directory_tree2(path, dirmode) < 0) return nullptr;
    return std::fopen(path, fmode);
}

}  // namespace zn
