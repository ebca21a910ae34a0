#include "sampler.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#ifdef __linux__
#include <dirent.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mutex.h"
#include "pelko_assert.h"
#include "printer.h"
#include "walker.h"

// Reaches the plan and the test seams of a Sampler.
class SamplerTestPeer {
 public:
  typedef std::tuple<std::string, size_t, size_t> Slice;  // path, offset, size

  static void scan_file(Sampler* s, Walker* w, const char* path, size_t size) {
    s->scan_file(w, path, size);
  }
  static std::vector<std::vector<Slice>> plan(const Sampler& s) {
    std::vector<std::vector<Slice>> out;
    std::vector<Sampler::file_slice_t> slices;
    for (size_t b = 0; b < s.get_total_buckets(); b++) {
      s.bucket_slices(b, &slices);
      out.emplace_back();
      for (const auto& sl : slices)
        out.back().emplace_back(s.file_path(s.m_files[sl.file]), sl.offset,
                                sl.size);
    }
    return out;
  }
  static size_t total_size(const Sampler& s) { return s.m_total_size; }
  static size_t reductible(const Sampler& s) { return s.m_reductible_size; }
  static size_t chunks(const Sampler& s) { return s.m_total_chunks; }
  static size_t files(const Sampler& s) { return s.m_total_files; }
  static size_t curr_bucket_size(const Sampler& s) {
    return s.m_reductible_size % s.m_params.bucket_size;
  }
  static size_t buckets_left(const Sampler& s) {
    return s.m_n_buckets - s.m_n_drawn;
  }
  static bool stopped(const Sampler& s) { return s.m_scan_stopped; }
  static void set_clock(Sampler* s, Sampler::clock_func_t f) { s->m_clock = f; }
  static void set_memory(Sampler* s, Sampler::memory_func_t f) {
    s->m_memory = f;
  }
  static void set_stopped_totals(Sampler* s, size_t fs_total, size_t total,
                                 size_t chunks) {
    s->m_scan_stopped = true;
    s->m_fs_total_size = fs_total;
    s->m_total_size = total;
    s->m_total_chunks = chunks;
  }
};

namespace {

typedef SamplerTestPeer Peer;
typedef Peer::Slice Slice;

struct Params : pelko_params_t {
  Params(size_t chunk, size_t bucket, int threads) {
    chunk_size = chunk;
    bucket_size = bucket;
    estimate_mask = ESTIMATE_DEDUPE | ESTIMATE_COMPRESS;
    report_freq = 0.01;
    n_threads = threads;
    scan_time_limit = 0;
    scan_memory_limit = 0;
    memory_limit = 0;
    alpha = 0;
    debug = 0;
  }
  ~Params() {
    for (root_t* r : roots) delete r;
  }
  void add_root(const std::string& path, DEVTYPE type, size_t size,
                size_t n_files) {
    roots.push_back(new root_t{path, type, size, n_files});
  }
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/pelko_sampler_XXXXXX";
    PELKO_ASSERT(mkdtemp(tmpl) != nullptr);
    m_path = tmpl;
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + m_path + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup of " << m_path;
  }
  std::string sub(const std::string& rel) const { return m_path + "/" + rel; }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Every 8-byte word holds (file id << 40 | byte offset): a chunk's bytes tell
// which file and offset they came from, at any alignment.
std::string pattern(uint64_t file_id, size_t size) {
  std::string s(size + 8, 0);
  for (size_t o = 0; o < size; o += 8) {
    uint64_t w = (file_id << 40) | o;
    memcpy(&s[o], &w, 8);
  }
  s.resize(size);
  return s;
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), (std::streamsize)data.size());
  ASSERT_TRUE(f.good()) << path;
}

// The console as a terminal, where progress lines are rewritten in place.
struct ConsoleCapture {
  std::ostringstream out;
  const bool was_terminal;
  explicit ConsoleCapture(bool terminal = true)
      : was_terminal(printer.console_is_terminal()) {
    printer.set_console(&out);
    printer.set_console_is_terminal(terminal);
  }
  ~ConsoleCapture() {
    printer.set_console(&std::cout);
    printer.set_console_is_terminal(was_terminal);
  }
};

