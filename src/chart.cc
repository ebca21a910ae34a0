#include "chart.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

#include "format.h"
#include "options.h"

namespace {

const double W = 860, H = 580;
const double X0 = 80, X1 = 780, Y0 = 80, Y1 = 400;  // plot area
// Blank bounds come first while fewer buckets than this were read (the
// range bounds need that many).
const int MIN_BUCKETS_FOR_RANGE = 16;

std::string fmt(const char* f, double v) {
  char buf[64];
  snprintf(buf, sizeof(buf), f, v);
  return buf;
}

std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if ((unsigned char)c >= 0x20 || c == '\t') out += c;
    }
  }
  return utf8_display(out);
}

// The smallest round step (1, 2, 2.5 or 5 times a power of ten) at least
// min_step.
double round_step(double min_step) {
  const double p = pow(10, floor(log10(min_step)));
  for (double m : {1.0, 2.0, 2.5, 5.0})
    if (m * p >= min_step * (1 - 1e-12)) return m * p;
  return 10 * p;
}

// A ratio axis from 0 to at least top in 4 or 5 round steps: the zero
// share's 0 to 100 % then falls on the same grid lines in steps of 25 or
// 20 %.
struct axis_t {
  double lo, hi;
  int steps;
  double y(double v) const {
    return std::max(Y0, Y1 - (v - lo) / (hi - lo) * (Y1 - Y0));
  }
};

axis_t ratio_axis(double top) {
  axis_t best{0, 0, 0};
  for (int n : {5, 4}) {
    const double step = round_step(top / n);
    if (best.steps == 0 || n * step < best.hi - 1e-12) best = axis_t{0, n * step, n};
  }
  return best;
}

std::string polyline(const std::vector<std::pair<double, double>>& pts,
                     const char* style) {
  if (pts.empty()) return "";
  std::string s = "<polyline fill=\"none\" " + std::string(style) + " points=\"";
  for (const auto& p : pts) s += fmt("%.1f", p.first) + "," + fmt("%.1f", p.second) + " ";
  return s + "\"/>\n";
}

std::string text(double x, double y, const std::string& t,
                 const char* extra = "") {
  return "<text x=\"" + fmt("%.1f", x) + "\" y=\"" + fmt("%.1f", y) + "\" " +
         extra + ">" + xml_escape(t) + "</text>\n";
}

std::string hline(double x1, double x2, double y, const std::string& style) {
  return "<line x1=\"" + fmt("%.1f", x1) + "\" y1=\"" + fmt("%.1f", y) +
         "\" x2=\"" + fmt("%.1f", x2) + "\" y2=\"" + fmt("%.1f", y) + "\" " +
         style + "/>\n";
}

std::string vline(double x, double y1, double y2, const std::string& style) {
  return "<line x1=\"" + fmt("%.1f", x) + "\" y1=\"" + fmt("%.1f", y1) +
         "\" x2=\"" + fmt("%.1f", x) + "\" y2=\"" + fmt("%.1f", y2) + "\" " +
         style + "/>\n";
}

// An upward triangle, the mark of a value above the scale.
std::string clip_mark(double x, double y) {
  return "<polygon fill=\"#c00\" points=\"" + fmt("%.1f", x - 4) + "," +
         fmt("%.1f", y) + " " + fmt("%.1f", x + 4) + "," + fmt("%.1f", y) +
         " " + fmt("%.1f", x) + "," + fmt("%.1f", y - 7) + "\"/>\n";
}

std::string ratio_text(double v) {
  if (isinf(v)) return "unbounded";
  return v > 0 ? fmt("%.3f", v) : std::string("none");
}

// The inputs for the title, within about max_chars.
std::string inputs_text(const chart_info_t& info, size_t max_chars) {
  std::string s;
  size_t shown = 0;
  for (const std::string& in : info.inputs) {
    const std::string next = (shown ? ", " : "") + in;
    if (shown > 0 && s.size() + next.size() > max_chars) break;
    s += next;
    shown++;
  }
  if (shown < info.inputs.size())
    s += " and " + std::to_string(info.inputs.size() - shown) + " more";
  if (s.empty()) s = "no inputs";
  return (info.merge ? "merge of " : "") + s;
}

}  // namespace

