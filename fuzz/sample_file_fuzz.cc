// Fuzz target: export files. Any bytes must be refused or read without a
// crash or a sanitizer report; what is read must hold together.
#include <stddef.h>
#include <stdint.h>

#include "pelko.h"
#include "sample_file.h"

static void read_all(const uint8_t* data, size_t size, bool verify) {
  SampleReader r;
  if (!r.open_memory(data, size, verify)) {
    PELKO_ASSERT(!r.error().empty());
    return;
  }
  const sample_header_t& h = r.header();
  PELKO_ASSERT(h.fingerprint_bits == 32 || h.fingerprint_bits == 64);
  sample_entry_t e;
  uint64_t n = 0, prev = 0;
  while (r.next(&e)) {
    PELKO_ASSERT(n == 0 || e.fp > prev);
    PELKO_ASSERT(e.buckets >= 1 && e.chunks >= e.buckets);
    prev = e.fp;
    n++;
  }
  PELKO_ASSERT(n <= h.n_entries);
  if (r.error().empty()) PELKO_ASSERT(n == h.n_entries);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  read_all(data, size, false);  // the parser, past the checksum
  read_all(data, size, true);
  return 0;
}
