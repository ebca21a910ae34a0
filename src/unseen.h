// Unseen estimator: the deduplication ratio of a whole data set from the
// duplicate-frequency histogram of a random sample of its chunks, by linear
// programming (Coin-OR Clp).
#ifndef PELKO_UNSEEN_H_
#define PELKO_UNSEEN_H_

#include <stddef.h>

#include <functional>
#include <memory>
#include <vector>

#include "dfh.h"
#include "matrix.h"

class ClpSimplex;
class CoinBuild;

// One point of a fitted histogram: the distinct contents a program puts at
// a multiplicity (the contents' occurrences in the data set, in the
// histogram's unit).
struct unseen_fit_t {
  double multiplicity;
  double distinct;
};

// One object serves one estimate. Not thread-safe; takes no locks. Borrows
// the histogram, which must outlive the object and stay unchanged meanwhile.
class Unseen {
 public:
  // y_size: entries of Y in use (one more than the highest count seen),
  // 2 <= y_size <= Y.size(). n: chunks of the whole data set that the
  // histogram stands for, n > 0. debug: the run's debug level. max_head:
  // entries modelled at most (0: MAX_Y_SIZE); higher counts are taken as
  // known (the tail).
  Unseen(const DFH_ARRAY& Y, size_t y_size, size_t n, int debug,
         size_t max_head = 0);
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
  // (about 1e-4 relative on the worst programs tried); programs of more than
  // 10^10 chunks, where it is lower, are always solved from scratch.
  double run_range(bool low, double alpha) const;

  // After run_core: the distinct chunks the last core solve puts at
  // multiplicity 1, those that occur once in the data set.
  double get_singletons() const { return m_singletons; }

  // After run_core or run_range: the histogram of the data set that the
  // last program solved puts forward, the tail's entries (counts taken as
  // known) at their count over the share sampled.
  const std::vector<unseen_fit_t>& fitted() const { return m_fit; }


  // Before run_core: the count that one independent observation stands
  // for, u >= 1 (1: every checksum is an independent draw). A sample of
  // buckets whose chunks come and go together (copies of whole buckets)
  // varies as much as one with u times fewer, u times larger, independent
  // counts, so an entry's fit error is weighed by 1 / sqrt(u (u + Y[i])):
  // its standard deviation, with an empty entry one observation wide. The
  // ratio does not depend on the scale, only on how much each entry may be
  // trusted.
  void set_unit(double u) { m_unit = u >= 1.0 ? u : 1.0; }

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
  // Appends the binomial rows of entries 1 to n - 1, each an equality of the
  // expected count plus its excess minus its shortfall with Y[i]; then the
  // overflow row. The table's zeros are left out of the solver's rows.
  void add_binomial_rows(row_set_t* rows) const;
  // Solves; true only for a proven optimum (status 0, secondary status 0).
  // A rejected solve is reported at debug level 1 and up, unless quiet.
  // steepest: full steepest-edge pricing, which takes the range programs
  // from the core's optimum to their own in a fraction of the steps the
  // default pricing needs (the core itself solves faster without it).
  bool linear_programming(ClpSimplex* model, bool quiet = false,
                          bool steepest = false) const;
  // r: chunks per distinct chunk of the modelled head; r_full: of the whole
  // data set, each tail checksum counted as one distinct chunk.
  void get_dedupe_ratio(const ClpSimplex* model, double* r,
                        double* r_full) const;
  void print_problem_comnuan(const char* text, const CoinBuild& constraints,
                             const double* obj) const;
  // One row of the dump: n_cols values, 0 where the row has no element.
  void print_row(const int* row2index, const double* row2value,
                 int n_elements, int n_cols) const;
  // The multiplicities modelled and their binomial table, for the current
  // head (Y_SIZE entries standing for N chunks). The core program and both
  // range programs of one estimate share them, so they are made once per
  // head; the reference stays valid until the head changes.
  struct grid_t;
  const grid_t& grid() const;
  const std::vector<double>& multiplicities() const;
  // Entry i's row is divided by this (Y[i], at least 1), so that every
  // row's bound is near 1, and its excess and shortfall are in these units:
  // fit_weight(i) is then their weight 1 / sqrt(u (u + Y[i])) (u the unit,
  // see set_unit) in the units of the scaled row.
  double entry_scale(int i) const;
  double fit_weight(int i) const;
  // The range programs' objective coefficient of x column k: the distinct
  // chunks it stands for, to be minimised or (negated) maximised.
  double distinct_cost(const grid_t& gr, size_t k, bool minimize) const;
  // Columns of a program: x_k (k < grid size), the fit errors, the overflow.
  int n_columns() const;


  // Data-set chunks that the k sampled chunks of one entry stand for.
  double share(double k) const;
  // Takes the share of entry i (holding `entry` checksums) out of N; N never
  // drops below 0.
  void drop_share(int64_t entry, size_t i);
  // Moves the top head entry into the tail.
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
  mutable double m_singletons;
  mutable std::vector<unseen_fit_t> m_fit;
  double m_unit = 1.0;

