// The tar reader on any archive, fed whole into one directory and in pieces into another, and
// listed, which must create nothing.
// Input: one byte (bits 0-2: the number of piece sizes less one; bit 3: give every non-zero
// 512-byte block a correct header checksum, so that mutated headers get past the check), the
// piece sizes (two bytes each, 1 to 1536 bytes, used in turn), then the archive.
//
// The scratch layout, made once:
//   base/jail/whole, base/jail/pieces   fresh per input, each with two planted links that lead
//                                       out: "escape" (relative) and "escape_abs" (absolute) to
//                                       base/sentinel, and "secret_link" to base/secret
//   base/sentinel                       an empty directory that must stay empty
//   base/secret                         a file that must stay as it is, with one link
// The process runs in base/jail while the reader works, so that anything it would create
// relative to the current directory shows up there.
//
// Checks: both runs print the same text, report the same result and leave the same tree (names,
// kinds, modes, link counts, contents, link targets); an archive that failed is rolled back and
// leaves its root as it was made; one that did not is committed; nothing appears in base or
// base/jail besides the layout, the sentinel stays empty and the secret untouched.
//
// With ZN_FUZZ_VERBOSE set in the environment, the text of the whole run and the tree it left are
// shown, which helps when reproducing a finding.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "package/tar_reader.h"

namespace {

constexpr int kMaxPieces = 8;
constexpr int kMaxPiece = 1536;  // bytes; covers 1, 511, 512, 513 and more
constexpr int kChecksumOffset = 148, kChecksumWidth = 8;
constexpr char kSecret[] = "secret\n";

std::string base, jail, sentinel, secret;
int start_dir = -1;

void setup_layout() {
    base = zn_fuzz::scratch_base();
    jail = base + "/jail";
    sentinel = base + "/sentinel";
    secret = base + "/secret";
    if (mkdir(jail.c_str(), 0755) < 0 || mkdir(sentinel.c_str(), 0755) < 0)
        zn_fuzz::fuzz_fail("cannot make the scratch layout under %s", base.c_str());
    int fd = open(secret.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || write(fd, kSecret, sizeof kSecret - 1) != ssize_t(sizeof kSecret - 1))
        zn_fuzz::fuzz_fail("cannot write %s", secret.c_str());
    close(fd);
    start_dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (start_dir < 0) zn_fuzz::fuzz_fail("cannot open the current directory");
}

// Makes a fresh root with the planted links and returns a descriptor of it.
int make_root(const std::string &root) {
    if (mkdir(root.c_str(), 0755) < 0) zn_fuzz::fuzz_fail("mkdir %s", root.c_str());
    if (symlink("../../sentinel", (root + "/escape").c_str()) < 0 ||
        symlink(sentinel.c_str(), (root + "/escape_abs").c_str()) < 0 ||
        symlink("../../secret", (root + "/secret_link").c_str()) < 0)
        zn_fuzz::fuzz_fail("cannot plant the links in %s", root.c_str());
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) zn_fuzz::fuzz_fail("open %s", root.c_str());
    return fd;
}

struct outcome {
    int failed;
    std::string out, err;
};

outcome extract(const std::string &root, const std::string &tar, const std::vector<int> &pieces) {
    int fd = make_root(root);
    outcome o;
    zn::tar_reader r;
    zn_fuzz::output_capture_begin();
    zn::tar_reader_init(&r, fd);
    size_t at = 0;
    for (size_t i = 0; at < tar.size(); i++) {
        size_t n = pieces.empty() ? tar.size() : size_t(pieces[i % pieces.size()]);
        if (n > tar.size() - at) n = tar.size() - at;
        zn::tar_reader_feed(&r, tar.data() + at, n);
        at += n;
    }
    o.failed = zn::tar_reader_finish(&r, true);
    if (o.failed) {
        // Rolled back, the root is as it was made: only the planted links.
        zn::tar_reader_rollback(&r);
        std::string left = zn_fuzz::list_directory(root);
        if (left != "escape\nescape_abs\nsecret_link\n")
            zn_fuzz::fuzz_fail("a rolled-back archive left this behind:\n%s", left.c_str());
    } else {
        o.failed = zn::tar_reader_commit(&r, 0);
    }
    zn_fuzz::output_capture_end(&o.out, &o.err);
    close(fd);
    return o;
}

