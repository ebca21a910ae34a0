#include "composition.h"

#include <math.h>

#include <algorithm>

namespace {

// What a content compresses to, as a function of its multiplicity m: one
// mean for the contents stored once, and for the copied ones one mean, or
// with `drift` a mean that drifts with log m (c1 + c2 log m). The classes
// always tell the stored-once contents from the rest: such a content is
// seen once or not at all, so every class from 2 up holds copied contents
// only, and class 1's excess over them is the stored-once contents'. But
// at small shares class 1 holds contents copied a few times too, which
// the higher classes (contents seen in many buckets) speak for only under
// a model: one mean (a model clone farm, whose copies are all of the
// templates, was within 0.5 % from 5 % read; with the drift 1-2.5 % off)
// or the drift (a model backup chain, files copied from 2 to 30 times, was
// 4-6 % off at 2-10 % read with one mean, within 1 % with the drift). The
// estimator takes the first and lets its range reach the second. Finer
// terms (a mean per band of copies) leave the classes to tell 2 copies
// from 3 and from 16 where at small shares they hold all of them seen
// once: the least squares of four such bands swung to either bound of a
// chunk's size early in reads of a model farm.
const int kTerms = 3;
void terms_of(double m, bool drift, double* phi) {
  const bool once = m < 1.5;
  phi[0] = once ? 1.0 : 0.0;
  phi[1] = once ? 0.0 : 1.0;
  phi[2] = once || !drift ? 0.0 : log(m / 2);
}

// The terms lean towards the mean of all contents seen (the drift towards
// none) as if one content had shown it: a term that no class tells apart
// (no content stored once seen yet) takes that mean. Any more and the
// terms the classes do pin move to make room for it: a prior of 16 moved a
// model farm's template mean by a tenth at 2 % read.
const double kPriorContents = 1;

// The chances that a content in m buckets is seen in exactly j of them at
// share f, j = 0 .. n - 1 (binomial, m taken as real: the grid's
// multiplicities are), on the log scale step by step.
void seen_chances(double m, double f, int n, double* out) {
  double l = m * log1p(-f);
  const double odds = log(f) - log1p(-f);
  out[0] = exp(l);
  for (int j = 1; j < n; j++) {
    if ((double)j > m + 1e-9) {
      out[j] = 0.0;
      continue;
    }
    l += log((m - j + 1) / j) + odds;
    out[j] = exp(l);
  }
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
                          const composition_classes_t& seen, double largest,
                          bool drift) {
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

  // Each class's contents by the terms of those they come from, over the
  // class's expected contents.
  std::vector<double> from(J * kTerms, 0.0), expected(J, 0.0);
  for (const unseen_fit_t& p : fit) {
    if (!(p.distinct > 0) || !(p.multiplicity > 0)) continue;
    double phi[kTerms];
    terms_of(p.multiplicity, drift, phi);
    double chance[COMPOSITION_CLASSES];
    seen_chances(p.multiplicity, f, J - 1, chance);
    double below = 0;
    for (int j = 0; j < J - 1; j++) below += chance[j];
    for (int j = 1; j < J; j++) {
      const double q = j < J - 1 ? chance[j] : std::max(0.0, 1 - below);
      expected[j] += p.distinct * q;
      for (int k = 0; k < kTerms; k++)
        from[j * kTerms + k] += p.distinct * q * phi[k];
    }
  }

  // Least squares of the classes' means on the terms, each class weighed
  // by its contents, with the prior: the means lean towards the mean of
  // all seen, the drift towards none.
  double a[kTerms * kTerms] = {0}, rhs[kTerms] = {0};
  for (int j = 1; j < J; j++) {
    const double n = seen.contents[j];
    if (!(n > 0) || !(expected[j] > 0)) continue;  // the fit has none there
    double w[kTerms];
    for (int k = 0; k < kTerms; k++) w[k] = from[j * kTerms + k] / expected[j];
    const double mean = seen.bytes[j] / n;
    for (int b = 0; b < kTerms; b++) {
      rhs[b] += n * w[b] * mean;
      for (int k = 0; k < kTerms; k++) a[b * kTerms + k] += n * w[b] * w[k];
    }
  }
  for (int b = 0; b < kTerms; b++) {
    a[b * kTerms + b] += kPriorContents;
    if (b < 2) rhs[b] += kPriorContents * mean_seen;
  }
  if (!solve(a, rhs, kTerms)) return 1.0;
  double all = 0, bytes = 0;
  for (const unseen_fit_t& p : fit) {
    if (!(p.distinct > 0) || !(p.multiplicity > 0)) continue;
    double phi[kTerms], mean = 0;
    terms_of(p.multiplicity, drift, phi);
    for (int k = 0; k < kTerms; k++) mean += rhs[k] * phi[k];
    // A mean may lie beyond every class's (the classes mix the terms), not
    // beyond what a content can compress to.
    mean = std::min(largest, std::max(0.0, mean));
    all += p.distinct;
    bytes += p.distinct * mean;
  }
  if (!(all > 0) || !(bytes > 0)) return 1.0;
  return mean_seen / (bytes / all);
}
