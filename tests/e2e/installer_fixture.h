// Shared set-up of the end-to-end tests: a scratch directory holding the package under test, a
// temporary directory for the installer's temporary file, and a way to run the real installer.
#ifndef ZN_TESTS_E2E_INSTALLER_FIXTURE_H
#define ZN_TESTS_E2E_INSTALLER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/package.h"
#include "support/process.h"
#include "support/scratch.h"

namespace zn_test {

// The installer's last line after a whole walk: every record handled, or something failed.
constexpr const char kSuccess[] = "Installation successfully completed.\n";
constexpr const char kFailure[] = "ERROR: Installation failed.\n";

class InstallerTest : public testing::Test {
   protected:
    InstallerTest();

    // Writes the package of records to dir/setup and returns its path.
    std::string package(const std::vector<Record> &records);

    // Runs the package at path (default: dir/setup) with args, in dir/work, with TEMP at
    // dir/tmp and a PATH, and input on standard input (none: /dev/null).
    RunResult run(const std::vector<std::string> &args = {}, const RunOptions &extra = {},
                  const std::string &path = "");

    // Runs the package at dir/setup as run does, with standard input the bytes of prefix and then
    // NUL bytes without end (/dev/zero), killed after 20 seconds (timed_out) if it does not stop.
    RunResult run_then_zeros(const std::string &prefix);

    // The banner the installer writes to standard error for the package at path.
    std::string banner(const std::string &path) const;

    // Standard error without the progress lines (they appear only when a second boundary
    // passes during verification, which a test cannot control).
    static std::string without_progress(const std::string &err);

    // text with the random part of every private temporary directory's name
    // ("zninstall.AbC123") written as "zninstall.XXXXXX", so that it can be compared.
    static std::string masked(const std::string &text);

    // The path of the temporary file in a private directory under dir, as masked shows it.
    static std::string temp_file(const std::string &dir) {
        return dir + "/zninstall.XXXXXX/zninstall-temp.exe";
    }

    TempDir dir_;
    std::string pkg_;
    std::string work_;
    std::string tmp_;
};

// A shell program that prints its arguments and the named environment variables.
std::string echo_program(const std::string &vars = "");

}  // namespace zn_test

#endif  // ZN_TESTS_E2E_INSTALLER_FIXTURE_H
