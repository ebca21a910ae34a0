#include "chart.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

#include "options.h"

namespace {

const double W = 860, H = 520;
const double X0 = 80, X1 = 780, Y0 = 60, Y1 = 380;  // plot area

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

// A round step of about range / 5.
double nice_step(double range) {
  const double raw = range / 5;
  const double p = pow(10, floor(log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0})
    if (m * p >= raw) return m * p;
  return 10 * p;
}

struct axis_t {
  double lo, hi;
  double y(double v) const {
    return std::max(Y0, Y1 - (v - lo) / (hi - lo) * (Y1 - Y0));
  }
};

double px(double progress) { return X0 + progress / 100 * (X1 - X0); }

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

}  // namespace

std::string chart_svg(const std::vector<record_row_t>& rows, int estimate_mask,
                      const std::string& stop_reason) {
  const bool dedupe = (estimate_mask & ESTIMATE_DEDUPE) != 0;
  const bool compress = (estimate_mask & ESTIMATE_COMPRESS) != 0;
  // The first rows rest on a few chunks and may swing far: the scale is
  // set by the rows past 10 % (the lines are clipped at its top).
  double top = 1;
  for (const record_row_t& r : rows) {
    if (r.progress < 10 && !r.final && rows.back().progress >= 10) continue;
    if (dedupe) top = std::max({top, r.r, r.r_high});
    if (compress) top = std::max(top, r.compress_ratio);
  }
  if (!std::isfinite(top)) top = 1;
  const double step = nice_step(top);
  axis_t left{0, ceil(top * 1.05 / step) * step};
  axis_t right{0, 100};

  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fmt("%.0f", W) +
      "\" height=\"" + fmt("%.0f", H) + "\" viewBox=\"0 0 " + fmt("%.0f", W) +
      " " + fmt("%.0f", H) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += text(W / 2, 30, "pelko " PELKO_VERSION ": data-reduction estimate by progress",
            "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
  // Grid and axes.
  for (double v = 0; v <= left.hi + step / 2; v += step) {
    const double y = left.y(v);
    s += "<line x1=\"" + fmt("%.1f", X0) + "\" y1=\"" + fmt("%.1f", y) +
         "\" x2=\"" + fmt("%.1f", X1) + "\" y2=\"" + fmt("%.1f", y) +
         "\" stroke=\"#ddd\"/>\n";
    s += text(X0 - 6, y + 4, fmt(step < 1 ? "%.2f" : "%.1f", v),
              "text-anchor=\"end\"");
  }
  for (int p = 0; p <= 100; p += 20) {
    s += text(px(p), Y1 + 18, std::to_string(p) + " %", "text-anchor=\"middle\"");
    s += text(X1 + 6, right.y(p) + 4, std::to_string(p) + " %");
  }
  s += "<rect x=\"" + fmt("%.1f", X0) + "\" y=\"" + fmt("%.1f", Y0) +
       "\" width=\"" + fmt("%.1f", X1 - X0) + "\" height=\"" +
       fmt("%.1f", Y1 - Y0) + "\" fill=\"none\" stroke=\"#333\"/>\n";
  s += text((X0 + X1) / 2, Y1 + 38, "progress (share of the sample analysed)",
            "text-anchor=\"middle\"");
  s += "<text transform=\"translate(24," + fmt("%.1f", (Y0 + Y1) / 2) +
       ") rotate(-90)\" text-anchor=\"middle\">ratio (x : 1)</text>\n";
  s += "<text transform=\"translate(" + fmt("%.1f", W - 14) + "," +
       fmt("%.1f", (Y0 + Y1) / 2) +
       ") rotate(90)\" text-anchor=\"middle\">zero chunks (%)</text>\n";

  std::vector<std::pair<double, double>> est, zeros, comp, band_hi, band_lo;
  for (const record_row_t& r : rows) {
    const double x = px(r.progress);
    zeros.push_back({x, right.y(r.zeros)});
    if (compress && r.compress_ratio > 0)
      comp.push_back({x, left.y(r.compress_ratio)});
    if (dedupe && r.r > 0) est.push_back({x, left.y(r.r)});
    if (dedupe && r.r_low > 0 && r.r_high > 0) {
      band_lo.push_back({x, left.y(r.r_low)});
      band_hi.push_back({x, left.y(r.r_high)});
    }
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

  // Legend with the final values.
  const record_row_t* last = rows.empty() ? nullptr : &rows.back();
  double ly = Y1 + 66;
  auto legend = [&](const char* color, const char* dash, const std::string& t) {
    s += "<line x1=\"" + fmt("%.1f", X0) + "\" y1=\"" + fmt("%.1f", ly - 4) +
         "\" x2=\"" + fmt("%.1f", X0 + 30) + "\" y2=\"" + fmt("%.1f", ly - 4) +
         "\" stroke=\"" + color + "\" stroke-width=\"2\"" + dash + "/>\n";
    s += text(X0 + 38, ly, t);
    ly += 18;
  };
  auto ratio = [](double v) { return v > 0 ? fmt("%.3f", v) : std::string("none"); };
  if (dedupe)
    legend("#08519c", "",
           "dedupe ratio (band: low to high)" +
               (last ? ": " + ratio(last->r) + " (" + ratio(last->r_low) +
                           " to " + ratio(last->r_high) + ")"
                     : std::string()));
  if (compress)
    legend("#e6550d", "",
           "compression ratio" + (last ? ": " + ratio(last->compress_ratio)
                                       : std::string()));
  legend("#777", " stroke-dasharray=\"5,3\"",
         "zero chunks" + (last ? ": " + fmt("%.3f", last->zeros) + " %"
                               : std::string()));
  std::string end;
  if (!stop_reason.empty())
    end = "Stopped early: " + stop_reason;
  else if (last)
    end = "Complete: " + fmt("%.3f", last->progress) + " % of the sample analysed";
  else
    end = "No rows";
  s += text(X1, Y1 + 66, end, "text-anchor=\"end\" font-style=\"italic\"");
  s += "</svg>\n";
  return s;
}
