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

bool close_to(double a, double b) {
  return fabs(a - b) <= 1e-6 * std::max(1.0, fabs(b));
}

// The three stages for one set of inputs: zero share z, dedupe ratio d,
// compression ratio c. -1 where a stage cannot be worked out.
struct stages_t {
  double zeros, dedupe, compress;
};

std::string percent_text(double share) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f%%", share * 100);
  return buf;
}

// A unit for sizes up to max_bytes: the largest of bytes, KiB, MiB, GiB and
// TiB that gives at least 1.
struct unit_t {
  double divisor;
  const char* name;
};

unit_t unit_for(double max_bytes) {
  static const unit_t units[] = {{1, "bytes"},
                                 {(double)ONE_KB, "KiB"},
                                 {(double)ONE_MB, "MiB"},
                                 {(double)ONE_GB, "GiB"},
                                 {(double)ONE_TB, "TiB"}};
  int u = 0;
  while (u < 4 && max_bytes >= units[u + 1].divisor) u++;
  return units[u];
}

std::string in_unit(double bytes, const unit_t& u) {
  char buf[64];
  snprintf(buf, sizeof(buf), u.divisor == 1 ? "%.0f" : "%.3f",
           bytes / u.divisor);
  return buf;
}

// A size in its own unit: "15.625 MiB", "512 bytes".
std::string size_in_unit(double bytes) {
  const unit_t u = unit_for(bytes);
  return in_unit(bytes, u) + " " + u.name;
}

const int LABEL_WIDTH = 31;  // "physical size after reduction: "
const int COLUMN_WIDTH = 14;

// label, then the columns, each padded to its width, then unit after the
// last column given (when not empty); no trailing blanks.
std::string line(const char* label, const std::string& a,
                 const std::string& b = std::string(),
                 const std::string& c = std::string(),
                 const std::string& unit = std::string()) {
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
  if (!unit.empty()) s += " " + unit;
  return s + "\n";
}

enum figure_kind_t { FIGURE_BYTES, FIGURE_SHARE, FIGURE_RATIO };

// A figure's line: its estimate alone when the summary is exact, else the
// estimate, the pessimistic and the optimistic value, all in one unit; or
// why it has none.
std::string figure_line(const char* label, bool selected,
                        const summary_figure_t& f, figure_kind_t kind,
                        bool exact) {
  if (!selected) return line(label, "not estimated (-e)");
  if (f.value < 0 && f.at_low < 0 && f.at_high < 0)
    return line(label, "no estimate");
  unit_t u{1, ""};
  if (kind == FIGURE_BYTES) u = unit_for(std::max({f.value, f.at_low, f.at_high}));
  if (kind == FIGURE_SHARE) u = unit_t{0.01, "%"};
  auto text = [&](double v) -> std::string {
    if (v < 0) return std::string();
    if (isinf(v)) return "unbounded";  // nothing left to store
    if (kind == FIGURE_BYTES) return in_unit(v, u);
    char buf[64];
    snprintf(buf, sizeof(buf), "%.3f", v / u.divisor);
    return buf;
  };
  if (exact) return line(label, text(f.value), "", "", u.name);
  return line(label, f.value < 0 ? std::string("-") : text(f.value),
              text(f.at_low), text(f.at_high), u.name);
}

}  // namespace

