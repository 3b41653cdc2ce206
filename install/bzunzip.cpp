#include "install/bzunzip.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "install/run_state.h"

namespace zn {

struct bz_context {
    uintptr_t handle;
    bz_read_fn read_cb;
    bz_write_fn write_cb;
    bz_stream stream;
    char input[kBzInputBlock];
    char output[kBzOutputBlock];
};

uintptr_t bz_handle(const bz_context *ctx) {
    return ctx->handle;
}

int bzunzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb, bz_sync_fn sync_cb) {
    bz_context ctx;
    ctx.handle = handle;
    ctx.read_cb = read_cb;
    ctx.write_cb = write_cb;
    std::memset(&ctx.stream, 0, sizeof ctx.stream);
    int ret = BZ2_bzDecompressInit(&ctx.stream, 0, 0);
    if (ret != BZ_OK) {
        err_printf("bzDecompressInit: failed, ret=%d\n", ret);
        std::exit(1);
    }

    int result = kBzOk;
    bool input_ended = false;
    for (;;) {
        if (ctx.stream.avail_in == 0 && !input_ended) {
            int got = read_cb(&ctx, ctx.input, kBzInputBlock);
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
        ret = BZ2_bzDecompress(&ctx.stream);
        int produced = kBzOutputBlock - int(ctx.stream.avail_out);
        if (ret < 0) {
            if (sync_cb) sync_cb(&ctx);
            err_printf("bzDecompress: failed, ret=%d\n", ret);
            result = kBzCorrupt;
            break;
        }
        if (write_cb(&ctx, ctx.output, produced) != 0) {
            result = kBzWriteFailed;
            break;
        }
        if (ret == BZ_STREAM_END) break;
        // Without new input and without output the stream can only be cut short: the
        // decompressor has consumed everything and still waits for more.
        if (produced == 0 && ctx.stream.avail_in == in_before && (input_ended || in_before != 0)) {
            if (sync_cb) sync_cb(&ctx);
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
