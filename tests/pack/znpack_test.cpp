// Runs the built znpack as a subprocess and checks the packages it writes by reading them back
// independently: the magic searched for in the bytes, the CRC computed over a copy, record bodies
// decompressed and listed by the system's bzip2 and tar.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/package_format.h"
#include "package/product_record.h"
#include "package/version.h"
#include "support/package.h"
#include "support/process.h"
#include "support/scratch.h"

namespace zn {
namespace {

using zn_test::read_file;
using zn_test::TempDir;
using zn_test::write_file;

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Runs program with args; env holds NAME=VALUE settings for the child only. SOURCE_DATE_EPOCH is
// removed from the child's environment unless env sets it.
Result run_program(const std::string &program, const std::vector<std::string> &args,
                   const std::vector<std::string> &env = {}) {
    zn_test::RunOptions options;
    options.env["SOURCE_DATE_EPOCH"] = std::nullopt;
    for (const std::string &setting : env) {
        size_t eq = setting.find('=');
        options.env[setting.substr(0, eq)] = setting.substr(eq + 1);
    }
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    zn_test::RunResult r = zn_test::run_process(argv, options);
    return {r.signal ? 128 + r.signal : r.exit_code, r.out, r.err};
}

Result znpack(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return run_program(ZN_PACK_PATH, args, env);
}

// Standard output of a shell command.
std::string shell(const std::string &command) {
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

std::string magic() {
    build_package_magic();
    return std::string(package_magic, kMagicLength);
}

struct Record {
    size_t offset;
    unsigned type;
    std::string body;
};

// A package read back without the tool's help.
struct Package {
    size_t payload_offset = 0;
    uint32_t payload_length = 0;
    uint32_t stored_crc = 0;
    uint32_t calculated_crc = 0;
    std::vector<Record> records;
};

Package parse_package(const std::string &file) {
    Package p;
    size_t at = file.find(magic());
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos || at + kPackageHeaderSize > file.size()) return p;
    p.payload_offset = at;
    p.payload_length = LGET32(file.data() + at + kHeaderPayloadLengthOffset);
    p.stored_crc = LGET32(file.data() + at + kHeaderCrcOffset);
    std::string zeroed = file;
    zeroed.replace(at + kHeaderCrcOffset, 4, 4, '\0');
    p.calculated_crc = crc32(zeroed.data(), int(zeroed.size()));
    for (size_t pos = at + kPackageHeaderSize; pos + kRecordHeaderSize <= file.size();) {
        uint32_t len = LGET32(file.data() + pos);
        unsigned type = static_cast<unsigned char>(file[pos + 4]);
        p.records.push_back({pos, type, file.substr(pos + kRecordHeaderSize, len)});
        pos += kRecordHeaderSize + size_t(len);
    }
    return p;
}

// Decompresses a bzip2 body with the system's bzip2.
std::string bunzip(const TempDir &dir, const std::string &body) {
    write_file(dir / "body.bz2", body);
    return shell("bzip2 -dc " + dir / "body.bz2");
}

// Decompresses a zstd body with the system's zstd.
std::string unzstd(const TempDir &dir, const std::string &body) {
    write_file(dir / "body.zst", body);
    return shell("zstd -qdc " + dir / "body.zst");
}

// A product record's body decoded; a body that does not decode fails the test.
product_info decode_product(const Record &r) {
    product_info p;
    product_info_init(&p);
    EXPECT_EQ(r.type, unsigned(kRecordProduct));
    const char *why = "";
    EXPECT_EQ(product_record_decode(reinterpret_cast<const unsigned char *>(r.body.data()),
                                    uint32_t(r.body.size()), &p, &why),
              0)
        << why;
    return p;
}

// The body of a product record that holds only a name.
std::string product_body(const char *name) {
    product_info p;
    product_info_init(&p);
    p.has_name = 1;
    std::snprintf(p.name, sizeof p.name, "%s", name);
    dstr d;
    dstr_init(&d, 64);
    product_record_encode(&p, &d);
    std::string body(d.dl_ptr, size_t(d.dl_len));
    dstr_free(&d);
    return body;
}

// The line build prints, with the file's size and digest as the system's tools give them.
std::string summary_line(const std::string &path, int records) {
    std::string digest = shell("sha256sum " + path).substr(0, 64);
    return path + ": " + std::to_string(read_file(path).size()) + " bytes, " +
           std::to_string(records) + (records == 1 ? " record" : " records") + ", sha256 " +
           digest + "\n";
}

// A small stand-in for the installer image.
std::string make_stub(const TempDir &dir) {
    std::string stub = dir / "stub";
    write_file(stub,
               "\x7f"
               "ELF pretend installer image \x01\x02\x03 with a lone \x01 byte\n",
               0755);
    return stub;
}

std::vector<std::string> dir_listing(const std::string &dir) {
    std::string out = shell("ls -A " + dir);
    std::vector<std::string> names;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) names.push_back(line);
    return names;
}

// The product tree used by the archive tests: nested directories, a name over 100 bytes, a
// symbolic link, a hard link, an empty file, an executable, and files whose sizes sit at and
// around the tar block size and the tool's read chunk. Modes are set explicitly, so the umask
// does not matter; creation order is reversed on request.
void make_tree(const std::string &root, bool reversed) {
    std::string long_dir(60, 'd'), long_name(70, 'n');
    std::string big;
    uint32_t x = 12345;
    for (int i = 0; i < 200000; i++) {
        x = x * 1103515245u + 12345u;
        big += char(i % 3 == 0 ? 0 : x >> 24);
    }
    std::vector<std::pair<std::string, std::string>> files = {
        {"bin/run", "#!/bin/sh\necho run\n"},
        {"lib/a/b/deep.txt", "deep\n"},
        {"empty", ""},
        {long_dir + "/" + long_name, "long\n"},
        {"lib/block", std::string(512, 'b')},
        {"lib/big", big},
        {"zz", "last\n"},
    };
    std::vector<std::string> dirs = {"bin", "lib", "lib/a", "lib/a/b", long_dir, "emptydir"};
    if (reversed) {
        std::reverse(files.begin(), files.end());
    }
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    for (const std::string &d : dirs) mkdir((root + "/" + d).c_str(), 0755);
    for (const auto &f : files) write_file(root + "/" + f.first, f.second, 0644);
    chmod((root + "/bin/run").c_str(), 0755);
    chmod((root + "/lib/a").c_str(), 0750);
    chmod((root + "/zz").c_str(), 0600);
    chmod((root + "/emptydir").c_str(), 0700);
    ASSERT_EQ(symlink("../lib/a/b/deep.txt", (root + "/bin/deep-link").c_str()), 0);
    ASSERT_EQ(symlink("no/such/target", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(link((root + "/bin/run").c_str(), (root + "/lib/run-hard").c_str()), 0);
    // Time stamps of the tree must not reach the archive.
    struct timeval tv[2] = {{reversed ? 1000000 : 2000000, 0}, {reversed ? 1000000 : 2000000, 0}};
    utimes((root + "/zz").c_str(), tv);
    utimes((root + "/lib").c_str(), tv);
}

TEST(ZnpackBuild, WritesImageHeaderAndRecordsInTheOrderGiven) {
    TempDir dir;
    std::string stub = make_stub(dir);
    std::string welcome = "Welcome to the product\r\nSecond line\r\n";
    std::string script = "#!/bin/sh\necho \"installed in $INSTALL_ROOT\"\n";
    std::string program(10000, '\0');
    for (size_t i = 0; i < program.size(); i++) program[i] = char(i * 7);
    write_file(dir / "welcome.txt", welcome);
    write_file(dir / "post.sh", script);
    write_file(dir / "helper", program, 0755);
    write_file(dir / "in.tar", shell("cd " + dir.path() + " && tar -cf - welcome.txt post.sh"));
    std::string licence = dir / "licence";
    write_file(licence, "Licence terms\n");

    // The product record goes first and the licence right after it, wherever they are given.
    mode_t old_umask = umask(077);  // the output is 0755 whatever the umask
    Result r =
        znpack({"build", "-o", dir / "pkg", "--stub", stub, "--env", "ZN_BINDIR=bin.x", "--welcome",
                dir / "welcome.txt", "--archive", dir / "in.tar", "--script", dir / "post.sh",
                "--program", dir / "helper", "--env", "ZN_BINDIR=later", "--license", licence});
    umask(old_umask);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, summary_line(dir / "pkg", 8));

    struct stat st;
    ASSERT_EQ(stat((dir / "pkg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    std::string file = read_file(dir / "pkg");
    std::string image = read_file(stub);
    EXPECT_EQ(file.substr(0, image.size()), image);
    Package p = parse_package(file);
    EXPECT_EQ(p.payload_offset, image.size());
    EXPECT_EQ(p.payload_length, file.size() - image.size());
    EXPECT_EQ(p.stored_crc, p.calculated_crc);
    EXPECT_EQ(std::string(file, p.payload_offset + kHeaderMagicWidth, 9), std::string(9, 0));
    EXPECT_EQ(std::string(file, p.payload_offset + kHeaderWordsOffset, 140), std::string(140, 0));

    ASSERT_EQ(p.records.size(), 8u);
    const unsigned types[] = {30, 31, 12, 1, 2, 11, 7, 12};
    for (size_t i = 0; i < 8; i++) EXPECT_EQ(p.records[i].type, types[i]) << "record " << i;
    // The .tar taken as it is: two files, counted as they are read.
    product_info product = decode_product(p.records[0]);
    EXPECT_FALSE(product.has_name);
    EXPECT_EQ(product.entries, 2u);
    EXPECT_EQ(product.unpacked_size, welcome.size() + script.size());
    EXPECT_EQ(product.flags, 0u);
    EXPECT_EQ(p.records[1].body, "Licence terms\n");
    EXPECT_EQ(p.records[2].body, std::string("ZN_BINDIR=bin.x\0", 16));
    EXPECT_EQ(p.records[3].body, welcome);
    EXPECT_EQ(p.records[4].body.substr(0, 4), "BZh9");
    EXPECT_EQ(bunzip(dir, p.records[4].body), read_file(dir / "in.tar"));
    EXPECT_EQ(bunzip(dir, p.records[5].body), script);
    EXPECT_EQ(p.records[6].body, program);
    EXPECT_EQ(p.records[7].body, std::string("ZN_BINDIR=later\0", 16));
}

// One environment setting is the smallest package: without an archive or a product option there
// is no product record. (A package of no records at all is refused; see BadInputLeavesNoOutput.)
TEST(ZnpackBuild, SmallestPackageHoldsOneRecord) {
    TempDir dir;
    std::string stub = make_stub(dir);
    // The output is on disk (fsync) before it takes its name (rename).
    const char *asan = std::getenv("ASAN_OPTIONS");
    Result r =
        znpack({"build", "-o", dir / "pkg", "--stub", stub, "--env", "A=1"},
               {std::string("LD_PRELOAD=") + ZN_CALL_LOG_PATH, "ZN_CALL_LOG=" + dir / "calls",
                std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((dir / "pkg").c_str(), &st), 0);
    std::string calls = read_file(dir / "calls");
    size_t renamed = calls.find("rename " + dir / "pkg" + "\n");
    ASSERT_NE(renamed, std::string::npos) << calls;
    EXPECT_LT(calls.find("fsync " + std::to_string(st.st_ino) + "\n"), renamed) << calls;
    std::string file = read_file(dir / "pkg");
    EXPECT_EQ(file.size(), read_file(stub).size() + kPackageHeaderSize + kRecordHeaderSize + 4);
    Package p = parse_package(file);
    EXPECT_EQ(p.payload_length, uint32_t(kPackageHeaderSize + kRecordHeaderSize + 4));
    EXPECT_EQ(p.stored_crc, p.calculated_crc);
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].type, unsigned(kRecordEnvironment));
    EXPECT_EQ(znpack({"verify", dir / "pkg"}).status, 0);
    EXPECT_NE(znpack({"list", dir / "pkg"}).out.find("\n1 record\n"), std::string::npos);
}

// The body is the text and its NUL; the installer takes at most 1023 bytes.
TEST(ZnpackBuild, EnvironmentSettingLimits) {
    TempDir dir;
    std::string stub = make_stub(dir);
    struct Row {
        std::string text;
        bool accepted;
    } rows[] = {
        {"A=" + std::string(1020, 'v'), true},   // 1022 bytes + NUL = 1023
        {"A=" + std::string(1021, 'v'), false},  // 1023 bytes + NUL = 1024
        {"A=" + std::string(5000, 'v'), false},
        {"A=", true},
        {"PATH=/usr/bin:/bin", true},
        {"NOEQUALS", false},
        {"=value", false},
        {"1A B=2", false},  // not a shell variable name
        {"A-B=1", false},
        {"_a1=x", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("text of " + std::to_string(row.text.size()) +
                     " bytes: " + row.text.substr(0, 20));
        std::string out = dir / "pkg";
        unlink(out.c_str());
        Result r = znpack({"build", "-o", out, "--stub", stub, "--env", row.text});
        if (!row.accepted) {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("environment setting"), std::string::npos) << r.err;
            EXPECT_NE(access(out.c_str(), F_OK), 0);
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        Package p = parse_package(read_file(out));
        ASSERT_EQ(p.records.size(), 1u);
        EXPECT_EQ(p.records[0].body, row.text + std::string(1, '\0'));
    }
}

// Every failure leaves the directory as it was: no output, no temporary file, and an output
// that existed before keeps its bytes.
TEST(ZnpackBuild, BadInputLeavesNoOutputBehind) {
    TempDir dir;
    std::string stub = make_stub(dir);
    write_file(dir / "welcome.txt", "hello\n");
    write_file(dir / "not-a-tar.txt", "text\n");
    write_file(dir / "secret", "no access\n", 0);
    mkdir((dir / "tree").c_str(), 0755);
    mkdir((dir / "odd-tree").c_str(), 0755);
    write_file(dir / "odd-tree/file", "x\n");
    ASSERT_EQ(mkfifo((dir / "odd-tree/fifo").c_str(), 0644), 0);
    write_file(dir / "bad.tar", std::string(1024, 'x'));
    // Sparse: 4 GiB, one byte more than a record body holds; two halves of 2 GiB + 1.
    write_file(dir / "4g", "");
    write_file(dir / "2g", "");
    ASSERT_EQ(truncate((dir / "4g").c_str(), off_t(1) << 32), 0);
    ASSERT_EQ(truncate((dir / "2g").c_str(), (off_t(1) << 31) + 1), 0);
    ASSERT_EQ(znpack({"build", "-o", dir / "packaged", "--stub", stub, "--env", "A=1"}).status, 0);
    // The magic at the start of the file, and alone without the NUL that follows a header.
    std::string header(kPackageHeaderSize, '\0');
    header.replace(0, kMagicLength, magic());
    write_file(dir / "magic-first", header + "rest of an image");
    write_file(dir / "magic-inside", "image " + magic() + "xyz image");

    std::string out = dir / "out";
    std::vector<std::string> base = {"build", "-o", out, "--stub", stub, "--env", "A=1"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Row {
        const char *name;
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        std::string message;
    } rows[] = {
        {"missing file", with({"--welcome", dir / "absent"}), {}, 1, "absent: No such file"},
        {"directory as a file", with({"--program", dir / "tree"}), {}, 1, "is a directory"},
        {"later record fails",
         with({"--env", "A=1", "--welcome", dir / "welcome.txt", "--archive", dir / "tree",
               "--script", dir / "absent"}),
         {},
         1,
         "cannot open"},
        {"stub carries a package",
         {"build", "-o", out, "--stub", dir / "packaged", "--env", "A=1"},
         {},
         1,
         "already carries a package (header at offset"},
        {"stub starts with a header",
         {"build", "-o", out, "--stub", dir / "magic-first", "--env", "A=1"},
         {},
         1,
         "already carries a package (header at offset 0)"},
        {"stub holds the magic",
         {"build", "-o", out, "--stub", dir / "magic-inside", "--env", "A=1"},
         {},
         1,
         "holds the package magic at offset 6"},
        {"stub missing",
         {"build", "-o", out, "--stub", dir / "absent", "--env", "A=1"},
         {},
         1,
         "cannot open installer"},
        {"stub is a directory",
         {"build", "-o", out, "--stub", dir / "tree", "--env", "A=1"},
         {},
         1,
         "not a regular file"},
        {"environment too long",
         with({"--env", "A=" + std::string(1021, 'x')}),
         {},
         1,
         "1024 bytes with its NUL"},
        {"archive neither dir nor tar",
         with({"--archive", dir / "not-a-tar.txt"}),
         {},
         1,
         "takes a directory or a file named *.tar"},
        {"archive missing", with({"--archive", dir / "absent"}), {}, 1, "No such file"},
        {"archive with a fifo",
         with({"--archive", dir / "odd-tree"}),
         {},
         1,
         "fifo: cannot pack a special file"},
        {"unknown option", with({"--compression"}), {}, 2, "unknown option \"--compression\""},
        {"unknown compression", with({"--compress", "xz"}), {}, 2, "--compress takes bzip2, zstd"},
        {"zstd level 0", with({"--compress", "zstd:0"}), {}, 2, "zstd:LEVEL (1 to 22), not"},
        {"zstd level too high", with({"--compress", "zstd:23"}), {}, 2, "not \"zstd:23\""},
        {"zstd level not a number", with({"--compress", "zstd:9x"}), {}, 2, "not \"zstd:9x\""},
        {"compression given twice",
         with({"--compress", "zstd", "--compress", "bzip2"}),
         {},
         2,
         "--compress given twice"},
        {"no threads", with({"--threads", "0"}), {}, 2, "--threads takes a number from 1"},
        {"stray argument", with({"welcome.txt"}), {}, 2, "unexpected argument"},
        {"option without value", with({"--env"}), {}, 2, "--env needs a value"},
        {"no output", {"build", "--stub", stub}, {}, 2, "build needs -o OUT"},
        {"output given twice", with({"-o", out}), {}, 2, "-o given twice"},
        {"epoch not a number", base, {"SOURCE_DATE_EPOCH=12x"}, 1, "SOURCE_DATE_EPOCH"},
        {"epoch negative", base, {"SOURCE_DATE_EPOCH=-5"}, 1, "SOURCE_DATE_EPOCH"},
        {"output is a directory",
         {"build", "-o", dir / "tree", "--stub", stub, "--env", "A=1"},
         {},
         1,
         "cannot rename"},
        {"no records", {"build", "-o", out, "--stub", stub}, {}, 2, "needs at least one record"},
        {"relative default directory",
         with({"--default-dir", "opt/product"}),
         {},
         2,
         "--default-dir takes an absolute directory or one beginning with ~"},
        {"name too long", with({"--name", std::string(1024, 'n')}), {}, 2, "at most 1023 bytes"},
        {"licence missing", with({"--license", dir / "absent"}), {}, 1, "absent: No such file"},
        {"tar file that is not one",
         with({"--archive", dir / "bad.tar"}),
         {},
         1,
         "bad.tar: not a tar archive that reads whole"},
        {"stored body over 4 GiB - 1",
         with({"--program", dir / "4g"}),
         {},
         1,
         "4g: 4294967296 bytes, more than a record body holds"},
        // Refused before the archive is packed: its walk would have met the fifo first.
        {"stored records over 4 GiB - 1",
         with({"--archive", dir / "odd-tree", "--welcome", dir / "2g", "--program", dir / "2g"}),
         {},
         1,
         "more than a package holds"},
    };
    if (geteuid() != 0) {
        // Root reads files whatever their mode, so this row only means something for others.
        EXPECT_NE(znpack(with({"--welcome", dir / "secret"})).status, 0);
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        for (bool existing : {false, true}) {
            unlink(out.c_str());
            if (existing) write_file(out, "the previous package\n", 0600);
            std::vector<std::string> before = dir_listing(dir.path());
            Result r = znpack(row.args, row.env);
            EXPECT_EQ(r.status, row.status) << r.err;
            EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("znpack: "), 0u) << r.err;
            EXPECT_EQ(dir_listing(dir.path()), before);
            if (existing) {
                EXPECT_EQ(read_file(out), "the previous package\n");
            }
        }
    }
}

// Without --stub the tool takes the zninstall in its own directory, wherever it was started from.
TEST(ZnpackBuild, DefaultStubIsTheInstallerBesideTheTool) {
    TempDir dir;
    mkdir((dir / "bin").c_str(), 0755);
    std::string tool = dir / "bin/znpack";
    write_file(tool, read_file(ZN_PACK_PATH), 0755);

    Result missing = run_program(tool, {"build", "-o", dir / "pkg", "--env", "A=1"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(dir / "bin/zninstall"), std::string::npos) << missing.err;
    EXPECT_NE(access((dir / "pkg").c_str(), F_OK), 0);

    write_file(dir / "bin/zninstall", "installer image beside the tool\n", 0755);
    Result r = run_program(tool, {"build", "-o", dir / "pkg", "--env", "A=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string file = read_file(dir / "pkg");
    EXPECT_EQ(file.find("installer image beside the tool\n"), 0u);
    EXPECT_EQ(parse_package(file).payload_offset, 32u);
}

// The archive record of a packed tree, listed and unpacked by the system's tar.
TEST(ZnpackArchive, TarHoldsNamesModesLinksAndContents) {
    TempDir dir;
    std::string stub = make_stub(dir);
    make_tree(dir / "tree", false);
    Result r = znpack({"build", "-o", dir / "pkg", "--stub", stub, "--archive", dir / "tree/"});
    ASSERT_EQ(r.status, 0) << r.err;
    Package p = parse_package(read_file(dir / "pkg"));
    ASSERT_EQ(p.records.size(), 2u);
    write_file(dir / "archive.tar", bunzip(dir, p.records[1].body));
    EXPECT_EQ(read_file(dir / "archive.tar").size() % 512, 0u);

    std::string long_dir(60, 'd'), long_name(70, 'n');
    // Sorted by name in each directory (byte order), each directory before its contents.
    const char *rows[][3] = {
        {"drwxr-xr-x", "0", "bin/"},
        {"lrwxrwxrwx", "0", "bin/deep-link -> ../lib/a/b/deep.txt"},
        {"-rwxr-xr-x", "19", "bin/run"},
        {"lrwxrwxrwx", "0", "dangling -> no/such/target"},
        {"drwxr-xr-x", "0", "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd/"},
        {"-rw-r--r--", "5", nullptr},  // the long name, filled in below
        {"-rw-r--r--", "0", "empty"},
        {"drwx------", "0", "emptydir/"},
        {"drwxr-xr-x", "0", "lib/"},
        {"drwxr-x---", "0", "lib/a/"},
        {"drwxr-xr-x", "0", "lib/a/b/"},
        {"-rw-r--r--", "5", "lib/a/b/deep.txt"},
        {"-rw-r--r--", "200000", "lib/big"},
        {"-rw-r--r--", "512", "lib/block"},
        {"hrwxr-xr-x", "0", "lib/run-hard link to bin/run"},
        {"-rw-------", "5", "zz"},
    };
    std::string want;
    for (const auto &row : rows) {
        std::string name = row[2] != nullptr ? row[2] : long_dir + "/" + long_name;
        want += std::string(row[0]) + " 0/0 " + row[1] + " 1970-01-01 00:00:00 " + name + "\n";
    }
    std::string got = shell("TZ=UTC tar -tvf " + dir / "archive.tar" +
                            " --numeric-owner --full-time | tr -s ' '");
    EXPECT_EQ(got, want);

    // The product record counts what the listing shows: every entry, and the regular files'
    // bytes. The same tar taken as a file is counted alike.
    uint64_t file_bytes = 0;
    for (const auto &row : rows)
        if (row[0][0] == '-') file_bytes += std::stoull(row[1]);
    product_info product = decode_product(p.records[0]);
    EXPECT_EQ(product.entries, sizeof rows / sizeof rows[0]);
    EXPECT_EQ(product.unpacked_size, file_bytes);
    r = znpack({"build", "-o", dir / "pkg-tar", "--stub", stub, "--archive", dir / "archive.tar"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(parse_package(read_file(dir / "pkg-tar")).records[0].body, p.records[0].body);

    // Unpacked, the tree matches the original byte for byte, links included.
    mkdir((dir / "out").c_str(), 0755);
    shell("tar -xf " + dir / "archive.tar" + " -C " + dir / "out");
    shell("diff -r --no-dereference " + dir / "tree" + " " + dir / "out");
    struct stat a, b;
    ASSERT_EQ(stat((dir / "out/bin/run").c_str(), &a), 0);
    ASSERT_EQ(stat((dir / "out/lib/run-hard").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(read_file(dir / "out/lib/big"), read_file(dir / "tree/lib/big"));
}

TEST(ZnpackArchive, BuildsAreReproducible) {
    TempDir dir;
    std::string stub = make_stub(dir);
    make_tree(dir / "one", false);
    make_tree(dir / "two", true);  // created in the other order, with other time stamps
    write_file(dir / "welcome.txt", "hello\n");
    auto build = [&](const std::string &out, const std::string &tree,
                     const std::vector<std::string> &env) {
        Result r = znpack({"build", "-o", out, "--stub", stub, "--welcome", dir / "welcome.txt",
                           "--archive", tree, "--script", dir / "welcome.txt"},
                          env);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(out);
    };
    std::string first = build(dir / "a", dir / "one", {});
    EXPECT_EQ(build(dir / "b", dir / "one", {}), first);
    EXPECT_EQ(build(dir / "c", dir / "two", {}), first);
    EXPECT_EQ(build(dir / "d", dir / "two", {"SOURCE_DATE_EPOCH=0"}), first);

    // SOURCE_DATE_EPOCH sets every time stamp, and is itself reproducible.
    std::string dated = build(dir / "e", dir / "one", {"SOURCE_DATE_EPOCH=1700000000"});
    EXPECT_NE(dated, first);
    EXPECT_EQ(build(dir / "f", dir / "two", {"SOURCE_DATE_EPOCH=1700000000"}), dated);
    Package p = parse_package(dated);
    ASSERT_EQ(p.records.size(), 4u);
    write_file(dir / "dated.tar", bunzip(dir, p.records[2].body));
    std::string listing = shell("TZ=UTC tar -tvf " + dir / "dated.tar" +
                                " --full-time | awk '{print $4, $5}' | sort -u");
    EXPECT_EQ(listing, "2023-11-14 22:13:20\n");
}

// What is swapped between the walk's listing and its opening (a directory or a file for a link
// that leads out of the tree, a file for another file or for a fifo, which must not block the
// walk) is refused, and so is a directory moved out of the tree while the walk is inside it (its
// ".." is then no longer the directory the walk left); no package is left. The test build of the
// tool waits at the named entry until the test has made the swap.
TEST(ZnpackArchive, RefusesWhatIsSwappedMidWalk) {
    TempDir dir;
    std::string stub = make_stub(dir);
    std::string tree = dir / "tree", outside = dir / "outside", out = dir / "pkg";
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    write_file(outside + "/key", "PRIVATE KEY\n", 0600);
    enum Swap { kSymlink, kHardLink, kFifo, kParentMovedOut };
    const char *const swap_names[] = {"for a link", "for another file", "for a fifo",
                                      "its directory moved out"};
    auto swap_for = [&](const std::string &at, Swap how) {
        std::string path = tree + "/" + at;
        if (how == kParentMovedOut) path.resize(path.rfind('/'));
        EXPECT_EQ(rename(path.c_str(), (dir / "moved").c_str()), 0);
        std::string target = outside + (at == "sub" ? "" : "/key");
        int made = how == kSymlink    ? symlink(target.c_str(), path.c_str())
                   : how == kHardLink ? link(target.c_str(), path.c_str())
                   : how == kFifo     ? mkfifo(path.c_str(), 0600)
                                      : 0;
        EXPECT_EQ(made, 0);
    };
    struct Row {
        const char *at;
        Swap how;
        const char *reported;  // the path named as changed
    } rows[] = {{"sub", kSymlink, "sub"},
                {"sub/inner", kSymlink, "sub/inner"},
                {"sub/inner", kHardLink, "sub/inner"},
                {"sub/inner", kFifo, "sub/inner"},
                {"sub/inner", kParentMovedOut, "sub"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.at) + " " + swap_names[row.how]);
        zn_test::remove_tree(tree);
        zn_test::remove_tree(dir / "moved");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        write_file(tree + "/sub/inner", "inner\n");
        std::string fifo = dir / "pause";
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

        std::promise<void> writer_open;
        Result r;
        std::thread packer([&] {
            r = run_program(
                ZN_PACK_HOOKED_PATH, {"build", "-o", out, "--stub", stub, "--archive", tree},
                {std::string("ZN_PACK_PAUSE_AT=") + row.at, "ZN_PACK_PAUSE_FIFO=" + fifo});
            // Had the walk never paused, the open below would wait for a reader for ever.
            int keep = open(fifo.c_str(), O_RDWR);
            writer_open.get_future().wait();
            close(keep);
        });
        int w = open(fifo.c_str(), O_WRONLY);  // returns once the walk waits at row.at
        writer_open.set_value();
        swap_for(row.at, row.how);
        close(w);
        packer.join();
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err,
                  "znpack: " + tree + "/" + row.reported + ": changed while it was being packed\n");
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
}

// Compression runs on every core and still writes the same bytes whatever the number of threads:
// one stream that the system's bzip2 and the installer's sequential decoder accept. The archive
// spans several pieces; one of them is runs of four equal bytes, which one block cannot hold.
TEST(ZnpackArchive, SameBytesForAnyNumberOfThreads) {
    TempDir dir;
    std::string tree = dir / "tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    std::string text, fours;
    uint32_t x = 99;
    while (text.size() < 2500000) {
        x = x * 1103515245u + 12345u;
        text += std::string(1 + (x >> 28), char('a' + (x >> 20) % 26)) + (x & 0x100 ? " " : "\n");
    }
    for (int i = 0; i < 300000; i++) fours += std::string(4, char('a' + i % 2));
    write_file(tree + "/text", text);
    write_file(tree + "/fours", fours);
    auto build = [&](const char *threads) {
        std::string out = dir / (std::string("pkg") + threads);
        Result r =
            znpack({"build", "-o", out, "--archive", tree}, {std::string("ZN_THREADS=") + threads});
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(out);
    };
    std::string one = build("1");
    EXPECT_TRUE(build("2") == one);
    EXPECT_TRUE(build("3") == one);
    Result three = znpack({"build", "-o", dir / "pkg-option", "--threads", "3", "--archive", tree},
                          {"ZN_THREADS=1"});
    EXPECT_EQ(three.status, 0) << three.err;
    EXPECT_TRUE(read_file(dir / "pkg-option") == one);
    Package p = parse_package(one);
    ASSERT_EQ(p.records.size(), 2u);
    write_file(dir / "body.bz2", p.records[1].body);
    shell("bzip2 -t " + dir / "body.bz2");
    std::string tar = bunzip(dir, p.records[1].body);
    // The installer's one-thread decoder is given the archive record alone: what it makes of the
    // product record is not what this test is about.
    zn_test::write_package(dir / "archive-only",
                           {zn_test::Record{kRecordArchive, p.records[1].body}});
    Result gz = run_program(dir / "archive-only", {"-gz"}, {"ZN_THREADS=1"});
    EXPECT_EQ(gz.status, 0) << gz.err;
    EXPECT_TRUE(gz.out == tar);
    write_file(dir / "a.tar", tar);
    EXPECT_TRUE(shell("tar -xOf " + dir / "a.tar" + " fours") == fours);
    EXPECT_TRUE(shell("tar -xOf " + dir / "a.tar" + " text") == text);
}

Package build_sample(const TempDir &dir) {
    std::string stub = make_stub(dir);
    write_file(dir / "welcome.txt", "Welcome\r\nmore\r\n");
    write_file(dir / "post.sh", "#!/bin/sh\nexit 0\n");
    Result r =
        znpack({"build", "-o", dir / "pkg", "--stub", stub, "--env", "A=1", "--welcome",
                dir / "welcome.txt", "--script", dir / "post.sh", "--program", dir / "post.sh"});
    EXPECT_EQ(r.status, 0) << r.err;
    return parse_package(read_file(dir / "pkg"));
}

TEST(ZnpackVerify, AcceptsAFreshPackageAndRejectsDamage) {
    TempDir dir;
    Package p = build_sample(dir);
    const std::string fresh = read_file(dir / "pkg");
    const size_t size = fresh.size(), at = p.payload_offset;

    Result ok = znpack({"verify", dir / "pkg"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_NE(ok.out.find("package OK"), std::string::npos) << ok.out;

    char crc[16], calc_wrong[64];
    std::snprintf(crc, sizeof crc, "%08x", unsigned(p.stored_crc));
    std::snprintf(calc_wrong, sizeof calc_wrong, "expected CRC %s, calculated ", crc);
    auto flip = [](size_t offset) {
        return [offset](std::string &f) { f[offset] = char(f[offset] ^ 0x20); };
    };
    struct Row {
        const char *name;
        std::function<void(std::string &)> damage;
        std::vector<std::string> messages;  // every one must appear
    } rows[] = {
        {"byte in the image", flip(3), {calc_wrong}},
        {"first image byte", flip(0), {calc_wrong}},
        {"byte of the stored CRC", flip(at + kHeaderCrcOffset + 3), {"checksum failed"}},
        {"byte of the payload length",
         flip(at + kHeaderPayloadLengthOffset + 3),
         {"incorrect size", "checksum failed"}},
        {"unused header byte", flip(at + 100), {calc_wrong}},
        {"record body byte", flip(at + kPackageHeaderSize + 7), {calc_wrong}},
        {"last byte", flip(size - 1), {calc_wrong}},
        {"byte appended",
         [](std::string &f) { f += 'x'; },
         {"should be " + std::to_string(size) + " bytes, actual size " + std::to_string(size + 1),
          calc_wrong}},
        {"last byte cut",
         [](std::string &f) { f.pop_back(); },
         {"actual size " + std::to_string(size - 1), calc_wrong}},
        {"magic damaged", flip(at + 2), {"no package header found"}},
        {"magic's NUL damaged", flip(at + kMagicLength), {"no package header found"}},
        {"file ends inside the header",
         [at](std::string &f) { f.resize(at + 100); },
         {"package header at offset " + std::to_string(at) + " cut short"}},
        {"no package at all", [at](std::string &f) { f.resize(at); }, {"no package header found"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string damaged = fresh;
        row.damage(damaged);
        write_file(dir / "bad", damaged);
        Result r = znpack({"verify", dir / "bad"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        for (const std::string &m : row.messages)
            EXPECT_NE(r.err.find(m), std::string::npos) << "want \"" << m << "\" in: " << r.err;
    }

    Result missing = znpack({"verify", dir / "absent"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("No such file"), std::string::npos);
    EXPECT_EQ(znpack({"verify"}).status, 2);
}

// Splits list output into its lines.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ZnpackList, ShowsTheHeaderAndEveryRecord) {
    TempDir dir;
    std::string stub = make_stub(dir);
    make_tree(dir / "tree", false);
    write_file(dir / "welcome.txt", "Welcome to \x1b[31mProduct\x7f\r\nSecond line\r\n");
    std::string script = "#!/bin/sh\n" + std::string(400, '#') + "\n";
    write_file(dir / "post.sh", script);
    write_file(dir / "helper", "#!/bin/sh\necho helper\n", 0755);
    write_file(dir / "binary",
               std::string("\x7f"
                           "ELF\0\0\1",
                           7),
               0755);
    write_file(dir / "licence", std::string(1234, 'L'));
    std::vector<std::string> args = {
        "build",           "-o",           dir / "pkg", "--stub",        stub,       "--name",
        "Zan \"tho\"\x1b", "--version",    "2.1",       "--default-dir", "~/zantho", "--progress",
        "--license",       dir / "licence"};
    args.insert(args.end(), {"--env", "ZN_BINDIR=bin.x", "--welcome", dir / "welcome.txt",
                             "--archive", dir / "tree", "--script", dir / "post.sh", "--program",
                             dir / "helper", "--program", dir / "binary", "--env", "B=2"});
    Result b = znpack(args);
    ASSERT_EQ(b.status, 0) << b.err;
    Package p = parse_package(read_file(dir / "pkg"));
    ASSERT_EQ(p.records.size(), 9u);

    write_file(dir / "archive.tar", bunzip(dir, p.records[4].body));
    std::string tar_bytes = std::to_string(read_file(dir / "archive.tar").size());
    std::string members = std::to_string(lines_of(shell("tar -tf " + dir / "archive.tar")).size());

    Result r = znpack({"list", dir / "pkg"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1 + 1 + 9 + 1u) << r.out;
    char header[200];
    std::snprintf(header, sizeof header,
                  "header at offset %zu: payload length %u (file holds %u), stored CRC %08x, "
                  "calculated CRC %08x",
                  p.payload_offset, unsigned(p.payload_length), unsigned(p.payload_length),
                  unsigned(p.stored_crc), unsigned(p.calculated_crc));
    EXPECT_EQ(lines[0], header);

    struct Row {
        const char *type;
        std::string detail;
    } rows[] = {
        {"30 product",
         "name \"Zan \\x22tho\\x22\\x1b\", version \"2.1\", default dir \"~/zantho\", "
         "200546 bytes unpacked, " +
             members + " entries, progress line on"},
        {"31 licence", "licence text of 1234 bytes"},
        {"12 environment", "ZN_BINDIR=bin.x"},
        {"1 welcome", "Welcome to \\x1b[31mProduct\\x7f"},
        {"2 archive", members + " members, 200546 bytes in files, tar of " + tar_bytes + " bytes"},
        {"11 script", "script of " + std::to_string(script.size()) + " bytes"},
        {"7 program", "#!/bin/sh"},
        {"7 program", ""},
        {"12 environment", "B=2"},
    };
    for (size_t i = 0; i < 9; i++) {
        char want[300];
        std::snprintf(want, sizeof want, "%10zu %10zu  %-14s  %s", p.records[i].offset,
                      p.records[i].body.size(), rows[i].type, rows[i].detail.c_str());
        EXPECT_EQ(lines[2 + i], want) << "record " << i;
    }
    EXPECT_EQ(lines[11], "9 records");
}

// --compress zstd writes types 20 and 21 holding the very tar and script of the bzip2 build, the
// same bytes with any number of threads, and lists them alike. Levels that would use a larger
// window are held to 8 MiB. Without --compress the build stays bzip2.
TEST(ZnpackList, ZstdRecordsHoldWhatTheirBzip2TwinsHold) {
    TempDir dir;
    std::string stub = make_stub(dir);
    make_tree(dir / "tree", false);
    write_file(dir / "post.sh", "#!/bin/sh\necho done\n");
    auto build = [&](const std::string &out, const std::vector<std::string> &compress) {
        std::vector<std::string> args = {"build",      "-o",       dir / out,
                                         "--stub",     stub,       "--archive",
                                         dir / "tree", "--script", dir / "post.sh"};
        args.insert(args.end(), compress.begin(), compress.end());
        Result r = znpack(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir / out);
    };
    std::string bz = build("bz", {});
    EXPECT_EQ(build("bz-named", {"--compress", "bzip2"}), bz);
    std::string zstd = build("zstd", {"--compress", "zstd", "--threads", "1"});
    EXPECT_EQ(build("zstd-2", {"--compress", "zstd:19", "--threads", "2"}), zstd);
    EXPECT_EQ(build("zstd-again", {"--compress", "zstd"}), zstd);

    Package pb = parse_package(bz), pz = parse_package(zstd);
    ASSERT_EQ(pz.records.size(), 3u);
    EXPECT_EQ(pz.records[0].body, pb.records[0].body);  // the product record
    EXPECT_EQ(pz.records[1].type, unsigned(kRecordZstdArchive));
    EXPECT_EQ(pz.records[2].type, unsigned(kRecordZstdScript));
    EXPECT_EQ(unzstd(dir, pz.records[1].body), bunzip(dir, pb.records[1].body));
    EXPECT_EQ(unzstd(dir, pz.records[2].body), "#!/bin/sh\necho done\n");

    // The same details; only the type column differs.
    std::vector<std::string> lb = lines_of(znpack({"list", dir / "bz"}).out);
    std::vector<std::string> lz = lines_of(znpack({"list", dir / "zstd"}).out);
    ASSERT_EQ(lz.size(), 6u);
    ASSERT_EQ(lb.size(), 6u);
    const size_t type_at = 23, detail_at = 39;  // columns of the record lines
    EXPECT_EQ(lz[3].substr(type_at, 10), "20 archive");
    EXPECT_EQ(lz[4].substr(type_at, 9), "21 script");
    EXPECT_EQ(lz[3].substr(detail_at), lb[3].substr(detail_at));
    EXPECT_EQ(lz[4].substr(detail_at), lb[4].substr(detail_at));

    // A frame of unknown size names its window: exponent in the descriptor byte's top five bits.
    std::string body = parse_package(build("zstd-22", {"--compress", "zstd:22"})).records[1].body;
    ASSERT_GT(body.size(), 6u);
    EXPECT_EQ(body[4] & 0x20, 0) << "a frame of known size";
    EXPECT_EQ(10 + (static_cast<unsigned char>(body[5]) >> 3), 23);
}

// A chain that does not end cleanly: list shows what is there and fails.
TEST(ZnpackList, ReportsInvalidTypesAndCutRecords) {
    TempDir dir;
    Package p = build_sample(dir);
    const std::string fresh = read_file(dir / "pkg");
    std::string invalid = std::string("\0\0\0\3\x0d", 5) + "abc";
    struct Row {
        const char *name;
        std::string tail;
        int status;
        const char *type;    // of the last record line
        std::string detail;  // its end
    } rows[] = {
        {"invalid type", invalid, 0, "13 invalid", "the installer stops at this record"},
        {"header cut short", std::string("\0\0\0", 3), 1, "-", "record header cut short (3 bytes)"},
        {"body past the end", std::string("\0\0\0\x10\x07", 5) + "abc", 1, "7 program",
         "body runs 13 bytes past the end of the file"},
        {"bad bzip2 script", std::string("\0\0\0\4\x0b", 5) + "BZh9", 0, "11 script",
         "bad script: bzip2 stream cut short after 0 bytes"},
        {"environment too long", std::string("\0\0\4\0\x0c", 5) + "A=" + std::string(1022, 'v'), 0,
         "12 environment", "vvv... (too long: the installer takes at most 1023 bytes)"},
        {"not bzip2 archive", std::string("\0\0\0\4\x02", 5) + "abcd", 0, "2 archive",
         "bad archive after 0 members: not a bzip2 stream"},
        {"cut zstd script", std::string("\0\0\0\4\x15", 5) + "\x28\xB5\x2F\xFD", 0, "21 script",
         "bad script: zstd data cut short after 0 bytes"},
        {"not zstd archive", std::string("\0\0\0\4\x14", 5) + "abcd", 0, "20 archive",
         "bad archive after 0 members: not a zstd frame"},
        {"damaged product", std::string("\0\0\0\x0b\x1e\0\0\0\4\0\0\0\4abc", 16), 0, "30 product",
         "damaged: a field value runs past the end of the body"},
        // A frame that states 65791 bytes of content (more than one read asks for) and ends
        // with an empty last block.
        {"zstd script short of its size",
         std::string("\0\0\0\x0a\x15\x28\xB5\x2F\xFD", 9) +
             std::string("\x60\xFF\xFF\x01\x00\x00", 6),
         0, "21 script", "bad script: corrupt zstd data: Data corruption detected"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        write_file(dir / "bad", fresh + row.tail);
        Result r = znpack({"list", dir / "bad"});
        EXPECT_EQ(r.status, row.status) << r.err;
        std::vector<std::string> lines = lines_of(r.out);
        ASSERT_GE(lines.size(), 3u) << r.out;
        std::istringstream last(lines[lines.size() - 2]);
        std::string offset, length, type_number, type_name;
        last >> offset >> length;
        EXPECT_EQ(offset, std::to_string(fresh.size())) << last.str();
        if (std::string(row.type) != "-") {
            last >> type_number >> type_name;
            EXPECT_EQ(type_number + " " + type_name, row.type) << last.str();
        }
        const std::string &line = last.str();
        ASSERT_GE(line.size(), row.detail.size());
        EXPECT_EQ(line.substr(line.size() - row.detail.size()), row.detail) << line;
    }
    write_file(dir / "none", "no package in here\n");
    Result none = znpack({"list", dir / "none"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no package header found"), std::string::npos);
}

// A hostile package: entries that try to leave DIR, a link planted where the script file goes,
// and helpers that leave a mark when run. Nothing lands outside DIR and nothing runs; the helpers
// are kept as plain files, after the archive, under names still free.
TEST(ZnpackExtract, HostilePackageStaysInsideTheDirectoryAndRunsNothing) {
    TempDir dir;
    std::string outside = dir / "outside";
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/sentinel", "keep");
    std::string script = "#!/bin/sh\ntouch " + outside + "/script-ran\n";
    std::string program = "#!/bin/sh\ntouch " + outside + "/program-ran\n";
    std::string tar = zn_test::TarBuilder()
                          .file(outside + "/abs", "x")
                          .file("../outside/dotdot", "x")
                          .symlink("esc", outside)
                          .file("esc/through-link", "x")
                          .hardlink("hard", outside + "/sentinel")
                          .symlink("postinstall.sh", outside + "/sentinel")
                          .file("ok/file", "fine", 0755)
                          .file("licence.txt", "the archive's")
                          .finish();
    zn_test::write_package(dir / "pkg", {{kRecordProduct, product_body("Zantho")},
                                         {kRecordLicence, "Licence text"},
                                         zn_test::env_record("A=1"),
                                         zn_test::script_record(script),
                                         zn_test::archive_record(tar),
                                         zn_test::program_record(program),
                                         zn_test::program_record("second")});
    auto before = zn_test::snapshot_tree(outside);
    Result r = znpack({"extract", dir / "pkg", dir / "out/new"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;  // the refused entries
    EXPECT_EQ(zn_test::diff_trees(before, zn_test::snapshot_tree(outside)), "");
    EXPECT_NE(r.out.find("product: name \"Zantho\"\nenv A=1\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir / "out/new/ok/file"), "fine");
    std::pair<std::string, std::string> kept[] = {{"licence.txt", "the archive's"},
                                                  {"licence-2.txt", "Licence text"},
                                                  {"postinstall-2.sh", script},
                                                  {"program", program},
                                                  {"program-2", "second"}};
    for (const auto &k : kept) {
        EXPECT_EQ(read_file(dir / "out/new/" + k.first), k.second) << k.first;
        struct stat st;
        ASSERT_EQ(stat((dir / "out/new/" + k.first).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << k.first;
    }

    // An invalid record type ends the extraction there, as it ends the installer's run, and fails.
    zn_test::write_package(dir / "invalid",
                           {zn_test::env_record("A=1"), {13, "abc"}, zn_test::env_record("B=2")});
    Result invalid = znpack({"extract", dir / "invalid", dir / "out3"});
    EXPECT_EQ(invalid.status, 1) << invalid.err;
    EXPECT_EQ(invalid.out, "env A=1\nset-user-ID or set-group-ID bits taken off: 0\n");

    // For looking, not installing: a directory is required, and one that holds anything is
    // refused with what it holds untouched; nothing written is set-ID or writable by others.
    zn_test::write_package(dir / "setid",
                           {zn_test::archive_record(zn_test::TarBuilder()
                                                        .dir("sgid/", 02775)
                                                        .file("sgid/suid", "s", 04755)
                                                        .file("open", "o", 0666)
                                                        .finish())});
    mkdir((dir / "home").c_str(), 0755);
    write_file(dir / "home/.bashrc", "mine");
    struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } rows[] = {
        {{"extract", dir / "setid"}, 2, ""},
        {{"extract", dir / "setid", dir / "home"}, 1, ""},
        {{"extract", dir / "setid", dir / "looked"},
         0,
         "Extracting sgid/ .. 0 bytes\nExtracting sgid/suid .. 1 bytes\nExtracting open .. 1 "
         "bytes\n"
         "Extracting  .. 0 bytes\nset-user-ID or set-group-ID bits taken off: 2\n"},
    };
    for (const auto &row : rows) {
        Result looked = znpack(row.args);
        EXPECT_EQ(looked.status, row.status) << looked.err;
        EXPECT_EQ(looked.out, row.out);
    }
    EXPECT_EQ(read_file(dir / "home/.bashrc"), "mine");
    EXPECT_EQ(zn_test::snapshot_tree(dir / "home").size(), 1u);
    for (const auto &[name, mode] :
         {std::pair<std::string, int>{"sgid", 0755}, {"sgid/suid", 0755}, {"open", 0664}}) {
        struct stat st;
        ASSERT_EQ(lstat((dir / "looked/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(int(st.st_mode & 07777), mode) << name;
    }

    // A damaged package is not unpacked at all.
    std::string bytes = read_file(dir / "pkg");
    bytes[bytes.size() - 1] ^= 1;
    write_file(dir / "bad", bytes);
    EXPECT_EQ(znpack({"extract", dir / "bad", dir / "out2"}).status, 1);
    EXPECT_NE(access((dir / "out2").c_str(), F_OK), 0);
}

// A product record that does not decode fails verify, and extract unpacks nothing, though the
// package's length and CRC hold.
TEST(ZnpackVerify, RefusesADamagedProductRecord) {
    TempDir dir;
    const std::string good = product_body("Zantho");
    const zn_test::Record archive = zn_test::archive_record(zn_test::TarBuilder().finish());
    struct Row {
        const char *name;
        std::vector<zn_test::Record> records;
        std::string message;
    } rows[] = {
        {"flags of 2 bytes",
         {{kRecordProduct, good + std::string("\0\0\0\6\0\0\0\2\0\1", 10)}, archive},
         "is damaged: the flags field is not 4 bytes long"},
        {"cut by the end of the file",
         {archive, {kRecordProduct, good, int64_t(good.size()) + 1}},
         "is damaged: the file ends inside it"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        zn_test::write_package(dir / "pkg", row.records, make_stub(dir));
        Result v = znpack({"verify", dir / "pkg"});
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.out, "");
        EXPECT_NE(v.err.find(": product record at offset "), std::string::npos) << v.err;
        EXPECT_NE(v.err.find(row.message), std::string::npos) << v.err;
        Result x = znpack({"extract", dir / "pkg", dir / "out"});
        EXPECT_EQ(x.status, 1);
        EXPECT_NE(x.err.find(row.message), std::string::npos) << x.err;
        EXPECT_NE(access((dir / "out").c_str(), F_OK), 0);
    }
}

// A compressed body is refused as soon as the package passes what the format holds, not once it
// is complete: the walk never reaches the fifo at the end of the tree (the compressor holds a few
// MiB of input at most, the noise before the fifo is far more). The test build takes a lower
// limit; stored records still to come count against it from the start.
TEST(ZnpackBuild, StopsCompressingOnceThePackageIsTooLarge) {
    TempDir dir;
    std::string stub = make_stub(dir);
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
    std::string noise(16 << 20, '\0');
    uint32_t x = 7;
    for (char &c : noise) c = char((x = x * 1103515245u + 12345u) >> 24);
    write_file(dir / "tree/a-noise", noise);
    ASSERT_EQ(mkfifo((dir / "tree/z-fifo").c_str(), 0644), 0);
    write_file(dir / "program", std::string(600000, 'p'));
    struct Row {
        std::vector<std::string> more;
        std::string message;
    } rows[] = {
        {{}, ": record body over 1000000 bytes, more than the package format holds"},
        {{"--program", dir / "program"},
         ": the package would pass 1000000 bytes, more than the package format holds"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        std::vector<std::string> args = {"build",  "-o",        dir / "pkg",  "--stub",
                                         stub,     "--archive", dir / "tree", "--compress",
                                         "zstd:1", "--threads", "1"};
        args.insert(args.end(), row.more.begin(), row.more.end());
        Result r = run_program(ZN_PACK_HOOKED_PATH, args, {"ZN_PACK_SIZE_LIMIT=1000000"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "znpack: " + dir / "tree" + row.message + "\n");
        EXPECT_NE(access((dir / "pkg").c_str(), F_OK), 0);
    }
}

// Every command explains itself on standard output in lines of at most 80 columns, and
// --version names the release the installer names.
TEST(ZnpackUsage, HelpForEveryCommandAndTheVersion) {
    TempDir dir;
    const std::string build_usage = "usage: znpack build -o OUT [OPTION]... RECORD...";
    struct Row {
        std::vector<std::string> args;
        std::string first_line;
        std::string holds;  // a line only this text has
    } rows[] = {
        {{"--help"}, build_usage, "       znpack --version"},
        {{"build", "--help"}, build_usage, "  --default-dir DIR       the install directory"},
        {{"build", "-o", dir / "pkg", "--env", "A=1", "--help"}, build_usage, "  --progress  "},
        {{"list", "--help"}, "usage: znpack list PKG", "list prints the package header"},
        {{"verify", "--help"}, "usage: znpack verify PKG", "verify checks PKG"},
        {{"extract", "--help"}, "usage: znpack extract PKG DIR", "licence.txt"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        Result r = znpack(row.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> lines = lines_of(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], row.first_line);
        EXPECT_NE(r.out.find(row.holds), std::string::npos) << r.out;
        for (const std::string &line : lines) EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_NE(access((dir / "pkg").c_str(), F_OK), 0);

    Result v = znpack({"--version"});
    EXPECT_EQ(v.status, 0);
    Result installer = run_program(ZN_INSTALLER_PATH, {"-version"});
    std::string release = installer.out.substr(0, installer.out.find(' ', 11));
    ASSERT_EQ(release.rfind("ZNINSTALL v", 0), 0u) << installer.out;
    EXPECT_EQ(v.out, "znpack " + release.substr(11) + "\n");
    EXPECT_EQ(znpack({"build", "--version"}).status, 2);  // the product's version, missing
}

}  // namespace
}  // namespace zn
