// CRC-32 of the support library: polynomial 0x04C11DB7, most significant bit first (neither input
// nor output reflected), initial register all ones, result complemented. Check values: "123456789"
// gives 0xFC891918, "abc" 0x648CBB73, no bytes 0.
//
// The register form: a CRC register holds the value before the final complement. Folding bytes
// into a register is the same whether done in one call or in pieces, which is what the running
// form (crc32_accum) relies on. In polynomial terms, folding the bytes M (first byte's top bit the
// highest coefficient) into register r gives (r * x^(8 * length) + M * x^32) mod P.
//
// Four ways of folding give the same register on every input: a byte at a time (the definition),
// eight bytes a step through wider tables, and carry-less multiplication on 128-bit or 256-bit
// registers on x86-64 processors that have it. crc32_fold picks the fastest this machine offers;
// the others are there for tests and benchmarks.
//
// Threads: the first operation (any but crc32_set) fills the tables and decides, from the
// processor, which fold crc32_fold uses; two threads doing that at once race. Call init_crc32
// before the CRC is shared between threads. After that every operation may run concurrently,
// except crc32_set and crc32_accum, which share one running register.
#ifndef ZN_LIB_CRC32_H
#define ZN_LIB_CRC32_H

#include <cstddef>
#include <cstdint>

namespace zn {

// Entry i is the register after shifting i (in the top byte) through eight steps of the
// polynomial. Filled by init_crc32; every operation but crc32_set fills it on first use. A
// non-zero entry 1 means the table, the wider tables and the choice of fold are all in place.
extern uint32_t crc32_table[256];

// Fills crc32_table and the wider tables of the sliced fold, and decides which fold crc32_fold
// uses: crc32_fold_clmul256 where crc32_have_clmul256() holds, else crc32_fold_clmul where
// crc32_have_clmul() holds, else crc32_fold_sliced. Entry 1 of crc32_table is written last.
void init_crc32();

// Returns the CRC of len bytes at p; 0 when len <= 0.
uint32_t crc32(const void *p, int len);

// Returns the CRC of len bytes at p after each byte b has been replaced by map[b]; 0 when len <= 0.
uint32_t crc32_monocase(const unsigned char map[256], const void *p, int len);

// Sets the running register to value as it stands.
void crc32_set(uint32_t value);

// With p null, first resets the running register to all ones. Then folds len bytes at p (none when
// len <= 0) into the running register and returns its complement: the CRC of every byte folded
// since the last reset.
uint32_t crc32_accum(const void *p, int len);

// Folds n bytes into register reg and returns the new register (no complement), a byte at a time
// with crc32_table: the definition of the CRC, kept as the baseline for the fast path.
uint32_t crc32_fold_bytewise(uint32_t reg, const void *p, size_t n);

// Same result as crc32_fold_bytewise, computed by the fastest method this machine offers.
uint32_t crc32_fold(uint32_t reg, const void *p, size_t n);

// Same result as crc32_fold_bytewise, eight bytes a step through eight 256-entry tables. Works on
// every machine; the carry-less fold uses it for the bytes that do not fill a 16-byte block.
uint32_t crc32_fold_sliced(uint32_t reg, const void *p, size_t n);

// Returns whether this build runs on x86-64 and the processor has carry-less multiplication
// (PCLMULQDQ) and SSE4.1, so that crc32_fold_clmul may be called. Asks the processor; does not
// need the tables.
bool crc32_have_clmul();

// Same result as crc32_fold_bytewise: folds 64-byte steps with carry-less multiplication into
// four 128-bit lanes and hands inputs too short for that, and the last bytes, to
// crc32_fold_sliced. p needs no particular alignment.
// REQUIRES: crc32_have_clmul().
uint32_t crc32_fold_clmul(uint32_t reg, const void *p, size_t n);

// Returns whether crc32_have_clmul() holds and the processor also has AVX2 and the 256-bit
// carry-less multiplication (VPCLMULQDQ), enabled by the system, so that crc32_fold_clmul256 may
// be called.
bool crc32_have_clmul256();

// Same result as crc32_fold_bytewise: crc32_fold_clmul with four 256-bit lanes of two blocks each,
// 128 bytes a step, which doubles the multiplications per instruction. Inputs too short for that
// go to crc32_fold_clmul's 128-bit lanes or to crc32_fold_sliced. p needs no particular
// alignment.
// REQUIRES: crc32_have_clmul256().
uint32_t crc32_fold_clmul256(uint32_t reg, const void *p, size_t n);

// P without its x^32 term: bit i is the coefficient of x^i.
constexpr uint32_t kCrc32Polynomial = 0x04C11DB7;

// Returns x^k mod P, the polynomial as a 32-bit value (bit i the coefficient of x^i, x^32 left
// out). Multiplying a block by this moves it k bits further from the end of the message; the
// carry-less fold builds its constants from it at compile time. Purely arithmetic.
constexpr uint32_t crc32_xpow_mod(unsigned k) {
    uint32_t r = 1;  // x^0
    for (unsigned i = 0; i < k; i++) r = (r & 0x80000000u) ? (r << 1) ^ kCrc32Polynomial : r << 1;
    return r;
}

}  // namespace zn

#endif  // ZN_LIB_CRC32_H
