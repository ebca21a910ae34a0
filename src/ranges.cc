#include "ranges.h"

#include <math.h>

#include <algorithm>

// t(0.975) with 7 degrees of freedom.
const double JACKKNIFE_T = 2.365;

namespace {

// The share of the unread data that a sample of `buckets` of the plan's
// buckets (a share f of them) cannot rule out being of a kind it has not
// shown.
double unseen_share(double f, size_t buckets) {
  if (f >= 1.0) return 0.0;
  return std::min(1.0, 3.0 / (double)std::max<size_t>(buckets, 1)) * (1.0 - f);
}

void totals(const group_totals_t& t, double* parts, double* wholes) {
  *parts = *wholes = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    *parts += (double)t.parts[g];
    *wholes += (double)t.wholes[g];
  }
}

// The delete-a-group jackknife standard error of parts / wholes, with
// the finite population correction; -1 when a replicate has no wholes.
double jackknife_se(const group_totals_t& t, double f) {
  double parts, wholes;
  totals(t, &parts, &wholes);
  double rep[UNSEEN_GROUPS];
  double mean = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    const double w = wholes - (double)t.wholes[g];
    if (!(w > 0)) return -1.0;
    rep[g] = (parts - (double)t.parts[g]) / w;
    mean += rep[g];
  }
  mean /= UNSEEN_GROUPS;
  double ss = 0;
  for (double r : rep) ss += (r - mean) * (r - mean);
  const double var =
      ss * (UNSEEN_GROUPS - 1) / UNSEEN_GROUPS * std::max(0.0, 1.0 - f);
  return sqrt(var);
}

// share: a share within [0, 1], whose unread part may be all of the kind or
// none of it; otherwise a ratio, whose unread part may not reduce at all or
// to nothing.
range_t sample_range(const group_totals_t& t, double f, size_t buckets,
                     bool share) {
  double parts, wholes;
  totals(t, &parts, &wholes);
  range_t r{-1.0, -1.0, -1.0};
  if (!(wholes > 0)) return r;
  r.value = share ? std::min(1.0, parts / wholes) : parts / wholes;
  if (f >= 1.0) {
    r.low = r.high = r.value;
    return r;
  }
  if (buckets < 2 * (size_t)UNSEEN_GROUPS) return r;
  const double se = jackknife_se(t, f);
  if (se < 0) return r;
  const double h = unseen_share(f, buckets);
  const double half = JACKKNIFE_T * se;
  r.low = std::max(0.0, std::min(r.value - half, r.value * (1 - h)));
  if (share)
    r.high = std::min(1.0, std::max(r.value + half, r.value + (1 - r.value) * h));
  else
    r.high = h < 1 ? std::max(r.value + half, r.value / (1 - h)) : -1.0;
  return r;
}

}  // namespace

range_t share_range(const group_totals_t& t, double f, size_t buckets) {
  return sample_range(t, f, buckets, true);
}

range_t ratio_range(const group_totals_t& t, double f, size_t buckets) {
  return sample_range(t, f, buckets, false);
}
