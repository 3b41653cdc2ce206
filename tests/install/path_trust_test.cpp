#include "install/path_trust.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "lib/chk.h"
#include "support/scratch.h"

namespace zn {
namespace {

// Links are followed as the kernel follows them, and the offending path is named as reached
// through them; the walk stops at what does not exist and after too many links.
TEST(PathTrust, FollowsLinksToWhatTheyReach) {
    zn_test::TempDir dir;
    std::string other = dir / "other", open_dir = dir / "open", a = dir / "a";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(symlink(other.c_str(), (a + "/to-other").c_str()), 0);
    ASSERT_EQ(symlink("../open", (a + "/up").c_str()), 0);
    ASSERT_EQ(symlink("loop", (a + "/loop").c_str()), 0);
    // ".." after a link leaves the link's target, not the link.
    ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "b/c").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "b/bad").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "b/bad").c_str(), 0777), 0);
    ASSERT_EQ(symlink((dir / "b/c").c_str(), (a + "/in").c_str()), 0);
    bool root = geteuid() == 0;
    if (root) {
        struct passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(chown(other.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    struct {
        std::string path;
        std::string culprit;  // "" when accepted
        bool needs_root;
    } rows[] = {
        {a + "/to-other/app", other, true},
        {a + "/up/app", open_dir, false},
        {a + "/./in/../bad//app", dir / "b/bad", false},
        {a + "/missing/up/app", "", false},
        {a + "/loop/app", "", false},
        {"/tmp", "", false},
    };
    for (const auto &row : rows) {
        if (row.needs_root && !root) continue;
        char *culprit = nullptr;
        int rc = path_trust_check(row.path.c_str(), geteuid(), &culprit);
        EXPECT_EQ(rc, row.culprit.empty() ? 0 : -1) << row.path;
        EXPECT_EQ(culprit ? std::string(culprit) : "", row.culprit) << row.path;
        chk_free(culprit);
    }
}

}  // namespace
}  // namespace zn
