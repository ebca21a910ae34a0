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

range_t sampled_ratio_range(const group_totals_t& by_bucket,
                            const group_totals_t& by_hash, double f,
                            size_t buckets, double p, size_t chosen) {
  if (p >= 1.0) return ratio_range(by_bucket, f, buckets);
  double parts, wholes;
  totals(by_bucket, &parts, &wholes);
  range_t r{-1.0, -1.0, -1.0};
  if (!(wholes > 0)) return r;
  r.value = parts / wholes;
  if (chosen < 2 * (size_t)UNSEEN_GROUPS) return r;
  if (f < 1.0 && buckets < 2 * (size_t)UNSEEN_GROUPS) return r;
  double var = 0;
  if (f < 1.0) {
    const double se = jackknife_se(by_bucket, f);  // (1 - f) applied
    if (se < 0) return r;
    var += se * se;
  }
  const double se_choice = jackknife_se(by_hash, 0.0);
  if (se_choice < 0) return r;
  var += se_choice * se_choice * std::min(1.0, f) * std::max(0.0, 1.0 - p);
  // What neither stage has shown: a share of the unread buckets, and of
  // the chunks not chosen in those read.
  const double h =
      std::min(1.0, unseen_share(f, buckets) +
                        std::min(1.0, f) * std::max(0.0, 1.0 - p) *
                            std::min(1.0, 3.0 / (double)chosen));
  const double half = JACKKNIFE_T * sqrt(var);
  r.low = std::max(0.0, std::min(r.value - half, r.value * (1 - h)));
  r.high = h < 1 ? std::max(r.value + half, r.value / (1 - h)) : -1.0;
  return r;
}

namespace {

double sum_of(const double* v) {
  double s = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) s += v[g];
  return s;
}

// bytes / (aux * out / chosen_aux), chained times first / out2 (the
// second phase's first-phase bytes over its own); -1 when a total is not
// positive.
double aux_ratio(double bytes, double aux, double out, double chosen_aux,
                 double out2 = 1, double first = 1) {
  if (!(aux > 0) || !(out > 0) || !(chosen_aux > 0) || !(out2 > 0) ||
      !(first > 0))
    return -1.0;
  return bytes * chosen_aux / (aux * out) * (first / out2);
}

// The residuals' sum of squares of y about y = R x, R = sum y / sum x.
double residuals(double y, double x, double yy, double xy, double xx) {
  const double r = y / x;
  return std::max(0.0, yy - 2 * r * xy + r * r * xx);
}

// The delete-a-group jackknife variance of replicates rep (no finite
// population correction).
double jackknife_var(const double* rep) {
  double mean = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) mean += rep[g];
  mean /= UNSEEN_GROUPS;
  double ss = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++)
    ss += (rep[g] - mean) * (rep[g] - mean);
  return ss * (UNSEEN_GROUPS - 1) / UNSEEN_GROUPS;
}

}  // namespace

range_t chained_ratio_range(const group_totals_t& first, double p1,
                            size_t chosen1, const group_totals_t& out,
                            double p2, size_t chosen2) {
  double parts1, wholes1, parts2, wholes2;
  totals(first, &parts1, &wholes1);
  totals(out, &parts2, &wholes2);
  auto product = [](double a, double b, double c, double d) {
    return b > 0 && d > 0 && c > 0 ? a / b * (c / d) : -1.0;
  };
  range_t r{-1.0, -1.0, -1.0};
  r.value = product(parts1, wholes1, parts2, wholes2);
  if (r.value < 0) return r;
  if (p1 >= 1.0 && p2 >= 1.0) {
    r.low = r.high = r.value;
    return r;
  }
  if (chosen1 < 2 * (size_t)UNSEEN_GROUPS || chosen2 < 2 * (size_t)UNSEEN_GROUPS)
    return r;
  double rep[UNSEEN_GROUPS];
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    rep[g] = product(parts1 - (double)first.parts[g],
                     wholes1 - (double)first.wholes[g],
                     parts2 - (double)out.parts[g],
                     wholes2 - (double)out.wholes[g]);
    if (rep[g] < 0) return r;
  }
  const double var =
      jackknife_var(rep) * std::max(0.0, 1.0 - std::min(p1, p2));
  const double h = std::min(
      1.0, std::max(0.0, 1.0 - p1) * std::min(1.0, 3.0 / (double)chosen1) +
               std::max(0.0, 1.0 - p2) * std::min(1.0, 3.0 / (double)chosen2));
  const double half = JACKKNIFE_T * sqrt(var);
  r.low = std::max(0.0, std::min(r.value - half, r.value * (1 - h)));
  r.high = h < 1 ? std::max(r.value + half, r.value / (1 - h)) : -1.0;
  return r;
}

