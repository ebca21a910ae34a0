#include "dfh.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

TEST(Dfh, DenseHeadSparseTail) {
  DFH_ARRAY h(16, 0);
  EXPECT_EQ(h.size(), 16u);
  h.add(3, 2);
  h[5]++;
  // Far past the dense head: one map entry, however high the count.
  const size_t high = (size_t)1 << 40;
  h.resize(high + 1);
  h.add(high, 1);
  h.add(DFH_ARRAY::DENSE, 7);
  EXPECT_EQ(h[3], 2);
  EXPECT_EQ(h[5], 1);
  EXPECT_EQ(h[high], 1);
  EXPECT_EQ(h[high - 1], 0);
  EXPECT_EQ(h.sparse_entries(), 2u);
  h.add(DFH_ARRAY::DENSE, -7);  // back to 0: the map forgets it
  EXPECT_EQ(h.sparse_entries(), 1u);
  h.add(DFH_ARRAY::DENSE, 4);

  std::vector<std::pair<size_t, int64_t>> up, down;
  h.for_each(0, h.size(), [&up](size_t k, int64_t v) { up.emplace_back(k, v); });
  h.for_each_descending(0, h.size(),
                        [&down](size_t k, int64_t v) { down.emplace_back(k, v); });
  const std::vector<std::pair<size_t, int64_t>> want = {
      {3, 2}, {5, 1}, {DFH_ARRAY::DENSE, 4}, {high, 1}};
  EXPECT_EQ(up, want);
  const std::vector<std::pair<size_t, int64_t>> reversed(want.rbegin(),
                                                          want.rend());
  EXPECT_EQ(down, reversed);
  // Ranges are half open, at both ends and on both sides of the head.
  up.clear();
  h.for_each(5, DFH_ARRAY::DENSE + 1, [&up](size_t k, int64_t v) { up.emplace_back(k, v); });
  EXPECT_EQ(up, (std::vector<std::pair<size_t, int64_t>>{{5, 1}, {DFH_ARRAY::DENSE, 4}}));
  down.clear();
  h.for_each_descending(4, DFH_ARRAY::DENSE,
                        [&down](size_t k, int64_t v) { down.emplace_back(k, v); });
  EXPECT_EQ(down, (std::vector<std::pair<size_t, int64_t>>{{5, 1}}));

  // Copies are deep and compare equal; shrinking drops what lies beyond.
  DFH_ARRAY c = h;
  EXPECT_TRUE(c == h);
  c.resize(DFH_ARRAY::DENSE);
  EXPECT_EQ(c.sparse_entries(), 0u);
  EXPECT_EQ(c[5], 1);
  EXPECT_FALSE(c == h);
  EXPECT_EQ(h[high], 1);

  // 64-bit entries.
  DFH_ARRAY big = {0, 0};
  big.add(1, (int64_t)1 << 40);
  EXPECT_EQ(big[1], (int64_t)1 << 40);
}

}  // namespace
