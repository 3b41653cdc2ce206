// A library preloaded into a program under test (LD_PRELOAD) that logs, in call order, the calls
// that make a file durable and put it in place: "fsync <inode>" and "rename <new path>", appended
// to the file named by ZN_CALL_LOG.
//
// It also injects faults into writes to regular files (other descriptors, such as pipes and
// terminals, are neither counted nor touched), numbered from 1 in the order the process makes
// them, on whatever thread:
//   ZN_FAIL_WRITE=N     the Nth such write fails with ENOSPC, as on a full disk;
//   ZN_KILL_AT_WRITE=N  the process is killed with SIGKILL at the Nth such write, before it
//                       writes anything, as by a crash or a power cut.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

using write_fn = ssize_t (*)(int, const void *, size_t);

// Set when the library is loaded, before the program runs; 0 when the variable is unset.
long fail_write_at = 0;
long kill_at_write = 0;
std::atomic<long> regular_writes{0};

long env_number(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::atol(v) : 0;
}

__attribute__((constructor)) void read_settings() {
    fail_write_at = env_number("ZN_FAIL_WRITE");
    kill_at_write = env_number("ZN_KILL_AT_WRITE");
}

// The log, opened for one line; -1 when there is none.
int open_log() {
    const char *path = std::getenv("ZN_CALL_LOG");
    return path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
}

}  // namespace

extern "C" int fsync(int fd) {
    struct stat st;
    int log = open_log();
    if (log >= 0 && fstat(fd, &st) == 0) dprintf(log, "fsync %lu\n", (unsigned long)st.st_ino);
    if (log >= 0) close(log);
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"))(fd);
}

extern "C" int rename(const char *from, const char *to) {
    int log = open_log();
    if (log >= 0) dprintf(log, "rename %s\n", to);
    if (log >= 0) close(log);
    using rename_fn = int (*)(const char *, const char *);
    return reinterpret_cast<rename_fn>(dlsym(RTLD_NEXT, "rename"))(from, to);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n) {
    struct stat st;
    if ((fail_write_at > 0 || kill_at_write > 0) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        long nth = ++regular_writes;
        if (nth == kill_at_write) kill(getpid(), SIGKILL);
        if (nth == fail_write_at) {
            errno = ENOSPC;
            return -1;
        }
    }
    return reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"))(fd, buf, n);
}
