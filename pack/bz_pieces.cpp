#include "pack/bz_pieces.h"

#include <bzlib.h>
#include <pthread.h>

#include <cstring>
#include <new>

#include "lib/chk.h"
#include "pack/pack_error.h"
#include "package/bz_bits.h"

namespace zn {

namespace {

constexpr int kPiecesBeyondThreads = 2;   // pieces filled or waiting beyond one per worker
constexpr size_t kJoinBuffer = 1u << 20;  // bytes of joined output gathered before the sink
constexpr int kMaxRun = 255;              // the first stage stores runs of up to this many
constexpr int kMaxParts = 2;              // a piece is compressed whole or as two halves

enum piece_state : int { kFilling, kWaiting, kCompressing, kCompressed };

struct part {
    char *out;       // a stream of one block
    uint64_t start;  // bit range of the block in out
    uint64_t end;
    uint32_t crc;
};

struct piece {
    char *in;
    size_t len;
    int state;
    int ok;
    int nparts;
    part parts[kMaxParts];
};

}  // namespace

struct bz_pieces {
    int level;
    int threads;
    byte_sink sink;
    void *ctx;
    size_t piece_bytes;

    // Pieces in input order, a ring: ring[head] is the oldest not yet joined.
    piece *ring;
    size_t ring_size, head, count;
    size_t next_work;  // ring index of the next piece a worker takes, counted from head
    int waiting;       // pieces submitted and not yet taken by a worker
    bool filling;      // the newest piece is being filled (known to the calling thread alone)

    // The joined stream: whole bytes not yet handed over, then the partial byte.
    unsigned char *out;
    bz_bit_writer w;
    uint32_t combined;
    uint64_t bytes_out;

    pthread_mutex_t lock;
    pthread_cond_t work;
    pthread_cond_t done;
    pthread_t *workers;
    int nworkers;
    int shutdown;
};

namespace {

// Bytes the first stage (runs of 4 to 255 equal bytes stored as four bytes and a count) makes
// of data. A block holds at most bz_piece_bytes of those.
size_t first_stage_length(const char *data, size_t n) {
    size_t total = 0;
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < size_t(kMaxRun) && data[i + run] == data[i]) run++;
        total += run < 4 ? run : 5;
        i += run;
    }
    return total;
}

// Compresses n bytes at level into a stream of one block and finds the block in it. Returns 0,
// or -1 after recording a text.
int compress_part(const char *data, size_t n, int level, part *pt) {
    unsigned cap = unsigned(n + n / 100 + 600);
    pt->out = static_cast<char *>(chk_alloc(cap));
    int rc =
        BZ2_bzBuffToBuffCompress(pt->out, &cap, const_cast<char *>(data), unsigned(n), level, 0, 0);
    if (rc != BZ_OK) {
        pack_error("bzip2 compression failed (error %d)", rc);
        return -1;
    }
    // The block runs from the header to the end marker, which the combined CRC (here the
    // block's own CRC) and zero padding to a byte follow.
    const unsigned char *z = reinterpret_cast<const unsigned char *>(pt->out);
    uint64_t first = 8 * uint64_t(kBzHeaderBytes);
    pt->start = first;
    pt->crc = uint32_t(bz_bits_get(z, first + kBzMarkerBits, kBzCrcBits));
    for (int pad = 0; pad < 8; pad++) {
        uint64_t eos = 8 * uint64_t(cap) - unsigned(pad) - kBzMarkerAndCrcBits;
        if (eos > first && bz_bits_get(z, eos, kBzMarkerBits) == kBzEndMarker &&
            bz_bits_get(z, eos + kBzMarkerBits, kBzCrcBits) == pt->crc &&
            bz_bits_get(z, first, kBzMarkerBits) == kBzBlockMarker) {
            pt->end = eos;
            return 0;
        }
    }
    pack_error("bzip2 compression made a stream of more than one block");
    return -1;
}

