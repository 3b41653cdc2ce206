#include "package/extract_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace zn {
namespace {

using zn_test::TempDir;

void collect(void *ctx, const char *what, const char *path, int) {
    char text[256];
    std::snprintf(text, sizeof text, what, path);
    static_cast<std::vector<std::string> *>(ctx)->push_back(text);
}

// A directory replaced after it was made, by a link to elsewhere or by another directory, is
// never the one whose mode is set, and neither is what the link leads to: each is reported and
// counted, and the others still get their modes.
TEST(ExtractJournal, ReplacedDirectoriesAreNotTouched) {
    for (bool by_link : {true, false}) {
        TempDir dir;
        std::string root = dir / "root", outside = dir / "outside";
        for (const char *name : {"", "/a", "/a/b", "/keep"}) {
            ASSERT_EQ(mkdir((root + name).c_str(), 0700), 0);
            ASSERT_EQ(mkdir((outside + name).c_str(), 0700), 0);
        }
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        extract_journal j;
        ASSERT_EQ(journal_init(&j, fd), 0);
        struct stat a, b, keep;
        ASSERT_EQ(lstat((root + "/a").c_str(), &a) | lstat((root + "/a/b").c_str(), &b) |
                      lstat((root + "/keep").c_str(), &keep),
                  0);
        uint32_t ids[3];
        const struct {
            uint32_t parent;
            const char *name;
            struct stat *st;
            int mode;
        } made[] = {
            {kJournalRoot, "a", &a, 0555}, {1, "b", &b, 0511}, {kJournalRoot, "keep", &keep, 0751}};
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(journal_reserve(&j, 4), 0);
            ids[i] = journal_dir_add(&j, made[i].parent, made[i].name, std::strlen(made[i].name),
                                     made[i].st, 1);
            journal_want_mode(&j, ids[i], made[i].mode);
        }
        ASSERT_EQ(ids[1], 2u);

        ASSERT_EQ(rename((root + "/a").c_str(), (dir / "a-moved").c_str()), 0);
        int replaced = by_link ? symlink(outside.c_str(), (root + "/a").c_str())
                               : rename((outside + "/a").c_str(), (root + "/a").c_str());
        ASSERT_EQ(replaced, 0);
        std::vector<std::string> reported;
        int rolled_back = -1;
        EXPECT_EQ(journal_commit(&j, 0, collect, &reported, &rolled_back), 2u) << by_link;
        close(fd);
        EXPECT_EQ(rolled_back, 0);
        EXPECT_EQ(reported, (std::vector<std::string>{"Failed to chmod(a/b, 511)",
                                                      "Failed to chmod(a, 555)"}))
            << by_link;
        for (const auto &kv : zn_test::snapshot_tree(dir.path())) {
            int want = kv.second.kind != 'd'     ? kv.second.mode
                       : kv.first == "root/keep" ? 0751
                                                 : 0700;
            EXPECT_EQ(kv.second.mode, want) << kv.first;
        }
    }
}

}  // namespace
}  // namespace zn
