#include "package/bz_parallel.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/chk.h"
#include "lib/messages.h"
#include "package/bz_bits.h"
#include "package/bzunzip_loop.h"

namespace zn {

namespace {

constexpr size_t kDecodePiece = 64 * 1024;  // output bytes per decompressor call in a segment
// A block holds at most 100 000 symbols per unit of its stream's digit, each coded in at most
// 20 bits, after tables of a few thousand bytes: a segment longer than this is no block.
constexpr uint64_t kMaxBlockBytesPerDigit = 250000;
constexpr uint64_t kMaxBlockTableBytes = 32768;
constexpr size_t kRecordSlack = 256 * 1024;  // bytes at least dropped from the record at a time

enum job_state : int { kQueued, kRunning, kDone };

// One segment: the bits from one marker to the next.
struct job {
    uint64_t start, end;  // bit positions in the body
    uint32_t crc;         // the block CRC after the marker at start
    char digit;           // the stream's block-size digit
    bool last;            // end is the stream's end marker
    uint32_t stored;      // with last: the stream's combined CRC
    unsigned char *in;    // the segment as a stream of its own, until a worker has decoded it
    size_t in_len, in_cap;
    int state;
    std::atomic<bool> cancel;
    bool ok;    // decoded as a block of its own, CRC matching
    char *out;  // the first kept bytes of its output (kBzJobOutputCap bytes)
    size_t kept;
    uint64_t total;  // bytes of output in all
};

enum event_type : int {
    kEvStream,        // a stream begins at byte pos (digit); empty: it has no block
    kEvBlock,         // a segment (j)
    kEvEnd,           // no stream follows: the body ends
    kEvReplayStream,  // decode sequentially from the stream that begins at byte pos
    kEvReplayBlock,   // decode sequentially from the block being read (a segment not found whole)
};

struct event {
    int type;
    uint64_t pos;
    char digit;
    bool empty;
    uint64_t eos;     // empty stream: bit position of its end marker
    uint32_t stored;  // empty stream: its combined CRC
    job *j;
};

enum scan_state : int { kScanHeader, kScanBlocks, kScanDone };
enum scan_result : int { kScanProduced, kScanNeedData, kScanStopped };

// Free buffers, each with its capacity. Guarded by the decoder's lock.
struct buffer_pool {
    char **buf;
    size_t *cap;
    int count;
    int size;  // buffers it holds at most
};

struct decoder {
    bz_context *ctx;
    const bz_parallel_options *opt;

    // The body as read so far: bytes [base, base + len) in data, and the ends of the pieces the
    // read callback returned that the decompressor has not been given yet (ends[head ..]).
    unsigned char *data;
    uint64_t base;
    size_t len, cap;
    uint64_t *ends;
    size_t head, count, ends_cap;
    bool source_ended;

    // The scan.
    int scan;
    uint64_t q;  // kScanHeader: byte where the next stream header is expected
    bool first_stream;
    char digit;
    uint64_t cur;     // kScanBlocks: bit where the current block begins
    uint64_t search;  // next bit to look for a marker from
    int blocks;       // segments found in all
    int false_at;     // next test-hook marker

    // Events in order, a ring.
    event *events;
    size_t ev_head, ev_count, ev_cap;
    int jobs_out;  // segments found and not yet handed over
    int max_jobs;

    // bzunzip's state as it would be at the writer's position: input consumed and given, the
    // output of the current call of the decompressor (ctx->output[0 .. fill)).
    uint64_t cons, avail_end;
    bool ended;
    int fill;
    uint64_t read_from;  // bit where the next reading of the decompressor begins
    uint64_t stream_q;   // byte where the current stream begins
    char stream_digit;
    uint32_t fold;  // combined CRC of the current stream's blocks handed over
    bool write_failed;

    // Workers.
    pthread_mutex_t lock;
    pthread_cond_t work;
    pthread_cond_t done;
    pthread_t threads[kBzMaxThreads];
    int nthreads;
    job **queue;  // segments waiting for a worker, a ring of max_jobs
    size_t q_head, q_count;
    bool shutdown;