range_t aux_ratio_range(const aux_totals_t& t, double f, size_t buckets,
                        double p) {
  const double chosen = t.chosen;
  const double bytes = sum_of(t.all_bytes), aux = sum_of(t.all_aux),
               out = sum_of(t.chosen_out), chosen_aux = sum_of(t.chosen_aux);
  const aux_totals_t::phase_t& s = t.second;
  const double out2 = t.chained ? sum_of(s.out) : 1,
               first = t.chained ? sum_of(s.first) : 1;
  range_t r{-1.0, -1.0, -1.0};
  r.value = aux_ratio(bytes, aux, out, chosen_aux, out2, first);
  if (r.value < 0) return r;
  const double p2 = t.chained ? s.p : 1.0;
  if (f >= 1.0 && p >= 1.0 && p2 >= 1.0) {
    r.low = r.high = r.value;
    return r;
  }
  if (f < 1.0 && buckets < 2 * (size_t)UNSEEN_GROUPS) return r;
  if (p < 1.0 && chosen < 2 * UNSEEN_GROUPS) return r;
  if (t.chained && s.chosen < 2 * UNSEEN_GROUPS) return r;
  double var = 0, rep[UNSEEN_GROUPS];
  if (f < 1.0) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      rep[g] = aux_ratio(bytes - t.all_bytes[g], aux - t.all_aux[g],
                         out - t.chosen_out[g], chosen_aux - t.chosen_aux[g],
                         t.chained ? out2 - s.out[g] : 1,
                         t.chained ? first - s.first[g] : 1);
      if (rep[g] < 0) return r;
    }
    var += jackknife_var(rep) * (1.0 - f);
  }
  const double q = std::min(1.0, f) * std::max(0.0, 1.0 - p);
  if (p < 1.0) {
    // The residuals about y = R x, R the chosen chunks' compressed bytes
    // over their auxiliary ones; chained, of the compressor of interest,
    // seen on the second phase's chunks, for as many chunks as the first
    // phase chose.
    const double rel =
        t.chained
            ? residuals(out2, s.sum_a, s.sum_yy, s.sum_ya, s.sum_aa) /
                  (s.chosen - 1) / chosen / ((out2 / s.chosen) * (out2 / s.chosen))
            : residuals(out, chosen_aux, t.sum_yy, t.sum_xy, t.sum_xx) /
                  (chosen - 1) / chosen / ((out / chosen) * (out / chosen));
    var += q * rel * r.value * r.value;
  }
  const double q2 = std::min(1.0, f) * std::max(0.0, 1.0 - p2);
  if (t.chained && p2 < 1.0) {
    const double mean = out2 / s.chosen;
    const double rel = residuals(out2, first, s.sum_yy, s.sum_xy, s.sum_xx) /
                       (s.chosen - 1) / s.chosen / (mean * mean);
    var += q2 * rel * r.value * r.value;
  }
  double h = unseen_share(f, buckets) + q * std::min(1.0, 3.0 / chosen);
  if (t.chained) h += q2 * std::min(1.0, 3.0 / s.chosen);
  h = std::min(1.0, h);
  const double half = JACKKNIFE_T * sqrt(var);
  r.low = std::max(0.0, std::min(r.value - half, r.value * (1 - h)));
  r.high = h < 1 ? std::max(r.value + half, r.value / (1 - h)) : -1.0;
  return r;
}