void compress_piece(piece *pc, int level, size_t capacity) {
    bool whole = first_stage_length(pc->in, pc->len) <= capacity;
    size_t half = pc->len / 2;
    pc->nparts = whole ? 1 : 2;
    pc->ok = whole ? compress_part(pc->in, pc->len, level, &pc->parts[0]) == 0
                   : compress_part(pc->in, half, level, &pc->parts[0]) == 0 &&
                         compress_part(pc->in + half, pc->len - half, level, &pc->parts[1]) == 0;
}

void *worker_main(void *arg) {
    bz_pieces *p = static_cast<bz_pieces *>(arg);
    pthread_mutex_lock(&p->lock);
    for (;;) {
        while (!p->shutdown && p->waiting == 0) pthread_cond_wait(&p->work, &p->lock);
        if (p->shutdown) break;
        piece *pc = &p->ring[(p->head + p->next_work) % p->ring_size];
        p->next_work++;
        p->waiting--;
        pc->state = kCompressing;
        pthread_mutex_unlock(&p->lock);
        compress_piece(pc, p->level, p->piece_bytes);
        pthread_mutex_lock(&p->lock);
        pc->state = kCompressed;
        pthread_cond_broadcast(&p->done);
    }
    pthread_mutex_unlock(&p->lock);
    return nullptr;
}

int flush_out(bz_pieces *p, bool all) {
    size_t whole = size_t(p->w.bit / 8);
    size_t n = all ? size_t((p->w.bit + 7) / 8) : whole;
    if (n > 0 && p->sink(p->ctx, p->out, n) < 0) return -1;
    p->bytes_out += n;
    unsigned char partial = all ? 0 : p->out[whole];
    std::memset(p->out, 0, n + 1);
    p->out[0] = partial;
    p->w.bit -= 8 * uint64_t(n);
    if (all) p->w.bit = 0;
    return 0;
}

// Appends a block's bits to the joined stream.
int append_bits(bz_pieces *p, const unsigned char *src, uint64_t from, uint64_t nbits) {
    while (nbits > 0) {
        uint64_t room = 8 * uint64_t(kJoinBuffer) - p->w.bit;
        uint64_t n = nbits < room ? nbits : room;
        bz_bits_copy(p->out, p->w.bit, src, from, n);
        p->w.bit += n;
        from += n;
        nbits -= n;
        if (p->w.bit == 8 * uint64_t(kJoinBuffer) && flush_out(p, false) < 0) return -1;
    }
    return 0;
}

void free_piece(piece *pc) {
    chk_free_ptr(&pc->in);
    for (int i = 0; i < pc->nparts; i++) chk_free_ptr(&pc->parts[i].out);
    pc->nparts = 0;
}

// Waits for the oldest piece, joins its blocks to the output and frees its slot.
int join_oldest(bz_pieces *p) {
    piece *pc = &p->ring[p->head];
    if (p->nworkers > 0) {
        pthread_mutex_lock(&p->lock);
        while (pc->state != kCompressed) pthread_cond_wait(&p->done, &p->lock);
        pthread_mutex_unlock(&p->lock);
    }
    int rc = pc->ok ? 0 : -1;
    for (int i = 0; rc == 0 && i < pc->nparts; i++) {
        const part &pt = pc->parts[i];
        rc = append_bits(p, reinterpret_cast<const unsigned char *>(pt.out), pt.start,
                         pt.end - pt.start);
        p->combined = bz_crc_fold(p->combined, pt.crc);
    }
    free_piece(pc);
    pthread_mutex_lock(&p->lock);
    p->head = (p->head + 1) % p->ring_size;
    p->count--;
    p->next_work--;
    pthread_mutex_unlock(&p->lock);
    return rc;
}

// Hands the piece being filled (the newest) to a worker, or compresses it here.
void submit(bz_pieces *p) {
    piece *pc = &p->ring[(p->head + p->count - 1) % p->ring_size];
    p->filling = false;
    if (p->nworkers == 0) {
        compress_piece(pc, p->level, p->piece_bytes);
        pc->state = kCompressed;
        return;
    }
    pthread_mutex_lock(&p->lock);
    pc->state = kWaiting;
    p->waiting++;
    pthread_cond_signal(&p->work);
    pthread_mutex_unlock(&p->lock);
}

}  // namespace

