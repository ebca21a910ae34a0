#include "unseen.h"

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <cmath>

#include <coin/ClpLinearObjective.hpp>
#include <coin/ClpSimplex.hpp>
#include <coin/ClpPrimalColumnSteepest.hpp>
#include <coin/CoinBuild.hpp>
#include <ostream>
#include <vector>

#include "matrix.h"
#include "pelko_assert.h"
#include "printer.h"
#include "ranges.h"
#include "thread_object.h"

size_t Unseen::MAX_Y_SIZE = 120;

namespace {

// Reduced-cost tolerance of every solve. The fit weights go down to
// 1/sqrt(1 + Y[i]) (about 3e-5 for a million checksums) while the columns
// reach N chunks, so the solver's default of 1e-7 stops the simplex far from
// the optimum: with its default scaling and tolerance it was seen to report
// a proven optimum at several times the true objective. Unscaled with this
// tolerance, primal and dual simplex agree on every program we tried.
const double kDualTolerance = 1e-10;

// Value of a column for the debug lines, truncated to 32 bits. Saturates
// instead of overflowing (a column can exceed 2^31 chunks).
int32_t to_int32(double v) {
  if (!(v > INT32_MIN)) return INT32_MIN;
  if (v >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  return static_cast<int32_t>(v);
}

// A new, empty model. Building one sets up the solver's message tables, a
// noticeable share of a small program's solve; a copy of a pristine model
// (one per thread, never solved) is the same model for less.
ClpSimplex* new_model() {
  struct pristine_t {
    const ClpSimplex model{false};
  };
  return new ClpSimplex(thread_object<pristine_t>().model);
}

// Multiplicities beyond the head's own counts grow geometrically by this
// factor: a mixture of two neighbouring columns stands for any multiplicity
// between them (on 50 copies of every content, the estimate is within 1 %
// at 20 % read).
const double kGridGrowth = 1.1;
// The same for heads of more than kWideHead entries, whose programs are the
// largest: coarser, to keep an estimate at the entry cap near 15 ms.
const size_t kWideHead = 64;
const double kWideGridGrowth = 1.2;

// Chunks up to which the range programs start from a solved basis.
const double kWarmChunks = 1e10;

// Entries of the head that the jackknife's replicates model; counts above
// go to their tail, as known. The replicates measure the noise of what the
// sample has not resolved yet, contents seen a few times; those seen 16
// times or more are known to within about a quarter of their count. 16 keeps
// the 24 programs of the eight replicates within the cost of the whole
// sample's three at the entry cap (about 16 ms for all 27 there); 32 gave
// ranges up to a fifth narrower on long histograms at twice the cost.
const size_t kReplicateHead = 16;

// Bucket pairs the sample may have missed: the upper limit on the mean of a
// Poisson count of which none has been seen, at about 95 %.
const double kMissedPairs = 3.0;

}  // namespace

// The data-set multiplicities the program models, one x column each: every
// integer from 1 to n - 1 (n = Y_SIZE), then a geometric grid up to a
// multiplicity whose expected sample count lies far above the head's top
// entry, so that a content seen n - 1 times can stand for a multiplicity of
// about (n - 1) / P and more. table(k, i) is the probability that a content
// of multiplicity mult[k] is seen exactly i times in the sample (i < n), and
// table(k, n) that it is seen n times or more: the head holds no such
// content, which the overflow row says.
struct Unseen::grid_t {
  size_t n;        // Y_SIZE it was made for
  size_t n_chunks;  // N it was made for
  std::vector<double> mult;
  Matrix table;
  // Distinct chunks per unit of each x column: the columns hold the share of
  // the N chunks at their multiplicity (x_k = contents[k] * column k), which
  // keeps every column of a program over 10^9 chunks within the solver's
  // tolerances.
  std::vector<double> contents;
};

// The rows of one program, in the solver's row-wise compressed form. The
// debug dump needs them as a CoinBuild with every element of the dense
// rows, zeros included; `dump` collects that copy only when asked for.
struct Unseen::row_set_t {
  std::vector<double> lower, upper;
  std::vector<CoinBigIndex> starts{0};
  std::vector<int> columns;
  std::vector<double> elements;
  std::unique_ptr<CoinBuild> dump;

