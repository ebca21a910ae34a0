#include "estimator.h"

#ifdef PELKO_LZ4_FAST_RESET
#define LZ4_STATIC_LINKING_ONLY  // LZ4_compress_fast_extState_fastReset
#endif
#include <lz4.h>
#include <xxhash.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "crc.h"
#include "format.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "interrupt.h"
#include "ranges.h"
#include "record.h"
#include "sampler.h"
#include "summary.h"

namespace {

time_t monotonic_seconds() {
  struct timespec ts;
  PELKO_ASSERT(clock_gettime(CLOCK_MONOTONIC, &ts) == 0);
  return ts.tv_sec;
}

double monotonic_seconds_precise() {
  struct timespec ts;
  PELKO_ASSERT(clock_gettime(CLOCK_MONOTONIC, &ts) == 0);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// A run parameter as the user gave it: "50", "0.5", "90".
std::string number_text(double v) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%g", v);
  return buf;
}

// A lock that can be released and taken again within one scope; released on
// exit if held.
class Relock {
 public:
  explicit Relock(Mutex* mu) : m_mu(mu), m_held(false) {}
  ~Relock() { unlock(); }
  Relock(const Relock&) = delete;
  Relock& operator=(const Relock&) = delete;

  void lock() {
    if (!m_held) m_mu->lock();
    m_held = true;
  }
  void unlock() {
    if (m_held) m_mu->unlock();
    m_held = false;
  }

 private:
  Mutex* const m_mu;
  bool m_held;
};

// LZ4-compressed size of n bytes; the compressed bytes are discarded. The
// output scratch is one heap buffer per thread, allocated on first use and
// grown only for a larger chunk size: no allocation per chunk, and a large
// chunk size cannot overflow the thread's stack. Where the library allows,
// the compression state is kept per thread too: the default entry point
// clears a fresh 16 KiB state for every chunk. The compressed bytes are the
// same either way, as no chunk is ever matched against another.
size_t lz4_compressed_size(const unsigned char* src, size_t n) {
  if (n > (size_t)LZ4_MAX_INPUT_SIZE) return 0;  // LZ4's bound is 0 there
  const size_t bound = n + n / 255 + 16;
  thread_local std::unique_ptr<char[]> scratch;
  thread_local size_t scratch_size = 0;
  if (scratch_size < bound) {
    scratch.reset(new char[bound]);
    scratch_size = bound;
  }
#ifdef PELKO_LZ4_FAST_RESET
  thread_local std::unique_ptr<LZ4_stream_t> state;
  if (!state) {
    state.reset(new LZ4_stream_t);
    LZ4_initStream(state.get(), sizeof(LZ4_stream_t));
  }
  int r = LZ4_compress_fast_extState_fastReset(
      state.get(), (const char*)src, scratch.get(), (int)n, (int)bound, 1);
#else
  int r =
      LZ4_compress_default((const char*)src, scratch.get(), (int)n, (int)bound);
#endif
  return r > 0 ? (size_t)r : 0;
}

const char* const TEN_TABS = "\t\t\t\t\t\t\t\t\t\t";

// The checksums a reading thread has met in the bucket it is reading: a
// bucket is read by one thread, its chunks in order, so a repeat within it
// is told from a first occurrence without any lock or per-checksum memory.
class BucketChecksums {
 public:
  // True the first time fp is met in bucket seq of owner's run. capacity:
  // chunks per bucket.
  bool first(const void* owner, size_t seq, uint64_t fp, size_t capacity) {
    if (owner != m_owner || seq != m_seq) {
      m_owner = owner;
      m_seq = seq;
      size_t want = 16;
      while (want < 2 * capacity) want *= 2;
      if (m_slots.size() < want) {
        m_slots.assign(want, slot_t{0, 0});
        m_stamp = 0;
      }
      if (++m_stamp == 0) {  // stamps wrapped: clear once
        std::fill(m_slots.begin(), m_slots.end(), slot_t{0, 0});
        m_stamp = 1;
      }
    }
    const size_t mask = m_slots.size() - 1;
    for (size_t i = (size_t)((fp ^ (fp >> 32)) * 0x9E3779B97F4A7C15ull) & mask;;
         i = (i + 1) & mask) {
      slot_t& s = m_slots[i];
      if (s.stamp != m_stamp) {
        s.stamp = m_stamp;
        s.fp = fp;
        return true;
      }
      if (s.fp == fp) return false;
    }
  }

 private:
  struct slot_t {
    uint64_t fp;
    uint32_t stamp;  // the bucket it was filled in; others are free
  };
  const void* m_owner = nullptr;
  size_t m_seq = 0;
  uint32_t m_stamp = 0;
  std::vector<slot_t> m_slots;
};

thread_local BucketChecksums t_bucket_checksums;

}  // namespace

Estimator::env_t::env_t()
    : get_memory_usage(os_get_memory_usage),
      get_term_size(os_get_term_size),
      get_time(monotonic_seconds),
      get_seconds(monotonic_seconds_precise),
      memory_check_interval(1024),
      on_row(nullptr),
      on_row_arg(nullptr) {}

Estimator::Estimator(const pelko_params_t& params)
    : Estimator(params, env_t()) {}

Estimator::Estimator(const pelko_params_t& params, const env_t& env)
    : m_params(params),
      m_env(env),
      m_total_chunks(0),
      m_n_data_chunks(0),
      m_n_zero_chunks(0),
      m_n_skipped_chunks(0),
      m_progress(0.0),
      m_save_memory(false),
      m_start_time(0),
      m_elapsed_time(0),
      m_report_next(0.0),
      m_report_step(0.0),
      m_ordered(false),
      m_rows_cpb(1),
      m_in_order(true),
      m_paused(false),
      m_rows_within(0),
      m_next_seq(0),
      m_row_buckets(SIZE_MAX),
      m_stop_buckets(SIZE_MAX),
      m_final_limit(SIZE_MAX),
      m_tail_bytes(0),
      m_held_chunks(0),
      m_lower_crc(0),
      m_n_ungrouped(0),
      m_dfh_size(0),
      m_big_buckets(0),
      m_total_buckets(0),
      m_compressed_size(0),
      m_stored_size(0),
      m_uncompressed_size(0),
      m_updates_since_check(0),
      m_memory_warning(0),
      m_zeros_crc(0),
      m_fingerprint64(params.fingerprint_bits == 64),
      m_collisions_warned(false),
      m_chunks_per_bucket(std::max<size_t>(1, params.bucket_size / params.chunk_size)),
      m_solo_seq((size_t)1 << 62),
      m_n_printed_reports(0),
      m_reporting(false),
      m_sampler(nullptr),
      m_summarized(false),
      m_start_seconds(0),
      m_by(false),
      m_keep_csize(!params.export_file.empty() &&
                   sample_has_csize(params.estimate_mask)),
      m_imported(false),
      m_n_imported(0) {
  PELKO_ASSERT(params.chunk_size > 0);
  PELKO_ASSERT(params.report_freq > 0);
  PELKO_ASSERT(env.memory_check_interval >= 1);
  if (params.estimate_mask & ESTIMATE_DEDUPE) {
    m_dfh_array.assign(16, 0);
    for (DFH_ARRAY& rep : m_dfh_rep) rep.assign(16, 0);
  }
  for (size_t& n : m_dfh_rep_size) n = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++)
    m_group_chunks[g] = m_group_zeros[g] = m_group_compressed[g] =
        m_group_uncompressed[g] = 0;
  m_zeros.reset(static_cast<unsigned char*>(calloc(params.chunk_size, 1)));
  if (!m_zeros)
    interrupt_fatal("cannot allocate " + capacity_to_str(params.chunk_size) +
                    " of memory for a chunk");
  m_zero_compressed = lz4_compressed_size(m_zeros.get(), params.chunk_size);
  m_zeros_crc = __fingerprint(m_zeros.get());
}

Estimator::~Estimator() {}

Estimator::fp_t Estimator::__fingerprint(const unsigned char* chunk) const {
  const size_t n = m_params.chunk_size;
  const fp_t crc = memcrc(chunk, n);
  if (!m_fingerprint64) return crc;
  return crc << 32 | (uint32_t)XXH3_64bits(chunk, n);
}