summary_t compute_summary(const summary_input_t& in) {
  summary_t s;
  const double total = (double)in.total_size;
  const double whole = (double)std::min(in.reductible_size, in.total_size);
  const double tails = total - whole;
  s.tail_share = total > 0 ? tails / total : 0.0;
  s.after_zeros = s.after_dedupe = s.after_compress = s.physical =
      s.space_saved = s.ratio = NO_FIGURE;
  s.compress_ratio = -1;
  s.exact = false;

  const size_t n = in.n_data_chunks + in.n_zero_chunks;
  if (n == 0) return s;
  const double z = (double)in.n_zero_chunks / (double)n;

  const bool dedupe = (in.estimate_mask & ESTIMATE_DEDUPE) != 0;
  const bool dedupe_zeros =
      dedupe && (in.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  const bool compress = (in.estimate_mask & ESTIMATE_COMPRESS) != 0;
  const double k = (double)in.chunk_size;

  double c = -1;
  if (compress) {
    // The zero chunks among those compressed: every one without dedupe, the
    // first one with zero chunks in the dedupe, none otherwise.
    double zc = 0;
    if (!dedupe)
      zc = (double)in.n_zero_chunks;
    else if (dedupe_zeros && in.n_zero_chunks > 0)
      zc = 1;
    size_t stored = in.stored_size;
    if (stored == 0 && in.compressed_size > 0)
      stored = std::min(in.compressed_size, in.uncompressed_size);
    const double zero_stored =
        std::min((double)in.zero_chunk_compressed, k);
    const double in_bytes = (double)in.uncompressed_size - zc * k;
    const double out_bytes = (double)stored - zc * zero_stored;
    // Nothing but zero chunks compressed: nothing non-zero is left to store.
    c = in_bytes > 0 && out_bytes > 0 ? in_bytes / out_bytes * in.c_factor
                                      : -1.0;
    s.compress_ratio = c;
  }

  auto stages = [&](double zv, double d, double cv) {
    stages_t st{-1.0, -1.0, -1.0};
    const double nonzero = whole * (1 - zv);
    st.zeros = nonzero + tails;
    // U, the bytes of the distinct non-zero chunks.
    double u = -1.0;
    if (dedupe && d > 0) {
      if (!dedupe_zeros) {
        u = nonzero / d;
      } else {
        u = whole / d - (in.n_zero_chunks > 0 ? k : 0.0);
        if (u < 0) u = 0;
      }
      st.dedupe = u + tails;
    }
    if (compress) {
      const double base = dedupe ? u : nonzero;
      if (base == 0)
        st.compress = tails;
      else if (base > 0 && cv > 0)
        st.compress = base / cv + tails;
    }
    return st;
  };
  const bool z_range = in.z_low >= 0 || in.z_high >= 0;
  const bool c_range = compress && (in.c_low > 0 || in.c_high > 0);
  const stages_t v = stages(z, in.r, c);
  const stages_t lo = stages(in.z_low >= 0 ? in.z_low : z, in.r_low,
                             in.c_low > 0 ? in.c_low : c);
  const stages_t hi = stages(in.z_high >= 0 ? in.z_high : z, in.r_high,
                             in.c_high > 0 ? in.c_high : c);

  s.after_zeros = summary_figure_t{v.zeros, z_range ? lo.zeros : -1.0,
                                   z_range ? hi.zeros : -1.0};
  s.physical = s.after_zeros;
  if (dedupe) {
    // The dedupe ratio always has a range; a missing bound leaves its side
    // without a value.
    s.after_dedupe = summary_figure_t{v.dedupe, lo.dedupe, hi.dedupe};
    s.physical = s.after_dedupe;
  }
  if (compress) {
    const bool ranged = dedupe || z_range || c_range;
    s.after_compress = summary_figure_t{v.compress, ranged ? lo.compress : -1.0,
                                        ranged ? hi.compress : -1.0};
    s.physical = s.after_compress;
  }
  s.space_saved = map_figure(s.physical, [total](double x) {
    return total > 0 ? std::max(0.0, 1 - x / total) : -1.0;
  });
  s.ratio = map_figure(s.physical, [total](double x) {
    if (!(total > 0)) return -1.0;
    return x > 0 ? total / x : HUGE_VAL;
  });

  // Exact: all was read, and every range has closed on its estimate.
  s.exact = in.stop_reason.empty() && in.progress >= 1 && !in.scan_stopped &&
            in.unread_size == 0 && in.unread_files == 0;
  if (dedupe)
    s.exact = s.exact && in.r > 0 && close_to(in.r_low, in.r) &&
              close_to(in.r_high, in.r);
  if (z_range)
    s.exact = s.exact && close_to(in.z_low, z) && close_to(in.z_high, z);
  if (c_range)
    s.exact = s.exact && close_to(in.c_low, c) && close_to(in.c_high, c);
  return s;
}

std::string format_summary(const summary_input_t& in, const summary_t& s) {
  std::string out = "SUMMARY: ";
  if (in.stop_reason.empty())
    out += "complete run";
  else
    out += in.stop_reason + " at " + percent_text(in.progress) + " of the plan";
  out += "\n";
  for (const std::string& w : in.warnings) out += line("warning:", w);

  std::string logical = size_in_unit((double)in.total_size);
  if (in.scan_stopped)
    logical += " as probed; the scan was cut short";
  else if (in.total_files != INVALID_SIZE_T)
    logical += " in " + std::to_string(in.total_files) +
               (in.total_files == 1 ? " file" : " files");
  out += line("logical size:", logical);

  const double analysed =
      (double)(in.n_data_chunks + in.n_zero_chunks) * (double)in.chunk_size;
  const unit_t au = unit_for(std::max(analysed, (double)in.reductible_size));
  out += line("analysed:", in_unit(analysed, au) + " of " +
                               in_unit((double)in.reductible_size, au) + " " +
                               au.name + " in whole chunks, " +
                               percent_text(in.progress));

  const size_t tails = in.total_size > in.reductible_size
                           ? in.total_size - in.reductible_size
                           : 0;
  out += line("file tails:", size_in_unit((double)tails) + " (" +
                                 percent_text(s.tail_share) +
                                 "), counted as stored");
  // The example is the common 4 KiB, or half the chunk when that is 4 KiB
  // or less already; a 1-byte chunk leaves no tail.
  const size_t smaller = in.chunk_size > 4096 ? 4096 : in.chunk_size / 2;
  if (s.tail_share >= SUMMARY_TAIL_HINT_SHARE && smaller > 0)
    out += line("hint:",
                "many files end in a tail shorter than a chunk: a smaller -c "
                "(for example -c " +
                    (smaller % 1024 == 0 ? std::to_string(smaller / 1024) + "K"
                                         : std::to_string(smaller)) +
                    ") analyses more of them");

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
                                   size_in_unit((double)in.unread_size) +
                                   " unread" + (dirs.empty() ? "" : "; " + dirs) +
                                   " (see the ERROR lines)");

  const bool exact = s.exact;
  if (!exact) out += line("", "estimate", "pessimistic", "optimistic");
  out += figure_line("after zeros:", true, s.after_zeros, FIGURE_BYTES, exact);
  out += figure_line("after dedupe:", (in.estimate_mask & ESTIMATE_DEDUPE) != 0,
                     s.after_dedupe, FIGURE_BYTES, exact);
  out += figure_line("after compress:",
                     (in.estimate_mask & ESTIMATE_COMPRESS) != 0,
                     s.after_compress, FIGURE_BYTES, exact);
  out += figure_line("physical size after reduction:", true, s.physical,
                     FIGURE_BYTES, exact);
  out += figure_line("space saved:", true, s.space_saved, FIGURE_SHARE, exact);
  out += figure_line("reduction ratio:", true, s.ratio, FIGURE_RATIO, exact);
  return out;
}

