#include "composition.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

const double kLargest = 16 * 1024 + 80;

// A data set of kinds of contents: how many, in how many buckets each, and
// what each compresses to.
struct kind_t {
  int contents;
  int buckets;
  double csize;
};

// The classes a read of share f sees (each bucket read with chance f), and
// the data set's mean compressed size.
composition_classes_t read(const std::vector<kind_t>& kinds, double f,
                           unsigned seed, double* mean) {
  std::mt19937 rng(seed);
  composition_classes_t k;
  double n = 0, bytes = 0;
  for (const kind_t& kind : kinds) {
    std::binomial_distribution<int> seen(kind.buckets, f);
    for (int i = 0; i < kind.contents; i++) {
      const int j = seen(rng);
      if (j > 0) {
        k.contents[composition_class(j)] += 1;
        k.bytes[composition_class(j)] += kind.csize;
      }
    }
    n += kind.contents;
    bytes += kind.contents * kind.csize;
  }
  *mean = bytes / n;
  return k;
}

double seen_mean(const composition_classes_t& k) {
  double n = 0, b = 0;
  for (int j = 1; j < COMPOSITION_CLASSES; j++) {
    n += k.contents[j];
    b += k.bytes[j];
  }
  return b / n;
}

std::vector<unseen_fit_t> histogram(const std::vector<kind_t>& kinds) {
  std::vector<unseen_fit_t> fit;
  for (const kind_t& kind : kinds)
    fit.push_back(unseen_fit_t{(double)kind.buckets, (double)kind.contents});
  return fit;
}

// Clones of templates beside their own rewritten chunks, and pairs: the
// contents copied often are seen first, and the factor takes the mean of
// those seen to the data set's over reads of 2 to 20 %.
TEST(Composition, TakesTheSeenMixToTheDataSets) {
  const std::vector<kind_t> farm = {
      {2000, 26, 4000}, {5000, 2, 4000}, {20000, 1, 9000}};
  for (double f : {0.02, 0.05, 0.2}) {
    for (unsigned seed = 1; seed <= 5; seed++) {
      double truth;
      const composition_classes_t k = read(farm, f, seed, &truth);
      const double seen = seen_mean(k);
      const double factor = composition_factor(histogram(farm), f, k, kLargest);
      // Without it the seen mean is 10-30 % low.
      EXPECT_LT(seen / truth, 0.9) << f;
      EXPECT_NEAR(truth / (seen / factor), 1.0, 0.04) << f << " " << seed;
    }
  }
}

// Nothing to correct: contents that compress alike whatever their copies,
// a complete read, no histogram. And a band no content seen stands for
// (unique contents at 0.1 % read) leans towards the seen mean rather than
// being made up.
TEST(Composition, LeavesWhatItCannotTell) {
  const std::vector<kind_t> alike = {{2000, 26, 5000}, {20000, 1, 5000}};
  double truth;
  composition_classes_t k = read(alike, 0.05, 7, &truth);
  EXPECT_NEAR(composition_factor(histogram(alike), 0.05, k, kLargest), 1.0, 1e-9);
  EXPECT_EQ(composition_factor(histogram(alike), 1.0, k, kLargest), 1.0);
  EXPECT_EQ(composition_factor({}, 0.05, k, kLargest), 1.0);
  EXPECT_EQ(composition_factor(histogram(alike), 0.05,
                                composition_classes_t(), kLargest),
            1.0);

  const std::vector<kind_t> farm = {{2000, 26, 4000}, {20000, 1, 9000}};
  k = composition_classes_t();
  k.contents[2] = 60;
  k.bytes[2] = 60 * 4000.0;
  k.contents[3] = 10;
  k.bytes[3] = 10 * 4100.0;
  const double factor = composition_factor(histogram(farm), 0.01, k, kLargest);
  EXPECT_GT(factor, 0.99);
  EXPECT_LT(factor, 1.01);
}

}  // namespace