void Estimator::start(Sampler* sampler) {
  {
    MutexLock lock(&m_mutex);
    m_sampler = sampler;
    if (!m_stop_reason.empty()) sampler->request_stop();  // stopped already
  }
  plan_t plan;
  plan.total_chunks = sampler->get_total_chunks();
  plan.total_buckets = sampler->get_total_buckets();
  plan.chunks_per_bucket = m_chunks_per_bucket;
  begin(plan);
  sampler->set_draw_limit(bucket_limit());
  if (m_params.by != BY_NONE && !sampler->labels().empty()) {
    MutexLock lock(&m_mutex);
    for (const Sampler::label_t& l : sampler->labels()) {
      breakdown_count_t c;
      c.name = l.name;
      c.logical = l.logical;
      c.tails = l.tails;
      m_labels.push_back(c);
    }
    PELKO_ASSERT(m_labels.size() <= 32);
    m_by = true;
    sampler->set_label_func(set_label);
  }
  void (*cb)(const unsigned char*, size_t, void*) = add_chunk;
  void (*end)(size_t, void*) = end_bucket;
  sampler->read(cb, end, this);
}

void Estimator::begin(const plan_t& plan) {
  PELKO_ASSERT(plan.chunks_per_bucket >= 1);
  __start_reading(plan.total_chunks, plan.total_buckets);
  MutexLock lock(&m_mutex);
  m_ordered = true;
  m_tail_bytes = plan.tail_bytes;
  m_rows_cpb = plan.chunks_per_bucket;
  m_next_seq = 0;
  if (m_params.stop_at > 0) m_stop_buckets = __buckets_for(m_params.stop_at);
  m_final_limit = m_stop_buckets;
  // The first row comes with the first bucket (report point 0), as it comes
  // with the first chunk when chunks are counted as they come.
  m_report_next = m_report_step = 0.0;
  m_row_buckets = __buckets_for(m_report_next);
  m_in_order = m_stop_reason.empty();
}

std::string Estimator::stop_reason() const {
  MutexLock lock(&m_mutex);
  return m_stop_reason;
}

size_t Estimator::bucket_limit() const {
  MutexLock lock(&m_mutex);
  return m_stop_buckets == SIZE_MAX ? 0 : m_stop_buckets;
}

namespace {
// The early report points, as shares of the plan.
const double kEarlyPoints[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005};
}  // namespace

double Estimator::__next_report_point(double after) {
  if (m_params.early_rows) {
    for (double e : kEarlyPoints)
      if (e > after && e < m_params.report_freq) return e;
  }
  while (m_report_step <= after) m_report_step += m_params.report_freq;
  return m_report_step;
}

size_t Estimator::__buckets_for(double share) const {
  // The least number of whole buckets whose chunks reach share of the
  // chunks the analysis expects (at least one).
  const double chunks = share * (double)m_total_chunks;
  const double k = ceil(chunks / (double)m_rows_cpb - 1e-9);
  if (!(k < (double)m_total_buckets)) {
    // The plan's last bucket may be short: past it, the step is not reached
    // unless every chunk of the plan reaches it.
    return chunks <= (double)m_total_chunks && m_total_buckets > 0
               ? m_total_buckets
               : SIZE_MAX;
  }
  return std::max<size_t>(1, (size_t)k);
}

bool Estimator::stop(const std::string& reason) {
  MutexLock lock(&m_mutex);
  if (m_summarized || !m_stop_reason.empty()) return false;
  __stop(reason);
  return true;
}

void Estimator::__stop(const std::string& reason) {
  if (!m_stop_reason.empty()) return;
  m_stop_reason = reason;
  if (m_sampler != nullptr) m_sampler->request_stop();
  if (m_ordered && m_in_order) {
    // An early end that is not a row's: what has been read counts, held
    // buckets included, and nothing waits any more.
    m_in_order = false;
    for (const auto& kv : m_held)
      if (kv.first < m_final_limit) __count_held(kv.first, kv.second);
    m_held.clear();
    m_held_chunks = 0;
    m_held_cv.broadcast();
  }
}

void Estimator::__check_limits() {
  if (!m_stop_reason.empty()) return;
  if (!m_ordered && m_params.stop_at > 0 && m_progress >= m_params.stop_at) {
    __stop("stopped by --stop-at " + number_text(m_params.stop_at * 100));
  } else if (m_params.time_limit > 0 &&
             m_env.get_seconds() - m_start_seconds >= m_params.time_limit) {
    __stop("stopped by --time-limit " + number_text(m_params.time_limit));
  }
}

void Estimator::__start_reading(size_t total_chunks, size_t total_buckets) {
  m_start_time = m_env.get_time();
  m_start_seconds = m_env.get_seconds();
  m_total_chunks = total_chunks;
  m_total_buckets = total_buckets != 0 ? total_buckets : total_chunks;
  printer << "ANALYZING" << std::endl;
  __print_header(true);
}

namespace {

struct chunk_bytes_t {
  const unsigned char* data;
  size_t size;
};

size_t chunk_bytes_compressed(const void* arg) {
  const chunk_bytes_t* c = static_cast<const chunk_bytes_t*>(arg);
  return lz4_compressed_size(c->data, c->size);
}

}  // namespace

void Estimator::add_chunk(const unsigned char* chunk_data, size_t bucket_seq,
                          void* cb_arg) {
  static_cast<Estimator*>(cb_arg)->add_chunk(chunk_data, bucket_seq);
}

void Estimator::add_chunk(const unsigned char* chunk_data, void* cb_arg) {
  Estimator* e = static_cast<Estimator*>(cb_arg);
  const size_t seq = e->m_solo_seq++;
  e->add_chunk(chunk_data, seq);
  e->end_bucket(seq);
}

void Estimator::end_bucket(size_t bucket_seq, void* cb_arg) {
  static_cast<Estimator*>(cb_arg)->end_bucket(bucket_seq);
}

void Estimator::set_label(uint8_t label, void* cb_arg) {
  (void)cb_arg;
  __reader().label = label;
}

void Estimator::add_chunk(const unsigned char* chunk_data, size_t bucket_seq) {
  const size_t chunk_size = m_params.chunk_size;
  const int mask = m_params.estimate_mask;
  const bool is_zero = memcmp(chunk_data, m_zeros.get(), chunk_size) == 0;
  // The checksum is taken only where the map needs it.
  const bool counted = (mask & ESTIMATE_DEDUPE) &&
                       (!is_zero || (mask & ESTIMATE_DEDUPE_ZEROS));
  const fp_t fp = counted && !is_zero ? __fingerprint(chunk_data) : 0;
  const chunk_bytes_t bytes{chunk_data, chunk_size};
  add_fingerprint(fp, is_zero, bucket_seq, chunk_bytes_compressed, &bytes);
}

Estimator::reader_t& Estimator::__reader() {
  thread_local reader_t r;
  return r;
}

