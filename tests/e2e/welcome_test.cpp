// The welcome record through the real installer: the wrapped text, the directory questions, and
// where the rest of the package then lands.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "e2e/installer_fixture.h"
#include "package/package_format.h"

namespace zn_test {
namespace {

constexpr const char kQuestion[] = "Directory where to install software [/usr/local/zantho]: ";

std::string create_question(const std::string &dir) {
    return "\nThe install directory [" + dir +
           "] does not exist.\nDo you wish to create it [y/n] ? ";
}

class WelcomeTest : public InstallerTest {
   protected:
    // What the installer prints for a welcome text, answered with an existing directory.
    std::string shown(const std::string &text) {
        package({welcome_record(text)});
        RunOptions o;
        o.input = work_ + "\n";
        RunResult r = run({}, o);
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        std::string tail = kQuestion + std::string(kSuccess);
        if (r.out.size() < tail.size() || r.out.substr(r.out.size() - tail.size()) != tail) {
            ADD_FAILURE() << r.out;
            return "";
        }
        return r.out.substr(0, r.out.size() - tail.size());
    }

    // Runs the installer in a private mount namespace with an empty /usr/local, so that the
    // default directory can be taken without touching the machine's own.
    RunResult run_with_private_usr_local(const RunOptions &o) {
        std::string probe = "mount -t tmpfs none /usr/local && exec \"$0\" \"$@\"";
        return run_process({"/usr/bin/unshare", "-m", "/bin/sh", "-c", probe, pkg_}, with_env(o));
    }
    RunOptions with_env(RunOptions o) {
        o.cwd = work_;
        o.env["TEMP"] = tmp_;
        o.env["PATH"] = "/usr/bin:/bin";
        return o;
    }
    bool private_mounts_work() {
        return run_process(
                   {"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs none /usr/local"})
                   .exit_code == 0;
    }
};

TEST_F(WelcomeTest, WrapsWordsAtColumn75) {
    std::string a69 = std::string(69, 'a') + " ";  // the next word starts at column 70
    std::string a64 = std::string(64, 'a') + " ";  // ... at column 65
    std::string word = "bbbbbbbbbb";
    struct {
        const char *what;
        std::string text, want;
    } rows[] = {
        {"ten letters at 70 move", a69 + word + " c\n", a69 + "\n" + word + " c\n"},
        {"ten letters at 65 stay", a64 + word + " c\n", a64 + word + " \nc\n"},
        {"short lines unchanged", "one\ntwo three\r\nfour\n", "one\ntwo three\r\nfour\n"},
        {"carriage returns count a column", std::string(70, 'r') + "\r\r\r\r " + "xy\n",
         std::string(70, 'r') + "\r\r\r\r \nxy\n"},
        {"a word longer than a line goes on its own line, unbroken",
         "start " + std::string(80, 'w') + " end\n",
         "start \n" + std::string(80, 'w') + " \nend\n"},
        {"a long word at column 0 is printed as it is", std::string(90, 'v') + " after\n",
         std::string(90, 'v') + " \nafter\n"},
    };
    for (const auto &row : rows) EXPECT_EQ(shown(row.text), row.want) << row.what;
}

// The column carries across 1024-byte pieces, and a word at the very start of a piece is never
// moved, since the byte before it belongs to the previous piece.
TEST_F(WelcomeTest, PiecesOf1024Bytes) {
    std::string first = std::string(953, 'y') + "\n" + std::string(69, 'z') + " ";
    ASSERT_EQ(first.size(), 1024u);
    std::string text = first + "wwwwwwwwww next\n";
    EXPECT_EQ(shown(text), first + "wwwwwwwwww \nnext\n");

    // The column carries over: after the word at the piece start, the next word moves.
    text = first + "ab cdefghijkl\n";
    EXPECT_EQ(shown(text), first + "ab \ncdefghijkl\n");
}

TEST_F(WelcomeTest, AnswersAndTheirPaths) {
    std::string home = dir_.path();
    mkdir((work_ + "/a").c_str(), 0755);
    mkdir((dir_ / "quoted dir").c_str(), 0755);
    struct {
        std::string typed;
        std::string expanded;
        bool exists;
        std::string yes = "y";
    } rows[] = {
        {"$HOME/apps", home + "/apps", false},
        {"~/x", home + "/x", false, "Y"},
        {"~/long-yes", home + "/long-yes", false, std::string(5000, 'y')},
        {"a//b/", work_ + "/a/b", false},
        {"\"" + home + "/quoted dir\"", home + "/quoted dir", true},
        {home + "/./y/../z", home + "/z", false},
    };
    for (const auto &row : rows) {
        package({welcome_record("Hi\n"), program_record("#!/bin/sh\npwd\n"),
                 script_record("#!/bin/sh\necho \"root=$INSTALL_ROOT\"\n")});
        RunOptions o;
        o.input = row.typed + "\n" + row.yes + "\n";
        RunResult r = run({}, o);
        EXPECT_EQ(r.exit_code, 0) << row.typed << describe(r);
        std::string asked =
            std::string("Hi\n") + kQuestion + (row.exists ? "" : create_question(row.expanded));
        EXPECT_EQ(masked(r.out), asked + row.expanded + "\nExtract script to " + temp_file(tmp_) +
                                     "\nroot=" + row.expanded + "\n" + kSuccess)
            << row.typed;
        struct stat st;
        EXPECT_TRUE(stat(row.expanded.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << row.typed;
    }
}

TEST_F(WelcomeTest, DecliningOrFailingEndsTheRun) {
    std::string missing_parent = dir_ / "no/such/dir";
    std::string file = dir_ / "a-file";
    write_file(file, "x");
    // Answers too long for the buffer, which cut at its end would name dir/new and answer "y".
    std::string new_dir = dir_ / "new";
    std::string cut_yes = new_dir + std::string(1023 - new_dir.size(), '/') + "y";
    const std::string too_long = "Error: The install directory name is too long.\n";
    // then_zeros: the input goes on with NUL bytes and no line feed, ever (/dev/zero); the
    // question must refuse it rather than wait for the line's end.
    struct {
        std::string input;
        std::string out_tail;
        std::string err;
        bool then_zeros = false;
    } rows[] = {
        {dir_ / "new\nn\n",
         create_question(dir_ / "new") + "\nInstallation aborted. Please try again.\n", ""},
        {dir_ / "new\nok\n",
         create_question(dir_ / "new") + "\nInstallation aborted. Please try again.\n", ""},
        {cut_yes + "\ny\n", too_long, ""},
        {cut_yes + std::string(3976, 'y') + "\ny\n", too_long, ""},
        {missing_parent + "\ny\n",
         create_question(missing_parent) +
             "Error: Failed to create the install directory.\n       " + missing_parent + "\n",
         "Create failed: No such file or directory\n"},
        {file + "\n", "Error: Cannot switch to the install directory.\n       " + file + "\n",
         "Create failed: Not a directory\n"},
        {"", too_long, "", true},
        {dir_ / "new\n",
         create_question(dir_ / "new") + "\nInstallation aborted. Please try again.\n", "", true},
    };
    for (const auto &row : rows) {
        package({welcome_record("Hello\n"), env_record("NEVER=1")});
        RunOptions o;
        o.input = row.input;
        RunResult r = row.then_zeros ? run_then_zeros(row.input) : run({}, o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 1) << describe(r);
        EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion + row.out_tail);
        EXPECT_EQ(without_progress(r.err), banner(pkg_) + "\n" + row.err);
        EXPECT_FALSE(exists(dir_ / "new"));
    }
}

// An install directory that a user other than the installing one and root could change, or a
// link to it that such a user planted in a shared directory, is refused before anything is
// created or written; links are followed to what they reach ("..", after one, leaves its
// target). Group-writable directories and the user's own are fine.
TEST_F(WelcomeTest, InstallDirectoryOthersCanChangeIsRefused) {
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    bool root = geteuid() == 0;
    auto make_dir = [&](const std::string &name, int mode) {
        EXPECT_EQ(mkdir((dir_ / name).c_str(), 0700), 0);
        EXPECT_EQ(chmod((dir_ / name).c_str(), mode_t(mode)), 0);
        return dir_ / name;
    };
    std::string other = make_dir("other", 0755), open_dir = make_dir("open", 0777);
    std::string sticky = make_dir("sticky", 01777), real = make_dir("real", 0755);
    std::string team = make_dir("team", 0775), mine = make_dir("mine", 0755);
    make_dir("b", 0755), make_dir("b/c", 0755), make_dir("b/bad", 0777);
    ASSERT_EQ(symlink(real.c_str(), (sticky + "/app").c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), (mine + "/to-other").c_str()), 0);
    ASSERT_EQ(symlink((dir_ / "b/c").c_str(), (mine + "/in").c_str()), 0);
    ASSERT_EQ(symlink("in/../bad", (mine + "/up").c_str()), 0);  // mine/in/.. is b, not mine
    if (root) {
        ASSERT_EQ(chown(other.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(lchown((sticky + "/app").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    struct {
        std::string typed;
        std::string culprit;  // "" when accepted
        bool needs_root;      // another user's file needs root to make
    } rows[] = {
        {other + "/app", other, true},
        {open_dir + "/app", open_dir, false},
        {sticky + "/app", sticky + "/app", true},
        {mine + "/to-other/app", other, true},
        {mine + "/up/app", dir_ / "b/bad", false},
        {team + "/app", "", false},
        {mine, "", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed);
        if (row.needs_root && !root) {
            std::cout << "skipped, not root: cannot make a file of another user for " << row.typed
                      << "\n";
            continue;
        }
        package({welcome_record("Hello\n"), archive_record(TarBuilder().file("f", "1").finish())});
        RunOptions o;
        o.input = row.typed + "\ny\n";
        RunResult r = run({}, o);
        if (row.culprit.empty()) {
            EXPECT_EQ(r.exit_code, 0) << describe(r);
            EXPECT_EQ(read_file(row.typed + "/f"), "1");
            continue;
        }
        EXPECT_EQ(r.exit_code, 1) << describe(r);
        EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion +
                             "Error: The install directory can be changed by another user.\n"
                             "       " +
                             row.culprit + "\n");
        for (const std::string &never :
             {other + "/app", open_dir + "/app", real + "/f", dir_ / "b/bad/app"})
            EXPECT_FALSE(exists(never)) << never;
    }
}

// End of input at the create question counts as yes.
TEST_F(WelcomeTest, EndOfInputAtTheCreateQuestionCreates) {
    package({welcome_record("Hello\n"), archive_record(TarBuilder().file("f", "1").finish())});
    std::string target = dir_ / "made";
    RunOptions o;
    o.input = target + "\n";
    RunResult r = run({}, o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion + create_question(target) +
                         "\nExtracting f .. 1 bytes\nExtracting  .. 0 bytes\n" + kSuccess);
    EXPECT_EQ(read_file(target + "/f"), "1");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Enter, or end of input, at the first question takes /usr/local/zantho. Run where /usr/local is
// a private, empty file system.
TEST_F(WelcomeTest, DefaultDirectory) {
    if (!private_mounts_work()) GTEST_SKIP() << "no private mount namespace on this machine";
    package({welcome_record("Hello\n"), program_record("#!/bin/sh\npwd\n")});
    struct {
        std::optional<std::string> input;
        std::string out;
        int exit_code;
    } rows[] = {
        {"\nn\n",
         create_question("/usr/local/zantho") + "\nInstallation aborted. Please try again.\n", 1},
        {"\ny\n", create_question("/usr/local/zantho") + "/usr/local/zantho\n" + kSuccess, 0},
        {std::nullopt, create_question("/usr/local/zantho") + "/usr/local/zantho\n" + kSuccess, 0},
    };
    for (const auto &row : rows) {
        RunOptions o;
        o.input = row.input;
        RunResult r = run_with_private_usr_local(o);
        EXPECT_EQ(r.exit_code, row.exit_code) << describe(r);
        EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion + row.out);
    }
}

TEST_F(WelcomeTest, DumpModeAsksNothing) {
    std::string tar = TarBuilder().file("f", "content").finish();
    package({welcome_record("You should not see this\n"), archive_record(tar)});
    RunResult r = run({"-gz"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(r.out == tar);
    EXPECT_FALSE(exists(work_ + "/f"));
}

TEST_F(WelcomeTest, ShortWelcomeBodyEndsTheRun) {
    package({Record{zn::kRecordWelcome, std::string(1500, 'x'), 3000}});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, std::string(1024, 'x'));
    std::string err = without_progress(r.err);
    EXPECT_EQ(err.substr(err.size() - 23), "Premature EOF detected\n");
}

}  // namespace
}  // namespace zn_test
