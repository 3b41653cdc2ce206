// zstd_unzip on any bytes, pulled through an in-memory reader. Input: one byte that sets how many
// bytes each read hands over (the decompressor asks for a full block every time; a reader may
// give less), then the compressed data.
//
// Checks: zstd_unzip returns one of its results, hands over no empty block, prints "zstd: " and a
// message exactly when it fails on the data, and its output agrees with the library decoding the
// whole input in one piece, frame after frame while what is left begins with a frame's magic
// number: the same bytes when the data ended properly, and otherwise the shorter of the two
// outputs begins the longer. Output past kMaxOutput is refused, which bounds the time a small
// input that decompresses to a huge one can take.
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/zstd_unzip.h"

namespace {

constexpr size_t kMaxOutput = 512u << 10;  // bytes of output accepted per input

struct source {
    const char *data;
    size_t size;
    size_t at;
    int piece;  // bytes handed over per read (at most what is asked)
    std::string out;
};

int source_read(zn::bz_context *ctx, char *buffer, int capacity) {
    source *s = reinterpret_cast<source *>(zn::bz_handle(ctx));
    FUZZ_CHECK(capacity == zn::kBzInputBlock);
    size_t n = s->size - s->at;
    if (n > size_t(s->piece)) n = size_t(s->piece);
    std::memcpy(buffer, s->data + s->at, n);
    s->at += n;
    return int(n);
}

int sink_write(zn::bz_context *ctx, const char *data, int count) {
    source *s = reinterpret_cast<source *>(zn::bz_handle(ctx));
    FUZZ_CHECK(count > 0 && count <= zn::kBzOutputBlock);
    if (s->out.size() + size_t(count) > kMaxOutput) return -1;
    s->out.append(data, size_t(count));
    return 0;
}

// A frame of data or a skippable frame begins at p.
bool frame_begins(const char *p, size_t n) {
    if (n < 4) return false;
    uint32_t magic = 0;
    for (int i = 3; i >= 0; i--) magic = magic << 8 | static_cast<unsigned char>(p[i]);
    return magic == ZSTD_MAGICNUMBER ||
           (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

// The library on the whole input at once. Returns true when at least one frame was decoded whole,
// to the size its header states, and every frame that followed it too, with the output, at most
// limit bytes, in *out.
bool decompress_whole(const char *data, size_t size, size_t limit, std::string *out) {
    ZSTD_DCtx *d = ZSTD_createDCtx();
    if (d == nullptr) zn_fuzz::fuzz_fail("ZSTD_createDCtx");
    ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, zn::kZstdWindowLogMax);
    ZSTD_inBuffer in = {data, size, 0};
    int frames = 0;
    bool whole = true;
    static char block[1 << 16];
    while (whole && frame_begins(data + in.pos, size - in.pos)) {
        // The library does not check a frame's stated size when its last block is empty.
        unsigned long long stated = ZSTD_getFrameContentSize(data + in.pos, size - in.pos);
        size_t frame_from = out->size();
        size_t ret;
        do {
            ZSTD_outBuffer o = {block, sizeof block, 0};
            ret = ZSTD_decompressStream(d, &o, &in);
            if (ZSTD_isError(ret)) break;
            out->append(block, o.pos);
            // Given the whole input, a call that makes nothing and leaves no input has met the
            // end of the data inside the frame.
            if (out->size() > limit || (o.pos == 0 && in.pos == in.size && ret != 0)) break;
        } while (ret != 0);
        whole =
            ret == 0 && (stated >= ZSTD_CONTENTSIZE_ERROR || out->size() - frame_from == stated);
        frames += whole;
    }
    ZSTD_freeDCtx(d);
    return whole && frames > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    source s;
    s.piece = 1 + data[0] * 8;  // 1 to 2041 bytes per read
    s.data = reinterpret_cast<const char *>(data + 1);
    s.size = size - 1;
    s.at = 0;

    zn_fuzz::output_capture_begin();
    int rc = zn::zstd_unzip(reinterpret_cast<uintptr_t>(&s), source_read, sink_write);
    std::string err;
    zn_fuzz::output_capture_end(nullptr, &err);

    std::string whole;
    bool ok = decompress_whole(s.data, s.size, kMaxOutput, &whole);
    if (std::getenv("ZN_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "zstd_unzip: %d, %zu bytes; whole: %d, %zu bytes\n%s", rc,
                     s.out.size(), int(ok), whole.size(), err.c_str());
    switch (rc) {
        case zn::kBzOk:
            FUZZ_CHECK(ok);
            FUZZ_CHECK(s.out == whole);
            FUZZ_CHECK(err.empty());
            break;
        case zn::kBzCorrupt:
        case zn::kBzTruncated:
            FUZZ_CHECK(!ok);
            FUZZ_CHECK(zn_fuzz::one_leads_the_other(s.out, whole));
            FUZZ_CHECK(err.rfind("zstd: ", 0) == 0 && err.find('\n') == err.size() - 1);
            break;
        case zn::kBzWriteFailed:
            FUZZ_CHECK(s.out.size() + zn::kBzOutputBlock > kMaxOutput);
            FUZZ_CHECK(zn_fuzz::one_leads_the_other(s.out, whole));
            FUZZ_CHECK(err.empty());
            break;
        default:
            zn_fuzz::fuzz_fail("zstd_unzip returned %d", rc);
    }
    return 0;
}
