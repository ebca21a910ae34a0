// Small dense matrix of doubles, and the binomial tables of the Unseen
// estimator.
//
// Element (x, y) is column x, row y; storage is row after row, element (x, y)
// at x + y * width. A matrix owns its storage alone. Not thread-safe; the one
// shared datum is the print threshold set by set_print_accuracy().
#ifndef PELKO_MATRIX_H_
#define PELKO_MATRIX_H_

#include <stddef.h>

#include <ostream>

class Matrix {
 public:
  Matrix();
  // set_dimensions(width, height, zero) on an empty matrix.
  Matrix(size_t width, size_t height, bool zero);
  Matrix(const Matrix& m);
  virtual ~Matrix();

  Matrix& operator=(const Matrix& m);

  // Frees the old storage, then allocates width * height elements, all 0.0
  // when zero is true, unspecified otherwise. On allocation failure the
  // exception propagates and the matrix is left empty.
  void set_dimensions(size_t width, size_t height, bool zero);
  // Frees the storage; the matrix becomes 0 x 0.
  void reset();

  size_t get_width() const { return m_width; }
  size_t get_height() const { return m_height; }

  // Element in column x, row y. Asserts x < width and y < height.
  double& operator()(size_t x, size_t y);
  double operator()(size_t x, size_t y) const;

  // Element-wise sum and difference; both operands must have equal
  // dimensions.
  Matrix operator+(const Matrix& b) const;
  Matrix operator-(const Matrix& b) const;
  // Matrix product; this->width must equal b.height. The result is
  // b.width wide and this->height high.
  Matrix operator*(const Matrix& b) const;

  Matrix transpose() const;
  // Sum of the absolute values of all elements.
  double norm() const;

  void make_identity(size_t dim);
  // Elements uniformly in [min, max], from the C library's rand().
  void make_random(size_t width, size_t height, int min, int max);

  // Table of binomial coefficients: (x, y) = C(x, y) for x >= y, 0 for
  // x < y (x trials, y successes). height (size_t)-1 means height = width.
  // Rows from y = width onward, if any, are all zero.
  void make_binomial_coeff(size_t width, size_t height);
  // Binomial probabilities: (x, y) = C(x, y) p^y (1-p)^(x-y), 0 where y > x.
  // Powers are formed by repeated multiplication, so tiny values underflow
  // gradually to 0. height (size_t)-1 means height = width.
  void make_binomial_distr(double p, size_t width, size_t height);
  // Binomial probabilities for trial counts of any size: column x is
  // trials[x] trials, row y < height - 1 the probability of exactly y
  // successes, C(t, y) p^y (1-p)^(t-y), and the last row the probability of
  // height - 1 successes or more. Each column is evaluated in log space
  // (lgamma) at its most likely row and extended outwards by the ratio of
  // neighbouring terms, so neither C(t, y) nor the powers overflow or
  // underflow before the probability itself does. 0 <= p <= 1 (p of 1 or
  // more counts as 1); height >= 1.
  void make_binomial_tail_distr(double p, const double* trials,
                                size_t n_trials, size_t height);

  // Elements of magnitude below a (when a > 0) print as "~0"; 0 prints all.
  static void set_print_accuracy(double a) { s_print_accuracy = a; }

  // Row by row, each element followed by "\t", each row by std::endl.
  friend std::ostream& operator<<(std::ostream& os, const Matrix& m);

 private:
  size_t m_width;
  size_t m_height;
  double* m_data;

  static double s_print_accuracy;
};

#endif  // PELKO_MATRIX_H_
