#include "matrix.h"

#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <sstream>
#include <vector>

namespace {

void expect_rows(const Matrix& m, const std::vector<std::vector<double>>& rows) {
  ASSERT_EQ(m.get_height(), rows.size());
  for (size_t y = 0; y < rows.size(); y++) {
    ASSERT_EQ(m.get_width(), rows[y].size());
    for (size_t x = 0; x < rows[y].size(); x++) {
      EXPECT_DOUBLE_EQ(m(x, y), rows[y][x]) << "x=" << x << " y=" << y;
    }
  }
}

TEST(Matrix, BinomialCoefficients) {
  Matrix m;
  m.make_binomial_coeff(4, static_cast<size_t>(-1));
  expect_rows(m, {{1, 1, 1, 1}, {0, 1, 2, 3}, {0, 0, 1, 3}, {0, 0, 0, 1}});

  // Height above width: the extra rows stay zero.
  m.make_binomial_coeff(3, 5);
  expect_rows(m, {{1, 1, 1}, {0, 1, 2}, {0, 0, 1}, {0, 0, 0}, {0, 0, 0}});

  // The largest value the estimator needs.
  m.make_binomial_coeff(121, static_cast<size_t>(-1));
  EXPECT_NEAR(m(120, 60) / 9.6614908840363322e34, 1.0, 1e-12);
  EXPECT_EQ(m(120, 120), 1.0);
  EXPECT_EQ(m(119, 120), 0.0);

  m.make_binomial_coeff(0, static_cast<size_t>(-1));
  EXPECT_EQ(m.get_width(), 0u);
  EXPECT_EQ(m.get_height(), 0u);
}

TEST(Matrix, BinomialDistribution) {
  Matrix m;
  m.make_binomial_distr(0.5, 3, static_cast<size_t>(-1));
  expect_rows(m, {{1, 0.5, 0.25}, {0, 0.5, 0.5}, {0, 0, 0.25}});

  m.make_binomial_distr(0.0, 4, static_cast<size_t>(-1));
  expect_rows(m, {{1, 1, 1, 1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});

  m.make_binomial_distr(1.0, 4, static_cast<size_t>(-1));
  expect_rows(m, {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}});

  m.make_binomial_distr(0.25, 2, 4);
  expect_rows(m, {{1, 0.75}, {0, 0.25}, {0, 0}, {0, 0}});

  // Every column is a distribution over the number of successes.
  m.make_binomial_distr(0.1, 121, static_cast<size_t>(-1));
  for (size_t x = 0; x < 121; x++) {
    double sum = 0;
    for (size_t y = 0; y < 121; y++) sum += m(x, y);
    EXPECT_NEAR(sum, 1.0, 1e-12) << x;
  }
  // Powers by repeated multiplication: 0.1^120 is tiny but not zero.
  EXPECT_GT(m(120, 120), 0.0);
  EXPECT_NEAR(m(120, 120) / 1e-120, 1.0, 1e-10);
}

TEST(Matrix, Arithmetic) {
  Matrix a(2, 3, true);  // 2 wide, 3 high
  for (size_t y = 0; y < 3; y++)
    for (size_t x = 0; x < 2; x++) a(x, y) = static_cast<double>(1 + x + 2 * y);
  // a = [1 2; 3 4; 5 6]
  Matrix t = a.transpose();
  expect_rows(t, {{1, 3, 5}, {2, 4, 6}});
  expect_rows(a * t, {{5, 11, 17}, {11, 25, 39}, {17, 39, 61}});
  expect_rows(t * a, {{35, 44}, {44, 56}});
  expect_rows(a + a, {{2, 4}, {6, 8}, {10, 12}});
  expect_rows(a - a, {{0, 0}, {0, 0}, {0, 0}});
  EXPECT_EQ((a - a - a).norm(), 21.0);

  Matrix id;
  id.make_identity(2);
  expect_rows(a * id, {{1, 2}, {3, 4}, {5, 6}});

  Matrix c(a);
  Matrix d;
  d = c;
  d = d;  // self-assignment keeps the elements
  c(0, 0) = 100;  // copies are deep
  expect_rows(d, {{1, 2}, {3, 4}, {5, 6}});

  d.set_dimensions(4, 1, true);
  expect_rows(d, {{0, 0, 0, 0}});
  d.reset();
  EXPECT_EQ(d.get_width() + d.get_height(), 0u);

  Matrix r;
  r.make_random(10, 10, -3, 7);
  for (size_t y = 0; y < 10; y++)
    for (size_t x = 0; x < 10; x++) {
      EXPECT_GE(r(x, y), -3.0);
      EXPECT_LE(r(x, y), 7.0);
    }
}

TEST(Matrix, Print) {
  Matrix m(3, 2, true);
  m(0, 0) = 1.5;
  m(1, 0) = 1e-9;
  m(2, 1) = -2;
  std::ostringstream all;
  all << m;
  EXPECT_EQ(all.str(), "1.5\t1e-09\t0\t\n0\t0\t-2\t\n");

  Matrix::set_print_accuracy(1e-6);
  std::ostringstream rounded;
  rounded << m;
  Matrix::set_print_accuracy(0.0);
  EXPECT_EQ(rounded.str(), "1.5\t~0\t0\t\n0\t0\t-2\t\n");
}

}  // namespace