void Estimator::add_fingerprint(fp_t fp, bool is_zero, size_t bucket_seq,
                                size_t (*compressed_size)(const void* arg),
                                const void* arg) {
  const int mask = m_params.estimate_mask;
  const int group = (int)(bucket_seq % UNSEEN_GROUPS);
  const bool counted = (mask & ESTIMATE_DEDUPE) &&
                       (!is_zero || (mask & ESTIMATE_DEDUPE_ZEROS));
  if (is_zero) fp = m_zeros_crc;
  const bool first =
      counted &&
      t_bucket_checksums.first(this, bucket_seq, fp, m_chunks_per_bucket);

  Relock lock(&m_mutex);
  reader_t& rd = __reader();
  if (rd.owner != this || rd.seq != bucket_seq) {
    lock.lock();
    rd.owner = this;
    rd.seq = bucket_seq;
    rd.held = m_ordered &&
              ((m_in_order && (m_paused || bucket_seq != m_next_seq)) ||
               bucket_seq >= m_final_limit);
    rd.chunks.clear();
  }
  if (rd.held) {
    // Counted once every bucket drawn before it has been. Its compressed
    // size is measured now, for every chunk that may then turn out to be
    // new: not one already in the map (it stays there: evictions take only
    // the threshold, below which later chunks are skipped anyway) or skipped
    // by the memory-saving mode.
    bool may_be_new = !(mask & ESTIMATE_DEDUPE);
    if (counted && first) {
      lock.lock();
      may_be_new = !(m_save_memory && fp < m_lower_crc) &&
                   m_dedupe_map.find(fp) == m_dedupe_map.end();
    }
    lock.unlock();
    held_chunk_t h;
    h.fp = fp;
    h.flags = (uint8_t)((is_zero ? HELD_ZERO : 0) | (first ? HELD_FIRST : 0) |
                        (counted ? HELD_COUNTED : 0));
    h.label = rd.label;
    h.csize = 0;
    if ((mask & ESTIMATE_COMPRESS) && may_be_new)
      h.csize = (uint32_t)compressed_size(arg);
    rd.chunks.push_back(h);
    return;
  }

  bool hit = false;
  if (mask & ESTIMATE_DEDUPE) {
    if (counted) {
      lock.lock();
      hit = __add_chunk_dedupe(fp, group, first);
    } else {
      hit = true;  // zero chunks bypass the map
    }
  }
  if (m_by) {
    lock.lock();
    __count_label(fp, is_zero, rd.label, group);
  }
  if ((mask & ESTIMATE_COMPRESS) && !hit) {
    lock.unlock();
    const size_t n = compressed_size(arg);
    lock.lock();
    __count_compressed(fp, counted, n, group, rd.label);
  }
  // The clock is read before the lock is taken: it need not be held for it.
  const time_t now = m_env.get_time();
  lock.lock();
  __count_chunk(is_zero, now, group);
  __check_limits();
  if (!m_reports.empty()) __drain_reports();
}

void Estimator::__count_compressed(fp_t fp, bool counted, size_t n,
                                   int group, int label) {
  m_compressed_size += n;
  m_stored_size += std::min(n, m_params.chunk_size);
  m_uncompressed_size += m_params.chunk_size;
  m_group_compressed[group] += n;
  m_group_uncompressed[group] += m_params.chunk_size;
  // The entry may have been evicted while the lock was released.
  if (m_keep_csize && counted && m_dedupe_map.count(fp) != 0)
    m_csize[fp] = (uint32_t)n;
  if (m_by) {
    breakdown_count_t& l = m_labels[label];
    l.group_compressed[group] += n;
    l.group_uncompressed[group] += m_params.chunk_size;
    LABEL_MAP::iterator it = counted ? m_label_map.find(fp) : m_label_map.end();
    if (it != m_label_map.end())
      it->second.stored = (uint32_t)std::min(n, m_params.chunk_size);
  }
}

void Estimator::__count_label(fp_t fp, bool is_zero, int label, int group) {
  breakdown_count_t& l = m_labels[label];
  l.chunks++;
  l.group_chunks[group]++;
  if (is_zero) {
    l.zero_chunks++;
    l.group_zeros[group]++;
    return;
  }
  // Skipped by the memory-saving mode: not in the dedupe map either.
  if (m_save_memory && fp < m_lower_crc) return;
  // Stored as it is until its compressed size is known.
  std::pair<LABEL_MAP::iterator, bool> ins = m_label_map.emplace(
      fp, label_entry_t{0, (uint32_t)std::min<size_t>(m_params.chunk_size,
                                                      UINT32_MAX)});
  ins.first->second.mask |= (uint32_t)1 << label;
}

void Estimator::__count_held(size_t seq,
                             const std::vector<held_chunk_t>& chunks) {
  const int mask = m_params.estimate_mask;
  const int group = (int)(seq % UNSEEN_GROUPS);
  const time_t now = m_env.get_time();
  for (const held_chunk_t& h : chunks) {
    const bool counted = (h.flags & HELD_COUNTED) != 0;
    bool hit = false;
    if (mask & ESTIMATE_DEDUPE)
      hit = counted ? __add_chunk_dedupe(h.fp, group, (h.flags & HELD_FIRST) != 0)
                    : true;
    if (m_by) __count_label(h.fp, (h.flags & HELD_ZERO) != 0, h.label, group);
    if ((mask & ESTIMATE_COMPRESS) && !hit)
      __count_compressed(h.fp, counted, h.csize, group, h.label);
    __count_chunk((h.flags & HELD_ZERO) != 0, now, group);
  }
}

void Estimator::end_bucket(size_t bucket_seq) {
  reader_t& rd = __reader();
  const bool mine = rd.owner == this && rd.seq == bucket_seq;
  MutexLock lock(&m_mutex);
  if (mine) rd.owner = nullptr;  // the next bucket starts afresh
  if (!m_ordered) return;
  if (!m_in_order) {
    // Counted as it came (the run was stopped; nothing waits any more).
    if (mine && rd.held && bucket_seq < m_final_limit)
      __count_held(bucket_seq, rd.chunks);
  } else if (mine ? !rd.held : bucket_seq == m_next_seq && !m_paused) {
    m_next_seq++;  // counted as it came: it was the next one
  } else if (bucket_seq >= m_final_limit) {
    // Past a stop that keeps its row: not counted.
  } else {
    m_held_chunks += mine ? rd.chunks.size() : 0;
    std::vector<held_chunk_t>& slot = m_held[bucket_seq];
    if (mine) slot.swap(rd.chunks);
  }
  if (mine) rd.chunks.clear();
  __advance_window();
  __check_limits();
  if (!m_reports.empty()) __drain_reports();
  while (m_held_chunks > kHeldChunksMax && m_in_order) m_held_cv.wait(m_mutex);
}

void Estimator::__advance_window() {
  if (!m_in_order || m_paused) return;
  const size_t before = m_next_seq;
  for (;;) {
    if (m_next_seq == m_row_buckets) {
      __queue_report();
      m_report_next = __next_report_point(m_report_next);
      // Steps that the same buckets already reach make no row of their own.
      while ((m_row_buckets = __buckets_for(m_report_next)) <= m_next_seq)
        m_report_next = __next_report_point(m_report_next);
      // Stopped at the row, or waiting for its estimate.
      if (m_paused || !m_in_order) break;
    }
    if (m_next_seq >= m_stop_buckets) {
      __stop("stopped by --stop-at " + number_text(m_params.stop_at * 100));
      break;
    }
    if (m_held.empty() || m_held.begin()->first != m_next_seq) break;
    auto it = m_held.begin();
    m_held_chunks -= it->second.size();
    __count_held(it->first, it->second);
    m_held.erase(it);
    m_next_seq++;
  }
  if (m_next_seq != before) m_held_cv.broadcast();
}

void Estimator::__count_chunk(bool is_zero, time_t now, int group) {
  if (is_zero)
    m_n_zero_chunks++;
  else
    m_n_data_chunks++;
  m_group_chunks[group]++;
  if (is_zero) m_group_zeros[group]++;
  const size_t n_analysed = m_n_data_chunks + m_n_zero_chunks;
  // A plan of no chunks delivers none; should one arrive all the same, count
  // it as complete rather than step the report point towards infinity.
  m_progress = m_total_chunks != 0 ? (double)n_analysed / m_total_chunks : 1.0;

  // A thread that read the clock just before another may take the lock
  // after it: the elapsed time only moves forward.
  const time_t elapsed = now - m_start_time;
  if (elapsed > m_elapsed_time) {
    m_elapsed_time = elapsed;
    // A row being worked on overwrites the line anyway.
    if (!m_reporting) __print_progress(false);
  }
  if (!m_ordered && m_progress >= m_report_next) {
    __queue_report();
    while (m_progress >= m_report_next) m_report_next += m_params.report_freq;
  }
}

bool Estimator::__add_chunk_dedupe(fp_t fp) {
  const size_t seq = m_solo_seq++;
  return __add_chunk_dedupe(fp, (int)(seq % UNSEEN_GROUPS), true);
}

namespace {

// Moves one checksum from entry `from` to entry `to` of a histogram that
// grows as needed; entry 0 is never counted.
inline void move_entry(DFH_ARRAY* h, size_t* used, size_t from, size_t to) {
  if (from != 0) h->add(from, -1);
  if (to == 0) return;
  if (to >= h->size()) {
    size_t n = std::max<size_t>(h->size(), 1);
    while (n <= to && n <= SIZE_MAX / 2) n *= 2;
    h->resize(n > to ? n : to + 1);
  }
  h->add(to, 1);
  if (to + 1 > *used) *used = to + 1;
}

}  // namespace

