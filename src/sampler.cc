#include "sampler.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

#include "breakdown.h"
#include "format.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "threadpool.h"
#include "walker.h"

namespace {

// Longest progress line printed so far, by any Sampler: the blank fill of a
// shorter line covers the rest of it.
int g_progress_max_len = 0;

// "ERROR: <call><path>) failed, <errno text>" on stderr, written in one piece
// so that lines of concurrent threads do not mix.
void print_error(const char* call, const _TSTRING& path) {
  std::string line = "ERROR: ";
  line += call;
  line += path;
  line += ") failed, ";
  line += get_last_error_str();
  line += '\n';
  std::cerr << line << std::flush;
}

}  // namespace

// The file a reading thread has open. Consecutive slices of the same path
// share one descriptor; a failed open is retried by the next slice.
class SliceFile {
 public:
  explicit SliceFile(bool keep_cache) : m_fd(-1), m_keep_cache(keep_cache) {}
  ~SliceFile() { close_fd(); }
  SliceFile(const SliceFile&) = delete;
  SliceFile& operator=(const SliceFile&) = delete;

  // The descriptor already open for path, or -1.
  int current(const _TSTRING& path) const {
    return m_fd >= 0 && path == m_path ? m_fd : -1;
  }

  // Opens path (closing the previous one first): the descriptor, or -1 with
  // errno set. Waits for a free descriptor until stop(arg).
  int open_path(const _TSTRING& path, bool follow, bool (*stop)(void*),
                void* arg) {
    close_fd();
    // O_NOATIME keeps the inputs' access times; only the owner (or a
    // privileged process) may use it. O_NONBLOCK only matters if the path
    // has become a FIFO since the scan: the open must not hang then.
    // O_NOFOLLOW: a symbolic link put in its place is not followed.
    const int fd = os_open_input_retry(
        path.c_str(), OS_INPUT_NONBLOCK | (follow ? 0 : OS_INPUT_NOFOLLOW), stop,
        arg);
    if (fd < 0) return -1;
    m_fd = fd;
    m_path = path;
    return m_fd;
  }

  // Takes over fd, open on path, checked and prepared, in place of the
  // descriptor open now. Returns fd.
  int adopt(int fd, const _TSTRING& path) {
    close_fd();
    m_fd = fd;
    m_path = path;
    return fd;
  }

  // After the file was found to be the one planned.
  void prepare() {
    if (!m_keep_cache) os_input_no_readahead(m_fd);
  }

