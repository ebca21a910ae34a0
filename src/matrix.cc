#include "matrix.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "pelko_assert.h"

namespace {

// log Γ(x) for x > 0. lgamma itself stores the sign in a process-wide
// variable, which estimates worked out at once in several threads (one
// estimator per chunk size) would write together; the reentrant form
// returns it instead where the C library has one.
double log_gamma(double x) {
#if defined(__GLIBC__)
  int sign;
  return lgamma_r(x, &sign);
#else
  return lgamma(x);
#endif
}

}  // namespace

double Matrix::s_print_accuracy = 0.0;

Matrix::Matrix() : m_width(0), m_height(0), m_data(nullptr) {}

Matrix::Matrix(size_t width, size_t height, bool zero)
    : m_width(0), m_height(0), m_data(nullptr) {
  set_dimensions(width, height, zero);
}

Matrix::Matrix(const Matrix& m) : m_width(0), m_height(0), m_data(nullptr) {
  set_dimensions(m.m_width, m.m_height, false);
  if (m_data != nullptr) {
    memcpy(m_data, m.m_data, m_width * m_height * sizeof(double));
  }
}

Matrix::~Matrix() { reset(); }

Matrix& Matrix::operator=(const Matrix& m) {
  if (this == &m) return *this;
  set_dimensions(m.m_width, m.m_height, false);
  if (m_data != nullptr) {
    memcpy(m_data, m.m_data, m_width * m_height * sizeof(double));
  }
  return *this;
}

void Matrix::set_dimensions(size_t width, size_t height, bool zero) {
  reset();
  size_t count = width * height;
  // Allocate before publishing the dimensions: a failed allocation leaves
  // the matrix empty.
  double* data = count != 0 ? new double[count] : nullptr;
  m_data = data;
  m_width = width;
  m_height = height;
  if (zero) {
    for (size_t i = 0; i < count; i++) m_data[i] = 0.0;
  }
}

void Matrix::reset() {
  delete[] m_data;
  m_data = nullptr;
  m_width = 0;
  m_height = 0;
}

double& Matrix::operator()(size_t x, size_t y) {
  PELKO_ASSERT(x < m_width && y < m_height);
  return m_data[x + y * m_width];
}

double Matrix::operator()(size_t x, size_t y) const {
  PELKO_ASSERT(x < m_width && y < m_height);
  return m_data[x + y * m_width];
}

Matrix Matrix::operator+(const Matrix& b) const {
  const Matrix& a = *this;
  PELKO_ASSERT(a.m_width == b.m_width);
  PELKO_ASSERT(a.m_height == b.m_height);
  Matrix c(a.m_width, a.m_height, false);
  for (size_t i = 0; i < a.m_width * a.m_height; i++) {
    c.m_data[i] = a.m_data[i] + b.m_data[i];
  }
  return c;
}

Matrix Matrix::operator-(const Matrix& b) const {
  const Matrix& a = *this;
  PELKO_ASSERT(a.m_width == b.m_width);
  PELKO_ASSERT(a.m_height == b.m_height);
  Matrix c(a.m_width, a.m_height, false);
  for (size_t i = 0; i < a.m_width * a.m_height; i++) {
    c.m_data[i] = a.m_data[i] - b.m_data[i];
  }
  return c;
}

Matrix Matrix::operator*(const Matrix& b) const {
  const Matrix& a = *this;
  PELKO_ASSERT(a.m_width == b.m_height);
  Matrix c(b.m_width, a.m_height, false);
  for (size_t y = 0; y < c.m_height; y++) {
    for (size_t x = 0; x < c.m_width; x++) {
      double sum = 0.0;
      for (size_t i = 0; i < a.m_width; i++) sum += a(i, y) * b(x, i);
      c(x, y) = sum;
    }
  }
  return c;
}

Matrix Matrix::transpose() const {
  Matrix t(m_height, m_width, false);
  for (size_t y = 0; y < t.m_height; y++) {
    for (size_t x = 0; x < t.m_width; x++) t(x, y) = (*this)(y, x);
  }
  return t;
}

double Matrix::norm() const {
  double sum = 0.0;
  for (size_t i = 0; i < m_width * m_height; i++) sum += fabs(m_data[i]);
  return sum;
}

void Matrix::make_identity(size_t dim) {
  set_dimensions(dim, dim, true);
  for (size_t i = 0; i < dim; i++) (*this)(i, i) = 1.0;
}