unsigned long long Estimator::__chunks(fp_t fp, const dedupe_count_t& c) const {
  if (!c.side()) return c.n_buckets();
  SIDE_MAP::const_iterator it = m_dedupe_side.find(fp);
  PELKO_ASSERT(it != m_dedupe_side.end());
  return it->second.chunks;
}

unsigned long long Estimator::__buckets(fp_t fp,
                                        const dedupe_count_t& c) const {
  if (!c.side()) return c.n_buckets();
  SIDE_MAP::const_iterator it = m_dedupe_side.find(fp);
  PELKO_ASSERT(it != m_dedupe_side.end());
  return it->second.buckets;
}

Estimator::side_count_t& Estimator::__to_side(fp_t fp, dedupe_count_t* c) {
  PELKO_ASSERT(!c->side());
  side_count_t& s = m_dedupe_side[fp];
  s.chunks = s.buckets = c->n_buckets();
  for (int g = 0; g < UNSEEN_GROUPS; g++) s.groups[g] = c->buckets[g];
  s.grouped = true;
  c->buckets[0] = dedupe_count_t::SIDE;
  return s;
}

void Estimator::__count_bucket(fp_t fp, dedupe_count_t* c, int group) {
  side_count_t* side = nullptr;
  uint8_t* groups = c->buckets;
  unsigned long long t = 0;
  if (c->side()) {
    side = &m_dedupe_side.at(fp);
    groups = side->groups;
    t = side->buckets;
  } else {
    t = c->n_buckets();
  }
  move_entry(&m_dfh_array, &m_dfh_size, t, t + 1);
  if (side != nullptr && !side->grouped) {
    side->buckets++;
    m_big_buckets++;
    return;
  }
  if (groups[group] < 0xFE) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      if (g == group) continue;  // without this group the count stays
      move_entry(&m_dfh_rep[g], &m_dfh_rep_size[g], t - groups[g],
                 t + 1 - groups[g]);
    }
    groups[group]++;
    if (side != nullptr) side->buckets++;
    return;
  }
  // The group's count is full: the checksum leaves the groups' histograms
  // and keeps only its total.
  for (int g = 0; g < UNSEEN_GROUPS; g++)
    move_entry(&m_dfh_rep[g], &m_dfh_rep_size[g], t - groups[g], 0);
  if (side == nullptr) {
    side = &__to_side(fp, c);
    side->chunks = t + 1;  // this chunk too
  }
  side->buckets = t + 1;
  side->grouped = false;
  m_n_ungrouped++;
  m_big_buckets += t + 1;
}

void Estimator::__forget(fp_t fp, const dedupe_count_t& c) {
  const uint8_t* groups = c.buckets;
  unsigned long long t = c.n_buckets();
  bool grouped = true;
  SIDE_MAP::iterator it = m_dedupe_side.end();
  if (c.side()) {
    it = m_dedupe_side.find(fp);
    PELKO_ASSERT(it != m_dedupe_side.end());
    groups = it->second.groups;
    t = it->second.buckets;
    grouped = it->second.grouped;
  }
  move_entry(&m_dfh_array, &m_dfh_size, t, 0);
  if (grouped) {
    for (int g = 0; g < UNSEEN_GROUPS; g++)
      move_entry(&m_dfh_rep[g], &m_dfh_rep_size[g], t - groups[g], 0);
  } else {
    m_n_ungrouped--;
    m_big_buckets -= t;
  }
  if (it != m_dedupe_side.end()) m_dedupe_side.erase(it);
}

bool Estimator::__add_chunk_dedupe(fp_t fp, int group, bool first_in_bucket) {
  const bool zeros_protected =
      (m_params.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  dedupe_count_t* count;
  bool hit;
  if (!m_save_memory) {
    std::pair<DEDUPE_MAP::iterator, bool> ins =
        m_dedupe_map.emplace(fp, dedupe_count_t());
    count = &ins.first->second;
    hit = !ins.second;
  } else {
    const bool is_protected = zeros_protected && fp == m_zeros_crc;
    if (fp < m_lower_crc && !is_protected) {
      m_n_skipped_chunks++;
      return true;
    }
    DEDUPE_MAP::iterator it = m_dedupe_map.find(fp);
    if (it != m_dedupe_map.end()) {
      count = &it->second;
      hit = true;
    } else {
      // Evict the threshold entry and move the threshold to the next entry
      // above it. Two exceptions keep the threshold a valid entry that only
      // rises: a protected threshold stays in the map, and when the protected
      // checksum arrives below a threshold with no entry above it, nothing
      // could take the threshold's place, so it stays. Either way the map
      // grows by one, once for each exception.
      const fp_t l = m_lower_crc;
      DEDUPE_MAP::iterator t = m_dedupe_map.find(l);
      PELKO_ASSERT(t != m_dedupe_map.end());
      const bool above = fp > l || std::next(t) != m_dedupe_map.end();
      if (!(zeros_protected && l == m_zeros_crc) && above) {
        m_n_skipped_chunks += __chunks(t->first, t->second);
        __forget(t->first, t->second);
        if (m_keep_csize) m_csize.erase(t->first);
        if (m_by) m_label_map.erase(t->first);
        m_dedupe_map.erase(t);
      }
      count = &m_dedupe_map.emplace(fp, dedupe_count_t()).first->second;
      hit = false;
      if (above) {
        DEDUPE_MAP::const_iterator next = m_dedupe_map.upper_bound(l);
        PELKO_ASSERT(next != m_dedupe_map.end());
        m_lower_crc = next->first;  // reads only: count stays valid
      }
    }
  }

  if (!hit) {
    *count = dedupe_count_t();
    first_in_bucket = true;  // a new checksum's first bucket
  }
  if (first_in_bucket) {
    if (count->side()) m_dedupe_side.at(fp).chunks++;
    __count_bucket(fp, count, group);
  } else {
    // Again in the same bucket: one chunk more, no bucket more.
    side_count_t& side =
        count->side() ? m_dedupe_side.at(fp) : __to_side(fp, count);
    side.chunks++;
  }

  if (!m_save_memory && m_params.memory_limit != 0) __check_memory();
  return hit;
}

void Estimator::__check_memory() {
  if (++m_updates_since_check < m_env.memory_check_interval) return;
  m_updates_since_check = 0;
  size_t cur = 0;
  m_env.get_memory_usage(&cur, nullptr);
  if (cur <= m_params.memory_limit) return;
  // The warning must not land inside a row's moment: while rows are being
  // worked on it waits until they are out (the mode starts at once all the
  // same: rows can follow each other without a pause on a small data set).
  m_memory_warning = cur;
  if (!m_reporting) __print_memory_warning();
  m_save_memory = true;
  m_lower_crc = m_dedupe_map.begin()->first;  // holds the entry just counted
}

// ---------------------------------------------------------------------------
// Reports.

Estimator::counters_t Estimator::__counters() const {
  counters_t c;
  c.total_chunks = m_total_chunks;
  c.n_data_chunks = m_n_data_chunks;
  c.n_zero_chunks = m_n_zero_chunks;
  c.n_skipped_chunks = m_n_skipped_chunks;
  c.progress = m_progress;
  c.elapsed_time = m_elapsed_time;
  c.compressed_size = m_compressed_size;
  c.stored_size = m_stored_size;
  c.uncompressed_size = m_uncompressed_size;
  c.map_size = m_dedupe_map.size() + m_n_imported;
  c.map_first = m_dedupe_map.empty() ? 0 : m_dedupe_map.begin()->first;
  c.dfh_size = m_dfh_size;
  c.total_buckets = m_total_buckets;
  c.memory_cur = c.memory_peak = 0;
  m_env.get_memory_usage(&c.memory_cur, &c.memory_peak);
  c.n_printed_reports = m_n_printed_reports;
  c.n_buckets = m_next_seq;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    c.group_chunks[g] = m_group_chunks[g];
    c.group_zeros[g] = m_group_zeros[g];
    c.group_compressed[g] = m_group_compressed[g];
    c.group_uncompressed[g] = m_group_uncompressed[g];
  }
  return c;
}

