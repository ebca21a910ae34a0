// Chunk checksum: the 32-bit CRC of the POSIX cksum utility (polynomial
// 0x04C11DB7, most significant bit first, zero initial register) over the
// data followed by the data's length, least significant byte first and
// without leading zero bytes, complemented at the end.
//
// Known answers: "" -> 0xFFFFFFFF, "abc" -> 1219131554,
// "123456789" -> 930766865 (what `cksum` prints for those bytes).
//
// All functions are pure and thread-safe; they keep no state between calls.
// A CrcShift is immutable after construction.
#ifndef PELKO_CRC_H_
#define PELKO_CRC_H_

#include <stddef.h>
#include <stdint.h>

// The checksum of the n bytes at b (b may be null when n is 0). Picks the
// fastest form this CPU supports; all forms give identical results for any
// n, including n of 2^32 or more.
unsigned int memcrc(const unsigned char* b, size_t n);

// The checksum in two steps, for a checksum combined from those of its
// parts: the CRC register after the n bytes at b, from a zero register,
// and the checksum of an input of len bytes from its register:
//   memcrc(b, n) == crc_finish(crc_register(b, n), n).
uint32_t crc_register(const unsigned char* b, size_t n);
unsigned int crc_finish(uint32_t reg, size_t len);

// The register of an input followed by `bytes` more bytes, from their two
// registers: for A followed by B of `bytes` bytes,
//   crc_register(AB) == CrcShift(bytes)(crc_register(A)) ^ crc_register(B).
// Four table lookups per call (4 KiB of tables, built by the constructor).
class CrcShift {
 public:
  explicit CrcShift(size_t bytes);
  uint32_t operator()(uint32_t reg) const {
    return m_table[0][reg & 0xFF] ^ m_table[1][(reg >> 8) & 0xFF] ^
           m_table[2][(reg >> 16) & 0xFF] ^ m_table[3][reg >> 24];
  }

 private:
  uint32_t m_table[4][256];
};

// The individual forms, for tests and benchmarks.

// One table lookup per byte: the reference.
unsigned int memcrc_bytewise(const unsigned char* b, size_t n);

// Sixteen bytes per step with sixteen 256-entry tables (16 KiB of tables).
unsigned int memcrc_slice16(const unsigned char* b, size_t n);

// Carry-less multiplication folding (PCLMULQDQ with SSSE3), 64 bytes per
// step; inputs shorter than that go through memcrc_slice16. Only call it
// when memcrc_clmul_supported() is true.
unsigned int memcrc_clmul(const unsigned char* b, size_t n);

// True when this build and this CPU can run memcrc_clmul.
bool memcrc_clmul_supported();

// The same folding on 256-bit registers (VPCLMULQDQ with AVX2), 128 bytes per
// step; inputs shorter than 256 bytes go through memcrc_clmul. Only call it
// when memcrc_vclmul_supported() is true.
unsigned int memcrc_vclmul(const unsigned char* b, size_t n);

// True when this build and this CPU can run memcrc_vclmul.
bool memcrc_vclmul_supported();

#endif  // PELKO_CRC_H_