void Matrix::make_random(size_t width, size_t height, int min, int max) {
  set_dimensions(width, height, false);
  // Scaled by this C library's RAND_MAX so that every value stays within
  // [min, max]; the product is formed in double so it cannot overflow.
  for (size_t i = 0; i < width * height; i++) {
    int r = rand();
    m_data[i] = min + (static_cast<double>(max - min) * r) / RAND_MAX;
  }
}

void Matrix::make_binomial_coeff(size_t width, size_t height) {
  if (height == static_cast<size_t>(-1)) height = width;
  set_dimensions(width, height, true);
  if (height == 0) return;
  for (size_t x = 0; x < width; x++) (*this)(x, 0) = 1.0;
  for (size_t y = 1; y < height; y++) {
    for (size_t x = y; x < width; x++) {
      (*this)(x, y) = (*this)(x - 1, y) + (*this)(x - 1, y - 1);
    }
  }
}

void Matrix::make_binomial_distr(double p, size_t width, size_t height) {
  make_binomial_coeff(width, height);
  for (size_t y = 0; y < m_height; y++) {
    for (size_t x = 0; x < m_width; x++) {
      double v = (*this)(x, y);
      if (v == 0.0) continue;
      for (size_t i = 0; i < y; i++) v *= p;
      for (size_t i = 0; i < x - y; i++) v *= 1 - p;
      (*this)(x, y) = v;
    }
  }
}

void Matrix::make_binomial_tail_distr(double p, const double* trials,
                                      size_t n_trials, size_t height) {
  PELKO_ASSERT(height >= 1);
  PELKO_ASSERT(p >= 0);
  set_dimensions(n_trials, height, true);
  const size_t last = height - 1;  // the ">= last successes" row
  for (size_t x = 0; x < n_trials; x++) {
    const double t = trials[x];
    PELKO_ASSERT(t >= 0);
    double head = 0.0;  // probability of fewer than `last` successes
    if (p >= 1.0 || p == 0.0) {
      // All trials succeed, or none do.
      const double y = p >= 1.0 ? t : 0.0;
      if (y < last) {
        (*this)(x, (size_t)y) = 1.0;
        head = 1.0;
      }
    } else if (last > 0) {
      const double q = 1.0 - p;
      const double odds = p / q;
      // The most likely count, within the rows kept.
      double mode = floor((t + 1) * p);
      if (mode > t) mode = t;
      size_t y0 = mode < (double)(last - 1) ? (size_t)mode : last - 1;
      if ((double)y0 > t) y0 = (size_t)t;
      const double yd = (double)y0;
      const double log_v = log_gamma(t + 1) - log_gamma(yd + 1) -
                           log_gamma(t - yd + 1) + yd * log(p) +
                           (t - yd) * log1p(-p);
      const double v0 = exp(log_v);
      (*this)(x, y0) = v0;
      head = v0;
      // Terms below this share of the most likely one (more than about
      // eight standard deviations out) are left at 0, which keeps the
      // table's columns short.
      const double negligible = v0 * 1e-14;
      // Upwards: P(y + 1) = P(y) (t - y) / (y + 1) * p / q.
      double v = v0;
      for (size_t y = y0;
           y + 1 < last && (double)(y + 1) <= t && v > negligible; y++) {
        v *= (t - (double)y) / (double)(y + 1) * odds;
        (*this)(x, y + 1) = v;
        head += v;
      }
      // Downwards: P(y - 1) = P(y) y / (t - y + 1) * q / p.
      v = v0;
      for (size_t y = y0; y > 0 && v > negligible; y--) {
        v *= (double)y / (t - (double)y + 1) / odds;
        (*this)(x, y - 1) = v;
        head += v;
      }
    }
    const double tail = 1.0 - head;
    (*this)(x, last) = tail > 0 ? tail : 0.0;
  }
}

std::ostream& operator<<(std::ostream& os, const Matrix& m) {
  for (size_t y = 0; y < m.m_height; y++) {
    for (size_t x = 0; x < m.m_width; x++) {
      double v = m(x, y);
      if (Matrix::s_print_accuracy == 0.0 || fabs(v) >= Matrix::s_print_accuracy) {
        os << v;
      } else if (v == 0.0) {
        os << 0.0;
      } else {
        os << "~" << 0;
      }
      os << "\t";
    }
    os << std::endl;
  }
  return os;
}
