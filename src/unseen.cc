#include "unseen.h"

#include <math.h>
#include <stdint.h>

#include <coin/ClpLinearObjective.hpp>
#include <coin/ClpSimplex.hpp>
#include <coin/CoinBuild.hpp>
#include <ostream>
#include <vector>

#include "matrix.h"
#include "pelko.h"
#include "printer.h"

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
  thread_local const ClpSimplex pristine(false);
  return new ClpSimplex(pristine);
}

}  // namespace

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

Unseen::Unseen(const DFH_ARRAY& y, size_t y_size, size_t n, int debug)
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
      m_binomial_n(0) {
  PELKO_ASSERT(y_size >= 2);
  PELKO_ASSERT(y_size <= Y.size());
  PELKO_ASSERT(n > 0);

  uint64_t S = 0;
  for (size_t i = 0; i < Y_SIZE; i++) {
    S += static_cast<uint64_t>(static_cast<int64_t>(Y[i]) * static_cast<int64_t>(i));
  }
  P = static_cast<double>(S) / static_cast<double>(N);

  if (m_debug > 0) {
    printer << "UNSEEN: N=" << n << ", " << "S=" << S << ", P=" << (100 * P)
            << "%" << std::endl;
    printer << "Y:" << "\t";
    for (size_t i = 0; i < y_size; i++) {
      if (Y[i] != 0) printer << i << "=" << Y[i] << ",";
    }
    printer << std::endl;
  }

  while (Y_SIZE > MAX_Y_SIZE) trim_top_entry();
  if (Y_SIZE < Y_FULL_SIZE) {
    // Take the last trimmed entry back: MAX_Y_SIZE + 1 entries are modelled.
    double k = static_cast<double>(static_cast<int64_t>(Y[Y_SIZE]) *
                                   static_cast<int64_t>(Y_SIZE));
    N = static_cast<size_t>(share(k) + static_cast<double>(N));
    Y_SIZE++;
  }
  while (Y_SIZE > 1 && Y[Y_SIZE - 1] == 0) Y_SIZE--;
}

Unseen::~Unseen() {}

const Matrix& Unseen::binomial(int n) const {
  if (m_binomial_n != n) {
    m_binomial.make_binomial_distr(P, n, static_cast<size_t>(-1));
    m_binomial_n = n;
  }
  return m_binomial;
}

double Unseen::share(double k) const { return k == 0 ? 0.0 : k / P; }

