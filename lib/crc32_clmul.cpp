// The carry-less-multiplication folds of the CRC (see crc32.h for the contract).
//
// A 16-byte block read most significant byte first is a polynomial B of degree below 128. The
// register after the message M is (M * x^32) mod P, and only M mod P matters for it, so a block
// that still has D bits of message behind it can be replaced by anything congruent to B * x^D.
// Splitting B into its halves H and L (B = H * x^64 + L),
//
//     B * x^D = H * x^(D + 64) + L * x^D = H * (x^(D + 64) mod P) + L * (x^D mod P)   (mod P),
//
// two 64-by-32-bit carry-less products whose sum has degree below 96 and so fits a block again.
// The sum is added (exclusive or) to the block D bits further on: that is one fold.
//
// 1. The register r enters as r * x^(8n) = (r * x^(8n - 32)) * x^32: exclusive-or it into the
//    first four bytes and start from register 0.
// 2. Four lanes hold the blocks of each step and are folded one step forward at a time, so the
//    chains of multiplications run side by side. A 128-bit lane holds one block (64-byte steps);
//    a 256-bit lane holds two, each folded on its own (128-byte steps).
// 3. The lanes are folded into one block, then whole 16-byte blocks left over are folded in.
// 4. The one block left, a polynomial congruent to the message so far, goes through the sliced
//    fold from register 0 as 16 plain bytes, which is (block * x^32) mod P: the register. The
//    bytes that do not fill a block follow the same way.
#include <cassert>

#include "lib/crc32.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZN_CRC_HAVE_CLMUL 1
#else
#define ZN_CRC_HAVE_CLMUL 0
#endif

