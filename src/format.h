// Size, time and path formatting of the reports (format.cc).
#ifndef PELKO_FORMAT_H_
#define PELKO_FORMAT_H_

#include <stddef.h>

#include <string>

#include "types.h"

// "4096", "16.000 KiB", "2.000 MiB", "10.000 GiB", "2.000 TiB": each unit
// starts at twice its size.
std::string capacity_to_str(size_t capacity);

// "%.3lf GiB" of cur_usage when max_usage is (size_t)-1, otherwise
// "%.3lf (%.3lf) GiB" of both.
std::string memory_to_str(size_t cur_usage, size_t max_usage);

// A size argument in bytes: a decimal number (leading blanks, a sign, a
// fraction and an exponent allowed) and an optional unit, case-insensitive:
// none or B for bytes; K, KB or KiB for 1024 bytes; M, MB, MiB, G, GB, GiB,
// T, TB and TiB for 2^20, 2^30 and 2^40. "16K", "16KB", "16kib" and "16384"
// are all 16384. NaN for anything else: "", "K", "16KX", "1 K", "0x10",
// "nan", "inf".
double strsize_to_bytes(const char* str);

// The whole of str as a finite decimal number: blanks before it, a sign, a
// fraction and an exponent allowed. False for anything else: "", "5x",
// "0x10", "nan", "inf".
bool parse_number(const char* str, double* out);

// The accepted forms of a size, for the messages that refuse one.
extern const char* const SIZE_FORMS;

// A size as a person writes it: the largest of KiB, MiB, GiB and TiB that
// gives at least 1, with up to three decimals and no trailing zeros:
// "1 MiB", "16 KiB", "1.5 MiB", "1000 bytes", "1 byte".
std::string size_text(size_t bytes);

// s cut to at most width bytes (a progress line that must not wrap on the
// terminal); whole UTF-8 sequences only. width <= 0: s unchanged.
std::string cut_to_width(const std::string& s, int width);

// Elapsed time in the compact terminal rows: "42s", "5m07s", "1h02m05s".
std::string elapsed_text(long long seconds);

// A copy of s: paths are kept as the system's bytes.
_TSTRING chars_to_tstring(const char* s);

// The time left, for progress lines: "ETA 42s", "ETA 5m07s", "ETA 1h02m",
// "ETA 3d04h" (rounded up to the unit shown last); "ETA unknown" for a
// negative or non-finite number of seconds.
std::string eta_to_str(double seconds);

// text as it may be shown on a terminal although it comes from elsewhere
// (an export of another host): every control character (bytes below 0x20,
// 0x7F, and the C1 controls U+0080 to U+009F) and every backslash becomes
// "\xNN", so that no escape sequence acts. Other bytes stay as they are.
std::string escape_controls(const std::string& text);
// The analysis table in the compact layout of a terminal: elapsed time,
// bytes analysed and their share, dedupe ratio with its range, compression
// ratio, zero share, within 80 columns. Absent modes leave their columns
// out; -1 is a missing figure.
struct compact_row_t {
  long long elapsed = 0;  // seconds
  size_t bytes = 0;
  double progress = 0;    // share of the plan
  bool dedupe = false;
  double r = -1, r_low = -1, r_high = -1;
  bool compress = false;
  double compress_ratio = 0;
  double zeros = 0;       // share of the chunks analysed
};
std::string compact_header(bool dedupe, bool compress);
std::string compact_row(const compact_row_t& row);
// The transient progress line of the compact layout: elapsed time, bytes
// and share, rate (bytes_per_second < 0: none yet), memory, then eta (the
// "ETA ..." text).
std::string compact_progress(long long elapsed, size_t bytes, double progress,
                             double bytes_per_second, const std::string& memory,
                             const std::string& eta);

#endif  // PELKO_FORMAT_H_
