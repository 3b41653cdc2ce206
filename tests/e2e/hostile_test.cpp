// A sweep of malformed and hostile packages through the real installer. Whatever the bytes, the
// installer must end by itself, in time, without a crash signal, with a message that says what
// happened, and without touching anything outside the install directory and its temporary file.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "e2e/installer_fixture.h"
#include "lib/byteorder.h"
#include "package/package_format.h"

namespace zn_test {
namespace {

struct HostileCase {
    std::string name;
    std::function<std::string()> bytes;  // the package file
    std::string expect;                  // a text the output (either stream) must hold
    std::function<void(const std::string &work)> prepare = nullptr;
};

class HostileTest : public InstallerTest {
   protected:
    HostileTest() {
        outside_ = dir_ / "outside";
        mkdir(outside_.c_str(), 0755);
        write_file(outside_ + "/sentinel", "do not touch", 0644);
        mkdir((outside_ + "/dir").c_str(), 0755);
        image_size_ = read_file(installer_binary()).size();
    }

    // The package's bytes with the record bodies laid out by package_bytes, and helpers to find
    // a record's offset in them.
    uint64_t record_offset(const std::string &bytes, int index) {
        uint64_t at = image_size_ + zn::kPackageHeaderSize;
        for (int i = 0; i < index; i++) at += 5 + zn::LGET32(&bytes[at]);
        return at;
    }

    void run_case(const HostileCase &c) {
        SCOPED_TRACE(c.name);
        remove_tree(work_);
        mkdir(work_.c_str(), 0755);
        remove_tree(tmp_);
        mkdir(tmp_.c_str(), 0755);
        if (c.prepare) c.prepare(work_);
        write_file(pkg_, c.bytes(), 0755);
        // Everything but the install directory and the temporary file must stay as it is.
        auto before = snapshot_tree(dir_.path());

        RunOptions o;
        o.input = std::string(8, '\n');  // continue past every prompt
        o.timeout_seconds = 30;
        o.measure_rss = true;
        RunResult r = run({}, o);
        EXPECT_FALSE(r.timed_out) << describe(r);
        EXPECT_EQ(r.signal, 0) << describe(r);
        // The status matches the final line: 2 after the failure line, 0 after success, and 1
        // when a fatal error ended the run without one.
        auto ends_with = [&](const std::string &line) {
            return r.out.size() >= line.size() &&
                   r.out.compare(r.out.size() - line.size(), line.size(), line) == 0;
        };
        int status = ends_with("ERROR: Installation failed.\n")            ? 2
                     : ends_with("Installation successfully completed.\n") ? 0
                                                                           : 1;
        EXPECT_EQ(r.exit_code, status) << describe(r);
        std::string all = r.out + r.err;
        EXPECT_NE(all.find(c.expect), std::string::npos) << "wanted: " << c.expect << "\n"
                                                         << describe(r);
        // A bounded installer: no package below makes it grow past a few megabytes (more under
        // the address sanitizer, whose shadow memory counts too).
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_LT(r.max_rss_kb, 128 * 1024) << describe(r);
#else
        EXPECT_LT(r.max_rss_kb, 16 * 1024) << describe(r);
#endif
        EXPECT_GT(r.max_rss_kb, 0);

        auto after = snapshot_tree(dir_.path());
        for (auto *tree : {&before, &after}) {
            for (auto it = tree->begin(); it != tree->end();) {
                bool ours = it->first == "work" || it->first.rfind("work/", 0) == 0 ||
                            it->first == "tmp/zninstall-temp.exe" || it->first == "setup";
                it = ours ? tree->erase(it) : std::next(it);
            }
        }
        EXPECT_EQ(diff_trees(before, after), "");
        EXPECT_EQ(read_file(outside_ + "/sentinel"), "do not touch");
    }

