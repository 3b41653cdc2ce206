// Archive and script records through the real installer: what lands on disk, what is printed,
// dump mode, and packages whose compressed bodies or archives are broken or hostile.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include "e2e/installer_fixture.h"
#include "package/package_format.h"

namespace zn_test {
namespace {

class ArchiveTest : public InstallerTest {
   protected:
    // Unpacks tar with the system's tar into a fresh directory and returns the tree.
    std::map<std::string, TreeEntry> system_tar(const std::string &tar) {
        std::string into = dir_ / ("systar" + std::to_string(++count_));
        mkdir(into.c_str(), 0755);
        write_file(dir_ / "in.tar", tar);
        RunResult r = run_process({"/bin/tar", "-xf", dir_ / "in.tar", "-C", into});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        return snapshot_tree(into);
    }
    int count_ = 0;
};

TEST_F(ArchiveTest, UnpacksIntoTheCurrentDirectory) {
    std::string first = TarBuilder()
                            .dir("dir/", 0755)
                            .dir("open/", 0777)
                            .file("dir/a.txt", "alpha\n", 0644)
                            .file("nested/deeper/x", std::string(512, 'x'), 0600)
                            .finish();
    std::string second = TarBuilder().file("second", "", 0755).finish(3);
    package({archive_record(first), archive_record(second, zn::kRecordArchiveAlt)});
    // The installer sets its own file-creation mask, whatever it inherits.
    SavedProcessState saved_umask;
    umask(0);
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out,
              "\nExtracting dir/ .. 0 bytes\n"
              "Extracting open/ .. 0 bytes\n"
              "Extracting dir/a.txt .. 6 bytes\n"
              "Extracting nested/deeper/x .. 512 bytes\n"
              "Extracting  .. 0 bytes\n"
              "\nExtracting second .. 0 bytes\n"
              "Extracting  .. 0 bytes\n" +
                  std::string(kSuccess));
    std::map<std::string, TreeEntry> want = {
        {"dir", {'d', 0755, ""}},           {"dir/a.txt", {'f', 0644, "alpha\n"}},
        {"open", {'d', 0755, ""}},    // 0777 under the mask 022
        {"nested", {'d', 0711, ""}},  // made for a file: the file's mode plus search for all
        {"nested/deeper", {'d', 0711, ""}}, {"nested/deeper/x", {'f', 0600, std::string(512, 'x')}},
        {"second", {'f', 0755, ""}},
    };
    EXPECT_EQ(diff_trees(want, snapshot_tree(work_)), "");
}

TEST_F(ArchiveTest, DumpModeWritesOnlyTheDecompressedStream) {
    std::string small = TarBuilder().file("s", "small").finish();  // compresses to < 2048 bytes
    std::string big;
    for (int i = 0; i < 3000; i++) big += std::to_string(i * 7919 % 10007) + ",";
    std::string large = TarBuilder().file("big", big).finish();
    package({env_record("A=1"), archive_record(small), archive_record(large, zn::kRecordArchiveAlt),
             script_record("touch ran\n")});
    ASSERT_LT(archive_record(small).body.size(), 2048u);
    RunResult r = run({"-gz"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(r.out == small + large) << "stdout holds " << r.out.size() << " bytes";
    EXPECT_FALSE(exists(work_ + "/ran"));
    EXPECT_FALSE(exists(work_ + "/s"));
}

// Dump mode has no final line: its status says whether everything was written whole.
TEST_F(ArchiveTest, DumpModeFailures) {
    std::string tar = TarBuilder().file("f", std::string(100000, 'f')).finish();
    Record flipped = archive_record(tar);
    flipped.body[flipped.body.size() / 2] ^= 0x10;
    struct {
        const char *what;
        Record record;
        const char *redirect;
        std::string err;
    } rows[] = {
        {"full disk", archive_record(tar), " >/dev/full",
         "zninstall: error writing to output stream"},
        {"full disk, archive smaller than a buffer", archive_record(TarBuilder().finish()),
         " >/dev/full", "zninstall: error writing to output stream"},
        {"corrupt archive", flipped, "", "bzDecompress: failed, ret="},
    };
    for (const auto &row : rows) {
        package({row.record, env_record("AFTER=1")});
        RunResult r =
            run({"-c", std::string("exec \"$0\" -gz") + row.redirect, pkg_}, {}, "/bin/sh");
        EXPECT_EQ(r.exit_code, 2) << row.what << describe(r);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << row.what << describe(r);
    }
}

// A compressed body made of several bzip2 streams installs whole: archive and script, and
// in dump mode; znpack list reads it whole too.
TEST_F(ArchiveTest, BodiesOfSeveralStreams) {
    std::string tar = TarBuilder()
                          .file("first", "1")
                          .file("middle", std::string(5000, 'm'))
                          .file("last", "3")
                          .finish();
    std::string script = "#!/bin/sh\necho one\necho two\necho three\n";
    auto streams = [](const std::string &data, size_t n) {
        std::string body;
        for (size_t i = 0; i < n; i++) {
            size_t from = data.size() * i / n, to = data.size() * (i + 1) / n;
            body += bzip2_compress(data.substr(from, to - from));
        }
        return body;
    };
    for (size_t n : {2, 3}) {
        remove_tree(work_);
        mkdir(work_.c_str(), 0755);
        package({Record{zn::kRecordArchive, streams(tar, n)},
                 Record{zn::kRecordScript, streams(script, n)}});
        RunResult r = run();
        EXPECT_EQ(r.exit_code, 0) << n << describe(r);
        EXPECT_EQ(read_file(work_ + "/last"), "3") << n;
        EXPECT_NE(r.out.find("one\ntwo\nthree\n" + std::string(kSuccess)), std::string::npos)
            << n << r.out;
        r = run({"-gz"});
        EXPECT_EQ(r.exit_code, 0) << n;
        EXPECT_TRUE(r.out == tar) << n << ": stdout holds " << r.out.size() << " bytes";
        RunResult listed = run_process({znpack_binary(), "list", pkg_});
        EXPECT_EQ(listed.exit_code, 0) << n << describe(listed);
        EXPECT_NE(listed.out.find("3 members, 5002 bytes in files"), std::string::npos)
            << n << listed.out;
        EXPECT_NE(listed.out.find("script of " + std::to_string(script.size()) + " bytes"),
                  std::string::npos)
            << n << listed.out;
    }
}

// A file that passes the file-size limit is reported like a full disk, with its reason; nothing
// more is written, the archive is rolled back and the run goes on to its final line.
TEST_F(ArchiveTest, FileSizeLimit) {
    std::string tar =
        TarBuilder().file("big", std::string(300000, 'b')).file("small", "s").finish();
    package({archive_record(tar)});
    RunResult r = run({"-c", "ulimit -f 100 && exec \"$0\"", pkg_}, {}, "/bin/sh");
    EXPECT_EQ(r.signal, 0) << describe(r);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_NE(r.out.find("Extracting big .. 300000 bytes\nError writing file big\n"
                         "The archive's changes were rolled back.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("zninstall: big: File too large\n"), std::string::npos) << r.err;
    EXPECT_TRUE(snapshot_tree(work_).empty());
    EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(kFailure)), kFailure);
}

// The script runs with INSTALL_ROOT set and with SIGPIPE and SIGXFSZ at their defaults (the
// installer ignores both for itself; a pipeline in the script relies on SIGPIPE).
TEST_F(ArchiveTest, ScriptRecord) {
    std::string script =
        "#!/bin/sh\necho \"root=$INSTALL_ROOT\"\necho \"me=$0\"\nls \"$INSTALL_ROOT\"\n"
        "m=0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)\n"
        "echo \"ignored: SIGPIPE $((m >> 12 & 1)), SIGXFSZ $((m >> 24 & 1))\"\n";
    std::string tar = TarBuilder().file("payload", "p").finish();
    package(
        {archive_record(tar), script_record(script), program_record(echo_program("INSTALL_ROOT"))});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    std::string temp = temp_file(tmp_);
    EXPECT_EQ(masked(r.out),
              "\nExtracting payload .. 1 bytes\nExtracting  .. 0 bytes\n"
              "Extract script to " +
                  temp + "\nroot=" + work_ + "\nme=" + temp +
                  "\npayload\nignored: SIGPIPE 0, SIGXFSZ 0\nargs=0:\nINSTALL_ROOT=" + work_ +
                  "\n" + kSuccess);
    EXPECT_TRUE(snapshot_tree(tmp_).empty());

    // Without TEMP and TMP the script is written in a private directory in the current one.
    RunOptions no_temp;
    no_temp.env["TEMP"] = std::nullopt;
    no_temp.env["TMP"] = std::nullopt;
    package({script_record("#!/bin/sh\nls zninstall.*/zninstall-temp.exe\n")});
    r = run({}, no_temp);
    EXPECT_EQ(masked(r.out), "Extract script to " + temp_file(".") + "\n" +
                                 temp_file("").substr(1) + "\n" + kSuccess);
    for (const auto &entry : snapshot_tree(work_))
        EXPECT_NE(entry.first.rfind("zninstall.", 0), 0u) << entry.first << " stayed behind";

    // Dump mode runs nothing but still sets INSTALL_ROOT.
    package(
        {script_record("#!/bin/sh\ntouch ran\n"), program_record(echo_program("INSTALL_ROOT"))});
    r = run({"-gz"});
    EXPECT_EQ(r.out, "args=0:\nINSTALL_ROOT=" + work_ + "\n");
    EXPECT_FALSE(exists(work_ + "/ran"));
}

// zstd records install exactly as their bzip2 twins do: the same tree, the same transcript.
// The archive's body is two frames, split inside a file's data; -gz writes what the system's zstd
// makes of it.
TEST_F(ArchiveTest, ZstdRecordsInstallLikeTheirBzip2Twins) {
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = char(i * 2654435761u >> 13);
    std::string tar = TarBuilder()
                          .dir("d/", 0750)
                          .file("d/big", big, 0640)
                          .symlink("link", "d/big")
                          .file("e", "", 0755)
                          .finish();
    std::string script = "#!/bin/sh\necho \"script in $INSTALL_ROOT\"\nls -l d | cut -c1-10\n";
    Record zstd_archive{zn::kRecordZstdArchive,
                        zstd_compress(tar.substr(0, 100000)) + zstd_compress(tar.substr(100000))};
    std::map<std::string, TreeEntry> trees[2];
    RunResult runs[2];
    for (int zstd = 0; zstd < 2; zstd++) {
        remove_tree(work_);
        mkdir(work_.c_str(), 0755);
        package({zstd ? zstd_archive : archive_record(tar),
                 script_record(script, zstd ? zn::kRecordZstdScript : zn::kRecordScript)});
        runs[zstd] = run();
        EXPECT_EQ(runs[zstd].exit_code, 0) << describe(runs[zstd]);
        trees[zstd] = snapshot_tree(work_);
    }
    EXPECT_EQ(masked(runs[1].out), masked(runs[0].out));
    EXPECT_EQ(without_progress(runs[1].err), without_progress(runs[0].err));
    EXPECT_EQ(diff_trees(trees[0], trees[1]), "");
    EXPECT_EQ(read_file(work_ + "/d/big"), big);

    RunResult dumped = run({"-gz"});
    EXPECT_EQ(dumped.exit_code, 0) << describe(dumped);
    write_file(dir_ / "body.zst", zstd_archive.body);
    RunResult system_zstd = run_process({"/usr/bin/zstd", "-dc", dir_ / "body.zst"});
    ASSERT_EQ(system_zstd.exit_code, 0) << describe(system_zstd);
    EXPECT_TRUE(dumped.out == system_zstd.out);
    EXPECT_TRUE(dumped.out == tar);
}

// The shell comes once the script is written and closed, before it is made executable and run:
// a script replaced in the shell is the one that runs.
TEST_F(ArchiveTest, DebugShellComesAfterTheScriptIsWritten) {
    std::string temp = temp_file(tmp_);
    struct {
        std::string shell_input;
        std::string out_tail;
    } rows[] = {
        {"ls -l \"$TEMP\"/zninstall.*/zninstall-temp.exe | cut -c1-10; exit\n",
         "-rw-r--r--\nscript ran\n"},
        {"printf '#!/bin/sh\\necho replaced\\n' >\"$(echo "
         "\"$TEMP\"/zninstall.*)/zninstall-temp.exe\"; "
         "exit\n",
         "replaced\n"},
    };
    for (const auto &row : rows) {
        package({script_record("#!/bin/sh\necho script ran\n")});
        RunOptions shell_input;
        shell_input.input = row.shell_input;
        RunResult r = run({"-d"}, shell_input);
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(masked(r.out), "Extract script to " + temp + "\n" + temp +
                                     " created...waiting\n" + row.out_tail + kSuccess);
    }
}

// Broken compressed bodies end quickly with a message, the final line reports the failure, the
// walk goes on with the next record, and a broken script never runs.
TEST_F(ArchiveTest, CorruptAndTruncatedBodies) {
    std::string tar = TarBuilder().file("f", std::string(20000, 'z')).finish();
    Record good_archive = archive_record(tar);
    Record good_script = script_record("#!/bin/sh\ntouch script-ran\n");
    struct Row {
        const char *what;
        Record record;
        std::string err;
    };
    std::vector<Row> rows;
    Record flipped = good_archive;
    flipped.body[flipped.body.size() / 2] ^= 0x10;
    rows.push_back({"flipped archive", flipped, "bzDecompress: failed, ret="});
    Record cut = good_archive;
    cut.body.resize(cut.body.size() - 5);
    rows.push_back({"truncated archive", cut, "Premature end of compressed data\n"});
    Record garbage{zn::kRecordArchive, "this is not a compressed stream at all"};
    rows.push_back({"garbage archive", garbage, "bzDecompress: failed, ret="});
    Record flipped_script = good_script;
    flipped_script.body[flipped_script.body.size() - 12] ^= 0x01;
    rows.push_back({"flipped script", flipped_script, "bzDecompress: failed, ret="});
    Record cut_script = good_script;
    cut_script.body.resize(cut_script.body.size() / 2);
    rows.push_back({"truncated script", cut_script, "Premature end of compressed data\n"});
    // The same for zstd records, and a frame that asks for a window over the decoder's limit.
    Record zstd_archive = archive_record(tar, zn::kRecordZstdArchive);
    Record zstd_script = script_record("#!/bin/sh\ntouch script-ran\n", zn::kRecordZstdScript);
    const std::string over_window("\x28\xB5\x2F\xFD\x00\x90\x01\x00\x00", 9);
    const std::string too_large = "zstd: Frame requires too much memory for decoding\n";
    for (Record *r : {&zstd_archive, &zstd_script}) {
        bool archive = r == &zstd_archive;
        Record flipped_zstd = *r, cut_zstd = *r;
        flipped_zstd.body[flipped_zstd.body.size() / 2] ^= 0x10;
        cut_zstd.body.resize(cut_zstd.body.size() - 3);
        rows.push_back(
            {archive ? "flipped zstd archive" : "flipped zstd script", flipped_zstd, "zstd: "});
        rows.push_back({archive ? "truncated zstd archive" : "truncated zstd script", cut_zstd,
                        "zstd: Src size is incorrect\n"});
        rows.push_back(
            {archive ? "zstd archive over the window limit" : "zstd script over the window limit",
             Record{r->type, over_window}, too_large});
    }
    for (const Row &row : rows) {
        remove_tree(work_);
        mkdir(work_.c_str(), 0755);
        package({row.record, env_record("AFTER=1")});
        RunResult r = run();
        EXPECT_EQ(r.exit_code, 2) << row.what << describe(r);
        EXPECT_LT(r.seconds, 5) << row.what;
        std::string err = without_progress(r.err);
        EXPECT_NE(err.find(row.err), std::string::npos) << row.what << "\n" << err;
        ASSERT_GE(r.out.size(), 8u + std::strlen(kFailure));
        EXPECT_EQ(r.out.substr(r.out.size() - 8 - std::strlen(kFailure)),
                  "AFTER=1\n" + std::string(kFailure))
            << row.what;
        EXPECT_FALSE(exists(work_ + "/script-ran")) << row.what;
        EXPECT_TRUE(snapshot_tree(tmp_).empty()) << row.what << ": a broken script stays behind";
    }
}

// Extraction runs behind decompression; an error in the compressed data still reaches the
// terminal after every entry extracted before it, never in the middle of them.
TEST_F(ArchiveTest, ErrorsFollowTheEntriesBeforeThem) {
    TarBuilder tar;
    uint32_t seed = 1;
    // Small entries, so that whatever was decompressed last before the error holds headers.
    for (int i = 0; i < 3000; i++) {
        std::string data(700, '\0');
        for (char &c : data) c = char((seed = seed * 1103515245u + 12345u) >> 24);
        tar.file("f" + std::to_string(i), data);
    }
    Record archive = archive_record(tar.finish());
    ASSERT_GT(archive.body.size(), 1000000u);      // several compressed blocks
    archive.body.resize(archive.body.size() / 2);  // whole blocks come out, then the end
    package({archive});
    RunOptions merged;
    merged.merge_stderr = true;
    RunResult r = run({}, merged);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    size_t error = r.out.find("Premature end of compressed data\n");
    ASSERT_NE(error, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Extracting f100 .. 700 bytes\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Extracting", error), std::string::npos) << r.out.substr(error);
    EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(kFailure)), kFailure);
}

// A symbolic link planted at the temporary path is replaced, not written through, also for
// the script.
TEST_F(ArchiveTest, ScriptTemporaryPathIsNeverFollowed) {
    std::string victim = dir_ / "victim";
    write_file(victim, "precious", 0600);
    ASSERT_EQ(symlink(victim.c_str(), (tmp_ + "/zninstall-temp.exe").c_str()), 0);
    package({script_record("#!/bin/sh\necho fine\n")});
    RunResult r = run();
    EXPECT_EQ(masked(r.out), "Extract script to " + temp_file(tmp_) + "\nfine\n" + kSuccess);
    EXPECT_EQ(read_file(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Entries that would land outside the install directory are refused and reported, the archive
// is rolled back, and nothing outside changes.
TEST_F(ArchiveTest, HostileArchiveEntries) {
    std::string outside = dir_ / "outside";
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/victim", "original");
    std::string tar = TarBuilder()
                          .file(outside + "/victim", "absolute")
                          .file("../outside/victim", "dotdot")
                          .symlink("escape", outside)
                          .file("escape/victim", "through a link")
                          .file("kept", "kept")
                          .finish();
    package({archive_record(tar)});
    RunResult r = run();
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.out.find("Refusing unsafe path " + outside + "/victim\n"), std::string::npos);
    EXPECT_NE(r.out.find("Refusing unsafe path ../outside/victim\n"), std::string::npos);
    EXPECT_NE(r.out.find("Refusing unsafe path escape/victim\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(kFailure)), kFailure);
    EXPECT_EQ(read_file(outside + "/victim"), "original");
    EXPECT_TRUE(snapshot_tree(work_).empty());
}

TEST_F(ArchiveTest, FileThatCannotBeCreated) {
    mkdir((work_ + "/blocker").c_str(), 0755);
    std::string tar = TarBuilder().file("blocker", "x").file("later", "y").finish();
    package({archive_record(tar)});
    RunResult r = run();
    EXPECT_EQ(r.out,
              "\nExtracting blocker .. 1 bytes\nCannot create file blocker\n"
              "Extracting later .. 1 bytes\nExtracting  .. 0 bytes\n"
              "The archive's changes were rolled back.\n" +
                  std::string(kFailure));
    EXPECT_NE(r.err.find("zninstall: blocker: Is a directory\n"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(work_ + "/later"));
}

// The permission bits of a listing's mode column ("drwxr-sr-t" and the like).
int listed_mode(const std::string &column) {
    int mode = 0;
    for (size_t i = 0; i < 9 && i + 1 < column.size(); i++) {
        char c = column[i + 1];
        if (c != '-' && c != 'S' && c != 'T') mode |= 0400 >> i;
        if (c == 's' || c == 'S' || c == 't' || c == 'T') mode |= 04000 >> (i / 3);
    }
    return mode;
}

// The product tree of the compatibility matrix. Every format gets nested directories of modes
// 0755, 0555, 01777 and 02755, files of modes 0644, 0444, 0755 and 04755, an empty file, one of
// exactly 512 bytes, relative symbolic links and a hard link; names over 100 bytes where the
// format has room for them (ustar by its prefix field), over 255 bytes and a long link target
// where it has long names.
void make_matrix_tree(const std::string &src, int long_names) {
    std::string top = src + "/top";
    std::string mid = top + "/" + std::string(90, 'm');
    std::string deep = top + "/" + std::string(120, 'e');
    std::vector<std::string> dirs = {
        top, top + "/ro", top + "/ro/inner", top + "/shared", top + "/group", top + "/group/sub"};
    if (long_names >= 1) dirs.push_back(mid);
    if (long_names >= 2) dirs.push_back(deep);
    for (const std::string &d : dirs) ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    write_file(top + "/ro/inner/file", "inner\n", 0644);
    write_file(top + "/ro/readonly", "read only\n", 0444);
    write_file(top + "/ro/setuid", "#!/bin/sh\necho setuid\n", 04755);
    write_file(top + "/shared/tool", "#!/bin/sh\necho tool\n", 0755);
    write_file(top + "/group/empty", "", 0644);
    write_file(top + "/block512", std::string(512, 'b'), 0644);
    ASSERT_EQ(link((top + "/block512").c_str(), (top + "/ro/hard").c_str()), 0);
    ASSERT_EQ(symlink("ro/readonly", (top + "/link-rel").c_str()), 0);
    ASSERT_EQ(symlink("../ro/inner/file", (top + "/group/up-link").c_str()), 0);
    if (long_names >= 1) write_file(mid + "/" + std::string(60, 'n'), "over 100\n", 0640);
    if (long_names >= 2) {
        write_file(deep + "/" + std::string(150, 'g') + ".txt", "over 255\n", 0600);
        std::string target = "../" + std::string(110, 't');
        ASSERT_EQ(symlink(target.c_str(), (top + "/ro/long-target").c_str()), 0);
    }
    // Modes last, deepest first, so that read-only directories could still be filled.
    ASSERT_EQ(chmod((top + "/group/sub").c_str(), 02755), 0);
    ASSERT_EQ(chmod((top + "/group").c_str(), 02755), 0);
    ASSERT_EQ(chmod((top + "/shared").c_str(), 01777), 0);
    ASSERT_EQ(chmod((top + "/ro").c_str(), 0555), 0);
}

// Archives written by GNU tar and bsdtar in each of their formats install as `tar -x` unpacks
// them (kinds, contents, link targets), with the modes their headers give (files exactly;
// directories with search for all, less the umask, setgid and sticky bits kept), as root and as
// a user who is not root. That user's install needs the deferred directory modes (entries
// beneath 0555 directories) and the file modes set after the data (04755 stays 04755).
TEST_F(ArchiveTest, EveryTarWriterInstallsLikeTarExtract) {
    bool have_bsdtar = access("/usr/bin/bsdtar", X_OK) == 0;
    struct Row {
        const char *tool;
        const char *format;
        int long_names;  // 0: none (v7), 1: up to 255 bytes (ustar), 2: any
    } rows[] = {
        {"/bin/tar", "v7", 0},
        {"/bin/tar", "oldgnu", 2},
        {"/bin/tar", "gnu", 2},
        {"/bin/tar", "ustar", 1},
        {"/bin/tar", "posix", 2},
        {"/usr/bin/bsdtar", "v7", 0},
        {"/usr/bin/bsdtar", "ustar", 1},
        {"/usr/bin/bsdtar", "pax", 2},
        {"/usr/bin/bsdtar", "gnutar", 2},
    };
    // Who installs: root and nobody when the tests run as root; otherwise only the test's own
    // user, who is not root. Others run the installer through setpriv.
    struct User {
        std::string name;
        uid_t uid;
        gid_t gid;
    };
    std::vector<User> users = {{geteuid() == 0 ? "root" : "self", geteuid(), getegid()}};
    if (geteuid() == 0) {
        struct passwd *pw = getpwnam("nobody");
        ASSERT_NE(pw, nullptr);
        users.push_back({"nobody", pw->pw_uid, pw->pw_gid});
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // nobody reaches the package and into/
    } else {
        std::cout << "not root: installs only as this user, who is not root; no root run\n";
    }

    for (const Row &row : rows) {
        std::string label = std::string(row.tool) + " --format " + row.format;
        SCOPED_TRACE(label);
        if (!have_bsdtar && std::string(row.tool) == "/usr/bin/bsdtar") {
            std::cout << "skipped, bsdtar is not installed: " << label << "\n";
            continue;
        }
        std::string src = dir_ / "src", tar_path = dir_ / "in.tar", ref = dir_ / "ref";
        remove_tree(src);
        remove_tree(ref);
        ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
        make_matrix_tree(src, row.long_names);
        RunResult made =
            run_process({row.tool, "--format", row.format, "-cf", tar_path, "-C", src, "top"});
        ASSERT_EQ(made.exit_code, 0) << describe(made);
        std::string tar = read_file(tar_path);

        // What `tar -x` makes of it, with each entry's mode as its header gives it.
        ASSERT_EQ(mkdir(ref.c_str(), 0755), 0);
        RunResult x = run_process({"/bin/tar", "-xf", tar_path, "-C", ref});
        ASSERT_EQ(x.exit_code, 0) << describe(x);
        RunResult listed = run_process({"/bin/tar", "-tvf", tar_path, "--numeric-owner"});
        ASSERT_EQ(listed.exit_code, 0) << describe(listed);
        std::map<std::string, int> header_mode;
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string mode, owner, size, date, time, name;
            fields >> mode >> owner >> size >> date >> time >> name;
            while (name.size() > 1 && name.back() == '/') name.pop_back();
            header_mode[name] = listed_mode(mode);
        }
        auto want = snapshot_tree(ref);
        ASSERT_GT(want.size(), 14u);
        for (auto &kv : want) {
            TreeEntry &e = kv.second;
            if (e.kind == 'l') continue;
            ASSERT_EQ(header_mode.count(kv.first), 1u) << kv.first << "\n" << listed.out;
            int h = header_mode[kv.first];
            e.mode = e.kind == 'd' ? (h | 0111) & ~022 : h;
        }
        EXPECT_EQ(want["top/shared"].mode, 01755);
        EXPECT_EQ(want["top/ro/setuid"].mode, 04755);

        package({archive_record(tar)});
        for (const User &user : users) {
            SCOPED_TRACE(user.name);
            std::string into = dir_ / ("into-" + user.name);
            remove_tree(into);
            ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
            ASSERT_EQ(chown(into.c_str(), user.uid, user.gid), 0);
            RunOptions o;
            o.cwd = into;
            o.env = {{"TEMP", tmp_}, {"PATH", "/usr/bin:/bin"}, {"HOME", into}};
            std::vector<std::string> argv = {pkg_};
            if (user.uid != geteuid())
                argv.insert(argv.begin(),
                            {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                             "--regid=" + std::to_string(user.gid), "--clear-groups"});
            RunResult r = run_process(argv, o);
            EXPECT_EQ(r.exit_code, 0) << describe(r);
            EXPECT_EQ(r.out.find("@LongLink"), std::string::npos);
            EXPECT_EQ(r.out.find("PaxHeader"), std::string::npos);
            EXPECT_EQ(diff_trees(want, snapshot_tree(into)), "");
            struct stat a, b;
            ASSERT_EQ(stat((into + "/top/ro/hard").c_str(), &a), 0);
            ASSERT_EQ(stat((into + "/top/block512").c_str(), &b), 0);
            EXPECT_EQ(a.st_ino, b.st_ino);
            EXPECT_EQ(a.st_uid, user.uid);
        }
    }
}

// Packages built by znpack from a real tree install the tree itself, exactly as the system's tar
// unpacks the same archive (taken from the installer's own dump mode).
TEST_F(ArchiveTest, ZnpackPackagesInstallTheTree) {
    std::string src = dir_ / "tree";
    std::string deep = src + "/" + std::string(60, 'p') + "/" + std::string(70, 'q');
    ASSERT_EQ(run_process({"/bin/mkdir", "-p", deep, src + "/bin", src + "/empty-dir"}).exit_code,
              0);
    write_file(deep + "/" + std::string(110, 'r'), "deep and long\n", 0644);
    write_file(src + "/bin/run", "#!/bin/sh\necho run\n", 0755);
    write_file(src + "/secret", "s", 0600);
    write_file(src + "/zero", "", 0644);
    write_file(src + "/exact", std::string(1024, 'e'), 0444);
    ASSERT_EQ(symlink("bin/run", (src + "/run-link").c_str()), 0);
    ASSERT_EQ(symlink("../../no/such/target", (src + "/bin/dangling").c_str()), 0);
    ASSERT_EQ(link((src + "/secret").c_str(), (src + "/secret-hard").c_str()), 0);

    RunResult packed = run_process({znpack_binary(), "build", "-o", pkg_, "--archive", src});
    ASSERT_EQ(packed.exit_code, 0) << describe(packed);
    RunResult r = run();
    EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(kSuccess)), kSuccess) << r.out;
    auto installed = snapshot_tree(work_);
    EXPECT_EQ(diff_trees(snapshot_tree(src), installed), "");

    RunResult dumped = run({"-gz"});
    ASSERT_EQ(dumped.exit_code, 0);
    EXPECT_EQ(diff_trees(system_tar(dumped.out), installed), "");
    struct stat a, b;
    ASSERT_EQ(stat((work_ + "/secret").c_str(), &a), 0);
    ASSERT_EQ(stat((work_ + "/secret-hard").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

}  // namespace
}  // namespace zn_test