bz_pieces *bz_pieces_new(int level, int threads, byte_sink sink, void *ctx) {
    bz_pieces *p = new (chk_zalloc(sizeof(bz_pieces))) bz_pieces();
    p->level = level;
    p->threads = threads < 1 ? 1 : threads;
    p->sink = sink;
    p->ctx = ctx;
    p->piece_bytes = bz_piece_bytes(level);
    p->ring_size = size_t(p->threads) + kPiecesBeyondThreads;
    p->ring = static_cast<piece *>(chk_zalloc(unsigned(p->ring_size * sizeof(piece))));
    p->out = static_cast<unsigned char *>(chk_zalloc(unsigned(kJoinBuffer + 1)));
    std::memcpy(p->out, "BZh", 3);
    p->out[3] = static_cast<unsigned char>('0' + level);
    p->w = {p->out, 8 * uint64_t(kBzHeaderBytes)};
    pthread_mutex_init(&p->lock, nullptr);
    pthread_cond_init(&p->work, nullptr);
    pthread_cond_init(&p->done, nullptr);
    if (p->threads > 1) {
        p->workers = static_cast<pthread_t *>(chk_alloc(unsigned(p->threads * sizeof(pthread_t))));
        while (p->nworkers < p->threads &&
               pthread_create(&p->workers[p->nworkers], nullptr, worker_main, p) == 0)
            p->nworkers++;
    }
    return p;
}

int bz_pieces_write(bz_pieces *p, const void *data, size_t n) {
    const char *bytes = static_cast<const char *>(data);
    while (n > 0) {
        if (!p->filling) {
            if (p->count == p->ring_size && join_oldest(p) < 0) return -1;
            piece *pc = &p->ring[(p->head + p->count) % p->ring_size];
            pc->in = static_cast<char *>(chk_alloc(unsigned(p->piece_bytes)));
            pc->len = 0;
            pc->state = kFilling;
            p->filling = true;
            pthread_mutex_lock(&p->lock);
            p->count++;
            pthread_mutex_unlock(&p->lock);
        }
        piece *pc = &p->ring[(p->head + p->count - 1) % p->ring_size];
        size_t take = p->piece_bytes - pc->len < n ? p->piece_bytes - pc->len : n;
        std::memcpy(pc->in + pc->len, bytes, take);
        pc->len += take;
        bytes += take;
        n -= take;
        if (pc->len == p->piece_bytes) submit(p);
    }
    return 0;
}

int bz_pieces_finish(bz_pieces *p, uint64_t *bytes_out) {
    if (p->filling) submit(p);
    while (p->count > 0)
        if (join_oldest(p) < 0) return -1;
    if (p->w.bit + kBzMarkerAndCrcBits > 8 * uint64_t(kJoinBuffer) && flush_out(p, false) < 0)
        return -1;
    bz_put_bits(&p->w, kBzEndMarker, kBzMarkerBits);
    bz_put_bits(&p->w, p->combined, kBzCrcBits);
    if (flush_out(p, true) < 0) return -1;
    *bytes_out = p->bytes_out;
    return 0;
}

void bz_pieces_free(bz_pieces *p) {
    if (p == nullptr) return;
    pthread_mutex_lock(&p->lock);
    p->shutdown = 1;
    pthread_cond_broadcast(&p->work);
    pthread_mutex_unlock(&p->lock);
    for (int i = 0; i < p->nworkers; i++) pthread_join(p->workers[i], nullptr);
    for (size_t i = 0; i < p->ring_size; i++) free_piece(&p->ring[i]);
    pthread_mutex_destroy(&p->lock);
    pthread_cond_destroy(&p->work);
    pthread_cond_destroy(&p->done);
    chk_free(p->workers);
    chk_free(p->ring);
    chk_free(p->out);
    p->~bz_pieces();
    chk_free(p);
}

}  // namespace zn
