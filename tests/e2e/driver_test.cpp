// The installer from start to final line: verification, the record walk, options, environment
// and program records, run as a real process on packages built for each case.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "e2e/installer_fixture.h"
#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/package_format.h"

namespace zn_test {
namespace {

constexpr const char kSizePrompt[] = "    Press <Enter> to continue: ";

std::string hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08lx", (unsigned long)v);
    return b;
}

class DriverTest : public InstallerTest {};

// The image must never hold the magic in one piece, or the search would find the image. No
// binary names the directory it was built in (assertion messages name "string/dstr.cpp").
TEST_F(DriverTest, InstallerImageHoldsNoMagicNorBuildPath) {
    zn::build_package_magic();
    std::string image = read_file(installer_binary());
    ASSERT_GT(image.size(), 10000u);
    EXPECT_EQ(image.find(std::string(zn::package_magic, zn::kMagicLength)), std::string::npos);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizers' own reports name sources by full path
    for (const std::string &binary : {installer_binary(), znpack_binary()})
        EXPECT_EQ(read_file(binary).find(ZN_SOURCE_DIR), std::string::npos) << binary;
    // Both decoders and nothing of the C++ runtime's exception machinery: a function-local
    // static or a throwing new brings in the unwinder and the demangler, some 90 KB.
    RunResult stripped =
        run_process({"/usr/bin/strip", "-o", dir_ / "stripped", installer_binary()});
    ASSERT_EQ(stripped.exit_code, 0) << describe(stripped);
    EXPECT_LT(read_file(dir_ / "stripped").size(), 300u * 1024);
#endif
}

TEST_F(DriverTest, IntactPackageWithoutRecords) {
    package({});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(without_progress(r.err), banner(pkg_) + "\n");
    EXPECT_EQ(r.out, kSuccess);
}

TEST_F(DriverTest, AppendedByteFailsSizeThenCrc) {
    std::string bytes = package_bytes({env_record("A=1")});
    uint64_t header_at = read_file(installer_binary()).size();
    write_file(pkg_, bytes + "X", 0755);
    std::string size_text =
        "\n*** Error:\n    Package is corrupt - incorrect size detected.\n"
        "    File size should be: " +
        std::to_string(bytes.size()) +
        " bytes\n    Actual size        : " + std::to_string(bytes.size() + 1) + " bytes\n" +
        kSizePrompt;
    std::string zeroed = bytes + "X";
    zn::LPUT32(&zeroed[header_at + zn::kHeaderCrcOffset], 0);
    std::string crc_text =
        "\n*** Error:\n    Package is corrupt - file has failed checksum.\n"
        "    Expected CRC: " +
        hex8(zn::LGET32(&bytes[header_at + 28])) +
        " Calculated: " + hex8(zn::crc32(zeroed.data(), int(zeroed.size()))) + "\n" + kSizePrompt;

    // After two Enters the records are acted on; the extra byte then reads as a record header
    // cut short.
    RunOptions enter_twice;
    enter_twice.input = "\n\n";
    RunResult r = run({}, enter_twice);
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_EQ(r.out, size_text + "A=1\n");
    EXPECT_EQ(without_progress(r.err), banner(pkg_) + "\n" + crc_text +
                                           "Error extracting package -- premature EOF detected.\n");

    // A line that never ends (/dev/zero) is refused too, instead of being waited for.
    struct {
        std::optional<std::string> input;
        bool crc_prompt_reached;
        bool then_zeros = false;
    } refusals[] = {{std::nullopt, false}, {"y\n", false},    {"\ny\n", true},
                    {"\n", true},          {"", false, true}, {"\n", true, true}};
    for (const auto &row : refusals) {
        RunOptions o;
        o.input = row.input;
        RunResult refused = row.then_zeros ? run_then_zeros(*row.input) : run({}, o);
        EXPECT_FALSE(refused.timed_out);
        EXPECT_EQ(refused.exit_code, 1) << describe(refused);
        EXPECT_EQ(refused.out, size_text);
        EXPECT_EQ(without_progress(refused.err),
                  banner(pkg_) + "\n" + (row.crc_prompt_reached ? crc_text : ""));
    }
}

// Enter goes on past the failed check: every record is acted on, a helper program too, but the
// run fails. It used to end with "Installation successfully completed." and status 0.
TEST_F(DriverTest, ChangedImageByteFailsOnlyTheCrc) {
    std::string bytes = package_bytes({program_record(echo_program())});
    uint64_t header_at = read_file(installer_binary()).size();
    // The last bytes of the image are section headers, which the loader never reads.
    bytes[header_at - 8] = char(bytes[header_at - 8] ^ 0x01);
    write_file(pkg_, bytes, 0755);
    std::string zeroed = bytes;
    zn::LPUT32(&zeroed[header_at + zn::kHeaderCrcOffset], 0);
    RunOptions enter;
    enter.input = "\n";
    RunResult r = run({}, enter);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out, std::string("args=0:\n") + kFailure);
    EXPECT_EQ(without_progress(r.err),
              banner(pkg_) +
                  "\n\n*** Error:\n    Package is corrupt - file has failed checksum.\n"
                  "    Expected CRC: " +
                  hex8(zn::LGET32(&bytes[header_at + 28])) + " Calculated: " +
                  hex8(zn::crc32(zeroed.data(), int(zeroed.size()))) + "\n" + kSizePrompt);
    // Dump mode has no final line: the status says it.
    r = run({"-gz"}, enter);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out, "args=0:\n");
}

