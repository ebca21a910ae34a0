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

// The ratio of a chunk sample within the buckets read (compress_sample.h):
// the totals by bucket group and by hash group (the same totals dealt two
// ways), the share p of the chunks chosen and their number. The range
// adds to the buckets' jackknife variance, times 1 - f, the hash groups',
// times f (1 - p); with p = 1 it is ratio_range's. Bounds are -1 while
// fewer than 2 * UNSEEN_GROUPS buckets, or chosen chunks, have been read.
range_t sampled_ratio_range(const group_totals_t& by_bucket,
                            const group_totals_t& by_hash, double f,
                            size_t buckets, double p, size_t chosen);

// A merge's chained sample (compress_sample.h, chain_to), whose chunks'
// buckets are not known: the first phase's chosen chunks by hash group
// (first), at share p1; of the second phase's (a share p2 of those), their
// bytes under the second compressor (out.wholes) and under the first
// (out.parts). The estimate is first's ratio times out's parts over its
// wholes; its range the hash groups' jackknife of that product, times
// 1 - p2 (the larger of the phases' finite-population factors when p2 is
// the smaller share), with room for unseen bytes in either phase. A merge
// of complete runs only: partial reads have no bounds in a merge.
range_t chained_ratio_range(const group_totals_t& first, double p1,
                            size_t chosen1, const group_totals_t& out,
                            double p2, size_t chosen2);

// A chunk sample measured beside an auxiliary figure known for every chunk
// needing compression (the stored size of the same bytes under a
// compressor measured in full): of every such chunk, its bytes and its
// auxiliary figure, by bucket group; of the chosen ones, their compressed
// bytes and auxiliary figure by bucket group, their number, and the sums
// of their compressed sizes y and auxiliary figures x squared and
// multiplied (sum_yy, sum_xy, sum_xx).
//
// A second phase (chained): the compressor of interest measured on a share
// p2 of those chosen chunks only, beside their compressed size under the
// first phase's compressor (a related one: the same codec at another
// level), which stands in as their figure. The estimate is then the first
// phase's compressed total times the second phase's compressed bytes over
// their first-phase bytes. Of the second phase's chunks: their compressed
// bytes y and first-phase bytes x by bucket group, their number, the sums
// of y and x squared and multiplied, and with a their auxiliary figure,
// its sum, its square's and its product with y (sum_a, sum_aa, sum_ya).
struct aux_totals_t {
  double all_bytes[UNSEEN_GROUPS];
  double all_aux[UNSEEN_GROUPS];
  double chosen_out[UNSEEN_GROUPS];
  double chosen_aux[UNSEEN_GROUPS];
  double chosen;
  double sum_yy, sum_xy, sum_xx;
  bool chained;
  struct phase_t {
    double out[UNSEEN_GROUPS];
    double first[UNSEEN_GROUPS];
    double chosen;
    double sum_yy, sum_xy, sum_xx;
    double sum_a, sum_ya, sum_aa;
    double p;  // the share of the first phase's chunks measured
  } second;
};

// The ratio estimate of such a sample: all bytes over
// all_aux * chosen_out / chosen_aux. The chosen chunks only measure how
// the compressor differs from the auxiliary one, so the range follows the
// spread of the compressed sizes about the auxiliary figure, not about
// their mean. Otherwise as sampled_ratio_range: the buckets' jackknife
// times 1 - f, plus f times the choice's variance, here that of a ratio
// estimate from a uniform sample of the chunks (at share p: (1 - p) times
// the residuals' variance over the chosen count, relative to the mean
// compressed size squared), which unlike a jackknife over a few groups
// has as many degrees of freedom as chunks chosen; the same unseen
// shares, the same rules for blank bounds; at p = 1 and f = 1 exact.
// Chained, the choice's variance is that of a two-phase sample: the first
// phase's, from the second phase's compressed sizes about their auxiliary
// figure over the first phase's count (what the first phase would give had
// it measured this compressor), plus (1 - p2) times the second phase's
// residuals about its line y = R2 x over its own count; the second phase
// adds its own unseen share too, and its bounds are blank below
// 2 * UNSEEN_GROUPS chunks. With p2 = 1 it is the range of the same
// chunks measured in one phase.
range_t aux_ratio_range(const aux_totals_t& t, double f, size_t buckets,
                        double p);

// The 97.5 % point of Student's t with UNSEEN_GROUPS - 1 degrees of freedom.
extern const double JACKKNIFE_T;

#endif  // PELKO_RANGES_H_
