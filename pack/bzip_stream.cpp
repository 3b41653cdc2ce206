#include "pack/bzip_stream.h"

#include <climits>
#include <cstring>

#include "lib/chk.h"
#include "pack/bz_pieces.h"
#include "pack/pack_error.h"
#include "package/bz_bits.h"
#include "package/bz_parallel.h"

namespace zn {

constexpr unsigned kBzInBlock = 65536;  // bytes of compressed input asked of the source at once

// The library takes counts as unsigned int; larger inputs go in pieces of this many bytes.
constexpr size_t kBzMaxPiece = 1u << 30;

int bz_writer_init(bz_writer *w, int threads, byte_sink sink, void *ctx) {
    std::memset(w, 0, sizeof *w);
    w->pieces = bz_pieces_new(kBzLevel, threads, sink, ctx);
    return w->pieces != nullptr ? 0 : -1;
}

int bz_writer_write(bz_writer *w, const void *data, size_t n) {
    if (bz_pieces_write(w->pieces, data, n) < 0) return -1;
    w->bytes_in += n;
    return 0;
}

int bz_writer_finish(bz_writer *w) {
    int rc = bz_pieces_finish(w->pieces, &w->bytes_out);
    bz_pieces_free(w->pieces);
    w->pieces = nullptr;
    return rc;
}

void bz_writer_free(bz_writer *w) {
    bz_pieces_free(w->pieces);
    w->pieces = nullptr;
}

int bz_reader_init(bz_reader *r, byte_source source, void *ctx) {
    std::memset(r, 0, sizeof *r);
    r->source = source;
    r->ctx = ctx;
    int ret = BZ2_bzDecompressInit(&r->stream, 0, 0);
    if (ret != BZ_OK) {
        pack_error("cannot start bzip2 decompression (error %d)", ret);
        return -1;
    }
    r->active = 1;
    r->in = static_cast<char *>(chk_alloc(kBzInBlock));
    return 0;
}

namespace {

// After a stream's end: 1 when the input goes on with another stream's header, which is then
// where the input stands, else 0; -1 when the source fails. Reads more while fewer bytes than a
// header are at hand.
int next_stream_follows(bz_reader *r) {
    bz_stream &s = r->stream;
    while (s.avail_in < unsigned(kBzHeaderBytes) && !r->input_ended) {
        unsigned kept = s.avail_in;
        std::memmove(r->in, s.next_in, kept);
        long got = r->source(r->ctx, r->in + kept, kBzInBlock - kept);
        if (got < 0) return -1;
        if (got == 0) r->input_ended = 1;
        s.next_in = r->in;
        s.avail_in = kept + unsigned(got);
    }
    return s.avail_in >= unsigned(kBzHeaderBytes) &&
           bz_is_stream_header(reinterpret_cast<const unsigned char *>(s.next_in));
}

// Starts a fresh decompressor where the last stream ended, keeping the input and output at hand.
int restart_stream(bz_reader *r) {
    bz_stream kept = r->stream;
    BZ2_bzDecompressEnd(&r->stream);
    r->active = 0;
    std::memset(&r->stream, 0, sizeof r->stream);
    int ret = BZ2_bzDecompressInit(&r->stream, 0, 0);
    if (ret != BZ_OK) {
        pack_error("cannot start bzip2 decompression (error %d)", ret);
        return -1;
    }
    r->active = 1;
    r->stream.next_in = kept.next_in;
    r->stream.avail_in = kept.avail_in;
    r->stream.next_out = kept.next_out;
    r->stream.avail_out = kept.avail_out;
    return 0;
}

}  // namespace

long bz_reader_read(bz_reader *r, void *buf, size_t n) {
    if (r->ended) return 0;
    if (n > kBzMaxPiece) n = kBzMaxPiece;
    r->stream.next_out = static_cast<char *>(buf);
    r->stream.avail_out = static_cast<unsigned>(n);
    // Loop until some output appears: a step may only consume input (a block header, say).
    while (r->stream.avail_out == n) {
        int at_end_of_input = 0;
        if (r->stream.avail_in == 0) {
            long got = r->source(r->ctx, r->in, kBzInBlock);
            if (got < 0) return -1;
            if (got == 0) at_end_of_input = r->input_ended = 1;
            r->stream.next_in = r->in;
            r->stream.avail_in = static_cast<unsigned>(got);
        }
        int ret = BZ2_bzDecompress(&r->stream);
        if (ret == BZ_STREAM_END) {
            int more = next_stream_follows(r);
            if (more < 0) return -1;
            if (more == 0) {
                r->ended = 1;
                break;
            }
            if (restart_stream(r) < 0) return -1;
            continue;
        }
        if (ret != BZ_OK) {
            if (ret == BZ_DATA_ERROR_MAGIC)
                pack_error("not a bzip2 stream");
            else
                pack_error("corrupt bzip2 stream (error %d)", ret);
            return -1;
        }
        if (at_end_of_input && r->stream.avail_out == n) {
            pack_error("bzip2 stream cut short after %llu bytes",
                       static_cast<unsigned long long>(r->bytes_out));
            return -1;
        }
    }
    size_t produced = n - r->stream.avail_out;
    r->bytes_out += produced;
    return static_cast<long>(produced);
}

void bz_reader_free(bz_reader *r) {
    if (r->active) BZ2_bzDecompressEnd(&r->stream);
    r->active = 0;
    chk_free_ptr(&r->in);
}

}  // namespace zn
