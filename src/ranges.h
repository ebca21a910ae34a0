// Ranges of the figures that are plain sample means or ratios of totals:
// the share of zero chunks and the compression ratio.
//
// The sample is a cluster sample: whole buckets of the plan are drawn at
// random without replacement, and every bucket belongs to one of
// UNSEEN_GROUPS groups by its drawing order. A figure's standard error comes
// from the delete-a-group jackknife over those groups (which sees that the
// chunks of one bucket, often of one file, are alike), with the finite
// population correction 1 - f for the share f of the plan's buckets read;
// the range is the figure +- t standard errors, t the 97.5 % point of
// Student's t with UNSEEN_GROUPS - 1 degrees of freedom (the jackknife's
// variance has that many).
//
// A sample of s buckets in which no bucket of some kind shows up still
// leaves room for about 3 / s of the unread buckets being of that kind (the
// 95 % bound of a count of which none has been seen). So every range is at
// least as wide as such a share h = min(1, 3 / s) (1 - f) of the data being
// all zero or none (for the zero share), or not compressing at all or to
// nothing (for the compression ratio). A complete read gives the figure
// exactly: low = high = value.
//
// Pure functions, no shared state.
#ifndef PELKO_RANGES_H_
#define PELKO_RANGES_H_

#include <stddef.h>

#include "unseen.h"  // UNSEEN_GROUPS

struct range_t {
  double value;  // -1: none (nothing measured)
  double low;    // -1: the sample cannot bound this side yet
  double high;
};

// The jackknife groups' totals of one figure: parts[g] of wholes[g] in the
// buckets of group g.
struct group_totals_t {
  size_t parts[UNSEEN_GROUPS];
  size_t wholes[UNSEEN_GROUPS];
};

// The share sum(parts) / sum(wholes), within [0, 1]. f: the share of the
// plan's buckets read (1: all of them); buckets: how many that is. Bounds
// are -1 while fewer than 2 * UNSEEN_GROUPS buckets have been read.
range_t share_range(const group_totals_t& t, double f, size_t buckets);

// The ratio sum(parts) / sum(wholes) of two positive totals (uncompressed
// over compressed bytes); the same rules. Value -1 when the wholes are 0.
range_t ratio_range(const group_totals_t& t, double f, size_t buckets);

// The 97.5 % point of Student's t with UNSEEN_GROUPS - 1 degrees of freedom.
extern const double JACKKNIFE_T;

#endif  // PELKO_RANGES_H_