namespace {

TEST(Matrix, BinomialTailTable) {
  // Small trial counts: the square table's values, and the last row holds
  // the rest of each column's probability.
  const double p = 0.3;
  Matrix square;
  square.make_binomial_distr(p, 12, (size_t)-1);
  std::vector<double> trials;
  for (int t = 0; t < 12; t++) trials.push_back(t);
  Matrix tail;
  tail.make_binomial_tail_distr(p, trials.data(), trials.size(), 6);
  ASSERT_EQ(tail.get_width(), 12u);
  ASSERT_EQ(tail.get_height(), 6u);
  for (size_t x = 0; x < 12; x++) {
    double rest = 1.0;
    for (size_t y = 0; y < 5; y++) {
      EXPECT_NEAR(tail(x, y), square(x, y), 1e-12) << x << " " << y;
      rest -= square(x, y);
    }
    EXPECT_NEAR(tail(x, 5), std::max(0.0, rest), 1e-12) << x;
  }
  // Trial counts far past what repeated multiplication or C(t, y) can
  // reach: finite, and each column sums to 1.
  const double big[] = {1e3, 1e6, 1e9};
  tail.make_binomial_tail_distr(1e-4, big, 3, 121);
  for (size_t x = 0; x < 3; x++) {
    double sum = 0;
    for (size_t y = 0; y < 121; y++) {
      ASSERT_TRUE(std::isfinite(tail(x, y))) << x << " " << y;
      ASSERT_GE(tail(x, y), 0.0);
      sum += tail(x, y);
    }
    EXPECT_NEAR(sum, 1.0, 1e-9) << x;
  }
  EXPECT_NEAR(tail(0, 0), exp(1e3 * log1p(-1e-4)), 1e-12);  // (1-p)^t
  EXPECT_NEAR(tail(2, 120), 1.0, 1e-12);  // 10^5 successes expected
  // p = 1: every trial succeeds; p = 0: none does.
  const double few[] = {0, 2, 7};
  tail.make_binomial_tail_distr(1.0, few, 3, 4);
  EXPECT_EQ(tail(0, 0), 1.0);
  EXPECT_EQ(tail(1, 2), 1.0);
  EXPECT_EQ(tail(2, 3), 1.0);
  tail.make_binomial_tail_distr(0.0, few, 3, 4);
  for (size_t x = 0; x < 3; x++) EXPECT_EQ(tail(x, 0), 1.0);
}

}  // namespace
