// Each archive installs whole or not at all, through the real installer: a full disk, a signal
// and a crash in the middle of an archive, on a fresh install and on an upgrade. Faults come from
// the call log library preloaded into the installer (tools/call_log.cpp).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <random>

#include "e2e/installer_fixture.h"
#include "package/package_format.h"

namespace zn_test {

namespace {

class TransactionTest : public InstallerTest {
   protected:
    // Options that preload the call log with fault=N (ZN_FAIL_WRITE, ZN_KILL_AT_WRITE).
    static RunOptions fault(const std::string &name, int n) {
        RunOptions o;
        const char *asan = std::getenv("ASAN_OPTIONS");
        o.env["LD_PRELOAD"] = ZN_CALL_LOG_PATH;
        o.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
        o.env[name] = std::to_string(n);
        return o;
    }

    // Empties the install directory (the fixture's working directory).
    void empty_work() {
        remove_tree(work_);
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    }

    // The inode of every entry below root: an entry put back is the old one, not a copy.
    static std::map<std::string, ino_t> inodes(const std::string &root) {
        std::map<std::string, ino_t> out;
        for (const auto &kv : snapshot_tree(root)) {
            struct stat st;
            if (lstat((root + "/" + kv.first).c_str(), &st) == 0) out[kv.first] = st.st_ino;
        }
        return out;
    }
};

// Version 1 of a product, and version 2 to install over it: new contents and modes (a directory's
// too), a new file, a file that becomes a symbolic link, one that becomes a directory, a file that
// only version 1 has, and a hard link, in place of a file, to a file that version 2 replaces.
std::string version1() {
    return TarBuilder()
        .dir("bin/", 0755)
        .file("bin/tool", "v1 tool\n", 0755)
        .file("lib/libx.so", "v1 lib", 0644)
        .dir("share/", 0755)
        .file("share/readme", "v1 readme\n", 0644)
        .file("plugins", "v1: a file\n", 0644)
        .file("data/conf", "v1 conf\n", 0600)
        .file("data/conf-link", "v1: a file of its own\n", 0644)
        .file("link-me", "v1 plain file\n", 0644)
        .file("v1-only", "stays\n", 0644)
        .finish();
}

// Its regular files are written in this order, one write each (the archive is far smaller than
// what the installer hands over at a time).
const char *const kVersion2Files[] = {"bin/tool",     "lib/libx.so", "lib/libnew.so",
                                      "share/readme", "plugins/a",   "data/conf"};

std::string version2() {
    return TarBuilder()
        .dir("bin/", 0750)
        .file("bin/tool", "v2 tool, longer than before\n", 0700)
        .file("lib/libx.so", "v2 lib", 0644)
        .file("lib/libnew.so", "new in v2", 0644)
        .dir("share/", 0750)
        .file("share/readme", "v2 readme\n", 0444)
        .dir("plugins/", 0755)
        .file("plugins/a", "plugin a\n", 0644)
        .symlink("link-me", "share/readme")
        .file("data/conf", "v2 conf\n", 0640)
        .hardlink("data/conf-link", "data/conf")
        .finish();
}

// A full disk at the first, a middle and the last file leaves the tree as it was before the run,
// entry for entry, with no temporaries; the entries after the failure are only read. With one
// write more than the files take, the upgrade goes through and gives version 2 over version 1.
TEST_F(TransactionTest, FullDiskLeavesTheTreeAsItWas) {
    write_package(dir_ / "v1", {archive_record(version1())});
    package({archive_record(version2())});
    struct {
        bool upgrade;
        int nth;  // of kVersion2Files, from 1
    } rows[] = {{false, 1}, {false, 3}, {false, 6}, {true, 1}, {true, 5}, {true, 6}};
    for (const auto &row : rows) {
        std::string file = kVersion2Files[row.nth - 1];
        SCOPED_TRACE((row.upgrade ? "upgrade, full at " : "fresh, full at ") + file);
        empty_work();
        if (row.upgrade) {
            ASSERT_EQ(run({"-nosync"}, {}, dir_ / "v1").exit_code, 0);
        }
        auto before = snapshot_tree(work_);
        auto before_inodes = inodes(work_);
        RunResult r = run({}, fault("ZN_FAIL_WRITE", row.nth));
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        size_t failed = r.out.find("Error writing file " + file + "\n");
        ASSERT_NE(failed, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Extracting", failed), std::string::npos) << r.out.substr(failed);
        EXPECT_NE(r.out.find("The archive's changes were rolled back.\n" + std::string(kFailure)),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.err.find("zninstall: " + file + ": No space left on device\n"),
                  std::string::npos)
            << r.err;
        // Hidden temporaries left behind would show here as unexpected entries.
        EXPECT_EQ(diff_trees(before, snapshot_tree(work_)), "");
        EXPECT_TRUE(inodes(work_) == before_inodes);
    }

    empty_work();
    ASSERT_EQ(run({"-nosync"}, {}, dir_ / "v1").exit_code, 0);
    RunResult r = run({}, fault("ZN_FAIL_WRITE", 7));
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    std::map<std::string, TreeEntry> want = {
        {"bin", {'d', 0751, ""}},
        {"bin/tool", {'f', 0700, "v2 tool, longer than before\n"}},
        {"lib", {'d', 0755, ""}},
        {"lib/libx.so", {'f', 0644, "v2 lib"}},
        {"lib/libnew.so", {'f', 0644, "new in v2"}},
        {"share", {'d', 0751, ""}},
        {"share/readme", {'f', 0444, "v2 readme\n"}},
        {"plugins", {'d', 0755, ""}},
        {"plugins/a", {'f', 0644, "plugin a\n"}},
        {"link-me", {'l', 0, "share/readme"}},
        {"data", {'d', 0711, ""}},
        {"data/conf", {'f', 0640, "v2 conf\n"}},
        {"data/conf-link", {'f', 0640, "v2 conf\n"}},
        {"v1-only", {'f', 0644, "stays\n"}},
    };
    EXPECT_EQ(diff_trees(want, snapshot_tree(work_)), "");
    auto now = inodes(work_);
    EXPECT_EQ(now["data/conf"], now["data/conf-link"]);
}

// A run killed in the middle of an archive leaves its directories with the modes they are made
// with while entries go beneath them (owner-writable, no set-ID or sticky bit); installing again
// gives every directory the archive's mode, though each is there already.
TEST_F(TransactionTest, RerunAfterAKillGivesTheDirectoriesTheirModes) {
    package({archive_record(TarBuilder()
                                .dir("ro/", 0555)
                                .file("ro/inner/f", "r")
                                .dir("sgid/", 02755)
                                .file("sgid/f", "g")
                                .dir("sticky/", 01777)
                                .file("sticky/f", "s")
                                .file("last", "l")
                                .finish())});
    RunResult killed = run({}, fault("ZN_KILL_AT_WRITE", 3));
    ASSERT_EQ(killed.signal, SIGKILL) << describe(killed);
    ASSERT_TRUE(exists(work_ + "/sticky/f") && !exists(work_ + "/last"));
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    std::map<std::string, TreeEntry> want = {
        {"ro", {'d', 0555, ""}},          {"ro/inner", {'d', 0755, ""}},
        {"ro/inner/f", {'f', 0644, "r"}}, {"sgid", {'d', 02755, ""}},
        {"sgid/f", {'f', 0644, "g"}},     {"sticky", {'d', 01755, ""}},
        {"sticky/f", {'f', 0644, "s"}},   {"last", {'f', 0644, "l"}},
    };
    EXPECT_EQ(diff_trees(want, snapshot_tree(work_)), "");
}

// An upgrade that replaces a file in a directory and makes the directory read-only leaves no
// hidden temporary holding the old file: what was replaced is removed while the directory can
// still be written. Run by a user who is not root (nobody, when the tests run as root), for whom
// a directory's permissions hold.
TEST_F(TransactionTest, UpgradeMakingADirectoryReadOnlyLeavesNoTemporary) {
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        struct passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        as_user = {"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                   "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"};
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
        for (const std::string &own : {work_, tmp_})
            ASSERT_EQ(chown(own.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    write_package(dir_ / "v1",
                  {archive_record(TarBuilder().dir("ro/", 0755).file("ro/f", "old").finish())});
    package({archive_record(TarBuilder().dir("ro/", 0555).file("ro/f", "new").finish())});
    RunOptions o;
    o.cwd = work_;
    o.env = {{"TEMP", tmp_}, {"PATH", "/usr/bin:/bin"}, {"HOME", work_}};
    for (const std::string &setup : {dir_ / "v1", pkg_}) {
        std::vector<std::string> argv = as_user;
        argv.insert(argv.end(), {setup, "-nosync"});
        RunResult r = run_process(argv, o);
        EXPECT_EQ(r.exit_code, 0) << setup << describe(r);
    }
    EXPECT_EQ(
        diff_trees({{"ro", {'d', 0555, ""}}, {"ro/f", {'f', 0644, "new"}}}, snapshot_tree(work_)),
        "");
}

// A product of two hundred files in ten directories, some 2 MB that do not compress, whose
// contents depend on seed.
std::string large_product(uint32_t seed) {
    TarBuilder tar;
    for (int d = 0; d < 10; d++) {
        std::string dir = "d" + std::to_string(d) + "/";
        tar.dir(dir, d % 3 ? 0755 : 0750);
        for (int f = 0; f < 20; f++) {
            std::string data(10000 + 100 * f, '\0');
            for (char &c : data) c = char((seed = seed * 1103515245u + 12345u) >> 24);
            tar.file(dir + "f" + std::to_string(f), data, f % 2 ? 0644 : 0755);
        }
    }
    return tar.finish();
}

// SIGTERM at a random point of an upgrade, from verification to the script: the tree is then the
// old one, or the whole new one when the signal came once the archive was committed; never a mix,
// never a temporary left, and the private temporary directory goes. The delays are drawn from a
// fixed seed over 1.3 times the length of an uninterrupted upgrade.
TEST_F(TransactionTest, InterruptedUpgradeLeavesTheOldTreeOrTheNewOne) {
    write_package(dir_ / "v1",
                  {Record{zn::kRecordZstdArchive, zstd_compress(large_product(1), 1)}});
    package({Record{zn::kRecordZstdArchive, zstd_compress(large_product(2), 1)},
             script_record("#!/bin/sh\necho script ran\n")});
    ASSERT_EQ(run({"-nosync"}, {}, dir_ / "v1").exit_code, 0);
    auto old_tree = snapshot_tree(work_);
    RunResult whole = run({"-nosync"});
    ASSERT_EQ(whole.exit_code, 0) << describe(whole);
    auto new_tree = snapshot_tree(work_);
    ASSERT_EQ(new_tree.size(), 10u * 21);

    // The signal is sent once the installer has written its banner, by then catching signals.
    const std::string interrupt =
        ": >\"$2\"; \"$0\" -nosync 2>\"$2\" & p=$!; until [ -s \"$2\" ]; do sleep 0.001; done; "
        "sleep \"$1\"; kill -TERM $p 2>/dev/null; wait $p; s=$?; cat \"$2\" >&2; exit $s";
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> delay(0, whole.seconds * 1.3);
    int old_count = 0, new_count = 0;
    for (int round = 0; round < 6; round++) {
        if (!diff_trees(old_tree, snapshot_tree(work_)).empty()) {
            empty_work();
            ASSERT_EQ(run({"-nosync"}, {}, dir_ / "v1").exit_code, 0);
        }
        double seconds = delay(random);
        SCOPED_TRACE("SIGTERM after " + std::to_string(seconds) + " s");
        RunResult r =
            run({"-c", interrupt, pkg_, std::to_string(seconds), dir_ / "err"}, {}, "/bin/sh");
        auto now = snapshot_tree(work_);
        bool is_old = diff_trees(old_tree, now).empty(), is_new = diff_trees(new_tree, now).empty();
        EXPECT_TRUE(is_old || is_new) << "against the old tree: " << diff_trees(old_tree, now)
                                      << "; against the new one: " << diff_trees(new_tree, now);
        if (is_old) {
            EXPECT_EQ(r.exit_code, 143) << describe(r);
        }
        if (r.exit_code == 143) {
            const std::string interrupted = "Installation interrupted.\n";
            ASSERT_GE(r.out.size(), interrupted.size()) << describe(r);
            EXPECT_EQ(r.out.substr(r.out.size() - interrupted.size()), interrupted);
        } else {
            EXPECT_EQ(r.exit_code, 0) << describe(r);
        }
        EXPECT_TRUE(snapshot_tree(tmp_).empty()) << "left in TEMP";
        old_count += is_old;
        new_count += is_new;
    }
    std::cout << "interrupted upgrades: " << old_count << " left the old tree, " << new_count
              << " the new one\n";
}

}  // namespace
}  // namespace zn_test
