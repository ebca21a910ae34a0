// Where the savings come from (--by): every planned file carries a label,
// and the end of a run prints one line of figures per label.
//
// Labels. By root, a file's label is the input it was found under, as given
// (the longest one, when inputs nest). By dir, it is that input followed by
// "/" and the first directory below it ("/srv/home"); the files directly in
// the input make a label of their own, the input followed by " (files)"; an
// input that is a file or a device is its own label. By type, it is the
// group of the file name's extension, lower-cased, when it is a well-known
// one ("images", "archives and packages", "media", "databases", "virtual
// disks", "text and code"), else the extension itself (".bin") or "(no
// extension)". The BREAKDOWN_TOP labels of the largest logical size (ties
// by name) keep their names; the others are counted together as "other".
//
// Figures of a label, with K the chunk size, over the whole-chunk part of
// its files (file tails are never read and count as stored):
//   logical size   its files' bytes, tails included, from the plan
//   share          of the whole set's logical size
//   zeros          its zero chunks, a share of its chunks analysed
//   compress       K * n / S over its n distinct non-zero chunks (distinct
//                  within the label), S their stored sizes (each at most K)
//   dedupe         its non-zero chunks over its distinct non-zero chunks:
//                  the dedupe ratio of the label on its own
//   physical share its part of the whole set's physical size: every
//                  distinct non-zero chunk's stored size split evenly among
//                  the labels holding it, plus its tails, over the same sum
//                  for every label (zero chunks store nothing)
// At the end of a complete run every figure is exact, and low == high.
// After a partial run (stopped, a scan cut short, the memory-saving mode)
// the figures are estimates: zeros and compress carry ranges as the rows'
// do; the dedupe ratio within a label is estimated from the label's own
// frequency histogram (a chunk the label shares with another counts with
// all its occurrences), with its range; the physical share scales the
// sample's split stored sizes by each label's estimated distinct chunks
// over those sampled.
//
// Pure functions, no shared state.
#ifndef PELKO_BREAKDOWN_H_
#define PELKO_BREAKDOWN_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "options.h"
#include "types.h"
#include "unseen.h"  // UNSEEN_GROUPS

// Labels shown by name; one more ("other") holds the rest.
const size_t BREAKDOWN_TOP = 20;
const char* const BREAKDOWN_OTHER = "other";

// The label of the file at path (as the scan handed it over, beginning with
// one of roots' paths) under by (not BY_NONE).
std::string breakdown_label(breakdown_by_t by, const LIST_ROOTS& roots,
                            const std::string& path);

// The type label of a file name: its extension's group or the extension.
std::string breakdown_type(const std::string& path);

// What a run counted for one label.
struct breakdown_count_t {
  std::string name;
  size_t logical = 0;  // bytes of its files, tails included (the plan's)
  size_t tails = 0;    // of which in file tails
  size_t chunks = 0;   // chunks analysed
  size_t zero_chunks = 0;
  size_t distinct = 0;  // distinct non-zero chunks analysed
  size_t stored = 0;    // their stored sizes
  double physical = 0;  // their split stored sizes (analysed chunks only)
  // After a partial run, the label's dedupe ratio as estimated from its
  // sample (the entries' frequencies), with its range; -1: none.
  double dedupe = -1, dedupe_low = -1, dedupe_high = -1;
  // By jackknife group: chunks and zero chunks analysed; bytes given to the
  // compressor and what they compressed to.
  size_t group_chunks[UNSEEN_GROUPS] = {};
  size_t group_zeros[UNSEEN_GROUPS] = {};
  size_t group_uncompressed[UNSEEN_GROUPS] = {};
  size_t group_compressed[UNSEEN_GROUPS] = {};
};

// One line of the table. Ratios and shares -1 where there is none; a
// share is a fraction.
struct breakdown_row_t {
  std::string name;
  size_t logical;
  double share;
  double zeros, zeros_low, zeros_high;
  double compress, compress_low, compress_high;
  double dedupe, dedupe_low, dedupe_high;
  double physical_share;
};

struct breakdown_t {
  breakdown_by_t by = BY_NONE;
  bool exact = false;  // a complete run: every figure exact
  std::vector<breakdown_row_t> rows;  // in label order
};

// The label's non-zero chunks in the whole plan, estimated from the share
// of zero chunks among those analysed; 0 when none was analysed.
double breakdown_nonzero_total(const breakdown_count_t& c, size_t chunk_size);

// The table from a run's counts. progress: the analysed share of the plan;
// buckets: how many buckets that is; compress: compression was estimated.
breakdown_t compute_breakdown(breakdown_by_t by,
                              const std::vector<breakdown_count_t>& counts,
                              size_t chunk_size, double progress,
                              size_t buckets, bool exact, bool compress);

// The table as printed after the summary, each line ending in a line feed.
std::string format_breakdown(const breakdown_t& b);

// The table as CSV lines (a header line first), each ending in a line feed.
std::string breakdown_csv(const breakdown_t& b);

// After a merge: which exports hold the same chunks. Over the distinct
// non-zero fingerprints of the merged sample: an export's exclusive share is
// the share of its own that no other export holds (what moving that host
// alone frees), its shared share the rest; the overlap of two exports is
// the fingerprints both hold, as a share of the smaller one's. Exact when
// every export is a complete run; otherwise the sample's figures (a chunk
// two hosts hold may be sampled in one of them only, so overlaps read low).
const size_t OVERLAP_MAX_EXPORTS = 64;

struct overlap_t {
  std::vector<std::string> names;  // the exports, in order
  bool exact = false;
  std::vector<uint64_t> distinct;   // fingerprints of each export
  std::vector<uint64_t> exclusive;  // of those, held by no other export
  std::vector<uint64_t> both;       // [i * n + k], i < k: held by both

  // For n exports (1 to OVERLAP_MAX_EXPORTS).
  void begin(const std::vector<std::string>& exports, bool is_exact);
  // One fingerprint, held by the exports whose bits mask has (bit i:
  // export i).
  void add(uint64_t mask);
  // Shares, -1 when the export holds no fingerprint.
  double exclusive_share(size_t i) const;
  double shared_share(size_t i) const;
  // 1 on the diagonal; -1 when either holds no fingerprint.
  double overlap(size_t i, size_t k) const;
};

// The overlap tables as printed after a merge's summary.
std::string format_overlap(const overlap_t& o);

// "root", "dir" or "type".
const char* breakdown_by_name(breakdown_by_t by);

#endif  // PELKO_BREAKDOWN_H_
