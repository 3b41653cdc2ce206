#include "e2e/installer_fixture.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace zn_test {

InstallerTest::InstallerTest() {
    pkg_ = dir_ / "setup";
    work_ = dir_ / "work";
    tmp_ = dir_ / "tmp";
    mkdir(work_.c_str(), 0755);
    mkdir(tmp_.c_str(), 0755);
}

std::string InstallerTest::package(const std::vector<Record> &records) {
    write_package(pkg_, records);
    return pkg_;
}

RunResult InstallerTest::run(const std::vector<std::string> &args, const RunOptions &extra,
                             const std::string &path) {
    RunOptions options = extra;
    if (options.cwd.empty()) options.cwd = work_;
    if (!options.env.count("TEMP")) options.env["TEMP"] = tmp_;
    if (!options.env.count("PATH")) options.env["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    if (!options.env.count("HOME")) options.env["HOME"] = dir_.path();
    std::vector<std::string> argv = {path.empty() ? pkg_ : path};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, options);
}

RunResult InstallerTest::run_then_zeros(const std::string &prefix) {
    RunOptions o;
    o.input = prefix;
    o.timeout_seconds = 20;
    return run({"-c", "cat - /dev/zero | \"$0\"", pkg_}, o, "/bin/sh");
}

std::string InstallerTest::banner(const std::string &path) const {
    char resolved[PATH_MAX];
    std::string p = realpath(path.c_str(), resolved) ? resolved : path;
    return "ZNINSTALL v1.007 Copyright (C) 2026 the zninstall developers.\n\n"
           "Verifying package file: " +
           p + "\nThis may take a moment...\n";
}

std::string InstallerTest::without_progress(const std::string &err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind("(processing .. ", 0) == 0) continue;
        out += line;
        if (!in.eof()) out += "\n";
    }
    return out;
}

std::string InstallerTest::masked(const std::string &text) {
    static const std::regex kPrivate("zninstall\\.[A-Za-z0-9]{6}");
    return std::regex_replace(text, kPrivate, "zninstall.XXXXXX");
}

std::string echo_program(const std::string &vars) {
    std::string s = "#!/bin/sh\necho \"args=$#:$*\"\n";
    std::istringstream in(vars);
    std::string v;
    while (in >> v) s += "echo \"" + v + "=${" + v + "-unset}\"\n";
    return s;
}

}  // namespace zn_test