TEST_F(DriverTest, StructuralFailuresEndTheRun) {
    std::string image = read_file(installer_binary());
    std::string header_only = package_bytes({});
    uint64_t at = image.size();

    auto with_tail = [&](const std::string &tail) {
        std::string b = header_only + tail;
        fix_package(b, at);
        return b;
    };
    auto record = [](unsigned type, const std::string &body) {
        std::string h(5, '\0');
        zn::LPUT32(&h[0], uint32_t(body.size()));
        h[4] = char(type);
        return h + body;
    };
    struct Row {
        const char *what;
        std::string bytes;
        int exit_code;
        std::string out;
        std::string err_tail;
    } rows[] = {
        {"no magic", image, 1, "", "Cannot locate package payload.\n"},
        {"header cut short", image + header_only.substr(at, 100), 1, "",
         "Error reading package header\n"},
        {"ends after the header", header_only, 0, kSuccess, ""},
        {"type 0 after a record", with_tail(record(12, "A=1") + record(0, "xx")), 1, "A=1\n",
         "Unexpected error in package file\n"},
        {"type 13 after a record", with_tail(record(12, "A=1") + record(13, "")), 1, "A=1\n",
         "Unexpected error in package file\n"},
        {"record header cut short", with_tail(record(12, "A=1") + std::string(3, '\0')), 1, "A=1\n",
         "Error extracting package -- premature EOF detected.\n"},
    };
    for (const Row &row : rows) {
        write_file(pkg_, row.bytes, 0755);
        RunResult r = run();
        EXPECT_EQ(r.exit_code, row.exit_code) << row.what << describe(r);
        EXPECT_EQ(r.out, row.out) << row.what;
        std::string err = without_progress(r.err);
        ASSERT_GE(err.size(), row.err_tail.size()) << row.what;
        EXPECT_EQ(err.substr(err.size() - row.err_tail.size()), row.err_tail) << row.what;
        EXPECT_EQ(err.rfind(banner(pkg_), 0), 0u) << row.what;
    }
}

TEST_F(DriverTest, CannotLocateOrOpenThePackage) {
    package({});
    RunOptions no_path;
    no_path.env["PATH"] = std::nullopt;
    RunResult r = run({}, no_path);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out,
              "Error: couldn't locate directory where the install binary is\n"
              "       being run from. Please ensure you are in the same directory\n"
              "       as " +
                  pkg_ + " when you run it.\n");
    EXPECT_EQ(r.err, "");

    // Only a regular file is a package: anything else is refused at once, never read or waited
    // on (a FIFO without a writer, a device without end).
    std::string fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string rows[][2] = {
        {dir_ / "missing", "No such file or directory"},
        {fifo, "Invalid argument"},
        {"/dev/zero", "Invalid argument"},
        {dir_.path(), "Is a directory"},
    };
    for (const auto &row : rows) {
        RunOptions quick;
        quick.timeout_seconds = 20;
        r = run({"-program", row[0]}, quick);
        EXPECT_EQ(r.exit_code, 1) << row[0] << describe(r);
        EXPECT_EQ(r.out,
                  "Error: cannot open file to extract the package.\n       File: " + row[0] + "\n");
        EXPECT_EQ(r.err, "Cannot open: " + row[1] + "\n");
    }
}

