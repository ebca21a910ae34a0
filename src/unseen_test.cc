#include "unseen.h"

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>

#include <coin/ClpSimplex.hpp>
#include <iostream>
#include <map>
#include <set>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "matrix.h"
#include "printer.h"

// Reaches into the estimator for the figures and solver programs the tests
// check against.
class UnseenTestPeer {
 public:
  static size_t y_size(const Unseen& u) { return u.Y_SIZE; }
  static size_t n(const Unseen& u) { return u.N; }
  static double p(const Unseen& u) { return u.P; }
  static double opt(const Unseen& u) { return u.OPT; }
  static void set_status_hook(Unseen* u, std::function<void(int*, int*)> f) {
    u->m_status_hook = std::move(f);
  }
  static void set_warm_start(Unseen* u, bool on) { u->m_warm_start = on; }
  static void build_core(const Unseen& u, ClpSimplex* m) {
    u.build_model_unseen(m);
  }
  static std::vector<double> mult(const Unseen& u) {
    return u.multiplicities();
  }
};

namespace {

using Peer = UnseenTestPeer;

// Captures everything written to std::cout (the console stream) meanwhile.
class CaptureCout {
 public:
  CaptureCout() : m_old(std::cout.rdbuf(m_buf.rdbuf())) {}
  ~CaptureCout() { std::cout.rdbuf(m_old); }
  std::string str() const { return m_buf.str(); }

