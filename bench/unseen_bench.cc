// One dedupe estimate as the report rows make it (the ratio, its range and
// the leave-one-group-out estimates), on histograms that reach past the
// 121-entry cap, and a run's whole report schedule.
#include <benchmark/benchmark.h>

#include <random>

#include "composition.h"
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

// A report's sample: each content's sample count dealt among the groups at
// random, the histograms of the whole sample and of each group's
// complement.
struct Sample {
  DFH_ARRAY all;
  size_t all_size = 2;
  DFH_ARRAY rep[UNSEEN_GROUPS];
  size_t rep_size[UNSEEN_GROUPS];
  size_t n_distinct = 0;
  unseen_sample_t view(double chunks, double fraction, size_t buckets) const {
    unseen_sample_t s;
    s.dfh = &all;
    s.dfh_size = all_size;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      s.replicate[g] = &rep[g];
      s.replicate_size[g] = rep_size[g];
    }
    s.n_fixed = 0;
    s.fixed_occurrences = 0;
    s.n_distinct = n_distinct;
    s.chunks = chunks;
    s.fraction = fraction;
    s.n_buckets = buckets;
    return s;
  }
};

Sample deal(const std::vector<int>& counts, uint64_t seed) {
  Sample s;
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> pick(0, UNSEEN_GROUPS - 1);
  int top = 2;
  for (int k : counts) top = std::max(top, k + 1);
  s.all.assign(top, 0);
  for (auto& r : s.rep) r.assign(top, 0);
  for (auto& n : s.rep_size) n = 1;
  for (int k : counts) {
    if (k == 0) continue;
    int in[UNSEEN_GROUPS] = {0};
    for (int i = 0; i < k; i++) in[pick(rng)]++;
    s.all[k]++;
    s.all_size = std::max(s.all_size, static_cast<size_t>(k) + 1);
    s.n_distinct++;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      const int c = k - in[g];
      if (c == 0) continue;
      s.rep[g][c]++;
      s.rep_size[g] = std::max(s.rep_size[g], static_cast<size_t>(c) + 1);
    }
  }
  return s;
}

// The sample counts of make_histogram's histograms, one per content.
std::vector<int> counts_of(const DFH_ARRAY& y, size_t y_size) {
  std::vector<int> counts;
  for (size_t i = 1; i < y_size; i++) counts.insert(counts.end(), y[i], (int)i);
  return counts;
}

// Everything a report computes for dedupe: the ratio, both ends of the
// linear programs' range and the eight leave-one-group-out estimates.
// make_histogram's histogram `kind` dealt into groups, as a report has it.
struct Report {
  DFH_ARRAY y;
  size_t y_size, n;
  Sample sample;
  double fraction;
  explicit Report(int kind) {
    y = make_histogram(kind, &y_size, &n);
    sample = deal(counts_of(y, y_size), 5);
    uint64_t occ = 0;
    for (size_t i = 1; i < y_size; i++) occ += (uint64_t)y[i] * i;
    fraction = (double)occ / (double)n;
  }
  // Buckets of 64 chunks.
  unseen_sample_t view() const { return sample.view((double)n, fraction, n / 64); }
};

void BM_Estimate(benchmark::State& state) {
  const Report rep(static_cast<int>(state.range(0)));
  const unseen_sample_t s = rep.view();
  for (auto _ : state) {
    unseen_result_t e = unseen_estimate(s, 0.5, 0);
    benchmark::DoNotOptimize(e.r + e.low + e.high);
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

// A report's cost does not depend on the highest count: 10^6 distinct
// checksums seen once (10 % of the data set), with range(0) = 1 also one
// checksum seen 10^9 times (a data set of mostly zero chunks). The copy of
// the histograms a report takes and the whole estimate are timed.
void BM_HugeCount(benchmark::State& state) {
  const bool huge = state.range(0) != 0;
  const size_t top = huge ? 1000000001 : 2;
  Sample sample;
  sample.all.assign(top, 0);
  sample.all[1] = 1000000;
  if (huge) sample.all[top - 1] = 1;
  sample.all_size = top;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    sample.rep[g].assign(2, 0);
    sample.rep[g][1] = 875000;
    sample.rep_size[g] = 2;
  }
  sample.n_distinct = huge ? 1000001 : 1000000;
  const double chunks = 1e7 + (huge ? 1e10 : 0);
  for (auto _ : state) {
    Sample copy = sample;  // what a report's snapshot costs
    const unseen_sample_t s = copy.view(chunks, 0.1, (size_t)(chunks / 64));
    unseen_result_t e = unseen_estimate(s, 0.5, 0);
    benchmark::DoNotOptimize(e.r + e.low + e.high);
  }
}
BENCHMARK(BM_HugeCount)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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
  std::vector<Sample> samples;
  std::vector<double> fractions;
  std::mt19937_64 rng(3);
  for (int step = 1; step <= 100; step++) {
    std::vector<int> counts;
    for (int m : mult)
      counts.push_back(std::binomial_distribution<int>(m, step / 100.0)(rng));
    samples.push_back(deal(counts, step));
    fractions.push_back(step / 100.0);
  }
  for (auto _ : state) {
    for (size_t i = 0; i < samples.size(); i++) {
      unseen_result_t e = unseen_estimate(
          samples[i].view((double)n, fractions[i], n / 64), 0.5, 0);
      benchmark::DoNotOptimize(e.r + e.low + e.high);
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

// What a report adds for the compression ratio's composition: the factor
// from the whole fit, both ends', the eight replicates' and the drift's
// (the estimate itself is not timed), with classes of one in 16 contents.
void BM_Composition(benchmark::State& state) {
  const Report rep(static_cast<int>(state.range(0)));
  const DFH_ARRAY& y = rep.y;
  const double fraction = rep.fraction;
  const unseen_result_t e = unseen_estimate(rep.view(), 0.5, 0);
  composition_classes_t k;
  for (size_t i = 1; i < rep.y_size; i++) {
    const int j = composition_class(i);
    k.contents[j] += y[i] / 16.0;
    k.bytes[j] += y[i] / 16.0 * (1500.0 + 1000.0 * (i == 1));
  }
  for (auto _ : state) {
    double x = composition_factor(e.fit, fraction, k, 16464);
    x += composition_factor(e.fit_low, fraction, k, 16464);
    x += composition_factor(e.fit_high, fraction, k, 16464);
    for (int g = 0; g < UNSEEN_GROUPS; g++)
      x += composition_factor(e.fit_rep[g].empty() ? e.fit : e.fit_rep[g],
                              fraction * 7 / 8, k, 16464);
    x += composition_factor(e.fit, fraction, k, 16464, true);
    benchmark::DoNotOptimize(x);
  }
  state.counters["fit_points"] = (double)e.fit.size();
}
BENCHMARK(BM_Composition)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace
