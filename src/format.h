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

// atof() of str, multiplied by the suffix given by its last character only
// (K, M, G, T, case-insensitive). "" -> 0, "16K" -> 16384, "16KB" -> 16.
double strsize_to_bytes(const char* str);

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

#endif  // PELKO_FORMAT_H_
