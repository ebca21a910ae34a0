// One dedupe estimate as the report rows make it: run_core and both range
// bounds, on histograms that reach past the 121-entry cap.
#include <benchmark/benchmark.h>

#include <random>

#include "unseen.h"

namespace {

// 0: decreasing histogram Y[i] = 100000 / i up to 299, P = 0.1.
// 1: a 10 % sample of a Zipf-like data set (content r occurs 5000 / r times).
// 2: half of a tar of text files, as a run's report sees it (few entries).
// 3: the same tar at 99 %, with a longer histogram.
DFH_ARRAY make_histogram(int kind, size_t* y_size, size_t* n) {
  DFH_ARRAY y(1024, 0);
  uint64_t s = 0;
  if (kind == 2) {
    const int counts[][2] = {{1, 34966}, {2, 271}, {3, 57}, {5, 1}, {6, 20}, {7, 6}};
    for (const auto& c : counts) y[c[0]] = c[1];
    *y_size = 8;
    *n = 71689;
    return y;
  }
  if (kind == 3) {
    const int counts[][2] = {{1, 68820}, {2, 497}, {3, 166}, {4, 28},
                             {5, 1},     {6, 16},  {7, 9},   {8, 1},
                             {12, 3},    {13, 23}, {14, 1},  {28, 1}};
    for (const auto& c : counts) y[c[0]] = c[1];
    *y_size = 29;
    *n = 71688;
    return y;
  }
  if (kind == 0) {
    for (int i = 1; i < 300; i++) {
      y[i] = 100000 / i;
      s += static_cast<uint64_t>(y[i]) * i;
    }
    *y_size = 300;
    *n = s * 10;
    return y;
  }
  std::mt19937_64 rng(1);
  *y_size = 2;
  *n = 0;
  for (int r = 1; r <= 200000; r++) {
    int m = std::max(1, 5000 / r);
    *n += m;
    int k = std::binomial_distribution<int>(m, 0.1)(rng);
    if (k == 0) continue;
    y[k]++;
    *y_size = std::max(*y_size, static_cast<size_t>(k) + 1);
  }
  return y;
}

void BM_Estimate(benchmark::State& state) {
  size_t y_size, n;
  DFH_ARRAY y = make_histogram(static_cast<int>(state.range(0)), &y_size, &n);
  for (auto _ : state) {
    Unseen u(y, y_size, n, 0);
    double r = u.run_core();
    double low = u.run_range(true, 0.5);
    double high = u.run_range(false, 0.5);
    benchmark::DoNotOptimize(r + low + high);
  }
}
BENCHMARK(BM_Estimate)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);

// A whole default report schedule: the 100 estimates of a run over the text
// tar (1.1 GiB, 71,688 chunks of 16 KiB), one at each percent of progress,
// each on the histogram of a random sample of that size. Compare its time
// with the run's CPU time (bench/perf.sh prints both).
void BM_ReportSchedule(benchmark::State& state) {
  // The tar's whole histogram: Y[k] contents occur k times.
  const int whole[][2] = {{1, 69533}, {2, 498}, {3, 166}, {4, 28},
                          {5, 1},     {6, 16},  {7, 9},   {8, 1},
                          {12, 3},    {13, 23}, {14, 1},  {28, 1}};
  std::vector<int> mult;
  size_t n = 0;
  for (const auto& c : whole) {
    mult.insert(mult.end(), c[1], c[0]);
    n += static_cast<size_t>(c[0]) * c[1];
  }
  std::vector<std::pair<DFH_ARRAY, size_t>> samples;
  std::mt19937_64 rng(3);
  for (int step = 1; step <= 100; step++) {
    DFH_ARRAY y(64, 0);
    size_t y_size = 2;
    for (int m : mult) {
      int k = std::binomial_distribution<int>(m, step / 100.0)(rng);
      if (k == 0) continue;
      y[k]++;
      y_size = std::max(y_size, static_cast<size_t>(k) + 1);
    }
    samples.emplace_back(std::move(y), y_size);
  }
  for (auto _ : state) {
    for (const auto& s : samples) {
      Unseen u(s.first, s.second, n, 0);
      double r = u.run_core();
      double low = u.run_range(true, 0.5);
      double high = u.run_range(false, 0.5);
      benchmark::DoNotOptimize(r + low + high);
    }
  }
}
BENCHMARK(BM_ReportSchedule)->Unit(benchmark::kMillisecond);

// The two range bounds alone, after one core solve.
void BM_Ranges(benchmark::State& state) {
  size_t y_size, n;
  DFH_ARRAY y = make_histogram(static_cast<int>(state.range(0)), &y_size, &n);
  for (auto _ : state) {
    state.PauseTiming();
    Unseen u(y, y_size, n, 0);
    double r = u.run_core();
    state.ResumeTiming();
    double low = u.run_range(true, 0.5);
    double high = u.run_range(false, 0.5);
    benchmark::DoNotOptimize(r + low + high);
  }
}
BENCHMARK(BM_Ranges)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace
