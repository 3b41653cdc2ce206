// Runs a program and reports its peak resident set size, measured from a process small enough
// that its own memory does not count: a program forked from a large test process inherits that
// process's size as its high-water mark until it execs.
//
// Usage: rss_probe FILE PROGRAM [ARG...]. Writes the peak in kilobytes to FILE and ends as the
// program did: with its exit status, or by the same signal.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 3) return 125;
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 125;
    if (FILE *f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%ld\n", usage.ru_maxrss);
        std::fclose(f);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
