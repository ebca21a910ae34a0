#include "composition.h"

#include <math.h>

#include <algorithm>

namespace {

// Bands of multiplicities: contents stored once, and those copied. These
// the classes always tell apart: a content stored once is seen once or
// not at all, so every class from 2 up holds copied contents only, and
// class 1's excess over them is the stored-once contents'. Finer bands of
// the copied ones (twice, a few times, many) leave the classes to tell 2
// copies from 3 and from 16 where at small shares they hold all of them
// seen once: the least squares of four such bands swung to either bound
// of a chunk's size early in reads of a model farm.
const int kBands = 2;
int band_of(double m) { return m < 1.5 ? 0 : 1; }

// A band's mean leans towards the mean of all contents seen as if one of
// them had shown it: a band that no class tells apart (none of its contents
// seen yet) takes that mean, and where the classes cannot split the bands
// (at 2 % read contents stored once and twice are both seen once) they
// share what the classes say in proportion to how much of each they hold.
// Any more and the bands the classes do pin move to make room for it: 16
// moved a farm's templates' mean by a tenth at 2 % read.
const double kPriorContents = 1;

// The chance that a content in m buckets is seen in exactly j of them at
// share f (binomial, m taken as real: the grid's multiplicities are).
double seen_chance(double m, int j, double f) {
  if ((double)j > m + 1e-9) return 0.0;
  const double lg = lgamma(m + 1) - lgamma(j + 1.0) - lgamma(m - j + 1);
  const double l = lg + j * log(f) + (m - j) * log1p(-f);
  return exp(l);
}

// Solves a x = b in place (a: n x n, row-major); false when singular.
bool solve(double* a, double* b, int n) {
  for (int c = 0; c < n; c++) {
    int p = c;
    for (int r = c + 1; r < n; r++)
      if (fabs(a[r * n + c]) > fabs(a[p * n + c])) p = r;
    if (!(fabs(a[p * n + c]) > 0)) return false;
    if (p != c) {
      for (int k = 0; k < n; k++) std::swap(a[p * n + k], a[c * n + k]);
      std::swap(b[p], b[c]);
    }
    for (int r = c + 1; r < n; r++) {
      const double q = a[r * n + c] / a[c * n + c];
      for (int k = c; k < n; k++) a[r * n + k] -= q * a[c * n + k];
      b[r] -= q * b[c];
    }
  }
  for (int c = n - 1; c >= 0; c--) {
    for (int k = c + 1; k < n; k++) b[c] -= a[c * n + k] * b[k];
    b[c] /= a[c * n + c];
  }
  return true;
}

}  // namespace

double composition_factor(const std::vector<unseen_fit_t>& fit, double f,
                          const composition_classes_t& seen, double largest) {
  if (fit.empty() || !(f > 0) || !(f < 1)) return 1.0;
  const int J = COMPOSITION_CLASSES;
  double n_seen = 0, bytes_seen = 0;
  for (int j = 1; j < J; j++) {
    if (!(seen.contents[j] > 0)) continue;
    n_seen += seen.contents[j];
    bytes_seen += seen.bytes[j];
  }
  if (!(n_seen > 0) || !(bytes_seen > 0)) return 1.0;
  const double mean_seen = bytes_seen / n_seen;

  // The data set's contents by band, and each class's contents by the band
  // they come from.
  double in_band[kBands] = {};
  std::vector<double> from(J * kBands, 0.0);
  for (const unseen_fit_t& p : fit) {
    if (!(p.distinct > 0) || !(p.multiplicity > 0)) continue;
    const int b = band_of(p.multiplicity);
    in_band[b] += p.distinct;
    double below = seen_chance(p.multiplicity, 0, f);
    for (int j = 1; j < J - 1; j++) {
      const double q = seen_chance(p.multiplicity, j, f);
      from[j * kBands + b] += p.distinct * q;
      below += q;
    }
    from[(J - 1) * kBands + b] += p.distinct * std::max(0.0, 1 - below);
  }

  // Least squares of the classes' means on the bands' means, each class
  // weighed by its contents, with the prior.
  double a[kBands * kBands] = {0}, rhs[kBands] = {0};
  for (int j = 1; j < J; j++) {
    const double n = seen.contents[j];
    if (!(n > 0)) continue;
    double w[kBands], sum = 0;
    for (int b = 0; b < kBands; b++) sum += (w[b] = from[j * kBands + b]);
    if (!(sum > 0)) continue;  // the fit has no content seen j times
    for (int b = 0; b < kBands; b++) w[b] /= sum;
    const double mean = seen.bytes[j] / n;
    for (int b = 0; b < kBands; b++) {
      rhs[b] += n * w[b] * mean;
      for (int k = 0; k < kBands; k++) a[b * kBands + k] += n * w[b] * w[k];
    }
  }
  for (int b = 0; b < kBands; b++) {
    a[b * kBands + b] += kPriorContents;
    rhs[b] += kPriorContents * mean_seen;
  }
  if (!solve(a, rhs, kBands)) return 1.0;
  double all = 0, bytes = 0;
  for (int b = 0; b < kBands; b++) {
    // A band's mean may lie beyond every class's (the classes mix the
    // bands), not beyond what a content can compress to.
    const double mean = std::min(largest, std::max(0.0, rhs[b]));
    all += in_band[b];
    bytes += in_band[b] * mean;
  }
  if (!(all > 0) || !(bytes > 0)) return 1.0;
  return mean_seen / (bytes / all);
}