namespace {

// A ratio and its range as the table shows it: "1.381" when exact (or
// without a range), "1.843 [1.832, 1.855]" otherwise, "-" without a value.
std::string ratio_cell(double v, double low, double high) {
  char buf[96];
  if (!(v > 0)) return "-";
  if (isinf(v)) return "unbounded";
  auto text = [](double x) -> std::string {
    if (!(x > 0)) return "?";
    if (isinf(x)) return "unbounded";
    char b[32];
    snprintf(b, sizeof(b), "%.3f", x);
    return b;
  };
  if ((low < 0 && high < 0) || (close_to(low, v) && close_to(high, v))) {
    snprintf(buf, sizeof(buf), "%.3f", v);
    return buf;
  }
  return text(v) + " [" + text(low) + ", " + text(high) + "]";
}

std::string pad(std::string s, size_t width) {
  if (s.size() < width) s.resize(width, ' ');
  else s += ' ';
  return s;
}

}  // namespace

std::string format_config_table(const std::vector<config_figures_t>& rows) {
  const size_t w_config = 26, w_ratio = 23, w_zeros = 9;
  std::string out = "CONFIGURATIONS: ratios as estimate [pessimistic, optimistic]\n";
  out += pad("configuration", w_config) + pad("dedupe", w_ratio) +
         pad("compress", w_ratio) + pad("zeros", w_zeros) +
         pad("total ratio", w_ratio) + "physical size\n";
  for (const config_figures_t& c : rows) {
    const summary_input_t& in = c.in;
    const bool dedupe = (in.estimate_mask & ESTIMATE_DEDUPE) != 0;
    const bool compress = (in.estimate_mask & ESTIMATE_COMPRESS) != 0;
    std::string label = size_text(c.chunk_size) + " " +
                        (compress ? c.compressor : std::string("-"));
    const size_t n = in.n_data_chunks + in.n_zero_chunks;
    char zeros[32] = "-";
    if (n > 0)
      snprintf(zeros, sizeof(zeros), "%.3f%%",
               100.0 * (double)in.n_zero_chunks / (double)n);
    const std::string d =
        dedupe ? ratio_cell(in.r, in.r_low, in.r_high) : std::string("-");
    std::string k = "-";
    if (compress) {
      k = ratio_cell(c.s.compress_ratio, in.c_low, in.c_high);
      if (c.compress_share < 1) {
        char share[32];
        snprintf(share, sizeof(share), " (%.3g%%)", 100 * c.compress_share);
        label += share;
      }
    }
    const summary_figure_t& t = c.s.ratio;
    const summary_figure_t& p = c.s.physical;
    out += pad(label, w_config) + pad(d, w_ratio) + pad(k, w_ratio) +
           pad(zeros, w_zeros) + pad(ratio_cell(t.value, t.at_low, t.at_high), w_ratio) +
           (p.value >= 0 ? size_in_unit(p.value) : std::string("-")) + "\n";
  }
  return out;
}
