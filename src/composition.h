// Which distinct contents a partial read has seen, and what that does to a
// figure averaged over them: the compression ratio, each distinct content
// compressed once.
//
// A content copied into many buckets is seen early; one in a single bucket
// only as often as the share read. At 5 % of a clone farm about nine in ten
// of the distinct contents seen are the templates', though most of the data
// set's distinct contents are the clones' own rewritten chunks: the mean
// over the contents seen leans towards the often copied ones, by as much as
// they compress differently (2 % on a model farm, where the range was a
// quarter of that wide).
//
// The dedupe estimate's fitted histogram says how many distinct contents
// the data set holds at each multiplicity m, and so, for the contents seen
// in exactly j buckets, which multiplicities they come from (each m seen j
// times with the binomial chance of j in m at the share read). A mean
// compressed size by multiplicity (one for the contents stored once, one
// drifting with log m for the copied ones) is fitted by least squares to
// the means of the classes seen, j = 1, 2, ...; weighing it by the data
// set's contents gives the mean over all of them (composition.cc says why
// these terms).
//
// Pure functions, no shared state.
#ifndef PELKO_COMPOSITION_H_
#define PELKO_COMPOSITION_H_

#include <vector>

#include "unseen.h"

// Classes of the contents seen: index j (1 .. COMPOSITION_CLASSES - 1)
// for those seen in exactly j buckets, the last for those seen in as many
// or more (all but certain to be seen at any share that matters); 0 unused.
const int COMPOSITION_CLASSES = 64;

struct composition_classes_t {
  double contents[COMPOSITION_CLASSES] = {};  // distinct contents in it
  double bytes[COMPOSITION_CLASSES] = {};     // their compressed bytes
};

// The class of a content seen in `buckets` buckets.
inline int composition_class(unsigned long long buckets) {
  return buckets < (unsigned long long)COMPOSITION_CLASSES
             ? (int)buckets
             : COMPOSITION_CLASSES - 1;
}

// The factor that takes the compression ratio of the contents seen to that
// of all the data set's distinct contents: the seen contents' mean
// compressed size over the data set's, as the fitted histogram `fit` (of
// the multiplicities the classes count, in buckets) and the classes `seen`
// at share f of the buckets give it. 1 where nothing tells (no fit, no
// class, f outside (0, 1)). A term seen in few contents leans towards the
// mean of all seen (a prior worth one content), and a mean stays within
// 0 .. largest (the most a content's compressed size can be).
// drift: the copied contents' mean drifts with log m; otherwise one mean
// for them all. Neither can be told from the other by the classes where
// contents stored once and those copied a few times are all seen once
// (composition.cc): a model backup chain follows the first, a model clone
// farm the second.
double composition_factor(const std::vector<unseen_fit_t>& fit, double f,
                          const composition_classes_t& seen, double largest,
                          bool drift = false);

#endif  // PELKO_COMPOSITION_H_
