// Helpers shared by the wildcard engine's file-system tests: a fresh temporary directory per test
// that is also the current directory while the test runs.
#ifndef ZN_TESTS_WILD_WILD_TEST_UTIL_H
#define ZN_TESTS_WILD_WILD_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lib/path.h"
#include "support/scratch.h"
#include "wild/glob.h"

namespace zn {
namespace testing_util {

// Sets environment variables for a test; SavedProcessState puts them back.
inline void set_env(const char *name, const char *value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// A fresh directory under /tmp that is the current directory for the test's lifetime. The old
// current directory, umask, globbing limits and path caches are put back afterwards, and the
// directory is removed.
class TempDirTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_ = std::make_unique<zn_test::SavedProcessState>();
        temp_ = std::make_unique<zn_test::TempDir>();
        char real[PATH_MAX];
        ASSERT_NE(realpath(temp_->path().c_str(), real), nullptr);
        dir_ = real;  // the walk names directories by getcwd, which resolves links
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        path_cache_reset();
        saved_max_count_ = wild_limit_max_count;
        saved_timeout_ = wild_limit_timeout;
    }
    void TearDown() override {
        wild_limit_max_count = saved_max_count_;
        wild_limit_timeout = saved_timeout_;
        saved_.reset();  // back to the old directory before the scratch one goes
        temp_.reset();
        path_cache_reset();
    }

    // Creates the file path (relative to the test directory).
    void file(const std::string &path) { zn_test::write_file(path, "x"); }
    // Creates the directory path (relative), its parents included.
    void dir(const std::string &path) {
        for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1))
            mkdir(path.substr(0, pos).c_str(), 0755);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    }
    std::string abs(const std::string &rel) const { return rel.empty() ? dir_ : dir_ + "/" + rel; }
    std::string cwd() const {
        char buf[PATH_MAX];
        return getcwd(buf, sizeof buf) ? buf : "";
    }

    std::string dir_;

   private:
    std::unique_ptr<zn_test::SavedProcessState> saved_;
    std::unique_ptr<zn_test::TempDir> temp_;
    int saved_max_count_ = 0;
    int saved_timeout_ = 0;
};

// The names of a result list, which is freed.
inline std::vector<std::string> names_of(wild_entry *list) {
    std::vector<std::string> out;
    if (!list) return out;
    for (int i = 0; list[i].name; i++) out.push_back(list[i].name);
    wild_free_list(list);
    return out;
}

}  // namespace testing_util
}  // namespace zn

#endif  // ZN_TESTS_WILD_WILD_TEST_UTIL_H
