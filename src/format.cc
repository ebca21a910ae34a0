// Size formatting and parsing helpers shared by every report.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>

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

double strsize_to_bytes(const char* str) {
  if (str[0] == 0) return 0;
  double n = atof(str);
  switch (toupper((unsigned char)str[strlen(str) - 1])) {
    case 'K':
      n *= (double)ONE_KB;
      break;
    case 'M':
      n *= (double)ONE_MB;
      break;
    case 'G':
      n *= (double)ONE_GB;
      break;
    case 'T':
      n *= (double)ONE_TB;
      break;
    default:
      break;
  }
  return n;
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
