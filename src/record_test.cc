#include "record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chart.h"
#include "options.h"

namespace {

TEST(Record, Utf8ValidityAndDisplay) {
  EXPECT_TRUE(utf8_valid(""));
  EXPECT_TRUE(utf8_valid("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  const std::string fffd = "\xEF\xBF\xBD";
  struct {
    const char* in;
    std::string shown;
  } bad[] = {
      {"a\xFF", "a" + fffd},                  // never in UTF-8
      {"\xC0\xAF", fffd + fffd},              // overlong "/"
      {"\xED\xA0\x80", fffd + fffd + fffd},   // a surrogate
      {"\xE2\x82", fffd + fffd},              // cut short at the end
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(utf8_valid(b.in)) << to_hex(b.in);
    EXPECT_EQ(b.shown, utf8_display(b.in)) << to_hex(b.in);
  }
  EXPECT_EQ("00ff41", to_hex(std::string("\0\xFF" "A", 3)));
}

TEST(Chart, MarkupOfRowsWithAndWithoutEstimates) {
  std::vector<record_row_t> rows(3);
  rows[0].progress = 1;  // no dedupe estimate yet: -1
  rows[1].progress = 50, rows[1].r = 2, rows[1].r_low = 1.5, rows[1].r_high = 3;
  rows[2].progress = 100, rows[2].final = true, rows[2].r = rows[2].r_low =
      rows[2].r_high = 2.5;
  for (auto& r : rows) r.compress_ratio = 1.5, r.zeros = 10;
  const std::string svg = chart_svg(rows, -1, "interrupted by <SIGINT> & co");
  EXPECT_NE(std::string::npos, svg.find("<polygon"));  // the band
  EXPECT_NE(std::string::npos, svg.find("2.500 (2.500 to 2.500)"));
  EXPECT_NE(std::string::npos,
            svg.find("Stopped early: interrupted by &lt;SIGINT&gt; &amp; co"));
  // Without rows or with the dedupe mode off: no band, no dedupe legend.
  const std::string empty = chart_svg({}, ESTIMATE_COMPRESS, "");
  EXPECT_EQ(std::string::npos, empty.find("<polygon"));
  EXPECT_EQ(std::string::npos, empty.find("dedupe"));
  EXPECT_NE(std::string::npos, empty.find("No rows"));
}

// The title names the inputs, their size, the chunk size and the date; the
// legend has the total reduction ratio with its range; the zero share's
// ticks lie on the ratio axis's grid lines; values above the scale are
// marked; a stopped run's axis ends where it stopped; and where the band
// is missing a note says why.
TEST(Chart, TitleLegendAxesAndNotes) {
  std::vector<record_row_t> rows;
  for (int i = 1; i <= 20; i++) {
    record_row_t r;
    r.progress = i;
    r.bytes = (size_t)i * 7 << 20;  // 7 buckets of 1 MiB a percent
    r.r = 1.5;
    if (i >= 3) r.r_low = 1.2, r.r_high = i == 3 ? 40 : 2;
    r.compress_ratio = 2;
    r.zeros = 10;
    rows.push_back(r);
  }
  rows.back().final = true;
  chart_info_t info;
  info.inputs = {"/srv/a", "/srv/b"};
  info.total_size = 800 << 20;
  info.chunk_size = 16384;
  info.bucket_size = 1 << 20;
  info.date = "2024-05-01 14:03";
  info.ratio = summary_figure_t{3.1, 2.9, 3.4};
  const std::string svg = chart_svg(rows, -1, "stopped by --stop-at 20", info);
  EXPECT_NE(std::string::npos, svg.find(">Data reduction of /srv/a, /srv/b<"));
  EXPECT_NE(std::string::npos,
            svg.find(">800 MiB, chunk size 16 KiB, 2024-05-01 14:03, pelko "));
  EXPECT_NE(std::string::npos,
            svg.find("total reduction ratio: 3.100 (pessimistic 2.900, "
                     "optimistic 3.400)"));
  // The scale follows the rows past 10 %: up to 2.5 in five steps, so the
  // zero share reads 0, 20, ... 100 % on the same lines.
  EXPECT_NE(std::string::npos, svg.find(">2.50<"));
  EXPECT_EQ(std::string::npos, svg.find(">3.00<"));
  for (int pct : {0, 20, 40, 60, 80, 100})
    EXPECT_NE(std::string::npos,
              svg.find("x=\"786.0\" y=\"" +
                       std::to_string(400 - pct * 320 / 100 + 4) + ".0\" >" +
                       std::to_string(pct) + " %<"))
        << pct;
  // The band of the 3 % row is above the scale: one mark, and its legend.
  EXPECT_EQ(2u, [&] {
    size_t n = 0;
    for (size_t at = 0; (at = svg.find("fill=\"#c00\"", at)) != std::string::npos; at++) n++;
    return n;
  }());
  EXPECT_NE(std::string::npos, svg.find("above the scale: clipped at the top"));
  // The x axis ends at 20 %, where the run stopped.
  EXPECT_NE(std::string::npos, svg.find("the run stopped at 20 %"));
  EXPECT_NE(std::string::npos, svg.find(">20 %</text>"));
  EXPECT_EQ(std::string::npos,
            svg.find("y=\"418.0\" text-anchor=\"middle\">100 %<"));
  EXPECT_NE(std::string::npos,
            svg.find("range from 3 %; before: fewer than 16 buckets read"));
  EXPECT_NE(std::string::npos, svg.find("Stopped early: stopped by --stop-at "
                                        "20 at 20.000 %"));

  // No band at all: said so, with the reason.
  for (auto& r : rows) r.r_low = r.r_high = -1;
  const std::string none = chart_svg(rows, -1, "", info);
  EXPECT_NE(std::string::npos, none.find("No range: too little read to bound"));
  EXPECT_EQ(std::string::npos, none.find("<polygon fill=\"#9ecae1\""));
  // An exact ratio is said to be exact.
  info.ratio = summary_figure_t{3.1, 3.1, 3.1};
  EXPECT_NE(std::string::npos, chart_svg(rows, -1, "", info)
                                   .find("total reduction ratio: 3.100 (exact)"));
}

}  // namespace
