// Chunk checksum throughput on one 16 KiB chunk (and a few other sizes):
// the one-byte-per-step reference, slicing-by-16, carry-less folding, and
// memcrc as dispatched on this CPU.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include <xxhash.h>

#include "crc.h"

namespace {

typedef unsigned int (*crc_func_t)(const unsigned char*, size_t);

void run(benchmark::State& state, crc_func_t f) {
  const size_t n = (size_t)state.range(0);
  std::mt19937 gen(1);
  std::vector<unsigned char> buf(n);
  for (auto& c : buf) c = (unsigned char)gen();
  for (auto _ : state) benchmark::DoNotOptimize(f(buf.data(), n));
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)n);
}

void BM_crc_bytewise(benchmark::State& s) { run(s, memcrc_bytewise); }
void BM_crc_slice16(benchmark::State& s) { run(s, memcrc_slice16); }
void BM_crc_clmul(benchmark::State& s) {
  if (!memcrc_clmul_supported()) {
    s.SkipWithError("no PCLMULQDQ on this CPU");
    return;
  }
  run(s, memcrc_clmul);
}
void BM_crc_vclmul(benchmark::State& s) {
  if (!memcrc_vclmul_supported()) {
    s.SkipWithError("no VPCLMULQDQ with AVX2 on this CPU");
    return;
  }
  run(s, memcrc_vclmul);
}
void BM_memcrc(benchmark::State& s) { run(s, memcrc); }

BENCHMARK(BM_crc_bytewise)->Arg(16384);
BENCHMARK(BM_crc_slice16)->Arg(16384);
BENCHMARK(BM_crc_clmul)->Arg(16384)->Arg(4096)->Arg(256)->Arg(65536);
BENCHMARK(BM_crc_vclmul)->Arg(16384)->Arg(4096)->Arg(256)->Arg(65536);
BENCHMARK(BM_memcrc)->Arg(16384)->Arg(4096);

// The 32 bits of XXH3 that --fingerprint 64 adds to the checksum.
unsigned xxh3_low(const unsigned char* b, size_t n) {
  return (unsigned)XXH3_64bits(b, n);
}
void BM_xxh3(benchmark::State& s) { run(s, xxh3_low); }
BENCHMARK(BM_xxh3)->Arg(16384)->Arg(4096);

}  // namespace
