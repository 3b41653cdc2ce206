#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zn_test {

RunResult run_process(const std::vector<std::string> &argv_in, const RunOptions &options) {
    RunResult result;
    // A program that exits without reading all its input must not end the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv = argv_in;
    char rss_file[] = "/tmp/zn-rss-XXXXXX";
    if (options.measure_rss) {
        int fd = mkstemp(rss_file);
        if (fd >= 0) close(fd);
        argv.insert(argv.begin(), {ZN_RSS_PROBE_PATH, rss_file});
    }
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) < 0 || pipe2(out_pipe, O_CLOEXEC) < 0 ||
        pipe2(err_pipe, O_CLOEXEC) < 0)
        return result;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (options.input) {
            dup2(in_pipe[0], 0);
        } else {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(options.merge_stderr ? out_pipe[1] : err_pipe[1], 2);
        for (const auto &kv : options.env) {
            if (kv.second)
                setenv(kv.first.c_str(), kv.second->c_str(), 1);
            else
                unsetenv(kv.first.c_str());
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) < 0) _exit(126);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    std::string input = options.input.value_or("");
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (!options.input || input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    auto deadline = start + std::chrono::duration<double>(options.timeout_seconds);
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, nfds_t(n), int(left.count() > 1000 ? 1000 : left.count())) < 0 &&
            errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                ssize_t put = write(in_fd, input.data() + written, input.size() - written);
                if (put > 0) written += size_t(put);
                if (put < 0 || written == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            } else {
                (fds[i].fd == out_fd ? result.out : result.err).append(buf, size_t(got));
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (options.measure_rss) {
        if (FILE *f = std::fopen(rss_file, "r")) {
            if (std::fscanf(f, "%ld", &result.max_rss_kb) != 1) result.max_rss_kb = 0;
            std::fclose(f);
        }
        unlink(rss_file);
    }
    // Anything the program left running in its group goes too.
    kill(-pid, SIGKILL);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

std::string describe(const RunResult &r) {
    std::string s = "exit " + std::to_string(r.exit_code);
    if (r.signal) s += " signal " + std::to_string(r.signal);
    if (r.timed_out) s += " TIMED OUT";
    s += "\n--- stdout ---\n" + r.out + "\n--- stderr ---\n" + r.err + "\n---";
    return s;
}

}  // namespace zn_test
