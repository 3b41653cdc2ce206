#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams, ZSTD_getFrameHeader
#include "pack/zstd_stream.h"

#include <zstd_errors.h>

#include <cstring>

#include "lib/chk.h"
#include "pack/pack_error.h"
#include "package/zstd_unzip.h"

namespace zn {

constexpr size_t kZstdOutBlock = 1 << 17;  // bytes of compressed output handed to the sink at once
constexpr size_t kZstdInBlock = 1 << 17;   // bytes of compressed input asked of the source at once
constexpr size_t kZstdMagicSize = 4;       // bytes of the magic number that begins every frame

// Sets one compression parameter; records a text and returns -1 when the library refuses it.
static int set_parameter(zstd_writer *w, ZSTD_cParameter p, int value, const char *what) {
    size_t rc = ZSTD_CCtx_setParameter(w->cctx, p, value);
    if (ZSTD_isError(rc)) {
        pack_error("cannot set zstd %s to %d: %s", what, value, ZSTD_getErrorName(rc));
        return -1;
    }
    return 0;
}

int zstd_writer_init(zstd_writer *w, int level, int threads, byte_sink sink, void *ctx) {
    std::memset(w, 0, sizeof *w);
    w->sink = sink;
    w->ctx = ctx;
    w->cctx = ZSTD_createCCtx();
    if (w->cctx == nullptr) {
        pack_error("cannot start zstd compression: out of memory");
        return -1;
    }
    w->out = static_cast<char *>(chk_alloc(kZstdOutBlock));
    // The size of the data is not known ahead, so the level's window is the one for large data.
    int window_log = int(ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0).windowLog);
    if (window_log > kZstdWindowLogCap) window_log = kZstdWindowLogCap;
    if (set_parameter(w, ZSTD_c_compressionLevel, level, "level") < 0 ||
        set_parameter(w, ZSTD_c_windowLog, window_log, "window") < 0 ||
        set_parameter(w, ZSTD_c_checksumFlag, 1, "checksum flag") < 0)
        return -1;
    // With one worker or more the library cuts the data into jobs by size alone, so the frame is
    // the same for any number of them. A library built without threads refuses workers; it then
    // compresses on this thread, and its frames differ from the threaded ones.
    if (ZSTD_isError(ZSTD_CCtx_setParameter(w->cctx, ZSTD_c_nbWorkers, threads < 1 ? 1 : threads)))
        ZSTD_CCtx_setParameter(w->cctx, ZSTD_c_nbWorkers, 0);
    return 0;
}

// Runs the compressor on what in holds with directive, handing each output block to the sink,
// until it has taken all input (ZSTD_e_continue) or ended the frame (ZSTD_e_end).
static int zstd_writer_pump(zstd_writer *w, ZSTD_inBuffer *in, ZSTD_EndDirective directive) {
    for (;;) {
        ZSTD_outBuffer out = {w->out, kZstdOutBlock, 0};
        size_t left = ZSTD_compressStream2(w->cctx, &out, in, directive);
        if (ZSTD_isError(left)) {
            pack_error("zstd compression failed: %s", ZSTD_getErrorName(left));
            return -1;
        }
        if (out.pos > 0) {
            if (w->sink(w->ctx, w->out, out.pos) < 0) return -1;
            w->bytes_out += out.pos;
        }
        if (directive == ZSTD_e_continue && in->pos == in->size) return 0;
        if (directive == ZSTD_e_end && left == 0) return 0;
    }
}

int zstd_writer_write(zstd_writer *w, const void *data, size_t n) {
    ZSTD_inBuffer in = {data, n, 0};
    if (zstd_writer_pump(w, &in, ZSTD_e_continue) < 0) return -1;
    w->bytes_in += n;
    return 0;
}

int zstd_writer_finish(zstd_writer *w) {
    ZSTD_inBuffer in = {nullptr, 0, 0};
    return zstd_writer_pump(w, &in, ZSTD_e_end);
}

void zstd_writer_free(zstd_writer *w) {
    ZSTD_freeCCtx(w->cctx);
    w->cctx = nullptr;
    chk_free_ptr(&w->out);
}

