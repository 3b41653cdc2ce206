#include "package/bz_bits.h"

#include <pthread.h>

#include <cstring>

namespace zn {

namespace {

constexpr uint32_t kCrcPoly = 0x04C11DB7u;  // bzip2's CRC-32, most significant bit first
constexpr int kMarkerKinds = 2;

// The scan probes the byte pair at every fourth byte j (j, j + 1). A marker that begins at bit p
// holds that pair whole for the one probe with 0 <= 8 * j - p <= 31, at the offset d = 8 * j - p
// from its first bit. first[b] has bit kind * 32 + d set when the marker of that kind holds the
// byte b at bit offset d, second[b] when it holds b at offset d + 8: both set, for the two bytes
// of a probe, means a marker may begin at 8 * j - d.
constexpr int kProbeStep = 4;                  // bytes from one probe to the next
constexpr int kProbeOffsets = 8 * kProbeStep;  // offsets d a probe stands for
static_assert(kMarkerKinds * kProbeOffsets == 64, "a probe's candidates fill one 64-bit mask");
struct marker_table {
    uint64_t first[256];
    uint64_t second[256];
};

// Filled once, by whichever thread first needs it. pthread_once rather than a function-local
// static: the guarded static would pull the C++ runtime's locking and exception code into the
// installer's image.
marker_table marker_masks;
pthread_once_t marker_masks_once = PTHREAD_ONCE_INIT;

void fill_marker_masks() {
    const uint64_t value[kMarkerKinds] = {kBzBlockMarker, kBzEndMarker};
    for (int kind = 0; kind < kMarkerKinds; kind++)
        for (int d = 0; d < kProbeOffsets; d++) {
            uint64_t bit = uint64_t(1) << (kind * kProbeOffsets + d);
            marker_masks.first[(value[kind] >> (kBzMarkerBits - 8 - d)) & 0xFF] |= bit;
            marker_masks.second[(value[kind] >> (kBzMarkerBits - 16 - d)) & 0xFF] |= bit;
        }
}

const marker_table &markers() {
    pthread_once(&marker_masks_once, fill_marker_masks);
    return marker_masks;
}

// Writes the n low bits of value at bit position bit, keeping the bits around them.
void put_bits_at(unsigned char *buf, uint64_t bit, uint64_t value, int n) {
    while (n > 0) {
        unsigned char *p = buf + bit / 8;
        int room = 8 - int(bit % 8);
        int take = n < room ? n : room;
        unsigned piece = unsigned(value >> (n - take)) & ((1u << take) - 1);
        int shift = room - take;
        unsigned char mask = static_cast<unsigned char>(((1u << take) - 1) << shift);
        *p = static_cast<unsigned char>((*p & ~mask) | (piece << shift));
        bit += unsigned(take);
        n -= take;
    }
}

}  // namespace

bool bz_is_stream_header(const unsigned char *p) {
    return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
}

uint64_t bz_bits_get(const unsigned char *data, uint64_t bit, int n) {
    uint64_t v = 0;
    int have = 0;
    const unsigned char *p = data + bit / 8;
    int skip = int(bit % 8);
    while (have < skip + n) {
        v = (v << 8) | *p++;
        have += 8;
    }
    v >>= have - skip - n;
    return n == 64 ? v : v & ((uint64_t(1) << n) - 1);
}

void bz_bits_copy(unsigned char *dst, uint64_t dst_bit, const unsigned char *src, uint64_t src_bit,
                  uint64_t nbits) {
    if (dst_bit % 8 == 0) {
        // Whole bytes out: each is two neighbouring source bytes shifted together.
        unsigned char *out = dst + dst_bit / 8;
        const unsigned char *in = src + src_bit / 8;
        uint64_t whole = nbits / 8;
        int s = int(src_bit % 8);
        if (s == 0) {
            std::memcpy(out, in, size_t(whole));
        } else {
            // Eight bytes at a time, then the rest one by one. in[whole] holds the last bits of
            // out[whole - 1], so it is read either way.
            uint64_t k = 0;
            for (; k + 8 <= whole; k += 8) {
                uint64_t w;
                std::memcpy(&w, in + k, sizeof w);
                w = (__builtin_bswap64(w) << s) | (in[k + 8] >> (8 - s));
                w = __builtin_bswap64(w);
                std::memcpy(out + k, &w, sizeof w);
            }
            for (; k < whole; k++)
                out[k] = static_cast<unsigned char>((in[k] << s) | (in[k + 1] >> (8 - s)));
        }
        dst_bit += whole * 8;
        src_bit += whole * 8;
        nbits -= whole * 8;
    }
    while (nbits > 0) {
        int n = nbits < 32 ? int(nbits) : 32;
        put_bits_at(dst, dst_bit, bz_bits_get(src, src_bit, n), n);
        dst_bit += unsigned(n);
        src_bit += unsigned(n);
        nbits -= unsigned(n);
    }
}

int bz_find_marker(const unsigned char *data, size_t len, uint64_t from_bit, uint64_t *at,
                   int *kind) {
    const marker_table &t = markers();
    const uint64_t value[kMarkerKinds] = {kBzBlockMarker, kBzEndMarker};
    uint64_t end_bit = uint64_t(len) * 8;
    // The first probe that can stand for a marker at from_bit or later, and the probes after it:
    // candidates come out in order of position, the largest offset of a probe first.
    size_t j = size_t((from_bit + kProbeOffsets - 1) / kProbeOffsets) * kProbeStep;
    for (; j + 1 < len; j += kProbeStep) {
        uint64_t m = t.first[data[j]] & t.second[data[j + 1]];
        if (m == 0) continue;
        // Offsets of either kind, largest first: positions from the smallest.
        uint32_t offsets = uint32_t(m) | uint32_t(m >> kProbeOffsets);
        while (offsets != 0) {
            int d = 31 - __builtin_clz(offsets);
            offsets &= ~(1u << d);
            if (8 * uint64_t(j) < from_bit + uint64_t(d)) continue;  // before from_bit
            uint64_t p = 8 * uint64_t(j) - uint64_t(d);
            if (p + kBzMarkerBits > end_bit) return 0;
            uint64_t v = bz_bits_get(data, p, kBzMarkerBits);
            for (int k = 0; k < kMarkerKinds; k++) {
                if (((m >> (k * kProbeOffsets + d)) & 1) && v == value[k]) {
                    *at = p;
                    *kind = k;
                    return 1;
                }
            }
        }
    }
    return 0;
}

void bz_put_bits(bz_bit_writer *w, uint64_t value, int n) {
    put_bits_at(w->buf, w->bit, value, n);
    w->bit += unsigned(n);
}

namespace {

// The four bytes whose CRC is crc. The CRC register takes 32 message bits as if they were
// XORed into its starting value and followed by 32 zero bits, so the message is found by running
// those zero-bit steps backwards from the final register.
void bytes_with_crc(uint32_t crc, unsigned char out[4]) {
    uint32_t v = ~crc;
    for (int i = 0; i < 32; i++) {
        uint32_t top = v & 1u;
        if (top) v ^= kCrcPoly;
        v = (v >> 1) | (top << 31);
    }
    uint32_t m = 0xFFFFFFFFu ^ v;
    for (int i = 0; i < 4; i++) out[i] = static_cast<unsigned char>(m >> (24 - 8 * i));
}

// Symbols of the block's move-to-front stage.
constexpr unsigned kRunA = 0, kRunB = 1;
constexpr int kSyntheticGroups = 2;    // the fewest coding tables a block may have
constexpr int kSyntheticCodeBits = 3;  // every symbol's code length: at most 7 symbols
constexpr int kMaxSyntheticData = 5;   // four bytes, or a run of four and its count
constexpr int kMaxSyntheticSymbols = 2 * kMaxSyntheticData + 1;

}  // namespace

uint64_t bz_synthetic_block(bz_bit_writer *w, uint32_t crc, int length_mod8) {
    // 1. The content: four bytes with the CRC wanted. Four equal bytes are a run for the
    //    block's first stage, which stores them with a count byte of 0.
    unsigned char x[4];
    bytes_with_crc(crc, x);
    unsigned char d[kMaxSyntheticData] = {x[0], x[1], x[2], x[3], 0};
    int n = (x[0] == x[1] && x[1] == x[2] && x[2] == x[3]) ? 5 : 4;

    // 2. Block sorting: the rotations in order, ties by position.
    int row[kMaxSyntheticData];
    for (int i = 0; i < n; i++) row[i] = i;
    auto less = [&](int a, int b) {
        for (int k = 0; k < n; k++) {
            unsigned char ca = d[(a + k) % n], cb = d[(b + k) % n];
            if (ca != cb) return ca < cb;
        }
        return a < b;
    };
    for (int i = 1; i < n; i++)
        for (int j = i; j > 0 && less(row[j], row[j - 1]); j--) {
            int t = row[j];
            row[j] = row[j - 1];
            row[j - 1] = t;
        }
    int orig_ptr = 0;
    unsigned char last[kMaxSyntheticData];
    for (int k = 0; k < n; k++) {
        last[k] = d[(row[k] + n - 1) % n];
        if (row[k] == 0) orig_ptr = k;
    }

    // 3. Bytes in use, move-to-front and zero runs.
    bool used[256] = {};
    for (int i = 0; i < n; i++) used[d[i]] = true;
    unsigned char unseq[kMaxSyntheticData];
    int in_use = 0;
    for (int c = 0; c < 256; c++)
        if (used[c]) unseq[in_use++] = static_cast<unsigned char>(c);
    unsigned char order[kMaxSyntheticData];
    for (int i = 0; i < in_use; i++) order[i] = static_cast<unsigned char>(i);
    unsigned sym[kMaxSyntheticSymbols];
    int nsym = 0, zeros = 0;
    auto flush_zeros = [&] {
        if (zeros == 0) return;
        int z = zeros - 1;
        for (;;) {
            sym[nsym++] = (z & 1) ? kRunB : kRunA;
            if (z < 2) break;
            z = (z - 2) / 2;
        }
        zeros = 0;
    };
    for (int k = 0; k < n; k++) {
        int u = 0;
        while (unseq[u] != last[k]) u++;
        int pos = 0;
        while (order[pos] != u) pos++;
        for (int i = pos; i > 0; i--) order[i] = order[i - 1];
        order[0] = static_cast<unsigned char>(u);
        if (pos == 0) {
            zeros++;
        } else {
            flush_zeros();
            sym[nsym++] = unsigned(pos + 1);
        }
    }
    flush_zeros();
    sym[nsym++] = unsigned(in_use + 1);  // end of block
    int alpha = in_use + 2;

    unsigned ranges = 0;
    for (int c = 0; c < 256; c++)
        if (used[c]) ranges |= 1u << (15 - c / 16);
    int nranges = __builtin_popcount(ranges);

    // 4. Length: one selector is needed; each further one (a single 0 bit) lengthens the block by
    //    a bit, which sets its length modulo 8.
    uint64_t fixed = kBzMarkerBits + kBzCrcBits + 1 + 24 + 16 + 16 * uint64_t(nranges) + 3 + 15 +
                     uint64_t(kSyntheticGroups) * (5 + uint64_t(alpha)) +
                     uint64_t(kSyntheticCodeBits) * uint64_t(nsym);
    int selectors = 1 + int((uint64_t(length_mod8 & 7) + 8 - (fixed + 1) % 8) % 8);

    uint64_t start = w->bit;
    bz_put_bits(w, kBzBlockMarker, kBzMarkerBits);
    bz_put_bits(w, crc, kBzCrcBits);
    bz_put_bits(w, 0, 1);  // not randomised
    bz_put_bits(w, unsigned(orig_ptr), 24);
    bz_put_bits(w, ranges, 16);
    for (int r = 0; r < 16; r++) {
        if (!(ranges & (1u << (15 - r)))) continue;
        unsigned bits = 0;
        for (int j = 0; j < 16; j++)
            if (used[r * 16 + j]) bits |= 1u << (15 - j);
        bz_put_bits(w, bits, 16);
    }
    bz_put_bits(w, kSyntheticGroups, 3);
    bz_put_bits(w, unsigned(selectors), 15);
    for (int i = 0; i < selectors; i++) bz_put_bits(w, 0, 1);  // every selector: table 0
    for (int t = 0; t < kSyntheticGroups; t++) {
        bz_put_bits(w, kSyntheticCodeBits, 5);
        for (int i = 0; i < alpha; i++) bz_put_bits(w, 0, 1);  // same length as the one before
    }
    // Equal code lengths make the code of symbol s simply s.
    for (int i = 0; i < nsym; i++) bz_put_bits(w, sym[i], kSyntheticCodeBits);
    return w->bit - start;
}

size_t bz_stream_of_bits(unsigned char *dst, char digit, const unsigned char *src, uint64_t src_bit,
                         uint64_t nbits, uint32_t combined) {
    size_t size = bz_stream_of_bits_size(nbits);
    std::memset(dst, 0, size);
    std::memcpy(dst, "BZh", 3);
    dst[3] = static_cast<unsigned char>(digit);
    bz_bits_copy(dst, uint64_t(kBzHeaderBytes) * 8, src, src_bit, nbits);
    bz_bit_writer w = {dst, uint64_t(kBzHeaderBytes) * 8 + nbits};
    bz_put_bits(&w, kBzEndMarker, kBzMarkerBits);
    bz_put_bits(&w, combined, kBzCrcBits);
    return size;
}

}  // namespace zn
