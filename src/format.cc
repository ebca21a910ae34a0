// Size formatting and parsing helpers shared by every report.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>
#include <strings.h>

#include <iostream>

#include "format.h"
#include "types.h"

const char* const DEVTYPE_TO_STR[9] = {
    "unknown",     "block device", "file system",   "directory", "single file",
    "char device", "fifo file",    "symbolic link", "socket"};

std::string capacity_to_str(size_t capacity) {
  char buf[64];
  const unsigned long long c = capacity;
  if (c < 16384ULL) {
    snprintf(buf, sizeof(buf), "%lld", (long long)c);
  } else if (c < 2097152ULL) {
    snprintf(buf, sizeof(buf), "%.3lf KiB", (double)c / ONE_KB);
  } else if (c < 2147483648ULL) {
    snprintf(buf, sizeof(buf), "%.3lf MiB", (double)c / ONE_MB);
  } else if (c < 2199023255552ULL) {
    snprintf(buf, sizeof(buf), "%.3lf GiB", (double)c / ONE_GB);
  } else {
    snprintf(buf, sizeof(buf), "%.3lf TiB", (double)c / ONE_TB);
  }
  return buf;
}

std::string memory_to_str(size_t cur_usage, size_t max_usage) {
  char buf[64];
  if (max_usage == (size_t)-1) {
    snprintf(buf, sizeof(buf), "%.3lf GiB", (double)cur_usage / ONE_GB);
  } else {
    snprintf(buf, sizeof(buf), "%.3lf (%.3lf) GiB", (double)cur_usage / ONE_GB,
             (double)max_usage / ONE_GB);
  }
  return buf;
}

const char* const SIZE_FORMS =
    "a number with an optional unit K, KB or KiB (1024 bytes), M, G or T "
    "alike (powers of 1024), as in 16K or 1.5G";

namespace {

// The decimal number at the start of str (after blanks): its value in *out
// and where it ends; nullptr when there is none or it is not finite.
// strtod alone would also take hex digits, "nan" and "inf".
const char* scan_number(const char* str, double* out) {
  const char* p = str;
  while (*p == ' ' || *p == '\t') p++;
  const char* q = p;
  if (*q == '+' || *q == '-') q++;
  bool digits = false;
  while (isdigit((unsigned char)*q)) q++, digits = true;
  if (*q == '.') {
    q++;
    while (isdigit((unsigned char)*q)) q++, digits = true;
  }
  if (!digits) return nullptr;
  if (*q == 'e' || *q == 'E') {
    const char* e = q + 1;
    if (*e == '+' || *e == '-') e++;
    if (isdigit((unsigned char)*e)) {
      while (isdigit((unsigned char)*e)) e++;
      q = e;
    }
  }
  *out = strtod(std::string(p, q).c_str(), nullptr);
  return isfinite(*out) ? q : nullptr;
}

}  // namespace

bool parse_number(const char* str, double* out) {
  double n = 0;
  const char* end = scan_number(str, &n);
  if (end == nullptr || *end != 0) return false;
  *out = n;
  return true;
}

double strsize_to_bytes(const char* str) {
  double n = 0;
  const char* q = scan_number(str, &n);
  if (q == nullptr) return NAN;
  // The unit.
  double unit = 1;
  switch (toupper((unsigned char)*q)) {
    case 0:
      return n;
    case 'B':
      return q[1] == 0 ? n : NAN;
    case 'K':
      unit = (double)ONE_KB;
      break;
    case 'M':
      unit = (double)ONE_MB;
      break;
    case 'G':
      unit = (double)ONE_GB;
      break;
    case 'T':
      unit = (double)ONE_TB;
      break;
    default:
      return NAN;
  }
  const char* rest = q + 1;
  if (strcasecmp(rest, "") != 0 && strcasecmp(rest, "B") != 0 &&
      strcasecmp(rest, "iB") != 0)
    return NAN;
  return n * unit;
}

std::string size_text(size_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  int u = -1;
  double v = (double)bytes;
  while (u < 3 && v >= 1024) v /= 1024, u++;
  if (u < 0) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f", v);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s + " " + units[u];
}

std::string cut_to_width(const std::string& s, int width) {
  if (width <= 0 || s.size() <= (size_t)width) return s;
  size_t n = (size_t)width;
  // Not inside a UTF-8 sequence: back up over continuation bytes.
  while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80) n--;
  return s.substr(0, n);
}

std::string elapsed_text(long long seconds) {
  char buf[64];
  if (seconds < 60)
    snprintf(buf, sizeof(buf), "%llds", seconds);
  else if (seconds < 3600)
    snprintf(buf, sizeof(buf), "%lldm%02llds", seconds / 60, seconds % 60);
  else
    snprintf(buf, sizeof(buf), "%lldh%02lldm%02llds", seconds / 3600,
             seconds / 60 % 60, seconds % 60);
  return buf;
}

