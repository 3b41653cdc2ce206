#include "package/tar_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/package.h"
#include "support/scratch.h"

namespace zn {
namespace {

using zn_test::TarBuilder;
using zn_test::TempDir;

struct Extraction {
    int failed;
    std::string out;
    std::string err;
};

class TarReaderTest : public testing::Test {
   protected:
    // Unpacks tar into dir/root, fed in pieces of the given size (0: whole), then commits it or
    // rolls it back.
    Extraction extract(const std::string &tar, size_t piece = 0, bool complete = true,
                       bool roll_back = false) {
        std::string root = dir_ / "root";
        mkdir(root.c_str(), 0755);
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        tar_reader r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        tar_reader_init(&r, fd);
        if (piece == 0) piece = tar.size() ? tar.size() : 1;
        for (size_t at = 0; at < tar.size(); at += piece)
            tar_reader_feed(&r, tar.data() + at, std::min(piece, tar.size() - at));
        int failed = tar_reader_finish(&r, complete);
        if ((roll_back ? tar_reader_rollback(&r) : tar_reader_commit(&r, 0)) != 0) failed = 1;
        fflush(stdout);
        Extraction e{failed, testing::internal::GetCapturedStdout(),
                     testing::internal::GetCapturedStderr()};
        close(fd);
        return e;
    }
    std::string root() const { return dir_ / "root"; }
    int mode_of(const std::string &rel) {
        struct stat st;
        return lstat((root() + "/" + rel).c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    zn_test::SavedProcessState saved_;
    TempDir dir_;
};

TEST_F(TarReaderTest, UnpacksFilesDirectoriesAndModes) {
    umask(022);
    std::string block(512, 'b');
    std::string tar = TarBuilder()
                          .dir("d/", 0750)
                          .file("d/exec", "#!/bin/sh\n", 0755)
                          .file("a/b/c.txt", "deep", 0600)
                          .file("empty", "", 0640)
                          .file("block", block, 0444)
                          .file("after", "x", 0604)
                          .file("setid", "s", 06755)
                          .file("sticky", "t", 01644)
                          .finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 0) << e.out << e.err;
    EXPECT_EQ(e.out,
              "Extracting d/ .. 0 bytes\n"
              "Extracting d/exec .. 10 bytes\n"
              "Extracting a/b/c.txt .. 4 bytes\n"
              "Extracting empty .. 0 bytes\n"
              "Extracting block .. 512 bytes\n"
              "Extracting after .. 1 bytes\n"
              "Extracting setid .. 1 bytes\n"
              "Extracting sticky .. 1 bytes\n"
              "Extracting  .. 0 bytes\n");
    EXPECT_EQ(e.err, "");
    EXPECT_EQ(mode_of("d"), 0751);  // directories get search permission for all
    EXPECT_EQ(mode_of("a"), 0711);  // parents made for a file: its mode plus 0111
    EXPECT_EQ(mode_of("a/b"), 0711);
    EXPECT_EQ(mode_of("a/b/c.txt"), 0600);  // files: exactly the header's mode
    EXPECT_EQ(mode_of("d/exec"), 0755);
    EXPECT_EQ(mode_of("block"), 0444);
    EXPECT_EQ(mode_of("after"), 0604);
    EXPECT_EQ(mode_of("setid"), 06755);  // set-id and sticky bits too
    EXPECT_EQ(mode_of("sticky"), 01644);
    EXPECT_EQ(zn_test::read_file(root() + "/a/b/c.txt"), "deep");
    EXPECT_EQ(zn_test::read_file(root() + "/block"), block);
    EXPECT_EQ(zn_test::read_file(root() + "/empty"), "");
    EXPECT_EQ(zn_test::read_file(root() + "/after"), "x");
}

// The same archive fed in awkward pieces gives the same tree and the same messages.
TEST_F(TarReaderTest, PiecesOfAnySizeGiveTheSameResult) {
    std::string big(3000, 'q');
    for (size_t i = 0; i < big.size(); i++) big[i] = char('a' + i % 26);
    std::string tar = TarBuilder()
                          .gnu_longname(std::string(150, 'L') + "/file")
                          .file("ignored", "long-named", 0644)
                          .pax({{"path", "pax/" + std::string(120, 'p')}, {"mtime", "1.5"}})
                          .file("short", big, 0640)
                          .dir("x/")
                          .file("x/zero", "")
                          .symlink("x/link", "../short")
                          .hardlink("x/hard", "x/zero")
                          .finish();
    Extraction whole = extract(tar);
    auto want = zn_test::snapshot_tree(root());
    ASSERT_EQ(whole.failed, 0) << whole.out;
    EXPECT_EQ(want.size(), 8u);
    for (size_t piece : {1, 511, 512, 513, 2048, 4096}) {
        zn_test::remove_tree(root());
        Extraction e = extract(tar, piece);
        EXPECT_EQ(e.failed, 0) << piece;
        EXPECT_EQ(e.out, whole.out) << "piece " << piece;
        EXPECT_EQ(zn_test::diff_trees(want, zn_test::snapshot_tree(root())), "") << piece;
    }
}

TEST_F(TarReaderTest, LongNamesLinksAndPrefix) {
    std::string long_name = std::string(120, 'n') + "/" + std::string(60, 'm') + ".txt";
    std::string long_target = std::string(130, 't');
    TarBuilder::Header prefixed;
    prefixed.name = "leaf.txt";
    prefixed.prefix = "some/prefix/dir";
    prefixed.size = 2;
    TarBuilder::Header old_gnu;  // its prefix field holds other data, never part of the name
    old_gnu.name = "oldgnu.txt";
    old_gnu.prefix = "not/a/prefix";
    old_gnu.old_gnu = true;
    old_gnu.size = 1;
    TarBuilder::Header full_name;
    full_name.name = std::string(100, 'f');
    full_name.name_without_nul = true;
    full_name.size = 1;
    std::string tar = TarBuilder()
                          .gnu_longname(long_name)
                          .file("cut-name", "gnu")
                          .gnu_longlink(long_target)
                          .symlink("sym", "cut-target")
                          .pax({{"path", "paxdir/p.txt"}, {"size", "5"}})
                          .raw(TarBuilder::header_block([] {
                              TarBuilder::Header h;
                              h.name = "wrong";
                              h.size = 999;  // overridden by the pax size
                              return h;
                          }()))
                          .raw(std::string("12345") + std::string(507, '\0'))
                          .pax({{"linkpath", "paxdir/p.txt"}})
                          .hardlink("hard", "wrong")
                          .entry(prefixed, "pp")
                          .entry(old_gnu, "o")
                          .entry(full_name, "F")
                          .finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 0) << e.out << e.err;
    EXPECT_EQ(zn_test::read_file(root() + "/" + long_name), "gnu");
    char target[512];
    ssize_t n = readlink((root() + "/sym").c_str(), target, sizeof target);
    EXPECT_EQ(std::string(target, n > 0 ? size_t(n) : 0), long_target);
    EXPECT_EQ(zn_test::read_file(root() + "/paxdir/p.txt"), "12345");
    struct stat a, b;
    ASSERT_EQ(stat((root() + "/hard").c_str(), &a), 0);
    ASSERT_EQ(stat((root() + "/paxdir/p.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(zn_test::read_file(root() + "/some/prefix/dir/leaf.txt"), "pp");
    EXPECT_EQ(zn_test::read_file(root() + "/oldgnu.txt"), "o");
    EXPECT_EQ(zn_test::read_file(root() + "/" + std::string(100, 'f')), "F");
    // Metadata headers print nothing; the entries print their full names.
    EXPECT_EQ(e.out.find("LongLink"), std::string::npos);
    EXPECT_EQ(e.out.find("PaxHeaders"), std::string::npos);
    EXPECT_NE(e.out.find("Extracting " + long_name + " .. 3 bytes\n"), std::string::npos);
    EXPECT_NE(e.out.find("Extracting paxdir/p.txt .. 5 bytes\n"), std::string::npos);
    EXPECT_NE(e.out.find("Extracting some/prefix/dir/leaf.txt .. 2 bytes\n"), std::string::npos);
}

// Entries that would write outside the root are refused, their data skipped, and the rest of
// the archive still extracted.
TEST_F(TarReaderTest, RefusesEscapes) {
    TempDir outside;
    std::string victim = outside / "victim";
    zn_test::write_file(victim, "original");
    struct Row {
        const char *what;
        std::string tar;
        std::string refused;
    } rows[] = {
        {"absolute name", TarBuilder().file(victim, "evil").file("ok", "fine").finish(), victim},
        {"dot-dot", TarBuilder().file("a/../../victim", "evil").file("ok", "fine").finish(),
         "a/../../victim"},
        {"symlink then file",
         TarBuilder()
             .symlink("out", outside.path())
             .file("out/victim", "evil")
             .file("ok", "fine")
             .finish(),
         "out/victim"},
        {"symlink then directory",
         TarBuilder().symlink("out", outside.path()).dir("out/newdir/").file("ok", "fine").finish(),
         "out/newdir/"},
        {"hard link to outside",
         TarBuilder().hardlink("h", "../" + std::string("x")).file("ok", "fine").finish(), "../x"},
        {"hard link through symlink",
         TarBuilder()
             .symlink("out", outside.path())
             .hardlink("h", "out/victim")
             .file("ok", "fine")
             .finish(),
         "out/victim"},
    };
    for (const Row &row : rows) {
        zn_test::remove_tree(root());
        Extraction e = extract(row.tar);
        EXPECT_EQ(e.failed, 1) << row.what;
        EXPECT_NE(e.out.find("Refusing unsafe path " + row.refused + "\n"), std::string::npos)
            << row.what << "\n"
            << e.out;
        EXPECT_EQ(zn_test::read_file(victim), "original") << row.what;
        EXPECT_EQ(zn_test::read_file(root() + "/ok"), "fine") << row.what;
        EXPECT_FALSE(zn_test::exists(outside / "newdir")) << row.what;
        EXPECT_FALSE(zn_test::exists(root() + "/h")) << row.what;
    }
}

// Whatever stands at an entry's path (a link planted earlier, a hard link to a file elsewhere)
// is replaced, never written through.
TEST_F(TarReaderTest, ReplacesWhatStandsAtTheEntryPath) {
    TempDir outside;
    std::string victim = outside / "victim";
    zn_test::write_file(victim, "original", 0600);
    mkdir(root().c_str(), 0755);
    ASSERT_EQ(symlink(victim.c_str(), (root() + "/viasym").c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), (root() + "/viahard").c_str()), 0);
    mkdir((root() + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink(outside.path().c_str(), (root() + "/sub/dirlink").c_str()), 0);
    std::string tar = TarBuilder()
                          .file("viasym", "new one", 0644)
                          .file("viahard", "new two", 0644)
                          .dir("sub/dirlink/")
                          .file("sub/dirlink/x", "inside")
                          .finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 0) << e.out << e.err;
    EXPECT_EQ(zn_test::read_file(victim), "original");
    EXPECT_EQ(mode_of("viasym"), 0644);
    EXPECT_EQ(zn_test::read_file(root() + "/viasym"), "new one");
    EXPECT_EQ(zn_test::read_file(root() + "/viahard"), "new two");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    // The link at the directory entry's path became a real directory.
    ASSERT_EQ(lstat((root() + "/sub/dirlink").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(zn_test::exists(outside / "x"));
}

TEST_F(TarReaderTest, CorruptHeadersStopTheArchive) {
    TarBuilder::Header bad_sum, bad_size, negative, huge_b256, bad_mode, size_9, mode_8, huge_meta;
    bad_sum.name = "bad-sum";
    bad_sum.bad_checksum = true;
    bad_size.name = "bad-size";
    bad_size.size_field = "12x4";
    negative.name = "negative";
    negative.size_field = std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe", 12);
    huge_b256.name = "huge";
    huge_b256.size_field = std::string("\x80\x7f\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12);
    bad_mode.name = "bad-mode";
    bad_mode.mode_field = "rwxr-x";
    size_9.name = "size-9";  // octal digits only
    size_9.size_field = "00000000019";
    mode_8.name = "mode-8";
    mode_8.mode_field = "0000648";
    huge_meta.name = "huge-meta";  // a metadata body over kTarMetaMax
    huge_meta.type = 'x';
    huge_meta.size = kTarMetaMax + 1;
    for (const auto &h :
         {bad_sum, bad_size, negative, huge_b256, bad_mode, size_9, mode_8, huge_meta}) {
        zn_test::remove_tree(root());
        std::string tar = TarBuilder().file("first", "1").entry(h, "").file("later", "2").finish();
        Extraction e = extract(tar);
        EXPECT_EQ(e.failed, 1) << h.name;
        EXPECT_EQ(e.err, "Corrupt archive header\n") << h.name;
        EXPECT_EQ(e.out, "Extracting first .. 1 bytes\n") << h.name;
        EXPECT_FALSE(zn_test::exists(root() + "/later")) << h.name;
    }
}

TEST_F(TarReaderTest, NumericFieldForms) {
    TarBuilder::Header b256, spaced, signed_sum;
    b256.name = "b256";
    b256.size_field = std::string("\x80\0\0\0\0\0\0\0\0\0\0\x03", 12);
    spaced.name = "spaced";
    spaced.size_field = "  3 ";
    std::string tar = TarBuilder().entry(b256, "abc").entry(spaced, "def").finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 0) << e.err;
    EXPECT_EQ(zn_test::read_file(root() + "/b256"), "abc");
    EXPECT_EQ(zn_test::read_file(root() + "/spaced"), "def");

    // A header whose checksum was computed over signed bytes (a name byte above 0x7F).
    std::string name = "caf\xe9";
    std::string block = TarBuilder::header_block([&] {
        TarBuilder::Header h;
        h.name = name;
        return h;
    }());
    long signed_total = 0;
    for (int i = 0; i < 512; i++)
        signed_total += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(block[size_t(i)]);
    char field[8];
    snprintf(field, sizeof field, "%06lo", signed_total);
    block.replace(148, 7, field, 7);
    zn_test::remove_tree(root());
    e = extract(TarBuilder().raw(block).finish());
    EXPECT_EQ(e.failed, 0) << e.err;
    EXPECT_TRUE(zn_test::exists(root() + "/" + name));
}

TEST_F(TarReaderTest, SpecialFilesAreSkipped) {
    TarBuilder::Header fifo, dev;
    fifo.name = "pipe";
    fifo.type = '6';
    dev.name = "disk";
    dev.type = '4';
    Extraction e = extract(TarBuilder().entry(fifo, "").entry(dev, "").file("f", "1").finish());
    EXPECT_EQ(e.failed, 0);
    EXPECT_NE(e.out.find("Skipping special file pipe\n"), std::string::npos);
    EXPECT_NE(e.out.find("Skipping special file disk\n"), std::string::npos);
    EXPECT_FALSE(zn_test::exists(root() + "/pipe"));
    EXPECT_EQ(zn_test::read_file(root() + "/f"), "1");
}

TEST_F(TarReaderTest, TruncatedArchivesFail) {
    std::string tar = TarBuilder().file("a", std::string(1000, 'a')).file("b", "b").finish();
    // Cut inside a header, inside data, inside padding, inside metadata.
    std::string meta = TarBuilder().gnu_longname(std::string(700, 'x')).finish();
    struct {
        std::string bytes;
        const char *what;
    } rows[] = {{tar.substr(0, 100), "header"},
                {tar.substr(0, 700), "data"},
                {tar.substr(0, 1500), "padding"},
                {meta.substr(0, 900), "metadata"}};
    for (const auto &row : rows) {
        zn_test::remove_tree(root());
        Extraction e = extract(row.bytes);
        EXPECT_EQ(e.failed, 1) << row.what;
        EXPECT_EQ(e.err, "Unexpected end of archive\n") << row.what;
    }
    // An archive that stops between entries, without end blocks, is complete.
    zn_test::remove_tree(root());
    Extraction e = extract(tar.substr(0, 512 + 1024));
    EXPECT_EQ(e.failed, 0) << e.err;
    // A stream that failed underneath fails the archive even at an entry boundary, quietly.
    zn_test::remove_tree(root());
    e = extract(tar.substr(0, 512 + 1024), 0, false);
    EXPECT_EQ(e.failed, 1);
    EXPECT_EQ(e.err, "");
}

TEST_F(TarReaderTest, EntriesThatCannotBeCreated) {
    mkdir(root().c_str(), 0755);
    mkdir((root() + "/isdir").c_str(), 0755);
    zn_test::write_file(root() + "/plain", "p");
    std::string tar = TarBuilder()
                          .file("isdir", "cannot replace a directory")
                          .file("plain/child", "parent is a file")
                          .dir("plain/sub/")
                          .hardlink("h", "missing")
                          .file("good", "still extracted")
                          .finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 1);
    EXPECT_NE(e.out.find("Cannot create file isdir\n"), std::string::npos) << e.out;
    EXPECT_NE(e.out.find("Cannot create file plain/child\n"), std::string::npos) << e.out;
    EXPECT_NE(e.out.find("Error creating dir plain/sub/\n"), std::string::npos) << e.out;
    EXPECT_NE(e.out.find("Cannot create file h\n"), std::string::npos) << e.out;
    EXPECT_EQ(zn_test::read_file(root() + "/good"), "still extracted");
    EXPECT_EQ(zn_test::read_file(root() + "/plain"), "p");
}

// An empty name from metadata is an entry that cannot be created, not the end of the archive.
TEST_F(TarReaderTest, EmptyNameFromMetadataIsNotTheEnd) {
    Extraction e =
        extract(TarBuilder().pax({{"path", ""}}).file("ignored", "xyz").file("next", "n").finish());
    EXPECT_EQ(e.failed, 1);
    EXPECT_EQ(e.out,
              "Extracting  .. 3 bytes\nCannot create file \nExtracting next .. 1 bytes\n"
              "Extracting  .. 0 bytes\n");
    EXPECT_EQ(zn_test::read_file(root() + "/next"), "n");
}

// Directories stored the old way (a name ending in '/' with type flag '0' or NUL) and GNU dump
// directories ('D', whose body is a listing to skip) are directories, not files.
TEST_F(TarReaderTest, OldStyleDirectories) {
    TarBuilder tar;
    for (char type : {'0', '\0', 'D'}) {
        TarBuilder::Header h;
        std::string d = std::string("d") + (type ? type : 'N');
        h.name = d + "/";
        h.type = type;
        h.size = type == 'D' ? 600 : 0;
        tar.entry(h, std::string(h.size, 'Y')).file(d + "/f", d);
    }
    Extraction e = extract(tar.finish());
    EXPECT_EQ(e.failed, 0) << e.out;
    for (const char *d : {"d0", "dN", "dD"})
        EXPECT_EQ(zn_test::read_file(root() + "/" + d + "/f"), d);
}

// Directory modes are set at the commit, also when the archive was cut short: setgid and sticky
// bits kept, a directory made for a file's path given its entry's mode when the entry comes later,
// and a directory that was already there, the user's own, given the mode of the entry naming it.
TEST_F(TarReaderTest, DirectoryModesAtTheEnd) {
    umask(022);
    mkdir(root().c_str(), 0755);
    mkdir((root() + "/old").c_str(), 0700);
    std::string tar = TarBuilder()
                          .dir("ro/", 0555)
                          .file("ro/f", "read-only parent", 0644)
                          .dir("sticky/", 01777)
                          .dir("sgid/", 02750)
                          .file("late/f", "before its directory", 0644)
                          .dir("late/", 0500)
                          .dir("old/", 0755)
                          .file("cut", std::string(2000, 'c'))
                          .finish();
    for (size_t cut : {tar.size(), size_t(512 * 12)}) {  // whole, and cut inside the last file
        Extraction e = extract(tar.substr(0, cut));
        EXPECT_EQ(e.failed, cut != tar.size()) << e.out << e.err;
        EXPECT_EQ(mode_of("ro"), 0555) << cut;
        EXPECT_EQ(mode_of("sticky"), 01755) << cut;
        EXPECT_EQ(mode_of("sgid"), 02751) << cut;
        EXPECT_EQ(mode_of("late"), 0511) << cut;
        EXPECT_EQ(mode_of("old"), 0755) << cut;
        EXPECT_EQ(zn_test::read_file(root() + "/ro/f"), "read-only parent");
        for (const char *d : {"ro", "sticky", "sgid", "late", "cut"})
            zn_test::remove_tree(root() + "/" + d);
    }
}

// An archive that replaces a file and then needs a directory at the same name: the replacement
// is void, the file goes aside. Rolled back, the old file is there again, the very same one;
// committed, the directory, and no temporary is left either way.
TEST_F(TarReaderTest, ReplacedThenNeededAsADirectory) {
    umask(022);
    std::string tar = TarBuilder().file("x", "new file").dir("x/").file("x/y", "y").finish();
    for (bool roll_back : {true, false}) {
        SCOPED_TRACE(roll_back ? "rolled back" : "committed");
        zn_test::remove_tree(root());
        mkdir(root().c_str(), 0755);
        zn_test::write_file(root() + "/x", "old file", 0640);
        struct stat before, after;
        ASSERT_EQ(lstat((root() + "/x").c_str(), &before), 0);
        Extraction e = extract(tar, 0, true, roll_back);
        EXPECT_EQ(e.failed, 0) << e.out << e.err;
        auto tree = zn_test::snapshot_tree(root());
        if (roll_back) {
            EXPECT_EQ(zn_test::diff_trees({{"x", {'f', 0640, "old file"}}}, tree), "");
            ASSERT_EQ(lstat((root() + "/x").c_str(), &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino);
        } else {
            EXPECT_EQ(
                zn_test::diff_trees({{"x", {'d', 0755, ""}}, {"x/y", {'f', 0644, "y"}}}, tree), "");
        }
    }
}

TEST_F(TarReaderTest, EndOfArchiveSkipsTheRest) {
    std::string tar = TarBuilder().file("a", "1").finish(2) + TarBuilder().file("b", "2").finish();
    Extraction e = extract(tar);
    EXPECT_EQ(e.failed, 0);
    EXPECT_EQ(e.out, "Extracting a .. 1 bytes\nExtracting  .. 0 bytes\n");
    EXPECT_FALSE(zn_test::exists(root() + "/b"));
}

}  // namespace
}  // namespace zn