 private:
  std::ostringstream m_buf;
  std::streambuf* m_old;
};

// A data set described by the multiplicity of each distinct content.
struct DataSet {
  std::vector<int> mult;
  uint64_t chunks() const {
    uint64_t n = 0;
    for (int m : mult) n += m;
    return n;
  }
  double ratio() const { return static_cast<double>(chunks()) / mult.size(); }
};

DataSet repeated(int contents, int times) {
  return DataSet{std::vector<int>(contents, times)};
}

// Content of rank r occurs about c / r times (at least once).
DataSet zipf(int contents, int c) {
  DataSet d;
  for (int r = 1; r <= contents; r++) d.mult.push_back(std::max(1, c / r));
  return d;
}

// Mostly distinct chunks, a few contents repeated hundreds of times.
DataSet long_tail() {
  DataSet d{std::vector<int>(60000, 1)};
  for (int i = 0; i < 40; i++) d.mult.push_back(150 + 50 * i);
  for (int i = 0; i < 5000; i++) d.mult.push_back(3);
  return d;
}

// Sample each chunk with probability p; returns the histogram and sets
// *y_size to one more than the highest count seen.
DFH_ARRAY draw(const DataSet& d, double p, uint64_t seed, size_t* y_size) {
  std::mt19937_64 rng(seed);
  DFH_ARRAY y(16, 0);
  *y_size = 1;
  for (int m : d.mult) {
    std::binomial_distribution<int> bin(m, p);
    int k = bin(rng);
    if (k == 0) continue;
    if (static_cast<size_t>(k) >= y.size()) y.resize(2 * k, 0);
    y[k]++;
    *y_size = std::max(*y_size, static_cast<size_t>(k) + 1);
  }
  return y;
}

// C(t, i) p^i (1 - p)^(t - i), in long double and independently of the
// estimator's table.
long double binomial(double t, size_t i, double p) {
  if (i > t) return 0;
  return expl(lgammal(t + 1) - lgammal(i + 1.0L) - lgammal(t - i + 1) +
              i * logl(p) + (t - i) * log1pl(-p));
}

// Objective of a feasible point made from the solver's columns (one per
// multiplicity): the distinct chunks they stand for are rescaled to meet the chunk count exactly and each fit
// error set to its least value, the overflow to the expected count of head
// contents seen more often than the head's top entry. Shows that the
// reported optimum is attained, whatever the solver claims.
double repaired_objective(const Unseen& u, const DFH_ARRAY& y,
                          const double* xs) {
  const size_t n = Peer::y_size(u);
  const std::vector<double> mult = Peer::mult(u);
  const double p = Peer::p(u);
  std::vector<long double> x(mult.size());
  long double count = 0;
  for (size_t k = 0; k < mult.size(); k++) {
    // The solver's columns hold the share of the chunks at each
    // multiplicity.
    x[k] = (xs[k] > 0 ? xs[k] : 0) * Peer::n(u) / mult[k];
    count += mult[k] * x[k];
  }
  for (auto& v : x) v *= Peer::n(u) / count;
  long double obj = 0, overflow = 0;
  for (size_t k = 0; k < mult.size(); k++) {
    long double seen = 0;
    for (size_t i = 0; i < n; i++) seen += binomial(mult[k], i, p);
    overflow += x[k] * std::max(0.0L, 1 - seen);
  }
  for (size_t i = 1; i < n; i++) {
    long double e = 0;
    for (size_t k = 0; k < mult.size(); k++) e += binomial(mult[k], i, p) * x[k];
    obj += fabsl(e - y[i]) / sqrtl(1.0L + y[i]);
  }
  return static_cast<double>(obj + overflow);
}

TEST(Unseen, ConstructionAndTrimming) {
  // All distinct: the fit is exact and the ratio exactly 1.
  DFH_ARRAY distinct = {0, 500};
  Unseen u1(distinct, 2, 5000, 0);
  EXPECT_DOUBLE_EQ(Peer::p(u1), 0.1);
  EXPECT_NEAR(u1.run_core(), 1.0, 1e-9);
  EXPECT_NEAR(Peer::opt(u1), 0.0, 1e-9);
  EXPECT_NEAR(u1.run_range(true, 0.5), 1.0, 1e-9);
  EXPECT_NEAR(u1.run_range(false, 0.5), 1.0, 1e-9);

  // Trailing empty entries are not modelled; N stays.
  DFH_ARRAY sevens = {0, 7, 0, 0};
  Unseen u2(sevens, 4, 70, 0);
  EXPECT_EQ(Peer::y_size(u2), 2u);
  EXPECT_EQ(Peer::n(u2), 70u);

  // 299 entries: capped at 121 with the top 179 moved into the tail.
  DFH_ARRAY wide(300, 0);
  uint64_t s = 0;
  for (int i = 1; i < 300; i++) {
    wide[i] = 1 + (i % 7);
    s += static_cast<uint64_t>(wide[i]) * i;
  }
  const size_t n_full = 4 * s;  // P = 0.25
  Unseen u3(wide, 300, n_full, 0);
  EXPECT_EQ(Peer::y_size(u3), 121u);
  size_t n = n_full;
  for (int i = 299; i >= 120; i--) {
    n = static_cast<size_t>(static_cast<double>(n) - wide[i] * i / 0.25);
  }
  n = static_cast<size_t>(wide[120] * 120 / 0.25 + static_cast<double>(n));
  EXPECT_EQ(Peer::n(u3), n);

  // At P = 1 the tail counts as its checksums: 1000 distinct plus 3 contents
  // seen 200 times.
  DFH_ARRAY tail(201, 0);
  tail[1] = 1000;
  tail[200] = 3;
  Unseen u4(tail, 201, 1600, 0);
  EXPECT_EQ(Peer::y_size(u4), 2u);
  EXPECT_EQ(Peer::n(u4), 1000u);
  EXPECT_DOUBLE_EQ(u4.run_core(), 1600.0 / 1003.0);
}

TEST(Unseen, OneContentSeenManyTimesNeverWrapsN) {
  // The share of the only entry is N up to rounding; with some N it comes
  // out above N. N must end at 0, not wrap, and the ratio is N_FULL.
  DFH_ARRAY y(151, 0);
  y[150] = 1;
  for (size_t n_full = 1000003; n_full < 1000103; n_full += 7) {
    Unseen u(y, 151, n_full, 0);
    EXPECT_LE(Peer::n(u), 1u) << n_full;
    EXPECT_EQ(u.run_core(), static_cast<double>(n_full)) << n_full;
  }
}

TEST(Unseen, RetriesWithFewerEntriesWhileRejected) {
  DFH_ARRAY y = {0, 900, 60, 10, 4, 2};
  const size_t n_full = 10000;
  uint64_t s = 900 + 120 + 30 + 16 + 10;
  double p = static_cast<double>(s) / n_full;

  // The first two solves are rejected: two entries move to the tail.
  {
    Unseen u(y, 6, n_full, 0);
    int calls = 0;
    Peer::set_status_hook(&u, [&calls](int* status, int*) {
      if (calls++ < 2) *status = 4;
    });
    double r = u.run_core();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(Peer::y_size(u), 4u);
    size_t n = static_cast<size_t>(n_full - 2 * 5 / p);
    n = static_cast<size_t>(n - 4 * 4 / p);
    EXPECT_EQ(Peer::n(u), n);
    EXPECT_GT(r, 1.0);
    EXPECT_NE(u.run_range(true, 0.5), -1.0);
  }

  // Every solve rejected: down to two entries, and no estimate (-1), said at
  // debug level 1, however plausible the last rejected ratio looks.
  for (int debug : {0, 1}) {
    CaptureCout cap;
    Unseen u(y, 6, n_full, debug);
    int calls = 0;
    Peer::set_status_hook(&u, [&calls](int*, int* secondary) {
      calls++;
      *secondary = 7;
    });
    EXPECT_EQ(u.run_core(), -1.0);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(Peer::y_size(u), 2u);
    size_t n = n_full;
    for (int i = 5; i >= 2; i--) n = static_cast<size_t>(n - y[i] * i / p);
    EXPECT_EQ(Peer::n(u), n);
    EXPECT_NE(Peer::opt(u), -1.0);
    const std::string line = "debug1: every solve rejected, no estimate\n";
    EXPECT_EQ(cap.str().find(line),
              debug ? cap.str().size() - line.size() : std::string::npos)
        << cap.str();
  }
}

// Programs of sampled data sets (all distinct, x2, x4, Zipf-like, a long
// tail) at five sampling rates, and histograms reaching past the cap.
struct BatteryCase {
  std::string name;
  DFH_ARRAY y;
  size_t y_size;
  size_t n;
  // Histograms of up to 10^9 checksums standing for up to 10^11 chunks: the
  // solver's accuracy is lower there (see the tolerances below).
  bool huge = false;
};

std::vector<BatteryCase> solver_battery() {
  const std::vector<std::pair<const char*, DataSet>> sets = {
      {"distinct", repeated(100000, 1)}, {"x2", repeated(50000, 2)},
      {"x4", repeated(25000, 4)},        {"zipf", zipf(30000, 3000)},
      {"long tail", long_tail()},
  };
  std::vector<BatteryCase> cases;
  for (const auto& set : sets) {
    for (double p : {0.01, 0.05, 0.1, 0.3, 0.6}) {
      BatteryCase c{std::string(set.first) + " P=" + std::to_string(p), {}, 0,
             set.second.chunks()};
      c.y = draw(set.second, p, 42, &c.y_size);
      cases.push_back(c);
    }
  }
  // Decreasing histograms that reach past the cap, with up to 10^11 chunks.
  for (double p : {0.01, 0.1, 0.5}) {
    for (int shape = 0; shape < 2; shape++) {
      BatteryCase c{"decreasing " + std::to_string(shape) + " P=" + std::to_string(p),
             DFH_ARRAY(300, 0), 300, 0};
      uint64_t s = 0;
      for (int i = 1; i < 300; i++) {
        c.y[i] = shape == 0 ? 100000 / i : static_cast<int>(1e9 / pow(i, 3)) + 1;
        s += static_cast<uint64_t>(c.y[i]) * i;
      }
      c.n = static_cast<size_t>(s / p);
      c.huge = shape == 1;
      cases.push_back(c);
    }
  }
  return cases;
}

TEST(Unseen, SolverOptimumMatchesIndependentSolve) {
  for (const BatteryCase& c : solver_battery()) {
    Unseen u(c.y, c.y_size, c.n, 0);
    const size_t modelled = Peer::y_size(u);
    u.run_core();
    double opt = Peer::opt(u);
    SCOPED_TRACE(c.name + " |Y|=" + std::to_string(Peer::y_size(u)));
    // Accepted at once: no entry was given up to a failed solve.
    EXPECT_EQ(Peer::y_size(u), modelled);

    // The same program, solved by dual simplex without scaling.
    ClpSimplex ref(false);
    Peer::build_core(u, &ref);
    ref.scaling(0);
    // The solver's default reduced-cost tolerance is too coarse for these
    // programs (see unseen.cc), for the dual simplex as much as the primal.
    ref.setDualTolerance(1e-10);
    ref.dual(0, 0);
    ASSERT_EQ(ref.status(), 0);
    // Relative: the primal and the dual simplex stop up to 7e-6 apart on
    // these programs.
    const double tol = 1e-5 * std::max(1.0, fabs(ref.objectiveValue()));
    EXPECT_NEAR(opt, ref.objectiveValue(), tol);
    EXPECT_NEAR(repaired_objective(u, c.y, ref.primalColumnSolution()), opt,
                tol);
  }
}

// The range ends start from solved bases; the ratios must be those of solves
// from scratch, in either order of the two ends and for two tolerances, up
// to the solver's accuracy on these programs (1e-4 relative). The huge
// histograms (10^11 chunks) are always solved from scratch, and the solver
// may refuse an end there.
TEST(Unseen, RangeStartsDoNotChangeTheRange) {
  for (const BatteryCase& c : solver_battery()) {
    SCOPED_TRACE(c.name);
    for (bool low_first : {true, false}) {
      Unseen warm(c.y, c.y_size, c.n, 0), cold(c.y, c.y_size, c.n, 0);
      Peer::set_warm_start(&cold, false);
      ASSERT_EQ(warm.run_core(), cold.run_core());
      for (double alpha : {0.5, 2.0}) {
        for (bool low : {low_first, !low_first}) {
          const double w = warm.run_range(low, alpha);
          const double k = cold.run_range(low, alpha);
          // On the huge histograms the solver may refuse an end: no bound.
          if (!c.huge) {
            ASSERT_NE(k, -1.0) << low << " " << alpha;
          }
          EXPECT_NEAR(w, k, 1e-4 * fabs(k)) << low << " " << alpha;
        }
      }
    }
  }
}

// A start that the solver does not accept is followed by a solve from the
// slack basis, which gives the ratio; only a failed solve from scratch
// makes the end -1.
TEST(Unseen, FailedRangeStartFallsBackToScratch) {
  size_t y_size;
  DFH_ARRAY y = draw(zipf(30000, 3000), 0.1, 42, &y_size);
  Unseen ref(y, y_size, zipf(30000, 3000).chunks(), 0);
  Peer::set_warm_start(&ref, false);
  ref.run_core();
  const double low = ref.run_range(true, 0.5), high = ref.run_range(false, 0.5);

  Unseen u(y, y_size, zipf(30000, 3000).chunks(), 0);
  u.run_core();
  // Solves from here on: low from the core's basis (rejected), low from
  // scratch, high from low's basis (rejected), high from scratch.
  int calls = 0;
  Peer::set_status_hook(&u, [&calls](int* status, int*) {
    if (calls++ % 2 == 0) *status = 1;
  });
  EXPECT_NEAR(u.run_range(true, 0.5), low, 1e-7 * low);
  EXPECT_NEAR(u.run_range(false, 0.5), high, 1e-7 * high);
  EXPECT_EQ(calls, 4);

  Unseen v(y, y_size, zipf(30000, 3000).chunks(), 0);
  v.run_core();
  Peer::set_status_hook(&v, [](int* status, int*) { *status = 1; });
  EXPECT_EQ(v.run_range(true, 0.5), -1.0);
  EXPECT_EQ(v.run_range(false, 0.5), -1.0);
}

TEST(Unseen, EstimatesKnownDataSets) {
  const std::vector<std::pair<const char*, DataSet>> sets = {
      {"x2", repeated(100000, 2)},
      {"zipf", zipf(40000, 2000)},
  };
  for (const auto& set : sets) {
    const double truth = set.second.ratio();
    for (double p : {0.05, 0.1, 0.3, 1.0}) {
      size_t y_size;
      DFH_ARRAY y = draw(set.second, p, 7, &y_size);
      Unseen u(y, y_size, set.second.chunks(), 0);
      double r = u.run_core();
      double low = u.run_range(true, 0.5);
      double high = u.run_range(false, 0.5);
      SCOPED_TRACE(std::string(set.first) + " P=" + std::to_string(p));
      if (p == 1.0) {
        // The whole data set: exact.
        EXPECT_NEAR(r, truth, 1e-9 * truth);
        EXPECT_NEAR(low, truth, 1e-9 * truth);
        EXPECT_NEAR(high, truth, 1e-9 * truth);
        continue;
      }
      EXPECT_NEAR(r, truth, 0.15 * truth);
      // The range holds the truth up to the sampling noise of the
      // histogram: a sample whose histogram the program fits exactly has a
      // range of width 0 (x2: three entries, one free column).
      EXPECT_LE(low, truth * 1.02);
      EXPECT_GE(high, truth * 0.98);
      EXPECT_LE(low, r * (1 + 1e-9));
      EXPECT_GE(high, r * (1 - 1e-9));
    }
  }
}

TEST(Unseen, DebugOutput) {
  // P = 1: the fit is exact, x_1 = 4 and x_2 = 3.
  DFH_ARRAY y = {0, 4, 3};
  {
    CaptureCout cap;
    Unseen u(y, 3, 10, 1);
    u.run_core();
    EXPECT_EQ(cap.str(),
              "UNSEEN: N=10, S=10, P=100%\n"
              "Y:\t1=4,2=3,\n"
              "debug1:|Y| = 3(3)\tN = 10(10, 100%)\t\n"
              "debug1:\tr=1.42857\t\trf=1.42857\t\topt=0\t\n");
  }
  {
    CaptureCout cap;
    Unseen u(y, 3, 10, 2);
    u.run_core();
    // Core solve, then the low and high range solves; their X lines show
    // solver values truncated, so only the core's is pinned.
    std::string out = cap.str();
    const std::string head =
        "UNSEEN: N=10, S=10, P=100%\n"
        "Y:\t1=4,2=3,\n"
        "debug1:|Y| = 3(3)\tN = 10(10, 100%)\t\n"
        "\tX:\t1=4,\t2=3,\t\t\t\n";
    const std::string tail =
        "debug2:\tr=1.42857, 1.42857..1.42857\t\t"
        "rf=1.42857, 1.42857..1.42857\t\topt=0\t\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    size_t x_lines = 0;
    for (size_t at = out.find("\tX:\t"); at != std::string::npos;
         at = out.find("\tX:\t", at + 1)) {
      x_lines++;
    }
    EXPECT_EQ(x_lines, 3u);
    EXPECT_EQ(out.find("debug1:\tr="), std::string::npos);
  }
  {
    // A rejected solve is reported, then retried on one entry fewer.
    CaptureCout cap;
    Unseen u(y, 3, 10, 1);
    int calls = 0;
    Peer::set_status_hook(&u, [&calls](int* status, int*) {
      if (calls++ == 0) *status = 2;
    });
    u.run_core();
    EXPECT_NE(cap.str().find("debug1: status=2, 0\n"
                             "debug1:\tr=1.42857\t\trf=1.42857\t\topt=0\t\n"
                             "debug1:|Y| = 2(3)\tN = 4(10, 40%)\t\n"),
              std::string::npos)
        << cap.str();
  }
  {
    // The program dump at level 3.
    CaptureCout cap;
    DFH_ARRAY small = {0, 5};
    Unseen u(small, 2, 10, 3);
    u.run_core();
    // Columns: the share of the chunks at each multiplicity 1 .. 10 (no
    // content occurs more often than the 10 chunks), the excess and
    // shortfall of entry 1 (in units of Y[1] = 5, weight 5 / sqrt(6)), the
    // overflow. Rows: the shares sum to 1, entry 1 (divided by Y[1]), the
    // overflow.
    EXPECT_NE(cap.str().find("\n\tLP problem for UNSEEN-CORE\n"
                             "OBJECTIVE:\nmin\n"
                             "0 0 0 0 0 0 0 0 0 0 2.04124 2.04124 1\n"
                             "CONSTRAINTS:\n"
                             "1 1 1 1 1 1 1 1 1 1 0 0 0 0 1\n"
                             "1 0.5 0.25 0.125 0.0625 0.03125 0.015625 "
                             "0.0078125 0.00390625 0.00195313 -1 1 0 0 1\n"
                             "0 1.25 1.66667 1.71875 1.625 1.48438 1.33929 "
                             "1.20605 1.08941 0.989258 0 0 -1 -1 0\n\n"),
              std::string::npos)
        << cap.str();
    // The distinct chunks of each share, and the fit budget (limit 0 here)
    // after the chunk count.
    EXPECT_NE(cap.str().find("\tLP problem for UNSEEN-RANGE-LOW\n"
                             "OBJECTIVE:\nmin\n"
                             "-1 -0.5 -0.333333 -0.25 -0.2 -0.166667 -0.142857 "
                             "-0.125 -0.111111 -0.1 0 0 0\n"
                             "CONSTRAINTS:\n"
                             "1 1 1 1 1 1 1 1 1 1 0 0 0 0 1\n"
                             "0 0 0 0 0 0 0 0 0 0 2.04124 2.04124 1 -1 0\n"),
              std::string::npos)
        << cap.str();
  }
}

}  // namespace

namespace {

// A cluster sample of a data set laid out as content ids in plan order:
// buckets of `per_bucket` chunks, a share of them drawn at random, each
// drawn bucket's group its drawing order modulo the groups, and the
// histograms of bucket counts the estimator keeps.
struct ClusterSample {
  DFH_ARRAY all;
  DFH_ARRAY rep[UNSEEN_GROUPS];
  unseen_sample_t s;

  ClusterSample(const std::vector<int>& ids, size_t per_bucket, double share,
                uint64_t seed) {
    const size_t n_buckets = (ids.size() + per_bucket - 1) / per_bucket;
    std::vector<size_t> order(n_buckets);
    for (size_t b = 0; b < n_buckets; b++) order[b] = b;
    std::mt19937_64 rng(seed);
    std::shuffle(order.begin(), order.end(), rng);
    const size_t drawn = (size_t)(share * n_buckets + 0.5);
    std::map<int, std::vector<int>> in_groups;  // id -> buckets per group
    size_t chunks = 0, group_chunks[UNSEEN_GROUPS] = {};
    for (size_t d = 0; d < drawn; d++) {
      const size_t b = order[d];
      std::set<int> seen_here;
      for (size_t c = b * per_bucket; c < std::min(ids.size(), (b + 1) * per_bucket); c++) {
        chunks++;
        group_chunks[d % UNSEEN_GROUPS]++;
        if (!seen_here.insert(ids[c]).second) continue;
        std::vector<int>& g = in_groups[ids[c]];
        g.resize(UNSEEN_GROUPS, 0);
        g[d % UNSEEN_GROUPS]++;
      }
    }
    all.assign(drawn + 2, 0);
    for (auto& r : rep) r.assign(drawn + 2, 0);
    size_t all_size = 1, rep_size[UNSEEN_GROUPS];
    for (size_t& n : rep_size) n = 1;
    for (const auto& kv : in_groups) {
      int t = 0;
      for (int c : kv.second) t += c;
      all[t]++;
      all_size = std::max(all_size, (size_t)t + 1);
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        const int k = t - kv.second[g];
        if (k == 0) continue;
        rep[g][k]++;
        rep_size[g] = std::max(rep_size[g], (size_t)k + 1);
      }
    }
    s.dfh = &all;
    s.dfh_size = all_size;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      s.replicate[g] = &rep[g];
      s.replicate_size[g] = rep_size[g];
    }
    s.n_fixed = 0;
    s.fixed_occurrences = 0;
    s.n_distinct = in_groups.size();
    s.chunks = (double)ids.size();
    s.fraction = (double)chunks / ids.size();
    s.n_buckets = n_buckets;
    for (int g = 0; g < UNSEEN_GROUPS; g++)
      s.group_share[g] = (double)group_chunks[g] / (double)chunks;
  }
};

