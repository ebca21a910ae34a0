// The per-chunk costs of the Estimator on 16 KiB chunks: the zero test, one
// LZ4 compression, one dedupe map update at several map sizes, one memory
// probe (what the memory check interval saves), and whole add_chunk calls
// per estimate mask with the progress and reports out of the way.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <string.h>

#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "estimator.h"
#include "os.h"
#include "printer.h"

namespace {

const size_t CHUNK = 16384;

std::vector<unsigned char> make_chunk(bool compressible, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<unsigned char> v(CHUNK);
  for (auto& c : v) c = (unsigned char)(compressible ? gen() % 16 : gen());
  return v;
}

// A zero chunk is the worst case: every byte is compared.
void BM_zero_test(benchmark::State& state) {
  std::vector<unsigned char> zeros(CHUNK, 0), chunk(CHUNK, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(memcmp(chunk.data(), zeros.data(), CHUNK) == 0);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * CHUNK);
}
BENCHMARK(BM_zero_test);

// Arg: 1 = compressible (16 symbols), 0 = random bytes.
void BM_lz4(benchmark::State& state) {
  std::vector<unsigned char> chunk = make_chunk(state.range(0) != 0, 1);
  std::vector<char> out(LZ4_compressBound((int)CHUNK));
  for (auto _ : state)
    benchmark::DoNotOptimize(LZ4_compress_default(
        (const char*)chunk.data(), out.data(), (int)CHUNK, (int)out.size()));
  state.SetBytesProcessed((int64_t)state.iterations() * CHUNK);
}
BENCHMARK(BM_lz4)->Arg(1)->Arg(0);

// The counts of a checksum seen once, in one bucket of group 0.
Estimator::dedupe_count_t one() {
  Estimator::dedupe_count_t c = Estimator::dedupe_count_t();
  c.buckets[0] = 1;
  return c;
}

// One count in a map of range(0) entries, as the normal mode does it: half
// hits, half new entries (each new entry is removed again to keep the size).
void BM_map_update(benchmark::State& state) {
  Estimator::DEDUPE_MAP map;
  std::mt19937 gen(2);
  std::vector<unsigned int> present;
  while (map.size() < (size_t)state.range(0)) {
    unsigned int crc = gen();
    if (map.emplace(crc, one()).second) present.push_back(crc);
  }
  size_t i = 0;
  for (auto _ : state) {
    if (i++ & 1) {
      map[present[i % present.size()]].buckets[1]++;
    } else {
      unsigned int crc = gen();
      Estimator::dedupe_count_t& c = map[crc];
      benchmark::DoNotOptimize(c.buckets[0]++);
      if (c.buckets[0] == 1) map.erase(crc);
    }
  }
}
BENCHMARK(BM_map_update)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);

// Resident memory growth per distinct checksum: range(0) distinct random
// checksums counted as the normal mode does it, in ascending-key order no
// better than random. Counter bytes_per_entry is the growth of the process's
// resident set divided by the entries; the map is built once per iteration.
void BM_map_memory(benchmark::State& state) {
  const size_t n = (size_t)state.range(0);
  double per_entry = 0;
  for (auto _ : state) {
    size_t before = 0, after = 0;
    os_get_memory_usage(&before, nullptr);
    std::unique_ptr<Estimator::DEDUPE_MAP> map(new Estimator::DEDUPE_MAP);
    std::mt19937 gen(7);
    while (map->size() < n) (*map)[(unsigned int)gen()].buckets[0]++;
    os_get_memory_usage(&after, nullptr);
    per_entry = after > before ? (double)(after - before) / (double)n : 0.0;
    state.PauseTiming();
    map.reset();
    state.ResumeTiming();
  }
  state.counters["bytes_per_entry"] = per_entry;
}
BENCHMARK(BM_map_memory)
    ->Arg(10000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_memory_probe(benchmark::State& state) {
  size_t cur;
  for (auto _ : state) {
    os_get_memory_usage(&cur, nullptr);
    benchmark::DoNotOptimize(cur);
  }
}
BENCHMARK(BM_memory_probe);

struct quiet_params_t : pelko_params_t {
  explicit quiet_params_t(int mask) {
    chunk_size = CHUNK;
    bucket_size = 1 << 20;
    estimate_mask = mask;
    report_freq = 1e9;  // the first chunk's report only
    n_threads = 1;
    scan_time_limit = 0;
    scan_memory_limit = 0;
    memory_limit = (size_t)1 << 50;  // checked, never reached
    alpha = 0.5;
    debug = 0;
  }
};

time_t frozen_clock() { return 0; }

// add_chunk over a pool of 1024 distinct compressible chunks (so after the
// first round every chunk is a dedupe hit) mixed with one chunk in eight all
// zero. Arg: the estimate mask.
void BM_add_chunk(benchmark::State& state) {
  std::ostringstream sink;
  printer.set_console(&sink);
  quiet_params_t params((int)state.range(0));
  Estimator::env_t env;
  env.get_time = frozen_clock;
  Estimator e(params, env);
  std::vector<std::vector<unsigned char>> pool;
  for (unsigned i = 0; i < 1024; i++)
    pool.push_back(i % 8 == 0 ? std::vector<unsigned char>(CHUNK, 0)
                              : make_chunk(true, i));
  size_t i = 0;
  for (auto _ : state) Estimator::add_chunk(pool[i++ % pool.size()].data(), &e);
  state.SetBytesProcessed((int64_t)state.iterations() * CHUNK);
  printer.set_console(&std::cout);
}
BENCHMARK(BM_add_chunk)
    ->Arg(ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS)
    ->Arg(ESTIMATE_DEDUPE)
    ->Arg(ESTIMATE_COMPRESS);

}  // namespace
