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

// Forks, lets the child call start(argv), and waits for it with SIGINT and SIGQUIT ignored.
int spawn_and_wait(const char *file, char *const argv[], bool sh_fallback) {
    std::fflush(stdout);
    std::fflush(stderr);
    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);

    pid_t pid = fork();
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(file, argv);
        if (errno == ENOEXEC && sh_fallback) {
            // No "#!" line: run it as a shell script, as a command interpreter does.
            char *sh_argv[4];
            int n = 0;
            sh_argv[n++] = const_cast<char *>("sh");
            for (int i = 0; argv[i] != nullptr && n < 3; i++) sh_argv[n++] = argv[i];
            sh_argv[n] = nullptr;
            execv("/bin/sh", sh_argv);
        }
        _exit(127);
    }
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
    return pid > 0 ? status : -1;
}

}  // namespace

int run_program(const char *path, const char *arg) {
    // A path that begins with '-' would read as an option to /bin/sh; "./" keeps it a path.
    char dashed[kTextBufferSize + 2];
    if (path[0] == '-') {
        std::snprintf(dashed, sizeof dashed, "./%s", path);
        path = dashed;
    }
    char *argv[3] = {const_cast<char *>(path), const_cast<char *>(arg), nullptr};
    return spawn_and_wait(path, argv, true);
}

int run_shell(const char *command) {
    char *argv[4] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                     const_cast<char *>(command), nullptr};
    return spawn_and_wait("/bin/sh", argv, false);
}

}  // namespace zn