  void close_fd() {
    if (m_fd >= 0) os_close_input(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
  const bool m_keep_cache;
  _TSTRING m_path;
};

namespace {

// Bytes a reading thread copies from a file at once. Small enough that the
// copy from the page cache, the zero test, the checksum and the compressor
// all find the bytes in the core's own cache: on a core with 1 MiB of
// second-level cache, 128 KiB pieces cost 12 % less CPU time than 1 MiB ones
// on random data (where the copy weighs most); 256 KiB gained nothing.
const size_t READ_PIECE_SIZE = 128 * 1024;

// Buckets drawn and prefetched ahead of the one being read, all threads
// together. Reading a bucket at a time leaves a device one request per
// thread, and small buckets (the size chosen for inputs under 16 GiB) then
// wait on its latency. 32 is the depth of a SATA disk's command queue; on
// this machine's virtual disk, uncached, 16 to 512 gave the same times, and
// 32 took 300 MiB of small files in 16 KiB buckets from 0.88 to 0.67 s and
// a 1 GiB file in 64 KiB buckets from 2.47 to 2.03 s (1 MiB buckets: 0.50
// and 1.90 s). At 1 MiB a bucket, 32 MiB of the page cache is in flight,
// dropped again once read.
const size_t PREFETCH_BUCKETS = 32;
// Data found cached has nothing to prefetch, and each prefetch costs four
// calls per slice (open, fstat, the cache's count, close), about as many as
// the read itself: on cached small files in 16 KiB buckets, work for
// nothing on every bucket. After PREFETCH_IDLE prefetches in a
// row found everything cached, only one bucket in PREFETCH_PROBE is
// prefetched, until one of them finds something to read in: the cost on
// cached data falls by as much, and data not cached is found again within
// 16 buckets.
const size_t PREFETCH_IDLE = 64;
const size_t PREFETCH_PROBE = 16;

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

size_t choose_bucket_size(size_t bytes, size_t chunk_size) {
  PELKO_ASSERT(chunk_size > 0);
  const size_t most = std::max<size_t>(1, DEFAULT_BUCKET_SIZE / chunk_size);
  const size_t fit = bytes / chunk_size / MIN_PLAN_BUCKETS;
  return std::max<size_t>(1, std::min(most, fit)) * chunk_size;
}

Sampler::Sampler(const pelko_params_t& params)
    : m_params(params),
      m_scan_elapsed_time(0),
      m_fs_total_size(0),
      m_fs_total_files(0),
      m_total_size(0),
      m_reductible_size(0),
      m_total_chunks(0),
      m_total_files(0),
      m_scan_stopped(false),
      m_chunk_cb_func(nullptr),
      m_run_cb_func(nullptr),
      m_bucket_end_func(nullptr),
      m_chunk_cb_arg(nullptr),
      m_bucket_size(params.bucket_size),
      m_draw_limit(0),
      m_read_begun(false),
      m_n_buckets(0),
      m_n_drawn(0),
      m_n_predrawn(0),
      m_stop_requested(false),
      m_stop_now(false),
      m_walker(nullptr),
      m_unread_size(0),
      m_skipped_dirs(0),
      m_rate_next(0),
      m_clock([](const Walker* w) { return w->get_elapsed_time(); }),
      m_memory(os_get_memory_usage) {
  PELKO_ASSERT(params.bucket_size % params.chunk_size == 0);
  m_levels = config_chunk_sizes(params);
  std::sort(m_levels.rbegin(), m_levels.rend());
  PELKO_ASSERT(m_levels.back() == params.chunk_size);
  for (size_t size : m_levels)
    PELKO_ASSERT(size > 0 && params.bucket_size % size == 0);
  m_level_chunks.assign(m_levels.size(), 0);
  m_level_bytes.assign(m_levels.size(), 0);
}

size_t Sampler::level_of(size_t chunk_size) const {
  for (size_t i = 0; i < m_levels.size(); i++)
    if (m_levels[i] == chunk_size) return i;
  PELKO_ASSERT(!"a chunk size of the configurations");
  return 0;
}

// A plan that was never read is released here with the buckets.
Sampler::~Sampler() {}

size_t Sampler::current_memory() const {
  size_t cur = 0;
  m_memory(&cur, nullptr);
  return cur;
}

void Sampler::scan() {
  const size_t memory0 = current_memory();
  Walker walker(scan_file, this, m_params.n_threads, m_params.debug);

  for (const root_t* root : m_params.roots) {
    if (m_fs_total_size != INVALID_SIZE_T)
      m_fs_total_size = root->fs_size == INVALID_SIZE_T
                            ? INVALID_SIZE_T
                            : m_fs_total_size + root->fs_size;
    if (m_fs_total_files != INVALID_SIZE_T)
      m_fs_total_files = root->fs_n_files == INVALID_SIZE_T
                             ? INVALID_SIZE_T
                             : m_fs_total_files + root->fs_n_files;
    walker.add_root(root->path.c_str());
  }

  if (m_params.roots.size() > 1) {
    if (m_fs_total_size != INVALID_SIZE_T)
      printer << "Total: " << capacity_to_str(m_fs_total_size);
    if (m_fs_total_files != INVALID_SIZE_T && m_fs_total_files > 1) {
      printer << ", ~" << m_fs_total_files << " files";
      if (m_fs_total_size != INVALID_SIZE_T && m_fs_total_size != 0)
        printer << ", avg. file size "
                << capacity_to_str(m_fs_total_size / m_fs_total_files);
    }
    printer << std::endl;
  }
  printer << std::endl << "SCANNING" << std::endl;

  {
    MutexLock lock(&m_mutex);
    m_walker = &walker;
  }
  if (!m_stop_requested) walker.start();
  {
    MutexLock lock(&m_mutex);
    m_walker = nullptr;
    m_skipped_dirs = walker.get_skipped_dirs();
  }
  // Whoever stopped the scan says so.
  if (m_stop_requested) return;
  sort_plan();
  if (m_params.by != BY_NONE) label_plan();

  print_scan_progress(true);
  printer << std::endl;

  if (m_params.debug > 0) {
    const size_t memory1 = current_memory();
    const size_t n_buckets = get_total_buckets();
    const size_t growth = memory1 > memory0 ? memory1 - memory0 : 0;
    printer << "#files=" << m_total_files << ", #chunks=" << m_total_chunks
            << std::endl;
    printer << "#buckets=" << n_buckets << ", "
            << (n_buckets ? growth / n_buckets : 0) << " bytes/bucket"
            << std::endl;
    printer << "#planned files=" << m_files.size() << ", "
            << (m_files.empty() ? 0 : growth / m_files.size())
            << " bytes/file" << std::endl;
  }
  printer << std::endl << std::endl;
}

void Sampler::scan_file(Walker* walker, const TCHAR* file_path,
                        size_t file_size, const file_id_t& id, void* arg) {
  static_cast<Sampler*>(arg)->scan_file(walker, file_path, file_size, id);
}

void Sampler::scan_file(Walker* walker, const TCHAR* file_path,
                        size_t file_size, const file_id_t& id) {
  const size_t chunk_size = m_params.chunk_size;
  const size_t bucket_size = m_params.bucket_size;
  const size_t tail = file_size % chunk_size;
  // The label is worked out before the lock is taken.
  const std::string label =
      m_params.by != BY_NONE
          ? breakdown_label(m_params.by, m_params.roots, std::string(file_path))
          : std::string();
  {
    MutexLock lock(&m_mutex);
    // A stop requested before the walk had begun could not reach it.
    if (m_stop_requested) walker->stop(nullptr);
    check_elapsed_time(walker);
    m_total_size += tail;
    m_total_files++;
    if (m_params.by != BY_NONE && !m_scan_stopped) {
      std::pair<size_t, size_t>& b = m_label_bytes[label];
      b.first += file_size;
      b.second += tail;
    }
  }

  file_size -= tail;
  if (file_size == 0 || m_scan_stopped || m_stop_requested) return;

  // The directory part (up to the last "/", which it keeps) is stored once
  // for all the files of a directory. A name longer than NAME_MASK (no
  // file system has one) keeps its beginning with the directory.
  const std::string path(file_path);
  size_t cut = path.rfind('/') + 1;  // 0 without any "/"
  if (path.size() - cut > NAME_MASK) cut = path.size() - NAME_MASK;
  MutexLock lock(&m_mutex);
  if (m_scan_stopped || m_stop_requested) return;
  const std::string dir = path.substr(0, cut);
  auto it = m_dir_index.find(dir);
  if (it == m_dir_index.end()) {
    PELKO_ASSERT(m_dirs.size() < UINT32_MAX);
    it = m_dir_index.emplace(dir, (uint32_t)m_dirs.size()).first;
    m_dirs.push_back(dir);
  }
  plan_file_t f;
  f.start = m_reductible_size;
  f.size = file_size;
  f.name_at = m_names.size();
  f.ino = id.ino;
  f.dir = it->second;
  f.name_len = (uint16_t)(path.size() - cut);
  if (id.follow) f.name_len |= FOLLOW;
  if (id.is_block) f.name_len |= BLOCK;
  f.dev = NO_DEV;
  if (id.ino != 0) {
    auto d = m_dev_index.find(id.dev);
    if (d != m_dev_index.end()) {
      f.dev = d->second;
    } else if (m_devs.size() < NO_DEV) {
      f.dev = (uint16_t)m_devs.size();
      m_dev_index.emplace(id.dev, f.dev);
      m_devs.push_back(id.dev);
    }
  }
  m_names.append(path, cut, std::string::npos);
  m_files.push_back(f);
  // Buckets this file fills up: one progress and limit check each, as when
  // a bucket is completed.
  const size_t filled = (m_reductible_size + file_size) / bucket_size -
                        m_reductible_size / bucket_size;
  m_total_size += file_size;
  m_reductible_size += file_size;
  m_total_chunks += file_size / chunk_size;
  for (size_t i = 0; i < m_levels.size(); i++) {
    m_level_chunks[i] += file_size / m_levels[i];
    m_level_bytes[i] += file_size / m_levels[i] * m_levels[i];
  }
  if (filled > 0) check_elapsed_time(walker);
}

void Sampler::sort_plan() {
  // Directories by name, then the files of each by name: a plan that does
  // not depend on which walking thread came first.
  std::vector<uint32_t> by_name(m_dirs.size());
  for (uint32_t d = 0; d < by_name.size(); d++) by_name[d] = d;
  std::sort(by_name.begin(), by_name.end(), [this](uint32_t a, uint32_t b) {
    return m_dirs[a] < m_dirs[b];
  });
  std::vector<uint32_t> rank(m_dirs.size());
  for (uint32_t i = 0; i < by_name.size(); i++) rank[by_name[i]] = i;
  const std::string& names = m_names;
  auto name = [&names](const plan_file_t& f) {
    return std::string_view(names).substr(f.name_at, f.name_len & NAME_MASK);
  };
  std::sort(m_files.begin(), m_files.end(),
            [&](const plan_file_t& a, const plan_file_t& b) {
              if (a.dir != b.dir) return rank[a.dir] < rank[b.dir];
              const int c = name(a).compare(name(b));
              // The same path given twice (or by two roots) stays twice.
              return c != 0 ? c < 0 : a.start < b.start;
            });
  uint64_t start = 0;
  for (plan_file_t& f : m_files) {
    f.start = start;
    start += f.size;
  }
  if (m_levels.size() == 1) return;
  // Several chunk sizes: the pieces, largest size first. Every piece's size
  // is a multiple of its own, so each section keeps the alignment of the
  // ones after it.
  m_pieces.clear();
  start = 0;
  for (size_t level = 0; level < m_levels.size(); level++) {
    const uint64_t size = m_levels[level];
    const uint64_t larger = level == 0 ? 0 : m_levels[level - 1];
    for (size_t i = 0; i < m_files.size(); i++) {
      const uint64_t bytes = m_files[i].size;
      const uint64_t from = larger == 0 ? 0 : bytes / larger * larger;
      const uint64_t to = bytes / size * size;
      if (to <= from) continue;
      PELKO_ASSERT(start % size == 0 && m_files.size() < UINT32_MAX);
      m_pieces.push_back(
          plan_piece_t{start, from, to - from, (uint32_t)i, (uint32_t)level});
      start += to - from;
    }
  }
  PELKO_ASSERT(start == m_reductible_size);
}

void Sampler::label_plan() {
  std::vector<std::pair<std::string, std::pair<size_t, size_t>>> all(
      m_label_bytes.begin(), m_label_bytes.end());
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    if (a.second.first != b.second.first) return a.second.first > b.second.first;
    return a.first < b.first;
  });
  std::unordered_map<std::string, uint8_t> id;
  m_labels.clear();
  for (size_t i = 0; i < all.size(); i++) {
    if (i < BREAKDOWN_TOP) {
      id[all[i].first] = (uint8_t)i;
      m_labels.push_back(label_t{all[i].first, all[i].second.first,
                                 all[i].second.second});
      continue;
    }
    if (i == BREAKDOWN_TOP) m_labels.push_back(label_t{BREAKDOWN_OTHER, 0, 0});
    m_labels.back().logical += all[i].second.first;
    m_labels.back().tails += all[i].second.second;
  }
  PELKO_ASSERT(m_labels.size() <= BREAKDOWN_TOP + 1);
  m_file_label.resize(m_files.size());
  for (size_t i = 0; i < m_files.size(); i++) {
    const auto it =
        id.find(breakdown_label(m_params.by, m_params.roots, file_path(m_files[i])));
    if (it != id.end()) {
      m_file_label[i] = it->second;
      continue;
    }
    // Not met by the scan's count (none is expected): counted as other.
    if (m_labels.size() <= BREAKDOWN_TOP && m_labels.size() <= all.size())
      m_labels.push_back(label_t{BREAKDOWN_OTHER, 0, 0});
    m_file_label[i] = (uint8_t)(m_labels.size() - 1);
  }
}

std::string Sampler::file_path(const plan_file_t& f) const {
  std::string p = m_dirs[f.dir];
  p.append(m_names, f.name_at, f.name_len & NAME_MASK);
  return p;
}

void Sampler::bucket_slices(size_t b, std::vector<file_slice_t>* out) const {
  out->clear();
  const uint64_t lo = (uint64_t)b * m_bucket_size;
  const uint64_t hi = std::min<uint64_t>(lo + m_bucket_size, m_reductible_size);
  if (m_levels.size() > 1) {
    size_t i = std::upper_bound(m_pieces.begin(), m_pieces.end(), lo,
                                [](uint64_t v, const plan_piece_t& p) {
                                  return v < p.start;
                                }) -
               m_pieces.begin();
    PELKO_ASSERT(i > 0);
    for (i--; i < m_pieces.size() && m_pieces[i].start < hi; i++) {
      const plan_piece_t& p = m_pieces[i];
      const uint64_t from = std::max(lo, p.start);
      const uint64_t to = std::min(hi, p.start + p.size);
      if (to > from)
        out->push_back(file_slice_t{p.file, p.offset + (from - p.start),
                                    to - from, m_levels[p.level]});
    }
    return;
  }
  // The file whose run holds lo: the last one starting at or before it.
  size_t i = std::upper_bound(m_files.begin(), m_files.end(), lo,
                              [](uint64_t v, const plan_file_t& f) {
                                return v < f.start;
                              }) -
             m_files.begin();
  PELKO_ASSERT(i > 0);
  for (i--; i < m_files.size() && m_files[i].start < hi; i++) {
    const plan_file_t& f = m_files[i];
    const uint64_t from = std::max(lo, f.start);
    const uint64_t to = std::min(hi, f.start + f.size);
    if (to > from)
      out->push_back(
          file_slice_t{i, from - f.start, to - from, m_params.chunk_size});
  }
}

void Sampler::check_elapsed_time(Walker* walker) {
  const time_t elapsed_time = m_clock(walker);
  if (elapsed_time == m_scan_elapsed_time) return;
  m_scan_elapsed_time = elapsed_time;
  print_scan_progress(false);
  check_scan_limits(walker);
}

void Sampler::check_scan_limits(Walker* walker) {
  if (m_scan_stopped) return;
  if (m_params.scan_time_limit != 0 &&
      m_scan_elapsed_time > m_params.scan_time_limit) {
    walker->stop("WARNING: Scan time limit reached.",
                 "the scan time limit (-T) was reached: the figures are "
                 "extrapolated from the part of the inputs scanned");
    m_scan_stopped = true;
  }
  if (m_params.scan_memory_limit != 0 &&
      current_memory() > m_params.scan_memory_limit) {
    // Prints nothing when the time limit has already stopped the walk.
    walker->stop("WARNING: Scan memory limit reached.",
                 "the scan memory limit (80 % of -M) was reached: the figures "
                 "are extrapolated from the part of the inputs scanned");
    m_scan_stopped = true;
  }
}

size_t Sampler::get_total_chunks() const {
  MutexLock lock(&m_mutex);
  if (!m_scan_stopped) return m_total_chunks;
  PELKO_ASSERT(m_fs_total_size != INVALID_SIZE_T);
  // Nothing counted before the stop: there is no share to scale up.
  if (m_total_size == 0) return m_total_chunks;
  const double k = (double)m_fs_total_size / (double)m_total_size;
  return (size_t)((double)m_total_chunks * k);
}

size_t Sampler::get_total_chunks(size_t chunk_size) const {
  MutexLock lock(&m_mutex);
  const size_t n = m_level_chunks[level_of(chunk_size)];
  if (!m_scan_stopped || m_total_size == 0) return n;
  PELKO_ASSERT(m_fs_total_size != INVALID_SIZE_T);
  return (size_t)((double)n * (double)m_fs_total_size / (double)m_total_size);
}

size_t Sampler::get_total_buckets() const {
  MutexLock lock(&m_mutex);
  return (m_reductible_size + m_bucket_size - 1) / m_bucket_size;
}

Sampler::plan_totals_t Sampler::get_plan_totals() const {
  return get_plan_totals(m_params.chunk_size);
}

Sampler::plan_totals_t Sampler::get_plan_totals(size_t chunk_size) const {
  MutexLock lock(&m_mutex);
  const size_t whole = chunk_size == m_params.chunk_size
                           ? m_reductible_size
                           : m_level_bytes[level_of(chunk_size)];
  plan_totals_t t{m_total_size, whole, m_total_files, m_scan_stopped};
  if (m_scan_stopped && m_fs_total_size != INVALID_SIZE_T && m_total_size != 0) {
    const double k = (double)m_fs_total_size / (double)m_total_size;
    t.total_size = m_fs_total_size;
    t.reductible_size = (size_t)((double)whole * k);
  }
  return t;
}

size_t Sampler::get_unread_size() const {
  MutexLock lock(&m_mutex);
  return m_unread_size;
}

size_t Sampler::get_unread_files() const {
  MutexLock lock(&m_mutex);
  return m_unread_files.size();
}

size_t Sampler::get_skipped_dirs() const {
  MutexLock lock(&m_mutex);
  return m_skipped_dirs;
}

void Sampler::request_stop() {
  m_stop_requested = true;
  MutexLock lock(&m_mutex);
  if (m_walker != nullptr) m_walker->stop(nullptr);
}

void Sampler::request_stop_now() {
  m_stop_now = true;
  request_stop();
}

bool Sampler::stopped_now(void* arg) {
  return static_cast<Sampler*>(arg)->m_stop_now;
}

void Sampler::print_scan_progress(bool to_file) const {
  // Lines rewritten in place are for a person watching a terminal.
  const bool terminal = printer.console_is_terminal();
  if (!to_file && !terminal) return;
  int term_width = -1;
  os_get_term_size(&term_width, nullptr);
  size_t cur_memory = 0, max_memory = 0;
  m_memory(&cur_memory, &max_memory);

  const long long elapsed = (long long)m_scan_elapsed_time;
  char a[128], b[128], c[128], d[128], e[128], f[128];
  int len = snprintf(a, sizeof(a), "%llds. ", elapsed);
  b[0] = 0;
  if (m_fs_total_size != INVALID_SIZE_T && m_fs_total_size != 0)
    snprintf(b, sizeof(b), ", %lld%%",
             (long long)((m_total_size * 100 + m_fs_total_size / 2) /
                         m_fs_total_size));
  c[0] = 0;
  if (elapsed != 0)
    snprintf(c, sizeof(c), ", %s/s",
             capacity_to_str(m_total_size / (size_t)elapsed).c_str());
  len += snprintf(d, sizeof(d), "Scanned: %s%s%s. %lld files (%lld files/s). ",
                  capacity_to_str(m_total_size).c_str(), b, c,
                  (long long)m_total_files,
                  elapsed ? (long long)m_total_files / elapsed : 0LL);
  const size_t reductible_pct =
      m_total_size ? (m_reductible_size * 100 + m_total_size / 2) / m_total_size
                   : 0;
  len += snprintf(e, sizeof(e), "Reductible: %s (%lld%%). ",
                  capacity_to_str(m_reductible_size).c_str(),
                  (long long)reductible_pct);
  f[0] = 0;
  if (cur_memory != 0)
    len += snprintf(f, sizeof(f), "Memory usage: %s. ",
                    memory_to_str(cur_memory, max_memory).c_str());

  // (g) Only on the lines rewritten in place: the time left, at the rate so
  // far towards the probed size of the inputs, and within the time limit.
  std::string g;
  if (!to_file) {
    double left = -1.0;
    if (m_fs_total_size != INVALID_SIZE_T && m_fs_total_size != 0 &&
        elapsed > 0 && m_total_size > 0) {
      const double rate = (double)m_total_size / (double)elapsed;
      left = m_fs_total_size > m_total_size
                 ? (double)(m_fs_total_size - m_total_size) / rate
                 : 0.0;
    }
    if (m_params.scan_time_limit > 0) {
      const double budget =
          std::max(0.0, (double)(m_params.scan_time_limit - elapsed));
      if (left < 0 || budget < left) left = budget;
    }
    g = eta_to_str(left);
    len += (int)g.size();
  }

  if (len > g_progress_max_len) g_progress_max_len = len;
  int n_spaces = g_progress_max_len - len;
  if (term_width > 0 && g_progress_max_len > term_width)
    n_spaces = term_width - len;
  if (n_spaces < 0) n_spaces = 0;

  std::string text = std::string(a) + d + e + f + g +
                     std::string((size_t)n_spaces, ' ');
  // A line rewritten in place must not wrap: the carriage return would
  // leave its first part behind.
  if (!to_file && term_width > 0) text = cut_to_width(text, term_width - 1);
  printer.set_to_file(to_file);
  if (terminal) printer.console() << '\r';
  printer << text << std::flush;
  printer.set_to_file(true);
}

void Sampler::set_bucket_size(size_t bytes) {
  PELKO_ASSERT(bytes > 0 && bytes % m_levels.front() == 0);
  MutexLock lock(&m_mutex);
  PELKO_ASSERT(!m_read_begun);
  m_bucket_size = bytes;
}

void Sampler::set_draw_limit(size_t n) {
  MutexLock lock(&m_mutex);
  m_draw_limit = n;
}

void Sampler::read(chunk_cb_func_t cb_func, void* cb_arg) {
  read(cb_func, nullptr, cb_arg);
}

void Sampler::read_runs(run_cb_func_t cb_func, bucket_end_func_t end_func,
                        void* cb_arg) {
  m_run_cb_func = cb_func;
  read(nullptr, end_func, cb_arg);
}

void Sampler::read(chunk_cb_func_t cb_func, bucket_end_func_t end_func,
                   void* cb_arg) {
  PELKO_ASSERT((cb_func != nullptr) != (m_run_cb_func != nullptr));
  // Runs of whole chunks of every size need the pieces; chunks one by one
  // have only the one size.
  PELKO_ASSERT(m_run_cb_func != nullptr || m_levels.size() == 1);
  m_chunk_cb_func = cb_func;
  m_bucket_end_func = end_func;
  m_chunk_cb_arg = cb_arg;
  if (m_params.seed_given) srand(m_params.seed);
  if (!m_read_begun) {  // a second call reads nothing
    MutexLock lock(&m_mutex);
    m_read_begun = true;
    m_n_buckets = (m_reductible_size + m_bucket_size - 1) / m_bucket_size;
    m_n_drawn = 0;
    m_n_predrawn = 0;
    if (m_n_buckets < ((size_t)1 << 32)) {
      m_order32.resize(m_n_buckets);
      for (size_t b = 0; b < m_n_buckets; b++) m_order32[b] = (uint32_t)b;
    } else {
      m_order64.resize(m_n_buckets);
      for (size_t b = 0; b < m_n_buckets; b++) m_order64[b] = b;
    }
  }
  if (OS_INPUT_PREFETCH && m_kept_fd_limit == 0) {
    // Enough for the 32 buckets ahead when they have two slices each (a
    // bucket of 16 KiB over files of tens of KiB has one or two), and at
    // most half of the descriptors left beside each thread's two and a
    // reserve for the run's outputs.
    const size_t free_fds = os_free_descriptors();
    const size_t own = 2 * (size_t)m_params.n_threads + 16;
    m_kept_fd_limit =
        free_fds > own ? std::min(2 * PREFETCH_BUCKETS, (free_fds - own) / 2)
                       : 0;
  }
  threadpool_run(m_params.n_threads, read_thread, this);
  // Buckets drawn ahead and left unread by a stop.
  std::vector<file_slice_t> slices;
  MutexLock lock(&m_mutex);
  for (ahead_t& a : m_ahead) {
    bucket_slices(a.bucket, &slices);
    for (size_t i = 0; i < slices.size() && i < a.slices.size(); i++)
      abandon_prefetch(slices[i], &a.slices[i]);
  }
  m_ahead.clear();
}

void* Sampler::read_thread(void* arg) {
  static_cast<Sampler*>(arg)->read_thread();
  return nullptr;
}

void Sampler::read_thread() {
  const size_t chunk_size = m_params.chunk_size;
  // Slices are read in pieces of whole chunks that stay in the core's cache
  // between the copy from the page cache and the analysis of their chunks: a
  // bucket-sized buffer would be written out to slower caches and read back.
  // Pieces are whole chunks of the largest size too, so that every chunk of
  // a slice lies in one piece.
  const size_t largest = m_levels.front();
  const size_t piece_size =
      std::max(largest, READ_PIECE_SIZE / largest * largest);
  const size_t buf_size = std::min(piece_size, m_bucket_size);
  std::unique_ptr<unsigned char[]> buf;  // allocated with the first bucket
  SliceFile file(m_params.keep_cache);
  os_input_range_t range;  // the slice being read, for the page cache

  std::vector<file_slice_t> slices;

  const size_t limit = m_draw_limit != 0 ? std::min(m_draw_limit, m_n_buckets)
                                         : m_n_buckets;
  std::vector<prefetched_t> prefetched;  // the bucket's, when drawn ahead
  std::vector<ahead_t*> mine;  // entries this thread drew ahead
  std::vector<file_slice_t> ahead_slices;
  m_mutex.lock();
  for (;;) {
    // The next bucket in drawing order: drawn ahead (once its prefetch is
    // done), or drawn now. Others may take the last ones during the wait.
    while (!m_ahead.empty() && !m_ahead.front().ready)
      m_ahead_cv.wait(m_mutex);
    if (m_n_drawn >= limit || m_stop_requested) break;
    size_t b;
    prefetched.clear();
    if (!m_ahead.empty()) {
      b = m_ahead.front().bucket;
      prefetched.swap(m_ahead.front().slices);
      m_ahead.pop_front();
    } else {
      b = draw_bucket();
    }
    const size_t seq = m_n_drawn++;
    mine.clear();
    if (OS_INPUT_PREFETCH) {
      while (m_ahead.size() < PREFETCH_BUCKETS && m_n_predrawn < limit &&
             !m_stop_requested) {
        m_ahead.push_back(ahead_t{draw_bucket(), false, {}});
        mine.push_back(&m_ahead.back());  // deque: stays put until taken
      }
    }
    m_mutex.unlock();
    for (ahead_t* a : mine) {
      if (m_prefetch_idle < PREFETCH_IDLE ||
          m_prefetch_tick++ % PREFETCH_PROBE == 0) {
        if (prefetch_bucket(a->bucket, &a->slices, &ahead_slices))
          m_prefetch_idle = 0;
        else
          m_prefetch_idle++;
      }
      MutexLock lock(&m_mutex);
      a->ready = true;
      m_ahead_cv.broadcast();
    }

    if (!buf) buf.reset(new unsigned char[buf_size]);
    bucket_slices(b, &slices);
    size_t next = 0;  // the slice being read
    for (; next < slices.size(); next++) {
      const file_slice_t& slice = slices[next];
      if (m_stop_now) break;
      PELKO_ASSERT(slice.size <= m_bucket_size);
      const plan_file_t& pf = m_files[slice.file];
      const std::string path = file_path(pf);
      int fd = -1;
      if (next < prefetched.size() && prefetched[next].fd >= 0) {
        // Opened, checked and prepared by the prefetch. The path must still
        // name that file: one that was replaced or deleted since is not
        // read, as if the read had opened it (which then says why).
        const int kept = prefetched[next].fd;
        prefetched[next].fd = -1;
        fd = file.current(path);
        os_stat_t st;
        if (fd >= 0) {
          close_kept(kept);
        } else if (os_stat(path.c_str(), &st, (pf.name_len & FOLLOW) != 0) ==
                       0 &&
                   changed_since_scan(pf, st).empty()) {
          // Now the thread's own descriptor.
          fd = file.adopt(kept, path);
          m_kept_fds.fetch_sub(1);
        } else {
          close_kept(kept);
          fd = open_checked(&file, pf, path);
        }
      } else {
        fd = open_checked(&file, pf, path);
      }
      if (fd >= 0) {
        if (next < prefetched.size() && prefetched[next].begun) {
          range = std::move(prefetched[next].range);
          os_input_range_adopt(fd, &range);
          prefetched[next].begun = false;
        } else {
          os_input_range_begin(fd, slice.offset, slice.size,
                               m_params.keep_cache, &range);
        }
      }
      // Every piece but the slice's last is a whole number of chunks, so the
      // chunks delivered are those of the whole slice. A short read (the
      // file shrank since the scan) or a failed one ends the slice.
      if (m_label_func != nullptr)
        m_label_func(m_file_label[slice.file], m_chunk_cb_arg);
      size_t done = 0, delivered = 0;
      bool left = false;  // by request_stop_now
      while (fd >= 0 && done < slice.size) {
        const size_t want = std::min(buf_size, slice.size - done);
        if (!wait_for_rate(want)) {
          left = true;
          break;
        }
        bool failed = false;
        const size_t r = os_input_range_read(&range, buf.get(), want,
                                             slice.offset + done, &failed);
        if (failed) {
          print_error("pread(", path);
          file.close_fd();
        } else if (r < want) {
          report_once(path, "ERROR: pread(" + path +
                                ") failed, the file has shrunk since the scan");
        }
        const size_t chunk_count = r / chunk_size;
        if (m_run_cb_func != nullptr) {
          if (chunk_count > 0)
            m_run_cb_func(buf.get(), chunk_count * chunk_size, slice.whole, seq,
                          m_chunk_cb_arg);
        } else {
          for (size_t i = 0; i < chunk_count; i++)
            m_chunk_cb_func(buf.get() + i * chunk_size, seq, m_chunk_cb_arg);
        }
        delivered += chunk_count;
        done += r;
        if (failed || r < want) break;
        if (m_stop_now && done < slice.size) {
          left = true;
          break;
        }
      }
      // Left part-read: what was read in for the rest goes too.
      if (left && fd >= 0) os_input_range_abandon(fd, &range);
      const size_t planned = slice.size / chunk_size;
      if (delivered < planned && !left)
        note_unread(path, (planned - delivered) * chunk_size);
      if (left) {
        next++;
        break;
      }
    }
    // Slices not reached (a stop) or not opened: what their prefetch read in.
    for (size_t i = 0; i < prefetched.size() && i < slices.size(); i++)
      if (i >= next || prefetched[i].begun || prefetched[i].fd >= 0)
        abandon_prefetch(slices[i], &prefetched[i]);
    if (m_bucket_end_func != nullptr) m_bucket_end_func(seq, m_chunk_cb_arg);
    m_mutex.lock();
  }
  m_mutex.unlock();
}

bool Sampler::prefetch_bucket(size_t b, std::vector<prefetched_t>* out,
                              std::vector<file_slice_t>* slices) const {
  bucket_slices(b, slices);
  out->resize(slices->size());
  bool read_in = false;
  for (size_t i = 0; i < slices->size(); i++) {
    const file_slice_t& slice = (*slices)[i];
    prefetched_t& p = (*out)[i];
    p.begun = false;
    p.fd = -1;
    if (m_stop_now) continue;
    // Failures are left for the read to report.
    const int fd = open_quietly(m_files[slice.file]);
    if (fd < 0) continue;
    const bool keep = m_kept_fds.fetch_add(1) < m_kept_fd_limit;
    if (keep) {
      if (!m_params.keep_cache) os_input_no_readahead(fd);
      p.fd = fd;
    } else {
      m_kept_fds.fetch_sub(1);
    }
    if (os_input_prefetch(fd, slice.offset, slice.size, m_params.keep_cache,
                          &p.range))
      read_in = true;
    p.begun = true;
    if (!keep) os_close_input(fd);
  }
  return read_in;
}

void Sampler::abandon_prefetch(const file_slice_t& slice,
                               prefetched_t* p) const {
  int fd = p->fd;
  const bool kept = fd >= 0;
  p->fd = -1;
  if (p->begun) {
    p->begun = false;
    if (fd < 0) fd = open_quietly(m_files[slice.file]);
    if (fd >= 0) os_input_range_abandon(fd, &p->range);
  }
  if (kept)
    close_kept(fd);
  else if (fd >= 0)
    os_close_input(fd);
}

void Sampler::close_kept(int fd) const {
  os_close_input(fd);
  m_kept_fds.fetch_sub(1);
}

int Sampler::open_quietly(const plan_file_t& f) const {
  const int fd = os_open_input(
      file_path(f).c_str(),
      OS_INPUT_NONBLOCK | ((f.name_len & FOLLOW) ? 0 : OS_INPUT_NOFOLLOW));
  if (fd < 0) return -1;
  os_stat_t st;
  if (os_fstat_input(fd, &st) == 0 && changed_since_scan(f, st).empty())
    return fd;
  os_close_input(fd);
  return -1;
}

size_t Sampler::draw_bucket() {
  // A uniform pick among the buckets left, moved out by swapping the last one
  // into its place.
  const size_t left = m_n_buckets - m_n_predrawn++;
  const size_t idx = (size_t)rand() % left;
  size_t b;
  if (!m_order32.empty()) {
    b = m_order32[idx];
    m_order32[idx] = m_order32[left - 1];
    m_order32.pop_back();
  } else {
    b = (size_t)m_order64[idx];
    m_order64[idx] = m_order64[left - 1];
    m_order64.pop_back();
  }
  return b;
}

bool Sampler::wait_for_rate(size_t bytes) {
  if (m_stop_now) return false;
  if (m_params.max_rate == 0) return true;
  const int64_t cost =
      (int64_t)((double)bytes * 1e9 / (double)m_params.max_rate);
  const int64_t now = steady_now_ns();
  // Reserve [start, start + cost): after the reads reserved before, and
  // never in the past, so that idle time earns no burst.
  int64_t next = m_rate_next.load();
  int64_t start;
  do {
    start = std::max(next, now);
  } while (!m_rate_next.compare_exchange_weak(next, start + cost));
  // Slept in short steps: a stop must not wait for a slow rate's turn.
  const int64_t step = 50 * 1000 * 1000;
  for (int64_t t = now; t < start; t = steady_now_ns()) {
    if (m_stop_now) return false;
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(step, start - t)));
  }
  return !m_stop_now;
}

