#include "estimator.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crc.h"
#include "printer.h"
#include "threadpool.h"

// White-box access to the Estimator's state (a friend of the class).
class EstimatorPeer {
 public:
  explicit EstimatorPeer(Estimator* e) : e_(e) {}

  void begin(size_t total_chunks, size_t total_buckets = 0) {
    e_->__start_reading(total_chunks, total_buckets);
  }
  void add(const unsigned char* chunk) { Estimator::add_chunk(chunk, e_); }
  void add(const std::vector<unsigned char>& chunk) { add(chunk.data()); }
  bool dedupe(unsigned int crc) {
    MutexLock l(&e_->m_mutex);
    return e_->__add_chunk_dedupe(crc);
  }
  bool dedupe(unsigned int crc, int group, bool first_in_bucket) {
    MutexLock l(&e_->m_mutex);
    return e_->__add_chunk_dedupe(crc, group, first_in_bucket);
  }
  void add(const std::vector<unsigned char>& chunk, size_t bucket_seq) {
    Estimator::add_chunk(chunk.data(), bucket_seq, e_);
  }
  void print_dedupe(double r, double lo, double hi) {
    e_->__print_dedupe(r, lo, hi);
  }
  void analyze(double* r, double* lo, double* hi) {
    e_->__analyze_dfh(r, lo, hi);
  }

  // Checksum -> chunks, wherever the Estimator keeps the count.
  std::map<unsigned int, unsigned long long> map() const {
    std::map<unsigned int, unsigned long long> m;
    for (const auto& kv : e_->m_dedupe_map)
      m[kv.first] = e_->__chunks(kv.first, kv.second);
    return m;
  }
  // Checksum -> buckets it was seen in.
  std::map<unsigned int, unsigned long long> buckets() const {
    std::map<unsigned int, unsigned long long> m;
    for (const auto& kv : e_->m_dedupe_map)
      m[kv.first] = e_->__buckets(kv.first, kv.second);
    return m;
  }
  const DFH_ARRAY& dfh() const { return e_->m_dfh_array; }
  const DFH_ARRAY& rep(int g) const { return e_->m_dfh_rep[g]; }
  size_t rep_size(int g) const { return e_->m_dfh_rep_size[g]; }
  unsigned long long big_buckets() const { return e_->m_big_buckets; }
  // True when the checksum is in the side map and no longer counted per
  // group.
  bool is_big(Estimator::fp_t fp) const {
    if (!e_->m_dedupe_map.at(fp).side()) return false;
    return !e_->m_dedupe_side.at(fp).grouped;
  }
  bool is_side(Estimator::fp_t fp) const {
    return e_->m_dedupe_map.at(fp).side();
  }
  // What the histogram without group g should hold, from the map: the
  // bucket counts without the group's, checksums no longer grouped left out.
  std::map<unsigned long long, int> rep_expected(int g) const {
    std::map<unsigned long long, int> m;
    for (const auto& kv : e_->m_dedupe_map) {
      const uint8_t* groups = kv.second.buckets;
      unsigned long long t = kv.second.n_buckets();
      if (kv.second.side()) {
        const Estimator::side_count_t& s = e_->m_dedupe_side.at(kv.first);
        if (!s.grouped) continue;
        groups = s.groups;
        t = s.buckets;
      }
      const unsigned long long k = t - groups[g];
      if (k != 0) m[k]++;
    }
    return m;
  }
  size_t dfh_size() const { return e_->m_dfh_size; }
  size_t n_data() const { return e_->m_n_data_chunks; }
  size_t n_zero() const { return e_->m_n_zero_chunks; }
  size_t n_skipped() const { return e_->m_n_skipped_chunks; }
  size_t compressed() const { return e_->m_compressed_size; }
  size_t uncompressed() const { return e_->m_uncompressed_size; }
  bool save_memory() const { return e_->m_save_memory; }
  unsigned int lower_crc() const { return e_->m_lower_crc; }
  unsigned int zeros_crc() const { return e_->m_zeros_crc; }
  int n_reports() const { return e_->m_n_printed_reports; }
  std::string stop_reason() {
    MutexLock l(&e_->m_mutex);
    return e_->m_stop_reason;
  }

 private:
  Estimator* e_;
};

namespace {

const size_t CHUNK = 4096;

struct Params : pelko_params_t {
  explicit Params(int mask, size_t chunk = CHUNK) {
    chunk_size = chunk;
    bucket_size = 1 << 20;
    estimate_mask = mask;
    report_freq = 2.0;  // one report, at the first chunk
    n_threads = 1;
    scan_time_limit = 0;
    scan_memory_limit = 0;
    memory_limit = 0;
    alpha = 0.5;
    debug = 0;
  }
};

// The injected process and console figures.
std::atomic<size_t> g_mem{ONE_GB};
std::atomic<int> g_height{-1};
std::atomic<int> g_width{80};
std::atomic<time_t> g_now{1000};
std::atomic<int> g_mem_probes{0};

void fake_memory(size_t* cur, size_t* peak) {
  g_mem_probes++;
  *cur = g_mem;
  if (peak) *peak = g_mem;
}
int fake_term_size(int* width, int* height) {
  if (g_height < 0) return -1;
  if (height) *height = g_height;
  if (width) *width = g_width;
  return 0;
}
time_t fake_time() { return g_now; }
std::atomic<double> g_seconds{100.0};
double fake_seconds() { return g_seconds; }

Estimator::env_t fake_env(unsigned check_interval = 1) {
  Estimator::env_t env;
  env.get_memory_usage = fake_memory;
  env.get_term_size = fake_term_size;
  env.get_time = fake_time;
  env.get_seconds = fake_seconds;
  env.memory_check_interval = check_interval;
  return env;
}

std::vector<unsigned char> random_chunk(unsigned seed, size_t n = CHUNK) {
  std::mt19937 gen(seed);
  std::vector<unsigned char> v(n);
  for (auto& c : v) c = (unsigned char)(gen() % 7);  // compressible
  return v;
}

size_t lz4_size(const std::vector<unsigned char>& v) {
  std::vector<char> out(LZ4_compressBound((int)v.size()));
  return LZ4_compress_default((const char*)v.data(), out.data(), (int)v.size(),
                              (int)out.size());
}

// A histogram holds exactly `want` (entry k -> checksums), within its used
// length.
void expect_histogram(const DFH_ARRAY& h, size_t used,
                      std::map<unsigned long long, int> want,
                      const std::string& what) {
  size_t highest = 0;
  for (size_t k = 1; k < h.size(); k++) {
    const int expected = want.count(k) ? want[k] : 0;
    ASSERT_EQ(h[k], expected) << what << " entry " << k;
    if (h[k] != 0) highest = k;
  }
  EXPECT_EQ(h.empty() ? 0 : h[0], 0) << what;
  if (highest != 0) {
    EXPECT_GE(used, highest + 1) << what;
  }
}

// Histograms against map: the whole sample's histogram counts the checksums
// by their buckets, each group's by their buckets outside the group, and
// the chunks in the map are those sent to dedupe less the skipped ones.
void expect_consistent(const EstimatorPeer& p, size_t sent_to_dedupe) {
  unsigned long long chunks = 0;
  for (const auto& kv : p.map()) chunks += kv.second;
  EXPECT_EQ(chunks, sent_to_dedupe - p.n_skipped());
  std::map<unsigned long long, int> want;
  for (const auto& kv : p.buckets()) want[kv.second]++;
  expect_histogram(p.dfh(), p.dfh_size(), want, "histogram");
  for (int g = 0; g < UNSEEN_GROUPS; g++)
    expect_histogram(p.rep(g), p.rep_size(g), p.rep_expected(g),
                     "group " + std::to_string(g));
}

class EstimatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_.setf(std::ios::fixed);
    out_.precision(3);
    printer.set_console(&out_);
    // Progress lines are written to a terminal only.
    was_terminal_ = printer.console_is_terminal();
    printer.set_console_is_terminal(true);
    // The full layout on the console too, as in the report file; the
    // compact one has a test of its own.
    printer.set_console_compact(false);
    printer.set_warnings_to_stderr(false);
    printer.clear_summary_notes();
    g_mem = ONE_GB;
    g_height = -1;
    g_width = 80;
    g_now = 1000;
    g_seconds = 100.0;
    g_mem_probes = 0;
  }
  void TearDown() override {
    printer.set_console(&std::cout);
    printer.set_console_is_terminal(was_terminal_);
    printer.set_console_compact(true);
    printer.close_for_test();
    if (!file_path_.empty()) unlink(file_path_.c_str());
  }
  void open_report_file() {
    char path[] = "/tmp/pelko_estimator_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    file_path_ = path;
    printer.open(file_path_);
  }
  std::string file_text() {
    printer.close_for_test();
    std::ifstream f(file_path_, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  static size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t pos = s.find(what); pos != std::string::npos;
         pos = s.find(what, pos + 1))
      n++;
    return n;
  }

  std::ostringstream out_;
  std::string file_path_;
  bool was_terminal_ = false;
};

