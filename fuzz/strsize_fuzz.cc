// Fuzz target: size arguments. Any text must parse without a crash or a
// sanitizer report; what is accepted is a finite number of bytes, and the
// same number with a unit is 1024 times it.
#include <stddef.h>
#include <stdint.h>

#include <ctype.h>

#include <cmath>
#include <string>

#include "format.h"
#include "pelko_assert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  s = s.c_str();  // arguments never hold a NUL
  double v = strsize_to_bytes(s.c_str());
  if (s.empty()) PELKO_ASSERT(std::isnan(v));
  PELKO_ASSERT(std::isnan(v) || std::isfinite(v) ||
               s.find_first_of("kKmMgGtT") != std::string::npos);
  if (std::isfinite(v) && !s.empty() && isdigit((unsigned char)s.back())) {
    const double k = strsize_to_bytes((s + "K").c_str());
    PELKO_ASSERT(std::isnan(k) || k == v * 1024 || std::isinf(k));
  }
  // Formatting any value back must stay within its buffer.
  if (std::isfinite(v) && v >= 0 && v < 1.8e19) {
    std::string t = capacity_to_str((size_t)v);
    PELKO_ASSERT(!t.empty() && t.size() < 64);
    std::string m = memory_to_str((size_t)v, (size_t)v);
    PELKO_ASSERT(!m.empty() && m.size() < 64);
  }
  return 0;
}
