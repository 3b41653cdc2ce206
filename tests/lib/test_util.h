// Helpers for the support-library tests.
#ifndef ZN_TESTS_LIB_TEST_UTIL_H
#define ZN_TESTS_LIB_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lib/chk.h"
#include "lib/path.h"
#include "support/scratch.h"

namespace zn {

// Frees a chk string and returns its text ("(null)" for null).
inline std::string take(char *s) {
    std::string out = s != nullptr ? s : "(null)";
    chk_free(s);
    return out;
}

// A fresh directory under /tmp to run in, umask 022. Going away, it restores the directory and
// umask, removes the tree and empties the path caches (which would remember the scratch path).
class ScratchDir {
   public:
    ScratchDir() {
        umask(022);
        char *real = realpath(temp_.path().c_str(), nullptr);  // /tmp may itself be a link
        path_ = real != nullptr ? real : temp_.path();
        std::free(real);
        EXPECT_EQ(chdir(path_.c_str()), 0);
        path_cache_reset();
    }
    ~ScratchDir() { path_cache_reset(); }  // then saved_ goes back, then temp_ is removed
    std::string path(const std::string &rel = "") const {
        return rel.empty() ? path_ : path_ + "/" + rel;
    }

   private:
    zn_test::TempDir temp_;
    zn_test::SavedProcessState saved_;
    std::string path_;
};

// Restores one environment variable, and empties the path caches, when it goes.
class EnvGuard {
   public:
    explicit EnvGuard(const char *name) : name_(name), had_(std::getenv(name) != nullptr) {
        if (had_) old_ = std::getenv(name);
    }
    ~EnvGuard() {
        had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str());
        path_cache_reset();
    }
    void set(const std::string &value) { setenv(name_.c_str(), value.c_str(), 1); }
    void unset() { unsetenv(name_.c_str()); }

   private:
    std::string name_;
    bool had_;
    std::string old_;
};

// Creates a file holding text, with exactly the given mode.
inline void make_file(const std::string &path, mode_t mode, const std::string &text = "x") {
    zn_test::write_file(path, text, int(mode));
}

// The permission bits of path, or -1 when it does not exist.
inline int mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

}  // namespace zn

#endif  // ZN_TESTS_LIB_TEST_UTIL_H
