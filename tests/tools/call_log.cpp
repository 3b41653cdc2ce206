// A library preloaded into a program under test (LD_PRELOAD) that logs, in call order, the calls
// that make a file durable and put it in place: "fsync <inode>" and "rename <new path>", appended
// to the file named by ZN_CALL_LOG.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

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
