// Running a program as a subprocess for the tests: given standard input (or none), separate or
// merged standard output and error, an environment to add or remove, a working directory and a
// time limit after which it is killed.
#ifndef ZN_TESTS_SUPPORT_PROCESS_H
#define ZN_TESTS_SUPPORT_PROCESS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zn_test {

struct RunOptions {
    std::optional<std::string> input;  // written to standard input, then closed; none: /dev/null
    std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nullopt)
    std::string cwd;                                        // empty: the test's own
    double timeout_seconds = 60;
    bool merge_stderr = false;  // standard error into the standard output pipe, in write order
    bool measure_rss = false;   // run through a small probe that measures the peak memory
};

struct RunResult {
    int exit_code = -1;  // when the program exited
    int signal = 0;      // when a signal ended it
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0;
    long max_rss_kb = 0;  // with measure_rss: peak resident set of the program itself
};

// Runs argv[0] (a path) with argv. Never throws; a program that cannot start exits with 127.
RunResult run_process(const std::vector<std::string> &argv, const RunOptions &options = {});

// Pretty form for failure messages.
std::string describe(const RunResult &r);

}  // namespace zn_test

#endif  // ZN_TESTS_SUPPORT_PROCESS_H
