#include "package/zstd_unzip.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, ZSTD_FRAMEHEADERSIZE_MAX
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdlib>

#include "lib/messages.h"
#include "package/bzunzip_loop.h"

namespace zn {

// Every frame begins with a four-byte little-endian magic number: ZSTD_MAGICNUMBER for a frame of
// data, or one of the sixteen skippable-frame numbers (ZSTD_MAGIC_SKIPPABLE_START and up).
constexpr size_t kZstdMagicSize = 4;
static_assert(ZSTD_FRAMEHEADERSIZE_MAX <= kBzInputKeepMax, "a frame header fits before a read");

namespace {

// The context's input and output buffers, callbacks and input_ended serve here as they serve
// bzunzip; its bzip2 decoder is not used.
struct zstd_state {
    bz_context base;  // what the callbacks receive
    ZSTD_DCtx *dctx;
    ZSTD_inBuffer in;  // the input not yet taken, inside base.input
};

void report(zstd_state *st, bz_sync_fn sync_cb, ZSTD_ErrorCode code) {
    if (sync_cb) sync_cb(&st->base);
    err_printf("zstd: %s\n", ZSTD_getErrorString(code));
}

// Reads more input once the buffer is used up; sets input_ended when there is no more.
void refill(zstd_state *st) {
    if (st->in.pos < st->in.size || st->base.input_ended) return;
    int got = st->base.read_cb(&st->base, st->base.input, kBzInputBlock);
    if (got <= 0) st->base.input_ended = true;
    st->in = {st->base.input, got > 0 ? size_t(got) : 0, 0};
}

// At the start of a frame: reads until the longest frame header is at hand (or the input has
// ended) and returns the bytes at hand. Kept bytes move to the front of the buffer.
size_t header_at_hand(zstd_state *st) {
    size_t avail = st->in.size - st->in.pos;
    const char *at = static_cast<const char *>(st->in.src) + st->in.pos;
    at = bz_gather_input(&st->base, at, &avail, ZSTD_FRAMEHEADERSIZE_MAX);
    st->in = {at, avail, 0};
    return avail;
}

// True when the four bytes at p begin a frame of this format. The library would also take the
// magic numbers of its pre-standard formats; those are not frames here (the installer's image
// carries no decoder for them).
bool is_frame_magic(const char *p) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
    uint32_t magic =
        uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return magic == ZSTD_MAGICNUMBER ||
           (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

}  // namespace

int zstd_unzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb, bz_sync_fn sync_cb) {
    zstd_state st;
    bz_context_init(&st.base, handle, read_cb, write_cb, sync_cb);
    st.in = {st.base.input, 0, 0};
    st.dctx = ZSTD_createDCtx();
    if (st.dctx == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(st.dctx, ZSTD_d_windowLogMax, kZstdWindowLogMax))) {
        report(&st, nullptr, ZSTD_error_memory_allocation);
        std::exit(1);
    }

    int result = kBzOk;
    int frames = 0;           // frames decoded whole
    bool frame_start = true;  // the next byte begins a frame
    // The frame's content size as its header states it, and what it has decoded to so far.
    unsigned long long declared = ZSTD_CONTENTSIZE_UNKNOWN, decoded = 0;
    for (;;) {
        // 1. At a frame's start, its magic decides: after a whole frame, bytes that do not begin
        //    another end the data and are ignored; the first frame must be one.
        if (frame_start) {
            size_t at_hand = header_at_hand(&st);
            const char *next = static_cast<const char *>(st.in.src) + st.in.pos;
            if (at_hand < kZstdMagicSize || !is_frame_magic(next)) {
                if (frames > 0) break;
                result = at_hand < kZstdMagicSize ? kBzTruncated : kBzCorrupt;
                report(
                    &st, sync_cb,
                    result == kBzTruncated ? ZSTD_error_srcSize_wrong : ZSTD_error_prefix_unknown);
                break;
            }
            frame_start = false;
            ZSTD_frameHeader fh;
            bool known = ZSTD_getFrameHeader(&fh, next, at_hand) == 0 && fh.frameType == ZSTD_frame;
            declared = known ? fh.frameContentSize : ZSTD_CONTENTSIZE_UNKNOWN;
            decoded = 0;
        }
        refill(&st);
        size_t in_before = st.in.pos;
        ZSTD_outBuffer out = {st.base.output, kBzOutputBlock, 0};
        size_t ret = ZSTD_decompressStream(st.dctx, &out, &st.in);
        // 2. Data the library rejects: corrupt blocks, a wrong checksum, a window over the limit.
        if (ZSTD_isError(ret)) {
            report(&st, sync_cb, ZSTD_getErrorCode(ret));
            result = kBzCorrupt;
            break;
        }
        if (out.pos > 0 && write_cb(&st.base, st.base.output, int(out.pos)) != 0) {
            result = kBzWriteFailed;
            break;
        }
        decoded += out.pos;
        // 3. A frame decoded whole and handed out: the next byte, if any, begins another. Its
        //    size must be the one its header states: the library does not check that when the
        //    last block is empty.
        if (ret == 0 && declared != ZSTD_CONTENTSIZE_UNKNOWN && decoded != declared) {
            report(&st, sync_cb, ZSTD_error_corruption_detected);
            result = kBzCorrupt;
            break;
        }
        if (ret == 0) {
            frames++;
            frame_start = true;
            continue;
        }
        // 4. Inside a frame, the input has ended and the decoder has nothing left to hand out:
        //    the frame was cut short.
        if (st.base.input_ended && out.pos == 0 && st.in.pos == in_before) {
            report(&st, sync_cb, ZSTD_error_srcSize_wrong);
            result = kBzTruncated;
            break;
        }
    }
    ZSTD_freeDCtx(st.dctx);
    return result;
}

}  // namespace zn