void Estimator::__queue_report() {
  m_n_printed_reports++;
  const bool dedupe = (m_params.estimate_mask & ESTIMATE_DEDUPE) != 0;
  if (m_params.debug > 0 || !dedupe) {
    // Cheap, or with debug lines that belong inside the row: print now.
    // (Nothing is ever queued in this mode.)
    const counters_t c = __counters();
    double r = -1.0, r_low = -1.0, r_high = -1.0;
    __print_header(c.n_printed_reports, false);
    __print_progress(c, true);
    if (dedupe) {
      dfh_set_t dfh;
      __snapshot(&dfh);
      __analyze_dfh(c, dfh, &r, &r_low, &r_high);
    }
    __print_report(c, r, r_low, r_high);
    __check_width(c, r, r_low, r_high);
    return;
  }
  m_reports.emplace_back();
  report_t& rep = m_reports.back();
  rep.c = __counters();
  __snapshot(&rep.dfh);
  // With a target width the row decides whether the run goes on: no
  // bucket past it is counted until it has.
  if (m_params.target_width > 0 && m_ordered) m_paused = true;
}

void Estimator::__check_width(const counters_t& c, double r, double r_low,
                              double r_high) {
  if (!(m_params.target_width > 0) || !m_ordered || !m_stop_reason.empty())
    return;
  const summary_t s = compute_summary(__summary_input(c, r, r_low, r_high));
  const double p = m_params.target_width;
  const summary_figure_t& t = s.ratio;
  const bool within = t.value > 0 && std::isfinite(t.value) && t.at_low > 0 &&
                      t.at_high > 0 && std::isfinite(t.at_high) &&
                      t.at_low >= t.value * (1 - p) &&
                      t.at_high <= t.value * (1 + p);
  m_rows_within = within ? m_rows_within + 1 : 0;
  // Three rows in a row, the last of them past 1 % of the plan.
  if (m_rows_within >= 3 && c.progress > 0.01) {
    m_final_limit = c.n_buckets;
    __stop("the range reached \u00b1" + number_text(p * 100) + " %");
  }
}

void Estimator::__snapshot(dfh_set_t* out) const {
  out->all = m_dfh_array;
  out->all.resize(m_dfh_size);
  out->all_size = m_dfh_size;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    const size_t n = std::min(m_dfh_rep_size[g], m_dfh_rep[g].size());
    out->rep[g] = m_dfh_rep[g];
    out->rep[g].resize(n);
    out->rep_size[g] = n;
  }
  out->n_big = m_n_ungrouped;
  out->big_buckets = m_big_buckets;
}

void Estimator::__drain_reports() {
  if (m_reporting) return;
  m_reporting = true;
  while (!m_reports.empty()) {
    report_t rep = std::move(m_reports.front());
    m_reports.pop_front();
    double r = -1.0, r_low = -1.0, r_high = -1.0;
    m_mutex.unlock();
    __analyze_dfh(rep.c, rep.dfh, &r, &r_low, &r_high);
    m_mutex.lock();
    __print_header(rep.c.n_printed_reports, false);
    __print_progress(rep.c, true);
    __print_report(rep.c, r, r_low, r_high);
    if (m_paused && m_reports.empty()) {
      __check_width(rep.c, r, r_low, r_high);
      m_paused = false;
      __advance_window();
    }
  }
  m_reporting = false;
  if (m_memory_warning != 0) __print_memory_warning();
}

void Estimator::__print_memory_warning() {
  const std::string used = memory_to_str(m_memory_warning, INVALID_SIZE_T);
  printer << std::endl << std::endl;
  printer << "WARNING: Memory limit reached." << std::endl;
  printer << "Used memory:" << used << std::endl;
  printer << std::endl << std::endl;
  printer.echo_warning(
      "WARNING: Memory limit reached. Used memory: " + used,
      "the memory limit (-M) was reached at " + used +
          ": the dedupe figures rest on a part of the fingerprints, "
          "scaled up, and are less precise");
  m_memory_warning = 0;
}

// The rest of a periodic row, after its progress part.
void Estimator::__print_report(const counters_t& c, double r, double r_low,
                               double r_high) const {
  __print_row_end(c, r, r_low, r_high);
  if (m_params.debug > 0) printer << std::endl;
  __record_row(c, r, r_low, r_high, false);
  __warn_collisions(c, r);
}

bool Estimator::__compact() const {
  return printer.console_compact() && m_params.debug == 0;
}

void Estimator::__print_row_end(const counters_t& c, double r, double r_low,
                                double r_high) const {
  const int mask = m_params.estimate_mask;
  const bool compact = __compact();
  // The full layout, to the report file alone when the console has its own.
  if (compact) printer.set_to_console(false);
  if (mask & ESTIMATE_DEDUPE) __print_dedupe(r, r_low, r_high);
  if (mask & ESTIMATE_COMPRESS) __print_compress(c);
  __print_zeros(c);
  printer << std::endl;
  if (!compact) return;
  printer.set_to_console(true);
  compact_row_t row;
  row.elapsed = (long long)c.elapsed_time;
  row.bytes = (c.n_data_chunks + c.n_zero_chunks) * m_params.chunk_size;
  row.progress = c.progress;
  row.dedupe = (mask & ESTIMATE_DEDUPE) != 0;
  row.r = r;
  row.r_low = r_low;
  row.r_high = r_high;
  row.compress = (mask & ESTIMATE_COMPRESS) != 0;
  row.compress_ratio = c.compressed_size != 0
                           ? (double)c.uncompressed_size / c.compressed_size
                           : 0.0;
  const size_t n = c.n_data_chunks + c.n_zero_chunks;
  row.zeros = n != 0 ? (double)c.n_zero_chunks / n : 0.0;
  printer.set_to_file(false);
  printer.start_console_line();
  printer << compact_row(row) << std::endl;
  printer.set_to_file(true);
}

Estimator::row_t Estimator::__row(const counters_t& c, double r, double r_low,
                                  double r_high, bool final) const {
  row_t row;
  row.final = final;
  row.progress = c.progress;
  row.n_data_chunks = c.n_data_chunks;
  row.n_zero_chunks = c.n_zero_chunks;
  row.n_distinct = c.map_size;
  const double f = std::min(1.0, c.progress);
  row.n_buckets = (size_t)std::max(1.0, round(f * (double)c.total_buckets));
  const int mask = m_params.estimate_mask;
  const bool dedupe = (mask & ESTIMATE_DEDUPE) != 0;
  row.r = dedupe ? r : -1;
  row.r_low = dedupe ? r_low : -1;
  row.r_high = dedupe ? r_high : -1;
  group_totals_t z, k;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    z.parts[g] = c.group_zeros[g];
    z.wholes[g] = c.group_chunks[g];
    k.parts[g] = c.group_uncompressed[g];
    k.wholes[g] = c.group_compressed[g];
  }
  const range_t zr = share_range(z, f, row.n_buckets);
  row.zeros = zr.value < 0 ? 0.0 : zr.value;
  row.zeros_low = zr.low;
  row.zeros_high = zr.high;
  row.compress = row.compress_low = row.compress_high = -1;
  if (mask & ESTIMATE_COMPRESS) {
    const range_t kr = ratio_range(k, f, row.n_buckets);
    row.compress = kr.value;
    row.compress_low = kr.low;
    row.compress_high = kr.high;
  }
  return row;
}