std::string chart_svg(const std::vector<record_row_t>& rows, int estimate_mask,
                      const std::string& stop_reason,
                      const chart_info_t& info) {
  const bool dedupe = (estimate_mask & ESTIMATE_DEDUPE) != 0;
  const bool compress = (estimate_mask & ESTIMATE_COMPRESS) != 0;
  const record_row_t* last = rows.empty() ? nullptr : &rows.back();
  // The x axis: the whole plan, or up to where a run that ended early
  // stopped.
  double x_end = 100;
  if (!stop_reason.empty() && last && last->progress > 0 && last->progress < 100)
    x_end = last->progress;
  auto px = [x_end](double progress) {
    return X0 + std::min(progress, x_end) / x_end * (X1 - X0);
  };
  // The first rows rest on a few chunks and may swing far: the scale is
  // set by the rows past 10 % (or half the axis of a run stopped before
  // 20 %); earlier ones are clipped, and marked so.
  double top = 1;
  const double settled = std::min(10.0, x_end / 2);
  for (const record_row_t& r : rows) {
    if (r.progress < settled && !r.final && last->progress >= settled)
      continue;
    if (dedupe) top = std::max({top, r.r, r.r_high});
    if (compress) top = std::max(top, r.compress_ratio);
  }
  if (!std::isfinite(top)) top = 1;
  const axis_t left = ratio_axis(top * 1.05);
  const double step = left.hi / left.steps;
  const axis_t right{0, 100, left.steps};

  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fmt("%.0f", W) +
      "\" height=\"" + fmt("%.0f", H) + "\" viewBox=\"0 0 " + fmt("%.0f", W) +
      " " + fmt("%.0f", H) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  // Title: what was estimated, how, when.
  s += text(W / 2, 30, "Data reduction of " + inputs_text(info, 70),
            "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
  std::string sub;
  if (info.total_size != INVALID_SIZE_T) sub += size_text(info.total_size);
  if (info.chunk_size != 0)
    sub += (sub.empty() ? "" : ", ") + std::string("chunk size ") +
           size_text(info.chunk_size);
  if (!info.date.empty()) sub += (sub.empty() ? "" : ", ") + info.date;
  sub += (sub.empty() ? "" : ", ") + std::string("pelko " PELKO_VERSION);
  s += text(W / 2, 52, sub, "text-anchor=\"middle\"");

  // Grid and axes: one grid for both, the zero share's ticks on the ratio
  // axis's lines.
  for (int i = 0; i <= left.steps; i++) {
    const double v = step * i, y = left.y(v);
    s += hline(X0, X1, y, "stroke=\"#ddd\"");
    s += text(X0 - 6, y + 4, fmt(step < 1 ? "%.2f" : "%.1f", v),
              "text-anchor=\"end\"");
    s += text(X1 + 6, y + 4, fmt("%.0f", 100.0 * i / right.steps) + " %");
  }
  const double x_step = round_step(x_end / 5);
  for (double p = 0; p <= x_end * (1 + 1e-9); p += x_step) {
    s += vline(px(p), Y1, Y1 + 4, "stroke=\"#333\"");
    s += text(px(p), Y1 + 18,
              fmt(x_step < 1 ? "%.1f" : "%.0f", p) + " %",
              "text-anchor=\"middle\"");
  }
  if (x_end < 100 && fmod(x_end, x_step) > x_step * 0.3)
    s += text(px(x_end), Y1 + 18, fmt("%.3g", x_end) + " %",
              "text-anchor=\"middle\" font-weight=\"bold\"");
  s += "<rect x=\"" + fmt("%.1f", X0) + "\" y=\"" + fmt("%.1f", Y0) +
       "\" width=\"" + fmt("%.1f", X1 - X0) + "\" height=\"" +
       fmt("%.1f", Y1 - Y0) + "\" fill=\"none\" stroke=\"#333\"/>\n";
  s += text((X0 + X1) / 2, Y1 + 38,
            x_end < 100 ? "progress (share of the plan analysed; the run "
                          "stopped at " + fmt("%.3g", x_end) + " %)"
                        : std::string("progress (share of the plan analysed)"),
            "text-anchor=\"middle\"");
  s += "<text transform=\"translate(24," + fmt("%.1f", (Y0 + Y1) / 2) +
       ") rotate(-90)\" text-anchor=\"middle\">ratio (x : 1)</text>\n";
  s += "<text transform=\"translate(" + fmt("%.1f", W - 14) + "," +
       fmt("%.1f", (Y0 + Y1) / 2) +
       ") rotate(90)\" text-anchor=\"middle\">zero chunks (%)</text>\n";

  std::vector<std::pair<double, double>> est, zeros, comp, band_hi, band_lo;
  std::vector<double> clipped;  // x of the rows with a value above the scale
  const record_row_t* first_band = nullptr;
  const record_row_t* before_band = nullptr;  // the last row without one
  for (const record_row_t& r : rows) {
    const double x = px(r.progress);
    zeros.push_back({x, right.y(r.zeros)});
    bool above = false;
    if (compress && r.compress_ratio > 0) {
      comp.push_back({x, left.y(r.compress_ratio)});
      above |= r.compress_ratio > left.hi;
    }
    if (dedupe && r.r > 0) {
      est.push_back({x, left.y(r.r)});
      above |= r.r > left.hi;
    }
    if (dedupe && !first_band && !(r.r_low > 0 && r.r_high > 0))
      before_band = &r;
    if (dedupe && r.r_low > 0 && r.r_high > 0) {
      if (!first_band) first_band = &r;
      band_lo.push_back({x, left.y(r.r_low)});
      band_hi.push_back({x, left.y(r.r_high)});
      above |= r.r_high > left.hi;
    }
    if (above) clipped.push_back(x);
  }
  if (!band_hi.empty()) {
    s += "<polygon fill=\"#9ecae1\" fill-opacity=\"0.5\" stroke=\"none\" points=\"";
    for (const auto& p : band_hi) s += fmt("%.1f", p.first) + "," + fmt("%.1f", p.second) + " ";
    for (auto it = band_lo.rbegin(); it != band_lo.rend(); ++it)
      s += fmt("%.1f", it->first) + "," + fmt("%.1f", it->second) + " ";
    s += "\"/>\n";
  }
  s += polyline(zeros, "stroke=\"#777\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"");
  s += polyline(comp, "stroke=\"#e6550d\" stroke-width=\"2\"");
  s += polyline(est, "stroke=\"#08519c\" stroke-width=\"2\"");
  for (double x : clipped) s += clip_mark(x, Y0 - 1);

  // Where there is no band yet, and why.
  if (dedupe && last) {
    std::string why = "too little read to bound the estimate";
    if (info.bucket_size && before_band &&
        (double)before_band->bytes / (double)info.bucket_size <
            MIN_BUCKETS_FOR_RANGE)
      why = "fewer than " + std::to_string(MIN_BUCKETS_FOR_RANGE) +
            " buckets read, too few to bound the estimate";
    if (!first_band) {
      s += text((X0 + X1) / 2, Y0 + 20, "No range: " + why,
                "text-anchor=\"middle\" fill=\"#555\" font-style=\"italic\"");
    } else if (first_band != &rows.front()) {
      const double x = px(first_band->progress);
      s += vline(x, Y0, Y1, "stroke=\"#555\" stroke-dasharray=\"2,3\"");
      s += text(x + 4, Y0 + 20,
                "range from " + fmt("%.3g", first_band->progress) +
                    " %; before: " + why,
                "fill=\"#555\" font-style=\"italic\"");
    }
  }

  // Legend with the final values.
  double ly = Y1 + 66;
  auto legend = [&](const char* color, const char* dash, const std::string& t) {
    s += hline(X0, X0 + 30, ly - 4,
               "stroke=\"" + std::string(color) + "\" stroke-width=\"2\"" + dash);
    s += text(X0 + 38, ly, t);
    ly += 18;
  };
  if (dedupe)
    legend("#08519c", "",
           "dedupe ratio (band: low to high)" +
               (last ? ": " + ratio_text(last->r) + " (" +
                           ratio_text(last->r_low) + " to " +
                           ratio_text(last->r_high) + ")"
                     : std::string()));
  if (compress)
    legend("#e6550d", "",
           "compression ratio" + (last ? ": " + ratio_text(last->compress_ratio)
                                       : std::string()));
  legend("#777", " stroke-dasharray=\"5,3\"",
         "zero chunks" + (last ? ": " + fmt("%.3f", last->zeros) + " %"
                               : std::string()));
  if (info.ratio.value > 0 || isinf(info.ratio.value)) {
    const summary_figure_t& f = info.ratio;
    std::string t = "total reduction ratio: " + ratio_text(f.value);
    if (f.at_low == f.value && f.at_high == f.value)
      t += " (exact)";
    else if (f.at_low > 0 || f.at_high > 0)
      t += " (pessimistic " + ratio_text(f.at_low) + ", optimistic " +
           ratio_text(f.at_high) + ")";
    s += text(X0 + 38, ly, t, "font-weight=\"bold\"");
    ly += 18;
  }
  if (!clipped.empty()) {
    s += clip_mark(X0 + 15, ly + 1);
    s += text(X0 + 38, ly, "above the scale: clipped at the top");
    ly += 18;
  }
  std::string end;
  if (!stop_reason.empty())
    end = "Stopped early: " + stop_reason +
          (last ? " at " + fmt("%.3f", last->progress) + " %" : std::string());
  else if (last)
    end = "Complete: " + fmt("%.3f", last->progress) + " % of the plan analysed";
  else
    end = "No rows";
  s += text(X0 + 38, ly, end, "font-style=\"italic\"");
  s += "</svg>\n";
  return s;
}
