#include "install/temp_program.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "install/run_state.h"

namespace zn {

constexpr const char kShell[] = "/bin/sh";
constexpr int kExecFailedStatus = 127;  // the child's status when it could not exec

int temp_program_path(char *path, size_t size) {
    int n = std::snprintf(path, size, "%s/%s", temp_dir, kTempFileName);
    return (n < 0 || size_t(n) >= size) ? -1 : 0;
}

int temp_program_create(const char *path, int mode) {
    // Unlinking removes a planted link or file itself, never what it points at. If another
    // process puts something back before the open, O_EXCL makes the open fail instead of
    // writing through it.
    // An entry that cannot be removed (a directory, another user's file in a sticky
    // directory) stays, and then the open fails.
    (void)unlink(path);
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

namespace {

// Forks, runs file with argv in the child and waits for it with SIGINT and SIGQUIT ignored.
// Returns the wait status, or -1 with errno set when no process could be started or file could
// not be executed. The child reports a failed exec through a close-on-exec pipe, so the parent
// learns the reason, and a successful exec simply closes the pipe.
int spawn_and_wait(const char *file, char *const argv[], bool sh_fallback) {
    std::fflush(stdout);
    std::fflush(stderr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0) return -1;
    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
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
    int status = spawn_and_wait(path, argv, true);
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
    return spawn_and_wait(kShell, argv, false);
}

}  // namespace zn