  explicit row_set_t(bool with_dump) {
    if (with_dump) dump.reset(new CoinBuild);
  }
  int size() const { return static_cast<int>(lower.size()); }
  // A row of count elements, its columns in increasing order.
  void add(int count, const int* index, const double* value, double lb,
           double ub) {
    columns.insert(columns.end(), index, index + count);
    elements.insert(elements.end(), value, value + count);
    close(lb, ub);
    if (dump) dump->addRow(count, index, value, lb, ub);
  }
  void close(double lb, double ub) {
    lower.push_back(lb);
    upper.push_back(ub);
    starts.push_back(static_cast<CoinBigIndex>(columns.size()));
  }
};

Unseen::Unseen(const DFH_ARRAY& y, size_t y_size, size_t n, int debug,
               size_t max_head)
    : m_debug(debug),
      Y(y),
      Y_SIZE(y_size),
      Y_FULL_SIZE(y_size),
      N(n),
      N_FULL(n),
      P(-1.0),
      OPT(-1.0),
      m_warm_start(true),
      m_range_alpha(0.0),
      m_range_minimize(false),
      m_singletons(0.0) {
  PELKO_ASSERT(y_size >= 2);
  PELKO_ASSERT(y_size <= Y.size());
  PELKO_ASSERT(n > 0);

  uint64_t S = 0;
  Y.for_each(0, Y_SIZE, [&S](size_t i, int64_t v) {
    S += static_cast<uint64_t>(v * static_cast<int64_t>(i));
  });
  P = static_cast<double>(S) / static_cast<double>(N);

  if (m_debug > 0) {
    printer << "UNSEEN: N=" << n << ", " << "S=" << S << ", P=" << (100 * P)
            << "%" << std::endl;
    printer << "Y:" << "\t";
    Y.for_each(0, y_size, [](size_t i, int64_t v) {
      printer << i << "=" << v << ",";
    });
    printer << std::endl;
  }

  if (max_head == 0) max_head = MAX_Y_SIZE;
  if (Y_SIZE > max_head) {
    // Entries above the cap go to the tail, the highest first; an empty
    // entry changes nothing.
    Y.for_each_descending(max_head, Y_SIZE,
                          [this](size_t i, int64_t v) { drop_share(v, i); });
    Y_SIZE = max_head;
  }
  if (Y_SIZE < Y_FULL_SIZE) {
    // Take the last trimmed entry back: max_head + 1 entries are modelled.
    double k = static_cast<double>(static_cast<int64_t>(Y[Y_SIZE]) *
                                   static_cast<int64_t>(Y_SIZE));
    N = static_cast<size_t>(share(k) + static_cast<double>(N));
    Y_SIZE++;
  }
  while (Y_SIZE > 1 && Y[Y_SIZE - 1] == 0) Y_SIZE--;
}

Unseen::~Unseen() {}

const Unseen::grid_t& Unseen::grid() const {
  if (m_grid && m_grid->n == Y_SIZE && m_grid->n_chunks == N) return *m_grid;
  std::unique_ptr<grid_t> g(new grid_t);
  g->n = Y_SIZE;
  g->n_chunks = N;
  const size_t top = Y_SIZE - 1;  // highest count of the head, >= 1
  for (size_t j = 1; j <= top; j++) g->mult.push_back((double)j);
  // Up to where a content would be seen about twice the top count, and at
  // least top + 4 sqrt(top) + 4 times: beyond, the overflow row rules it
  // out. No content occurs more often than the head has chunks.
  const double reach = std::max(2.0 * top, top + 4.0 * sqrt((double)top) + 4);
  const double p = std::min(P, 1.0);
  const double limit = std::min((double)N, ceil(reach / p));
  for (double m = (double)top; m < limit;) {
    const double growth = Y_SIZE > kWideHead ? kWideGridGrowth : kGridGrowth;
    m = std::min(limit, std::max(m + 1, ceil(m * growth)));
    g->mult.push_back(m);
  }
  g->table.make_binomial_tail_distr(P, g->mult.data(), g->mult.size(),
                                    Y_SIZE + 1);
  for (double m : g->mult) g->contents.push_back((double)N / m);
  m_grid = std::move(g);
  return *m_grid;
}

double Unseen::entry_scale(int i) const {
  return std::max<double>(1.0, (double)Y[i]);
}

double Unseen::fit_weight(int i) const {
  return entry_scale(i) / sqrt(m_unit * (m_unit + (double)Y[i]));
}

double Unseen::distinct_cost(const grid_t& gr, size_t k, bool minimize) const {
  // Distinct chunks per unit of the column, in units of N so that the
  // objective stays near 1.
  const double c = gr.contents[k] / std::max<size_t>(N, 1);
  return minimize ? c : -c;
}

const std::vector<double>& Unseen::multiplicities() const {
  return grid().mult;
}

int Unseen::n_columns() const {
  return static_cast<int>(grid().mult.size() + 2 * (Y_SIZE - 1) + 1);
}

double Unseen::share(double k) const { return k == 0 ? 0.0 : k / P; }

void Unseen::drop_share(int64_t entry, size_t i) {
  const double k = static_cast<double>(entry * static_cast<int64_t>(i));
  // In exact arithmetic the shares of all entries add up to N_FULL; rounding
  // and the truncations can make the last share exceed what is left.
  const double rest = static_cast<double>(N) - share(k);
  N = rest > 0 ? static_cast<size_t>(rest) : 0;
}

void Unseen::trim_top_entry() {
  drop_share(Y[Y_SIZE - 1], Y_SIZE - 1);
  Y_SIZE--;
}

double Unseen::run_core() {
  double opt = -1.0, r = 0.0, r_full = 0.0;
  bool ok = false;
  std::ostream& con = printer.console();
  for (;;) {
    if (m_debug > 0) {
      con << "debug1:" << "|Y| = " << Y_SIZE << "(" << Y_FULL_SIZE << ")"
          << "\t" << "N = " << N << "(" << N_FULL << ", " << (N * 100 / N_FULL)
          << "%)" << "\t" << std::endl;
    }
    ok = run_unseen(&opt, &r, &r_full);
    if (m_debug == 1) {
      con << "debug1:" << "\t" << "r=" << r << "\t" << "\t" << "rf=" << r_full
          << "\t" << "\t" << "opt=" << opt << "\t" << std::endl;
    } else if (m_debug > 1) {
      // A refused range solve leaves its outputs at -1.
      double o = -1.0;
      double r_low = -1.0, r_low_full = -1.0, r_high = -1.0, r_high_full = -1.0;
      run_unseen_range(false, 0.5, opt, &o, &r_low, &r_low_full);
      run_unseen_range(true, 0.5, opt, &o, &r_high, &r_high_full);
      con << "debug2:" << "\t" << "r=" << r << ", " << r_low << ".." << r_high
          << "\t" << "\t" << "rf=" << r_full << ", " << r_low_full << ".."
          << r_high_full << "\t" << "\t" << "opt=" << opt << "\t" << std::endl;
    }
    if (ok || Y_SIZE <= 2) break;
    trim_top_entry();
  }
  OPT = opt;
  // A rejected solution is no estimate, however plausible its ratio. Without
  // a head entry there is no program: the tail alone gives the ratio.
  if (!ok && Y_SIZE >= 2) {
    if (m_debug > 0)
      con << "debug1: every solve rejected, no estimate" << std::endl;
    return -1.0;
  }
  return r_full;
}

double Unseen::run_range(bool low, double alpha) const {
  PELKO_ASSERT(OPT != -1);
  const bool minimize = !low;
  // Level 3 dumps every program. Past kWarmChunks the solver's accuracy is
  // too low for a start: from a solved basis, the simplex was seen to stop
  // at accepted optima 10 % from those of solves from scratch.
  const bool warm = m_warm_start && m_debug <= 2 && N_FULL <= kWarmChunks;
  double opt, r, r_full;
  std::unique_ptr<ClpSimplex> model = std::move(m_range_model);
  if (warm && model && m_range_alpha == alpha &&
      m_range_minimize != minimize) {
    // The other end's program, solved: the same rows with the objective
    // negated, so its basis stays feasible and the simplex goes on from it.
    const grid_t& gr = grid();
    for (size_t k = 0; k < gr.mult.size(); k++)
      model->setObjectiveCoefficient((int)k, distinct_cost(gr, k, minimize));
    if (linear_programming(model.get(), true, true)) {
      get_dedupe_ratio(model.get(), &r, &r_full);
      m_range_model = std::move(model);
      m_range_minimize = minimize;
      return r_full;
    }
  }
  bool ok = false;
  if (warm && !m_core_basis.empty()) {
    model.reset(new_model());
    ok = run_unseen_range(model.get(), minimize, alpha, OPT, true, &opt, &r,
                          &r_full);
  }
  if (!ok) {
    // From the slack basis: without a start, or after one that failed.
    model.reset(new_model());
    ok = run_unseen_range(model.get(), minimize, alpha, OPT, false, &opt, &r,
                          &r_full);
  }
  if (!ok) return -1.0;
  if (warm) {
    m_range_model = std::move(model);
    m_range_alpha = alpha;
    m_range_minimize = minimize;
  }
  return r_full;
}

bool Unseen::run_unseen(double* opt, double* r, double* r_full) const {
  std::unique_ptr<ClpSimplex> owner(new_model());
  ClpSimplex& model = *owner;
  build_model_unseen(&model);
  bool ok = linear_programming(&model);
  get_dedupe_ratio(&model, r, r_full);
  const double* x = model.primalColumnSolution();
  const std::vector<double>& contents = grid().contents;
  m_singletons = x != nullptr && !contents.empty() && model.numberColumns() > 0
                     ? x[0] * contents[0]
                     : 0.0;
  *opt = model.objectiveValue();
  m_core_basis.clear();
  if (ok) {
    const unsigned char* status = model.statusArray();
    m_core_basis.assign(status, status + model.numberColumns() +
                                    model.numberRows());
  }
  return ok;
}

bool Unseen::run_unseen_range(bool minimize, double alpha, double unseen_opt,
                              double* opt, double* r, double* r_full) const {
  std::unique_ptr<ClpSimplex> model(new_model());
  return run_unseen_range(model.get(), minimize, alpha, unseen_opt, false, opt,
                          r, r_full);
}

bool Unseen::run_unseen_range(ClpSimplex* model, bool minimize, double alpha,
                              double unseen_opt, bool from_core, double* opt,
                              double* r, double* r_full) const {
  // The core's objective is a sum of non-negative terms: a value just below
  // 0 is the solver's tolerance (seen down to -1.1e-5 on programs of 6e7
  // chunks that fit exactly), one far below a solve gone wrong.
  if (unseen_opt < 0) {
    if (unseen_opt < -0.001) return false;
    unseen_opt = 0;
  }
  build_model_unseen_range(model, alpha, unseen_opt, minimize);
  if (from_core) start_from_core(model);
  bool ok = linear_programming(model, from_core, true);
  // A failed start is followed by a solve from scratch: its solution is not
  // shown in the debug lines.
  if (!ok && from_core) return false;
  get_dedupe_ratio(model, r, r_full);
  *opt = model->objectiveValue();
  return ok;
}

// Columns of both programs: x_k for the multiplicities (k < G), then for each
// entry i = 1 .. n - 1 the excess e+_i and the shortfall e-_i of the
// expected count against the observed one, then s_n, the head's expected
// overflow.
namespace {
inline int col_plus(int g, int i) { return g + 2 * (i - 1); }
inline int col_minus(int g, int i) { return g + 2 * (i - 1) + 1; }
inline int col_overflow(int g, int n) { return g + 2 * (n - 1); }
}  // namespace

void Unseen::build_model_unseen(ClpSimplex* model) const {
  const int n = static_cast<int>(Y_SIZE);
  const int g = static_cast<int>(grid().mult.size());
  const int n_cols = n_columns();
  model->setLogLevel(0);

  // Weighted fit errors |e+_i - e-_i| = |expected - observed|; the
  // overflow's observed count is 0.
  std::vector<double> obj(n_cols, 0.0);
  for (int i = 1; i < n; i++)
    obj[col_plus(g, i)] = obj[col_minus(g, i)] = fit_weight(i);
  obj[col_overflow(g, n)] = 1.0 / m_unit;
  row_set_t rows(m_debug > 2);
  begin_program(model, obj, &rows);
  add_binomial_rows(&rows);

  model->resize(0, n_cols);
  add_rows(model, rows);
  if (m_debug > 2) print_problem_comnuan("UNSEEN-CORE", *rows.dump, obj.data());
}

void Unseen::begin_program(ClpSimplex* model, const std::vector<double>& obj,
                           row_set_t* rows) const {
  const grid_t& gr = grid();
  const int g = static_cast<int>(gr.mult.size());
  {
    ClpLinearObjective objective(obj.data(), static_cast<int>(obj.size()));
    model->setObjective(&objective);
  }
  // The shares sum to 1 (to 0 when the head stands for no chunk).
  std::vector<int> index(g);
  std::vector<double> one(g, 1.0);
  for (int k = 0; k < g; k++) index[k] = k;
  const double all = N > 0 ? 1.0 : 0.0;
  rows->add(g, index.data(), one.data(), all, all);
}

void Unseen::add_binomial_rows(row_set_t* rows) const {
  const grid_t& gr = grid();
  const Matrix& B = gr.table;
  const int n = static_cast<int>(Y_SIZE);
  const int g = static_cast<int>(gr.mult.size());
  std::vector<int> index(g + 2, 0);
  std::vector<double> value(g + 2, 0.0);
  // Entry i: expected + e+_i - e-_i = Y[i], divided by the entry's scale;
  // then for i = n the overflow row, expected - s_n <= 0.
  for (int i = 1; i <= n; i++) {
    const double scale = i < n ? entry_scale(i) : 1.0;
    // Most elements are 0 (underflow, or a multiplicity below i): a zero
    // element adds nothing to the row, so the solver only gets the others.
    int count = 0;
    for (int k = 0; k < g; k++) {
      const double b = B(k, i);
      if (b == 0.0) continue;
      index[count] = k;
      value[count] = b * gr.contents[k] / scale;
      count++;
    }
    const bool overflow = i == n;
    double lb, ub;
    if (overflow) {
      index[count] = col_overflow(g, n);
      value[count++] = -1.0;
      lb = -COIN_DBL_MAX;
      ub = 0.0;
    } else {
      index[count] = col_plus(g, i);
      value[count++] = -1.0;
      index[count] = col_minus(g, i);
      value[count++] = 1.0;
      lb = ub = Y[i] / scale;
    }
    rows->columns.insert(rows->columns.end(), index.begin(),
                         index.begin() + count);
    rows->elements.insert(rows->elements.end(), value.begin(),
                          value.begin() + count);
    rows->close(lb, ub);
    if (rows->dump) {
      std::vector<int> full_index(g + 2);
      std::vector<double> full_value(g + 2);
      for (int k = 0; k < g; k++) {
        full_index[k] = k;
        full_value[k] = B(k, i) * gr.contents[k] / scale;
      }
      const int extra = overflow ? 1 : 2;
      for (int e = 0; e < extra; e++) {
        full_index[g + e] = index[count - extra + e];
        full_value[g + e] = value[count - extra + e];
      }
      rows->dump->addRow(g + extra, full_index.data(), full_value.data(), lb,
                         ub);
    }
  }
}

void Unseen::build_model_unseen_range(ClpSimplex* model, double alpha,
                                      double unseen_opt, bool minimize) const {
  const int n = static_cast<int>(Y_SIZE);
  const int g = static_cast<int>(grid().mult.size());
  const int n_cols = n_columns();
  const double limit = sqrt(unseen_opt) * alpha + unseen_opt;
  model->setLogLevel(0);

  std::vector<double> obj(n_cols, 0.0);
  const grid_t& gr = grid();
  for (int k = 0; k < g; k++) obj[k] = distinct_cost(gr, k, minimize);
  row_set_t rows(m_debug > 2);
  begin_program(model, obj, &rows);

  // Fit budget: the core objective must not exceed limit.
  std::vector<int> index;
  std::vector<double> value;
  for (int i = 1; i < n; i++) {
    const double w = fit_weight(i);
    index.push_back(col_plus(g, i));
    value.push_back(w);
    index.push_back(col_minus(g, i));
    value.push_back(w);
  }
  index.push_back(col_overflow(g, n));
  value.push_back(1.0 / m_unit);
  // At most limit: the core's optimum then already meets every row, so the
  // simplex can start from it (excess and shortfall could be raised
  // together to reach limit exactly, so this is the same program as with an
  // equality).
  rows.add(static_cast<int>(index.size()), index.data(), value.data(),
           -COIN_DBL_MAX, limit);

  add_binomial_rows(&rows);

  model->resize(0, n_cols);
  add_rows(model, rows);
  if (m_debug > 2) {
    print_problem_comnuan(minimize ? "UNSEEN-RANGE-HIGH" : "UNSEEN-RANGE-LOW",
                          *rows.dump, obj.data());
  }
}

void Unseen::start_from_core(ClpSimplex* model) const {
  // Columns are the same in both programs. Rows: the core has the chunk
  // count, one row per entry and the overflow row; the range program has
  // the fit budget after the chunk count, the others in the same order.
  const int n_cols = model->numberColumns();
  const int n_rows = model->numberRows();
  const int core_rows = static_cast<int>(m_core_basis.size()) - n_cols;
  PELKO_ASSERT(core_rows + 1 == n_rows);
  std::vector<unsigned char> status(n_cols + n_rows);
  const unsigned char* core = m_core_basis.data();
  for (int j = 0; j < n_cols; j++) status[j] = core[j] & 7;
  unsigned char* rows = status.data() + n_cols;
  const unsigned char* core_row = core + n_cols;
  rows[0] = core_row[0] & 7;
  rows[1] = ClpSimplex::basic;
  for (int k = 1; k < core_rows; k++) rows[k + 1] = core_row[k] & 7;
  model->copyinStatus(status.data());
}

void Unseen::add_rows(ClpSimplex* model, const row_set_t& rows) const {
  // Every row lists its columns in increasing order, each at most once.
  const int n_rows = rows.size();
  const int n_cols = model->numberColumns();
  int err = 0;
  for (int r = 0; r < n_rows; r++) {
    for (CoinBigIndex e = rows.starts[r]; e < rows.starts[r + 1]; e++) {
      const int c = rows.columns[e];
      if (c < 0 || c >= n_cols) err++;
      if (e > rows.starts[r] && c <= rows.columns[e - 1]) err++;
    }
  }
  PELKO_ASSERT(err == 0);
  if (n_rows > 0) {
    model->addRows(n_rows, rows.lower.data(), rows.upper.data(),
                   rows.starts.data(), rows.columns.data(),
                   rows.elements.data());
  }
}

bool Unseen::linear_programming(ClpSimplex* model, bool quiet,
                                bool steepest) const {
  int status = -1, secondary = 0;
  // The solver must not be run on a program without rows or elements; such
  // a program (an all-zero histogram) has no optimum to accept.
  if (model->numberRows() > 0 && model->getNumElements() > 0) {
    model->scaling(0);
    model->setDualTolerance(kDualTolerance);
    if (steepest) {
      ClpPrimalColumnSteepest pricing(1);
      model->setPrimalColumnPivotAlgorithm(pricing);
    }
    model->primal(0, 0);
    status = model->status();
    secondary = model->secondaryStatus();
  }
  if (m_status_hook) m_status_hook(&status, &secondary);
  if (status == 0 && secondary == 0) return true;
  if (m_debug > 0 && !quiet) {
    printer.console() << "debug1: status=" << status << ", " << secondary
                      << std::endl;
  }
  return false;
}

void Unseen::get_dedupe_ratio(const ClpSimplex* model, double* r,
                              double* r_full) const {
  const grid_t& gr = grid();
  const int g = static_cast<int>(gr.mult.size());
  const double* x = model->primalColumnSolution();
  const int n_cols = x != nullptr ? model->numberColumns() : 0;
  const int n_x = std::min(g, n_cols);
  std::ostream& con = printer.console();
  if (m_debug > 2) {
    con << "\tX:\t";
    for (int j = 0; j < n_cols; j++) {
      if (x[j] > 0) con << j << "=" << to_int32(x[j]) << ",\t";
    }
    con << std::endl;
  }
  if (m_debug > 1) {
    // Distinct chunks by multiplicity, then the tail's.
    con << "\tX:\t";
    for (int k = 0; k < n_x; k++) {
      const double contents = x[k] * gr.contents[k];
      if (contents > 0)
        con << (size_t)gr.mult[k] << "=" << to_int32(contents) << ",\t";
    }
    con << "\t\t";
    Y.for_each(Y_SIZE, Y_FULL_SIZE, [&con, this](size_t i, int64_t v) {
      con << i << "=" << to_int32(v / P) << ",\t";
    });
    con << std::endl;
  }
  double d = 0.0;
  m_fit.clear();
  for (int k = 0; k < n_x; k++) {
    const double contents = x[k] * gr.contents[k];
    d += contents;
    if (contents > 0) m_fit.push_back(unseen_fit_t{gr.mult[k], contents});
  }
  Y.for_each(Y_SIZE, Y_FULL_SIZE, [this](size_t i, int64_t v) {
    if (v > 0) m_fit.push_back(unseen_fit_t{(double)i / P, (double)v});
  });
  double d_full = d;
  Y.for_each(Y_SIZE, Y_FULL_SIZE,
             [&d_full](size_t, int64_t v) { d_full += v; });
  *r = static_cast<double>(N) / d;
  *r_full = static_cast<double>(N_FULL) / d_full;
}

void Unseen::print_problem_comnuan(const char* text,
                                   const CoinBuild& constraints,
                                   const double* obj) const {
  std::ostream& con = printer.console();
  con << std::endl;
  con << "\tLP problem for " << text << std::endl;
  con << "OBJECTIVE:" << std::endl;
  con << "min" << std::endl;
  const int n_cols = constraints.numberColumns();
  for (int c = 0; c < n_cols; c++) {
    if (c > 0) con << " ";
    con << obj[c];
  }
  con << std::endl;
  con << "CONSTRAINTS:" << std::endl;
  for (int r = 0; r < constraints.numberRows(); r++) {
    double lb, ub;
    const int* index;
    const double* value;
    int count = constraints.row(r, lb, ub, index, value);
    if (lb == ub) {
      print_row(index, value, count, n_cols);
      con << 0 << " " << lb << std::endl;
    } else if (lb == -COIN_DBL_MAX) {
      print_row(index, value, count, n_cols);
      con << -1 << " " << ub << std::endl;
    } else if (ub == COIN_DBL_MAX) {
      print_row(index, value, count, n_cols);
      con << 1 << " " << lb << std::endl;
    } else {
      print_row(index, value, count, n_cols);
      con << 1 << " " << lb << std::endl;
      print_row(index, value, count, n_cols);
      con << -1 << " " << ub << std::endl;
    }
  }
  con << std::endl;
}

void Unseen::print_row(const int* row2index, const double* row2value,
                       int n_elements, int n_cols) const {
  std::ostream& con = printer.console();
  int e = 0;
  for (int x = 0; x < n_cols; x++) {
    if (e < n_elements && row2index[e] == x) {
      con << row2value[e++];
    } else {
      con << 0;
    }
    con << " ";
  }
}

namespace {

// Data-set chunks per distinct chunk from an Unseen ratio over n bucket
// occurrences, plus `extra` distinct chunks counted directly.
double to_chunk_ratio(double chunks, double n, double r, double extra) {
  if (!(r > 0) || !std::isfinite(r)) return -1.0;
  const double d = n / r + extra;
  return d > 0 ? chunks / d : -1.0;
}

// The mean of two histograms, by multiplicity.
std::vector<unseen_fit_t> mean_fit(const std::vector<unseen_fit_t>& a,
                                   const std::vector<unseen_fit_t>& b) {
  std::map<double, double> at;
  for (const std::vector<unseen_fit_t>* v : {&a, &b})
    for (const unseen_fit_t& p : *v) at[p.multiplicity] += p.distinct / 2;
  std::vector<unseen_fit_t> m;
  m.reserve(at.size());
  for (const auto& p : at) m.push_back(unseen_fit_t{p.first, p.second});
  return m;
}

}  // namespace

unseen_result_t unseen_estimate(const unseen_sample_t& s, double alpha,
                                int debug) {
  unseen_result_t res;
  res.r = res.low = res.high = -1.0;
  const DFH_ARRAY& y = *s.dfh;
  double occurrences = 0;
  y.for_each(1, s.dfh_size, [&occurrences](size_t i, int64_t v) {
    occurrences += (double)v * i;
  });
  if (!(occurrences > 0) || !(s.fraction > 0) || !(s.chunks >= 1) ||
      s.dfh_size < 2)
    return res;
  const double f = std::min(s.fraction, 1.0);
  // Bucket occurrences in the data set: the counts' unit.
  const double n_occ = std::max(1.0, floor(occurrences / f));
  const double n_buckets = (double)std::max<size_t>(s.n_buckets, 1);
  const double drawn = std::min(n_buckets, std::max(1.0, round(f * n_buckets)));
  const bool judged = f < 1.0 && drawn >= 2 * UNSEEN_GROUPS;
  // The data set holds at least the distinct checksums seen, and every
  // chunk is at least its own content, which bounds the ratio whatever the
  // sample.
  const double ceiling = s.n_distinct > 0 ? s.chunks / s.n_distinct : INFINITY;
  auto clamp = [ceiling](double r) {
    return r > 0 ? std::max(1.0, std::min(r, ceiling)) : r;
  };

  // Each head entry's sampling variance across the leave-one-group-out
  // histograms (the delete-a-group jackknife, which sees that a bucket
  // brings many checksums at once), and the design effect: that variance
  // over the one of independent draws (about the entry itself), pooled over
  // the head.
  const size_t head = std::min(s.dfh_size, Unseen::MAX_Y_SIZE + 2);
  std::vector<double> jack(head, 0.0);
  double deff = 1.0;
  if (judged) {
    int n_rep = 0;
    for (const DFH_ARRAY* rep : s.replicate) n_rep += rep != nullptr;
    double jack_sum = 0, binomial_sum = 0;
    for (size_t i = 1; i < head && n_rep >= 2; i++) {
      double sum = 0, sq = 0;
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        const DFH_ARRAY* rep = s.replicate[g];
        if (rep == nullptr) continue;
        const double v =
            i < std::min(s.replicate_size[g], rep->size()) ? (*rep)[i] : 0.0;
        sum += v;
        sq += v * v;
      }
      const double m = sum / n_rep;
      jack[i] = std::max(0.0, (sq / n_rep - m * m) * (n_rep - 1));
      jack_sum += jack[i];
      binomial_sum += (double)y[i];
    }
    if (binomial_sum > 0) deff = std::max(1.0, jack_sum / binomial_sum);
  }

