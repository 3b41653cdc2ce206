// What a vendor installs: the build installed into a fresh prefix with `cmake --install`, whose
// znpack, started from elsewhere, packs a product that installs unattended; and the manual
// pages, which must render without a warning and describe every option the usage texts list.
#include <sys/stat.h>

#include <sstream>

#include "e2e/installer_fixture.h"

namespace zn_test {
namespace {

class DistributionTest : public InstallerTest {};

TEST_F(DistributionTest, InstalledToolsPackAProductThatInstalls) {
    std::string prefix = dir_ / "prefix";
    RunResult installed =
        run_process({ZN_CMAKE_COMMAND, "--install", ZN_BINARY_DIR, "--prefix", prefix});
    ASSERT_EQ(installed.exit_code, 0) << describe(installed);
    EXPECT_TRUE(exists(prefix + "/share/man/man1/zninstall.1"));
    EXPECT_TRUE(exists(prefix + "/share/man/man1/znpack.1"));

    mkdir((dir_ / "product").c_str(), 0755);
    write_file(dir_ / "product/tool", "#!/bin/sh\n", 0755);
    RunOptions elsewhere;
    elsewhere.cwd = work_;
    std::string setup = dir_ / "product-setup";
    RunResult packed = run_process(
        {prefix + "/bin/znpack", "build", "-o", setup, "--archive", dir_ / "product"}, elsewhere);
    ASSERT_EQ(packed.exit_code, 0) << describe(packed);
    RunResult r = run({"-target", dir_ / "opt/product"}, {}, setup);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(read_file(dir_ / "opt/product/tool"), "#!/bin/sh\n");
}

TEST(ManualPages, RenderCleanlyAndDescribeEveryOption) {
    struct {
        const char *page;
        std::vector<std::string> help;
    } pages[] = {
        {"zninstall.1", {installer_binary(), "-help"}},
        {"znpack.1", {znpack_binary(), "--help"}},
    };
    for (const auto &p : pages) {
        std::string path = std::string(ZN_SOURCE_DIR) + "/man/" + p.page;
        RunResult g = run_process({"/bin/sh", "-c", "groff -ww -man -Tutf8 -z \"$0\"", path});
        EXPECT_EQ(g.exit_code, 0) << p.page << describe(g);
        EXPECT_EQ(g.err, "") << p.page;

        // Every option at the start of a usage line, as roff writes it ("-x" as "\-x").
        std::string source = read_file(path);
        std::istringstream usage(run_process(p.help).out);
        int options = 0;
        for (std::string line; std::getline(usage, line);) {
            std::istringstream words(line);
            for (std::string w; line.rfind("  -", 0) == 0 && words >> w && w[0] == '-';) {
                if (w.back() == ',') w.pop_back();
                std::string roff;
                for (char c : w) roff += c == '-' ? std::string("\\-") : std::string(1, c);
                EXPECT_NE(source.find(roff), std::string::npos) << p.page << ": " << w;
                options++;
            }
        }
        EXPECT_GE(options, 5) << p.page;
    }
}

}  // namespace
}  // namespace zn_test
