// The sample product's installer on a real terminal: run inside tmux, answered with send-keys,
// and the screen compared with what a user must see, in the order they see it.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/installer_fixture.h"

namespace zn_test {
namespace {

class TerminalTest : public InstallerTest {
   protected:
    void SetUp() override {
        if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
        socket_ = "zn-test-" + std::to_string(getpid());
    }
    void TearDown() override { tmux({"kill-server"}); }

    RunResult tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-L", socket_});
        RunOptions o;
        o.timeout_seconds = 20;
        o.env["TMUX"] = std::nullopt;
        return run_process(args, o);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-J", "-S", "-", "-t", "t"}).out; }
    // Waits until the screen shows text; returns false after the time limit.
    bool wait_for(const std::string &text) {
        for (int i = 0; i < 200; i++) {
            if (screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string socket_;
};

TEST_F(TerminalTest, SampleProductInstallsAsAUserSeesIt) {
    std::string src = ZN_SOURCE_DIR;
    std::string setup = dir_ / "setup";
    RunResult packed = run_process(
        {znpack_binary(), "build", "-o", setup, "--env", "ZN_BINDIR=bin", "--env",
         "ZANTHO_VERSION=1.0", "--welcome", src + "/examples/sample/welcome.txt", "--archive",
         src + "/examples/sample/tree", "--script", src + "/examples/sample/postinstall.sh"});
    ASSERT_EQ(packed.exit_code, 0) << describe(packed);

    std::string target = dir_ / "zantho";
    std::string command = "cd " + work_ + " && env TEMP=" + tmp_ + " PATH=/usr/bin:/bin " + setup +
                          "; echo \"[exit $?]\"; sleep 60";
    RunResult started = tmux({"new-session", "-d", "-s", "t", "-x", "220", "-y", "100", command});
    ASSERT_EQ(started.exit_code, 0) << describe(started);

    ASSERT_TRUE(wait_for("Directory where to install software [/usr/local/zantho]: ")) << screen();
    tmux({"send-keys", "-t", "t", target, "Enter"});
    ASSERT_TRUE(wait_for("Do you wish to create it [y/n] ? ")) << screen();
    tmux({"send-keys", "-t", "t", "y", "Enter"});
    ASSERT_TRUE(wait_for("[exit 0]")) << screen();

    // A wrapped line keeps the blank that ended it.
    std::string want =
        "ZNINSTALL v1.007 Copyright (C) 2026 the zninstall developers.\n"
        "\n"
        "Verifying package file: " +
        setup +
        "\n"
        "This may take a moment...\n"
        "\n"
        "ZN_BINDIR=bin\n"
        "ZANTHO_VERSION=1.0\n"
        "Welcome to the Zantho sample product.\n"
        "\n"
        "This installer carries a small demonstration product: a command-line tool, \n"
        "its documentation and a plugin directory. It checks its own file before \n"
        "anything else, so a download that was cut short or damaged is noticed \n"
        "before a single file is written.\n"
        "\n"
        "You will be asked for the directory to install into. Press Enter to accept \n"
        "the directory offered, or type another one; a path may start with ~ for \n"
        "your home directory or name an environment variable such as $HOME/apps. If \n"
        "the directory does not exist yet, the installer offers to create it.\n"
        "\n"
        "After the files are unpacked, a short post-install script writes a \n"
        "configuration file that records where the product lives and which version \n"
        "it is.\n"
        "Directory where to install software [/usr/local/zantho]: " +
        target +
        "\n"
        "\n"
        "The install directory [" +
        target +
        "] does not exist.\n"
        "Do you wish to create it [y/n] ? y\n"
        "\n"
        "Extracting bin/ .. 0 bytes\n"
        "Extracting bin/zan .. 0 bytes\n"
        "Extracting bin/zantho .. 247 bytes\n"
        "Extracting lib/ .. 0 bytes\n"
        "Extracting lib/zantho/ .. 0 bytes\n"
        "Extracting lib/zantho/plugins/ .. 0 bytes\n"
        "Extracting lib/zantho/plugins/formats/ .. 0 bytes\n"
        "Extracting lib/zantho/plugins/formats/csv.fmt .. 28 bytes\n"
        "Extracting share/ .. 0 bytes\n"
        "Extracting share/doc/ .. 0 bytes\n"
        "Extracting share/doc/zantho/ .. 0 bytes\n"
        "Extracting share/doc/zantho/README .. 181 bytes\n"
        "Extracting share/doc/zantho/a-file-name-that-is-longer-than-one-hundred-bytes-to-need-"
        "the-long-name-forms-of-the-archive-format.txt .. 52 bytes\n"
        "Extracting  .. 0 bytes\n"
        "Extract script to " +
        temp_file(tmp_) +
        "\n"
        "Zantho 1.0 configured in " +
        target +
        "/etc/zantho.conf\n"
        "Installation successfully completed.\n"
        "[exit 0]\n";
    std::string got = screen();
    got = got.substr(0, got.find("[exit 0]\n") + 9);
    EXPECT_EQ(masked(without_progress(got)), want);
    EXPECT_EQ(read_file(target + "/etc/zantho.conf").find("ZANTHO_HOME='" + target + "'"),
              std::string("# Written by the installer's post-install script.\n").size());
}

// A vendor's product: the licence shown and asked for, the vendor's directory offered ("~"
// expanded), one progress line rewritten in place that ends at 100%, and the product named by
// -version and -info.
TEST_F(TerminalTest, VendorProductWithLicenceAndProgressLine) {
    std::string src = ZN_SOURCE_DIR;
    std::string setup = dir_ / "setup";
    write_file(dir_ / "LICENSE", "Acme licence terms.\n");
    RunResult packed = run_process(
        {znpack_binary(), "build", "-o", setup, "--name", "Acme", "--version", "2.1",
         "--default-dir", "~/acme", "--license", dir_ / "LICENSE", "--progress", "--welcome",
         src + "/examples/sample/welcome.txt", "--archive", src + "/examples/sample/tree"});
    ASSERT_EQ(packed.exit_code, 0) << describe(packed);
    std::string command = "cd " + work_ + " && env HOME=" + dir_.path() + " TEMP=" + tmp_ +
                          " PATH=/usr/bin:/bin " + setup + "; echo \"[exit $?]\"; sleep 60";
    ASSERT_EQ(tmux({"new-session", "-d", "-s", "t", "-x", "220", "-y", "100", command}).exit_code,
              0);
    ASSERT_TRUE(wait_for("Acme licence terms.\nDo you accept the licence [y/n] ? ")) << screen();
    tmux({"send-keys", "-t", "t", "y", "Enter"});
    ASSERT_TRUE(wait_for("Directory where to install software [~/acme]: ")) << screen();
    tmux({"send-keys", "-t", "t", "Enter"});
    ASSERT_TRUE(wait_for("Do you wish to create it [y/n] ? ")) << screen();
    tmux({"send-keys", "-t", "t", "y", "Enter"});
    ASSERT_TRUE(wait_for("[exit 0]")) << screen();
    std::string got = screen();
    // One line, rewritten: its last state at 100%, then the final line.
    EXPECT_NE(got.find("\n\n100% 508 bytes of 508 bytes, 13 of 13 files, "), std::string::npos)
        << got;
    EXPECT_NE(got.find(" left\nInstallation successfully completed.\n[exit 0]"), std::string::npos)
        << got;
    EXPECT_EQ(got.find("Extracting"), std::string::npos) << got;
    EXPECT_TRUE(exists(dir_ / "acme/bin/zantho"));

    RunResult version = run_process({setup, "-version"});
    EXPECT_EQ(version.out.rfind("Acme 2.1\nZNINSTALL v1.007 ", 0), 0u) << describe(version);
    RunResult info = run_process({setup, "-info"});
    EXPECT_EQ(info.exit_code, 0) << describe(info);
    EXPECT_EQ(info.out.rfind("product: Acme\nversion: 2.1\ndefault directory: ~/acme\n", 0), 0u)
        << info.out;
}

}  // namespace
}  // namespace zn_test