  Unseen whole(y, s.dfh_size, (size_t)n_occ, debug);
  whole.set_unit(deff);
  res.r = clamp(to_chunk_ratio(s.chunks, n_occ, whole.run_core(), 0.0));
  if (res.r < 0) return res;
  res.fit = whole.fitted();
  if (f >= 1.0) {
    // The whole data set: exact.
    res.low = res.high = res.r;
    return res;
  }
  if (!judged) return res;  // too little read to judge

  // Each end of the programs' range, moved by its own sampling noise: the
  // programs are solved again on the sample without each group (the
  // delete-a-group jackknife, which sees that a bucket's checksums come and
  // go together), and the spread of each end's distinct count, on the log
  // scale and without replacement (times 1 - f), gives t standard errors
  // with the jackknife's degrees of freedom. The ends themselves, not a
  // linearisation: an end moves from vertex to vertex of its program, where
  // the derivatives of a degenerate optimum overstate its noise many times.
  const double fpc = 1.0 - f;
  const double r_low_lp = whole.run_range(true, alpha);
  if (r_low_lp > 0) res.fit_low = whole.fitted();
  const double r_high_lp = whole.run_range(false, alpha);
  if (r_high_lp > 0) res.fit_high = whole.fitted();
  if (r_low_lp > 0 && r_high_lp > 0) res.fit = mean_fit(res.fit_low, res.fit_high);
  double noise_low = 0, noise_high = 0;
  {
    const double fixed_occ = std::min(n_occ - 1, s.fixed_occurrences / f);
    const double n_rep_occ = std::max(1.0, n_occ - fixed_occ);
    double lo[UNSEEN_GROUPS], hi[UNSEEN_GROUPS];
    int n_ok = 0;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      const DFH_ARRAY* rep = s.replicate[g];
      if (rep == nullptr) break;
      const size_t size = std::min(s.replicate_size[g], rep->size());
      if (size < 2) break;
      // The data set's occurrences as this replicate sees them, or the
      // whole sample's (see unseen_sample_t::group_share).
      double rep_occ = n_rep_occ;
      const double share = s.group_share[g];
      if (share > 0 && share < 1) {
        double occ = 0;
        rep->for_each(1, size, [&occ](size_t i, int64_t v) {
          occ += (double)v * i;
        });
        rep_occ = std::max(1.0, occ / (f * (1 - share)));
      }
      Unseen one(*rep, size, (size_t)rep_occ, 0, kReplicateHead);
      one.set_unit(deff);
      if (!(one.run_core() > 0)) break;
      const double a = one.run_range(true, alpha);
      const std::vector<unseen_fit_t> fit_a = a > 0 ? one.fitted()
                                                    : std::vector<unseen_fit_t>();
      const double b = one.run_range(false, alpha);
      if (!(a > 0) || !(b > 0)) break;
      res.fit_rep[g] = mean_fit(fit_a, one.fitted());
      // Checksums too frequent to be counted by group are in every
      // replicate as in the whole sample: known distinct chunks.
      lo[g] = log(rep_occ / a + (double)s.n_fixed);
      hi[g] = log(rep_occ / b + (double)s.n_fixed);
      if (debug > 1)
        printer.console() << "debug2: replicate " << g << " " << a << ".." << b
                          << std::endl;
      n_ok++;
    }
    auto se = [fpc](const double* v) {
      double mean = 0, ss = 0;
      for (int g = 0; g < UNSEEN_GROUPS; g++) mean += v[g];
      mean /= UNSEEN_GROUPS;
      for (int g = 0; g < UNSEEN_GROUPS; g++) ss += (v[g] - mean) * (v[g] - mean);
      return sqrt(ss * (UNSEEN_GROUPS - 1) / UNSEEN_GROUPS * fpc);
    };
    if (n_ok == UNSEEN_GROUPS) {
      if (r_low_lp > 0)
        noise_low = (exp(JACKKNIFE_T * se(lo)) - 1) * n_occ / r_low_lp;
      if (r_high_lp > 0)
        noise_high = (1 - exp(-JACKKNIFE_T * se(hi))) * n_occ / r_high_lp;
    }
  }
  // The ends in distinct chunks (bucket occurrences), moved outwards.
  double low = -1, high = -1;
  if (r_low_lp > 0) {
    const double d = n_occ / r_low_lp + noise_low;
    low = to_chunk_ratio(s.chunks, n_occ, n_occ / d, 0.0);
  }
  if (r_high_lp > 0) {
    const double d = n_occ / r_high_lp - noise_high;
    high = d > 0 ? to_chunk_ratio(s.chunks, n_occ, n_occ / d, 0.0) : INFINITY;
  }
  // The estimate: the geometric middle of the programs' range. The core
  // program's own optimum is one vertex of a fit that is nearly flat along
  // the range, and it jumps between the two ends from one sample to the
  // next; the middle moves with the sample as its ends do. On model sets
  // read to 0.1 - 5 % this cut the estimate's root mean square error by a
  // third to two thirds (clone farms, home directories, mixes, long-tailed
  // copies), and left it about as it was where the fit is sharp.
  if (r_low_lp > 0 && r_high_lp > 0)
    res.r = clamp(to_chunk_ratio(s.chunks, n_occ, sqrt(r_low_lp * r_high_lp), 0.0));
  if (low > 0) res.low = clamp(std::min(low, res.r));

  // Pairs of buckets that are copies of each other and of which at most one
  // has been read: with q the chance that both of a given pair have been
  // read, the sample would have shown one of K such pairs once K q >=
  // kMissedPairs. Each pair merges the `per_bucket` distinct chunks of a
  // bucket into the other's, and only among the chunks that look unique so
  // far: groups of m copies are easier to see (m (m - 1) / 2 pairs) but
  // merge more, which the harmonic form below takes at its worst. The
  // programs cannot see such pairs (nothing of them shows in the sample), so
  // the high end is the larger of theirs and the point estimate with the
  // pairs merged: adding the two would count the same doubt twice.
  const double q = n_buckets > 1
                       ? drawn * (drawn - 1) / (n_buckets * (n_buckets - 1))
                       : 1.0;
  const double per_bucket = occurrences / drawn;
  const double reach = kMissedPairs * 2 * per_bucket * (1 - q) / q;
  const double unique = std::max(0.0, whole.get_singletons());
  double merged = 0;
  if (reach >= unique && reach + unique > 0)
    merged = reach * unique / (reach + unique);
  else if (reach < unique)
    merged = reach / 2;
  const double distinct_low = s.chunks / res.r - merged;
  const double with_pairs =
      distinct_low > 0 ? s.chunks / distinct_low : INFINITY;
  if (high > 0) {
    res.high = std::max(res.r, std::min(std::max(high, with_pairs), ceiling));
    if (!std::isfinite(res.high)) res.high = -1.0;
  }

  if (debug > 0) {
    printer.console() << "debug1: programs " << r_low_lp << ".." << r_high_lp
                      << "\tin chunks " << low << ".." << high
                      << "\tdeff=" << deff << "\tnoise=" << noise_low << ","
                      << noise_high
                      << "\tunseen pairs=" << merged << std::endl;
  }
  return res;
}
