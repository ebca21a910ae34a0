#include "crc.h"

#include <stdint.h>
#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PELKO_CRC_X86 1
#endif

namespace {

const uint32_t POLY = 0x04C11DB7;

// TABLES.t[0] is the classic byte table: entry i is byte i shifted through
// a zero register. t[k][i] is the register after byte i followed by k zero
// bytes, which lets one step consume sixteen bytes.
struct crc_tables_t {
  uint32_t t[16][256];
};

constexpr crc_tables_t make_tables() {
  crc_tables_t r{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i << 24;
    for (int bit = 0; bit < 8; bit++)
      c = (c & 0x80000000u) ? (c << 1) ^ POLY : (c << 1);
    r.t[0][i] = c;
  }
  for (int k = 1; k < 16; k++)
    for (int i = 0; i < 256; i++) {
      uint32_t prev = r.t[k - 1][i];
      r.t[k][i] = (prev << 8) ^ r.t[0][prev >> 24];
    }
  return r;
}

constexpr crc_tables_t TABLES = make_tables();
static_assert(TABLES.t[0][0] == 0 && TABLES.t[0][1] == POLY,
              "byte table of 0x04C11DB7");

inline uint32_t step(uint32_t s, unsigned char c) {
  return (s << 8) ^ TABLES.t[0][(s >> 24) ^ c];
}

inline uint32_t update_bytewise(uint32_t s, const unsigned char* b, size_t n) {
  for (; n != 0; n--) s = step(s, *b++);
  return s;
}

inline uint32_t load_be32(const unsigned char* b) {
  return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) |
         ((uint32_t)b[2] << 8) | (uint32_t)b[3];
}

uint32_t update_slice16(uint32_t s, const unsigned char* b, size_t n) {
  const auto& t = TABLES.t;
  for (; n >= 16; n -= 16, b += 16) {
    uint32_t a = s ^ load_be32(b);
    s = t[15][a >> 24] ^ t[14][(a >> 16) & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^
        t[12][a & 0xFF] ^ t[11][b[4]] ^ t[10][b[5]] ^ t[9][b[6]] ^ t[8][b[7]] ^
        t[7][b[8]] ^ t[6][b[9]] ^ t[5][b[10]] ^ t[4][b[11]] ^ t[3][b[12]] ^
        t[2][b[13]] ^ t[1][b[14]] ^ t[0][b[15]];
  }
  return update_bytewise(s, b, n);
}

// Feeds the length, least significant byte first, and complements.
uint32_t register_slice16(const unsigned char* b, size_t n) {
  return update_slice16(0, b, n);
}

inline unsigned int finish(uint32_t s, size_t len) {
  for (; len != 0; len >>= 8) s = step(s, (unsigned char)(len & 0xFF));
  return ~s;
}

// x^k modulo the polynomial, as a 32-bit remainder.
constexpr uint32_t xpow_mod(unsigned k) {
  uint32_t r = 1;
  for (; k != 0; k--) r = (r & 0x80000000u) ? (r << 1) ^ POLY : (r << 1);
  return r;
}

}  // namespace

unsigned int memcrc_bytewise(const unsigned char* b, size_t n) {
  return finish(update_bytewise(0, b, n), n);
}

unsigned int memcrc_slice16(const unsigned char* b, size_t n) {
  return finish(update_slice16(0, b, n), n);
}

#ifdef PELKO_CRC_X86

// Folding. Sixteen input bytes, byte-reversed into one 128-bit lane, are a
// polynomial of degree < 128 whose x^127 coefficient is the first byte's top
// bit. With a zero initial register the CRC register after a prefix M is
// M * x^32 mod P, so any X congruent to M modulo P may stand in for M. A
// 128-bit accumulator X = H * x^64 + L followed by s more bits of data is
// folded forward as H * (x^(s+64) mod P) + L * (x^s mod P): two carry-less
// products of 64 x 32 bits, each below degree 95, so nothing overflows the
// lane. At the end the register is the table CRC of X's sixteen bytes, which
// avoids a Barrett reduction at the cost of one table step.
namespace {

const uint32_t K_128 = xpow_mod(128), K_192 = xpow_mod(192);
const uint32_t K_512 = xpow_mod(512), K_576 = xpow_mod(576);
const uint32_t K_1024 = xpow_mod(1024), K_1088 = xpow_mod(1088);

__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i x,
                                                            __m128i k) {
  // k holds x^(s+64) mod P in its low half and x^s mod P in its high half.
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x01),
                       _mm_clmulepi64_si128(x, k, 0x10));
}