  // Cache of grid().
  mutable std::unique_ptr<grid_t> m_grid;

  // Test hook: when set, called after every solve with the solver's status
  // codes, which it may overwrite. Null in production.
  std::function<void(int* status, int* secondary_status)> m_status_hook;
};

// ---------------------------------------------------------------------------
// The dedupe estimate of a report: the ratio and a range meant to hold the
// true ratio in about 95 % of samples.
//
// The sample is a cluster sample: buckets of consecutive chunks are drawn at
// random, so a checksum's count is the number of sampled buckets it occurs
// in (repeats within one bucket are drawn together and say nothing of the
// data set's other buckets), and the sampled buckets are dealt into
// UNSEEN_GROUPS groups in the order they were drawn. From the histograms of
// the sample without each group (the delete-a-group jackknife):
//  - the design effect: how much more the histogram's entries vary than
//    they would with independently drawn checksums (at least 1). Copies of
//    whole buckets come and go together, so one sampled bucket weighs as
//    much as one observation, not as many as its chunks: the programs weigh
//    every entry's fit error in those units (Unseen::set_unit).
//  - the estimate: the geometric middle of the linear programs' range
//    (below), or the core program's optimum while the range has no ends;
//  - the range: the linear programs' range at the run's alpha (the data sets
//    whose expected histograms fit the sample about as well as the best),
//    each end moved outwards by its own sampling noise: the programs are
//    solved again on every replicate (their heads cut at a few entries,
//    higher counts taken as known), and the spread of each end over them,
//    on the log scale, gives t standard errors (t with UNSEEN_GROUPS - 1
//    degrees of freedom), with the finite population correction 1 - f;
//  - for the high end, duplicates between buckets of which at most one has
//    been read: two buckets that are copies of each other show nothing until
//    both are read, so the high end is at least the ratio with as many such
//    pairs merged among the chunks that look unique as the sample could have
//    missed (the larger of the two, not their sum).
// Every figure lies between 1 and the bound that the distinct checksums seen
// already set (the data set has at least as many). Both ends are -1 (not
// bounded) while fewer than two buckets per group have been read.

// Groups of the jackknife; a bucket's group is its drawing order modulo this.
const int UNSEEN_GROUPS = 8;

struct unseen_sample_t {
  // Histogram of the whole sample (entry k: checksums seen in exactly k
  // buckets) and its used length.
  const DFH_ARRAY* dfh;
  size_t dfh_size;
  // The same without the buckets of group g, each with its used length.
  // Checksums seen in too many buckets of one group to be counted per group
  // are left out of these: n_fixed of them, with fixed_occurrences bucket
  // occurrences in all.
  const DFH_ARRAY* replicate[UNSEEN_GROUPS];
  size_t replicate_size[UNSEEN_GROUPS];
  size_t n_fixed;
  double fixed_occurrences;
  // Distinct checksums the histogram counts.
  size_t n_distinct;
  // Data-set chunks the histogram stands for, and the share of them that the
  // sample holds (1: the whole data set has been read).
  double chunks;
  double fraction;
  // Buckets of the data set.
  size_t n_buckets;
  // Where `chunks` is the data set's own count rather than an estimate from
  // this sample: each group's share of the sample's chunks. The replicates
  // then take the data set's occurrences from their own buckets, so that the
  // noise of that total shows in the range (a bucket half of zero chunks
  // brings half the occurrences of one of distinct chunks, and how many such
  // buckets were drawn moves the distinct count the ratio divides by). All
  // zero: the replicates keep the whole sample's total, as they must where
  // `chunks` is estimated from the same buckets and its noise cancels that
  // of the occurrences.
  double group_share[UNSEEN_GROUPS] = {};
};

struct unseen_result_t {
  double r;     // chunks per distinct chunk, -1: no estimate
  double low;   // -1: no bound
  double high;  // -1: no bound
  // The data set's histogram the estimate stands on (the mean of the range
  // programs' two solutions, which lies between them as the estimate does;
  // the core program's while the range has no ends), and those of the
  // range's two ends (empty without them). Empty without an estimate.
  std::vector<unseen_fit_t> fit, fit_low, fit_high;
  // The same mean of the two ends for the sample without each group (its
  // programs' heads cut as for the range's noise); empty where not solved.
  std::vector<unseen_fit_t> fit_rep[UNSEEN_GROUPS];
};

// One dedupe estimate. The histograms must stay unchanged during the call.
// At debug level 1 and up the linear programs' debug lines are printed for
// the whole sample, then one line with the jackknife's figures.
unseen_result_t unseen_estimate(const unseen_sample_t& s, double alpha,
                                int debug);

#endif  // PELKO_UNSEEN_H_
