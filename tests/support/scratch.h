// Scratch directories and small file helpers for the tests.
#ifndef ZN_TESTS_SUPPORT_SCRATCH_H
#define ZN_TESTS_SUPPORT_SCRATCH_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zn_test {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

// Keeps the current directory, umask and the named environment variables, and puts them back.
class SavedProcessState {
   public:
    explicit SavedProcessState(std::vector<std::string> env_names = {});
    ~SavedProcessState();

   private:
    std::string cwd_;
    mode_t umask_;
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> env_;
};

void remove_tree(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
bool exists(const std::string &path);  // lstat succeeds

// One entry of a tree as seen on disk: kind ('f', 'd', 'l'), permission bits, and the content
// (file) or target (link).
struct TreeEntry {
    char kind;
    int mode;
    std::string data;
    bool operator==(const TreeEntry &o) const {
        return kind == o.kind && mode == o.mode && data == o.data;
    }
};

// Every entry below root (not root itself), keyed by its relative path. Links are not followed.
std::map<std::string, TreeEntry> snapshot_tree(const std::string &root);

// Describes the first difference between two snapshots, or "" when they are equal.
std::string diff_trees(const std::map<std::string, TreeEntry> &want,
                       const std::map<std::string, TreeEntry> &got);

}  // namespace zn_test

#endif  // ZN_TESTS_SUPPORT_SCRATCH_H