__attribute__((target("pclmul,ssse3"))) inline __m128i load_rev(
    const unsigned char* b, __m128i rev) {
  return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)b), rev);
}

// The folding from four 16-byte accumulators x0..x3 (the last 64 bytes
// folded so far, in order) on: the rest of the data at b, n bytes of it;
// returns the register.
__attribute__((target("pclmul,ssse3"))) inline uint32_t clmul_tail(
    __m128i x0, __m128i x1, __m128i x2, __m128i x3, const unsigned char* b,
    size_t n) {
  const __m128i rev =
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i k512 = _mm_set_epi64x(K_512, K_576);
  const __m128i k128 = _mm_set_epi64x(K_128, K_192);
  for (; n >= 64; b += 64, n -= 64) {
    x0 = _mm_xor_si128(fold(x0, k512), load_rev(b, rev));
    x1 = _mm_xor_si128(fold(x1, k512), load_rev(b + 16, rev));
    x2 = _mm_xor_si128(fold(x2, k512), load_rev(b + 32, rev));
    x3 = _mm_xor_si128(fold(x3, k512), load_rev(b + 48, rev));
  }
  x1 = _mm_xor_si128(fold(x0, k128), x1);
  x2 = _mm_xor_si128(fold(x1, k128), x2);
  x3 = _mm_xor_si128(fold(x2, k128), x3);
  for (; n >= 16; b += 16, n -= 16)
    x3 = _mm_xor_si128(fold(x3, k128), load_rev(b, rev));

  unsigned char acc[16];
  _mm_storeu_si128((__m128i*)acc, _mm_shuffle_epi8(x3, rev));
  uint32_t s = update_slice16(0, acc, sizeof(acc));
  return update_bytewise(s, b, n);
}

}  // namespace

__attribute__((target("pclmul,ssse3"))) static uint32_t register_clmul(
    const unsigned char* b, size_t n) {
  if (n < 64) return update_slice16(0, b, n);
  const __m128i rev =
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return clmul_tail(load_rev(b, rev), load_rev(b + 16, rev),
                    load_rev(b + 32, rev), load_rev(b + 48, rev), b + 64,
                    n - 64);
}

unsigned int memcrc_clmul(const unsigned char* b, size_t n) {
  return finish(register_clmul(b, n), n);
}

// The same folding on 256-bit registers (two 16-byte lanes each, every lane
// folded on its own), 128 bytes per step; handed to clmul_tail for the rest.
namespace {

__attribute__((target("vpclmulqdq,avx2,pclmul,ssse3"))) inline __m256i fold256(
    __m256i x, __m256i k) {
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x01),
                          _mm256_clmulepi64_epi128(x, k, 0x10));
}

__attribute__((target("vpclmulqdq,avx2,pclmul,ssse3"))) inline __m256i
load_rev256(const unsigned char* b, __m256i rev) {
  return _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i*)b), rev);
}

}  // namespace