void Estimator::__record_row(const counters_t& c, double r, double r_low,
                             double r_high, bool final) const {
  if (!record.active() && m_env.on_row == nullptr) return;
  const row_t fig = __row(c, r, r_low, r_high, final);
  if (m_env.on_row != nullptr) {
    row_t with_total = fig;
    const summary_t s = compute_summary(__summary_input(c, r, r_low, r_high));
    with_total.total = s.ratio.value;
    with_total.total_low = s.ratio.at_low;
    with_total.total_high = s.ratio.at_high;
    m_env.on_row(with_total, m_env.on_row_arg);
  }
  if (!record.active()) return;
  record_row_t row;
  row.final = final;
  row.elapsed = (double)c.elapsed_time;
  row.progress = c.progress * 100;
  row.bytes = (c.n_data_chunks + c.n_zero_chunks) * m_params.chunk_size;
  // As the row shows it: whole bytes per whole second.
  if (c.elapsed_time > 0)
    row.bandwidth = (double)(row.bytes / (size_t)c.elapsed_time);
  row.memory = c.memory_cur;
  row.memory_peak = c.memory_peak;
  row.dedupe = (m_params.estimate_mask & ESTIMATE_DEDUPE) != 0;
  row.r = r;
  row.r_low = r_low;
  row.r_high = r_high;
  row.compress = (m_params.estimate_mask & ESTIMATE_COMPRESS) != 0;
  row.compress_ratio = c.compressed_size != 0
                           ? (double)c.uncompressed_size / c.compressed_size
                           : 0.0;
  row.compress_low = fig.compress_low;
  row.compress_high = fig.compress_high;
  const size_t n = c.n_data_chunks + c.n_zero_chunks;
  row.zeros = n != 0 ? 100.0 * c.n_zero_chunks / n : 0.0;
  row.zeros_low = fig.zeros_low < 0 ? -1 : 100.0 * fig.zeros_low;
  row.zeros_high = fig.zeros_high < 0 ? -1 : 100.0 * fig.zeros_high;
  record.add_row(row);
}

void Estimator::finish() {
  const counters_t c = __counters();
  __print_progress(c, true);
  double r = -1.0, r_low = -1.0, r_high = -1.0;
  if (m_params.estimate_mask & ESTIMATE_DEDUPE) {
    dfh_set_t dfh;
    __snapshot(&dfh);
    __analyze_dfh(c, dfh, &r, &r_low, &r_high);
  }
  __print_row_end(c, r, r_low, r_high);
  __record_row(c, r, r_low, r_high, true);
  if (m_params.estimate_mask & ESTIMATE_DEDUPE) __warn_collisions(c, r);
  __print_summary(c, r, r_low, r_high);
}

summary_input_t Estimator::__summary_input(const counters_t& c, double r,
                                           double r_low, double r_high) const {
  summary_input_t in;
  // Set before reading begins, never changed after.
  Sampler* const sampler = m_sampler;
  if (m_imported) {
    in.total_size = m_import.total_size;
    in.reductible_size = m_import.reductible_size;
    in.total_files = m_import.total_files == UINT64_MAX
                         ? INVALID_SIZE_T
                         : (size_t)m_import.total_files;
    in.scan_stopped = m_import.scan_stopped;
    in.unread_size = m_import.unread_size;
    in.unread_files = m_import.unread_files;
    in.skipped_dirs = m_import.skipped_dirs;
  } else if (sampler != nullptr) {
    const Sampler::plan_totals_t t = sampler->get_plan_totals();
    in.total_size = t.total_size;
    in.reductible_size = t.reductible_size;
    in.total_files = t.total_files;
    in.scan_stopped = t.scan_stopped;
    in.unread_size = sampler->get_unread_size();
    in.unread_files = sampler->get_unread_files();
    in.skipped_dirs = sampler->get_skipped_dirs();
  } else {
    // Fed without a sampler (tests, the simulator): the plan is the chunk
    // count and the tails it was given.
    in.reductible_size = c.total_chunks * m_params.chunk_size;
    in.total_size = in.reductible_size + m_tail_bytes;
    in.total_files = INVALID_SIZE_T;
    in.scan_stopped = false;
    in.unread_size = in.unread_files = 0;
  }
  in.chunk_size = m_params.chunk_size;
  in.n_data_chunks = c.n_data_chunks;
  in.n_zero_chunks = c.n_zero_chunks;
  in.progress = c.progress;
  in.estimate_mask = m_params.estimate_mask;
  in.r = r;
  in.r_low = r_low;
  in.r_high = r_high;
  in.uncompressed_size = c.uncompressed_size;
  in.compressed_size = c.compressed_size;
  in.stored_size = c.stored_size;
  in.zero_chunk_compressed = m_zero_compressed;
  // The ranges of compression and zeros, as the row has them: the zero
  // share as it is, the compression ratio's relative range applied to the
  // summary's own ratio (stored sizes, zero chunks left out).
  const row_t row = __row(c, r, r_low, r_high, false);
  in.z_low = row.zeros_low;
  in.z_high = row.zeros_high;
  if (row.compress > 0) {
    const double k = compute_summary(in).compress_ratio;
    if (k > 0) {
      if (row.compress_low >= 0) in.c_low = k * row.compress_low / row.compress;
      if (row.compress_high >= 0) in.c_high = k * row.compress_high / row.compress;
    }
  }
  return in;
}

void Estimator::__print_summary(const counters_t& c, double r, double r_low,
                                double r_high) {
  summary_input_t in = __summary_input(c, r, r_low, r_high);
  {
    MutexLock lock(&m_mutex);
    in.stop_reason = m_stop_reason;
    m_summarized = true;
  }
  in.warnings = printer.summary_notes();
  const summary_t s = compute_summary(in);
  printer << std::endl << format_summary(in, s) << std::flush;
  record.write_summary(in, s);
  if (m_by) __print_breakdown(c, s.exact && !m_save_memory);
}

void Estimator::__print_breakdown(const counters_t& c, bool exact) {
  std::vector<breakdown_count_t> counts;
  {
    MutexLock lock(&m_mutex);
    counts = m_labels;
    for (const auto& e : m_label_map) {
      const uint32_t mask = e.second.mask;
      const double split = (double)e.second.stored / __builtin_popcount(mask);
      for (uint32_t m = mask; m != 0; m &= m - 1) {
        breakdown_count_t& l = counts[__builtin_ctz(m)];
        l.distinct++;
        l.stored += e.second.stored;
        l.physical += split;
      }
    }
    // After a partial run, each label's dedupe ratio from its own
    // histogram. The memory-saving mode keeps too few of a label's
    // entries to tell: the sample's ratio stands.
    if (!exact && !m_save_memory) {
      std::vector<dfh_set_t> dfh(counts.size());
      for (dfh_set_t& d : dfh) {
        d.all.assign(16, 0);
        d.all_size = 0;
        for (int g = 0; g < UNSEEN_GROUPS; g++) {
          d.rep[g].assign(16, 0);
          d.rep_size[g] = 0;
        }
        d.n_big = 0;
        d.big_buckets = 0;
      }
      for (const auto& e : m_label_map) {
        DEDUPE_MAP::const_iterator it = m_dedupe_map.find(e.first);
        if (it == m_dedupe_map.end()) continue;
        const unsigned long long t = __buckets(it->first, it->second);
        const uint8_t* groups = it->second.buckets;
        bool grouped = true;
        if (it->second.side()) {
          const side_count_t& side = m_dedupe_side.at(it->first);
          groups = side.groups;
          grouped = side.grouped;
        }
        for (uint32_t m = e.second.mask; m != 0; m &= m - 1) {
          dfh_set_t& d = dfh[__builtin_ctz(m)];
          move_entry(&d.all, &d.all_size, 0, t);
          if (!grouped) {
            d.n_big++;
            d.big_buckets += t;
            continue;
          }
          for (int g = 0; g < UNSEEN_GROUPS; g++)
            move_entry(&d.rep[g], &d.rep_size[g], 0, t - groups[g]);
        }
      }
      for (size_t i = 0; i < counts.size(); i++) {
        breakdown_count_t& l = counts[i];
        const dfh_set_t& d = dfh[i];
        const double total = breakdown_nonzero_total(l, m_params.chunk_size);
        const size_t data = l.chunks - l.zero_chunks;
        if (l.distinct == 0 || d.all_size < 2 || !(total >= (double)data) ||
            data == 0)
          continue;
        unseen_sample_t s = __sample_of(d);
        s.n_distinct = l.distinct;
        s.chunks = (double)(size_t)total;
        s.fraction = (double)data / total;
        s.n_buckets = c.total_buckets;
        const unseen_result_t u = unseen_estimate(s, m_params.alpha, 0);
        l.dedupe = u.r;
        l.dedupe_low = u.low;
        l.dedupe_high = u.high;
      }
    }
  }
  const double f = std::min(1.0, c.progress);
  const size_t buckets =
      (size_t)std::max(1.0, round(f * (double)c.total_buckets));
  const breakdown_t b = compute_breakdown(
      m_params.by, counts, m_params.chunk_size, c.progress, buckets, exact,
      (m_params.estimate_mask & ESTIMATE_COMPRESS) != 0);
  printer << std::endl << format_breakdown(b) << std::flush;
  record.write_breakdown(b);
}

