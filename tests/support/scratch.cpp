#include "support/scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zn_test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/zn-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    remove_tree(path_);
}

SavedProcessState::SavedProcessState(std::vector<std::string> env_names) {
    char buf[8192];
    if (getcwd(buf, sizeof buf) != nullptr) cwd_ = buf;
    umask_ = umask(022);
    umask(umask_);
    for (const auto &name : env_names) {
        const char *v = getenv(name.c_str());
        env_.push_back({name, {v != nullptr, v ? v : ""}});
    }
}

SavedProcessState::~SavedProcessState() {
    if (!cwd_.empty() && chdir(cwd_.c_str()) < 0) std::abort();
    umask(umask_);
    for (const auto &e : env_) {
        if (e.second.first)
            setenv(e.first.c_str(), e.second.second.c_str(), 1);
        else
            unsetenv(e.first.c_str());
    }
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);  // a test may have left it unreadable
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                remove_tree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    if (write(fd, content.data(), content.size()) != ssize_t(content.size()))
        throw std::runtime_error("cannot write " + path);
    fchmod(fd, mode_t(mode));
    close(fd);
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

void walk(const std::string &root, const std::string &rel, std::map<std::string, TreeEntry> &out) {
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string r = rel.empty() ? name : rel + "/" + name;
        std::string full = root + "/" + r;
        struct stat st;
        if (lstat(full.c_str(), &st) < 0) continue;
        TreeEntry entry{'?', int(st.st_mode & 07777), ""};
        if (S_ISDIR(st.st_mode)) {
            entry.kind = 'd';
            walk(root, r, out);
        } else if (S_ISLNK(st.st_mode)) {
            entry.kind = 'l';
            entry.mode = 0;  // link modes carry no meaning
            char target[4096];
            ssize_t n = readlink(full.c_str(), target, sizeof target);
            entry.data.assign(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            entry.kind = 'f';
            entry.data = read_file(full);
        }
        out[r] = entry;
    }
    closedir(d);
}

}  // namespace

std::map<std::string, TreeEntry> snapshot_tree(const std::string &root) {
    std::map<std::string, TreeEntry> out;
    walk(root, "", out);
    return out;
}

std::string diff_trees(const std::map<std::string, TreeEntry> &want,
                       const std::map<std::string, TreeEntry> &got) {
    for (const auto &kv : want) {
        auto it = got.find(kv.first);
        if (it == got.end()) return "missing: " + kv.first;
        const TreeEntry &a = kv.second, &b = it->second;
        if (a.kind != b.kind) return "kind of " + kv.first + ": " + a.kind + " vs " + b.kind;
        if (a.mode != b.mode) {
            std::ostringstream s;
            s << "mode of " << kv.first << ": " << std::oct << a.mode << " vs " << b.mode;
            return s.str();
        }
        if (a.data != b.data)
            return (a.kind == 'l' ? "target of " : "content of ") + kv.first + " differs";
    }
    for (const auto &kv : got)
        if (want.find(kv.first) == want.end()) return "unexpected: " + kv.first;
    return "";
}

}  // namespace zn_test
