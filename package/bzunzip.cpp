#include "package/bzunzip.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>

#include "lib/messages.h"
#include "package/bzunzip_loop.h"

namespace zn {

uintptr_t bz_handle(const bz_context *ctx) {
    return ctx->handle;
}

void bz_context_init(bz_context *ctx, uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
                     bz_sync_fn sync_cb) {
    ctx->handle = handle;
    ctx->read_cb = read_cb;
    ctx->write_cb = write_cb;
    ctx->sync_cb = sync_cb;
    ctx->source_cb = read_cb;
    ctx->source_state = nullptr;
    ctx->input_ended = false;
    std::memset(&ctx->stream, 0, sizeof ctx->stream);
}

void bz_start_stream(bz_context *ctx) {
    std::memset(&ctx->stream, 0, sizeof ctx->stream);
    int ret = BZ2_bzDecompressInit(&ctx->stream, 0, 0);
    if (ret != BZ_OK) {
        err_printf("bzDecompressInit: failed, ret=%d\n", ret);
        std::exit(1);
    }
}

const char *bz_gather_input(bz_context *ctx, const char *at, size_t *avail, size_t need) {
    while (*avail < need && !ctx->input_ended) {
        size_t kept = *avail;
        std::memmove(ctx->input, at, kept);
        int got = ctx->read_cb(ctx, ctx->input + kept, kBzInputBlock);
        if (got <= 0) ctx->input_ended = true;
        at = ctx->input;
        *avail = kept + (got > 0 ? size_t(got) : 0);
    }
    return at;
}

namespace {

// After a stream's end: true when the input goes on with the signature of another stream, which
// is then what the input holds. Reads more while fewer bytes than the signature are at hand.
bool next_stream_follows(bz_context *ctx) {
    bz_stream &s = ctx->stream;
    size_t avail = s.avail_in;
    s.next_in = const_cast<char *>(bz_gather_input(ctx, s.next_in, &avail, kBzHeaderBytes));
    s.avail_in = unsigned(avail);
    return avail >= size_t(kBzHeaderBytes) &&
           bz_is_stream_header(reinterpret_cast<const unsigned char *>(s.next_in));
}

}  // namespace

int bz_run(bz_context *ctx, bool continuation) {
    bz_stream &s = ctx->stream;
    int result = kBzOk;
    for (;;) {
        if (!continuation) {
            if (s.avail_in == 0 && !ctx->input_ended) {
                int got = ctx->read_cb(ctx, ctx->input, kBzInputBlock);
                if (got <= 0) {
                    ctx->input_ended = true;
                } else {
                    s.next_in = ctx->input;
                    s.avail_in = unsigned(got);
                }
            }
            s.next_out = ctx->output;
            s.avail_out = kBzOutputBlock;
        }
        continuation = false;
        unsigned in_before = s.avail_in;
        int ret = BZ2_bzDecompress(&s);
        int produced = kBzOutputBlock - int(s.avail_out);
        if (ret < 0) {
            if (ctx->sync_cb) ctx->sync_cb(ctx);
            err_printf("bzDecompress: failed, ret=%d\n", ret);
            result = kBzCorrupt;
            break;
        }
        if (ctx->write_cb(ctx, ctx->output, produced) != 0) {
            result = kBzWriteFailed;
            break;
        }
        if (ret == BZ_STREAM_END) {
            // Several streams one after another decode as one, as the bzip2 tool reads them;
            // bytes after the last stream that do not begin another are ignored.
            if (!next_stream_follows(ctx)) break;
            char *next_in = s.next_in;
            unsigned avail_in = s.avail_in;
            BZ2_bzDecompressEnd(&s);
            bz_start_stream(ctx);
            s.next_in = next_in;
            s.avail_in = avail_in;
            continue;
        }
        // Without new input and without output the stream can only be cut short: the
        // decompressor has consumed everything and still waits for more.
        if (produced == 0 && s.avail_in == in_before && (ctx->input_ended || in_before != 0)) {
            if (ctx->sync_cb) ctx->sync_cb(ctx);
            if (ctx->input_ended) {
                err_printf("Premature end of compressed data\n");
                result = kBzTruncated;
            } else {
                err_printf("bzDecompress: failed, ret=%d\n", ret);
                result = kBzCorrupt;
            }
            break;
        }
    }
    BZ2_bzDecompressEnd(&s);
    return result;
}

int bzunzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb, bz_sync_fn sync_cb) {
    bz_context ctx;
    bz_context_init(&ctx, handle, read_cb, write_cb, sync_cb);
    bz_start_stream(&ctx);
    return bz_run(&ctx, false);
}

}  // namespace zn