    std::string outside_;
    uint64_t image_size_;
};

std::string cut(std::string bytes, uint64_t at) {
    return bytes.substr(0, at);
}
std::string flip(std::string bytes, uint64_t at, unsigned char mask = 0x5A) {
    bytes[at] = char(bytes[at] ^ mask);
    return bytes;
}
std::string set_length(std::string bytes, uint64_t record_at, uint32_t length) {
    zn::LPUT32(&bytes[record_at], length);
    return bytes;
}

TEST_F(HostileTest, MalformedPackagesEndCleanly) {
    const std::string tar =
        TarBuilder().dir("d/").file("d/f", std::string(3000, 'f')).file("g", "g").finish();
    const std::vector<Record> full = {env_record("ZN_HOSTILE=1"), archive_record(tar),
                                      script_record("#!/bin/sh\necho script ran\n"),
                                      program_record("#!/bin/sh\necho program ran\n")};
    const std::string good = package_bytes(full);
    const uint64_t header = image_size_;
    const uint64_t env_at = record_offset(good, 0), archive_at = record_offset(good, 1);
    const uint64_t script_at = record_offset(good, 2), program_at = record_offset(good, 3);
    const std::string outside = outside_;

    auto with = [](std::vector<Record> records) {
        return [records] { return package_bytes(records); };
    };
    auto tar_with = [](TarBuilder::Header h, const std::string &data) {
        return TarBuilder().entry(h, data).file("after", "a").finish();
    };
    TarBuilder::Header bad_sum, bad_size, negative, long_name;
    bad_sum.name = "x";
    bad_sum.bad_checksum = true;
    bad_size.name = "x";
    bad_size.size_field = "9z9";
    negative.name = "x";
    negative.size_field = std::string(12, '\xff');
    long_name.name = std::string(100, 'L');
    long_name.name_without_nul = true;
    long_name.size = 1;

    std::vector<HostileCase> cases = {
        // Cut at many offsets.
        {"cut inside the header", [&] { return cut(good, header + 60); },
         "Error reading package header"},
        {"cut inside the magic", [&] { return cut(good, header + 7); },
         "Cannot locate package payload."},
        {"cut inside a record header", [&] { return cut(good, env_at + 3); },
         "Error extracting package -- premature EOF detected."},
        {"cut inside the environment body", [&] { return cut(good, env_at + 8); },
         "Premature EOF reading env var"},
        {"cut inside the archive body", [&] { return cut(good, archive_at + 40); },
         "Premature end of compressed data"},
        {"cut inside the script body", [&] { return cut(good, script_at + 30); },
         "Premature end of compressed data"},
        {"cut inside the program body", [&] { return cut(good, program_at + 9); },
         "Failed to read"},
        {"cut inside the welcome body",
         [&] {
             return cut(package_bytes({welcome_record(std::string(3000, 'w'))}),
                        header + 180 + 2000);
         },
         "Premature EOF detected"},
        // Flipped bytes, continued past the prompts.
        {"flipped payload length", [&] { return flip(good, header + 25); },
         "incorrect size detected"},
        {"flipped stored CRC", [&] { return flip(good, header + 30); }, "failed checksum"},
        {"flipped record type", [&] { return flip(good, env_at + 4, 0x10); },
         "Unexpected error in package file"},
        {"flipped archive body", [&] { return flip(good, archive_at + 5 + 100); }, kFailure},
        {"flipped script body", [&] { return flip(good, script_at + 5 + 40); }, kFailure},
        // Body lengths that lie.
        {"archive of length 0", [&] { return set_length(good, archive_at, 0); },
         "Unexpected error in package file"},
        {"script of length 0", with({Record{zn::kRecordScript, "", 0}, env_record("AFTER=1")}),
         "Premature end of compressed data"},
        {"program of length 0", with({Record{zn::kRecordProgram, ""}}), kSuccess},
        {"environment of length 0xFFFFFFFF", [&] { return set_length(good, env_at, 0xFFFFFFFFu); },
         "Environment variable too long in setup file"},
        {"archive running past the end",
         with({Record{zn::kRecordArchive, bzip2_compress(tar).substr(0, 60), 100000}}),
         "Premature end of compressed data"},
        {"archive of length 0xFFFFFFFF",
         with({Record{zn::kRecordArchive, bzip2_compress(tar), 0xFFFFFFFFu}}), kSuccess},
        {"lengths whose sum wraps 32 bits",
         with({Record{zn::kRecordProgram, "#!/bin/sh\n", 0xFFFFFF00u},
               Record{zn::kRecordEnvironment, "WRAP=1"}}),
         "Failed to read"},
        {"product record whose field runs past its end",
         with({env_record("BEFORE=1"),
               Record{zn::kRecordProduct, std::string("\0\0\0\1\0\0\0\x40name", 12)}}),
         "Damaged product record in package file: "},
        // Invalid types.
        {"type 0", with({Record{0, "x"}}), "Unexpected error in package file"},
        {"type 3", with({env_record("A=1"), Record{3, ""}}), "Unexpected error in package file"},
        {"type 255", with({Record{255, std::string(10, 'x')}}), "Unexpected error in package file"},
        // Compressed bodies that are not what they claim.
        {"garbage archive", with({Record{zn::kRecordArchive, std::string(5000, '\x42')}}),
         "bzDecompress: failed"},
        {"garbage script", with({Record{zn::kRecordScript, "BZh9garbage"}}), kFailure},
        {"bzip2 bomb", with({archive_record(std::string(64u << 20, '\0'))}), kSuccess},
        {"zstd bomb", with({archive_record(std::string(64u << 20, '\0'), zn::kRecordZstdArchive)}),
         kSuccess},
        {"garbage zstd script", with({Record{zn::kRecordZstdScript, std::string(5000, '\x42')}}),
         "zstd: Unknown frame descriptor"},
        // Tar headers that cannot be trusted.
        {"bad header checksum", with({archive_record(tar_with(bad_sum, ""))}),
         "Corrupt archive header"},
        {"unparsable size", with({archive_record(tar_with(bad_size, ""))}),
         "Corrupt archive header"},
        {"negative size", with({archive_record(tar_with(negative, ""))}), "Corrupt archive header"},
        {"100-byte name without NUL", with({archive_record(tar_with(long_name, "n"))}),
         "Extracting " + std::string(100, 'L') + " .. 1 bytes"},
        // Entries that try to leave the install directory.
        {"absolute name",
         with({archive_record(TarBuilder().file(outside + "/sentinel", "x").finish())}),
         "Refusing unsafe path"},
        {"dot-dot name",
         with({archive_record(TarBuilder().file("../outside/sentinel", "x").finish())}),
         "Refusing unsafe path"},
        {"symlink escape within the archive",
         with({archive_record(
             TarBuilder().symlink("esc", outside).file("esc/sentinel", "x").finish())}),
         "Refusing unsafe path esc/sentinel"},
        {"symlink escape through a link already on disk",
         with({archive_record(TarBuilder().file("pre/sentinel", "x").dir("pre/new/").finish())}),
         "Refusing unsafe path pre/sentinel",
         [outside](const std::string &work) {
             ASSERT_EQ(symlink(outside.c_str(), (work + "/pre").c_str()), 0);
         }},
        {"hard link to a file outside",
         with({archive_record(TarBuilder().hardlink("h", outside + "/sentinel").finish())}),
         "Refusing unsafe path"},
        {"hard link out through dot-dot",
         with({archive_record(
             TarBuilder().hardlink("h", "../outside/sentinel").file("h", "w").finish())}),
         "Refusing unsafe path"},
        {"link planted at the temporary path",
         with({script_record("#!/bin/sh\necho script ran\n"),
               program_record("#!/bin/sh\necho program ran\n")}),
         "program ran",
         [this](const std::string &) {
             ASSERT_EQ(
                 symlink((outside_ + "/sentinel").c_str(), (tmp_ + "/zninstall-temp.exe").c_str()),
                 0);
         }},
    };
    ASSERT_GE(cases.size(), 25u);
    for (const HostileCase &c : cases) run_case(c);
}

}  // namespace
}  // namespace zn_test