void Estimator::__print_header(bool to_file) const {
  __print_header(m_n_printed_reports, to_file);
}

void Estimator::__print_header(int n_printed_reports, bool to_file) const {
  int height = -1;
  m_env.get_term_size(nullptr, &height);
  if (height <= 0) height = 60;
  // A console one row high would give a period of 0.
  const int period = std::max(1, height / 2);
  if (n_printed_reports % period != 0) return;

  const int mask = m_params.estimate_mask;
  const bool compact = __compact();
  if (!compact || to_file) {
    // The full layout, to the report file alone when the console has its
    // own.
    if (compact) printer.set_to_console(false);
    printer.set_to_file(to_file);
    printer << std::endl;
    printer << "\tPROGRESS\t\tBANDWIDTH\tMEMORY\t\t\t\t";
    if (mask & ESTIMATE_DEDUPE) printer << "low\t\tDEDUPE\t\thigh\t\t\t";
    if (mask & ESTIMATE_COMPRESS) printer << "COMPRESS\t\t";
    printer << "ZEROS\t\t\t" << std::endl;
    printer.set_to_file(true);
    printer.set_to_console(true);
  }
  if (compact) {
    printer.set_to_file(false);
    printer.start_console_line();
    printer << std::endl
            << compact_header((mask & ESTIMATE_DEDUPE) != 0,
                              (mask & ESTIMATE_COMPRESS) != 0)
            << std::endl;
    printer.set_to_file(true);
  }
}

void Estimator::__print_progress(bool to_file) const {
  __print_progress(__counters(), to_file);
}

void Estimator::__print_progress(const counters_t& c, bool to_file) const {
  // Lines rewritten in place are for a person watching a terminal.
  if (!to_file && !printer.console_is_terminal()) return;
  const size_t bytes = (c.n_data_chunks + c.n_zero_chunks) * m_params.chunk_size;
  if (__compact()) {
    if (!to_file) {
      // Cut to the terminal's width: a line that wraps cannot be rewritten.
      int width = -1;
      m_env.get_term_size(&width, nullptr);
      if (width <= 0) width = 80;
      const double rate = c.elapsed_time > 0
                              ? (double)(bytes / (size_t)c.elapsed_time)
                              : -1.0;
      printer.set_to_file(false);
      printer.start_console_line();
      printer << cut_to_width(
                     compact_progress((long long)c.elapsed_time, bytes,
                                      c.progress, rate,
                                      memory_to_str(c.memory_cur, c.memory_peak),
                                      __eta(c)),
                     width - 1)
              << std::flush;
      printer.set_to_file(true);
      return;
    }
    // A row: its start in the full layout goes to the report file; the
    // console's row comes whole with the rest (__print_row_end).
    printer.set_to_console(false);
  }
  char progress[64];
  snprintf(progress, sizeof(progress), "%s (%.3lf%%)",
           capacity_to_str(bytes).c_str(), c.progress * 100);
  char bandwidth[64] = "\t";
  if (c.elapsed_time > 0)
    snprintf(bandwidth, sizeof(bandwidth), "%s/s",
             capacity_to_str(bytes / (size_t)c.elapsed_time).c_str());

  printer.set_to_file(to_file);
  printer.start_console_line();
  printer << (long long)c.elapsed_time << "s.\t" << progress << "\t"
          << bandwidth << "\t" << memory_to_str(c.memory_cur, c.memory_peak)
          << "\t\t";
  if (!to_file) printer << __eta(c);
  printer << std::flush;
  printer.set_to_file(true);
  printer.set_to_console(true);
}

std::string Estimator::__eta(const counters_t& c) const {
  double target = 1.0;
  if (m_params.stop_at > 0 && m_params.stop_at < target)
    target = m_params.stop_at;
  double left = -1.0;
  if (c.progress > 0 && c.elapsed_time > 0)
    left = std::max(0.0, (target - c.progress) * (double)c.elapsed_time /
                             c.progress);
  if (m_params.time_limit > 0) {
    const double budget =
        std::max(0.0, m_params.time_limit - (double)c.elapsed_time);
    if (left < 0 || budget < left) left = budget;
  }
  return eta_to_str(left);
}

size_t Estimator::__dedupe_total(const counters_t& c, size_t* sample) const {
  if (m_params.estimate_mask & ESTIMATE_DEDUPE_ZEROS) {
    *sample = c.n_data_chunks + c.n_zero_chunks;
    return c.total_chunks;
  }
  // The estimated number of non-zero chunks in the whole data set.
  *sample = c.n_data_chunks;
  if (c.progress == 0) return 0;
  double t = (double)c.total_chunks - (double)c.n_zero_chunks / c.progress;
  return t > 0 ? (size_t)t : 0;
}

void Estimator::__warn_collisions(const counters_t& c, double r) const {
  if (m_collisions_warned || m_fingerprint64 || !(r > 0)) return;
  size_t sample;
  // Distinct chunks of the data set, and the share of them that 32-bit
  // checksums merge by chance: about n / 2^33.
  const double distinct = (double)__dedupe_total(c, &sample) / r;
  const double share = distinct / 8589934592.0;
  if (!(share > 0.005)) return;
  m_collisions_warned = true;
  char text[256];
  snprintf(text, sizeof(text),
           "WARNING: With about %.3g distinct chunks, 32-bit checksums merge "
           "about %.1f%% of them by chance, which raises the dedupe ratio by "
           "as much. Run with --fingerprint 64 to tell them apart.",
           distinct, 100 * share);
  char note[256];
  snprintf(note, sizeof(note),
           "32-bit checksums merge about %.1f%% of the distinct chunks by "
           "chance: the dedupe ratio is that much too high (--fingerprint 64 "
           "tells them apart)",
           100 * share);
  printer.warning(text, note);
}

unseen_sample_t Estimator::__sample_of(const dfh_set_t& dfh) {
  unseen_sample_t s;
  s.dfh = &dfh.all;
  s.dfh_size = dfh.all_size;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    s.replicate[g] = &dfh.rep[g];
    s.replicate_size[g] = dfh.rep_size[g];
  }
  s.n_fixed = dfh.n_big;
  s.fixed_occurrences = (double)dfh.big_buckets;
  return s;
}

void Estimator::__analyze_dfh(double* r, double* r_low, double* r_high) const {
  dfh_set_t dfh;
  __snapshot(&dfh);
  __analyze_dfh(__counters(), dfh, r, r_low, r_high);
}

