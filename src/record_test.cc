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

}  // namespace
