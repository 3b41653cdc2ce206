// CRC-32 of the support library: polynomial 0x04C11DB7, most significant bit first (neither input
// nor output reflected), initial register all ones, result complemented. Check values: "123456789"
// gives 0xFC891918, "abc" 0x648CBB73, no bytes 0.
//
// The register form: a CRC register holds the value before the final complement. Folding bytes
// into a register is the same whether done in one call or in pieces, which is what the running
// form (crc32_accum) relies on.
//
// Not thread-safe on first use: the tables are filled lazily by the first operation.
#ifndef ZN_LIB_CRC32_H
#define ZN_LIB_CRC32_H

#include <cstddef>
#include <cstdint>

namespace zn {

// Entry i is the register after shifting i (in the top byte) through eight steps of the
// polynomial. Filled by init_crc32; every operation but crc32_set fills it on first use.
extern uint32_t crc32_table[256];

// Fills crc32_table (and the wider tables of the fast path).
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

}  // namespace zn

#endif  // ZN_LIB_CRC32_H
