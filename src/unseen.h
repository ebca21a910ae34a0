// Unseen estimator: the deduplication ratio of a whole data set from the
// duplicate-frequency histogram of a random sample of its chunks, by linear
// programming (Coin-OR Clp).
#ifndef PELKO_UNSEEN_H_
#define PELKO_UNSEEN_H_

#include <stddef.h>

#include <functional>
#include <memory>
#include <vector>

#include "matrix.h"

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
  ~Unseen();

  // Solves the core program, retrying with fewer entries while the solver
  // fails; returns the estimated ratio of the whole data set (chunks per
  // distinct chunk), or -1.0 when even the last attempt (two entries) was
  // rejected. A histogram whose entries all lie beyond MAX_Y_SIZE leaves no
  // program to solve: its ratio is that of the tail. Call once.
  double run_core();

  // After run_core: the low (low = true) or high end of the range of ratios
  // admitted at tolerance alpha, or -1.0 when that solve fails. The first end
  // asked for starts from the core program's optimum, the other end from the
  // first's (their programs differ only in the objective's sign); a start
  // that fails is followed by a solve from scratch. The optimum's value, and
  // so the ratio, does not depend on the start, up to the solver's accuracy
  // (about 1e-4 relative on the worst programs tried).
  double run_range(bool low, double alpha) const;

  static size_t MAX_Y_SIZE;

 private:
  friend class UnseenTestPeer;

  // One build-and-solve of the core program. Writes all three outputs
  // whether or not the solve was accepted; returns whether it was.
  bool run_unseen(double* opt, double* r, double* r_full) const;
  void build_model_unseen(ClpSimplex* model) const;
  // One solve of the range program (minimize: fewest distinct chunks). A
  // core objective below -1e-5 is refused: false, outputs left unwritten.
  bool run_unseen_range(bool minimize, double alpha, double unseen_opt,
                        double* opt, double* r, double* r_full) const;
  // The same on an empty model of the caller's, which keeps it; from_core:
  // the simplex starts from the core program's accepted basis, and a failed
  // solve prints no status line (the caller solves anew from scratch).
  bool run_unseen_range(ClpSimplex* model, bool minimize, double alpha,
                        double unseen_opt, bool from_core, double* opt,
                        double* r, double* r_full) const;
  // Gives a built range program the core's basis, its rows mapped.
  void start_from_core(ClpSimplex* model) const;
  void build_model_unseen_range(ClpSimplex* model, double alpha,
                                double unseen_opt, bool minimize) const;
  // Rows of a program in compressed form (defined in unseen.cc).
  struct row_set_t;
  // Hands the rows collected in `rows` to the empty model, in order.
  void add_rows(ClpSimplex* model, const row_set_t& rows) const;
  // Sets the objective (one coefficient per column) and appends row 0, the
  // chunk count: sum of j * x_j for j = 1 .. n - 1 equals N.
  void begin_program(ClpSimplex* model, const std::vector<double>& obj,
                     row_set_t* rows) const;
  // Appends the binomial rows of entries 1 to n - 1: for each, one row with
  // s_i at +1 (>= Y[i]) and one with s_i at -1 (<= Y[i]), in the order
  // plus_first says. The table's zeros are left out of the solver's rows.
  void add_binomial_rows(int n, bool plus_first, row_set_t* rows) const;
  // Solves; true only for a proven optimum (status 0, secondary status 0).
  // A rejected solve is reported at debug level 1 and up, unless quiet.
  bool linear_programming(ClpSimplex* model, bool quiet = false) const;
  // r: chunks per distinct chunk of the modelled head; r_full: of the whole
  // data set, each tail checksum counted as one distinct chunk.
  void get_dedupe_ratio(const ClpSimplex* model, double* r,
                        double* r_full) const;
  void print_problem_comnuan(const char* text, const CoinBuild& constraints,
                             const double* obj) const;
  // One row of the dump: n_cols values, 0 where the row has no element.
  void print_row(const int* row2index, const double* row2value,
                 int n_elements, int n_cols) const;
  // The binomial table of P for n modelled entries. The core program and
  // both range programs of one estimate share it, so it is made once per
  // size; the reference stays valid until a call with another n.
  const Matrix& binomial(int n) const;
  // Data-set chunks that the k sampled chunks of one entry stand for.
  double share(double k) const;
  // Moves the top head entry into the tail; N never drops below 0.
  void trim_top_entry();

  int m_debug;
  const DFH_ARRAY& Y;
  size_t Y_SIZE;
  size_t Y_FULL_SIZE;
  size_t N;
  size_t N_FULL;
  double P;
  double OPT;

  // Whether range programs may start from a solved basis (tests compare
  // with starts from scratch).
  bool m_warm_start;
  // The last range program solved to an accepted optimum, kept so that the
  // other end can start from its basis; the tolerance and direction it was
  // solved for.
  mutable std::unique_ptr<ClpSimplex> m_range_model;
  mutable double m_range_alpha;
  mutable bool m_range_minimize;
  // Basis (status bytes of columns, then rows) of the core program's last
  // accepted solve; empty when it was not accepted.
  mutable std::vector<unsigned char> m_core_basis;
  // Cache of binomial(): the table and the size it was made for (0: none).
  mutable Matrix m_binomial;
  mutable int m_binomial_n;

  // Test hook: when set, called after every solve with the solver's status
  // codes, which it may overwrite. Null in production.
  std::function<void(int* status, int* secondary_status)> m_status_hook;
};

#endif  // PELKO_UNSEEN_H_
