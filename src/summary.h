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
//   physical size  = the last of the above that was estimated
//   space saved    = 1 - physical size / L
//   reduction      = L / physical size
// C leaves out the zero chunks that were compressed (each compresses to the
// same size), and counts each chunk at no more than its own size: a store
// keeps a chunk that does not compress as it is, so the physical size is
// never above the logical size.
//
// Every figure has an estimate and, where the inputs have ranges, a
// pessimistic value (the larger size, the lower ratio: the dedupe ratio's
// low bound, the compression ratio's low bound, the zero share's low bound)
// and an optimistic one (the high bounds). The bounds are used as given,
// never reordered. At the end of a complete run every figure is exact.
//
// Pure functions, no shared state.
#ifndef PELKO_SUMMARY_H_
#define PELKO_SUMMARY_H_

#include <stddef.h>

#include <string>
#include <vector>

struct summary_input_t {
  // The plan (Sampler::get_plan_totals, get_unread_*).
  size_t total_size = 0;       // L
  size_t reductible_size = 0;  // R
  size_t total_files = 0;      // INVALID_SIZE_T: not known
  bool scan_stopped = false;   // sizes extrapolated from a scan cut short
  size_t unread_size = 0;
  size_t unread_files = 0;
  size_t skipped_dirs = 0;  // directories the scan could not read
  // The analysis (the final row).
  size_t chunk_size = 0;
  size_t n_data_chunks = 0;
  size_t n_zero_chunks = 0;
  double progress = 0;    // analysed share of the plan
  int estimate_mask = 0;  // ESTIMATE_* bits
  double r = -1;          // dedupe ratio; -1: none
  double r_low = -1;      // its low bound; -1: none (no pessimistic value)
  double r_high = -1;     // its high bound; -1: none (no optimistic value)
  size_t uncompressed_size = 0;  // bytes given to the compressor
  size_t compressed_size = 0;    // what they compressed to
  // What they take when each is stored at no more than its own size (the
  // sum of min(compressed, chunk_size)); 0 with compressed_size > 0: not
  // known, min(compressed_size, uncompressed_size) stands in for it.
  size_t stored_size = 0;
  size_t zero_chunk_compressed = 0;  // what one all-zero chunk compresses to
  // Ranges of the compression ratio C (as defined above) and of the zero
  // share z (a fraction of the chunks): low and high bound, -1 where there
  // is no range (the figure is taken as exact on that side).
  double c_low = -1, c_high = -1;
  // The compression ratio C is the sizes' ratio times this: a partial
  // read's correction for the mix of contents it has seen (1: none).
  double c_factor = 1;
  double z_low = -1, z_high = -1;
  std::string stop_reason;  // why the analysis ended early; empty: it did not
  // The warnings of the run that change its figures, in the summary's
  // words; each gets a line under the heading.
  std::vector<std::string> warnings;
};

// One figure: its estimate, its pessimistic value (at_low) and its
// optimistic value (at_high). -1 where there is none: a side has no value
// when a bound it needs is missing, or when no input of the figure has a
// range. A reduction ratio is infinite when nothing is left to store.
struct summary_figure_t {
  double value;
  double at_low;   // pessimistic
  double at_high;  // optimistic
};

struct summary_t {
  double tail_share;  // T / L; 0 when L is 0
  summary_figure_t after_zeros;
  summary_figure_t after_dedupe;
  summary_figure_t after_compress;
  summary_figure_t physical;     // the last stage estimated
  summary_figure_t space_saved;  // a fraction of the logical size
  summary_figure_t ratio;
  double compress_ratio;  // C; -1 when not estimated
  // Every figure is exact: a complete run whose ranges have closed on the
  // estimates (the summary then prints one column).
  bool exact;
};

summary_t compute_summary(const summary_input_t& in);

// The summary block as printed after the final row: its lines, each ending
// in a line feed, within 80 columns but for long notes. Every number is
// preformatted, so the console and the report file show the same text.
std::string format_summary(const summary_input_t& in, const summary_t& s);

// One configuration of a run that estimates several (chunk sizes and
// compressors read at once): its summary's inputs and figures.
struct config_figures_t {
  size_t chunk_size = 0;
  std::string compressor;  // as the command line names it
  // The share of the distinct chunks whose compressed size was measured
  // (1: all of them).
  double compress_share = 1;
  summary_input_t in;
  summary_t s;
};

// The table of configurations, one line each under a heading: chunk size,
// compressor, dedupe ratio, compression ratio (the summary's, zero chunks
// left out), zero share, total reduction ratio, each ratio with its range
// [pessimistic, optimistic] unless exact, and the physical size. Each line
// ends in a line feed.
std::string format_config_table(const std::vector<config_figures_t>& rows);

// A tail share at or above this gets the hint to use a smaller chunk size.
const double SUMMARY_TAIL_HINT_SHARE = 0.10;

#endif  // PELKO_SUMMARY_H_
