// Scan phase and sample reader on a real tree, for bench/perf.sh.
//
//   PELKO_BENCH_DIR=<tree> PELKO_BENCH_CHUNK=4096 scan_reader_bench
//
// BM_Scan: Sampler::scan() over the tree (walk, probe, plan).
// BM_Read: Sampler::read() of the whole plan with a no-op callback; the scan
// that builds the plan is not timed. Argument: the thread count.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <iostream>
#include <ostream>
#include <string>

#include "options.h"
#include "printer.h"
#include "sampler.h"
#include "types.h"

namespace {

struct BenchParams : pelko_params_t {
  explicit BenchParams(int threads) {
    const char* chunk = getenv("PELKO_BENCH_CHUNK");
    chunk_size = chunk ? (size_t)atol(chunk) : 16 * ONE_KB;
    bucket_size = ONE_MB;
    estimate_mask = ESTIMATE_DEDUPE | ESTIMATE_COMPRESS;
    report_freq = 0.01;
    n_threads = threads;
    scan_time_limit = 0;
    scan_memory_limit = 0;
    memory_limit = 0;
    alpha = 0;
    debug = 0;
    root.path = getenv("PELKO_BENCH_DIR");
    root.dev_type = DEVTYPE_DIRECTORY;
    root.fs_size = INVALID_SIZE_T;
    root.fs_n_files = INVALID_SIZE_T;
    roots.push_back(&root);
  }
  root_t root;
};

// Scan output (progress lines) goes nowhere.
std::ostream g_null(nullptr);

void BM_Scan(benchmark::State& state) {
  if (!getenv("PELKO_BENCH_DIR")) {
    state.SkipWithError("set PELKO_BENCH_DIR");
    return;
  }
  printer.set_console(&g_null);
  size_t chunks = 0;
  for (auto _ : state) {
    BenchParams p((int)state.range(0));
    Sampler s(p);
    s.scan();
    chunks = s.get_total_chunks();
  }
  state.counters["chunks"] = (double)chunks;
  printer.set_console(&std::cout);
}

void noop(const unsigned char* chunk, size_t, void*) { benchmark::DoNotOptimize(chunk); }

void BM_Read(benchmark::State& state) {
  if (!getenv("PELKO_BENCH_DIR")) {
    state.SkipWithError("set PELKO_BENCH_DIR");
    return;
  }
  printer.set_console(&g_null);
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BenchParams p((int)state.range(0));
    Sampler s(p);
    s.scan();
    bytes += s.get_total_chunks() * p.chunk_size;
    state.ResumeTiming();
    s.read(noop, nullptr);
  }
  state.SetBytesProcessed((int64_t)bytes);
  printer.set_console(&std::cout);
}

// Single runs, repeated: the script takes the best one, as it does for the
// shell commands it compares with.
BENCHMARK(BM_Scan)->Arg(1)->Arg(2)->Arg(4)->Iterations(1)->Repetitions(5)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)->Arg(1)->Arg(2)->Arg(4)->Iterations(1)->Repetitions(5)
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
