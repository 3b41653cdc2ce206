// The decompressors with bzunzip's contract: bzunzip and zstd_unzip, each through the same
// in-memory callbacks.
#include "package/bzunzip.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/bz_bits.h"
#include "package/bz_parallel.h"
#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/record_decoder.h"
#include "package/zstd_unzip.h"
#include "support/package.h"
#include "support/scratch.h"

namespace zn {
namespace {

// An in-memory source and sink reached through the handle.
struct Memory {
    std::string input;
    size_t at = 0;
    std::string output;
    std::string pieces;  // the size of every non-empty write, in order
    int calls = 0;
    int max_count = 0;
    int refuse_after = -1;    // the write callback fails once this many bytes are out
    size_t piece = SIZE_MAX;  // most bytes handed over per read
};

int memory_read(bz_context *ctx, char *buf, int cap) {
    Memory *m = reinterpret_cast<Memory *>(bz_handle(ctx));
    size_t n = std::min({size_t(cap), m->piece, m->input.size() - m->at});
    std::memcpy(buf, m->input.data() + m->at, n);
    m->at += n;
    return int(n);
}

int memory_write(bz_context *ctx, const char *data, int count) {
    Memory *m = reinterpret_cast<Memory *>(bz_handle(ctx));
    m->calls++;
    m->max_count = std::max(m->max_count, count);
    m->output.append(data, size_t(count));
    if (count > 0) m->pieces += std::to_string(count) + " ";
    if (m->refuse_after >= 0 && m->output.size() >= size_t(m->refuse_after)) return -1;
    return 0;
}

std::string sample(size_t n) {
    std::mt19937 gen(5);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = char(i % 7 == 0 ? gen() : 'a' + i % 13);
    return s;
}

int run(Memory &m, std::string *err = nullptr, unzip_fn unzip = bzunzip) {
    testing::internal::CaptureStderr();
    int rc = unzip(reinterpret_cast<uintptr_t>(&m), memory_read, memory_write, nullptr);
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return rc;
}

// The block-parallel decoder with that many workers.
int run_parallel(Memory &m, std::string *err, int threads,
                 const std::vector<uint64_t> &false_markers = {}) {
    testing::internal::CaptureStderr();
    bz_parallel_options o = {threads, false_markers.data(), int(false_markers.size())};
    int rc =
        bz_parallel_unzip(reinterpret_cast<uintptr_t>(&m), memory_read, memory_write, nullptr, &o);
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return rc;
}

// Each decompressor, how its data is made, and how its messages read.
struct Codec {
    const char *name;
    std::string (*compress)(const std::string &data, int level);
    int level;
    unzip_fn unzip;
    const char *corrupt;    // how the message about corrupt data begins
    const char *truncated;  // the message about data cut short
};

const Codec kCodecs[] = {
    {"bzip2", zn_test::bzip2_compress, 9, bzunzip,
     "bzDecompress: failed, ret=", "Premature end of compressed data\n"},
    {"zstd", zn_test::zstd_compress, 19, zstd_unzip, "zstd: ", "zstd: Src size is incorrect\n"},
};

TEST(Bzunzip, DecompressesEveryByteInOrder) {
    for (const Codec &codec : kCodecs) {
        for (size_t n : {size_t(0), size_t(1), size_t(4096), size_t(300000)}) {
            Memory m;
            std::string data = sample(n);
            m.input = codec.compress(data, codec.level);
            m.input += "trailing bytes are never used";
            EXPECT_EQ(run(m, nullptr, codec.unzip), kBzOk) << codec.name << " " << n;
            EXPECT_EQ(m.output, data) << codec.name << " " << n;
            EXPECT_LE(m.max_count, kBzOutputBlock);
        }
    }
}

// Streams one after another decode whole, also when a stream ends within a few bytes of a read's
// end; what follows the last stream is ignored unless it begins like a stream.
TEST(Bzunzip, ConsecutiveStreamsDecodeAsOne) {
    std::string a = sample(70000), b = sample(3), c = sample(9000);
    std::string abc = zn_test::bzip2_compress(a) + zn_test::bzip2_compress(b, 1) +
                      zn_test::bzip2_compress("") + zn_test::bzip2_compress(c);
    struct {
        const char *what;
        std::string input;
        size_t piece;
        int rc;
        std::string output;
    } rows[] = {
        {"four streams", abc, SIZE_MAX, kBzOk, a + b + c},
        {"four streams, 1-byte reads", abc, 1, kBzOk, a + b + c},
        {"four streams, 3-byte reads", abc, 3, kBzOk, a + b + c},
        {"trailing BZ", abc + "BZ", 1, kBzOk, a + b + c},
        {"trailing BZh without a digit", abc + "BZhx", SIZE_MAX, kBzOk, a + b + c},
        {"a stream cut after its signature", abc + "BZh9", SIZE_MAX, kBzTruncated, a + b + c},
        {"a second stream cut short", abc + zn_test::bzip2_compress(a).substr(0, 500), 7,
         kBzTruncated, ""},
    };
    for (const auto &row : rows) {
        Memory m;
        m.input = row.input;
        m.piece = row.piece;
        std::string err;
        EXPECT_EQ(run(m, &err), row.rc) << row.what << ": " << err;
        if (row.rc == kBzOk) {
            EXPECT_EQ(m.output, row.output) << row.what;
            EXPECT_EQ(err, "") << row.what;
        } else {
            EXPECT_EQ(m.output.compare(0, a.size() + b.size() + c.size(), a + b + c), 0)
                << row.what;
            EXPECT_EQ(err, "Premature end of compressed data\n") << row.what;
        }
    }
}

// A flipped byte anywhere in the body ends the stream with an error, never a loop, and never
// passes changed data off as whole; a cut body ends with the premature-end message.
TEST(Bzunzip, CorruptAndTruncatedInputEnd) {
    std::string data = sample(200000);
    for (const Codec &codec : kCodecs) {
        SCOPED_TRACE(codec.name);
        std::string good = codec.compress(data, codec.level);
        int corrupt = 0;
        for (size_t at = 0; at < good.size(); at += good.size() / 37 + 1) {
            Memory m;
            m.input = good;
            m.input[at] = char(m.input[at] ^ 0x40);
            std::string err;
            int rc = run(m, &err, codec.unzip);
            EXPECT_NE(rc, kBzWriteFailed) << at;
            if (rc == kBzOk) {
                EXPECT_TRUE(m.output == data) << at;
            }
            if (rc == kBzCorrupt) {
                corrupt++;
                EXPECT_EQ(err.rfind(codec.corrupt, 0), 0u) << err;
            }
            if (rc == kBzTruncated) {
                EXPECT_EQ(err, codec.truncated);
            }
        }
        EXPECT_GT(corrupt, 0);
        for (size_t cut : {size_t(0), size_t(3), size_t(100), good.size() / 2, good.size() - 1}) {
            Memory m;
            m.input = good.substr(0, cut);
            std::string err;
            int rc = run(m, &err, codec.unzip);
            if (cut == 0) {
                EXPECT_EQ(rc, kBzTruncated);
            } else {
                EXPECT_TRUE(rc == kBzTruncated || rc == kBzCorrupt) << cut;
            }
            EXPECT_NE(err, "") << cut;
            if (cut <= good.size() / 2) {
                EXPECT_LT(m.output.size(), data.size());
            }
        }
    }
}

TEST(Bzunzip, WriterFailureStopsTheStream) {
    for (const Codec &codec : kCodecs) {
        Memory m;
        m.input = codec.compress(sample(100000), codec.level);
        m.refuse_after = 10000;
        EXPECT_EQ(run(m, nullptr, codec.unzip), kBzWriteFailed) << codec.name;
        EXPECT_LT(m.output.size(), 20000u) << codec.name;
    }
}

// zstd frames one after another decode whole, skippable ones passed over; after a whole frame,
// what does not begin another is ignored. A frame's window is held to 2^27 bytes.
TEST(ZstdUnzip, FramesAndWhatFollowsThem) {
    std::string a = sample(70000), c = sample(200000), c3 = zn_test::zstd_compress(c, 3);
    std::string skippable("\x50\x2A\x4D\x18\x03\0\0\0abc", 11);
    std::string frames = zn_test::zstd_compress(a) + zn_test::zstd_compress("") + skippable + c3;
    // A frame header with no content size and the window named by its descriptor byte, then an
    // empty last block.
    auto empty_frame = [](char window) {
        return std::string("\x28\xB5\x2F\xFD\x00", 5) + window + std::string("\x01\0\0", 3);
    };
    const std::string magic = "\x28\xB5\x2F\xFD", unknown = "zstd: Unknown frame descriptor\n";
    struct {
        const char *what;
        std::string input;
        size_t piece;
        int rc;
        std::string output;  // all of it, or what it begins with on a failure
        std::string err;
    } rows[] = {
        {"frames", frames, SIZE_MAX, kBzOk, a + c, ""},
        {"frames, 1-byte reads", frames, 1, kBzOk, a + c, ""},
        {"frames, 3-byte reads", frames, 3, kBzOk, a + c, ""},
        {"trailing text", zn_test::zstd_compress(a) + "trailing", 5, kBzOk, a, ""},
        {"trailing half magic", zn_test::zstd_compress(a) + magic.substr(0, 2), 1, kBzOk, a, ""},
        {"a frame cut after its magic", zn_test::zstd_compress(a) + magic, SIZE_MAX, kBzTruncated,
         a, "zstd: Src size is incorrect\n"},
        // The last block decodes to far more than one write; all of it goes out before the report.
        {"a frame cut before its checksum", c3.substr(0, c3.size() - 4), SIZE_MAX, kBzTruncated, c,
         "zstd: Src size is incorrect\n"},
        {"no input", "", SIZE_MAX, kBzTruncated, "", "zstd: Src size is incorrect\n"},
        {"not a frame", "BZh91AY&SY", SIZE_MAX, kBzCorrupt, "", unknown},
        {"a pre-standard frame", "\x27\xB5\x2F\xFD" + zn_test::zstd_compress(a).substr(4), SIZE_MAX,
         kBzCorrupt, "", unknown},
        {"window of 2^27", empty_frame('\x88'), SIZE_MAX, kBzOk, "", ""},
        {"window of 2^28 after a frame", zn_test::zstd_compress(a) + empty_frame('\x90'), SIZE_MAX,
         kBzCorrupt, a, "zstd: Frame requires too much memory for decoding\n"},
        // States 18432 bytes of content, then ends with an empty last block.
        {"a frame short of its stated size, 1-byte reads",
         zn_test::zstd_compress(a) + magic + std::string("\x60\x00\x47\x01\x00\x00", 6), 1,
         kBzCorrupt, a, "zstd: Data corruption detected\n"},
    };
    for (const auto &row : rows) {
        Memory m;
        m.input = row.input;
        m.piece = row.piece;
        std::string err;
        EXPECT_EQ(run(m, &err, zstd_unzip), row.rc) << row.what << ": " << err;
        EXPECT_EQ(err, row.err) << row.what;
        if (row.rc == kBzOk) {
            EXPECT_TRUE(m.output == row.output) << row.what;
        } else {
            EXPECT_EQ(m.output.compare(0, row.output.size(), row.output), 0) << row.what;
        }
    }
}

// The record's type chooses the decompressor.
TEST(RecordDecoder, ZstdTypesTakeZstdUnzip) {
    for (unsigned type = 0; type < 256; type++) {
        unsigned char header[kRecordHeaderSize] = {0, 0, 0, 0, static_cast<unsigned char>(type)};
        bool zstd = type == kRecordZstdArchive || type == kRecordZstdScript;
        EXPECT_EQ(record_decoder(header), zstd ? zstd_unzip : bz_decode) << type;
    }
}

// Bit positions of the block markers in a compressed body.
std::vector<uint64_t> block_markers(const std::string &z) {
    std::vector<uint64_t> at;
    uint64_t from = 0, p;
    int kind;
    while (bz_find_marker(reinterpret_cast<const unsigned char *>(z.data()), z.size(), from, &p,
                          &kind)) {
        if (kind == kBzBlock) at.push_back(p);
        from = p + 1;
    }
    return at;
}

std::string flip_bit(std::string z, uint64_t bit) {
    z[bit / 8] = char(z[bit / 8] ^ (0x80 >> (bit % 8)));
    return z;
}

// The block-parallel decoder hands over the same bytes in the same pieces, with the same messages
// and result, as bzunzip: valid, damaged in any block, cut short, with a wrong combined CRC, in
// several streams, with a marker that is no marker, read in pieces of any size.
TEST(BzParallel, SameResultsAsBzunzip) {
    std::string text = sample(450000);
    std::string z = zn_test::bzip2_compress(text, 1);  // five blocks of 100 kB
    std::vector<uint64_t> m = block_markers(z);
    ASSERT_EQ(m.size(), 5u);
    std::string two = zn_test::bzip2_compress(sample(150000), 1) + z + "junk";
    std::string zeros = zn_test::bzip2_compress(std::string(3000000, '\0'), 1);
    std::string empty = zn_test::bzip2_compress("");  // no block: header, end marker, CRC 0
    struct Row {
        const char *what;
        std::string input;
        std::vector<uint64_t> false_markers;
    };
    std::vector<Row> rows = {
        {"one block", zn_test::bzip2_compress(sample(5000)), {}},
        {"five blocks", z, {}},
        {"two streams and junk", two, {}},
        {"blocks larger than the output kept in memory", zeros + z, {}},
        {"damaged in block 1", flip_bit(z, m[0] + 300), {}},
        {"damaged in block 3", flip_bit(z, m[2] + 9000), {}},
        {"damaged at the end of block 3", flip_bit(z, m[3] - 20), {}},
        {"damaged block marker", flip_bit(z, m[2] + 5), {}},
        {"damaged block CRC", flip_bit(z, m[4] + 60), {}},
        {"wrong combined CRC", flip_bit(z, 8 * z.size() - 12), {}},
        {"empty stream with a combined CRC not 0", z + flip_bit(empty, 8 * empty.size() - 1), {}},
        {"second stream damaged", flip_bit(two, 8 * (two.size() - z.size() / 2)), {}},
        {"digit of the second stream's header 0",
         flip_bit(two, 8 * (two.size() - z.size() - 4) + 31),
         {}},
        {"first marker of the second stream damaged",
         flip_bit(two, 8 * (two.size() - z.size() - 4) + 40),
         {}},
        {"cut in block 2", z.substr(0, m[1] / 8 + 5000), {}},
        {"cut at a block start", z.substr(0, m[3] / 8), {}},
        {"cut before the combined CRC", z.substr(0, z.size() - 3), {}},
        {"marker by chance in block 2", z, {m[1] + 4321}},
        {"marker by chance in the last block", z, {m[4] + 999}},
        {"not bzip2 at all", "BZh9 is only a header", {}},
        {"empty", "", {}},
    };
    for (const Row &row : rows) {
        for (size_t piece : {size_t(2048), size_t(1), size_t(1000), size_t(2047)}) {
            Memory seq;
            seq.input = row.input;
            seq.piece = piece;
            std::string seq_err;
            int seq_rc = run(seq, &seq_err);
            for (int threads : {2, 3}) {
                SCOPED_TRACE(std::string(row.what) + ", pieces of " + std::to_string(piece) +
                             ", threads " + std::to_string(threads));
                Memory par;
                par.input = row.input;
                par.piece = piece;
                std::string par_err;
                EXPECT_EQ(run_parallel(par, &par_err, threads, row.false_markers), seq_rc);
                EXPECT_EQ(par_err, seq_err);
                EXPECT_TRUE(par.output == seq.output);
                EXPECT_EQ(par.pieces, seq.pieces);
            }
        }
    }
}

// ZN_THREADS sets the number of workers when it is a number from 1 on (at most kBzMaxThreads);
// otherwise the processors this process may run on count.
TEST(BzParallel, ThreadCountFromTheEnvironment) {
    const char *old = std::getenv("ZN_THREADS");
    std::string saved = old != nullptr ? old : "";
    unsetenv("ZN_THREADS");
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    int cpus = std::min(CPU_COUNT(&set), kBzMaxThreads);
    EXPECT_EQ(bz_thread_count(), cpus);
    struct {
        const char *value;
        int want;
    } rows[] = {{"1", 1},    {"3", 3},     {"64", 64},   {"1000", kBzMaxThreads},
                {"0", cpus}, {"-2", cpus}, {"2x", cpus}, {"", cpus}};
    for (const auto &row : rows) {
        setenv("ZN_THREADS", row.value, 1);
        EXPECT_EQ(bz_thread_count(), row.want) << "ZN_THREADS=" << row.value;
    }
    if (old != nullptr) {
        setenv("ZN_THREADS", saved.c_str(), 1);
    } else {
        unsetenv("ZN_THREADS");
    }
}

// The package reader serves one body, re-seeking before every block even when someone else
// moved the shared descriptor, and never a byte past the body.
TEST(PackageReader, ServesOneBodyFromASharedDescriptor) {
    zn_test::TempDir dir;
    std::string body = sample(5000);
    std::string file = "HEAD" + body + "NEXT RECORD";
    zn_test::write_file(dir / "pkg", file);
    int fd = open((dir / "pkg").c_str(), O_RDONLY);
    lseek(fd, 4, SEEK_SET);
    package_reader_start(fd, uint32_t(body.size()));
    std::string got;
    char buf[3000];
    for (;;) {
        lseek(fd, 0, SEEK_SET);  // another reader of the descriptor
        int n = package_reader_read(nullptr, buf, 1500);
        if (n == 0) break;
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, body);
    // A body that claims more than the file holds ends where the file does.
    lseek(fd, 4, SEEK_SET);
    package_reader_start(fd, 0xFFFFFFFFu);
    got.clear();
    while (int n = package_reader_read(nullptr, buf, sizeof buf)) got.append(buf, size_t(n));
    EXPECT_EQ(got, file.substr(4));
    close(fd);
}

}  // namespace
}  // namespace zn
