// Unseen estimator: the deduplication ratio of a whole data set from the
// duplicate-frequency histogram of a random sample of its chunks, by linear
// programming (Coin-OR Clp).
#ifndef PELKO_UNSEEN_H_
#define PELKO_UNSEEN_H_

#include <stddef.h>

#include <vector>

// Duplicate-frequency histogram: entry k counts the distinct checksums seen
// exactly k times; entry 0 is always 0.
typedef std::vector<int> DFH_ARRAY;

class ClpSimplex;
class CoinBuild;

// One object serves one estimate. Not thread-safe; takes no locks. Borrows
// the histogram, which must outlive the object and stay unchanged meanwhile.
class Unseen {
 public:
  // y_size: entries of Y in use (one more than the highest count seen),
  // 2 <= y_size <= Y.size(). n: chunks of the whole data set that the
  // histogram stands for, n > 0. debug: the run's debug level.
  Unseen(const DFH_ARRAY& Y, size_t y_size, size_t n, int debug);

  // Solves the core program, retrying with fewer entries while the solver
  // fails; returns the estimated ratio of the whole data set (chunks per
  // distinct chunk). Call once.
  double run_core();

  // After run_core: the low (low = true) or high end of the range of ratios
  // admitted at tolerance alpha, or -1.0 when that solve fails.
  double run_range(bool low, double alpha) const;

  static size_t MAX_Y_SIZE;
};

#endif  // PELKO_UNSEEN_H_