// Content ids: `contents` contents, each `copies` times, at random places.
std::vector<int> scattered(int contents, int copies, uint64_t seed) {
  std::vector<int> ids;
  for (int c = 0; c < contents; c++) ids.insert(ids.end(), copies, c);
  std::mt19937_64 rng(seed);
  std::shuffle(ids.begin(), ids.end(), rng);
  return ids;
}

TEST(UnseenEstimate, RatiosAndRanges) {
  // Every content 50 times: the ratio is found from a tenth of the buckets,
  // far beyond the sample's own counts (a content is seen about 5 times).
  {
    const std::vector<int> ids = scattered(2000, 50, 1);
    for (uint64_t seed : {1, 2, 3}) {
      ClusterSample c(ids, 64, 0.1, seed);
      unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
      EXPECT_NEAR(e.r, 50.0, 5.0) << seed;
      EXPECT_LE(e.low, 50.0) << seed;
      EXPECT_GE(e.high, 50.0) << seed;
      EXPECT_LE(e.low, e.r);
      EXPECT_GE(e.high, e.r);
    }
  }
  // All distinct: the ratio 1 and its low end 1; the high end allows for
  // copies among the buckets not read, less so the more has been read.
  {
    std::vector<int> ids(64 * 2000);
    for (size_t i = 0; i < ids.size(); i++) ids[i] = (int)i;
    double last_high = INFINITY;
    for (double share : {0.1, 0.3, 0.6}) {
      ClusterSample c(ids, 64, share, 4);
      unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
      EXPECT_NEAR(e.r, 1.0, 1e-6) << share;
      EXPECT_NEAR(e.low, 1.0, 1e-6) << share;
      EXPECT_GT(e.high, 1.0) << share;
      EXPECT_LT(e.high, last_high) << share;
      last_high = e.high;
    }
  }
  // The whole data set: the exact ratio, low = high, also with repeats
  // inside buckets (each counted once per bucket).
  {
    std::vector<int> ids = scattered(3000, 3, 5);
    for (int i = 0; i < 640; i++) ids.push_back(-1);  // ten buckets of zeros
    ClusterSample c(ids, 64, 1.0, 6);
    unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
    const double truth = (double)ids.size() / 3001;
    EXPECT_NEAR(e.r, truth, 1e-9 * truth);
    EXPECT_EQ(e.low, e.r);
    EXPECT_EQ(e.high, e.r);
  }
  // Fewer than two buckets per group read: a ratio, but no bounds.
  {
    ClusterSample c(scattered(3000, 2, 7), 64, 0.1, 8);  // 9 of 94 buckets
    unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
    EXPECT_GT(e.r, 0);
    EXPECT_EQ(e.low, -1.0);
    EXPECT_EQ(e.high, -1.0);
  }
}