// -program takes the next argument as the package file to read, wherever the installer itself
// stands; as the last argument it ends the options.
TEST_F(DriverTest, OptionParsing) {
    package({program_record(echo_program())});
    RunResult r;
    std::string plain = dir_ / "plain-installer";
    write_file(plain, read_file(installer_binary()), 0755);
    std::string data = dir_ / "not-executable.pkg";
    write_file(data, read_file(pkg_), 0644);
    r = run({"-program", data, "-quiet"}, {}, plain);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.out.find("args=1:/quiet\n"), std::string::npos) << r.out;
    EXPECT_EQ(without_progress(r.err), banner(data) + "\n");

    r = run({"-quiet", "-program"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.out.find("args=1:/quiet\n"), std::string::npos) << r.out;
}

TEST_F(DriverTest, EnvironmentRecords) {
    std::string long_text = "LONG=" + std::string(1017, 'v');
    package({env_record(long_text, true),                           // 1023 bytes with its NUL
             env_record("NONUL=" + std::string(1017, 'n'), false),  // 1023 without
             env_record("TWICE=first"), env_record("TWICE=second"),
             env_record(std::string("CUT=abc\0def", 11), false),
             program_record(echo_program("TWICE CUT"))});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, long_text + "\nNONUL=" + std::string(1017, 'n') +
                         "\nTWICE=first\nTWICE=second\nCUT=abc\nargs=0:\nTWICE=second\nCUT=abc\n" +
                         kSuccess);

    // Dump mode sets the variables without echoing them.
    r = run({"-gz"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "args=0:\nTWICE=second\nCUT=abc\n");

    struct {
        Record record;
        std::string out, err;
    } refused[] = {
        {env_record("X=" + std::string(1021, 'x'), true),
         "Environment variable too long in setup file\n", ""},
        {env_record("X=" + std::string(1022, 'x'), false),
         "Environment variable too long in setup file\n", ""},
        {Record{zn::kRecordEnvironment, "A=1", 50}, "", "Premature EOF reading env var\n"},
    };
    for (const auto &row : refused) {
        package({env_record("BEFORE=1"), row.record, env_record("AFTER=1")});
        r = run();
        EXPECT_EQ(r.exit_code, 1) << describe(r);
        EXPECT_EQ(r.out, "BEFORE=1\n" + row.out);
        EXPECT_EQ(without_progress(r.err), banner(pkg_) + "\n" + row.err);
    }
}

// A program that fails is reported and fails the run, and the walk goes on.
TEST_F(DriverTest, ProgramRecords) {
    std::string failing = "#!/bin/sh\necho ran; exit 3\n";
    std::string no_shebang = "echo \"plain script $#\"\n";
    package({program_record(failing), program_record(no_shebang), program_record(echo_program())});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out, std::string("ran\nplain script 0\nargs=0:\n") + kFailure);
    EXPECT_EQ(without_progress(r.err),
              banner(pkg_) + "\nHelper program failed with exit status 3\n");
    EXPECT_TRUE(snapshot_tree(tmp_).empty());

    r = run({"-quiet"});
    EXPECT_EQ(r.out, std::string("ran\nplain script 1\nargs=1:/quiet\n") + kFailure);
}

