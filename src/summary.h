// The run's summary: what the inputs would take on a store that drops zero
// chunks, deduplicates and compresses, worked out from the final row's
// figures and the plan's totals.
//
// Each stage includes the ones before it. With L the logical size (tails
// included), R the bytes in whole chunks, T = L - R the file tails (never
// read, counted as stored), z the zero share of the chunks analysed, D the
// dedupe ratio, K the chunk size and C the compression ratio of the non-zero
// chunks that were compressed:
//   after zeros    = R * (1 - z) + T
//   after dedupe   = U + T, U the bytes of the distinct non-zero chunks:
//                    U = R / D - K        zero chunks in the dedupe estimate
//                                         (the zero content is one of the
//                                         distinct chunks; K only if seen)
//                    U = R * (1 - z) / D  zero chunks left out of it
//   after compress = U / C + T            C measured on the distinct chunks
//                  = R * (1 - z) / C + T  without dedupe: on every chunk
//   reduction      = L / the last of the above that was estimated
// C leaves out the zero chunks that were compressed (each compresses to the
// same size). The figures at the dedupe ratio's low and high bound use that
// bound for D. At the end of a complete run every figure is exact.
//
// Pure functions, no shared state.
#ifndef PELKO_SUMMARY_H_
#define PELKO_SUMMARY_H_

#include <stddef.h>

#include <string>

struct summary_input_t {
  // The plan (Sampler::get_plan_totals, get_unread_*).
  size_t total_size;       // L
  size_t reductible_size;  // R
  size_t total_files;      // INVALID_SIZE_T: not known
  bool scan_stopped;       // sizes extrapolated from a scan cut short
  size_t unread_size;
  size_t unread_files;
  size_t skipped_dirs = 0;  // directories the scan could not read
  // The analysis (the final row).
  size_t chunk_size;
  size_t n_data_chunks;
  size_t n_zero_chunks;
  double progress;    // analysed share of the plan
  int estimate_mask;  // ESTIMATE_* bits
  double r;           // dedupe ratio; -1: none
  double r_low;       // its low bound; -1: none
  double r_high;      // its high bound; -1: none
  size_t uncompressed_size;  // bytes given to the compressor
  size_t compressed_size;    // what they compressed to
  size_t zero_chunk_compressed;  // what one all-zero chunk compresses to
  std::string stop_reason;  // why the analysis ended early; empty: it did not
};

// One figure: its estimate and its values with the dedupe ratio's low and
// high bound in place of the estimate. -1 where there is none. The bounds
// are computed as given, never reordered. A reduction ratio is infinite when
// nothing is left to store.
struct summary_figure_t {
  double value;
  double at_low;
  double at_high;
};

struct summary_t {
  double tail_share;  // T / L; 0 when L is 0
  summary_figure_t after_zeros;
  summary_figure_t after_dedupe;
  summary_figure_t after_compress;
  summary_figure_t ratio;
};

summary_t compute_summary(const summary_input_t& in);

// The summary block as printed after the final row: its lines, each ending
// in a line feed. Every number is preformatted, so the console and the
// report file show the same text.
std::string format_summary(const summary_input_t& in, const summary_t& s);

// A tail share at or above this gets the hint to use a smaller chunk size.
const double SUMMARY_TAIL_HINT_SHARE = 0.10;

#endif  // PELKO_SUMMARY_H_
