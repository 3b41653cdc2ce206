// bzunzip on any bytes, pulled through an in-memory reader. Input: one byte that sets how many
// bytes each read hands over (the decompressor asks for a full block every time; a reader may
// give less), then the compressed stream.
//
// Checks: bzunzip returns one of its results and never spins (each call of the write callback
// with nothing to write follows a read or a stream's start, apart from the last), and the output
// agrees with the library decompressing the whole input in one piece: the same bytes when the
// stream ended properly, and otherwise the shorter of the two outputs begins the longer. Output
// past kMaxOutput is refused, which bounds the time a small input that decompresses to a huge one
// can take. The block-parallel decoder, with two workers, must then hand over the same bytes in
// the same pieces, print the same messages and return the same result (the seeds hold streams
// of several small blocks, level 1, so that it runs on inputs this small).
#include <bzlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/bz_parallel.h"
#include "package/bzunzip.h"

namespace {

constexpr size_t kMaxOutput = 512u << 10;  // bytes of output accepted per input

struct source {
    const char *data;
    size_t size;
    size_t at;
    int piece;          // bytes handed over per read (at most what is asked)
    long reads;         // reads that returned bytes
    long empty_writes;  // writes of 0 bytes
    std::string out;
    std::string pieces;  // sizes of the non-empty writes, in order
};

int source_read(zn::bz_context *ctx, char *buffer, int capacity) {
    source *s = reinterpret_cast<source *>(zn::bz_handle(ctx));
    FUZZ_CHECK(capacity == zn::kBzInputBlock);
    size_t n = s->size - s->at;
    if (n > size_t(s->piece)) n = size_t(s->piece);
    std::memcpy(buffer, s->data + s->at, n);
    s->at += n;
    if (n > 0) s->reads++;
    return int(n);
}

int sink_write(zn::bz_context *ctx, const char *data, int count) {
    source *s = reinterpret_cast<source *>(zn::bz_handle(ctx));
    FUZZ_CHECK(count >= 0 && count <= zn::kBzOutputBlock);
    if (count == 0) s->empty_writes++;
    // Each stream may add one (the shortest stream is 14 bytes).
    if (s->empty_writes > s->reads + long(s->at / 14) + 2)
        zn_fuzz::fuzz_fail("bzunzip keeps writing nothing: %ld empty writes after %ld reads",
                           s->empty_writes, s->reads);
    if (s->out.size() + size_t(count) > kMaxOutput) return -1;
    s->out.append(data, size_t(count));
    if (count > 0) s->pieces += std::to_string(count) + " ";
    return 0;
}

// The library on the whole input at once, stream after stream while what is left begins with a
// stream's signature ("BZh" and a digit from 1 to 9). Returns its last result (BZ_STREAM_END when
// the last stream ended) with the output, at most limit bytes, in *out.
int decompress_whole(const char *data, size_t size, size_t limit, std::string *out) {
    int ret;
    do {
        bz_stream s;
        std::memset(&s, 0, sizeof s);
        if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) zn_fuzz::fuzz_fail("BZ2_bzDecompressInit");
        s.next_in = const_cast<char *>(data);
        s.avail_in = unsigned(size);
        static char block[1 << 16];
        do {
            s.next_out = block;
            s.avail_out = sizeof block;
            ret = BZ2_bzDecompress(&s);
            size_t made = sizeof block - s.avail_out;
            out->append(block, made);
            if (ret != BZ_OK || out->size() > limit) break;
            // Given the whole input, a call ends with its output block full, at the stream's
            // end, on an error, or with the input used up: nothing made means the last.
            if (made == 0) break;
        } while (true);
        data = s.next_in;
        size = s.avail_in;
        BZ2_bzDecompressEnd(&s);
    } while (ret == BZ_STREAM_END && out->size() <= limit && size >= 4 &&
             std::memcmp(data, "BZh", 3) == 0 && data[3] >= '1' && data[3] <= '9');
    return ret;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    source s;
    s.piece = 1 + data[0] * 8;  // 1 to 2041 bytes per read
    s.data = reinterpret_cast<const char *>(data + 1);
    s.size = size - 1;
    s.at = 0;
    s.reads = 0;
    s.empty_writes = 0;
    source par = s;

    zn_fuzz::output_capture_begin();
    int rc = zn::bzunzip(reinterpret_cast<uintptr_t>(&s), source_read, sink_write);
    std::string err;
    zn_fuzz::output_capture_end(nullptr, &err);

    zn::bz_parallel_options two = {2, nullptr, 0};
    zn_fuzz::output_capture_begin();
    int par_rc = zn::bz_parallel_unzip(reinterpret_cast<uintptr_t>(&par), source_read, sink_write,
                                       nullptr, &two);
    std::string par_err;
    zn_fuzz::output_capture_end(nullptr, &par_err);
    FUZZ_CHECK(par_rc == rc);
    FUZZ_CHECK(par_err == err);
    FUZZ_CHECK(par.out == s.out);
    FUZZ_CHECK(par.pieces == s.pieces);

    std::string whole;
    int ret = decompress_whole(s.data, s.size, kMaxOutput, &whole);
    if (std::getenv("ZN_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "bzunzip: %d, %zu bytes; whole: %d, %zu bytes\n%s", rc, s.out.size(),
                     ret, whole.size(), err.c_str());
    switch (rc) {
        case zn::kBzOk:
            FUZZ_CHECK(ret == BZ_STREAM_END);
            FUZZ_CHECK(s.out == whole);
            FUZZ_CHECK(err.empty());
            break;
        case zn::kBzCorrupt:
        case zn::kBzTruncated:
            FUZZ_CHECK(ret != BZ_STREAM_END);
            // Not equal: when the library finds corruption while it writes out a block, the bytes
            // of that call go uncounted, so how much comes out before the error depends on the
            // size of the output block.
            FUZZ_CHECK(zn_fuzz::one_leads_the_other(s.out, whole));
            FUZZ_CHECK(!err.empty());
            break;
        case zn::kBzWriteFailed:
            FUZZ_CHECK(s.out.size() + zn::kBzOutputBlock > kMaxOutput);
            FUZZ_CHECK(zn_fuzz::one_leads_the_other(s.out, whole));
            break;
        default:
            zn_fuzz::fuzz_fail("bzunzip returned %d", rc);
    }
    return 0;
}