// A helper program or post-install script that cannot start, or that a signal ends, is reported
// on standard error and fails the run; the walk goes on.
TEST_F(DriverTest, HelpersThatDoNotRunAreFailures) {
    std::string temp = temp_file(tmp_);
    std::string missing = "#!/nonexistent/interpreter\necho never\n";
    std::string killed = "#!/bin/sh\nkill -KILL $$\n";
    struct {
        Record record;
        std::string err;
    } rows[] = {
        {program_record(missing), "Cannot run " + temp + ": No such file or directory\n"},
        {program_record(killed), "Helper program ended by signal 9\n"},
        {script_record(missing), "Cannot run " + temp + ": No such file or directory\n"},
        {script_record("#!/bin/sh\nexit 3\n"), "Post-install script failed with exit status 3\n"},
        {script_record(killed), "Post-install script ended by signal 9\n"},
    };
    for (const auto &row : rows) {
        package({row.record, env_record("AFTER=1")});
        RunResult r = run();
        EXPECT_EQ(r.exit_code, 2) << row.err << describe(r);
        std::string err = masked(without_progress(r.err));
        ASSERT_GE(err.size(), row.err.size()) << row.err;
        EXPECT_EQ(err.substr(err.size() - row.err.size()), row.err);
        EXPECT_EQ(r.out.substr(r.out.size() - 8 - std::strlen(kFailure)),
                  "AFTER=1\n" + std::string(kFailure))
            << row.err;
        EXPECT_EQ(r.out.find("never"), std::string::npos) << row.err;
    }
}