// The compression state is reused from chunk to chunk: each chunk's size
// must still be what a fresh compression gives, whatever came before it
// (similar, unrelated, incompressible or zero chunks), at a chunk size under
// 64 KiB and one above, where the library indexes positions differently.
TEST_F(EstimatorTest, CompressedSizeDoesNotDependOnEarlierChunks) {
  for (size_t chunk : {CHUNK, (size_t)128 << 10}) {
    SCOPED_TRACE(chunk);
    std::vector<std::vector<unsigned char>> seq;
    std::mt19937 gen(5);
    const std::vector<unsigned char> base = random_chunk(9, chunk);
    for (int i = 0; i < 40; i++) {
      std::vector<unsigned char> v;
      switch (i % 4) {
        case 0: v = base; v[gen() % chunk] ^= 1 + i; break;  // near-duplicate
        case 1: v = random_chunk(100 + i, chunk); break;
        case 2:
          v.resize(chunk);
          for (auto& c : v) c = (unsigned char)gen();  // incompressible
          break;
        default: v.assign(chunk, 0); v[i] = 1;
      }
      seq.push_back(v);
    }
    Params params(ESTIMATE_COMPRESS, chunk);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(seq.size());
    size_t want = 0;
    for (const auto& v : seq) {
      p.add(v);
      want += lz4_size(v);
      ASSERT_EQ(p.compressed(), want);
    }
  }
}

// ---------------------------------------------------------------------------
// Classification

TEST_F(EstimatorTest, ClassifiesUnderEachMask) {
  const std::vector<unsigned char> a = random_chunk(1), b = random_chunk(2);
  const std::vector<unsigned char> z(CHUNK, 0);
  const std::vector<const std::vector<unsigned char>*> seq = {&a, &a, &z, &b,
                                                              &z};
  struct want_t {
    int mask;
    size_t map_size;
    size_t uncompressed_chunks;
    size_t compressed;
  } cases[] = {
      // Zeros bypass dedupe and are never compressed; the duplicate a is not
      // compressed.
      {ESTIMATE_DEDUPE | ESTIMATE_COMPRESS, 2, 2, lz4_size(a) + lz4_size(b)},
      // Zeros share one entry; only the first zero chunk is compressed.
      {ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS, 3, 3,
       lz4_size(a) + lz4_size(b) + lz4_size(z)},
      // Dedupe off: every chunk is compressed, zeros included.
      {ESTIMATE_COMPRESS, 0, 5,
       2 * lz4_size(a) + lz4_size(b) + 2 * lz4_size(z)},
      {ESTIMATE_DEDUPE, 2, 0, 0},
      {0, 0, 0, 0},
  };
  for (const want_t& w : cases) {
    SCOPED_TRACE(w.mask);
    Params params(w.mask);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(10);
    for (const auto* c : seq) p.add(*c);
    EXPECT_EQ(p.n_data(), 3u);
    EXPECT_EQ(p.n_zero(), 2u);
    EXPECT_EQ(p.map().size(), w.map_size);
    EXPECT_EQ(p.uncompressed(), w.uncompressed_chunks * CHUNK);
    EXPECT_EQ(p.compressed(), w.compressed);
    if (w.mask & ESTIMATE_DEDUPE) {
      unsigned int crc_a = memcrc(a.data(), CHUNK);
      ASSERT_EQ(p.map().count(crc_a), 1u);
      EXPECT_EQ(p.map().at(crc_a), 2u);
      bool zeros_in = w.mask & ESTIMATE_DEDUPE_ZEROS;
      EXPECT_EQ(p.dfh()[2], zeros_in ? 2 : 1);
      EXPECT_EQ(p.map().count(p.zeros_crc()), zeros_in ? 1u : 0u);
      EXPECT_EQ(p.zeros_crc(), memcrc(z.data(), CHUNK));
      expect_consistent(p, zeros_in ? 5 : 3);
    } else {
      EXPECT_TRUE(p.dfh().empty());
      EXPECT_EQ(p.dfh_size(), 0u);
    }
  }
}

TEST_F(EstimatorTest, HistogramDoublesAtSixteenthOccurrence) {
  Params params(ESTIMATE_DEDUPE);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  EXPECT_EQ(p.dfh().size(), 16u);
  EXPECT_EQ(p.dfh_size(), 0u);
  EXPECT_FALSE(p.dedupe(7));
  EXPECT_FALSE(p.dedupe(8));
  for (int i = 2; i <= 15; i++) EXPECT_TRUE(p.dedupe(7));
  EXPECT_EQ(p.dfh().size(), 16u);
  EXPECT_EQ(p.dfh_size(), 16u);
  EXPECT_EQ(p.dfh()[15], 1);
  EXPECT_TRUE(p.dedupe(7));  // the 16th
  EXPECT_EQ(p.dfh().size(), 32u);
  EXPECT_EQ(p.dfh_size(), 17u);
  EXPECT_EQ(p.dfh()[15], 0);
  EXPECT_EQ(p.dfh()[16], 1);
  EXPECT_EQ(p.dfh()[1], 1);
  expect_consistent(p, 17);
}

// A -c 64M chunk: the compression scratch must not live on the stack.
TEST_F(EstimatorTest, CompressesHugeChunk) {
  const size_t big = 64 * ONE_MB;
  Params params(ESTIMATE_COMPRESS, big);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  p.begin(1);
  std::vector<unsigned char> zeros(big, 0);
  p.add(zeros);
  EXPECT_EQ(p.n_zero(), 1u);
  EXPECT_EQ(p.uncompressed(), big);
  EXPECT_GT(p.compressed(), 0u);
  EXPECT_LT(p.compressed(), big / 100);
}

// ---------------------------------------------------------------------------
// Memory-saving mode

