// The installer's own options through the real installer: help and version, unattended installs
// with -target, -check, -list, -noexec, refused options, arguments and combinations.
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "e2e/installer_fixture.h"
#include "package/package_format.h"
#include "package/product_record.h"

namespace zn_test {
namespace {

constexpr const char kMarkingProgram[] = "#!/bin/sh\ntouch program-ran\n";

class OptionsTest : public InstallerTest {
   protected:
    // A package whose script and program would leave a mark in the current directory.
    std::string marking_package(const std::string &tar) {
        return package({env_record("A=1"), welcome_record("Welcome\n"), archive_record(tar),
                        script_record("#!/bin/sh\ntouch script-ran\n"),
                        program_record(kMarkingProgram)});
    }
};

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST_F(OptionsTest, InformationOnlyAndRefusedCommandLinesActOnNothing) {
    marking_package(TarBuilder().file("f", "x").finish());
    auto before = snapshot_tree(dir_.path());
    struct {
        std::vector<std::string> args;
        int status;
        std::string out_start, err;
    } rows[] = {
        {{"-help"}, 0, "usage: " + pkg_ + " [option]...\n", ""},
        {{"--help"}, 0, "usage: ", ""},
        {{"-h", "-gz", "-list"}, 0, "usage: ", ""},  // help wins over a refused combination
        {{"--version"}, 0, "ZNINSTALL v1.007 Copyright (C) 2026 the zninstall developers.\n", ""},
        {{"-list", "-gz"}, 1, "", "-list cannot be combined with -gz"},
        {{"--check", "-target", "x"}, 1, "", "-check cannot be combined with -target"},
        {{"-gz", "-target=x"}, 1, "", "-gz cannot be combined with -target"},
        {{"-noexec", "-d"}, 1, "", "-d cannot be combined with -noexec"},
        {{"-quiet", "-target"}, 1, "", "-target needs a directory"},
        // A mistyped option or a stray word never turns into an install.
        {{"-chek"}, 1, "", "unknown option -chek"},
        {{"--taget", "./here"}, 1, "", "unknown option --taget"},
        {{"-V"}, 1, "", "unknown option -V"},
        {{"-"}, 1, "", "unknown option -"},
        {{"--"}, 1, "", "unknown option --"},
        {{"-program=setup"}, 1, "", "unknown option -program=setup"},
        {{"/opt/app"}, 1, "", "unexpected argument /opt/app"},
        {{"-quiet", "foo", "-d"}, 1, "", "unexpected argument foo"},
        {{"-target", "-noexec"}, 1, "", "-target needs a directory"},
        {{"-target="}, 1, "", "-target needs a directory"},
        {{"-target", ""}, 1, "", "-target needs a directory"},
    };
    for (const auto &row : rows) {
        RunResult r = run(row.args);
        SCOPED_TRACE(row.args[0] + " " + describe(r));
        EXPECT_EQ(r.exit_code, row.status);
        EXPECT_EQ(r.out.rfind(row.out_start, 0), 0u);
        EXPECT_EQ(r.out.empty(), row.out_start.empty());
        EXPECT_EQ(r.err, row.err.empty() ? "" : "zninstall: " + row.err + " (see -help)\n");
        EXPECT_EQ(diff_trees(before, snapshot_tree(dir_.path())), "");
    }
    EXPECT_TRUE(contains(run({"-help"}).out, "\nExit status: 0 success"));
    std::istringstream help(run({"-help"}).out);
    for (std::string line; std::getline(help, line);) EXPECT_LE(line.size(), 80u) << line;
}

// DIR and its missing parents are made; with a welcome record its text is shown and nothing
// asked, without one the archive still goes there; the script gets DIR as INSTALL_ROOT.
TEST_F(OptionsTest, TargetInstallsUnattended) {
    std::string tar = TarBuilder().file("bin/tool", "t", 0755).finish();
    Record script = script_record("#!/bin/sh\necho \"root=$INSTALL_ROOT\"\n");
    struct {
        bool welcome;
        std::vector<std::string> args;
        std::string dir;
    } rows[] = {
        {true, {"-target", dir_ / "a/b/c"}, dir_ / "a/b/c"},
        {false, {"--target=$HOME/x/y"}, dir_ / "x/y"},
        {true, {"-quiet", "-target", "rel/z"}, work_ + "/rel/z"},
    };
    for (const auto &row : rows) {
        std::vector<Record> records = {archive_record(tar), script};
        if (row.welcome) records.insert(records.begin(), welcome_record("Hello there\n"));
        package(records);
        RunResult r = run(row.args);
        SCOPED_TRACE(row.dir + describe(r));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.rfind(row.welcome ? "Hello there\nInstalling into " + row.dir + "\n"
                                          : "Installing into " + row.dir + "\n",
                              0),
                  0u);
        EXPECT_FALSE(contains(r.out, "Directory where to install"));
        EXPECT_TRUE(contains(r.out, "root=" + row.dir + "\n" + kSuccess));
        EXPECT_EQ(read_file(row.dir + "/bin/tool"), "t");
        struct stat st;
        ASSERT_EQ(stat(row.dir.substr(0, row.dir.rfind('/')).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }

    // The ownership check holds for -target too: refused before anything is made. The install
    // directory itself may not be writable by others even with the sticky bit, as /tmp is.
    std::string shared = dir_ / "shared", sticky = dir_ / "sticky";
    for (const auto &made : {std::make_pair(shared, 0777), std::make_pair(sticky, 01777)}) {
        ASSERT_EQ(mkdir(made.first.c_str(), 0755), 0);
        ASSERT_EQ(chmod(made.first.c_str(), mode_t(made.second)), 0);
    }
    const std::string refused[][2] = {{shared + "/new/dir", shared}, {sticky, sticky}};
    package({archive_record(tar), script});
    for (const auto &row : refused) {
        RunResult r = run({"-target", row[0]});
        EXPECT_EQ(r.exit_code, 1) << describe(r);
        EXPECT_EQ(r.out, "Error: The install directory can be changed by another user.\n       " +
                             row[1] + "\n");
        EXPECT_TRUE(snapshot_tree(shared).empty() && snapshot_tree(sticky).empty()) << row[0];
    }
}

TEST_F(OptionsTest, CheckReportsWithoutPromptingOrActing) {
    std::string good = package_bytes({env_record("A=1"), archive_record("x")});
    std::string flipped = good;
    flipped[good.size() - 3] ^= 0x10;
    struct {
        const char *what;
        std::string bytes;
        int status;
        std::string out, err_part;
    } rows[] = {
        {"intact", good, 0, "Package is intact.\n", "This may take a moment...\n\n"},
        {"truncated", good.substr(0, good.size() - 10), 1,
         "\n*** Error:\n    Package is corrupt - incorrect size detected.\n"
         "    File size should be: " +
             std::to_string(good.size()) +
             " bytes\n    Actual size        : " + std::to_string(good.size() - 10) + " bytes\n",
         "Calculated: "},
        {"flipped", flipped, 1, "", "Package is corrupt - file has failed checksum.\n"},
    };
    for (const auto &row : rows) {
        write_file(pkg_, row.bytes, 0755);
        RunOptions enter;
        enter.input = "\n\n";  // even given, no prompt takes it
        RunResult r = run({"-check"}, enter);
        SCOPED_TRACE(std::string(row.what) + describe(r));
        EXPECT_EQ(r.exit_code, row.status);
        EXPECT_EQ(r.out, row.out);
        EXPECT_FALSE(contains(r.err, "Press <Enter>"));
        EXPECT_TRUE(contains(r.err, row.err_part));
    }
}

// One line per entry, agreeing with the system's tar -tv on kind, permissions, size, name and
// link; the other records as one line each; nothing written or run.
TEST_F(OptionsTest, ListAgreesWithTarAndTouchesNothing) {
    TarBuilder::Header fifo, prefixed;
    fifo.name = "top/fifo";
    fifo.type = '6';
    prefixed.name = "leaf";
    prefixed.prefix = "pre/fix";
    prefixed.size = 2;
    std::string long_name = "top/" + std::string(120, 'n');
    std::string tar = TarBuilder()
                          .dir("top/", 0755)
                          .file("top/setuid", "abc", 04755)
                          .dir("top/sticky/", 01777)
                          .file("top/sticky/setgid", std::string(700, 'g'), 02640)
                          .symlink("top/link", "setuid")
                          .hardlink("top/hard", "top/setuid")
                          .entry(fifo, "")
                          .gnu_longname(long_name)
                          .file("cut", "L")
                          .pax({{"path", "pax/named"}})
                          .file("ignored", "12345")
                          .entry(prefixed, "pp")
                          .finish();
    write_file(dir_ / "a.tar", tar);
    RunResult tv = run_process({"/bin/sh", "-c", "tar -tvf " + dir_ / "a.tar"});
    ASSERT_EQ(tv.exit_code, 0) << describe(tv);
    std::string entries;
    std::istringstream lines(tv.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string perms, owner, size, date, time, rest;
        f >> perms >> owner >> size >> date >> time >> std::ws;
        std::getline(f, rest);
        entries += perms + " " + std::string(12 - size.size(), ' ') + size + " " + rest + "\n";
    }
    std::string want = "env A=1\nwelcome 8 bytes\n" + entries + "script\nprogram " +
                       std::to_string(sizeof kMarkingProgram - 1) + " bytes\n";
    marking_package(tar);
    auto before = snapshot_tree(dir_.path());
    RunResult r = run({"--list"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(diff_trees(before, snapshot_tree(dir_.path())), "");

    // A zstd archive lists as its bzip2 twin does.
    package({Record{zn::kRecordZstdArchive, zstd_compress(tar)}});
    r = run({"-list"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, entries);

    // An archive that cannot be read whole: what could be read is listed, and status 2.
    package({archive_record(tar.substr(0, 1300))});
    r = run({"-list"});
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_TRUE(contains(r.out, "top/setuid\n"));
    EXPECT_TRUE(contains(r.err, "Unexpected end of archive\n"));
}

// Neither helper is written or run; environment settings are still made, and with -gz the notice
// stays off standard output, which carries only the archive.
TEST_F(OptionsTest, NoexecRunsNothingFromThePackage) {
    std::string tar = TarBuilder().file("f", "x").finish();
    marking_package(tar);
    RunResult r = run({"-noexec", "-target", dir_ / "inst"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, "A=1\n"));
    EXPECT_TRUE(contains(
        r.out, "Skipping post-install script\nSkipping helper program\n" + std::string(kSuccess)));
    EXPECT_EQ(read_file(dir_ / "inst/f"), "x");
    EXPECT_FALSE(exists(dir_ / "inst/script-ran") || exists(dir_ / "inst/program-ran"));
    EXPECT_TRUE(snapshot_tree(tmp_).empty());

    r = run({"-gz", "--noexec"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, tar);
    EXPECT_TRUE(contains(r.err, "Skipping helper program\n"));
    EXPECT_FALSE(exists(work_ + "/program-ran"));
}

// A product record with a licence: the licence is asked for (or accepted with -accept) before
// anything is written, the free space is checked before anything is written (unless
// -nodiskspace), -progress replaces the per-file lines and still shows failures, and -version
// names the product.
TEST_F(OptionsTest, ProductLicenceSpaceAndProgress) {
    auto product = [](uint64_t size) {
        zn::product_info p;
        zn::product_info_init(&p);
        p.has_name = p.has_version = p.has_unpacked_size = p.has_entries = 1;
        std::snprintf(p.name, sizeof p.name, "Acme");
        std::snprintf(p.version, sizeof p.version, "2.1");
        p.unpacked_size = size;
        p.entries = 1;
        zn::dstr body;
        zn::dstr_init(&body, 64);
        zn::product_record_encode(&p, &body);
        Record r{zn::kRecordProduct, std::string(body.dl_ptr, size_t(body.dl_len))};
        zn::dstr_free(&body);
        return r;
    };
    const std::string good = TarBuilder().file("bin/tool", "t", 0755).finish();
    const std::string refused = TarBuilder().file("bin/tool", "t").file("../x", "x").finish();
    const Record licence{zn::kRecordLicence, "Acme terms.\n"};
    const std::string target = dir_ / "acme";
    const std::string asked = "Acme terms.\nDo you accept the licence [y/n] ? ";
    const std::string aborted = asked + "Installation aborted: the licence was not accepted.\n";
    const std::string no_space = "Error: Not enough free space in " + target + ": ";
    struct {
        const char *what;
        uint64_t size;
        std::string tar;
        std::vector<std::string> args;
        std::optional<std::string> input;
        int status;
        std::string out_part;  // "" : not looked at
        bool installed;
    } rows[] = {
        {"accepted", 1, good, {"-target", target}, "y\n", 0, asked + "Installing into", true},
        {"refused", 1, good, {"-target", target}, "no\n", 1, aborted, false},
        {"end of input", 1, good, {"-target", target}, std::nullopt, 1, aborted, false},
        {"-accept",
         1,
         good,
         {"--accept", "-target", target},
         std::nullopt,
         0,
         "Acme terms.\nThe licence was accepted with -accept.\n",
         true},
        {"no room",
         uint64_t(1) << 60,
         good,
         {"-accept", "-target", target},
         std::nullopt,
         1,
         no_space,
         false},
        {"-nodiskspace",
         uint64_t(1) << 60,
         good,
         {"-accept", "-nodiskspace", "-target", target},
         std::nullopt,
         0,
         "",
         true},
        {"-progress",
         1,
         good,
         {"-accept", "-progress", "-target", target},
         std::nullopt,
         0,
         "\n100% 1 bytes of 1 bytes, 1 of 1 files, ",
         true},
        {"-progress with a failure",
         1,
         refused,
         {"-accept", "-progress", "-target", target},
         std::nullopt,
         2,
         "Refusing unsafe path ../x\n",
         false},
        {"-version", 1, good, {"-version"}, std::nullopt, 0, "Acme 2.1\nZNINSTALL v1.007 ", false},
        {"-list",
         1,
         good,
         {"-list"},
         std::nullopt,
         0,
         "product name=Acme version=2.1 size=1 entries=1\nlicence 12 bytes\nAcme terms.\n",
         false},
        {"-info",
         1,
         good,
         {"-info"},
         std::nullopt,
         0,
         "product: Acme\nversion: 2.1\nunpacked: 1 bytes in 1 entries\n",
         false},
    };
    for (const auto &row : rows) {
        remove_tree(target);
        package({product(row.size), licence, archive_record(row.tar)});
        RunOptions o;
        o.input = row.input;
        RunResult r = run(row.args, o);
        SCOPED_TRACE(std::string(row.what) + describe(r));
        EXPECT_EQ(r.exit_code, row.status);
        EXPECT_TRUE(contains(r.out, row.out_part));
        bool progress = std::find(row.args.begin(), row.args.end(), "-progress") != row.args.end();
        EXPECT_EQ(contains(r.out, "Extracting bin/tool"), row.installed && !progress);
        EXPECT_EQ(exists(target + "/bin/tool"), row.installed);
        // Refused before anything is written.
        EXPECT_TRUE(row.status != 1 || !exists(target));
    }
    // A line that never ends is no acceptance, at once.
    package({product(1), licence, archive_record(good)});
    RunResult zeros = run_then_zeros("");
    EXPECT_FALSE(zeros.timed_out);
    EXPECT_EQ(zeros.exit_code, 1) << describe(zeros);
    EXPECT_TRUE(contains(zeros.out, aborted)) << zeros.out;
}

}  // namespace
}  // namespace zn_test
