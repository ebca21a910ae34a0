// Fuzz target: size arguments. Any text must parse without a crash or a
// sanitizer report, and the suffix rule must hold.
#include <stddef.h>
#include <stdint.h>

#include <cmath>
#include <string>

#include "format.h"
#include "pelko_assert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  s = s.c_str();  // arguments never hold a NUL
  double v = strsize_to_bytes(s.c_str());
  if (s.empty()) PELKO_ASSERT(v == 0);
  // Formatting any value back must stay within its buffer.
  if (std::isfinite(v) && v >= 0 && v < 1.8e19) {
    std::string t = capacity_to_str((size_t)v);
    PELKO_ASSERT(!t.empty() && t.size() < 64);
    std::string m = memory_to_str((size_t)v, (size_t)v);
    PELKO_ASSERT(!m.empty() && m.size() < 64);
  }
  return 0;
}