void Estimator::__analyze_dfh(const counters_t& c, const dfh_set_t& dfh,
                              double* r, double* r_low, double* r_high) const {
  *r = *r_low = *r_high = -1.0;
  if (c.progress == 0) return;

  size_t sample;
  const size_t total = __dedupe_total(c, &sample);
  if (total == 0 || sample == 0) return;

  const int debug = m_params.debug;
  if (debug > 0) {
    printer << std::endl;
    printer << "dedupe_map.size=" << c.map_size << std::endl;
    printer << "#data_chunks=" << c.n_data_chunks
            << ", #zero_chunks=" << c.n_zero_chunks << std::endl;
    printer << "#total_chunks=" << total << ", #sample_chunks=" << sample;
    if (c.n_skipped_chunks != 0)
      printer << ", #skipped_chunks=" << c.n_skipped_chunks << "("
              << 100.0 * c.n_skipped_chunks / sample << "%)";
    printer << std::endl;
  }
  if (debug > 1 && c.map_size != 0)
    printer << "lower_crc=" << c.map_first << std::endl;

  // The share of the sample that the histogram represents.
  const double k = 1.0 - (double)c.n_skipped_chunks / sample;
  const double n = (double)total * k;
  if (!(n >= 1.0) || dfh.all_size < 2) return;  // nothing to extrapolate from

  unseen_sample_t s = __sample_of(dfh);
  s.n_distinct = c.map_size;
  s.chunks = (double)(size_t)n;
  s.fraction = (double)sample / (double)total;
  s.n_buckets = c.total_buckets;
  const unseen_result_t e = unseen_estimate(s, m_params.alpha, debug);
  *r = e.r;
  *r_low = e.low;
  *r_high = e.high;

  // The memory-saving mode keeps the zero chunks' checksum whatever its
  // value: they are all represented, the other chunks only in part. The
  // represented share k then overstates the share of the other chunks'
  // contents kept, and (total k) / distinct would overstate the ratio, by
  // 40 % with a quarter of the chunks zero. Scale the other contents alone.
  if (c.n_skipped_chunks == 0) return;
  const bool zeros_kept = (m_params.estimate_mask & ESTIMATE_DEDUPE_ZEROS) &&
                          c.n_zero_chunks != 0;
  double k_other = k;
  if (zeros_kept) {
    const double other = (double)(sample - c.n_zero_chunks);
    k_other = other > 0 ? 1.0 - (double)c.n_skipped_chunks / other : 0;
    for (double* x : {r, r_low, r_high}) {
      if (!(*x > 0)) continue;
      if (!(k_other > 0)) {
        *x = -1.0;
        continue;
      }
      const double distinct = s.chunks / *x;  // of the represented chunks
      *x = std::max(1.0, (double)total / (1.0 + (distinct - 1.0) / k_other));
    }
  }
  // The map keeps only the checksums above a threshold: the contents it
  // holds are a sample of the data set's contents by checksum, each with
  // every occurrence, and the ratio is their mean number of chunks. That
  // sample's own error (the spread of those counts over the square root of
  // how many were kept, without replacement) widens the range, a complete
  // read included: the figure is an estimate and says so.
  if (!(*r > 0)) return;
  double kept = 0, sum = 0, sq = 0;
  dfh.all.for_each(1, dfh.all_size, [&](size_t i, int64_t v) {
    kept += (double)v;
    sum += (double)v * (double)i;
    sq += (double)v * (double)i * (double)i;
  });
  if (!(kept > 1) || !(sum > 0)) return;
  const double mean = sum / kept;
  const double cv = sqrt(std::max(0.0, sq / kept - mean * mean)) / mean;
  const double rel =
      JACKKNIFE_T * cv / sqrt(kept) * sqrt(std::max(0.0, 1.0 - k_other));
  *r_low = (*r_low > 0 ? *r_low : *r) / (1.0 + rel);
  *r_low = std::max(1.0, *r_low);
  *r_high = (*r_high > 0 ? *r_high : *r) * (1.0 + rel);
}

void Estimator::__print_dedupe(double r, double r_low, double r_high) const {
  const int debug = m_params.debug;
  // The debug lines ended the row; move back under the titles.
  if (debug > 0) printer.console() << TEN_TABS;

  if (r_low != -1.0 || debug > 0)
    printer << r_low;
  else
    printer << " ";
  printer << "\t\t";

  if (debug > 0 || r_high - r_low < 1e-5)
    printer << r;
  else if (r - r_low < 1e-5)
    printer << "<--";
  else if (r_high - r < 1e-5)
    printer << "-->";
  else
    printer << r;
  printer << "\t\t";

  if (r_high != -1.0 || debug > 0)
    printer << r_high;
  else
    printer << " ";
  printer << "\t\t\t" << std::flush;
}

void Estimator::__print_compress(const counters_t& c) const {
  double ratio = c.compressed_size != 0
                     ? (double)c.uncompressed_size / c.compressed_size
                     : 0.0;
  printer << ratio << "\t\t\t" << std::flush;
}

void Estimator::__print_zeros(const counters_t& c) const {
  const size_t n = c.n_data_chunks + c.n_zero_chunks;
  double value = n != 0 ? 100.0 * c.n_zero_chunks / n : 0.0;
  printer << value << "%" << std::flush;
}

// ---------------------------------------------------------------------------
// Exports and merges.

void Estimator::get_export_header(sample_header_t* h) const {
  MutexLock lock(&m_mutex);
  h->chunk_size = m_params.chunk_size;
  h->estimate_mask = m_params.estimate_mask &
                     (ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS);
  h->fingerprint_bits = m_fingerprint64 ? 64 : 32;
  h->n_threads = (uint64_t)m_params.n_threads;
  h->total_chunks = m_total_chunks;
  h->total_buckets = m_total_buckets;
  h->n_data_chunks = m_n_data_chunks;
  h->n_zero_chunks = m_n_zero_chunks;
  h->n_skipped_chunks = m_n_skipped_chunks;
  h->compressed_size = m_compressed_size;
  h->uncompressed_size = m_uncompressed_size;
  h->save_memory = m_save_memory;
  h->lower_fp = m_save_memory ? m_lower_crc : 0;
  h->stop_at = m_params.stop_at;
  h->stop_reason = m_stop_reason;
  h->n_entries = m_dedupe_map.size();
}

void Estimator::for_each_entry(void (*func)(const sample_entry_t& e, void* arg),
                               void* arg) const {
  MutexLock lock(&m_mutex);
  CSIZE_MAP::const_iterator cs = m_csize.begin();
  for (const auto& kv : m_dedupe_map) {
    sample_entry_t e;
    e.fp = kv.first;
    const dedupe_count_t& c = kv.second;
    if (!c.side()) {
      e.chunks = e.buckets = c.n_buckets();
      for (int g = 0; g < UNSEEN_GROUPS; g++) e.groups[g] = c.buckets[g];
    } else {
      const side_count_t& side = m_dedupe_side.at(kv.first);
      e.chunks = side.chunks;
      e.buckets = side.buckets;
      e.grouped = side.grouped;
      for (int g = 0; g < UNSEEN_GROUPS; g++)
        e.groups[g] = side.grouped ? side.groups[g] : 0;
    }
    if (m_keep_csize) {
      // Both maps are in fingerprint order, and every entry has its size.
      while (cs != m_csize.end() && cs->first < kv.first) ++cs;
      PELKO_ASSERT(cs != m_csize.end() && cs->first == kv.first);
      e.csize = cs->second;
    }
    func(e, arg);
  }
}

void Estimator::import_entry(const sample_entry_t& e) {
  MutexLock lock(&m_mutex);
  PELKO_ASSERT(e.buckets >= 1);
  m_imported = true;
  m_n_imported++;
  m_stored_size += (size_t)std::min<uint64_t>(e.csize, m_params.chunk_size);
  move_entry(&m_dfh_array, &m_dfh_size, 0, (size_t)e.buckets);
  if (!e.grouped) {
    m_n_ungrouped++;
    m_big_buckets += e.buckets;
    return;
  }
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    PELKO_ASSERT(e.groups[g] <= e.buckets);
    move_entry(&m_dfh_rep[g], &m_dfh_rep_size[g], 0,
               (size_t)(e.buckets - e.groups[g]));
  }
}

void Estimator::import_totals(const sample_header_t& h) {
  MutexLock lock(&m_mutex);
  m_imported = true;
  m_import = h;
  m_start_time = m_env.get_time();
  m_start_seconds = m_env.get_seconds();
  m_total_chunks = (size_t)h.total_chunks;
  m_total_buckets = h.total_buckets != 0 ? (size_t)h.total_buckets
                                         : (size_t)h.total_chunks;
  m_n_data_chunks = (size_t)h.n_data_chunks;
  m_n_zero_chunks = (size_t)h.n_zero_chunks;
  m_n_skipped_chunks = (size_t)h.n_skipped_chunks;
  m_compressed_size = (size_t)h.compressed_size;
  // Without a compressed size per entry, the totals are all there is.
  if (!sample_has_csize(h.estimate_mask))
    m_stored_size = std::min(m_compressed_size, (size_t)h.uncompressed_size);
  m_uncompressed_size = (size_t)h.uncompressed_size;
  const size_t analysed = m_n_data_chunks + m_n_zero_chunks;
  m_progress = m_total_chunks != 0 ? (double)analysed / m_total_chunks : 1.0;
  m_stop_reason = h.stop_reason;
  printer << "MERGED" << std::endl;
  __print_header(true);
}
