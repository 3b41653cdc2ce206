// The welcome record through the real installer: the wrapped text, the directory questions, and
// where the rest of the package then lands.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
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
    RunResult run_with_private_usr_local(const RunOptions &o, const std::string &redirect = "") {
        std::string probe = "mount -t tmpfs none /usr/local && exec \"$0\" \"$@\"" + redirect;
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

// Gives dir an access ACL that lets one named user (tag kAclUser) or group (kAclGroup), id 65534,
// read, write and search, as setfacl -m would. Returns false, errno set, when it cannot be set.
constexpr uint16_t kAclUser = 0x02, kAclGroup = 0x08;
bool set_named_acl(const std::string &dir, uint16_t tag) {
    constexpr uint32_t kNoId = 0xFFFFFFFF;  // the id of entries that name no one
    // Version 2, then entries {tag, permissions, id} sorted by tag, all little-endian.
    const struct {
        uint16_t tag, perm;
        uint32_t id;
    } entries[] = {{0x01, 7, kNoId},      {kAclUser, 7, 65534}, {0x04, 5, kNoId},
                   {kAclGroup, 7, 65534}, {0x10, 7, kNoId},     {0x20, 5, kNoId}};
    std::string acl;
    auto put = [&acl](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++) acl += char(v >> (8 * i) & 0xFF);
    };
    put(2, 4);
    for (const auto &e : entries) {
        if ((e.tag == kAclUser || e.tag == kAclGroup) && e.tag != tag) continue;
        put(e.tag, 2), put(e.perm, 2), put(e.id, 4);
    }
    return setxattr(dir.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
}

// An install directory that a user other than the installing one and root could change, or a
// link to it that such a user planted in a shared directory, is refused before anything is
// created or written; links are followed to what they reach ("..", after one, leaves its
// target). So is a temporary directory that such a user could change, before anything is shown.
// A directory planted inside the user's own install directory refuses the archive's entries
// below it: the archive is rolled back and the script skipped. Group-writable directories, a
// named group's ACL entry, a shared sticky directory on the way and the user's own are fine.
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
    std::string tmp_like = make_dir("tmp-like", 01777);
    std::string sticky_temp = make_dir("sticky-temp", 01777);
    std::string planted_open = make_dir("planted-open", 0755);
    std::string planted_other = make_dir("planted-other", 0755);
    std::string acl_user = make_dir("acl-user", 0775), acl_self = make_dir("acl-self", 0775);
    std::string acl_group = make_dir("acl-group", 0775);
    make_dir("b", 0755), make_dir("b/c", 0755), make_dir("b/bad", 0777);
    make_dir("tmp-like/me", 0755), make_dir("planted-open/bin", 0777);
    make_dir("planted-other/bin", 0755);
    ASSERT_EQ(symlink(real.c_str(), (sticky + "/app").c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), (mine + "/to-other").c_str()), 0);
    ASSERT_EQ(symlink((dir_ / "b/c").c_str(), (mine + "/in").c_str()), 0);
    ASSERT_EQ(symlink("in/../bad", (mine + "/up").c_str()), 0);  // mine/in/.. is b, not mine
    if (root) {
        ASSERT_EQ(chown(other.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(lchown((sticky + "/app").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(chown((planted_other + "/bin").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    bool acls = set_named_acl(acl_user, kAclUser) && set_named_acl(acl_self, kAclUser) &&
                set_named_acl(acl_group, kAclGroup);
    std::string no_acls = acls ? "" : std::strerror(errno);
    enum Outcome {
        kInstalls,
        kDirRefused,    // the install directory or the way to it; culprit: the one refused
        kEntryRefused,  // the archive's bin/ inside it; culprit: why bin/ is refused
        kTempRefused,   // the temporary directory or the way to it
    };
    struct Row {
        std::string typed;
        Outcome outcome;
        std::string culprit;
        bool needs_root = false;  // another user's file needs root to make
        bool needs_acl = false;
        std::string temp = "";  // TEMP, when not the fixture's
    } rows[] = {
        {other + "/app", kDirRefused, other, true},
        {open_dir + "/app", kDirRefused, open_dir},
        {sticky + "/app", kDirRefused, sticky + "/app", true},
        {mine + "/to-other/app", kDirRefused, other, true},
        {mine + "/up/app", kDirRefused, dir_ / "b/bad"},
        {acl_user + "/app", kDirRefused, acl_user, false, true},
        {acl_self, kDirRefused, acl_self, false, true},
        {planted_open, kEntryRefused, "others may write to it"},
        {planted_other, kEntryRefused, "owned by another user", true},
        {dir_ / "unused", kTempRefused, open_dir, false, false, open_dir},
        {dir_ / "unused", kTempRefused, other, true, false, other},
        {team + "/app", kInstalls, ""},
        {mine, kInstalls, ""},
        {tmp_like + "/me/app", kInstalls, ""},
        {acl_group + "/app", kInstalls, "", false, true},
        {dir_ / "sticky-temp-used", kInstalls, "", false, false, sticky_temp},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed + " with TEMP " + row.temp);
        if (row.needs_root && !root) {
            std::cout << "skipped, not root: cannot make a file of another user for " << row.typed
                      << "\n";
            continue;
        }
        if (row.needs_acl && !acls) {
            std::cout << "skipped, no ACL can be set here (" << no_acls << ") for " << row.typed
                      << "\n";
            continue;
        }
        package({welcome_record("Hello\n"),
                 archive_record(TarBuilder().file("f", "1").file("bin/tool", "t", 0755).finish()),
                 script_record("#!/bin/sh\necho \"ran $0\"\n")});
        std::string temp = row.temp.empty() ? tmp_ : row.temp;
        RunOptions o;
        o.input = row.typed + "\ny\n";
        o.env["TEMP"] = temp;
        RunResult r = run({}, o);
        const std::string refused =
            "Error: The install directory can be changed by another user.\n";
        switch (row.outcome) {
            case kInstalls:
                EXPECT_EQ(r.exit_code, 0) << describe(r);
                EXPECT_EQ(read_file(row.typed + "/bin/tool"), "t");
                // The script ran from a private directory inside TEMP.
                EXPECT_NE(masked(r.out).find("\nran " + temp_file(temp) + "\n" + kSuccess),
                          std::string::npos)
                    << r.out;
                break;
            case kDirRefused:
                EXPECT_EQ(r.exit_code, 1) << describe(r);
                EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion + refused + "       " +
                                     row.culprit + "\n");
                break;
            case kEntryRefused:
                EXPECT_EQ(r.exit_code, 2) << describe(r);
                EXPECT_NE(r.out.find("Refusing unsafe path bin/tool\n"), std::string::npos)
                    << r.out;
                EXPECT_NE(r.out.find("The archive's changes were rolled back.\n"
                                     "Skipping post-install script: the product was not installed "
                                     "whole.\n" +
                                     std::string(kFailure)),
                          std::string::npos)
                    << r.out;
                EXPECT_NE(r.err.find("zninstall: bin: " + row.culprit + "\n"), std::string::npos)
                    << r.err;
                EXPECT_FALSE(exists(row.typed + "/bin/tool"));
                EXPECT_FALSE(exists(row.typed + "/f"));  // rolled back with the archive
                break;
            case kTempRefused:
                EXPECT_EQ(r.exit_code, 1) << describe(r);
                EXPECT_EQ(r.out,
                          "Error: The temporary directory can be changed by another user.\n"
                          "       " +
                              row.culprit + "\n");
                EXPECT_FALSE(exists(row.typed));
                break;
        }
        EXPECT_TRUE(snapshot_tree(temp).empty()) << "left in TEMP";
        for (const std::string &never : {other + "/app", open_dir + "/app", real + "/f",
                                         dir_ / "b/bad/app", acl_user + "/app", acl_self + "/f"})
            EXPECT_FALSE(exists(never)) << never;
    }
}

// The way to the install directory is walked again after the create question: a missing parent
// that another user makes, open to all, while the question waits is seen and refused. The
// feeder answers only once the question is in the output.
TEST_F(WelcomeTest, ParentMadeWhileTheQuestionWaitsIsRefused) {
    package({welcome_record("Hello\n"), archive_record(TarBuilder().file("f", "1").finish())});
    std::string race = dir_ / "race", out = dir_ / "out";
    std::string feeder =
        "{ printf '%s\\n' \"$1\"; i=0; until grep -q 'Do you wish' \"$3\" || [ $i -ge 500 ]; do "
        "sleep 0.02; i=$((i+1)); done; mkdir -m 0777 \"$2\"; chmod 0777 \"$2\"; echo y; } | "
        "\"$0\" >\"$3\"; s=$?; cat \"$3\"; exit $s";
    RunResult r = run({"-c", feeder, pkg_, race + "/app", race, out}, {}, "/bin/sh");
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_EQ(r.out, std::string("Hello\n") + kQuestion + create_question(race + "/app") +
                         "Error: The install directory can be changed by another user.\n       " +
                         race + "\n");
    EXPECT_TRUE(snapshot_tree(race).empty());
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
// a private, empty file system. A closed standard input is end of input too: the installer's own
// package file, opened as the lowest free descriptor, used to become standard input and its bytes
// were read as the answers.
TEST_F(WelcomeTest, DefaultDirectory) {
    if (!private_mounts_work()) GTEST_SKIP() << "no private mount namespace on this machine";
    package({welcome_record("Hello\n"), program_record("#!/bin/sh\npwd\n")});
    struct {
        std::optional<std::string> input;
        std::string out;
        int exit_code;
        std::string redirect = "";
    } rows[] = {
        {"\nn\n",
         create_question("/usr/local/zantho") + "\nInstallation aborted. Please try again.\n", 1},
        {"\ny\n", create_question("/usr/local/zantho") + "/usr/local/zantho\n" + kSuccess, 0},
        {std::nullopt, create_question("/usr/local/zantho") + "/usr/local/zantho\n" + kSuccess, 0},
        {std::nullopt, create_question("/usr/local/zantho") + "/usr/local/zantho\n" + kSuccess, 0,
         " <&-"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input.value_or("no input") + row.redirect);
        RunOptions o;
        o.input = row.input;
        RunResult r = run_with_private_usr_local(o, row.redirect);
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