TEST_F(EstimatorTest, MemoryLimitSwitchesToSavingMode) {
  Params params(ESTIMATE_DEDUPE | ESTIMATE_COMPRESS);
  params.memory_limit = 1000;
  Estimator e(params, fake_env(4));
  EstimatorPeer p(&e);
  g_mem = 500;
  size_t sent = 0;
  for (unsigned crc : {100u, 200u, 300u, 400u, 200u}) {
    p.dedupe(crc);
    sent++;
  }
  // The probe is read on every fourth update only.
  EXPECT_EQ(g_mem_probes, 1);
  EXPECT_FALSE(p.save_memory());
  g_mem = 2000;
  for (unsigned crc : {500u, 600u}) {
    p.dedupe(crc);
    sent++;
    EXPECT_FALSE(p.save_memory());
  }
  p.dedupe(700);  // eighth update: the check trips
  sent++;
  EXPECT_EQ(g_mem_probes, 2);
  ASSERT_TRUE(p.save_memory());
  EXPECT_EQ(p.lower_crc(), 100u);
  EXPECT_EQ(out_.str(),
            "\n\nWARNING: Memory limit reached.\nUsed memory:0.000 GiB\n\n\n");
  // The summary repeats it: the figures rest on part of the fingerprints.
  ASSERT_EQ(1u, printer.summary_notes().size());
  EXPECT_EQ(0u, printer.summary_notes()[0].find(
                    "the memory limit (-M) was reached at 0.000 GiB"));
  const size_t map_size = p.map().size();  // 100..700
  EXPECT_EQ(map_size, 7u);

  EXPECT_TRUE(p.dedupe(50));  // below: skipped, nothing else changes
  sent++;
  EXPECT_EQ(p.n_skipped(), 1u);
  EXPECT_EQ(p.map().count(50), 0u);
  EXPECT_TRUE(p.dedupe(300));  // present: counted, threshold stays
  sent++;
  EXPECT_EQ(p.map().at(300), 2u);
  EXPECT_EQ(p.lower_crc(), 100u);
  EXPECT_FALSE(p.dedupe(800));  // new: evicts 100 (seen once)
  sent++;
  EXPECT_EQ(p.map().count(100), 0u);
  EXPECT_EQ(p.n_skipped(), 2u);
  EXPECT_EQ(p.lower_crc(), 200u);
  EXPECT_TRUE(p.dedupe(150));  // below the new threshold: skipped
  sent++;
  EXPECT_EQ(p.n_skipped(), 3u);
  EXPECT_FALSE(p.dedupe(250));  // evicts 200, seen twice
  sent++;
  EXPECT_EQ(p.n_skipped(), 5u);
  EXPECT_EQ(p.lower_crc(), 250u);
  EXPECT_EQ(p.map().size(), map_size);
  EXPECT_EQ(g_mem_probes, 2);  // no more checks in saving mode
  expect_consistent(p, sent);

  // Raise the threshold near the top; then a chunk below it still counts as
  // a data chunk, counts as skipped and is not compressed.
  for (unsigned i = 0; i < map_size; i++, sent++) p.dedupe(0xFFFFFF00u + i);
  EXPECT_EQ(p.lower_crc(), 0xFFFFFF00u);
  p.begin(100);
  std::vector<unsigned char> c = random_chunk(9);
  ASSERT_LT(memcrc(c.data(), CHUNK), p.lower_crc());
  size_t skipped = p.n_skipped();
  p.add(c);
  sent++;
  EXPECT_EQ(p.n_data(), 1u);
  EXPECT_EQ(p.n_skipped(), skipped + 1);
  EXPECT_EQ(p.uncompressed(), 0u);
  EXPECT_EQ(p.compressed(), 0u);
  expect_consistent(p, sent);

  // The skipped share in the debug lines.
  params.debug = 1;
  out_.str("");
  double r, lo, hi;
  p.analyze(&r, &lo, &hi);
  EXPECT_NE(out_.str().find("#total_chunks=100, #sample_chunks=1, "
                            "#skipped_chunks="),
            std::string::npos)
      << out_.str();
}

