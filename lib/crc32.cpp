#include "lib/crc32.h"

#include "lib/byteorder.h"

namespace zn {

constexpr int kSlices = 8;  // bytes folded per step of the sliced loop

uint32_t crc32_table[256];

namespace {

// slice_table[k][i]: the register contribution of byte i followed by k zero bytes.
uint32_t slice_table[kSlices][256];
uint32_t running_register = 0xFFFFFFFFu;
// The fold crc32_fold hands its work to; settled in init_crc32 before entry 1 of crc32_table is
// published, so whoever sees the table filled sees the choice too.
enum FoldPath { kFoldSliced, kFoldClmul, kFoldClmul256 };
FoldPath fold_path = kFoldSliced;

// The acquire load pairs with the release store of entry 1 at the end of init_crc32.
inline void ensure_tables() {
    if (__atomic_load_n(&crc32_table[1], __ATOMIC_ACQUIRE) == 0) init_crc32();
}

}  // namespace

void init_crc32() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ kCrc32Polynomial : reg << 1;
        slice_table[0][i] = reg;
    }
    for (int k = 1; k < kSlices; k++)
        for (int i = 0; i < 256; i++) {
            uint32_t prev = slice_table[k - 1][i];
            slice_table[k][i] = (prev << 8) ^ slice_table[0][prev >> 24];
        }
    fold_path = crc32_have_clmul256() ? kFoldClmul256
                : crc32_have_clmul()  ? kFoldClmul
                                      : kFoldSliced;
    // Published last: a non-zero entry 1 tells the other operations that everything is ready.
    for (int i = 0; i < 256; i++)
        if (i != 1) crc32_table[i] = slice_table[0][i];
    __atomic_store_n(&crc32_table[1], slice_table[0][1], __ATOMIC_RELEASE);
}

uint32_t crc32_fold_bytewise(uint32_t reg, const void *p, size_t n) {
    ensure_tables();
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++) reg = (reg << 8) ^ crc32_table[(reg >> 24) ^ b[i]];
    return reg;
}

uint32_t crc32_fold_sliced(uint32_t reg, const void *p, size_t n) {
    ensure_tables();
    const unsigned char *b = static_cast<const unsigned char *>(p);
    // Eight bytes a step: the register meets the first four, the other four enter as plain
    // bytes, and each byte's effect on the register comes from its own table.
    while (n >= kSlices) {
        uint32_t hi = reg ^ LGET32(b);
        reg = slice_table[7][hi >> 24] ^ slice_table[6][(hi >> 16) & 0xFF] ^
              slice_table[5][(hi >> 8) & 0xFF] ^ slice_table[4][hi & 0xFF] ^ slice_table[3][b[4]] ^
              slice_table[2][b[5]] ^ slice_table[1][b[6]] ^ slice_table[0][b[7]];
        b += kSlices;
        n -= kSlices;
    }
    while (n-- > 0) reg = (reg << 8) ^ crc32_table[(reg >> 24) ^ *b++];
    return reg;
}

uint32_t crc32_fold(uint32_t reg, const void *p, size_t n) {
    ensure_tables();
    switch (fold_path) {
        case kFoldClmul256:
            return crc32_fold_clmul256(reg, p, n);
        case kFoldClmul:
            return crc32_fold_clmul(reg, p, n);
        case kFoldSliced:
            break;
    }
    return crc32_fold_sliced(reg, p, n);
}

uint32_t crc32(const void *p, int len) {
    ensure_tables();
    if (len <= 0) return 0;
    return ~crc32_fold(0xFFFFFFFFu, p, static_cast<size_t>(len));
}

uint32_t crc32_monocase(const unsigned char map[256], const void *p, int len) {
    ensure_tables();
    if (len <= 0) return 0;
    const unsigned char *b = static_cast<const unsigned char *>(p);
    uint32_t reg = 0xFFFFFFFFu;
    for (int i = 0; i < len; i++) reg = (reg << 8) ^ crc32_table[(reg >> 24) ^ map[b[i]]];
    return ~reg;
}

void crc32_set(uint32_t value) {
    running_register = value;
}

uint32_t crc32_accum(const void *p, int len) {
    ensure_tables();
    if (p == nullptr) running_register = 0xFFFFFFFFu;
    if (len > 0 && p != nullptr)
        running_register = crc32_fold(running_register, p, static_cast<size_t>(len));
    return ~running_register;
}

}  // namespace zn
