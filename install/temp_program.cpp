#include "install/temp_program.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "install/handlers.h"
#include "install/interrupt.h"
#include "install/path_trust.h"
#include "install/run_state.h"
#include "lib/chk.h"

namespace zn {

constexpr const char kShell[] = "/bin/sh";
constexpr int kExecFailedStatus = 127;  // the child's status when it could not exec

namespace {

constexpr const char kPrivatePrefix[] = "zninstall.";
constexpr int kPrivateRandom = 6;  // random characters after the prefix
constexpr int kPrivateTries = 100;
constexpr int kPrivateMode = 0700;

// The private directory of the helper under way: the temporary directory (O_PATH), the
// directory's name in it and a descriptor of the directory; -1 and "" when there is none.
int temp_fd = -1;
char private_name[sizeof kPrivatePrefix + kPrivateRandom] = "";
int private_fd = -1;

// Fills name with the prefix and kPrivateRandom random letters and digits.
void random_private_name(char *name) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[kPrivateRandom];
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        // No random source: the time and the process still differ between runs, and a name
        // that is taken is only tried again.
        static unsigned counter;
        unsigned long v =
            (unsigned long)time(nullptr) ^ ((unsigned long)getpid() << 16) ^ counter++;
        for (unsigned char &b : bytes) b = (unsigned char)(v >>= 5);
    }
    std::memcpy(name, kPrivatePrefix, sizeof kPrivatePrefix - 1);
    for (int i = 0; i < kPrivateRandom; i++)
        name[sizeof kPrivatePrefix - 1 + i] = kChars[bytes[i] % (sizeof kChars - 1)];
    name[sizeof kPrivatePrefix - 1 + kPrivateRandom] = '\0';
}

// The temporary directory, reached and checked; the install directory (the current one) when
// neither TEMP nor TMP is set. Returns an O_PATH descriptor, or -1 (errno set).
int open_temp_dir() {
    int fd;
    int rc = trusted_dir_open(temp_dir[0] != '\0' ? temp_dir : "/",
                              temp_dir_from_env ? 0 : kPathStrictLast,
                              temp_dir_from_env ? "temporary" : "install", &fd);
    return rc == kPathOk ? fd : -1;
}

}  // namespace

void temp_dir_choose() {
    const char *temp = getenv("TEMP");
    if (temp == nullptr) temp = getenv("TMP");
    temp_dir_from_env = temp != nullptr;
    temp_dir = temp != nullptr ? temp : ".";
    // Taken from where the installer was started, not from the install directory it changes to.
    if (temp != nullptr && temp[0] != '\0' && temp[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) temp_dir = chk_makestr(cwd, "/", temp, nullptr);
        std::free(cwd);
    }
}

void temp_dir_check() {
    int fd = open_temp_dir();  // a refusal ends the run there
    if (fd >= 0) close(fd);
}

int temp_program_create(char *path, size_t size, int mode) {
    temp_program_remove();
    int out = -1;
    temp_fd = open_temp_dir();
    for (int tries = 0; temp_fd >= 0 && tries < kPrivateTries && private_fd < 0; tries++) {
        random_private_name(private_name);
        if (mkdirat(temp_fd, private_name, kPrivateMode) == 0)
            private_fd =
                openat(temp_fd, private_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        else if (errno != EEXIST)
            break;
        if (private_fd < 0) private_name[0] = '\0';
    }
    if (private_fd >= 0)
        out = openat(private_fd, kTempFileName,
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    int n = out >= 0 ? std::snprintf(path, size, "%s/%s/%s", temp_dir, private_name, kTempFileName)
                     : -1;
    if (out >= 0 && n >= 0 && size_t(n) < size) return out;
    int error = errno;
    if (out >= 0) close(out);
    temp_program_remove();
    std::snprintf(path, size, "%s/%s", temp_dir, kTempFileName);
    errno = error;
    return -1;
}

void temp_program_remove() {
    if (private_fd >= 0) {
        unlinkat(private_fd, kTempFileName, 0);
        close(private_fd);
        private_fd = -1;
    }
    if (temp_fd >= 0) {
        if (private_name[0] != '\0') unlinkat(temp_fd, private_name, AT_REMOVEDIR);
        close(temp_fd);
        temp_fd = -1;
    }
    private_name[0] = '\0';
}

namespace {

// Forks, runs file with argv in the child and waits for it with SIGQUIT ignored, and SIGINT too
// when ignore_int is set (an interactive shell, where Ctrl-C belongs to the shell); otherwise a
// Ctrl-C, which reaches the whole foreground group, is noted by the installer's handler and acted
// on once the child has ended. Returns the wait status, or -1 with errno set when no process
// could be started or file could not be executed. The child reports a failed exec through a
// close-on-exec pipe, so the parent learns the reason, and a successful exec simply closes the
// pipe.
int spawn_and_wait(const char *file, char *const argv[], bool sh_fallback, bool ignore_int) {
    std::fflush(stdout);
    std::fflush(stderr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0) return -1;
    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, ignore_int ? &ignore : nullptr, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);

    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        execv(file, argv);
        if (errno == ENOEXEC && sh_fallback) {
            // No "#!" line: run it as a shell script, as a command interpreter does.
            char *sh_argv[4];
            int n = 0;
            sh_argv[n++] = const_cast<char *>("sh");
            for (int i = 0; argv[i] != nullptr && n < 3; i++) sh_argv[n++] = argv[i];
            sh_argv[n] = nullptr;
            execv(kShell, sh_argv);
        }
        int reason = errno;
        (void)!write(report[1], &reason, sizeof reason);
        _exit(kExecFailedStatus);
    }
    int fork_error = errno;
    close(report[1]);
    int exec_error = 0;
    if (pid > 0) {
        ssize_t got;
        while ((got = read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
        }
        if (got != ssize_t(sizeof exec_error)) exec_error = 0;
    }
    close(report[0]);
    int status = -1;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    if (pid < 0) {
        errno = fork_error;
        return -1;
    }
    if (exec_error != 0) {
        errno = exec_error;
        return -1;
    }
    return status;
}

}  // namespace

int run_program(const char *path, const char *arg, const char *what) {
    // A path that begins with '-' would read as an option to /bin/sh; "./" keeps it a path.
    char dashed[kTextBufferSize + 2];
    if (path[0] == '-') {
        std::snprintf(dashed, sizeof dashed, "./%s", path);
        path = dashed;
    }
    char *argv[3] = {const_cast<char *>(path), const_cast<char *>(arg), nullptr};
    int status = spawn_and_wait(path, argv, true, false);
    // Stopped by the same signal as the installer: the run stops, and the child's end is no
    // failure of its own.
    interrupt_check();
    if (status == -1) {
        err_printf("Cannot run %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    if (WIFSIGNALED(status))
        err_printf("%s ended by signal %d\n", what, WTERMSIG(status));
    else
        err_printf("%s failed with exit status %d\n", what, WEXITSTATUS(status));
    return -1;
}

int run_shell(const char *command) {
    char *argv[4] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                     const_cast<char *>(command), nullptr};
    return spawn_and_wait(kShell, argv, false, true);
}

}  // namespace zn