int zstd_reader_init(zstd_reader *r, byte_source source, void *ctx) {
    std::memset(r, 0, sizeof *r);
    r->source = source;
    r->ctx = ctx;
    r->dctx = ZSTD_createDCtx();
    if (r->dctx == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(r->dctx, ZSTD_d_windowLogMax, kZstdWindowLogMax))) {
        pack_error("cannot start zstd decompression");
        return -1;
    }
    r->in = static_cast<char *>(chk_alloc(kZstdInBlock));
    r->input = {r->in, 0, 0};
    r->frame_start = 1;
    return 0;
}

// At a frame's start: makes the longest frame header lie together in the input (unless the
// input ends first) and notes the content size the header states. Returns 0 or -1.
static int read_frame_header(zstd_reader *r) {
    while (r->input.size - r->input.pos < ZSTD_FRAMEHEADERSIZE_MAX && !r->at_end) {
        size_t kept = r->input.size - r->input.pos;
        std::memmove(r->in, static_cast<const char *>(r->input.src) + r->input.pos, kept);
        long got = r->source(r->ctx, r->in + kept, kZstdInBlock - kept);
        if (got < 0) return -1;
        if (got == 0) r->at_end = 1;
        r->input = {r->in, kept + size_t(got), 0};
    }
    ZSTD_frameHeader fh;
    const char *at = static_cast<const char *>(r->input.src) + r->input.pos;
    bool known = ZSTD_getFrameHeader(&fh, at, r->input.size - r->input.pos) == 0 &&
                 fh.frameType == ZSTD_frame;
    r->declared = known ? fh.frameContentSize : ZSTD_CONTENTSIZE_UNKNOWN;
    r->decoded = 0;
    r->frame_start = 0;
    return 0;
}

long zstd_reader_read(zstd_reader *r, void *buf, size_t n) {
    ZSTD_outBuffer out = {buf, n, 0};
    // Loop until some output appears: a step may only consume input (a frame header, say).
    while (!r->ended && out.pos == 0) {
        if (r->frame_start && read_frame_header(r) < 0) return -1;
        if (r->input.pos == r->input.size && !r->at_end) {
            long got = r->source(r->ctx, r->in, kZstdInBlock);
            if (got < 0) return -1;
            if (got == 0) r->at_end = 1;
            r->input = {r->in, size_t(got), 0};
        }
        size_t in_before = r->input.pos;
        size_t ret = ZSTD_decompressStream(r->dctx, &out, &r->input);
        if (ZSTD_isError(ret)) {
            // Only a frame's first bytes can fail to be a magic number: after a whole frame,
            // that is the end of the data.
            if (r->frames > 0 && ZSTD_getErrorCode(ret) == ZSTD_error_prefix_unknown) {
                r->ended = 1;
                break;
            }
            if (ZSTD_getErrorCode(ret) == ZSTD_error_prefix_unknown)
                pack_error("not a zstd frame");
            else
                pack_error("corrupt zstd data: %s", ZSTD_getErrorName(ret));
            return -1;
        }
        r->after_frame += r->input.pos - in_before;
        r->decoded += out.pos;
        if (ret == 0) {
            // The library does not check a frame's stated size when its last block is empty.
            if (r->declared != ZSTD_CONTENTSIZE_UNKNOWN && r->decoded != r->declared) {
                pack_error("corrupt zstd data: %s",
                           ZSTD_getErrorString(ZSTD_error_corruption_detected));
                return -1;
            }
            r->frame_start = 1;
            r->frames++;
            r->after_frame = 0;
        } else if (r->at_end && out.pos == 0 && r->input.pos == in_before) {
            // Nothing more to come: fewer bytes than a magic number after a whole frame are
            // ignored; anything else is a frame cut short.
            if (r->frames == 0 || r->after_frame >= kZstdMagicSize) {
                pack_error("zstd data cut short after %llu bytes",
                           static_cast<unsigned long long>(r->bytes_out));
                return -1;
            }
            r->ended = 1;
        }
    }
    r->bytes_out += out.pos;
    return long(out.pos);
}

void zstd_reader_free(zstd_reader *r) {
    ZSTD_freeDCtx(r->dctx);
    r->dctx = nullptr;
    chk_free_ptr(&r->in);
}

}  // namespace zn