_TSTRING chars_to_tstring(const char* s) { return _TSTRING(s); }

std::string eta_to_str(double seconds) {
  if (!(seconds >= 0) || seconds > 1e12) return "ETA unknown";
  char buf[64];
  const long long s = (long long)ceil(seconds);
  if (s < 60) {
    snprintf(buf, sizeof(buf), "ETA %llds", s);
  } else if (s < 3600) {
    snprintf(buf, sizeof(buf), "ETA %lldm%02llds", s / 60, s % 60);
  } else if ((s + 59) / 60 < 24 * 60) {
    const long long m = (s + 59) / 60;  // whole minutes, rounded up
    snprintf(buf, sizeof(buf), "ETA %lldh%02lldm", m / 60, m % 60);
  } else {
    const long long h = (s + 3599) / 3600;  // whole hours, rounded up
    snprintf(buf, sizeof(buf), "ETA %lldd%02lldh", h / 24, h % 24);
  }
  return buf;
}

std::string escape_controls(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  auto escaped = [](std::string* out, unsigned char c) {
    *out += "\\x";
    *out += digits[c >> 4];
    *out += digits[c & 15];
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char c = (unsigned char)text[i];
    const unsigned char next =
        i + 1 < text.size() ? (unsigned char)text[i + 1] : 0;
    if (c < 0x20 || c == 0x7F || c == '\\') {
      escaped(&out, c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
      escaped(&out, c);
      escaped(&out, next);
      i++;
    } else {
      out += (char)c;
    }
  }
  return out;
}

namespace {

// A ratio in at most about five digits, so that a row stays within 80
// columns however far the data reduces: "1.234", "12.35", "123.4", "12288".
std::string ratio3(double v) {
  char buf[64];
  snprintf(buf, sizeof(buf), v < 10 ? "%.3f" : v < 100 ? "%.2f" : v < 1000 ? "%.1f" : "%.0f", v);
  return buf;
}

std::string percent3(double share) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f%%", share * 100);
  return buf;
}

// The columns: elapsed, analysed (bytes and share), dedupe and its range,
// compress, zeros.
std::string compact_line(const std::string& elapsed, const std::string& bytes,
                         const std::string& share, bool dedupe,
                         const std::string& r, const std::string& range,
                         bool compress, const std::string& c,
                         const std::string& zeros) {
  char buf[256];
  std::string s;
  snprintf(buf, sizeof(buf), "%7s  %-12s %8s", elapsed.c_str(), bytes.c_str(),
           share.c_str());
  s += buf;
  if (dedupe) {
    snprintf(buf, sizeof(buf), "  %8s %-17s", r.c_str(), range.c_str());
    s += buf;
  }
  if (compress) {
    snprintf(buf, sizeof(buf), "  %8s", c.c_str());
    s += buf;
  }
  snprintf(buf, sizeof(buf), "  %8s", zeros.c_str());
  s += buf;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

std::string compact_header(bool dedupe, bool compress) {
  return compact_line("elapsed", "analysed", "", dedupe, "dedupe",
                      "[low-high]", compress, "compress", "zeros");
}

std::string compact_row(const compact_row_t& row) {
  std::string r = "-", range;
  if (row.r > 0) r = ratio3(row.r);
  const bool has_low = row.r_low > 0, has_high = row.r_high > 0;
  if (has_low && has_high && row.r > 0 && fabs(row.r_low - row.r) < 1e-5 &&
      fabs(row.r_high - row.r) < 1e-5)
    range = "(exact)";
  else if (has_low || has_high)
    range = "[" + (has_low ? ratio3(row.r_low) : std::string("?")) + "-" +
            (has_high ? ratio3(row.r_high) : std::string("?")) + "]";
  return compact_line(elapsed_text(row.elapsed), capacity_to_str(row.bytes),
                      percent3(row.progress), row.dedupe, r, range,
                      row.compress, ratio3(row.compress_ratio),
                      percent3(row.zeros));
}

std::string compact_progress(long long elapsed, size_t bytes, double progress,
                             double bytes_per_second, const std::string& memory,
                             const std::string& eta) {
  std::string s = elapsed_text(elapsed) + "  " + capacity_to_str(bytes) +
                  " (" + percent3(progress) + ")";
  if (bytes_per_second >= 0)
    s += "  " + capacity_to_str((size_t)bytes_per_second) + "/s";
  return s + "  mem " + memory + "  " + eta;
}