// Collects the delivered chunks as strings, and each bucket's chunks in
// their order of delivery.
struct Collector {
  Mutex mu;
  size_t chunk_size;
  std::vector<std::string> chunks;
  std::map<size_t, std::vector<std::string>> by_bucket;
  static void cb(const unsigned char* data, size_t seq, void* arg) {
    Collector* c = static_cast<Collector*>(arg);
    std::string s((const char*)data, c->chunk_size);
    MutexLock lock(&c->mu);
    c->chunks.push_back(s);
    c->by_bucket[seq].push_back(std::move(s));
  }
};

TEST(Sampler, WorkedExampleSlicesAndPacking) {
  {
    Params p(16 * ONE_KB, ONE_MB, 1);
    Sampler s(p);
    Walker w(nullptr, nullptr, 1, 0);  // never started: clock stays at 0
    Peer::set_clock(&s, [](const Walker*) { return (time_t)0; });
    Peer::scan_file(&s, &w, "f1", 2500000);
    Peer::scan_file(&s, &w, "f2", 1000000);
    std::vector<std::vector<Slice>> want = {
        {Slice("f1", 0, 1048576)},
        {Slice("f1", 1048576, 1048576)},
        {Slice("f1", 2097152, 393216), Slice("f2", 0, 655360)},
        {Slice("f2", 655360, 344064)}};
    EXPECT_EQ(Peer::plan(s), want);
    EXPECT_EQ(Peer::total_size(s), 3500000u);
    EXPECT_EQ(Peer::reductible(s), 3489792u);
    EXPECT_EQ(Peer::chunks(s), 213u);
    EXPECT_EQ(Peer::files(s), 2u);
    EXPECT_EQ(Peer::curr_bucket_size(s), 344064u);
    EXPECT_EQ(s.get_total_chunks(), 213u);

    // A file of exactly one chunk, then one byte short of a chunk.
    Peer::scan_file(&s, &w, "one", 16384);
    Peer::scan_file(&s, &w, "short", 16383);
    Peer::scan_file(&s, &w, "empty", 0);
    auto plan = Peer::plan(s);
    ASSERT_EQ(plan.size(), 4u);
    EXPECT_EQ(plan[3].back(), Slice("one", 0, 16384));
    EXPECT_EQ(Peer::files(s), 5u);
    EXPECT_EQ(Peer::total_size(s), 3500000u + 16384 + 16383);
    EXPECT_EQ(Peer::chunks(s), 214u);
  }
  {
    // A bucket size that is not a multiple of the chunk size would cut the
    // chunks at bucket boundaries in two: the driver rounds it first.
    Params p(16 * ONE_KB, 40 * ONE_KB, 1);
    EXPECT_DEATH(Sampler s(p), "bucket_size % params.chunk_size == 0");
  }
}

