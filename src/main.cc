#include "pelko.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // The solver allocates its work space anew for every estimate and frees
  // it after; the C library gave the top of the heap back to the system
  // each time and took it again at the next one (about 21,000 brk calls and
  // as many page faults in a run of 100 rows over 16,384 buckets), costing
  // a tenth of the wall time of an uncached run over 300 MiB of small files.
  // 8 MiB of free heap kept covers that work space at the plans' largest
  // histograms; the peak resident size is unchanged. Fixing the trim
  // threshold stops the library's own adjustment of the mapping threshold,
  // so that is fixed too: blocks of 1 MiB and more get mappings of their own
  // (without it, those of 128 KiB and more until the first is freed).
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  os_main_args(&argc, &argv);
  return pelko_main(argc, argv);
}