// Distinct contents, but one bucket in ten half filled with one content (the
// freed extents of a database, zero pages): how many such buckets the sample
// drew moves the distinct count, a noise the histograms' shape does not show.
TEST(UnseenEstimate, RangeHoldsTheNoiseOfTheOccurrencesTotal) {
  const int per_bucket = 64, buckets = 2000;
  std::vector<int> ids;
  std::mt19937_64 rng(7);
  int next = 1;
  for (int b = 0; b < buckets; b++) {
    const bool freed = rng() % 10 == 0;
    for (int k = 0; k < per_bucket; k++)
      ids.push_back(freed && k % 2 == 0 ? 0 : next++);
  }
  const double truth = (double)ids.size() / next;
  for (double share : {0.2, 0.5}) {
    int inside = 0, inside_fixed_total = 0;
    for (uint64_t seed = 1; seed <= 20; seed++) {
      ClusterSample c(ids, per_bucket, share, seed);
      const unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
      inside += e.low <= truth && e.high >= truth;
      // The same sample with the replicates held to the whole's total.
      for (double& g : c.s.group_share) g = 0;
      const unseen_result_t f = unseen_estimate(c.s, 0.5, 0);
      inside_fixed_total += f.low <= truth && f.high >= truth;
    }
    EXPECT_GE(inside, 18) << share;
    EXPECT_LT(inside_fixed_total, inside) << share;
  }
}