__attribute__((target("vpclmulqdq,avx2,pclmul,ssse3"))) static uint32_t
register_vclmul(const unsigned char* b, size_t n) {
  if (n < 256) return register_clmul(b, n);
  const __m256i rev = _mm256_broadcastsi128_si256(
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m256i k1024 = _mm256_set_epi64x(K_1024, K_1088, K_1024, K_1088);
  const __m256i k512 = _mm256_set_epi64x(K_512, K_576, K_512, K_576);

  __m256i y0 = load_rev256(b, rev), y1 = load_rev256(b + 32, rev);
  __m256i y2 = load_rev256(b + 64, rev), y3 = load_rev256(b + 96, rev);
  for (b += 128, n -= 128; n >= 128; b += 128, n -= 128) {
    y0 = _mm256_xor_si256(fold256(y0, k1024), load_rev256(b, rev));
    y1 = _mm256_xor_si256(fold256(y1, k1024), load_rev256(b + 32, rev));
    y2 = _mm256_xor_si256(fold256(y2, k1024), load_rev256(b + 64, rev));
    y3 = _mm256_xor_si256(fold256(y3, k1024), load_rev256(b + 96, rev));
  }
  // The first 64 of the last 128 bytes onto the second 64: four lanes that
  // are the 16-byte accumulators of the last 64 bytes.
  const __m256i lo = _mm256_xor_si256(fold256(y0, k512), y2);
  const __m256i hi = _mm256_xor_si256(fold256(y1, k512), y3);
  return clmul_tail(_mm256_castsi256_si128(lo), _mm256_extracti128_si256(lo, 1),
                    _mm256_castsi256_si128(hi), _mm256_extracti128_si256(hi, 1),
                    b, n);
}

unsigned int memcrc_vclmul(const unsigned char* b, size_t n) {
  return finish(register_vclmul(b, n), n);
}

bool memcrc_vclmul_supported() {
  __builtin_cpu_init();
  return memcrc_clmul_supported() && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("vpclmulqdq");
}

bool memcrc_clmul_supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

#else  // !PELKO_CRC_X86

static uint32_t register_clmul(const unsigned char* b, size_t n) {
  return update_slice16(0, b, n);
}

static uint32_t register_vclmul(const unsigned char* b, size_t n) {
  return update_slice16(0, b, n);
}

unsigned int memcrc_clmul(const unsigned char* b, size_t n) {
  return memcrc_slice16(b, n);
}

bool memcrc_clmul_supported() { return false; }

unsigned int memcrc_vclmul(const unsigned char* b, size_t n) {
  return memcrc_slice16(b, n);
}

bool memcrc_vclmul_supported() { return false; }

#endif  // PELKO_CRC_X86

unsigned int memcrc(const unsigned char* b, size_t n) {
  typedef unsigned int (*crc_func_t)(const unsigned char*, size_t);
  static const crc_func_t impl = memcrc_vclmul_supported() ? memcrc_vclmul
                                 : memcrc_clmul_supported() ? memcrc_clmul
                                                            : memcrc_slice16;
  return impl(b, n);
}

uint32_t crc_register(const unsigned char* b, size_t n) {
  typedef uint32_t (*reg_func_t)(const unsigned char*, size_t);
  static const reg_func_t impl = memcrc_vclmul_supported()  ? register_vclmul
                                 : memcrc_clmul_supported() ? register_clmul
                                                            : register_slice16;
  return impl(b, n);
}

unsigned int crc_finish(uint32_t reg, size_t len) { return finish(reg, len); }

namespace {

// a * b modulo the polynomial, both as 32-bit remainders.
uint32_t mul_mod(uint32_t a, uint32_t b) {
  uint32_t r = 0;
  for (int bit = 31; bit >= 0; bit--) {
    r = (r & 0x80000000u) ? (r << 1) ^ POLY : (r << 1);
    if ((b >> bit) & 1) r ^= a;
  }
  return r;
}

}  // namespace

CrcShift::CrcShift(size_t bytes) {
  // x^(8 bytes) modulo the polynomial, by squaring.
  uint32_t k = 1, p = xpow_mod(8);
  for (size_t e = bytes; e != 0; e >>= 1) {
    if (e & 1) k = mul_mod(k, p);
    p = mul_mod(p, p);
  }
  for (int j = 0; j < 4; j++) {
    const uint32_t kj = mul_mod(k, xpow_mod(8 * j));
    for (uint32_t v = 0; v < 256; v++) m_table[j][v] = mul_mod(v, kj);
  }
}