int Sampler::open_checked(SliceFile* file, const plan_file_t& f,
                          const _TSTRING& path) {
  int fd = file->current(path);
  if (fd >= 0) return fd;
  fd = file->open_path(path, (f.name_len & FOLLOW) != 0, stopped_now, this);
  if (fd < 0) {
    if (errno == ELOOP && !(f.name_len & FOLLOW)) {
      report_once(path, "ERROR: open(" + path +
                            ") failed, it has been replaced by a symbolic "
                            "link since the scan");
    } else if (!m_stop_now) {
      print_error("open(", path);
    }
    return -1;
  }
  os_stat_t st;
  if (os_fstat_input(fd, &st) != 0) {
    print_error("fstat(", path);
    file->close_fd();
    return -1;
  }
  const std::string changed = changed_since_scan(f, st);
  if (!changed.empty()) {
    file->close_fd();
    report_once(path, "ERROR: open(" + path + ") failed, " + changed);
    return -1;
  }
  file->prepare();
  return fd;
}

std::string Sampler::changed_since_scan(const plan_file_t& f,
                                        const os_stat_t& st) const {
  const bool block = (f.name_len & BLOCK) != 0;
  if (block ? !S_ISBLK(st.st_mode) : !S_ISREG(st.st_mode))
    return std::string("it has been replaced by ") + os_file_kind(st.st_mode) +
           " since the scan";
  if (f.ino != 0 && f.dev != NO_DEV &&
      ((uint64_t)st.st_ino != f.ino || (uint64_t)st.st_dev != m_devs[f.dev]))
    return "it has been replaced by another file since the scan";
  return "";
}

void Sampler::report_once(const _TSTRING& path, const std::string& line) {
  {
    MutexLock lock(&m_mutex);
    if (!m_reported.insert(path).second) return;
  }
  std::cerr << line + "\n" << std::flush;
}

void Sampler::note_unread(const _TSTRING& path, size_t bytes) {
  MutexLock lock(&m_mutex);
  m_unread_size += bytes;
  m_unread_files.insert(path);
}