namespace zn {

#if ZN_CRC_HAVE_CLMUL

namespace {

constexpr int kLanes = 4;                               // accumulators folded side by side
constexpr size_t kBlockBytes = 16;                      // bytes in one 128-bit block
constexpr size_t kWideBytes = 32;                       // bytes in one 256-bit lane (two blocks)
constexpr size_t kStepBytes = kLanes * kBlockBytes;     // bytes per step with 128-bit lanes
constexpr size_t kWideStepBytes = kLanes * kWideBytes;  // bytes per step with 256-bit lanes
// Shorter inputs go through the sliced fold alone: setting up the lanes and reducing them costs
// more than the tables take for a few dozen bytes.
constexpr size_t kMinClmulBytes = 2 * kStepBytes;
constexpr size_t kMinWideBytes = 2 * kWideStepBytes;

#define ZN_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
#define ZN_CLMUL256_TARGET __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq")))

// The pair of multipliers that moves a block `bytes` bytes (D bits) on: x^(D + 64) mod P for the
// upper half, x^D mod P for the lower half.
struct FoldConstants {
    uint64_t lo;
    uint64_t hi;
};
constexpr FoldConstants fold_constants(size_t bytes) {
    return {crc32_xpow_mod(unsigned(8 * bytes)), crc32_xpow_mod(unsigned(8 * bytes + 64))};
}
constexpr FoldConstants kFoldBlock = fold_constants(kBlockBytes);
constexpr FoldConstants kFoldWide = fold_constants(kWideBytes);
constexpr FoldConstants kFoldStep = fold_constants(kStepBytes);
constexpr FoldConstants kFoldWideStep = fold_constants(kWideStepBytes);

ZN_CLMUL_TARGET inline __m128i constants_vector(FoldConstants k) {
    return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

// Reverses the 16 bytes so that the first byte in memory becomes the most significant.
ZN_CLMUL_TARGET inline __m128i byte_reverse(__m128i v) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(v, reverse);
}

ZN_CLMUL_TARGET inline __m128i load_block(const unsigned char *p) {
    return byte_reverse(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// Returns a block congruent to acc moved on by the distance of k, plus next.
ZN_CLMUL_TARGET inline __m128i fold_block(__m128i acc, __m128i k, __m128i next) {
    __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Steps 3 (from one block on) and 4: folds in the whole blocks among the n bytes at *b, advancing
// *b and *n past them, and returns the register.
ZN_CLMUL_TARGET inline uint32_t finish_blocks(__m128i acc, const unsigned char **b, size_t *n) {
    const __m128i block = constants_vector(kFoldBlock);
    while (*n >= kBlockBytes) {
        acc = fold_block(acc, block, load_block(*b));
        *b += kBlockBytes;
        *n -= kBlockBytes;
    }
    alignas(kBlockBytes) unsigned char bytes[kBlockBytes];
    _mm_store_si128(reinterpret_cast<__m128i *>(bytes), byte_reverse(acc));
    return crc32_fold_sliced(0, bytes, kBlockBytes);
}

// REQUIRES: *n >= kStepBytes. Folds the whole blocks at *b, advancing *b and *n past them, and
// returns the register.
ZN_CLMUL_TARGET uint32_t fold_blocks(uint32_t reg, const unsigned char **b, size_t *n) {
    const unsigned char *p = *b;
    size_t left = *n;
    // 1. The register goes into the top 32 bits of the first block.
    __m128i lane0 = _mm_xor_si128(load_block(p), _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
    __m128i lane1 = load_block(p + kBlockBytes);
    __m128i lane2 = load_block(p + 2 * kBlockBytes);
    __m128i lane3 = load_block(p + 3 * kBlockBytes);
    p += kStepBytes;
    left -= kStepBytes;

    // 2. Four blocks a step.
    const __m128i step = constants_vector(kFoldStep);
    while (left >= kStepBytes) {
        lane0 = fold_block(lane0, step, load_block(p));
        lane1 = fold_block(lane1, step, load_block(p + kBlockBytes));
        lane2 = fold_block(lane2, step, load_block(p + 2 * kBlockBytes));
        lane3 = fold_block(lane3, step, load_block(p + 3 * kBlockBytes));
        p += kStepBytes;
        left -= kStepBytes;
    }

    // 3. One lane into the next, then the remaining whole blocks; 4. the register.
    const __m128i block = constants_vector(kFoldBlock);
    __m128i acc = fold_block(lane0, block, lane1);
    acc = fold_block(acc, block, lane2);
    acc = fold_block(acc, block, lane3);
    uint32_t result = finish_blocks(acc, &p, &left);
    *b = p;
    *n = left;
    return result;
}

ZN_CLMUL256_TARGET inline __m256i wide_constants_vector(FoldConstants k) {
    return _mm256_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo),
                             static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

// Two blocks, each byte-reversed on its own: the first in the lower 128 bits.
ZN_CLMUL256_TARGET inline __m256i load_wide(const unsigned char *p) {
    const __m256i reverse = _mm256_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0,
                                            1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), reverse);
}

// fold_block on both blocks of acc at once.
ZN_CLMUL256_TARGET inline __m256i fold_wide(__m256i acc, __m256i k, __m256i next) {
    __m256i hi = _mm256_clmulepi64_epi128(acc, k, 0x11);
    __m256i lo = _mm256_clmulepi64_epi128(acc, k, 0x00);
    return _mm256_xor_si256(_mm256_xor_si256(hi, lo), next);
}

// fold_blocks with 256-bit lanes. REQUIRES: *n >= kWideStepBytes.
ZN_CLMUL256_TARGET uint32_t fold_wide_blocks(uint32_t reg, const unsigned char **b, size_t *n) {
    const unsigned char *p = *b;
    size_t left = *n;
    // 1. The register goes into the top 32 bits of the first block, the lower half of lane 0.
    __m256i lane0 = _mm256_xor_si256(load_wide(p),
                                     _mm256_set_epi32(0, 0, 0, 0, static_cast<int>(reg), 0, 0, 0));
    __m256i lane1 = load_wide(p + kWideBytes);
    __m256i lane2 = load_wide(p + 2 * kWideBytes);
    __m256i lane3 = load_wide(p + 3 * kWideBytes);
    p += kWideStepBytes;
    left -= kWideStepBytes;

    // 2. Eight blocks a step.
    const __m256i step = wide_constants_vector(kFoldWideStep);
    while (left >= kWideStepBytes) {
        lane0 = fold_wide(lane0, step, load_wide(p));
        lane1 = fold_wide(lane1, step, load_wide(p + kWideBytes));
        lane2 = fold_wide(lane2, step, load_wide(p + 2 * kWideBytes));
        lane3 = fold_wide(lane3, step, load_wide(p + 3 * kWideBytes));
        p += kWideStepBytes;
        left -= kWideStepBytes;
    }

    // 3. Each lane's two blocks move two blocks on into the next lane's; then the lower block of
    // the last lane into its upper one, and the remaining whole blocks.
    const __m256i wide = wide_constants_vector(kFoldWide);
    __m256i acc = fold_wide(lane0, wide, lane1);
    acc = fold_wide(acc, wide, lane2);
    acc = fold_wide(acc, wide, lane3);
    __m128i last = fold_block(_mm256_castsi256_si128(acc), constants_vector(kFoldBlock),
                              _mm256_extracti128_si256(acc, 1));
    uint32_t result = finish_blocks(last, &p, &left);
    *b = p;
    *n = left;
    return result;
}

}  // namespace

bool crc32_have_clmul() {
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool crc32_have_clmul256() {
    // AVX2 counts as present only when the system also saves the 256-bit registers on a task
    // switch (the check reads XCR0), so this covers the operating system's side too.
    return crc32_have_clmul() && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("vpclmulqdq");
}

uint32_t crc32_fold_clmul(uint32_t reg, const void *p, size_t n) {
    assert(crc32_have_clmul());
    const unsigned char *b = static_cast<const unsigned char *>(p);
    if (n >= kMinClmulBytes) reg = fold_blocks(reg, &b, &n);
    return crc32_fold_sliced(reg, b, n);
}

uint32_t crc32_fold_clmul256(uint32_t reg, const void *p, size_t n) {
    assert(crc32_have_clmul256());
    const unsigned char *b = static_cast<const unsigned char *>(p);
    if (n >= kMinWideBytes)
        reg = fold_wide_blocks(reg, &b, &n);
    else if (n >= kMinClmulBytes)
        reg = fold_blocks(reg, &b, &n);
    return crc32_fold_sliced(reg, b, n);
}

#else  // no carry-less multiplication in this build

bool crc32_have_clmul() {
    return false;
}

bool crc32_have_clmul256() {
    return false;
}

uint32_t crc32_fold_clmul(uint32_t reg, const void *p, size_t n) {
    assert(!"crc32_fold_clmul called where crc32_have_clmul() is false");
    return crc32_fold_sliced(reg, p, n);
}

uint32_t crc32_fold_clmul256(uint32_t reg, const void *p, size_t n) {
    assert(!"crc32_fold_clmul256 called where crc32_have_clmul256() is false");
    return crc32_fold_sliced(reg, p, n);
}

#endif

}  // namespace zn
