#include "ranges.h"

#include <gtest/gtest.h>

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

}  // namespace
