#include "ranges.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

group_totals_t totals(std::initializer_list<size_t> parts,
                      std::initializer_list<size_t> wholes) {
  group_totals_t t{};
  int g = 0;
  for (size_t p : parts) t.parts[g++] = p;
  g = 0;
  for (size_t w : wholes) t.wholes[g++] = w;
  return t;
}

// The share of zero chunks and the compression ratio: exact once all is
// read, unbounded on too few buckets, as wide as the groups disagree, and
// never narrower than what the buckets not seen could hide.
TEST(Ranges, SharesAndRatios) {
  const group_totals_t same = totals({10, 10, 10, 10, 10, 10, 10, 10},
                                     {100, 100, 100, 100, 100, 100, 100, 100});
  range_t r = share_range(same, 1.0, 800);
  EXPECT_DOUBLE_EQ(r.value, 0.1);
  EXPECT_DOUBLE_EQ(r.low, 0.1);
  EXPECT_DOUBLE_EQ(r.high, 0.1);

  r = share_range(same, 0.1, 15);
  EXPECT_DOUBLE_EQ(r.value, 0.1);
  EXPECT_EQ(r.low, -1.0);
  EXPECT_EQ(r.high, -1.0);

  // Groups that agree: only the floor, 3 / 800 of the unread 90 %.
  r = share_range(same, 0.1, 800);
  const double h = 3.0 / 800 * 0.9;
  EXPECT_NEAR(r.low, 0.1 * (1 - h), 1e-12);
  EXPECT_NEAR(r.high, 0.1 + 0.9 * h, 1e-12);

  // Groups that disagree: wider, and the more so the less is read.
  const group_totals_t spread = totals({2, 18, 5, 15, 8, 12, 0, 20},
                                       {100, 100, 100, 100, 100, 100, 100, 100});
  const range_t early = share_range(spread, 0.1, 800);
  const range_t late = share_range(spread, 0.8, 800);
  EXPECT_LT(early.low, r.low);
  EXPECT_GT(early.high, r.high);
  EXPECT_LT(early.low, late.low);
  EXPECT_GT(early.high, late.high);
  EXPECT_GE(early.low, 0.0);

  // No zero chunk seen: the high end still allows for some.
  r = share_range(totals({0, 0, 0, 0, 0, 0, 0, 0},
                         {100, 100, 100, 100, 100, 100, 100, 100}),
                  0.05, 400);
  EXPECT_EQ(r.low, 0.0);
  EXPECT_GT(r.high, 0.0);

  // A ratio of totals (uncompressed over compressed bytes).
  const range_t c = ratio_range(totals({200, 210, 190, 205, 195, 200, 202, 198},
                                       {100, 100, 100, 100, 100, 100, 100, 100}),
                                0.2, 2000);
  EXPECT_DOUBLE_EQ(c.value, 2.0);
  EXPECT_LT(c.low, 2.0);
  EXPECT_GT(c.high, 2.0);
  EXPECT_EQ(ratio_range(totals({}, {}), 0.5, 100).value, -1.0);
}

// A merge's chained sample: the first phase's ratio times the second's
// sizes under the first compressor over its own; its range holds the full
// ratio over many choices, is exact when both phases chose every chunk,
// and has no bounds on too few chunks.
TEST(Ranges, ChainedInAMerge) {
  const size_t n = 100000, chunk = 16384;
  std::mt19937_64 data(5);
  std::vector<size_t> y1(n), y3(n);
  double out3 = 0;
  for (size_t i = 0; i < n; i++) {
    y1[i] = 400 + data() % 15000;
    y3[i] = (size_t)((double)y1[i] * (0.93 + 0.04 * (double)(data() % 1000) / 1000));
    out3 += (double)y3[i];
  }
  const double truth = (double)(n * chunk) / out3;
  auto choose = [&](uint64_t key, double p1, double p2) {
    std::mt19937_64 gen(key);
    group_totals_t first{}, out{};
    size_t chosen1 = 0, chosen2 = 0;
    for (size_t i = 0; i < n; i++) {
      const double u = (double)(gen() >> 11) / 9007199254740992.0;
      const int g = (int)(gen() % UNSEEN_GROUPS);
      if (u >= p1) continue;
      chosen1++;
      first.parts[g] += chunk;
      first.wholes[g] += y1[i];
      if (u >= p1 * p2) continue;
      chosen2++;
      out.parts[g] += y1[i];
      out.wholes[g] += y3[i];
    }
    return chained_ratio_range(first, p1, chosen1, out, p2, chosen2);
  };
  const range_t all = choose(1, 1.0, 1.0);
  EXPECT_NEAR(all.value, truth, 1e-9 * truth);
  EXPECT_EQ(all.low, all.value);
  EXPECT_EQ(all.high, all.value);
  EXPECT_EQ(choose(1, 0.001, 0.05).low, -1.0);  // 5 chunks in the second
  int held = 0;
  double width = 0;
  for (int key = 1; key <= 100; key++) {
    const range_t r = choose((uint64_t)key, 0.05, 0.25);
    held += r.low <= truth && truth <= r.high;
    width += (r.high - r.low) / truth / 100;
  }
  EXPECT_GE(held, 90);
  // As wide as the first phase's 5,000 chunks give, not the second's
  // 1,250 alone (about 0.07).
  EXPECT_LT(width, 0.045);
}

}  // namespace