TEST(Sampler, TotalsLineAndEmptyPlan) {
  TempDir t;
  write_file(t.sub("a"), std::string(100, 'a'));
  write_file(t.sub("b"), std::string(300, 'b'));
  ::mkdir(t.sub("d").c_str(), 0755);
  {
    Params p(16 * ONE_KB, ONE_MB, 2);
    p.add_root(t.sub("a"), DEVTYPE_FILE, 100, 1);
    p.add_root(t.sub("b"), DEVTYPE_FILE, 300, 1);
    ConsoleCapture con;
    Sampler s(p);
    s.scan();
    const std::string head =
        "Total: 400, ~2 files, avg. file size 200\n\nSCANNING\n\r0s. Scanned: ";
    EXPECT_EQ(con.out.str().substr(0, head.size()), head);
    EXPECT_EQ(s.get_total_chunks(), 0u);
    EXPECT_NE(con.out.str().find("Reductible: 0 (0%). "), std::string::npos);
  }
  {
    Params p(16 * ONE_KB, ONE_MB, 2);
    p.debug = 1;
    p.add_root(t.sub("a"), DEVTYPE_FILE, 100, 1);
    p.add_root(t.sub("d"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
    ConsoleCapture con;
    Sampler s(p);
    s.scan();
    const std::string out = con.out.str();
    EXPECT_EQ(out.substr(0, 11), "\n\nSCANNING\n");
    // No bucket at all: the per-bucket figure is 0, not a division by zero.
    EXPECT_NE(out.find("\n#files=1, #chunks=0\n#buckets=0, 0 bytes/bucket\n"
                       "#planned files=0, 0 bytes/file\n\n\n"),
              std::string::npos);
    Collector c;
    c.chunk_size = p.chunk_size;
    s.read(Collector::cb, &c);
    EXPECT_TRUE(c.chunks.empty());
  }
}

// Builds files of assorted sizes (tails, whole buckets, several buckets) under
// dir and returns their contents by path.
std::map<std::string, std::string> make_tree(const TempDir& t) {
  std::map<std::string, std::string> files;
  ::mkdir(t.sub("tree").c_str(), 0755);
  ::mkdir(t.sub("tree/sub").c_str(), 0755);
  const size_t sizes[] = {0,     1,     4095,  4096,   4097,  8192, 16384,
                          16385, 40000, 65536, 100000, 12345, 300000};
  int id = 1;
  for (size_t size : sizes) {
    for (const char* dir : {"tree/", "tree/sub/"}) {
      std::string path = t.sub(dir + std::to_string(id));
      files[path] = pattern(id, size);
      write_file(path, files[path]);
      id++;
    }
  }
  return files;
}

// The chunks the plan promises, read from the test's own copy of the data.
std::vector<std::string> expected_chunks(
    const std::vector<std::vector<Slice>>& plan,
    const std::map<std::string, std::string>& files, size_t chunk_size) {
  std::vector<std::string> out;
  for (auto& bucket : plan)
    for (auto& sl : bucket) {
      const std::string& data = files.at(std::get<0>(sl));
      size_t n = std::get<2>(sl) / chunk_size;
      for (size_t i = 0; i < n; i++)
        out.push_back(data.substr(std::get<1>(sl) + i * chunk_size, chunk_size));
    }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Sampler, EveryWholeChunkDeliveredOnceWithItsBytes) {
  TempDir t;
  std::map<std::string, std::string> files = make_tree(t);
  for (size_t bucket : {(size_t)16384, (size_t)12288}) {
    std::vector<std::string> first;
    decltype(Peer::plan(std::declval<Sampler&>())) first_plan;
    for (int n_threads : {1, 8}) {
      Params p(4096, bucket, n_threads);
      p.keep_cache = n_threads == 1;  // both reading paths
      p.add_root(t.sub("tree"), DEVTYPE_DIRECTORY, INVALID_SIZE_T,
                 INVALID_SIZE_T);
      ConsoleCapture con;
      Sampler s(p);
      s.scan();
      size_t total = 0;
      for (auto& f : files) total += f.second.size();
      EXPECT_EQ(Peer::total_size(s), total);
      EXPECT_EQ(Peer::files(s), files.size());
      auto plan = Peer::plan(s);
      // The plan does not depend on which walking thread came first.
      if (first_plan.empty()) first_plan = plan;
      EXPECT_TRUE(plan == first_plan) << n_threads << " threads";
      for (size_t i = 0; i + 1 < plan.size(); i++) {
        size_t sum = 0;
        for (auto& sl : plan[i]) sum += std::get<2>(sl);
        EXPECT_EQ(sum, bucket) << "bucket " << i << " is not full";
      }
      std::vector<std::string> want = expected_chunks(plan, files, 4096);
      EXPECT_EQ(want.size(), s.get_total_chunks());
      // Every whole chunk of every file, and nothing else: what the scan
      // counts as reductible is what is read.
      size_t n = 0;
      for (auto& f : files) n += f.second.size() / 4096;
      EXPECT_EQ(want.size(), n);
      EXPECT_EQ(Peer::reductible(s), n * 4096);

      const size_t n_buckets = s.get_total_buckets();
      EXPECT_EQ(n_buckets, plan.size());
      Collector c;
      c.chunk_size = 4096;
      s.read(Collector::cb, &c);
      // Buckets are numbered 0, 1, ... in drawing order, and each one's
      // chunks come in plan order: every bucket of the plan that holds a
      // whole chunk is one number's chunks, in order.
      std::vector<std::vector<std::string>> buckets_read, buckets_planned;
      for (auto& b : c.by_bucket) {
        EXPECT_LT(b.first, n_buckets);
        buckets_read.push_back(b.second);
      }
      for (auto& bucket_plan : plan) {
        std::vector<std::string> chunks;
        for (auto& sl : bucket_plan) {
          const std::string& data = files.at(std::get<0>(sl));
          for (size_t i = 0; i < std::get<2>(sl) / 4096; i++)
            chunks.push_back(data.substr(std::get<1>(sl) + i * 4096, 4096));
        }
        if (!chunks.empty()) buckets_planned.push_back(chunks);
      }
      std::sort(buckets_read.begin(), buckets_read.end());
      std::sort(buckets_planned.begin(), buckets_planned.end());
      EXPECT_TRUE(buckets_read == buckets_planned);
      std::sort(c.chunks.begin(), c.chunks.end());
      EXPECT_TRUE(c.chunks == want)
          << bucket << " bytes/bucket, " << n_threads << " threads: "
          << c.chunks.size() << " chunks, want " << want.size();
      if (first.empty()) first = c.chunks;
      EXPECT_TRUE(c.chunks == first);
      EXPECT_EQ(Peer::buckets_left(s), 0u);
      Collector again;
      again.chunk_size = 4096;
      s.read(Collector::cb, &again);
      EXPECT_TRUE(again.chunks.empty());
    }
  }
}

TEST(Sampler, DeletedAndTruncatedFilesBetweenScanAndRead) {
  TempDir t;
  ::mkdir(t.sub("tree").c_str(), 0755);
  const std::string keep = t.sub("tree/keep"), gone = t.sub("tree/gone"),
                    shrunk = t.sub("tree/shrunk"), fifo = t.sub("tree/fifo");
  write_file(keep, pattern(1, 8 * 4096));
  write_file(gone, pattern(2, 8 * 4096));
  write_file(shrunk, pattern(3, 8 * 4096));
  write_file(fifo, pattern(4, 4 * 4096));

  Params p(4096, 4 * 4096, 3);
  p.add_root(t.sub("tree"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
  ConsoleCapture con;
  Sampler s(p);
  s.scan();
  ASSERT_EQ(s.get_total_chunks(), 28u);

  ASSERT_EQ(unlink(gone.c_str()), 0);
  // A file replaced by a FIFO must not block the reader.
  ASSERT_EQ(unlink(fifo.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // Half of the second slice (offset 16384) survives, plus a partial chunk.
  ASSERT_EQ(truncate(shrunk.c_str(), 4 * 4096 + 2 * 4096 + 100), 0);

  Collector c;
  c.chunk_size = 4096;
  testing::internal::CaptureStderr();
  s.read(Collector::cb, &c);
  std::string err = testing::internal::GetCapturedStderr();

  const std::string line =
      "ERROR: open(" + gone + ") failed, No such file or directory\n";
  size_t n_lines = 0;
  for (size_t pos = err.find(line); pos != std::string::npos;
       pos = err.find(line, pos + 1))
    n_lines++;
  EXPECT_EQ(n_lines, 2u) << err;  // one per slice of the deleted file
  // A file replaced since the scan is not opened for reading at all; one
  // that has shrunk is named once, however many of its slices fall short.
  const std::string fifo_line = "ERROR: open(" + fifo +
                                ") failed, it has been replaced by a FIFO "
                                "since the scan\n";
  const std::string shrunk_line = "ERROR: pread(" + shrunk +
                                  ") failed, the file has shrunk since the "
                                  "scan\n";
  EXPECT_NE(err.find(fifo_line), std::string::npos) << err;
  EXPECT_NE(err.find(shrunk_line), std::string::npos) << err;
  EXPECT_EQ(err.size(), 2 * line.size() + fifo_line.size() + shrunk_line.size())
      << err;

  std::map<std::string, std::string> now = {
      {keep, pattern(1, 8 * 4096)}, {shrunk, pattern(3, 6 * 4096)}};
  std::vector<std::string> want;
  for (auto& f : now)
    for (size_t o = 0; o < f.second.size(); o += 4096)
      want.push_back(f.second.substr(o, 4096));
  std::sort(want.begin(), want.end());
  std::sort(c.chunks.begin(), c.chunks.end());
  EXPECT_TRUE(c.chunks == want) << c.chunks.size() << " chunks";
  // What was planned and not delivered, in whole chunks: all 8 of the
  // deleted file, the 4 of the FIFO and 2 of the shrunk file.
  EXPECT_EQ(s.get_unread_size(), (8 + 4 + 2) * 4096u);
  EXPECT_EQ(s.get_unread_files(), 3u);
}

// A planned file replaced after the scan, by a symbolic link (to a file
// outside the inputs, or to a device) or by another file renamed over it, is
// not read: one ERROR line each, counted as unread. A root given as a link
// is followed, as at the scan.
TEST(Sampler, ReplacedFilesAreNotRead) {
  TempDir t;
  ::mkdir(t.sub("tree").c_str(), 0755);
  write_file(t.sub("tree/keep"), pattern(1, 4 * 4096));
  write_file(t.sub("tree/linked"), pattern(2, 4 * 4096));
  write_file(t.sub("tree/renamed"), pattern(3, 4 * 4096));
  write_file(t.sub("outside"), pattern(4, 4 * 4096));
  write_file(t.sub("other"), pattern(5, 4 * 4096));
  write_file(t.sub("image"), pattern(6, 4 * 4096));
  ASSERT_EQ(symlink(t.sub("image").c_str(), t.sub("image_link").c_str()), 0);

  Params p(4096, 4 * 4096, 2);
  p.add_root(t.sub("tree"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
  p.add_root(t.sub("image_link"), DEVTYPE_FILE, 4 * 4096, 1);
  ConsoleCapture con;
  Sampler s(p);
  s.scan();
  ASSERT_EQ(s.get_total_chunks(), 16u);

  ASSERT_EQ(unlink(t.sub("tree/linked").c_str()), 0);
  ASSERT_EQ(symlink(t.sub("outside").c_str(), t.sub("tree/linked").c_str()), 0);
  ASSERT_EQ(rename(t.sub("other").c_str(), t.sub("tree/renamed").c_str()), 0);

  Collector c;
  c.chunk_size = 4096;
  testing::internal::CaptureStderr();
  s.read(Collector::cb, &c);
  const std::string err = testing::internal::GetCapturedStderr();
  // In reading order, which is random.
  const std::string linked_line = "ERROR: open(" + t.sub("tree/linked") +
                                  ") failed, it has been replaced by a "
                                  "symbolic link since the scan\n";
  const std::string renamed_line = "ERROR: open(" + t.sub("tree/renamed") +
                                   ") failed, it has been replaced by another "
                                   "file since the scan\n";
  EXPECT_NE(err.find(linked_line), std::string::npos) << err;
  EXPECT_NE(err.find(renamed_line), std::string::npos) << err;
  EXPECT_EQ(err.size(), linked_line.size() + renamed_line.size()) << err;
  std::vector<std::string> want;
  for (int k : {1, 6})
    for (int i = 0; i < 4; i++)
      want.push_back(pattern(k, 4 * 4096).substr(i * 4096, 4096));
  std::sort(want.begin(), want.end());
  std::sort(c.chunks.begin(), c.chunks.end());
  EXPECT_TRUE(c.chunks == want) << c.chunks.size() << " chunks";
  EXPECT_EQ(s.get_unread_size(), 8 * 4096u);
  EXPECT_EQ(s.get_unread_files(), 2u);
}

// request_stop_now: the readers leave their buckets and their waits for the
// read rate at once; what they leave is not unreadable.
TEST(Sampler, StopNowEndsRateWaits) {
  TempDir t;
  write_file(t.sub("f"), pattern(1, 64 * 4096));
  Params p(4096, 16 * 4096, 4);
  p.add_root(t.sub("f"), DEVTYPE_FILE, 64 * 4096, 1);
  p.max_rate = 1024;  // a 64 KiB bucket would take a minute
  ConsoleCapture con;
  Sampler s(p);
  s.scan();
  std::atomic<int> n{0};
  std::thread stopper([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s.request_stop_now();
  });
  s.read([](const unsigned char*, size_t, void* arg) { ++*static_cast<std::atomic<int>*>(arg); },
         &n);
  stopper.join();
  EXPECT_LE(n, 16);  // no more than the first piece of the first bucket
  EXPECT_EQ(s.get_unread_size(), 0u);
  EXPECT_EQ(s.get_unread_files(), 0u);
}

// request_stop: reading threads take no further bucket and finish the ones
// they hold; a scan stopped before it began walks nothing and prints none of
// its closing lines.
TEST(Sampler, StopRequests) {
  TempDir t;
  ::mkdir(t.sub("d").c_str(), 0755);
  for (int i = 0; i < 3; i++)
    write_file(t.sub("d/" + std::to_string(i)), pattern(i, 40 * 4096));
  for (int n_threads : {1, 3}) {
    Params p(4096, 4 * 4096, n_threads);  // 30 buckets of 4 chunks
    p.add_root(t.sub("d"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
    ConsoleCapture con;
    Sampler s(p);
    s.scan();
    ASSERT_EQ(Peer::plan(s).size(), 30u);
    struct Stopper {
      Sampler* s;
      std::atomic<int> n{0};
    } st{&s};
    s.read(
        [](const unsigned char*, size_t, void* arg) {
          Stopper* x = static_cast<Stopper*>(arg);
          if (x->n++ == 0) x->s->request_stop();
        },
        &st);
    EXPECT_TRUE(s.stop_requested());
    // Whole buckets only: the one that asked, and at most one more per other
    // thread that had already taken its own.
    EXPECT_EQ(st.n % 4, 0) << st.n;
    EXPECT_GE(st.n, 4);
    EXPECT_LE(st.n, 4 * n_threads);
    EXPECT_EQ(s.get_unread_size(), 0u);  // not read is not unreadable
    EXPECT_EQ(Peer::buckets_left(s), 30u - st.n / 4);
  }
  Params p(4096, 4 * 4096, 2);
  p.add_root(t.sub("d"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
  ConsoleCapture con;
  Sampler s(p);
  s.request_stop();
  s.scan();
  EXPECT_EQ(Peer::files(s), 0u);
  EXPECT_EQ(con.out.str(), "\nSCANNING\n");
}

#ifdef __linux__
// Descriptors open in this process.
size_t open_descriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) n++;
    closedir(d);
  }
  return n;
}

// Reading ahead (of data not cached) keeps descriptors open for the reads:
// after a read, whole or stopped, none is left open.
TEST(Sampler, ReadingAheadLeavesNoDescriptorOpen) {
  TempDir t;
  ::mkdir(t.sub("d").c_str(), 0755);
  std::vector<std::string> paths;
  for (int i = 0; i < 40; i++) {
    paths.push_back(t.sub("d/" + std::to_string(i)));
    write_file(paths.back(), pattern(i, 5 * 4096));
  }
  for (bool stop : {false, true}) {
    for (int n_threads : {1, 3}) {
      for (const std::string& path : paths) {  // out of the page cache
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
      }
      Params p(4096, 2 * 4096, n_threads);  // files across buckets
      p.add_root(t.sub("d"), DEVTYPE_DIRECTORY, INVALID_SIZE_T,
                 INVALID_SIZE_T);
      ConsoleCapture con;
      Sampler s(p);
      s.scan();
      const size_t before = open_descriptors();
      struct Reader {
        Sampler* s;
        bool stop;
        std::atomic<size_t> n{0};
      } r{&s, stop};
      s.read(
          [](const unsigned char*, size_t, void* arg) {
            Reader* x = static_cast<Reader*>(arg);
            if (x->n++ == 3 && x->stop) x->s->request_stop();
          },
          &r);
      EXPECT_EQ(open_descriptors(), before)
          << (stop ? "stopped" : "whole") << ", " << n_threads << " threads";
      if (!stop) {
        EXPECT_EQ(r.n, 40u * 5);
      }
    }
  }
}
#endif

// A slice larger than what one read call returns (about 2 GiB on Linux) is
// read in full. The file is sparse; only the marker past 2 GiB is data.
TEST(Sampler, SliceOfMoreThanTwoGiB) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "2 GiB of reading is too slow under ThreadSanitizer";
#endif
  TempDir t;
  const std::string path = t.sub("big");
  const size_t chunk = ONE_MB;
  const size_t size = 2 * ONE_GB + chunk;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const char marker[] = "marker past 2 GiB";
  ASSERT_EQ(pwrite(fd, marker, sizeof(marker), 2 * ONE_GB), (ssize_t)sizeof(marker));
  ASSERT_EQ(ftruncate(fd, (off_t)size), 0);
  close(fd);

  Params p(chunk, size, 1);
  p.add_root(path, DEVTYPE_FILE, size, 1);
  ConsoleCapture con;
  Sampler s(p);
  s.scan();
  ASSERT_EQ(Peer::plan(s).size(), 1u);
  ASSERT_EQ(s.get_total_chunks(), 2049u);

  struct Last {
    size_t n = 0;
    bool zeros_before = true;
    std::string last;
  } last;
  s.read(
      [](const unsigned char* d, size_t, void* arg) {
        Last* l = static_cast<Last*>(arg);
        if (l->n++ < 2048 && (d[0] != 0 || d[ONE_MB - 1] != 0))
          l->zeros_before = false;
        l->last.assign((const char*)d, sizeof(marker));
      },
      &last);
  EXPECT_EQ(last.n, 2049u);
  EXPECT_TRUE(last.zeros_before);
  EXPECT_EQ(last.last, std::string(marker, sizeof(marker)));
}

// A directory of n files of the given size.
void make_flat(const TempDir& t, int n, size_t size) {
  ::mkdir(t.sub("flat").c_str(), 0755);
  for (int i = 0; i < n; i++)
    write_file(t.sub("flat/" + std::to_string(i)), pattern(i, size));
}

TEST(Sampler, ScanLimitsStopTheWalk) {
  TempDir t;
  make_flat(t, 100, 4 * 4096);  // 4 chunks per file, 1 bucket per file

  struct Case {
    time_t time_limit;
    size_t memory_limit;
    size_t want_files;
    const char* warning;
  } cases[] = {
      // A new second at every file arrival: elapsed 3 > 2 at the 3rd file.
      {2, 0, 3, "WARNING: Scan time limit reached."},
      // Memory grows 1000 bytes per clock reading: 11000 > 10500 at the 6th.
      {0, 10500, 6, "WARNING: Scan memory limit reached."},
      // Both exceeded at one check: only the time warning.
      {2, 4500, 3, "WARNING: Scan time limit reached."},
  };
  for (const Case& c : cases) {
    Params p(4096, 4 * 4096, 1);
    p.scan_time_limit = c.time_limit;
    p.scan_memory_limit = c.memory_limit;
    // A volume root whose probed size is 10 times what the files hold.
    const size_t fs_size = 10 * 100 * 4 * 4096;
    p.add_root(t.sub("flat"), DEVTYPE_FILESYSTEM, fs_size, INVALID_SIZE_T);
    ConsoleCapture con;
    Sampler s(p);
    // Ticks at every file arrival and every filled bucket; the second
    // changes at file arrivals only.
    size_t ticks = 0;
    Peer::set_clock(&s, [&ticks](const Walker*) {
      return (time_t)((++ticks + 1) / 2);
    });
    Peer::set_memory(&s, [&ticks](size_t* cur, size_t* max) {
      *cur = 1000 * ticks;
      if (max) *max = *cur;
    });
    s.scan();
    EXPECT_TRUE(Peer::stopped(s));
    EXPECT_EQ(Peer::files(s), c.want_files) << c.warning;
    // The file that tripped the limit keeps no slice: it is cut after the
    // check that stopped the scan.
    EXPECT_EQ(Peer::chunks(s), 4 * (c.want_files - 1));
    const std::string out = con.out.str();
    EXPECT_NE(out.find(std::string("\n\n") + c.warning + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("WARNING", out.find("WARNING") + 1), std::string::npos)
        << out;
    // Extrapolated to the probed size: the files counted are a share of it.
    const double k = (double)fs_size / (double)Peer::total_size(s);
    EXPECT_EQ(s.get_total_chunks(), (size_t)(Peer::chunks(s) * k));
  }
}

TEST(Sampler, TotalChunksAfterStop) {
  Params p(16 * ONE_KB, ONE_MB, 1);
  Sampler s(p);
  Peer::set_stopped_totals(&s, 100 * ONE_GB, 10 * ONE_GB, 500000);
  EXPECT_EQ(s.get_total_chunks(), 5000000u);
  // Stopped before any byte was counted: nothing to scale.
  Peer::set_stopped_totals(&s, 100 * ONE_GB, 0, 0);
  EXPECT_EQ(s.get_total_chunks(), 0u);
}

TEST(Sampler, ProgressLinesReachTheFileOnlyAtTheEnd) {
  TempDir t;
  make_flat(t, 6, 4096);
  const std::string report = t.sub("report.txt");
  Params p(4096, 2 * 4096, 1);
  p.add_root(t.sub("flat"), DEVTYPE_DIRECTORY, INVALID_SIZE_T, INVALID_SIZE_T);
  ConsoleCapture con;
  printer.open(report);
  {
    Sampler s(p);
    size_t ticks = 0;
    Peer::set_clock(&s, [&ticks](const Walker*) { return (time_t)++ticks; });
    Peer::set_memory(&s, [](size_t* cur, size_t* max) {
      *cur = ONE_GB;
      if (max) *max = 2 * ONE_GB;
    });
    s.scan();
  }
  printer.close_for_test();
  std::ifstream in(report, std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  const std::string out = con.out.str();
  // 6 files and 3 full buckets: 9 new seconds, 9 periodic lines + final.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 10);
  EXPECT_EQ(file.find('\r'), std::string::npos) << file;
  const std::string final_line =
      "9s. Scanned: 24.000 KiB, 2730/s. 6 files (0 files/s). "
      "Reductible: 24.000 KiB (100%). Memory usage: 1.000 (2.000) GiB. ";
  EXPECT_EQ(file.substr(0, 10 + final_line.size()), "\nSCANNING\n" + final_line);
  EXPECT_EQ(file.substr(file.size() - 3), "\n\n\n");
  EXPECT_NE(out.find("\r" + final_line), std::string::npos) << out;
  EXPECT_NE(out.find("\r1s. Scanned: 0, 0/s. 0 files (0 files/s). Reductible: 0 (0%). "),
            std::string::npos)
      << out;
}

// Without -b the bucket is the largest multiple of the chunk, at most
// 1 MiB, that cuts the plan into 16,384 buckets or more; never less than a
// chunk.
TEST(Sampler, BucketSizeChosenForThePlan) {
  const size_t K = 16384;
  EXPECT_EQ(choose_bucket_size(0, K), K);
  EXPECT_EQ(choose_bucket_size(300 * ONE_MB, K), K);       // 19,200 chunks
  EXPECT_EQ(choose_bucket_size(ONE_GB, K), 4 * K);         // 65,536 chunks
  EXPECT_EQ(choose_bucket_size(3 * ONE_GB, K), 12 * K);    // 196,608 chunks
  EXPECT_EQ(choose_bucket_size(16 * ONE_GB, K), 64 * K);   // 1 MiB from here
  EXPECT_EQ(choose_bucket_size(ONE_TB, K), 64 * K);
  EXPECT_EQ(choose_bucket_size(ONE_TB, 4096), 256 * 4096);
  EXPECT_EQ(choose_bucket_size(ONE_GB, 2 * ONE_MB), 2 * ONE_MB);  // a chunk
  EXPECT_EQ(choose_bucket_size(ONE_GB, 3000), 21 * 3000);  // not a power of 2
  for (size_t bytes : {(size_t)ONE_GB, (size_t)5 * ONE_GB + 12345}) {
    const size_t b = choose_bucket_size(bytes, K);
    EXPECT_GE(bytes / b, MIN_PLAN_BUCKETS) << bytes;
    EXPECT_LT(bytes / (b + K), MIN_PLAN_BUCKETS) << bytes;  // the largest
  }
}

}  // namespace