// A temporary directory mounted noexec: the script cannot start, which is reported and fails the
// run.
TEST_F(DriverTest, NoexecTemporaryDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a noexec file system needs root";
    if (mount("zn-noexec", tmp_.c_str(), "tmpfs", MS_NOEXEC, nullptr) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{tmp_};
    package({script_record("#!/bin/sh\necho never\n"), program_record("echo never\n")});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    std::string cannot = "Cannot run " + temp_file(tmp_) + ": Permission denied\n";
    EXPECT_EQ(masked(without_progress(r.err)), banner(pkg_) + "\n" + cannot + cannot);
    EXPECT_EQ(masked(r.out), "Extract script to " + temp_file(tmp_) + "\n" + kFailure);
}

// A short body is reported with the size of the chunk that failed (chunks of 4096 bytes), the
// partial file never runs and goes with its private directory, and the final line reports the
// failure.
TEST_F(DriverTest, TruncatedProgramBody) {
    std::string body(10000, '#');
    struct {
        size_t present;
        int failed_chunk;
    } rows[] = {{9000, 1808}, {5000, 4096}, {0, 4096}};
    for (const auto &row : rows) {
        std::string bytes =
            package_bytes({Record{zn::kRecordProgram, body.substr(0, row.present), 10000}});
        write_file(pkg_, bytes, 0755);
        RunResult r = run();
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_EQ(r.out, "Failed to read " + std::to_string(row.failed_chunk) +
                             " bytes from source\n" + kFailure);
        EXPECT_TRUE(snapshot_tree(tmp_).empty());
    }
}

TEST_F(DriverTest, TemporaryPathIsNeverFollowedOrParsed) {
    // A link planted at the temporary path: its target is neither written nor run.
    std::string victim = dir_ / "victim";
    write_file(victim, "precious", 0644);
    ASSERT_EQ(symlink(victim.c_str(), (tmp_ + "/zninstall-temp.exe").c_str()), 0);
    package({program_record(echo_program())});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, std::string("args=0:\n") + kSuccess);
    EXPECT_EQ(read_file(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A TEMP with blanks and shell characters is one path, never a command line.
    std::string odd = dir_ / "my tmp;touch pwned$(touch pwned2)";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    RunOptions o;
    o.env["TEMP"] = odd;
    r = run({"-quiet"}, o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, std::string("args=1:/quiet\n") + kSuccess);
    EXPECT_FALSE(exists(work_ + "/pwned"));
    EXPECT_FALSE(exists(work_ + "/pwned2"));
    EXPECT_TRUE(snapshot_tree(odd).empty());

    // TEMP before TMP; without TEMP, TMP; without both, the current directory.
    o.env["TEMP"] = tmp_;
    o.env["TMP"] = dir_ / "no-such-dir";
    r = run({}, o);
    EXPECT_EQ(r.out, std::string("args=0:\n") + kSuccess);
    o.env["TEMP"] = std::nullopt;
    o.env["TMP"] = tmp_;
    r = run({}, o);
    EXPECT_EQ(r.out, std::string("args=0:\n") + kSuccess);
    o.env["TMP"] = std::nullopt;
    package({program_record("#!/bin/sh\nls zninstall.*/zninstall-temp.exe\n")});
    r = run({}, o);
    EXPECT_EQ(masked(r.out), std::string("zninstall.XXXXXX/zninstall-temp.exe\n") + kSuccess);
    EXPECT_TRUE(snapshot_tree(work_).empty());
}

// Two installers sharing a temporary directory, run at the same time, each run their own script
// from a private directory of their own and leave the temporary directory empty.
TEST_F(DriverTest, InstallersSharingTempRunTheirOwnScripts) {
    std::string other = dir_ / "setup-b";
    package({script_record("#!/bin/sh\nsleep 0.2\necho marker-a\n")});
    write_package(other, {script_record("#!/bin/sh\nsleep 0.2\necho marker-b\n")});
    const std::string both =
        "\"$0\" >\"$2/a.out\" 2>&1 & a=$!; \"$1\" >\"$2/b.out\" 2>&1 & b=$!; "
        "wait $a; echo a=$?; wait $b; echo b=$?";
    for (int round = 0; round < 3; round++) {
        RunResult r = run({"-c", both, pkg_, other, dir_.path()}, {}, "/bin/sh");
        EXPECT_EQ(r.out, "a=0\nb=0\n") << describe(r);
        for (const char *mine : {"a", "b"}) {
            std::string out = read_file(dir_ / (std::string(mine) + ".out"));
            std::string theirs = std::string("marker-") + (*mine == 'a' ? "b" : "a");
            EXPECT_NE(out.find(std::string("\nmarker-") + mine + "\n" + kSuccess),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find(theirs), std::string::npos) << out;
        }
        EXPECT_TRUE(snapshot_tree(tmp_).empty());
    }
}

// A signal to the installer while a helper runs (as Ctrl-C reaches the whole foreground group):
// the installer waits for the helper, then stops; no later record is acted on.
TEST_F(DriverTest, SignalWhileAHelperRunsStopsAfterIt) {
    package({script_record("#!/bin/sh\nkill -TERM $PPID\nsleep 0.2\necho helper finished\n"),
             env_record("AFTER=1")});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 128 + SIGTERM) << describe(r);
    EXPECT_TRUE(masked(r.out).find("helper finished\nInstallation interrupted.\n") !=
                std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("AFTER=1"), std::string::npos);
    EXPECT_TRUE(snapshot_tree(tmp_).empty());
}

// After an archive failed, no later script or helper program runs: there is no whole product for
// them to work on. A helper program before the archive has run.
TEST_F(DriverTest, HelpersAfterAFailedArchiveAreSkipped) {
    package({program_record("#!/bin/sh\necho before\n"),
             archive_record(TarBuilder().file("f", "1").file("../escape", "x").finish()),
             script_record("#!/bin/sh\necho script\n"), program_record("#!/bin/sh\necho after\n")});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out,
              "before\n\nExtracting f .. 1 bytes\nExtracting ../escape .. 1 bytes\n"
              "Refusing unsafe path ../escape\nExtracting  .. 0 bytes\n"
              "The archive's changes were rolled back.\n"
              "Skipping post-install script: the product was not installed whole.\n"
              "Skipping helper program: the product was not installed whole.\n" +
                  std::string(kFailure));
    EXPECT_TRUE(snapshot_tree(work_).empty());
    EXPECT_TRUE(snapshot_tree(tmp_).empty());
}

// Standard output and error reach a shared terminal in program order.
TEST_F(DriverTest, StreamsInterleaveInProgramOrder) {
    package({env_record("A=1"), Record{zn::kRecordEnvironment, "B=2", 10}});
    RunOptions merged;
    merged.merge_stderr = true;
    RunResult r = run({}, merged);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(without_progress(r.out), banner(pkg_) + "\nA=1\nPremature EOF reading env var\n");
}

}  // namespace
}  // namespace zn_test
