#include "summary.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

#include "format.h"
#include "options.h"
#include "types.h"

namespace {

const summary_figure_t NO_FIGURE = {-1.0, -1.0, -1.0};

// f applied to each value of a figure; a missing value stays missing.
template <typename F>
summary_figure_t map_figure(const summary_figure_t& in, F f) {
  auto g = [&f](double v) { return v < 0 ? -1.0 : f(v); };
  return summary_figure_t{g(in.value), g(in.at_low), g(in.at_high)};
}

std::string bytes_text(double b) {
  return b < 0 ? std::string() : capacity_to_str((size_t)llround(b));
}

std::string ratio_text(double r) {
  if (r < 0) return std::string();
  if (isinf(r)) return "unbounded";  // nothing left to store
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f", r);
  return buf;
}

std::string percent_text(double share) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f%%", share * 100);
  return buf;
}

const int LABEL_WIDTH = 19;
const int COLUMN_WIDTH = 18;

// label, then the columns, each padded to its width; no trailing blanks.
std::string line(const char* label, const std::string& a,
                 const std::string& b = std::string(),
                 const std::string& c = std::string()) {
  std::string s = label;
  s.resize(std::max(s.size(), (size_t)LABEL_WIDTH), ' ');
  const std::string* cols[] = {&a, &b, &c};
  std::string pending;
  for (const std::string* col : cols) {
    if (col->empty()) {
      pending.append(COLUMN_WIDTH, ' ');
      continue;
    }
    s += pending;
    s += *col;
    pending.assign(col->size() < (size_t)COLUMN_WIDTH
                       ? COLUMN_WIDTH - col->size()
                       : 1,
                   ' ');
  }
  return s + "\n";
}

// A figure's line: its three values, or why it has none.
std::string figure_line(const char* label, bool selected,
                        const summary_figure_t& f,
                        std::string (*text)(double)) {
  if (!selected) return line(label, "not estimated (-e)");
  if (f.value < 0 && f.at_low < 0 && f.at_high < 0)
    return line(label, "no estimate");
  return line(label, f.value < 0 ? std::string("-") : text(f.value),
              text(f.at_low), text(f.at_high));
}

}  // namespace