// Lists the archive; nothing may be created, which check_outside sees.
void list(const std::string &tar) {
    zn::tar_reader r;
    std::string out, err;
    zn_fuzz::output_capture_begin();
    zn::tar_reader_init_list(&r);
    zn::tar_reader_feed(&r, tar.data(), tar.size());
    zn::tar_reader_finish(&r, true);
    zn_fuzz::output_capture_end(&out, &err);
}

// Writes a correct checksum into every 512-byte block that is not all zeros.
void fix_checksums(std::string &tar) {
    for (size_t at = 0; at + zn::kTarBlock <= tar.size(); at += zn::kTarBlock) {
        unsigned char *h = reinterpret_cast<unsigned char *>(&tar[at]);
        bool zero = true;
        for (int i = 0; i < zn::kTarBlock && zero; i++) zero = h[i] == 0;
        if (zero) continue;
        std::memset(h + kChecksumOffset, ' ', kChecksumWidth);
        unsigned sum = 0;
        for (int i = 0; i < zn::kTarBlock; i++) sum += h[i];
        char field[kChecksumWidth + 1];
        std::snprintf(field, sizeof field, "%06o", sum & 0777777);
        std::memcpy(h + kChecksumOffset, field, 7);  // six digits, a NUL, the blank stays
    }
}

void check_outside() {
    if (zn_fuzz::list_directory(base) != "jail\nsecret\nsentinel\n")
        zn_fuzz::fuzz_fail("something appeared next to the scratch roots:\n%s",
                           zn_fuzz::list_directory(base).c_str());
    if (zn_fuzz::list_directory(jail) != "pieces\nwhole\n")
        zn_fuzz::fuzz_fail("something appeared beside the roots:\n%s",
                           zn_fuzz::list_directory(jail).c_str());
    if (!zn_fuzz::list_directory(sentinel).empty())
        zn_fuzz::fuzz_fail("something appeared in the sentinel directory:\n%s",
                           zn_fuzz::list_directory(sentinel).c_str());
    struct stat st;
    if (lstat(secret.c_str(), &st) < 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_size != ssize_t(sizeof kSecret - 1) || (st.st_mode & 07777) != 0600)
        zn_fuzz::fuzz_fail("the file outside the roots was changed or linked to");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (base.empty()) setup_layout();
    zn_fuzz::input_reader in{data, size};
    int head = in.u8();
    std::vector<int> pieces;
    for (int i = 0; i < head % kMaxPieces + 1; i++) pieces.push_back(1 + in.u16() % kMaxPiece);
    std::string tar = in.bytes(in.n);
    if (head & 8) fix_checksums(tar);

    if (chdir(jail.c_str()) < 0) zn_fuzz::fuzz_fail("chdir %s", jail.c_str());
    outcome whole = extract(jail + "/whole", tar, {});
    outcome split = extract(jail + "/pieces", tar, pieces);
    list(tar);
    if (fchdir(start_dir) < 0) zn_fuzz::fuzz_fail("cannot return to the start directory");

    if (std::getenv("ZN_FUZZ_VERBOSE") != nullptr) {
        std::string tree;
        for (const auto &e : zn_fuzz::snapshot_tree(jail + "/whole"))
            tree += "  " + e.first + " " + e.second.kind + "\n";
        std::fprintf(stderr, "%s%s(failed %d)\n%s", whole.out.c_str(), whole.err.c_str(),
                     whole.failed, tree.c_str());
    }
    check_outside();
    if (whole.out != split.out)
        zn_fuzz::fuzz_fail("the text differs when fed in pieces:\n--- whole\n%s--- pieces\n%s",
                           whole.out.c_str(), split.out.c_str());
    if (whole.err != split.err)
        zn_fuzz::fuzz_fail("the errors differ when fed in pieces:\n--- whole\n%s--- pieces\n%s",
                           whole.err.c_str(), split.err.c_str());
    if (whole.failed != split.failed)
        zn_fuzz::fuzz_fail("the result differs when fed in pieces: %d, %d", whole.failed,
                           split.failed);
    std::string diff = zn_fuzz::diff_trees(zn_fuzz::snapshot_tree(jail + "/whole"),
                                           zn_fuzz::snapshot_tree(jail + "/pieces"));
    if (!diff.empty()) zn_fuzz::fuzz_fail("the trees differ when fed in pieces: %s", diff.c_str());

    if (zn_fuzz::remove_tree(jail + "/whole") < 0 || zn_fuzz::remove_tree(jail + "/pieces") < 0)
        zn_fuzz::fuzz_fail("cannot remove the scratch roots");
    return 0;
}