    // Buffers for segments and their output, used again and again, so that memory follows the
    // number of segments in flight rather than what the allocator keeps for each thread.
    buffer_pool ins, outs;
};

// ---- the record of the body ----

unsigned char *at_byte(decoder *d, uint64_t pos) {
    assert(pos >= d->base && pos <= d->base + d->len);
    return d->data + (pos - d->base);
}

uint64_t data_end(const decoder *d) {
    return d->base + d->len;
}

// Reads one more piece of the body through the caller's read callback.
void read_piece(decoder *d) {
    if (d->source_ended) return;
    if (d->cap - d->len < size_t(kBzInputBlock)) {
        d->cap = d->cap == 0 ? 4 * kRecordSlack : 2 * d->cap;
        d->data = static_cast<unsigned char *>(chk_realloc(d->data, unsigned(d->cap)));
    }
    int got = d->ctx->source_cb(d->ctx, reinterpret_cast<char *>(d->data + d->len), kBzInputBlock);
    if (got <= 0) {
        d->source_ended = true;
        return;
    }
    d->len += size_t(got);
    if (d->head + d->count == d->ends_cap) {
        if (d->head > 0) {
            std::memmove(d->ends, d->ends + d->head, d->count * sizeof *d->ends);
            d->head = 0;
        } else {
            d->ends_cap = d->ends_cap == 0 ? 1024 : 2 * d->ends_cap;
            d->ends = static_cast<uint64_t *>(
                chk_realloc(d->ends, unsigned(d->ends_cap * sizeof *d->ends)));
        }
    }
    d->ends[d->head + d->count++] = data_end(d);
}

// Drops what no one needs any more: everything before the byte the next reading begins in.
void trim_record(decoder *d) {
    uint64_t keep = d->read_from / 8;
    if (keep <= d->base) return;
    size_t drop = size_t(keep - d->base);
    if (drop < kRecordSlack || drop < d->len / 2) return;
    std::memmove(d->data, d->data + drop, d->len - drop);
    d->base += drop;
    d->len -= drop;
}

// ---- buffers ----

// A buffer of at least need bytes: a free one of the pool, grown if it is smaller.
char *take_buffer(decoder *d, buffer_pool *pool, size_t need, size_t *cap) {
    pthread_mutex_lock(&d->lock);
    char *b = nullptr;
    *cap = 0;
    if (pool->count > 0) {
        pool->count--;
        b = pool->buf[pool->count];
        *cap = pool->cap[pool->count];
    }
    pthread_mutex_unlock(&d->lock);
    if (*cap < need) {
        b = static_cast<char *>(chk_realloc(b, unsigned(need)));
        *cap = need;
    }
    return b;
}

void give_buffer(decoder *d, buffer_pool *pool, char *b, size_t cap) {
    if (b == nullptr) return;
    pthread_mutex_lock(&d->lock);
    bool kept = pool->count < pool->size;
    if (kept) {
        pool->buf[pool->count] = b;
        pool->cap[pool->count] = cap;
        pool->count++;
    }
    pthread_mutex_unlock(&d->lock);
    if (!kept) chk_free(b);
}

void pool_init(decoder *d, buffer_pool *pool) {
    size_t n = size_t(d->max_jobs) + 1;
    pool->size = int(n);
    pool->buf = static_cast<char **>(chk_zalloc(unsigned(n * sizeof(char *))));
    pool->cap = static_cast<size_t *>(chk_zalloc(unsigned(n * sizeof(size_t))));
}

void pool_free(buffer_pool *pool) {
    for (int i = 0; i < pool->count; i++) chk_free(pool->buf[i]);
    chk_free(pool->buf);
    chk_free(pool->cap);
}

// A worker's memory for libbzip2: the blocks a decoder frees (its state and its tables, the
// same sizes for every block of a stream) are kept for the next segment.
constexpr int kCachedBlocks = 2;
struct alloc_cache {
    void *block[kCachedBlocks];
    size_t size[kCachedBlocks];
};
constexpr size_t kSizeHeader = 16;  // bytes in front of a block that hold its size

void *cache_alloc(void *opaque, int items, int size) {
    alloc_cache *c = static_cast<alloc_cache *>(opaque);
    size_t n = size_t(items) * size_t(size);
    for (int i = 0; i < kCachedBlocks; i++) {
        if (c->block[i] != nullptr && c->size[i] == n) {
            void *b = c->block[i];
            c->block[i] = nullptr;
            return static_cast<char *>(b) + kSizeHeader;
        }
    }
    char *b = static_cast<char *>(std::malloc(n + kSizeHeader));
    if (b == nullptr) return nullptr;
    std::memcpy(b, &n, sizeof n);
    return b + kSizeHeader;
}

void cache_free(void *opaque, void *p) {
    alloc_cache *c = static_cast<alloc_cache *>(opaque);
    char *b = static_cast<char *>(p) - kSizeHeader;
    size_t n;
    std::memcpy(&n, b, sizeof n);
    int slot = c->block[0] == nullptr ? 0 : 1;
    std::free(c->block[slot]);
    c->block[slot] = b;
    c->size[slot] = n;
}

void cache_clear(alloc_cache *c) {
    for (int i = 0; i < kCachedBlocks; i++) std::free(c->block[i]);
}

// ---- decoding one segment ----
using piece_sink = int (*)(void *arg, const char *data, size_t n);

constexpr int kSegmentNoDecoder = -2;

// Decodes a stream of one block held whole in memory. The output goes first into keep (keep_cap
// bytes, *kept of them filled; keep may be null), the rest to sink in pieces; the decoder's
// memory comes from cache when given. Returns 0 when the stream ended properly with nothing
// left over, kSegmentNoDecoder when no decoder could be started, -1 otherwise (also when sink
// refuses a piece).
int decode_segment(const unsigned char *in, size_t len, char *keep, size_t keep_cap, size_t *kept,
                   piece_sink sink, void *arg, alloc_cache *cache) {
    bz_stream s;
    std::memset(&s, 0, sizeof s);
    if (cache != nullptr) {
        s.bzalloc = cache_alloc;
        s.bzfree = cache_free;
        s.opaque = cache;
    }
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return kSegmentNoDecoder;
    s.next_in = const_cast<char *>(reinterpret_cast<const char *>(in));
    s.avail_in = unsigned(len);
    char piece[kDecodePiece];
    int rc = -1;
    for (;;) {
        // Straight into keep while it has room, so that most output is never copied here.
        bool direct = keep != nullptr && *kept < keep_cap;
        char *to = direct ? keep + *kept : piece;
        size_t room = direct ? keep_cap - *kept : kDecodePiece;
        if (room > kDecodePiece) room = kDecodePiece;
        s.next_out = to;
        s.avail_out = unsigned(room);
        int ret = BZ2_bzDecompress(&s);
        size_t made = room - s.avail_out;
        if (ret < 0) break;
        if (direct) *kept += made;
        // Into keep, sink hears of nothing but may still stop the decoding.
        if (sink(arg, piece, direct ? 0 : made) != 0) break;
        if (ret == BZ_STREAM_END) {
            rc = s.avail_in == 0 ? 0 : -1;
            break;
        }
        if (made == 0) break;  // it wants more than the segment holds
    }
    BZ2_bzDecompressEnd(&s);
    return rc;
}

// Counts a segment's output past what it keeps; stops the decoding once the segment is given up.
int count_output(void *arg, const char *, size_t n) {
    job *j = static_cast<job *>(arg);
    j->total += n;
    return j->cancel.load(std::memory_order_relaxed) ? -1 : 0;
}

// Puts the segment [start, end) of the current record as a stream of its own in j->in, a buffer
// of the pool.
void make_segment_stream(decoder *d, job *j) {
    uint64_t nbits = j->end - j->start;
    j->in = reinterpret_cast<unsigned char *>(
        take_buffer(d, &d->ins, bz_stream_of_bits_size(nbits), &j->in_cap));
    uint64_t first = j->start / 8;
    j->in_len =
        bz_stream_of_bits(j->in, j->digit, at_byte(d, first), j->start - first * 8, nbits, j->crc);
}

void decode_job(decoder *d, job *j, alloc_cache *cache) {
    if (!j->cancel.load()) {
        size_t cap;
        j->out = take_buffer(d, &d->outs, kBzJobOutputCap, &cap);
        j->ok = decode_segment(j->in, j->in_len, j->out, kBzJobOutputCap, &j->kept, count_output, j,
                               cache) == 0;
        j->total += j->kept;
    }
    give_buffer(d, &d->ins, reinterpret_cast<char *>(j->in), j->in_cap);
    j->in = nullptr;
}

void *worker_main(void *arg) {
    decoder *d = static_cast<decoder *>(arg);
    alloc_cache cache = {};
    pthread_mutex_lock(&d->lock);
    for (;;) {
        while (!d->shutdown && d->q_count == 0) pthread_cond_wait(&d->work, &d->lock);
        if (d->shutdown) break;
        job *j = d->queue[d->q_head];
        d->q_head = (d->q_head + 1) % size_t(d->max_jobs);
        d->q_count--;
        j->state = kRunning;
        pthread_mutex_unlock(&d->lock);
        decode_job(d, j, &cache);
        pthread_mutex_lock(&d->lock);
        j->state = kDone;
        pthread_cond_broadcast(&d->done);
    }
    pthread_mutex_unlock(&d->lock);
    cache_clear(&cache);
    return nullptr;
}

void dispatch(decoder *d, job *j) {
    make_segment_stream(d, j);
    pthread_mutex_lock(&d->lock);
    d->queue[(d->q_head + d->q_count) % size_t(d->max_jobs)] = j;
    d->q_count++;
    pthread_cond_signal(&d->work);
    pthread_mutex_unlock(&d->lock);
}

int job_state_of(decoder *d, job *j) {
    pthread_mutex_lock(&d->lock);
    int s = j->state;
    pthread_mutex_unlock(&d->lock);
    return s;
}

void wait_for(decoder *d, job *j) {
    pthread_mutex_lock(&d->lock);
    while (j->state != kDone) pthread_cond_wait(&d->done, &d->lock);
    pthread_mutex_unlock(&d->lock);
}

// Frees a segment, first letting a worker that has it finish (or skip it).
void free_job(decoder *d, job *j) {
    if (j == nullptr) return;
    if (d->nthreads > 0) {
        j->cancel.store(true);
        wait_for(d, j);
    }
    give_buffer(d, &d->ins, reinterpret_cast<char *>(j->in), j->in_cap);
    give_buffer(d, &d->outs, j->out, kBzJobOutputCap);
    j->~job();
    chk_free(j);
}

// ---- the scan ----

void push_event(decoder *d, const event &e) {
    assert(d->ev_count < d->ev_cap);
    d->events[(d->ev_head + d->ev_count) % d->ev_cap] = e;
    d->ev_count++;
}

event *front_event(decoder *d, size_t k) {
    return k < d->ev_count ? &d->events[(d->ev_head + k) % d->ev_cap] : nullptr;
}

void pop_event(decoder *d) {
    d->ev_head = (d->ev_head + 1) % d->ev_cap;
    d->ev_count--;
}

void stop_scan(decoder *d, int type, uint64_t pos) {
    event e = {};
    e.type = type;
    e.pos = pos;
    push_event(d, e);
    d->scan = kScanDone;
}

uint64_t max_block_bits(char digit) {
    return 8 * (kMaxBlockBytesPerDigit * uint64_t(digit - '0') + kMaxBlockTableBytes);
}

void add_segment(decoder *d, uint64_t end, bool last, uint32_t stored) {
    job *j = new (chk_alloc(sizeof(job))) job();
    j->start = d->cur;
    j->end = end;
    j->crc = uint32_t(bz_bits_get(at_byte(d, d->cur / 8), d->cur % 8 + kBzMarkerBits, kBzCrcBits));
    j->digit = d->digit;
    j->last = last;
    j->stored = stored;
    j->state = kQueued;
    event e = {};
    e.type = kEvBlock;
    e.j = j;
    push_event(d, e);
    d->jobs_out++;
    d->blocks++;
    if (d->nthreads > 0) dispatch(d, j);
}

// Bits of the body at hand from bit on: true when n of them are.
bool have_bits(const decoder *d, uint64_t bit, uint64_t n) {
    return bit + n <= 8 * data_end(d);
}

int scan_header(decoder *d) {
    if (data_end(d) < d->q + kBzHeaderBytes) {
        if (!d->source_ended) return kScanNeedData;
        // bzunzip reports a first stream that is not there; after a stream, it stops.
        stop_scan(d, d->first_stream ? kEvReplayStream : kEvEnd, d->q);
        return kScanStopped;
    }
    const unsigned char *h = at_byte(d, d->q);
    if (!bz_is_stream_header(h)) {
        stop_scan(d, d->first_stream ? kEvReplayStream : kEvEnd, d->q);
        return kScanStopped;
    }
    uint64_t mark = 8 * d->q + 8 * kBzHeaderBytes;
    if (!have_bits(d, mark, kBzMarkerAndCrcBits)) {
        if (!d->source_ended) return kScanNeedData;
        stop_scan(d, kEvReplayStream, d->q);
        return kScanStopped;
    }
    uint64_t m = bz_bits_get(at_byte(d, mark / 8), mark % 8, kBzMarkerBits);
    event e = {};
    e.type = kEvStream;
    e.pos = d->q;
    e.digit = char(h[3]);
    if (m == kBzBlockMarker) {
        push_event(d, e);
        d->digit = e.digit;
        d->cur = mark;
        d->search = mark + kBzMarkerBits;
        d->scan = kScanBlocks;
    } else if (m == kBzEndMarker) {
        e.empty = true;
        e.eos = mark;
        e.stored =
            uint32_t(bz_bits_get(at_byte(d, mark / 8), mark % 8 + kBzMarkerBits, kBzCrcBits));
        push_event(d, e);
        d->q = (mark + kBzMarkerAndCrcBits + 7) / 8;
    } else {
        stop_scan(d, kEvReplayStream, d->q);
        return kScanStopped;
    }
    d->first_stream = false;
    return kScanProduced;
}

int scan_blocks(decoder *d) {
    uint64_t limit = d->cur + max_block_bits(d->digit);
    uint64_t rel = 8 * d->base;
    uint64_t found = 0;
    int kind = kBzBlock;
    bool hit = bz_find_marker(d->data, d->len, d->search - rel, &found, &kind) != 0;
    if (hit) found += rel;
    // Test hook: a marker taken to be where none is.
    while (d->false_at < d->opt->false_marker_count &&
           d->opt->false_markers[d->false_at] < d->cur + kBzMarkerBits)
        d->false_at++;
    if (d->false_at < d->opt->false_marker_count) {
        uint64_t f = d->opt->false_markers[d->false_at];
        if ((hit && f < found) || (!hit && have_bits(d, f, kBzMarkerAndCrcBits))) {
            hit = true;
            found = f;
            kind = kBzBlock;
        }
    }
    if (!hit) {
        uint64_t end = 8 * data_end(d);
        uint64_t next = end > kBzMarkerBits ? end - kBzMarkerBits + 1 : 0;
        if (next > d->search) d->search = next;
        if (end > limit || d->source_ended) {
            stop_scan(d, kEvReplayBlock, d->cur);
            return kScanStopped;
        }
        return kScanNeedData;
    }
    if (found > limit) {
        stop_scan(d, kEvReplayBlock, d->cur);
        return kScanStopped;
    }
    if (kind == kBzBlock) {
        if (!have_bits(d, found, kBzMarkerAndCrcBits)) {
            // The next segment's CRC is read when that segment is found; wait for its bytes so
            // that every segment's CRC is at hand.
            d->search = found;
            if (!d->source_ended) return kScanNeedData;
        }
        add_segment(d, found, false, 0);
        d->cur = found;
        d->search = found + kBzMarkerBits;
        return kScanProduced;
    }
    if (!have_bits(d, found, kBzMarkerAndCrcBits)) {
        d->search = found;
        if (!d->source_ended) return kScanNeedData;
        stop_scan(d, kEvReplayBlock, d->cur);
        return kScanStopped;
    }
    uint32_t stored =
        uint32_t(bz_bits_get(at_byte(d, found / 8), found % 8 + kBzMarkerBits, kBzCrcBits));
    add_segment(d, found, true, stored);
    d->q = (found + kBzMarkerAndCrcBits + 7) / 8;
    d->scan = kScanHeader;
    return kScanProduced;
}

// Produces at least one event, or reads one more piece of the body.
void scan_some(decoder *d) {
    while (d->scan != kScanDone) {
        int r = d->scan == kScanHeader ? scan_header(d) : scan_blocks(d);
        if (r != kScanNeedData) return;
        if (d->source_ended) {
            // Cannot happen: every state decides once the body has ended.
            assert(false);
            return;
        }
        read_piece(d);
        return;
    }
}

// The scan runs ahead by at most max_jobs segments, and by one more when the writer waits for
// the segment after a failed one.
bool can_scan(const decoder *d) {
    return d->scan != kScanDone && (d->jobs_out < d->max_jobs || d->ev_count <= 1) &&
           d->ev_count + 2 <= d->ev_cap;
}

// ---- following bzunzip's calls ----

// Gives the decompressor the next piece the read callback returned, as bzunzip does at the
// start of a call when it has no input left.
void give_piece(decoder *d) {
    while (d->count == 0 && !d->source_ended) read_piece(d);
    if (d->count == 0) {
        d->ended = true;
        return;
    }
    d->avail_end = d->ends[d->head++];
    d->count--;
}

// A call of the decompressor ends: its output goes to the write callback.
void end_call(decoder *d) {
    if (d->fill > 0 && !d->write_failed) {
        if (d->ctx->write_cb(d->ctx, d->ctx->output, d->fill) != 0) d->write_failed = true;
    }
    d->fill = 0;
}

void start_call(decoder *d) {
    if (d->cons == d->avail_end && !d->ended) give_piece(d);
}

// The decompressor reads every bit below end_bit: each time it has used up its input, the call
// ends and the next begins with the next piece.
void read_to(decoder *d, uint64_t end_bit) {
    uint64_t need = (end_bit + 7) / 8;
    while (need > d->avail_end) {
        d->cons = d->avail_end;
        end_call(d);
        start_call(d);
        assert(!d->ended || need <= d->avail_end);
        if (d->ended) break;
    }
    if (need > d->cons) d->cons = need;
}

// Output of the block being decoded, in calls of kBzOutputBlock bytes.
int emit(void *arg, const char *data, size_t n) {
    decoder *d = static_cast<decoder *>(arg);
    while (n > 0 && !d->write_failed) {
        if (d->fill == kBzOutputBlock) {
            end_call(d);
            start_call(d);
        }
        if (d->fill == 0 && n > size_t(kBzOutputBlock)) {
            // A whole call's output that more output follows: handed over from where it lies,
            // just as end_call would hand it over from the output block.
            if (d->ctx->write_cb(d->ctx, data, kBzOutputBlock) != 0) d->write_failed = true;
            start_call(d);
            data += kBzOutputBlock;
            n -= size_t(kBzOutputBlock);
            continue;
        }
        size_t k = size_t(kBzOutputBlock - d->fill) < n ? size_t(kBzOutputBlock - d->fill) : n;
        std::memcpy(d->ctx->output + d->fill, data, k);
        d->fill += int(k);
        data += k;
        n -= k;
    }
    return d->write_failed ? -1 : 0;
}

// Hands over everything a segment that decoded has, past kBzJobOutputCap by decoding it again.
void emit_segment(decoder *d, job *j) {
    emit(d, j->out, j->kept);
    if (j->total <= j->kept || d->write_failed) return;
    struct skipper {
        decoder *d;
        uint64_t skip;
    } sk = {d, j->kept};
    auto rest = [](void *arg, const char *data, size_t n) -> int {
        skipper *s = static_cast<skipper *>(arg);
        size_t drop = s->skip < n ? size_t(s->skip) : n;
        s->skip -= drop;
        return emit(s->d, data + drop, n - drop);
    };
    make_segment_stream(d, j);
    // The segment decoded once already, so only a decoder that cannot start fails here; that
    // ends the process as it does in bzunzip.
    if (decode_segment(j->in, j->in_len, nullptr, 0, nullptr, rest, &sk, nullptr) ==
        kSegmentNoDecoder) {
        err_printf("bzDecompressInit: failed, ret=%d\n", BZ_MEM_ERROR);
        std::exit(1);
    }
}

// After a stream's end, bzunzip makes sure the signature's bytes are at hand.
void next_stream(decoder *d) {
    while (d->avail_end - d->cons < uint64_t(kBzHeaderBytes) && !d->ended) give_piece(d);
}

// ---- resuming bzunzip ----

// Serves the pieces of the body already read, in the sizes the read callback returned them,
// then reads on through the caller's callback.
int replay_read(bz_context *ctx, char *buffer, int capacity) {
    decoder *d = static_cast<decoder *>(ctx->source_state);
    if (d->count > 0) {
        uint64_t end = d->ends[d->head++];
        d->count--;
        size_t n = size_t(end - d->avail_end);
        std::memcpy(buffer, at_byte(d, d->avail_end), n);
        d->avail_end = end;
        return int(n);
    }
    if (d->source_ended) return 0;
    return ctx->source_cb(ctx, buffer, capacity);
}

void stop_workers(decoder *d) {
    pthread_mutex_lock(&d->lock);
    for (size_t k = 0; k < d->ev_count; k++) {
        event *e = front_event(d, k);
        if (e->type == kEvBlock) e->j->cancel.store(true);
    }
    d->shutdown = true;
    pthread_cond_broadcast(&d->work);
    pthread_mutex_unlock(&d->lock);
    for (int i = 0; i < d->nthreads; i++) pthread_join(d->threads[i], nullptr);
    d->nthreads = 0;
    while (d->ev_count > 0) {
        event *e = front_event(d, 0);
        if (e->type == kEvBlock) free_job(d, e->j);
        pop_event(d);
    }
}

// Decodes the rest of the body with bzunzip's loop from the writer's position: a stream's
// start, or the start of a block inside a stream (bit read_from).
int replay(decoder *d) {
    stop_workers(d);
    bz_context *ctx = d->ctx;
    bz_stream &s = ctx->stream;
    bool inside = d->read_from != 8 * d->stream_q;
    bz_start_stream(ctx);
    if (inside) {
        // The decoder is brought to the state it has at the block's start: a header with the
        // stream's digit, a block leaving the combined CRC of the blocks before and the bit
        // alignment of the block, and the bits of the block's first byte that it already holds.
        unsigned char prime[kBzHeaderBytes + kBzSyntheticMaxBytes + 1] = {'B', 'Z', 'h', 0};
        prime[3] = static_cast<unsigned char>(d->stream_digit);
        int r = int(d->read_from % 8);
        bz_bit_writer w = {prime, 8 * uint64_t(kBzHeaderBytes)};
        bz_synthetic_block(&w, d->fold, r);
        size_t plen = size_t(w.bit / 8);
        if (r != 0) {
            unsigned char first = *at_byte(d, d->read_from / 8);
            prime[plen++] |= static_cast<unsigned char>(first & ((1u << (8 - r)) - 1));
        }
        char scratch[2 * kBzSyntheticOutput];
        s.next_in = reinterpret_cast<char *>(prime);
        s.avail_in = unsigned(plen);
        s.next_out = scratch;
        s.avail_out = sizeof scratch;
        int ret = BZ2_bzDecompress(&s);
        (void)ret;
        assert(ret == BZ_OK && s.avail_in == 0 && s.total_out_lo32 == kBzSyntheticOutput);
    }
    size_t n = size_t(d->avail_end - d->cons);
    assert(n <= sizeof ctx->input);
    std::memcpy(ctx->input, at_byte(d, d->cons), n);
    s.next_in = ctx->input;
    s.avail_in = unsigned(n);
    ctx->input_ended = d->ended;
    ctx->read_cb = replay_read;
    ctx->source_state = d;
    if (inside) {
        s.next_out = ctx->output + d->fill;
        s.avail_out = unsigned(kBzOutputBlock - d->fill);
    }
    return bz_run(ctx, inside);
}

// ---- handing over in order ----

// Decodes the segment made of j and the one after it (a marker that occurs by chance splits a
// block in two). Returns the joined segment when it decodes, else null.
job *join_segments(decoder *d, job *j, job *next) {
    job *k = new (chk_alloc(sizeof(job))) job();
    k->start = j->start;
    k->end = next->end;
    k->crc = j->crc;
    k->digit = j->digit;
    k->last = next->last;
    k->stored = next->stored;
    k->state = kDone;
    make_segment_stream(d, k);
    decode_job(d, k, nullptr);
    if (k->ok) return k;
    free_job(d, k);
    return nullptr;
}

enum step_result : int { kStepDone, kStepWait, kStepFinished };

// Handles the first event if it can. kStepFinished sets *result.
int step(decoder *d, int *result) {
    event *e = front_event(d, 0);
    if (e == nullptr) return kStepWait;
    switch (e->type) {
        case kEvStream:
            d->stream_q = e->pos;
            d->stream_digit = e->digit;
            d->fold = 0;
            d->read_from = 8 * e->pos;
            if (e->empty) {
                if (e->stored != 0) break;  // bzunzip reports it
                read_to(d, e->eos + kBzMarkerAndCrcBits);
                end_call(d);
                next_stream(d);
            }
            pop_event(d);
            return kStepDone;
        case kEvBlock: {
            job *j = e->j;
            if (d->nthreads > 0 && job_state_of(d, j) != kDone) return kStepWait;
            if (!j->ok) {
                event *next = front_event(d, 1);
                if (next == nullptr && d->scan != kScanDone) return kStepWait;
                job *joined = nullptr;
                if (next != nullptr && next->type == kEvBlock && !j->last) {
                    joined = join_segments(d, j, next->j);
                    if (joined != nullptr) {
                        free_job(d, next->j);
                        *next = *e;
                        next->j = joined;
                        free_job(d, j);
                        pop_event(d);
                        d->jobs_out--;
                        return kStepDone;
                    }
                }
                break;
            }
            if (j->last && bz_crc_fold(d->fold, j->crc) != j->stored) break;
            read_to(d, j->end);
            emit_segment(d, j);
            d->fold = bz_crc_fold(d->fold, j->crc);
            d->read_from = j->end;
            if (j->last) {
                read_to(d, j->end + kBzMarkerAndCrcBits);
                end_call(d);
                next_stream(d);
            }
            free_job(d, j);
            pop_event(d);
            d->jobs_out--;
            if (d->write_failed) {
                *result = kBzWriteFailed;
                return kStepFinished;
            }
            trim_record(d);
            return kStepDone;
        }
        case kEvEnd:
            *result = kBzOk;
            return kStepFinished;
        default:
            break;  // kEvReplayStream, kEvReplayBlock: the writer stands where they begin
    }
    *result = replay(d);
    return kStepFinished;
}

void start_workers(decoder *d) {
    for (int i = 0; i < d->opt->threads && i < kBzMaxThreads; i++) {
        if (pthread_create(&d->threads[d->nthreads], nullptr, worker_main, d) != 0) break;
        d->nthreads++;
    }
}

}  // namespace

int bz_thread_count() {
    const char *env = std::getenv("ZN_THREADS");
    if (env != nullptr && *env != 0) {
        char *end;
        long n = std::strtol(env, &end, 10);
        if (*end == 0 && n >= 1) return n > kBzMaxThreads ? kBzMaxThreads : int(n);
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n < 1 ? 1 : n > kBzMaxThreads ? kBzMaxThreads : n;
}

int bz_parallel_unzip(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb,
                      bz_sync_fn sync_cb, const bz_parallel_options *options) {
    if (options->threads < 2) return bzunzip(handle, read_cb, write_cb, sync_cb);
    bz_context ctx;
    bz_context_init(&ctx, handle, read_cb, write_cb, sync_cb);
    decoder *d = new (chk_zalloc(sizeof(decoder))) decoder();
    d->ctx = &ctx;
    d->opt = options;
    d->first_stream = true;
    d->scan = kScanHeader;
    d->max_jobs = options->threads + kBzJobsBeyondWorkers;
    d->ev_cap = 2 * size_t(d->max_jobs) + 4;
    d->events = static_cast<event *>(chk_zalloc(unsigned(d->ev_cap * sizeof(event))));
    d->queue = static_cast<job **>(chk_zalloc(unsigned(size_t(d->max_jobs) * sizeof(job *))));
    pool_init(d, &d->ins);
    pool_init(d, &d->outs);
    pthread_mutex_init(&d->lock, nullptr);
    pthread_cond_init(&d->work, nullptr);
    pthread_cond_init(&d->done, nullptr);

    // Threads only for a body of two blocks or more; one of a single block is decoded as
    // bzunzip decodes it, from the pieces read so far.
    while (d->scan != kScanDone && d->blocks < 2 && can_scan(d)) scan_some(d);
    if (d->blocks >= 2) start_workers(d);
    int result;
    if (d->nthreads == 0) {
        result = replay(d);
    } else {
        for (size_t k = 0; k < d->ev_count; k++) {
            event *e = front_event(d, k);
            if (e->type == kEvBlock) dispatch(d, e->j);
        }
        for (;;) {
            int r = step(d, &result);
            if (r == kStepFinished) break;
            if (d->write_failed) {
                result = kBzWriteFailed;
                break;
            }
            if (r == kStepDone) continue;
            if (can_scan(d)) {
                scan_some(d);
                continue;
            }
            event *e = front_event(d, 0);
            assert(e != nullptr && e->type == kEvBlock);
            wait_for(d, e->j);
        }
    }
    stop_workers(d);
    pthread_mutex_destroy(&d->lock);
    pthread_cond_destroy(&d->work);
    pthread_cond_destroy(&d->done);
    chk_free(d->events);
    chk_free(d->queue);
    pool_free(&d->ins);
    pool_free(&d->outs);
    chk_free(d->data);
    chk_free(d->ends);
    d->~decoder();
    chk_free(d);
    return result;
}

int bz_decode(uintptr_t handle, bz_read_fn read_cb, bz_write_fn write_cb, bz_sync_fn sync_cb) {
    bz_parallel_options options = {bz_thread_count(), nullptr, 0};
    if (options.threads < 2) return bzunzip(handle, read_cb, write_cb, sync_cb);
    return bz_parallel_unzip(handle, read_cb, write_cb, sync_cb, &options);
}

}  // namespace zn
