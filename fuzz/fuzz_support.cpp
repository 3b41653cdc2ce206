#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zn_fuzz {

namespace {

// The standard error the process started with. Taken before libFuzzer parses its flags, so that
// it stays the terminal even when -close_fd_mask later points descriptor 2 at /dev/null.
int real_stderr = -1;

__attribute__((constructor)) void keep_real_stderr() {
    real_stderr = dup(STDERR_FILENO);
    if (real_stderr >= 0)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(real_stderr)));
}

struct capture_state {
    bool ready = false;
    int out_file = -1, err_file = -1;  // memory files that receive the text
    int prev_out = -1, prev_err = -1;  // what descriptors 1 and 2 were before the first capture
};
capture_state capture;

std::string read_whole(int fd) {
    std::string text;
    off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0) return text;
    text.resize(size_t(size));
    if (pread(fd, &text[0], text.size(), 0) != ssize_t(size)) fuzz_fail("reading a capture");
    return text;
}

std::string scratch_path;

void remove_scratch() {
    if (!scratch_path.empty()) remove_tree(scratch_path);
}

void snapshot_into(const std::string &root, const std::string &rel,
                   std::map<std::string, tree_entry> *out) {
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    for (const std::string &name : names) {
        std::string r = rel.empty() ? name : rel + "/" + name;
        std::string full = root + "/" + r;
        struct stat st;
        tree_entry t{'?', 0, 0, ""};
        if (lstat(full.c_str(), &st) == 0) {
            t.mode = int(st.st_mode & 07777);
            if (S_ISDIR(st.st_mode)) {
                t.kind = 'd';
            } else if (S_ISLNK(st.st_mode)) {
                t.kind = 'l';
                char target[4096];
                ssize_t n = readlink(full.c_str(), target, sizeof target);
                if (n > 0) t.data.assign(target, size_t(n));
                t.mode = 0;  // a link's own permissions mean nothing here
            } else if (S_ISREG(st.st_mode)) {
                t.kind = 'f';
                t.links = unsigned(st.st_nlink);
                int fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                if (fd >= 0) {
                    t.data = read_whole(fd);
                    close(fd);
                }
            }
        }
        (*out)[r] = t;
        if (t.kind == 'd') {
            // Directories made without permissions are opened up so that they can be read.
            chmod(full.c_str(), 0700);
            snapshot_into(root, r, out);
            chmod(full.c_str(), mode_t(t.mode));
        }
    }
}

}  // namespace

void fuzz_fail(const char *fmt, ...) {
    int fd = real_stderr >= 0 ? real_stderr : STDERR_FILENO;
    va_list ap;
    va_start(ap, fmt);
    char text[2048];
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    dprintf(fd, "fuzz check failed: %s\n", text);
    std::abort();
}

int memory_file(const uint8_t *data, size_t n) {
    int fd = memfd_create("zn-fuzz-input", MFD_CLOEXEC);
    if (fd < 0) fuzz_fail("memfd_create");
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(fd, data + done, n - done);
        if (put <= 0) fuzz_fail("writing a memory file");
        done += size_t(put);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) fuzz_fail("rewinding a memory file");
    return fd;
}

void output_capture_begin() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (!capture.ready) {
        capture.out_file = memfd_create("zn-fuzz-stdout", MFD_CLOEXEC);
        capture.err_file = memfd_create("zn-fuzz-stderr", MFD_CLOEXEC);
        capture.prev_out = dup(STDOUT_FILENO);
        capture.prev_err = dup(STDERR_FILENO);
        if (capture.out_file < 0 || capture.err_file < 0 || capture.prev_out < 0 ||
            capture.prev_err < 0)
            fuzz_fail("setting up the output capture");
        capture.ready = true;
    }
    if (ftruncate(capture.out_file, 0) < 0 || ftruncate(capture.err_file, 0) < 0)
        fuzz_fail("emptying the output capture");
    lseek(capture.out_file, 0, SEEK_SET);
    lseek(capture.err_file, 0, SEEK_SET);
    dup2(capture.out_file, STDOUT_FILENO);
    dup2(capture.err_file, STDERR_FILENO);
}

void output_capture_end(std::string *out, std::string *err) {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(capture.prev_out, STDOUT_FILENO);
    dup2(capture.prev_err, STDERR_FILENO);
    if (out != nullptr) *out = read_whole(capture.out_file);
    if (err != nullptr) *err = read_whole(capture.err_file);
}

bool one_leads_the_other(const std::string &a, const std::string &b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    return a.compare(0, n, b, 0, n) == 0;
}

const std::string &scratch_base() {
    if (scratch_path.empty()) {
        char shm[] = "/dev/shm/zn-fuzz-XXXXXX";
        char tmp[] = "/tmp/zn-fuzz-XXXXXX";
        const char *made = mkdtemp(shm);
        if (made == nullptr) made = mkdtemp(tmp);
        if (made == nullptr) fuzz_fail("cannot make a scratch directory");
        scratch_path = made;
        std::atexit(remove_scratch);
    }
    return scratch_path;
}

int remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0) return -1;
    if (!S_ISDIR(st.st_mode)) return unlink(path.c_str());
    chmod(path.c_str(), 0700);
    int rc = 0;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return -1;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    for (const std::string &name : names)
        if (remove_tree(path + "/" + name) < 0) rc = -1;
    if (rmdir(path.c_str()) < 0) rc = -1;
    return rc;
}

std::string list_directory(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return "?";
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string &name : names) text += name + "\n";
    return text;
}

std::map<std::string, tree_entry> snapshot_tree(const std::string &root) {
    std::map<std::string, tree_entry> out;
    snapshot_into(root, "", &out);
    return out;
}

std::string diff_trees(const std::map<std::string, tree_entry> &a,
                       const std::map<std::string, tree_entry> &b) {
    for (const auto &e : a) {
        auto it = b.find(e.first);
        if (it == b.end()) return "only in the first: " + e.first;
        const tree_entry &x = e.second, &y = it->second;
        if (!(x == y)) {
            char text[256];
            std::snprintf(text, sizeof text, "%s: kind %c/%c mode %o/%o links %u/%u size %zu/%zu",
                          e.first.c_str(), x.kind, y.kind, unsigned(x.mode), unsigned(y.mode),
                          x.links, y.links, x.data.size(), y.data.size());
            return text;
        }
    }
    for (const auto &e : b)
        if (a.find(e.first) == a.end()) return "only in the second: " + e.first;
    return "";
}

uint8_t input_reader::u8() {
    if (n == 0) return 0;
    n--;
    return *p++;
}

uint16_t input_reader::u16() {
    uint16_t hi = u8();
    return uint16_t(hi << 8 | u8());
}

uint32_t input_reader::u32() {
    uint32_t hi = u16();
    return hi << 16 | u16();
}

std::string input_reader::bytes(size_t max) {
    size_t k = std::min(max, n);
    std::string s(reinterpret_cast<const char *>(p), k);
    p += k;
    n -= k;
    return s;
}

}  // namespace zn_fuzz