// Random traffic in saving mode, with and without the protected zero
// checksum and with checksums at both ends of the range: the histogram
// matches the map, the threshold is always an entry, nothing but the
// protected checksum lies below it, and the map stops growing.
TEST_F(EstimatorTest, SavingModeInvariantsHoldUnderRandomTraffic) {
  for (int mask : {ESTIMATE_DEDUPE, ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS}) {
    SCOPED_TRACE(mask);
    Params params(mask);
    params.memory_limit = 1000;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    const unsigned int z = p.zeros_crc();
    const bool protect = mask & ESTIMATE_DEDUPE_ZEROS;
    std::mt19937 gen(5);
    std::vector<unsigned int> pool = {0u,    1u,          z,          z - 1,
                                      z + 1, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (int i = 0; i < 200; i++) pool.push_back(gen());
    size_t sent = 0;
    g_mem = 0;
    for (int i = 0; i < 300; i++, sent++) p.dedupe(pool[gen() % pool.size()]);
    g_mem = 2000;
    p.dedupe(pool[0]);
    sent++;
    ASSERT_TRUE(p.save_memory());
    size_t map_size = p.map().size();
    unsigned int last_lower = p.lower_crc();
    int grew = 0;
    for (int i = 0; i < 5000; i++) {
      unsigned int crc = pool[gen() % pool.size()];
      if (i % 50 == 0) crc = z;
      const bool zero_was_lower = protect && p.lower_crc() == z;
      const auto before = p.map();
      const size_t skipped = p.n_skipped();
      const bool hit = p.dedupe(crc);
      sent++;
      if (crc < last_lower && !(protect && crc == z)) {
        ASSERT_TRUE(hit);
        ASSERT_EQ(p.n_skipped(), skipped + 1);
        ASSERT_TRUE(p.map() == before);
      }
      ASSERT_EQ(p.map().count(p.lower_crc()), 1u) << "threshold not an entry";
      ASSERT_GE(p.lower_crc(), last_lower) << "threshold fell";
      for (const auto& kv : p.map()) {
        if (!(protect && kv.first == z)) {
          ASSERT_GE(kv.first, p.lower_crc());
        }
      }
      if (protect && before.count(z)) {
        ASSERT_EQ(p.map().count(z), 1u);
      }
      if (p.map().size() != map_size) {
        ASSERT_TRUE(zero_was_lower ||
                    (protect && crc == z && !before.count(z)));
        ASSERT_EQ(p.map().size(), map_size + 1);
        map_size++;
        grew++;
      }
      last_lower = p.lower_crc();
      if (i % 97 == 0) expect_consistent(p, sent);
    }
    EXPECT_LE(grew, 2);
    expect_consistent(p, sent);
  }
}

// A checksum counts once per bucket it occurs in, whatever its repeats
// there, in the whole sample's histogram and in every group's but its
// bucket's own; one seen in more buckets of a group than its count holds
// moves to the overflow map and out of the groups' histograms; the
// memory-saving mode keeps all of this consistent while it evicts.
TEST_F(EstimatorTest, BucketCountsGroupsAndOverflow) {
  {
    Params params(ESTIMATE_DEDUPE);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(1000, 100);
    const std::vector<unsigned char> a = random_chunk(1), b = random_chunk(2),
                                     c = random_chunk(3);
    p.add(a, 0);  // bucket 0 (group 0): a a b
    p.add(a, 0);
    p.add(b, 0);
    p.add(a, 1);  // bucket 1 (group 1): a c
    p.add(c, 1);
    p.add(a, 9);  // bucket 9 (group 1): a
    const unsigned crc_a = memcrc(a.data(), CHUNK);
    EXPECT_EQ(p.map().at(crc_a), 4u);
    EXPECT_EQ(p.buckets().at(crc_a), 3u);
    // Twice in one bucket: the exact counts move to the side map, and the
    // groups' counts with them.
    EXPECT_TRUE(p.is_side(crc_a));
    EXPECT_FALSE(p.is_big(crc_a));
    EXPECT_EQ(p.dfh()[1], 2);  // b and c
    EXPECT_EQ(p.dfh()[3], 1);  // a
    EXPECT_EQ(p.rep(0)[1], 1);  // without group 0: c, and a in 2 buckets
    EXPECT_EQ(p.rep(0)[2], 1);
    EXPECT_EQ(p.rep(1)[1], 2);  // without group 1: a and b once each
    EXPECT_EQ(p.rep(2)[1], 2);
    EXPECT_EQ(p.rep(2)[3], 1);
    expect_consistent(p, 6);
  }
  for (bool saving : {false, true}) {
    SCOPED_TRACE(saving);
    Params params(ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS);
    params.memory_limit = saving ? 1000 : 0;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    std::mt19937 gen(11);
    std::vector<unsigned int> pool;
    for (int i = 0; i < 300; i++) pool.push_back(gen());
    const unsigned hot = pool[7];
    size_t sent = 0;
    g_mem = 0;
    for (size_t seq = 0; seq < 4000; seq++) {
      if (saving && seq == 2000) g_mem = 2000;
      std::set<unsigned> in_bucket;
      const int n = 1 + gen() % 5;
      for (int i = 0; i < n; i++) {
        // The hot checksum in every bucket of group 0: 500 of them.
        const unsigned crc = i == 0 && seq % UNSEEN_GROUPS == 0
                                 ? hot
                                 : pool[gen() % pool.size()];
        p.dedupe(crc, (int)(seq % UNSEEN_GROUPS), in_bucket.insert(crc).second);
        sent++;
      }
      if (seq % 499 == 0) expect_consistent(p, sent);
    }
    expect_consistent(p, sent);
    if (!saving) {
      ASSERT_TRUE(p.is_big(hot));
      EXPECT_GE(p.buckets().at(hot), 500u);
    }
    unsigned long long big = 0;
    for (const auto& kv : p.buckets())
      if (p.is_big(kv.first)) big += kv.second;
    EXPECT_EQ(p.big_buckets(), big);
  }
}

// Two different chunks with one checksum: a copy of `a` with byte 100
// changed and bytes 200 .. 203 set so that the checksum stays (the checksum
// is affine in the bits of a fixed-length input, so the 32 bits of a word
// can be solved for over GF(2)).
std::vector<unsigned char> same_checksum_as(const std::vector<unsigned char>& a) {
  std::vector<unsigned char> b = a;
  b[100] ^= 0x5A;
  const unsigned target = memcrc(b.data(), b.size()) ^ memcrc(a.data(), a.size());
  // Effect of each bit of bytes 200 .. 203 on the checksum.
  unsigned col[32];
  for (int j = 0; j < 32; j++) {
    std::vector<unsigned char> t = b;
    t[200 + j / 8] ^= (unsigned char)(1u << (j % 8));
    col[j] = memcrc(t.data(), t.size()) ^ memcrc(b.data(), b.size());
  }
  // Solve sum of col[j] over the chosen j = target by elimination.
  unsigned basis[32] = {0}, combo[32] = {0};
  for (int j = 0; j < 32; j++) {
    unsigned v = col[j], c = 1u << j;
    for (int bit = 31; bit >= 0; bit--) {
      if (!(v >> bit & 1)) continue;
      if (basis[bit] == 0) {
        basis[bit] = v;
        combo[bit] = c;
        break;
      }
      v ^= basis[bit];
      c ^= combo[bit];
    }
  }
  unsigned v = target, pick = 0;
  for (int bit = 31; bit >= 0; bit--) {
    if (!(v >> bit & 1)) continue;
    EXPECT_NE(basis[bit], 0u);
    v ^= basis[bit];
    pick ^= combo[bit];
  }
  for (int j = 0; j < 32; j++)
    if (pick >> j & 1) b[200 + j / 8] ^= (unsigned char)(1u << (j % 8));
  return b;
}

// Chunks that share a 32-bit checksum count as one content by default, and
// as two with 64-bit fingerprints; and when the data set is large enough
// for 32-bit checksums to merge more than 0.5 % of its distinct chunks by
// chance, one warning says so.
TEST_F(EstimatorTest, FingerprintsAndCollisions) {
  const std::vector<unsigned char> a = random_chunk(21), b = same_checksum_as(a);
  ASSERT_NE(a, b);
  ASSERT_EQ(memcrc(a.data(), CHUNK), memcrc(b.data(), CHUNK));
  for (int bits : {32, 64}) {
    SCOPED_TRACE(bits);
    Params params(ESTIMATE_DEDUPE);
    params.fingerprint_bits = bits;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(2);
    p.add(a);
    p.add(b);
    EXPECT_EQ(p.map().size(), bits == 32 ? 1u : 2u);
  }
  for (int bits : {32, 64}) {
    SCOPED_TRACE(bits);
    out_.str("");
    Params params(ESTIMATE_DEDUPE);
    params.fingerprint_bits = bits;
    params.report_freq = 0.25;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    // A few thousand distinct chunks standing for 10^9: about 10^9
    // distinct, 11.6 % merged by chance.
    p.begin(1000000000);
    for (unsigned i = 0; i < 2000; i++) p.add(random_chunk(100 + i));
    e.finish();
    const std::string warning = "WARNING: With about 1e+09 distinct chunks, "
                                "32-bit checksums merge about 11.6% of them";
    EXPECT_EQ(count(out_.str(), warning), bits == 32 ? 1u : 0u) << out_.str();
  }
}

// The corners of the protected zero checksum. Arriving new below a threshold
// that is the highest entry (0xFFFFFFFF included, where the next checksum
// would wrap to 0), it cannot evict the threshold, which nothing could
// replace: it joins the map and the threshold stays. As the threshold entry
// itself it is never evicted: the next new checksum joins the map.
TEST_F(EstimatorTest, SavingModeCornersKeepThresholdValid) {
  Params params(ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS);
  params.memory_limit = 1000;
  for (bool wrap : {true, false}) {
    SCOPED_TRACE(wrap);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    const unsigned int z = p.zeros_crc();
    ASSERT_LT(z, 0xFFFFFFF0u);
    const unsigned int top = wrap ? 0xFFFFFFFFu : z + 5;
    g_mem = 2000;
    p.dedupe(top);  // trips at once: threshold = top
    ASSERT_TRUE(p.save_memory());
    EXPECT_EQ(p.lower_crc(), top);
    EXPECT_TRUE(p.dedupe(z - 1));  // below: skipped
    EXPECT_FALSE(p.dedupe(z));     // protected and new
    EXPECT_EQ(p.map().size(), 2u);
    EXPECT_EQ(p.lower_crc(), top);
    EXPECT_TRUE(p.dedupe(z));
    EXPECT_EQ(p.map().at(z), 2u);
    EXPECT_TRUE(p.dedupe(top));
    EXPECT_EQ(p.map().at(top), 2u);
    if (!wrap) {
      EXPECT_FALSE(p.dedupe(top + 4));  // evicts top, seen twice
      EXPECT_EQ(p.lower_crc(), top + 4);
      EXPECT_EQ(p.n_skipped(), 3u);
    } else {
      EXPECT_TRUE(p.dedupe(top - 1));
      EXPECT_EQ(p.n_skipped(), 2u);
    }
    EXPECT_EQ(p.map().size(), 2u);
    expect_consistent(p, 6);
  }

  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  const unsigned int z = p.zeros_crc();
  g_mem = 0;
  p.dedupe(z);
  g_mem = 2000;
  p.dedupe(z + 5);
  ASSERT_TRUE(p.save_memory());
  EXPECT_EQ(p.lower_crc(), z);
  EXPECT_FALSE(p.dedupe(z + 9));  // the protected threshold stays
  EXPECT_EQ(p.map().size(), 3u);
  EXPECT_EQ(p.lower_crc(), z + 5);
  EXPECT_FALSE(p.dedupe(z + 20));  // evicts z + 5
  EXPECT_EQ(p.map().size(), 3u);
  EXPECT_EQ(p.lower_crc(), z + 9);
  EXPECT_TRUE(p.dedupe(z));  // below the threshold, still counted
  EXPECT_EQ(p.map().at(z), 2u);
  EXPECT_EQ(p.n_skipped(), 1u);
  expect_consistent(p, 5);
}

// ---------------------------------------------------------------------------
// Threads

struct feed_t {
  Estimator* e;
  const std::vector<std::vector<unsigned char>>* chunks;
  std::atomic<size_t> next{0};
};

void* feed_thread(void* arg) {
  feed_t* f = static_cast<feed_t*>(arg);
  for (size_t i; (i = f->next++) < f->chunks->size();)
    Estimator::add_chunk((*f->chunks)[i].data(), f->e);
  return nullptr;
}

TEST_F(EstimatorTest, ThreadsGiveSameResultsAsOne) {
  std::vector<std::vector<unsigned char>> chunks;
  std::mt19937 gen(3);
  for (int i = 0; i < 1500; i++) {
    unsigned pick = gen() % 200;
    if (pick < 20)
      chunks.emplace_back(CHUNK, 0);
    else
      chunks.push_back(random_chunk(pick));
  }
  const int mask = -1;
  Params params(mask);
  params.report_freq = 0.1;
  Estimator one(params, fake_env());
  EstimatorPeer p1(&one);
  p1.begin(chunks.size());
  for (const auto& c : chunks) p1.add(c);
  expect_consistent(p1, chunks.size());

  for (int n_threads : {2, 4}) {
    Estimator many(params, fake_env());
    EstimatorPeer pn(&many);
    pn.begin(chunks.size());
    feed_t f;
    f.e = &many;
    f.chunks = &chunks;
    threadpool_run(n_threads, feed_thread, &f);
    EXPECT_EQ(pn.n_data(), p1.n_data());
    EXPECT_EQ(pn.n_zero(), p1.n_zero());
    EXPECT_EQ(pn.compressed(), p1.compressed());
    EXPECT_EQ(pn.uncompressed(), p1.uncompressed());
    EXPECT_TRUE(pn.map() == p1.map());
    EXPECT_EQ(pn.dfh(), p1.dfh());
    EXPECT_EQ(pn.dfh_size(), p1.dfh_size());
    EXPECT_EQ(pn.n_reports(), p1.n_reports());
  }
}

// ---------------------------------------------------------------------------
// Reports

TEST_F(EstimatorTest, HeaderRepeatsEveryHalfConsoleHeight) {
  const std::vector<unsigned char> c = random_chunk(1);
  // (console height, reports printed between console headers)
  for (auto hp :
       {std::make_pair(10, 5), std::make_pair(1, 1), std::make_pair(3, 1),
        std::make_pair(-1, 30), std::make_pair(0, 30)}) {
    SCOPED_TRACE(hp.first);
    out_.str("");
    open_report_file();
    g_height = hp.first;
    Params params(ESTIMATE_COMPRESS);
    params.report_freq = 0.01;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(100);
    for (int i = 0; i < 100; i++) p.add(c);
    int reports = p.n_reports();
    EXPECT_GE(reports, 90);
    const std::string title =
        "\tPROGRESS\t\tBANDWIDTH\tMEMORY\t\t\t\tCOMPRESS"
        "\t\tZEROS\t\t\t\n";
    EXPECT_EQ(count(out_.str(), title), 1u + reports / hp.second);
    std::string file = file_text();
    EXPECT_EQ(count(file, title), 1u);  // the file holds it once
    EXPECT_EQ(file.find("ANALYZING\n\n" + title), 0u);
    EXPECT_EQ(count(file, "%\n"), (size_t)reports);
    unlink(file_path_.c_str());
    file_path_.clear();
  }
}

TEST_F(EstimatorTest, DedupeColumns) {
  Params params(ESTIMATE_DEDUPE);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  struct {
    double r, lo, hi;
    const char* want;
  } cases[] = {
      // No estimate, or a failed one.
      {-1.0, -1.0, -1.0, " \t\t-1.000\t\t \t\t\t"},
      // Ratio without a range.
      {2.0, -1.0, -1.0, " \t\t2.000\t\t \t\t\t"},
      {1.0, 1.0, 2.0, "1.000\t\t<--\t\t2.000\t\t\t"},
      {2.0, 1.0, 2.0, "1.000\t\t-->\t\t2.000\t\t\t"},
      {1.5, 1.0, 2.0, "1.000\t\t1.500\t\t2.000\t\t\t"},
      // A range narrower than 1e-5 shows the number.
      {1.5, 1.5, 1.500001, "1.500\t\t1.500\t\t1.500\t\t\t"},
  };
  for (const auto& c : cases) {
    out_.str("");
    p.print_dedupe(c.r, c.lo, c.hi);
    EXPECT_EQ(out_.str(), c.want) << c.r << " " << c.lo << " " << c.hi;
  }
  // Debug level 1: ten tabs on the console only, numbers always.
  params.debug = 1;
  open_report_file();
  out_.str("");
  p.print_dedupe(-1.0, -1.0, -1.0);
  p.print_dedupe(1.0, 1.0, 2.0);
  EXPECT_EQ(out_.str(),
            "\t\t\t\t\t\t\t\t\t\t-1.000\t\t-1.000\t\t-1.000\t\t\t"
            "\t\t\t\t\t\t\t\t\t\t1.000\t\t1.000\t\t2.000\t\t\t");
  EXPECT_EQ(file_text(), "-1\t\t-1\t\t-1\t\t\t1\t\t1\t\t2\t\t\t");
}

// A final row with no chunk analysed, console and file: the dedupe columns
// stay empty around -1, compress and zeros read 0; the summary, the same
// text on both sides, has no estimate to give.
TEST_F(EstimatorTest, FinishWithoutChunks) {
  open_report_file();
  g_mem = ONE_GB;
  Params params(-1);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  p.begin(0);
  out_.str("");
  e.finish();
  const std::string summary =
      "\nSUMMARY: complete run\n"
      "logical size:                  0 bytes\n"
      "analysed:                      0 of 0 bytes in whole chunks, 0.000%\n"
      "file tails:                    0 bytes (0.000%), counted as stored\n"
      "unreadable:                    none\n"
      "                               estimate      pessimistic   optimistic\n"
      "after zeros:                   no estimate\n"
      "after dedupe:                  no estimate\n"
      "after compress:                no estimate\n"
      "physical size after reduction: no estimate\n"
      "space saved:                   no estimate\n"
      "reduction ratio:               no estimate\n";
  EXPECT_EQ(out_.str(),
            "\r\033[K0s.\t0 (0.000%)\t\t\t1.000 (1.000) GiB\t\t"
            " \t\t-1.000\t\t \t\t\t0.000\t\t\t0.000%\n" +
                summary);
  EXPECT_EQ(file_text(),
            "ANALYZING\n\n\tPROGRESS\t\tBANDWIDTH\tMEMORY\t\t\t\tlow\t\tDEDUPE"
            "\t\thigh\t\t\tCOMPRESS\t\tZEROS\t\t\t\n"
            "0s.\t0 (0.000%)\t\t\t1.000 (1.000) GiB\t\t"
            " \t\t-1\t\t \t\t\t0\t\t\t0%\n" +
                summary);
}

// The progress line: a lone tab for bandwidth in the first second, then a
// console-only line rewritten in place when a new second begins; the file
// gets only report rows.
TEST_F(EstimatorTest, ProgressLineAndRows) {
  open_report_file();
  g_mem = ONE_GB / 2;
  Params params(ESTIMATE_COMPRESS);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  p.begin(10);
  const std::vector<unsigned char> zeros(CHUNK, 0);
  out_.str("");
  p.add(zeros);  // first chunk: report row
  const std::string row1 = "0s.\t4096 (10.000%)\t\t\t0.500 (0.500) GiB\t\t";
  // The compression ratio of a zero chunk, in each side's number format.
  std::ostringstream console_ratio, file_ratio;
  console_ratio.setf(std::ios::fixed);
  console_ratio.precision(3);
  console_ratio << (double)CHUNK / lz4_size(zeros);
  file_ratio << (double)CHUNK / lz4_size(zeros);
  const std::string tail_console = console_ratio.str() + "\t\t\t100.000%\n";
  const std::string tail_file = file_ratio.str() + "\t\t\t100%\n";
  // On a terminal each line clears the one it rewrites: tabs do not erase.
  const std::string cr = "\r\033[K";
  EXPECT_EQ(out_.str(), cr + row1 + tail_console);
  out_.str("");
  g_now = 1002;
  p.add(zeros);  // a new second: transient line with the time left, no report
  EXPECT_EQ(out_.str(),
            cr + "2s.\t8192 (20.000%)\t4096/s\t0.500 (0.500) GiB\t\tETA 8s");
  out_.str("");
  p.add(zeros);  // same second: nothing
  EXPECT_EQ(out_.str(), "");
  e.finish();
  const std::string last_row =
      cr + "2s.\t12288 (30.000%)\t6144/s\t0.500 (0.500) GiB\t\t" + tail_console;
  EXPECT_EQ(out_.str().substr(0, last_row.size() + 10), last_row + "\nSUMMARY: ");
  std::string file = file_text();
  EXPECT_NE(file.find("\n" + row1 + tail_file), std::string::npos) << file;
  EXPECT_EQ(file.find("8192"), std::string::npos);
  EXPECT_NE(file.find("\n2s.\t12288 (30.000%)\t6144/s\t0.500 (0.500) GiB\t\t" +
                      tail_file),
            std::string::npos);
}

// On a terminal the console gets the compact layout: a header and rows of
// at most 80 columns, the transient progress line cut to the terminal's
// width; the report file gets the full layout, byte for byte as without a
// terminal.
TEST_F(EstimatorTest, CompactRowsOnATerminal) {
  const std::vector<unsigned char> zeros(CHUNK, 0), a = random_chunk(3);
  auto run = [&](bool compact) {
    open_report_file();
    printer.set_console_compact(compact);
    g_now = 1000;
    g_height = 40;
    g_width = 50;
    Params params(-1);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(40);
    for (int i = 0; i < 40; i++) {
      if (i == 25) g_now = 1003;  // a new second: a transient line
      p.add(i % 3 == 0 ? zeros : a);
    }
    e.finish();
    return file_text();
  };
  const std::string full = run(false);
  out_.str("");
  const std::string file = run(true);
  EXPECT_EQ(full, file);
  const std::string con = out_.str();
  EXPECT_NE(con.find("\nelapsed  analysed                 dedupe [low-high]"
                     "         compress     zeros\n"),
            std::string::npos)
      << con;
  // The first row has no range yet; the final row's range is exact.
  EXPECT_NE(con.find("\r\033[K     0s  4096           2.500%     1.000      "
                     "               "),
            std::string::npos)
      << con;
  EXPECT_NE(con.find("\r\033[K     3s  160.000 KiB  100.000%     20.00 "
                     "(exact)   "),
            std::string::npos)
      << con;
  EXPECT_EQ(std::string::npos, con.find('\t'));
  // Every line within 80 columns; the transient one within the terminal's
  // 50, less one (a line that fills the last column wraps).
  bool transient = false;
  for (size_t at = 0, end; at < con.size(); at = end + 1) {
    end = con.find('\n', at);
    if (end == std::string::npos) end = con.size();
    std::string l = con.substr(at, end - at);
    for (size_t cr; (cr = l.find("\r\033[K")) != std::string::npos;) {
      const size_t next = l.find("\r\033[K", cr + 1);
      const std::string part = l.substr(cr + 4, next == std::string::npos
                                                     ? std::string::npos
                                                     : next - cr - 4);
      if (part.find("ETA") != std::string::npos ||
          part.find("  mem ") != std::string::npos) {
        transient = true;
        EXPECT_LE(part.size(), 49u) << part;
        EXPECT_EQ("3s  104.000 KiB (65.000%)  34.666 KiB/s  mem 1.00", part);
      }
      l = next == std::string::npos ? "" : l.substr(next);
    }
    EXPECT_LE(l.size(), 80u) << l;
  }
  EXPECT_TRUE(transient) << con;
}

// --stop-at and --time-limit end the analysis by themselves, stop() ends it
// from outside; the first reason is kept, and the summary names it with the
// progress of the final row (chunks still in flight count).
TEST_F(EstimatorTest, LimitsAndStopEndTheAnalysis) {
  const std::vector<unsigned char> zeros(CHUNK, 0);
  {
    Params params(ESTIMATE_COMPRESS);
    params.stop_at = 0.25;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    p.begin(20);
    for (int i = 0; i < 4; i++) p.add(zeros);
    EXPECT_EQ(p.stop_reason(), "");
    p.add(zeros);  // 5 of 20
    EXPECT_EQ(p.stop_reason(), "stopped by --stop-at 25");
    p.add(zeros);  // in flight
    e.stop("interrupted by SIGINT");
    out_.str("");
    e.finish();
    EXPECT_NE(out_.str().find("%\n\nSUMMARY: stopped by --stop-at 25 at 30.000% "
                              "of the plan\n"),
              std::string::npos)
        << out_.str();
  }
  {
    Params params(ESTIMATE_COMPRESS);
    params.time_limit = 1.5;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    g_seconds = 100.25;
    p.begin(10);
    g_seconds = 101.7;
    p.add(zeros);
    EXPECT_EQ(p.stop_reason(), "");
    g_seconds = 101.75;
    p.add(zeros);
    EXPECT_EQ(p.stop_reason(), "stopped by --time-limit 1.5");
  }
  {
    // Asked to stop before reading began: kept for the summary.
    Params params(-1);
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    e.stop("interrupted by SIGTERM");
    p.begin(10);
    out_.str("");
    e.finish();
    EXPECT_NE(out_.str().find("\nSUMMARY: interrupted by SIGTERM at 0.000% of the "
                              "plan\n"),
              std::string::npos);
  }
}

// The time left on the progress line: at the rate so far towards the end of
// the plan, or towards --stop-at, and within --time-limit. Redirected (no
// terminal), there is no progress line and no row begins with a carriage
// return.
TEST_F(EstimatorTest, TimeLeftAndNoTerminal) {
  const std::vector<unsigned char> c = random_chunk(9);
  struct {
    double stop_at, time_limit;
    const char* eta;
  } cases[] = {{0, 0, "ETA 8s"}, {0.5, 0, "ETA 3s"}, {0.5, 3, "ETA 1s"},
               {0, 100, "ETA 8s"}};
  for (const auto& k : cases) {
    Params params(ESTIMATE_COMPRESS);
    params.stop_at = k.stop_at;
    params.time_limit = k.time_limit;
    Estimator e(params, fake_env());
    EstimatorPeer p(&e);
    g_now = 1000;
    p.begin(10);
    p.add(c);
    out_.str("");
    g_now = 1002;
    p.add(c);  // 20 % after 2 s
    const std::string line = out_.str();
    EXPECT_EQ(line.substr(line.size() - strlen(k.eta) - 2), std::string("\t\t") + k.eta)
        << line;
  }
  printer.set_console_is_terminal(false);
  Params params(ESTIMATE_COMPRESS);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  g_now = 1000;
  p.begin(10);
  out_.str("");
  p.add(c);  // a row
  g_now = 1003;
  p.add(c);  // a new second: nothing
  EXPECT_EQ(out_.str().substr(0, 4), "0s.\t");
  EXPECT_EQ(out_.str().find('\r'), std::string::npos);
  EXPECT_EQ(out_.str().find("ETA"), std::string::npos);
  EXPECT_EQ(out_.str().back(), '\n');
}

// Debug level 1: the estimate's counts end the row's first part, the dedupe
// columns move back under their titles on the console, and an empty line
// follows each periodic report.
TEST_F(EstimatorTest, DebugLevelOneLayout) {
  open_report_file();
  Params params(ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS);
  params.debug = 1;
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  p.begin(10);
  out_.str("");
  p.add(random_chunk(4));
  const std::string counts =
      "\ndedupe_map.size=1\n#data_chunks=1, #zero_chunks=0\n"
      "#total_chunks=10, #sample_chunks=1\n";
  std::string console = out_.str();
  EXPECT_NE(console.find("GiB\t\t" + counts), std::string::npos) << console;
  EXPECT_NE(console.find("\n\t\t\t\t\t\t\t\t\t\t"), std::string::npos);
  EXPECT_EQ(console.substr(console.size() - 3), "%\n\n");
  std::string file = file_text();
  EXPECT_NE(file.find("GiB\t\t" + counts), std::string::npos) << file;
  EXPECT_EQ(file.find("\t\t\t\t\t\t\t\t\t\t"), std::string::npos);
  EXPECT_EQ(file.substr(file.size() - 3), "%\n\n");

  // All chunks zero with zeros left out of dedupe: no sample, no estimate.
  Params zeros_only(ESTIMATE_DEDUPE);
  Estimator z(zeros_only, fake_env());
  EstimatorPeer pz(&z);
  pz.begin(10);
  pz.add(std::vector<unsigned char>(CHUNK, 0));
  double r, lo, hi;
  pz.analyze(&r, &lo, &hi);
  EXPECT_EQ(r, -1.0);
  EXPECT_EQ(lo, -1.0);
  EXPECT_EQ(hi, -1.0);
}

// ---------------------------------------------------------------------------
// Rows in drawing order

// A plan of buckets whose chunks come from a small pool, so that buckets
// share contents; bucket b's chunk k is chunk_of(b, k).
struct OrderedPlan {
  static const size_t kBuckets = 400, kPerBucket = 4;
  std::vector<std::vector<unsigned char>> pool;
  OrderedPlan() {
    for (unsigned i = 0; i < 300; i++) pool.push_back(random_chunk(1000 + i));
    pool.emplace_back(CHUNK, 0);
  }
  const std::vector<unsigned char>& chunk_of(size_t b, size_t k) const {
    return pool[(b * 7 + k * 131 + (b % 5) * k) % pool.size()];
  }
};

struct row_log_t {
  std::vector<Estimator::row_t> rows;
};

void log_row(const Estimator::row_t& row, void* arg) {
  static_cast<row_log_t*>(arg)->rows.push_back(row);
}

struct ordered_feed_t {
  Estimator* e;
  const OrderedPlan* plan;
  std::vector<size_t> order;  // the buckets, in the order they are handed out
  std::atomic<size_t> next{0};
};

void* ordered_feed_thread(void* arg) {
  ordered_feed_t* f = static_cast<ordered_feed_t*>(arg);
  for (size_t i; (i = f->next++) < f->order.size();) {
    const size_t seq = f->order[i];
    for (size_t k = 0; k < OrderedPlan::kPerBucket; k++)
      Estimator::add_chunk(f->plan->chunk_of(seq, k).data(), seq, f->e);
    Estimator::end_bucket(seq, f->e);
  }
  return nullptr;
}

void expect_same_rows(const row_log_t& a, const row_log_t& b,
                      const std::string& what) {
  ASSERT_EQ(a.rows.size(), b.rows.size()) << what;
  for (size_t i = 0; i < a.rows.size(); i++) {
    const Estimator::row_t &x = a.rows[i], &y = b.rows[i];
    EXPECT_EQ(x.n_buckets, y.n_buckets) << what << " row " << i;
    EXPECT_EQ(x.n_data_chunks, y.n_data_chunks) << what << " row " << i;
    EXPECT_EQ(x.n_zero_chunks, y.n_zero_chunks) << what << " row " << i;
    EXPECT_EQ(x.n_distinct, y.n_distinct) << what << " row " << i;
    EXPECT_EQ(x.r, y.r) << what << " row " << i;
    EXPECT_EQ(x.r_low, y.r_low) << what << " row " << i;
    EXPECT_EQ(x.r_high, y.r_high) << what << " row " << i;
    EXPECT_EQ(x.compress, y.compress) << what << " row " << i;
    EXPECT_EQ(x.compress_low, y.compress_low) << what << " row " << i;
    EXPECT_EQ(x.zeros_high, y.zeros_high) << what << " row " << i;
  }
}

// Each row stands for the first K buckets in drawing order: buckets handed
// to several threads and finished out of order (later ones held back until
// their row is taken) give the rows of one thread reading in order, and the
// stop at --stop-at keeps exactly its buckets whatever was read after; a
// run counted beside another that stopped at a row before this one had
// counted up to it gives the rows of a run stopped there by itself.
TEST_F(EstimatorTest, RowsFollowDrawingOrderWhateverTheThreads) {
  const OrderedPlan plan;
  Params params(-1);
  params.report_freq = 0.05;
  Estimator::plan_t shape{OrderedPlan::kBuckets * OrderedPlan::kPerBucket,
                          OrderedPlan::kBuckets, OrderedPlan::kPerBucket};
  auto run = [&](int n_threads, bool shuffled, double stop_at, row_log_t* log,
                 size_t stopped_beside = 0) {
    params.stop_at = stop_at;
    Estimator::env_t env = fake_env(1024);
    env.on_row = log_row;
    env.on_row_arg = log;
    Estimator e(params, env);
    e.begin(shape);
    if (stopped_beside != 0)
      e.stop("stopped by --stop-at 30", stopped_beside);
    ordered_feed_t f;
    f.e = &e;
    f.plan = &plan;
    const size_t limit = e.bucket_limit() ? e.bucket_limit() : shape.total_buckets;
    // With a stop, a few buckets past it are read all the same, as by
    // readers that had drawn them already.
    for (size_t b = 0; b < std::min(shape.total_buckets, limit + 6); b++)
      f.order.push_back(b);
    if (shuffled) {
      // Late buckets first, within windows of 40: every bucket of a row
      // arrives after some of the next row's.
      for (size_t w = 0; w < f.order.size(); w += 40)
        std::reverse(f.order.begin() + w,
                     f.order.begin() + std::min(f.order.size(), w + 40));
    }
    threadpool_run(n_threads, ordered_feed_thread, &f);
    e.finish();
  };
  row_log_t one;
  run(1, false, 0, &one);
  // The first bucket's row, one every 5 % (the last step, summed up, lies
  // a hair past the plan, as it does with chunks counted as they come), the
  // final row.
  ASSERT_EQ(one.rows.size(), 21u);
  EXPECT_EQ(one.rows[1].n_buckets, 20u);
  EXPECT_TRUE(one.rows.back().final);
  EXPECT_EQ(one.rows.back().r_low, one.rows.back().r);  // complete: exact
  for (int n_threads : {1, 3}) {
    row_log_t many;
    run(n_threads, true, 0, &many);
    expect_same_rows(one, many, std::to_string(n_threads) + " threads");
  }

  row_log_t stop_one, stop_many;
  run(1, false, 0.3, &stop_one);
  run(3, true, 0.3, &stop_many);
  expect_same_rows(stop_one, stop_many, "stopped at 30 %");
  ASSERT_FALSE(stop_one.rows.empty());
  const Estimator::row_t& last = stop_one.rows.back();
  EXPECT_TRUE(last.final);
  EXPECT_EQ(last.n_data_chunks + last.n_zero_chunks,
            120 * OrderedPlan::kPerBucket);
  EXPECT_EQ(last.r, one.rows[6].r);  // the row at 30 %

  row_log_t beside;
  run(3, true, 0, &beside, 120);
  expect_same_rows(stop_one, beside, "stopped beside another at 30 %");
}

// A sample in which no chunk repeats: every row's low end is 1, as the
// data may hold no repeat at all.
TEST_F(EstimatorTest, NoRepeatSeenLowIsOne) {
  for (size_t chunks : {3788u, 20000u}) {
    Params params(ESTIMATE_DEDUPE);
    params.report_freq = 0.01;
    row_log_t log;
    Estimator::env_t env = fake_env(1024);
    env.on_row = log_row;
    env.on_row_arg = &log;
    Estimator e(params, env);
    e.begin(Estimator::plan_t{chunks, chunks, 1});
    std::mt19937_64 gen(chunks);
    std::set<Estimator::fp_t> seen;
    for (size_t b = 0; b < chunks; b++) {
      Estimator::fp_t fp;
      do fp = gen() & 0xFFFFFFFF; while (!seen.insert(fp).second);
      e.add_fingerprint(fp, false, b, [](const void*) { return (size_t)0; },
                        nullptr);
      e.end_bucket(b);
    }
    e.finish();
    ASSERT_GT(log.rows.size(), 50u);
    for (const Estimator::row_t& r : log.rows) {
      if (r.r_low < 0) continue;
      EXPECT_EQ(r.r_low, 1.0) << chunks << " at " << r.progress;
    }
  }
}

// Clones of templates, each with a tenth of its chunks its own: a partial
// read meets the templates' chunks first, and these compress to less than
// half of what the clones' own do. The compression ratio is the distinct
// contents', and its range holds it once enough has been read to tell the
// mix (from a fifth on here, where the contents seen alone put the ratio
// 3-30 % too high); the final row is exact.
TEST_F(EstimatorTest, CompressionRatioOfTheContentsNotSeenYet) {
  const size_t per_bucket = 16, image = 64, templates = 8, clones = 56;
  const size_t buckets = image * (templates + clones);
  auto mix_id = [](uint64_t a, uint64_t b) {
    uint64_t x = a * 0x9E3779B97F4A7C15ull + b + 1;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  };
  struct chunk_t {
    Estimator::fp_t fp;
    size_t csize;
  };
  std::vector<std::vector<chunk_t>> plan(buckets);
  double distinct = 0, stored = 0;
  for (size_t b = 0; b < buckets; b++) {
    const size_t copy = b / image, t = copy % templates;
    for (size_t k = 0; k < per_bucket; k++) {
      const uint64_t at = (b % image) * per_bucket + k;
      const bool own = copy >= templates && (mix_id(b, k) % 10) == 0;
      const chunk_t c{own ? mix_id(1000 + b, k) : mix_id(t, at),
                      own ? 3500u : 1500u};
      if (own || copy < templates) {
        distinct++;
        stored += c.csize;
      }
      plan[b].push_back(c);
    }
  }
  const double truth = distinct * CHUNK / stored;
  for (unsigned seed = 1; seed <= 3; seed++) {
    Params params(ESTIMATE_DEDUPE | ESTIMATE_COMPRESS);
    params.report_freq = 0.1;
    row_log_t log;
    Estimator::env_t env = fake_env(1024);
    env.on_row = log_row;
    env.on_row_arg = &log;
    Estimator e(params, env);
    e.begin(Estimator::plan_t{buckets * per_bucket, buckets, per_bucket});
    std::vector<size_t> order(buckets);
    for (size_t b = 0; b < buckets; b++) order[b] = b;
    std::mt19937 gen(seed);
    std::shuffle(order.begin(), order.end(), gen);
    for (size_t seq = 0; seq < buckets; seq++) {
      for (const chunk_t& c : plan[order[seq]])
        e.add_fingerprint(
            c.fp, false, seq,
            [](const void* arg) { return *static_cast<const size_t*>(arg); },
            &c.csize);
      e.end_bucket(seq);
    }
    e.finish();
    int judged = 0;
    for (const Estimator::row_t& r : log.rows) {
      if (r.progress < 0.2) continue;
      if (r.progress >= 1) {
        EXPECT_NEAR(r.compress, truth, 1e-9 * truth);
        continue;
      }
      judged++;
      EXPECT_LE(r.compress_low, truth) << seed << " at " << r.progress;
      EXPECT_GE(r.compress_high, truth) << seed << " at " << r.progress;
    }
    EXPECT_GE(judged, 7);
  }
}

// The memory-saving mode keeps a sample of the contents: the final row of
// a complete run keeps a range, and it holds the exact figure.
TEST_F(EstimatorTest, SavingModeFinalRowHasARange) {
  std::vector<std::vector<unsigned char>> chunks;
  std::mt19937 gen(5);
  std::vector<std::vector<unsigned char>> pool;
  for (unsigned i = 0; i < 3000; i++) pool.push_back(random_chunk(5000 + i));
  std::map<size_t, int> copies;
  for (int i = 0; i < 9000; i++) {
    const size_t k = gen() % pool.size();
    chunks.push_back(pool[k]);
    copies[k]++;
  }
  const double exact = (double)chunks.size() / copies.size();
  Params params(ESTIMATE_DEDUPE);
  Estimator e(params, fake_env());
  EstimatorPeer p(&e);
  p.begin(chunks.size());
  g_mem = 10;
  params.memory_limit = 0;  // not yet
  for (size_t i = 0; i < chunks.size(); i++) {
    if (i == 500) {
      params.memory_limit = 5;  // from here on the map stops growing
    }
    p.add(chunks[i]);
  }
  ASSERT_TRUE(p.save_memory());
  double r, lo, hi;
  p.analyze(&r, &lo, &hi);
  EXPECT_LT(lo, r);
  EXPECT_GT(hi, r);
  EXPECT_LE(lo, exact);
  EXPECT_GE(hi, exact);
  g_mem = ONE_GB;
}

}  // namespace
