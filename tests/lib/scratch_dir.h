// Test helpers for the file-system modules: a fresh temporary directory that the test runs in,
// and a guard that restores one environment variable.
#ifndef ZN_TESTS_LIB_SCRATCH_DIR_H
#define ZN_TESTS_LIB_SCRATCH_DIR_H

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lib/path.h"

namespace zn {

// Makes a fresh directory under /tmp, changes into it and sets the umask to 022; on destruction
// changes back, restores the umask, removes the directory and everything in it, and empties the
// path caches (which would otherwise remember the scratch directory).
class ScratchDir {
   public:
    ScratchDir() {
        old_umask_ = umask(022);
        old_cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        char templ[] = "/tmp/zn-lib-XXXXXX";
        EXPECT_NE(mkdtemp(templ), nullptr);
        EXPECT_EQ(chdir(templ), 0);
        char *real = realpath(templ, nullptr);  // /tmp may itself be a link
        path_ = real != nullptr ? real : templ;
        std::free(real);
        path_cache_reset();
    }
    ~ScratchDir() {
        EXPECT_EQ(fchdir(old_cwd_), 0);
        close(old_cwd_);
        umask(old_umask_);
        nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        path_cache_reset();
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    // The directory's canonical absolute path.
    const std::string &path() const { return path_; }
    std::string path(const std::string &rel) const { return path_ + "/" + rel; }

   private:
    static int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
        remove(p);
        return 0;
    }
    mode_t old_umask_;
    int old_cwd_;
    std::string path_;
};

// Restores one environment variable to what it was when the guard was made.
class EnvGuard {
   public:
    explicit EnvGuard(const char *name) : name_(name) {
        const char *v = std::getenv(name);
        had_ = v != nullptr;
        if (had_) old_ = v;
    }
    ~EnvGuard() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
        path_cache_reset();
    }
    void set(const std::string &value) { setenv(name_.c_str(), value.c_str(), 1); }
    void unset() { unsetenv(name_.c_str()); }

   private:
    std::string name_;
    bool had_;
    std::string old_;
};

// Creates a file with the given text and mode (chmod, so the umask does not interfere).
inline void make_file(const std::string &path, mode_t mode, const std::string &text = "x") {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Returns the permission bits of path, or -1 when it does not exist.
inline int mode_of(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return int(st.st_mode & 07777);
}

}  // namespace zn

#endif  // ZN_TESTS_LIB_SCRATCH_DIR_H
