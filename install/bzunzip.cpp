#include "install/bzunzip.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "install/run_state.h"

namespace zn {

// Every bzip2 stream begins "BZh" and its block-size digit, '1' to '9'.
constexpr unsigned kSignatureLength = 4;

struct bz_state {
    bz_context base;  // what the callbacks receive
    bz_read_fn read_cb;
    bz_write_fn write_cb;
    bz_stream stream;
    // Input, with room in front for the few bytes kept back while looking for the next stream.
    char input[kSignatureLength - 1 + kBzInputBlock];
    char output[kBzOutputBlock];
};

uintptr_t bz_handle(const bz_context *ctx) {
    return ctx->handle;
}

namespace {

void start_stream(bz_state *ctx) {
    std::memset(&ctx->stream, 0, sizeof ctx->stream);
    int ret = BZ2_bzDecompressInit(&ctx->stream, 0, 0);
    if (ret != BZ_OK) {
        err_printf("bzDecompressInit: failed, ret=%d\n", ret);
        std::exit(1);
    }
}

// After a stream's end: true when the input goes on with the signature of another stream, which
// is then what the input holds. Reads more while fewer bytes than the signature are at hand.
bool next_stream_follows(bz_state *ctx, bool *input_ended) {
    bz_stream &s = ctx->stream;
    while (s.avail_in < kSignatureLength && !*input_ended) {
        unsigned kept = s.avail_in;
        std::memmove(ctx->input, s.next_in, kept);
        int got = ctx->read_cb(&ctx->base, ctx->input + kept, kBzInputBlock);
        if (got <= 0) *input_ended = true;
        s.next_in = ctx->input;
        s.avail_in = kept + (got > 0 ? unsigned(got) : 0);
    }
    return s.avail_in >= kSignatureLength && std::memcmp(s.next_in, "BZh", 3) == 0 &&
           s.next_in[3] >= '1' && s.next_in[3] <= '9';
}

}  // namespace

int bzunzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb, bz_sync_fn sync_cb) {
    bz_state ctx;
    ctx.base.handle = handle;
    ctx.read_cb = read_cb;
    ctx.write_cb = write_cb;
    start_stream(&ctx);

    int result = kBzOk;
    bool input_ended = false;
    for (;;) {
        if (ctx.stream.avail_in == 0 && !input_ended) {
            int got = read_cb(&ctx.base, ctx.input, kBzInputBlock);
            if (got <= 0) {
                input_ended = true;
            } else {
                ctx.stream.next_in = ctx.input;
                ctx.stream.avail_in = unsigned(got);
            }
        }
        unsigned in_before = ctx.stream.avail_in;
        ctx.stream.next_out = ctx.output;
        ctx.stream.avail_out = kBzOutputBlock;
        int ret = BZ2_bzDecompress(&ctx.stream);
        int produced = kBzOutputBlock - int(ctx.stream.avail_out);
        if (ret < 0) {
            if (sync_cb) sync_cb(&ctx.base);
            err_printf("bzDecompress: failed, ret=%d\n", ret);
            result = kBzCorrupt;
            break;
        }
        if (write_cb(&ctx.base, ctx.output, produced) != 0) {
            result = kBzWriteFailed;
            break;
        }
        if (ret == BZ_STREAM_END) {
            // Several streams one after another decode as one, as the bzip2 tool reads them;
            // bytes after the last stream that do not begin another are ignored.
            if (!next_stream_follows(&ctx, &input_ended)) break;
            char *next_in = ctx.stream.next_in;
            unsigned avail_in = ctx.stream.avail_in;
            BZ2_bzDecompressEnd(&ctx.stream);
            start_stream(&ctx);
            ctx.stream.next_in = next_in;
            ctx.stream.avail_in = avail_in;
            continue;
        }
        // Without new input and without output the stream can only be cut short: the
        // decompressor has consumed everything and still waits for more.
        if (produced == 0 && ctx.stream.avail_in == in_before && (input_ended || in_before != 0)) {
            if (sync_cb) sync_cb(&ctx.base);
            if (input_ended) {
                err_printf("Premature end of compressed data\n");
                result = kBzTruncated;
            } else {
                err_printf("bzDecompress: failed, ret=%d\n", ret);
                result = kBzCorrupt;
            }
            break;
        }
    }
    BZ2_bzDecompressEnd(&ctx.stream);
    return result;
}

}  // namespace zn