// Copies of whole buckets (three copies of an image, bucket-aligned): their
// chunks come and go together, so an early sample shows few triples or
// none. The range must hold the truth all the same, in all but about one
// sample in twenty, and no figure may leave [1, chunks / distinct seen].
TEST(UnseenEstimate, CopiesOfWholeBucketsStayInsideTheRange) {
  const int per_bucket = 8, image = 1500 * per_bucket;
  std::vector<int> ids;
  for (int copy = 0; copy < 3; copy++)
    for (int i = 0; i < image; i++) ids.push_back(i);
  for (double share : {0.05, 0.2}) {
    int inside = 0;
    for (uint64_t seed = 1; seed <= 20; seed++) {
      ClusterSample c(ids, per_bucket, share, seed);
      const unseen_result_t e = unseen_estimate(c.s, 0.5, 0);
      inside += e.low <= 3.0 && e.high >= 3.0;
      const double ceiling = c.s.chunks / (double)c.s.n_distinct;
      for (double v : {e.r, e.low, e.high}) {
        EXPECT_GE(v, 1.0) << share << " " << seed;
        EXPECT_LE(v, ceiling * (1 + 1e-12)) << share << " " << seed;
      }
    }
    EXPECT_GE(inside, 19) << share;
  }
}

}  // namespace