summary_t compute_summary(const summary_input_t& in) {
  summary_t s;
  const double total = (double)in.total_size;
  const double whole = (double)std::min(in.reductible_size, in.total_size);
  const double tails = total - whole;
  s.tail_share = total > 0 ? tails / total : 0.0;
  s.after_zeros = s.after_dedupe = s.after_compress = s.ratio = NO_FIGURE;

  const size_t n = in.n_data_chunks + in.n_zero_chunks;
  if (n == 0) return s;
  const double z = (double)in.n_zero_chunks / (double)n;
  s.after_zeros = summary_figure_t{whole * (1 - z) + tails, -1.0, -1.0};
  summary_figure_t last = s.after_zeros;

  const bool dedupe = (in.estimate_mask & ESTIMATE_DEDUPE) != 0;
  const bool dedupe_zeros =
      dedupe && (in.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  const double nonzero = whole * (1 - z);
  const double k = (double)in.chunk_size;
  // U, the bytes of the distinct non-zero chunks, for a dedupe ratio d.
  auto distinct = [&](double d) {
    if (!(d > 0)) return -1.0;
    if (!dedupe_zeros) return nonzero / d;
    const double u = whole / d - (in.n_zero_chunks > 0 ? k : 0.0);
    return u > 0 ? u : 0.0;
  };
  summary_figure_t u = NO_FIGURE;
  if (dedupe) {
    u = summary_figure_t{distinct(in.r), distinct(in.r_low), distinct(in.r_high)};
    s.after_dedupe = map_figure(u, [tails](double x) { return x + tails; });
    last = s.after_dedupe;
  }
  if (in.estimate_mask & ESTIMATE_COMPRESS) {
    // The zero chunks among those compressed: every one without dedupe, the
    // first one with zero chunks in the dedupe, none otherwise.
    double zc = 0;
    if (!dedupe)
      zc = (double)in.n_zero_chunks;
    else if (dedupe_zeros && in.n_zero_chunks > 0)
      zc = 1;
    const double in_bytes = (double)in.uncompressed_size - zc * k;
    const double out_bytes =
        (double)in.compressed_size - zc * (double)in.zero_chunk_compressed;
    // Nothing but zero chunks compressed: nothing non-zero is left to store.
    const double c = in_bytes > 0 && out_bytes > 0 ? in_bytes / out_bytes : -1.0;
    auto after = [c, tails](double x) {
      return x == 0 ? tails : c > 0 ? x / c + tails : -1.0;
    };
    if (dedupe)
      s.after_compress = map_figure(u, after);
    else
      s.after_compress = summary_figure_t{after(nonzero), -1.0, -1.0};
    last = s.after_compress;
  }
  s.ratio = map_figure(last, [total](double x) {
    if (!(total > 0)) return -1.0;
    return x > 0 ? total / x : HUGE_VAL;
  });
  return s;
}

std::string format_summary(const summary_input_t& in, const summary_t& s) {
  std::string out = "SUMMARY: ";
  if (in.stop_reason.empty())
    out += "complete run";
  else
    out += in.stop_reason + " at " + percent_text(in.progress) + " of the plan";
  out += "\n";

  std::string logical = capacity_to_str(in.total_size);
  if (in.scan_stopped)
    logical += ", as probed (the scan was cut short and extrapolated)";
  else if (in.total_files != INVALID_SIZE_T)
    logical += " in " + std::to_string(in.total_files) +
               (in.total_files == 1 ? " file" : " files");
  out += line("logical size:", logical);

  const size_t analysed = (in.n_data_chunks + in.n_zero_chunks) * in.chunk_size;
  out += line("analysed:", capacity_to_str(analysed) + ", " +
                               percent_text(in.progress) + " of the " +
                               capacity_to_str(in.reductible_size) +
                               " in whole chunks");

  const size_t tails = in.total_size > in.reductible_size
                           ? in.total_size - in.reductible_size
                           : 0;
  out += line("file tails:", capacity_to_str(tails) + ", " +
                                 percent_text(s.tail_share) +
                                 " of the logical size, counted as stored");
  if (s.tail_share >= SUMMARY_TAIL_HINT_SHARE)
    out += line("hint:",
                "many files end in a tail shorter than a chunk: a smaller -c "
                "(for example -c 4K) analyses more of them");

  // Directories the scan could not read are missing from every figure,
  // the logical size included.
  const std::string dirs =
      in.skipped_dirs == 0
          ? ""
          : std::to_string(in.skipped_dirs) +
                (in.skipped_dirs == 1 ? " directory" : " directories") +
                " not walked: their files are in no figure";
  if (in.unread_files == 0 && in.unread_size == 0 && dirs.empty())
    out += line("unreadable:", "none");
  else if (in.unread_files == 0 && in.unread_size == 0)
    out += line("unreadable:", dirs + " (see the ERROR lines)");
  else
    out += line("unreadable:", std::to_string(in.unread_files) +
                                   (in.unread_files == 1 ? " file, " : " files, ") +
                                   capacity_to_str(in.unread_size) +
                                   " planned but not read" +
                                   (dirs.empty() ? "" : "; " + dirs) +
                                   " (see the ERROR lines)");

  out += line("", "estimate", "with dedupe low", "with dedupe high");
  out += figure_line("after zeros:", true, s.after_zeros, bytes_text);
  out += figure_line("after dedupe:", (in.estimate_mask & ESTIMATE_DEDUPE) != 0,
                     s.after_dedupe, bytes_text);
  out += figure_line("after compress:",
                     (in.estimate_mask & ESTIMATE_COMPRESS) != 0,
                     s.after_compress, bytes_text);
  out += figure_line("reduction ratio:", true, s.ratio, ratio_text);
  return out;
}