void Unseen::trim_top_entry() {
  double k = static_cast<double>(static_cast<int64_t>(Y[Y_SIZE - 1]) *
                                 static_cast<int64_t>(Y_SIZE - 1));
  // In exact arithmetic the shares of all entries add up to N_FULL; rounding
  // and the truncations can make the last share exceed what is left.
  double rest = static_cast<double>(N) - share(k);
  N = rest > 0 ? static_cast<size_t>(rest) : 0;
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
  const bool warm = m_warm_start && m_debug <= 2;  // level 3 dumps every program
  double opt, r, r_full;
  std::unique_ptr<ClpSimplex> model = std::move(m_range_model);
  if (warm && model && m_range_alpha == alpha &&
      m_range_minimize != minimize) {
    // The other end's program, solved: the same rows with the objective
    // negated, so its basis stays feasible and the simplex goes on from it.
    const int n = static_cast<int>(Y_SIZE);
    for (int j = 1; j < n; j++)
      model->setObjectiveCoefficient(j, minimize ? 1.0 : -1.0);
    if (linear_programming(model.get(), true)) {
      get_dedupe_ratio(model.get(), &r, &r_full);
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
  if (unseen_opt < 0) {
    if (unseen_opt < -0.00001) return false;
    unseen_opt = 0;
  }
  build_model_unseen_range(model, alpha, unseen_opt, minimize);
  if (from_core) start_from_core(model);
  bool ok = linear_programming(model, from_core);
  // A failed start is followed by a solve from scratch: its solution is not
  // shown in the debug lines.
  if (!ok && from_core) return false;
  get_dedupe_ratio(model, r, r_full);
  *opt = model->objectiveValue();
  return ok;
}

void Unseen::build_model_unseen(ClpSimplex* model) const {
  const int n = static_cast<int>(Y_SIZE);
  const int n_cols = 2 * n;
  model->setLogLevel(0);

  std::vector<double> obj(n_cols, 0.0);
  for (int i = 1; i < n; i++) obj[n + i] = 1.0 / sqrt(1.0 + Y[i]);
  row_set_t rows(m_debug > 2);
  begin_program(model, obj, &rows);

  // Per entry i: |expected - observed| <= s_i.
  add_binomial_rows(n, true, &rows);

  model->resize(0, n_cols);
  add_rows(model, rows);
  if (m_debug > 2) print_problem_comnuan("UNSEEN-CORE", *rows.dump, obj.data());
}

void Unseen::begin_program(ClpSimplex* model, const std::vector<double>& obj,
                           row_set_t* rows) const {
  const int n = static_cast<int>(Y_SIZE);
  {
    ClpLinearObjective objective(obj.data(), static_cast<int>(obj.size()));
    model->setObjective(&objective);
  }
  std::vector<int> index(n, 0);
  std::vector<double> value(n, 0.0);
  for (int j = 1; j < n; j++) {
    index[j - 1] = j;
    value[j - 1] = j;
  }
  const double n_chunks = static_cast<double>(N);
  rows->add(n - 1, index.data(), value.data(), n_chunks, n_chunks);
}

void Unseen::add_binomial_rows(int n, bool plus_first, row_set_t* rows) const {
  const Matrix& B = binomial(n);
  std::vector<int> index(n + 1, 0);
  std::vector<double> value(n + 1, 0.0);
  const double first = plus_first ? 1.0 : -1.0;
  for (int i = 1; i < n; i++) {
    // B(j, i) is 0 for j < i (and where it underflows): a zero element adds
    // nothing to the row, so the solver only gets the others.
    int count = 0;
    for (int j = 0; j < n; j++) {
      const double b = B(j, i);
      if (b == 0.0) continue;
      index[count] = j;
      value[count] = b;
      count++;
    }
    index[count] = n + i;
    for (double sign : {first, -first}) {
      const bool plus = sign > 0;
      value[count] = sign;
      rows->columns.insert(rows->columns.end(), index.begin(),
                           index.begin() + count + 1);
      rows->elements.insert(rows->elements.end(), value.begin(),
                            value.begin() + count + 1);
      rows->close(plus ? Y[i] : -COIN_DBL_MAX, plus ? COIN_DBL_MAX : Y[i]);
    }
    if (rows->dump) {
      std::vector<int> full_index(n + 1);
      std::vector<double> full_value(n + 1);
      for (int j = 0; j < n; j++) {
        full_index[j] = j;
        full_value[j] = B(j, i);
      }
      full_index[n] = n + i;
      for (double sign : {first, -first}) {
        const bool plus = sign > 0;
        full_value[n] = sign;
        rows->dump->addRow(n + 1, full_index.data(), full_value.data(),
                           plus ? Y[i] : -COIN_DBL_MAX,
                           plus ? COIN_DBL_MAX : Y[i]);
      }
    }
  }
}

void Unseen::build_model_unseen_range(ClpSimplex* model, double alpha,
                                      double unseen_opt, bool minimize) const {
  const int n = static_cast<int>(Y_SIZE);
  const int n_cols = 2 * n;
  const double limit = sqrt(unseen_opt) * alpha + unseen_opt;
  model->setLogLevel(0);

  std::vector<double> obj(n_cols, 0.0);
  for (int j = 1; j < n; j++) obj[j] = minimize ? 1.0 : -1.0;
  row_set_t rows(m_debug > 2);
  begin_program(model, obj, &rows);

  std::vector<int> index(n + 1, 0);
  std::vector<double> value(n + 1, 0.0);
  // Fit budget: the core objective must not exceed limit.
  for (int i = 1; i < n; i++) {
    index[i - 1] = n + i;
    value[i - 1] = 1.0 / sqrt(1.0 + Y[i]);
  }
  rows.add(n - 1, index.data(), value.data(), limit, limit);

  add_binomial_rows(n, false, &rows);

  model->resize(0, n_cols);
  add_rows(model, rows);
  if (m_debug > 2) {
    print_problem_comnuan(minimize ? "UNSEEN-RANGE-HIGH" : "UNSEEN-RANGE-LOW",
                          *rows.dump, obj.data());
  }
}

void Unseen::start_from_core(ClpSimplex* model) const {
  // Columns are the same in both programs. Rows: the core has the chunk
  // count, then per entry the +1 and the -1 row; the range program has the
  // chunk count, the fit budget, then per entry the -1 and the +1 row.
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
  for (int k = 0; 1 + 2 * k + 1 < core_rows; k++) {
    rows[2 + 2 * k] = core_row[1 + 2 * k + 1] & 7;
    rows[2 + 2 * k + 1] = core_row[1 + 2 * k] & 7;
  }
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

bool Unseen::linear_programming(ClpSimplex* model, bool quiet) const {
  int status = -1, secondary = 0;
  // The solver must not be run on a program without rows or elements; such
  // a program (an all-zero histogram) has no optimum to accept.
  if (model->numberRows() > 0 && model->getNumElements() > 0) {
    model->scaling(0);
    model->setDualTolerance(kDualTolerance);
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
  const double* x = model->primalColumnSolution();
  const int n_cols = x != nullptr ? model->numberColumns() : 0;
  std::ostream& con = printer.console();
  if (m_debug > 2) {
    con << "\tX:\t";
    for (int j = 0; j < n_cols; j++) {
      if (x[j] > 0) con << j << "=" << to_int32(x[j]) << ",\t";
    }
    con << std::endl;
  }
  if (m_debug > 1) {
    con << "\tX:\t";
    for (size_t i = 0; i < Y_SIZE && static_cast<int>(i) < n_cols; i++) {
      if (x[i] > 0) con << i << "=" << to_int32(x[i]) << ",\t";
    }
    con << "\t\t";
    for (size_t i = Y_SIZE; i < Y_FULL_SIZE; i++) {
      if (Y[i] > 0) con << i << "=" << to_int32(Y[i] / P) << ",\t";
    }
    con << std::endl;
  }
  double d = 0.0;
  for (size_t j = 0; j < Y_SIZE && static_cast<int>(j) < n_cols; j++) d += x[j];
  double d_full = d;
  for (size_t i = Y_SIZE; i < Y_FULL_SIZE; i++) d_full += Y[i];
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
