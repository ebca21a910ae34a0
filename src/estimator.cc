#include "estimator.h"

#include <xxhash.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "crc.h"
#include "format.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "interrupt.h"
#include "mutex.h"
#include "ranges.h"
#include "record.h"
#include "sampler.h"
#include "summary.h"
#include "thread_object.h"

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

const char* const TEN_TABS = "\t\t\t\t\t\t\t\t\t\t";

// The checksums a reading thread has met in the bucket it is reading: a
// bucket is read by one thread, its chunks in order, so a repeat within it
// is told from a first occurrence without any lock or per-checksum memory.
class BucketChecksums {
 public:
  // True the first time fp is met in bucket seq of owner's run. capacity:
  // chunks per bucket.
  bool first(uint64_t owner, size_t seq, uint64_t fp, size_t capacity) {
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
  uint64_t m_owner = 0;
  size_t m_seq = 0;
  uint32_t m_stamp = 0;
  std::vector<slot_t> m_slots;
};

std::atomic<uint64_t> g_next_estimator_id(1);

}  // namespace

// What a reading thread keeps for one Estimator it delivers to: a thread
// may deliver the chunks of one bucket to several Estimators in turn.
struct Estimator::thread_state_t {
  uint64_t owner = 0;  // Estimator::m_id
  reader_t reader;
  BucketChecksums checksums;
};

Estimator::thread_state_t& Estimator::__thread_state() const {
  // A thread delivers to a few Estimators at a time; those that are gone
  // give up their place in turn.
  static const size_t kStates = 64;
  struct states_t {
    std::vector<std::unique_ptr<thread_state_t>> states;
    size_t next_reuse = 0;
  };
  states_t& t = thread_object<states_t>();
  std::vector<std::unique_ptr<thread_state_t>>& states = t.states;
  for (const std::unique_ptr<thread_state_t>& st : states)
    if (st->owner == m_id) return *st;
  if (states.size() < kStates) {
    states.emplace_back(new thread_state_t);
    states.back()->owner = m_id;
    return *states.back();
  }
  std::unique_ptr<thread_state_t>& st = states[t.next_reuse++ % kStates];
  st.reset(new thread_state_t);
  st->owner = m_id;
  return *st;
}

Estimator::env_t::env_t()
    : get_memory_usage(os_get_memory_usage),
      get_term_size(os_get_term_size),
      get_time(monotonic_seconds),
      get_seconds(monotonic_seconds_precise),
      memory_check_interval(1024),
      on_row(nullptr),
      on_row_arg(nullptr),
      report(true),
      on_stop(nullptr),
      on_stop_arg(nullptr),
      summary_tail(nullptr),
      summary_tail_arg(nullptr),
      aux_given(false) {}

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
      m_id(g_next_estimator_id++),
      m_n_printed_reports(0),
      m_reporting(false),
      m_sampler(nullptr),
      m_summarized(false),
      m_start_seconds(0),
      m_by(false),
      m_counted_label(nullptr),
      m_keep_csize(!params.export_file.empty() &&
                   sample_has_csize(params.estimate_mask)),
      m_imported(false),
      m_n_imported(0),
      m_codecs(config_codecs(params)),
      m_general(m_codecs.size() > 1 || params.sample_first),
      m_aux_mode(!m_general                ? AUX_NONE
                 : !params.sample_first    ? AUX_OWN
                 : env.aux_given           ? AUX_GIVEN
                                           : AUX_NONE),
      m_need_entropy(false),
      m_adapt_next(0),
      m_candidates(0),
      m_final(),
      m_final_r(-1),
      m_final_r_low(-1),
      m_final_r_high(-1),
      m_have_plan(false) {
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
  for (const codec_t& codec : m_codecs)
    m_zero_compressed_by.push_back(
        codec_compressed_size(codec, m_zeros.get(), params.chunk_size));
  m_zero_compressed = m_zero_compressed_by[0];
  m_zeros_crc = __fingerprint(m_zeros.get());
  m_samples.resize(m_codecs.size());
  m_sample_csize.resize(m_codecs.size());
  for (size_t c = 0; c < m_codecs.size(); c++) {
    const bool sampled = c > 0 || params.sample_first;
    // Only where the figure's compressor leaves the entropy coding to do:
    // beside a first compressor that codes its literals too, the bytes'
    // entropy only blurs a figure that already follows them (zstd:3 beside
    // a first zstd:1 at 4 KiB: a share of 3.1 % with it, 0.78 % without).
    m_aux_entropy.push_back(m_aux_mode != AUX_NONE && sampled &&
                            m_codecs[c].kind != CODEC_LZ4 &&
                            m_codecs[0].kind == CODEC_LZ4);
    m_need_entropy = m_need_entropy || m_aux_entropy.back();
    int parent = -1;
    for (size_t j = 0; j < c && parent < 0; j++)
      if ((j > 0 || params.sample_first) && m_chain[j] < 0 &&
          m_codecs[j].kind == m_codecs[c].kind && m_codecs[j].kind != CODEC_LZ4)
        parent = (int)j;
    m_chain.push_back(parent);
  }
}

Estimator::~Estimator() {}

Estimator::fp_t Estimator::__fingerprint(const unsigned char* chunk) const {
  const size_t n = m_params.chunk_size;
  const fp_t crc = memcrc(chunk, n);
  if (!m_fingerprint64) return crc;
  return crc << 32 | (uint32_t)XXH3_64bits(chunk, n);
}

void Estimator::attach(Sampler* sampler) {
  MutexLock lock(&m_mutex);
  m_sampler = sampler;
  if (!m_stop_reason.empty()) sampler->request_stop();  // stopped already
}

Estimator::plan_t Estimator::plan_of(const Sampler& sampler) const {
  plan_t plan;
  plan.total_chunks = sampler.get_total_chunks(m_params.chunk_size);
  plan.total_buckets = sampler.get_total_buckets();
  plan.chunks_per_bucket = m_chunks_per_bucket;
  // Buckets hold fewer chunks of a larger size than the plan's own where
  // they hold the smaller sizes' pieces: rows follow the chunks of this
  // size that a bucket holds on average.
  if (m_params.chunk_size != sampler.chunk_size() && plan.total_buckets > 0 &&
      plan.total_chunks > 0)
    plan.mean_chunks_per_bucket =
        (double)plan.total_chunks / (double)plan.total_buckets;
  return plan;
}

void Estimator::start(Sampler* sampler) {
  attach(sampler);
  begin(plan_of(*sampler));
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
  m_rows_cpb = plan.mean_chunks_per_bucket > 0 ? plan.mean_chunks_per_bucket
                                               : (double)plan.chunks_per_bucket;
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
  const double k = ceil(chunks / m_rows_cpb - 1e-9);
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

bool Estimator::stop(const std::string& reason, size_t final_buckets) {
  MutexLock lock(&m_mutex);
  if (final_buckets != 0 && final_buckets < m_final_limit)
    m_final_limit = final_buckets;
  if (m_summarized || !m_stop_reason.empty()) return false;
  if (final_buckets != 0 && m_ordered && m_in_order &&
      m_next_seq < final_buckets) {
    // At the row: __advance_window stops there.
    m_stop_buckets = std::min(m_stop_buckets, final_buckets);
    m_limit_reason = reason;
    return true;
  }
  __stop(reason);
  return true;
}

void Estimator::set_bucket_limit(size_t n, const std::string& reason) {
  MutexLock lock(&m_mutex);
  m_stop_buckets = n == 0 ? SIZE_MAX : n;
  m_final_limit = m_stop_buckets;
  m_limit_reason = reason;
}

void Estimator::__stop(const std::string& reason) {
  if (!m_stop_reason.empty()) return;
  m_stop_reason = reason;
  if (m_sampler != nullptr) m_sampler->request_stop();
  if (m_env.on_stop != nullptr)
    m_env.on_stop(reason,
                  m_ordered && m_final_limit != SIZE_MAX ? m_final_limit : 0,
                  m_env.on_stop_arg);
  // An early end that is not a row's: what has been read counts, held
  // buckets included, and nothing waits any more.
  if (m_ordered && m_in_order) __count_all_held();
}

void Estimator::__count_all_held() {
  m_in_order = false;
  for (const auto& kv : m_held)
    if (kv.first < m_final_limit) __count_held(kv.first, kv.second);
  m_held.clear();
  m_held_chunks = 0;
  m_held_cv.broadcast();
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
  if (m_params.estimate_mask & ESTIMATE_COMPRESS) {
    MutexLock lock(&m_mutex);
    for (size_t c = 0; c < m_codecs.size(); c++)
      if (c > 0 || m_params.sample_first)
        m_samples[c] = CompressSample(m_params.compress_share,
                                      m_params.chunk_size,
                                      m_aux_mode != AUX_NONE);
    for (size_t c = 0; c < m_codecs.size(); c++)
      if (m_chain[c] >= 0 && m_aux_mode != AUX_NONE)
        m_samples[c].chain_to(&m_samples[(size_t)m_chain[c]]);
  }
  if (!m_env.report) return;
  printer << "ANALYZING" << std::endl;
  __print_header(true);
}

namespace {

struct chunk_bytes_t {
  const unsigned char* data;
  size_t size;
};

struct chunk_codecs_t {
  chunk_bytes_t bytes;
  const std::vector<codec_t>* codecs;
};

size_t chunk_bytes_compressed(const void* arg, int codec) {
  const chunk_codecs_t* c = static_cast<const chunk_codecs_t*>(arg);
  if (codec == Estimator::AUX_ENTROPY)
    return (size_t)(65536 * byte_entropy(c->bytes.data, c->bytes.size));
  const codec_t& k = (*c->codecs)[(size_t)codec];
  // The default is called directly: it is the one every chunk may need.
  if (k.kind == CODEC_LZ4) return lz4_compressed_size(c->bytes.data, c->bytes.size);
  return codec_compressed_size(k, c->bytes.data, c->bytes.size);
}

// A compressed-size function of one compressor, as one of several.
struct one_codec_t {
  size_t (*func)(const void* arg);
  const void* arg;
};

size_t one_codec_compressed(const void* arg, int) {
  const one_codec_t* c = static_cast<const one_codec_t*>(arg);
  return c->func(c->arg);
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
  static_cast<Estimator*>(cb_arg)->__thread_state().reader.label = label;
}

void Estimator::add_chunk(const unsigned char* chunk_data, size_t bucket_seq) {
  const size_t chunk_size = m_params.chunk_size;
  const int mask = m_params.estimate_mask;
  const bool is_zero = memcmp(chunk_data, m_zeros.get(), chunk_size) == 0;
  // The checksum is taken only where the map needs it.
  const bool counted = (mask & ESTIMATE_DEDUPE) &&
                       (!is_zero || (mask & ESTIMATE_DEDUPE_ZEROS));
  // Sampled compression chooses chunks by their fingerprint, dedupe or not.
  const fp_t fp =
      (counted || m_general) && !is_zero ? __fingerprint(chunk_data) : 0;
  const chunk_codecs_t bytes{{chunk_data, chunk_size}, &m_codecs};
  add_fingerprint(fp, is_zero, bucket_seq, chunk_bytes_compressed, &bytes);
}

void Estimator::add_fingerprint(fp_t fp, bool is_zero, size_t bucket_seq,
                                size_t (*compressed_size)(const void* arg),
                                const void* arg) {
  const one_codec_t one{compressed_size, arg};
  add_fingerprint(fp, is_zero, bucket_seq, one_codec_compressed, &one);
}

void Estimator::add_fingerprint(fp_t fp, bool is_zero, size_t bucket_seq,
                                size_t (*compressed_size)(const void* arg,
                                                          int codec),
                                const void* arg) {
  const int mask = m_params.estimate_mask;
  const int group = (int)(bucket_seq % UNSEEN_GROUPS);
  const bool counted = (mask & ESTIMATE_DEDUPE) &&
                       (!is_zero || (mask & ESTIMATE_DEDUPE_ZEROS));
  if (is_zero) fp = m_zeros_crc;
  thread_state_t& ts = __thread_state();
  const bool first =
      counted && ts.checksums.first(m_id, bucket_seq, fp, m_chunks_per_bucket);
  const size_t n_codecs = m_codecs.size();
  bool want[MAX_CODECS];
  size_t sizes[MAX_CODECS];

  Relock lock(&m_mutex);
  reader_t& rd = ts.reader;
  if (rd.owner != this || rd.seq != bucket_seq) {
    lock.lock();
    rd.owner = this;
    rd.seq = bucket_seq;
    rd.held = m_ordered &&
              ((m_in_order && (m_paused || bucket_seq != m_next_seq)) ||
               bucket_seq >= m_final_limit);
    rd.bucket.clear();
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
                   !__in_map(fp);
    }
    held_chunk_t h;
    h.fp = fp;
    h.flags = (uint8_t)((is_zero ? HELD_ZERO : 0) | (first ? HELD_FIRST : 0) |
                        (counted ? HELD_COUNTED : 0));
    h.label = rd.label;
    h.csize = 0;
    h.sizes_at = NO_SIZES;
    if ((mask & ESTIMATE_COMPRESS) && may_be_new) {
      if (!m_general) {
        lock.unlock();
        h.csize = (uint32_t)compressed_size(arg, 0);
      } else {
        lock.lock();
        const bool any = __want_sizes(fp, want) || __always_measure();
        lock.unlock();
        if (any) {
          h.sizes_at = (uint32_t)rd.bucket.sizes.size();
          for (size_t c = 0; c < n_codecs; c++)
            sizes[c] = want[c] ? compressed_size(arg, (int)c) : 0;
          for (size_t c = 0; c < n_codecs; c++)
            rd.bucket.sizes.push_back(want[c] ? (uint32_t)sizes[c]
                                              : NOT_MEASURED);
          // Then the auxiliary figures.
          const aux_t aux = __aux_size(want, sizes, compressed_size, arg);
          rd.bucket.sizes.push_back((uint32_t)aux.stored);
          rd.bucket.sizes.push_back((uint32_t)aux.entropy);
        }
      }
    }
    lock.unlock();
    rd.bucket.chunks.push_back(h);
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
    __count_label(is_zero, rd.label, group);
  }
  if ((mask & ESTIMATE_COMPRESS) && !hit) {
    if (!m_general) {
      lock.unlock();
      const size_t n = compressed_size(arg, 0);
      lock.lock();
      __count_compressed(fp, counted, n, group, rd.label);
    } else {
      lock.lock();
      m_candidates++;
      if (__want_sizes(fp, want) || __always_measure()) {
        lock.unlock();
        for (size_t c = 0; c < n_codecs; c++)
          sizes[c] = want[c] ? compressed_size(arg, (int)c) : 0;
        const aux_t aux = __aux_size(want, sizes, compressed_size, arg);
        lock.lock();
        __count_sizes(fp, counted, want, sizes, aux, group);
      }
    }
  }
  // The clock is read before the lock is taken: it need not be held for it.
  const time_t now = m_env.get_time();
  lock.lock();
  __count_chunk(is_zero, now, group);
  __check_limits();
  if (!m_reports.empty()) __drain_reports();
}

bool Estimator::__want_sizes(fp_t fp, bool* want) const {
  bool any = false;
  for (size_t c = 0; c < m_codecs.size(); c++) {
    want[c] = m_samples[c].active() ? m_samples[c].chosen(fp) : c == 0;
    any = any || want[c];
  }
  return any;
}

Estimator::aux_t Estimator::__aux_size(
    const bool* want, const size_t* sizes,
    size_t (*compressed_size)(const void* arg, int codec),
    const void* arg) const {
  aux_t aux{0, 0};
  switch (m_aux_mode) {
    case AUX_OWN:
      PELKO_ASSERT(want[0]);  // the first is measured in full
      aux.stored = std::min(sizes[0], m_params.chunk_size);
      break;
    case AUX_GIVEN:
      aux.stored = compressed_size(arg, AUX_CODEC);
      break;
    case AUX_NONE:
      return aux;
  }
  if (m_need_entropy) {
    const double bits = (double)compressed_size(arg, AUX_ENTROPY) / 65536;
    aux.entropy = std::max<size_t>(
        1, (size_t)llround((double)aux.stored * bits / 8));
  }
  return aux;
}

void Estimator::__count_sizes(fp_t fp, bool counted, const bool* want,
                              const size_t* sizes, aux_t aux_figures,
                              int group) {
  for (size_t c = 0; c < m_codecs.size(); c++) {
    CompressSample& cs = m_samples[c];
    const size_t aux =
        m_aux_entropy[c] ? aux_figures.entropy : aux_figures.stored;
    if (cs.active() && cs.has_aux() && !cs.chained())
      cs.add_candidate(aux, group);
    if (!want[c]) continue;
    if (!m_samples[c].active()) {
      // No labels here: --by takes one configuration only.
      __count_compressed(fp, counted, sizes[c], group, 0, c == 0);
      continue;
    }
    if (cs.chained()) {
      // Chosen by the parent too: the choices nest.
      const size_t parent = (size_t)m_chain[c];
      PELKO_ASSERT(want[parent]);
      cs.add(fp, sizes[c], group, sizes[parent], aux);
    } else {
      cs.add(fp, sizes[c], group, aux);
    }
    if (c == 0 && counted) __composition_add(fp, sizes[c]);
    // The entry may have been evicted while the lock was released.
    if (m_keep_csize && counted && __in_map(fp))
      m_sample_csize[c][fp] = (uint32_t)sizes[c];
  }
}

void Estimator::__count_compressed(fp_t fp, bool counted, size_t n,
                                   int group, int label, bool first_codec) {
  m_compressed_size += n;
  m_stored_size += std::min(n, m_params.chunk_size);
  m_uncompressed_size += m_params.chunk_size;
  m_group_compressed[group] += n;
  m_group_uncompressed[group] += m_params.chunk_size;
  // The entry may have been evicted while the lock was released.
  if (m_keep_csize && counted && __in_map(fp))
    m_csize[fp] = (uint32_t)n;
  if (counted && first_codec) __composition_add(fp, n);
  if (m_by) {
    breakdown_count_t& l = m_labels[label];
    l.group_compressed[group] += n;
    l.group_uncompressed[group] += m_params.chunk_size;
    BY_MAP::iterator it = counted ? m_by_map.find(fp) : m_by_map.end();
    if (it != m_by_map.end())
      it->second.label.stored = (uint32_t)std::min(n, m_params.chunk_size);
  }
}

void Estimator::__count_label(bool is_zero, int label, int group) {
  breakdown_count_t& l = m_labels[label];
  l.chunks++;
  l.group_chunks[group]++;
  if (is_zero) {
    l.zero_chunks++;
    l.group_zeros[group]++;
    return;
  }
  // The entry the chunk was just counted in; none when the memory-saving
  // mode skipped it.
  if (m_counted_label != nullptr) m_counted_label->mask |= (uint32_t)1 << label;
}

void Estimator::__count_held(size_t seq, const held_bucket_t& bucket) {
  const int mask = m_params.estimate_mask;
  const int group = (int)(seq % UNSEEN_GROUPS);
  const time_t now = m_env.get_time();
  const size_t n_codecs = m_codecs.size();
  bool want[MAX_CODECS];
  size_t sizes[MAX_CODECS];
  for (const held_chunk_t& h : bucket.chunks) {
    const bool counted = (h.flags & HELD_COUNTED) != 0;
    bool hit = false;
    if (mask & ESTIMATE_DEDUPE)
      hit = counted ? __add_chunk_dedupe(h.fp, group, (h.flags & HELD_FIRST) != 0)
                    : true;
    if (m_by) __count_label((h.flags & HELD_ZERO) != 0, h.label, group);
    if ((mask & ESTIMATE_COMPRESS) && !hit) {
      if (!m_general) {
        __count_compressed(h.fp, counted, h.csize, group, h.label);
      } else if (m_candidates++, h.sizes_at != NO_SIZES) {
        // A chunk chosen now was chosen when it was measured: shares only
        // fall.
        for (size_t c = 0; c < n_codecs; c++) {
          const uint32_t v = bucket.sizes[h.sizes_at + c];
          want[c] = v != NOT_MEASURED;
          sizes[c] = v;
        }
        const aux_t aux{bucket.sizes[h.sizes_at + n_codecs],
                        bucket.sizes[h.sizes_at + n_codecs + 1]};
        __count_sizes(h.fp, counted, want, sizes, aux, group);
      }
    }
    __count_chunk((h.flags & HELD_ZERO) != 0, now, group);
  }
}

void Estimator::end_bucket(size_t bucket_seq) {
  reader_t& rd = __thread_state().reader;
  const bool mine = rd.owner == this && rd.seq == bucket_seq;
  MutexLock lock(&m_mutex);
  if (mine) rd.owner = nullptr;  // the next bucket starts afresh
  if (!m_ordered) return;
  if (!m_in_order) {
    // Counted as it came (the run was stopped; nothing waits any more).
    if (mine && rd.held && bucket_seq < m_final_limit)
      __count_held(bucket_seq, rd.bucket);
  } else if (mine ? !rd.held : bucket_seq == m_next_seq && !m_paused) {
    m_next_seq++;  // counted as it came: it was the next one
    __note_candidates();
  } else if (bucket_seq >= m_final_limit) {
    // Past a stop that keeps its row: not counted.
  } else {
    m_held_chunks += mine ? rd.bucket.chunks.size() : 0;
    held_bucket_t& slot = m_held[bucket_seq];
    if (mine) {
      slot.chunks.swap(rd.bucket.chunks);
      slot.sizes.swap(rd.bucket.sizes);
    }
  }
  if (mine) rd.bucket.clear();
  __advance_window();
  __check_limits();
  if (!m_reports.empty()) __drain_reports();
  while (m_held_chunks > kHeldChunksMax && m_in_order) m_held_cv.wait(m_mutex);
}

void Estimator::__advance_window() {
  if (!m_in_order || m_paused) return;
  const size_t before = m_next_seq;
  for (;;) {
    if (m_general && m_next_seq >= m_adapt_next) {
      __adapt_samples();
      m_adapt_next = m_next_seq + kAdaptBuckets;
    }
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
      __stop(!m_limit_reason.empty()
                 ? m_limit_reason
                 : "stopped by --stop-at " + number_text(m_params.stop_at * 100));
      break;
    }
    if (m_held.empty() || m_held.begin()->first != m_next_seq) break;
    auto it = m_held.begin();
    m_held_chunks -= it->second.chunks.size();
    __count_held(it->first, it->second);
    m_held.erase(it);
    m_next_seq++;
    __note_candidates();
  }
  if (m_next_seq != before) m_held_cv.broadcast();
}

void Estimator::__note_candidates() {
  if (!m_general || (m_next_seq & (m_next_seq - 1)) != 0) return;
  m_candidates_at.resize((size_t)__builtin_ctzll(m_next_seq) + 1, 0);
  m_candidates_at.back() = m_candidates;
}

void Estimator::__adapt_samples() {
  const size_t b = m_next_seq;
  if (b < kAdaptMinBuckets) return;
  // Those the whole run will meet: as many more as the rate at which they
  // came since half as many buckets were read (the rate only falls as
  // duplicates of what was read turn up) would bring.
  double at_end = (double)m_candidates;
  if (b < m_total_buckets) {
    size_t k = 0;  // the power of two at or below b / 2
    while (((size_t)2 << k) <= b / 2) k++;
    PELKO_ASSERT(k < m_candidates_at.size());
    const double rate = ((double)m_candidates - (double)m_candidates_at[k]) /
                        (double)(b - ((size_t)1 << k));
    at_end += std::max(0.0, rate) * (double)(m_total_buckets - b);
  }
  // A parent's share suits its chained samples' first phase too.
  std::vector<double> floor(m_samples.size(), 0.0);
  for (size_t c = 0; c < m_samples.size(); c++)
    if (m_samples[c].chained())
      floor[(size_t)m_chain[c]] = std::max(floor[(size_t)m_chain[c]],
                                           m_samples[c].first_phase_spread());
  for (size_t c = 0; c < m_samples.size(); c++)
    m_samples[c].adapt(at_end, floor[c]);
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
    if (!m_reporting && m_env.report) __print_progress(false);
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

const double Estimator::kMaxCompositionNoise = 0.25;

bool Estimator::__in_composition(fp_t fp) {
  // Its own key, so that the sample is independent of the compressors'
  // choices and of the memory-saving mode's (which go by the checksum's
  // value). One in 16: the classes then hold thousands of contents from a
  // few hundred MiB read, at under a byte per distinct chunk.
  return (compress_sample_hash(fp, 0x636f6d706f736974ull) & 15) == 0;
}

void Estimator::__composition_add(fp_t fp, size_t n) {
  if (!__in_composition(fp)) return;
  const dedupe_count_t* c = nullptr;
  __visit_map([&](const auto& map) {
    const auto it = map.find(fp);
    if (it != map.end()) c = &entry_counts(it->second);
  });
  if (c == nullptr) return;  // evicted while the lock was released
  const uint32_t csize = (uint32_t)std::min<size_t>(n, UINT32_MAX);
  if (!m_composition.emplace(fp, csize).second) return;
  __composition_place(fp, *c, csize, 1.0);
}

void Estimator::__composition_place(fp_t fp, const dedupe_count_t& c,
                                    uint32_t csize, double sign) {
  unsigned long long t;
  const uint8_t* groups;
  bool grouped = true;
  if (c.side()) {
    const side_count_t& side = m_dedupe_side.at(fp);
    t = side.buckets;
    groups = side.groups;
    grouped = side.grouped;
  } else {
    t = c.n_buckets();
    groups = c.buckets;
  }
  auto put = [&](composition_classes_t* k, unsigned long long n) {
    if (n == 0) return;  // not in this replicate
    const int j = composition_class(n);
    k->contents[j] += sign;
    k->bytes[j] += sign * csize;
  };
  put(&m_classes[0], t);
  // A checksum out of the groups' counts is in thousands of buckets: the
  // last class in every replicate.
  for (int g = 0; g < UNSEEN_GROUPS; g++)
    put(&m_classes[g + 1], grouped ? t - groups[g] : t);
}

void Estimator::__count_bucket(fp_t fp, dedupe_count_t* c, int group) {
  CSIZE_MAP::const_iterator it = m_composition.end();
  if (__in_composition(fp)) it = m_composition.find(fp);
  if (it == m_composition.end()) return __count_bucket_in(fp, c, group);
  __composition_place(fp, *c, it->second, -1.0);
  __count_bucket_in(fp, c, group);
  __composition_place(fp, *c, it->second, 1.0);
}

void Estimator::__count_bucket_in(fp_t fp, dedupe_count_t* c, int group) {
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
  if (__in_composition(fp)) {
    CSIZE_MAP::iterator k = m_composition.find(fp);
    if (k != m_composition.end()) {
      __composition_place(fp, c, k->second, -1.0);
      m_composition.erase(k);
    }
  }
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
  if (m_by) return __add_chunk_dedupe_in(&m_by_map, fp, group, first_in_bucket);
  return __add_chunk_dedupe_in(&m_dedupe_map, fp, group, first_in_bucket);
}

template <class MAP>
bool Estimator::__add_chunk_dedupe_in(MAP* map, fp_t fp, int group,
                                      bool first_in_bucket) {
  const bool zeros_protected =
      (m_params.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  typename MAP::mapped_type* entry;
  bool hit;
  if (!m_save_memory) {
    std::pair<typename MAP::iterator, bool> ins =
        map->emplace(fp, typename MAP::mapped_type());
    entry = &ins.first->second;
    hit = !ins.second;
  } else {
    const bool is_protected = zeros_protected && fp == m_zeros_crc;
    if (fp < m_lower_crc && !is_protected) {
      m_n_skipped_chunks++;
      m_counted_label = nullptr;
      return true;
    }
    typename MAP::iterator it = map->find(fp);
    if (it != map->end()) {
      entry = &it->second;
      hit = true;
    } else {
      // Evict the threshold entry and move the threshold to the next entry
      // above it. Two exceptions keep the threshold a valid entry that only
      // rises: a protected threshold stays in the map, and when the protected
      // checksum arrives below a threshold with no entry above it, nothing
      // could take the threshold's place, so it stays. Either way the map
      // grows by one, once for each exception.
      const fp_t l = m_lower_crc;
      // The threshold is the first key, or the second after the protected
      // checksum below it: reached from the first leaf, not searched for
      // from the root (on a map of 10^8 entries each search costs a cache
      // miss a level, and this path runs for every new checksum once the
      // mode is on).
      typename MAP::iterator t = map->begin();
      if (t != map->end() && t->first != l) ++t;
      PELKO_ASSERT(t != map->end() && t->first == l);
      const bool above = fp > l || std::next(t) != map->end();
      if (!(zeros_protected && l == m_zeros_crc) && above) {
        m_n_skipped_chunks += __chunks(t->first, entry_counts(t->second));
        __forget(t->first, entry_counts(t->second));
        if (m_keep_csize) {
          m_csize.erase(t->first);
          for (CSIZE_MAP& m : m_sample_csize) m.erase(t->first);
        }
        map->erase(t);
      }
      entry = &map->emplace(fp, typename MAP::mapped_type()).first->second;
      hit = false;
      if (above) {
        // The first key above l: only the protected checksum and l itself
        // (if it stayed) can come before it.
        typename MAP::const_iterator next = map->begin();
        while (next != map->end() && next->first <= l) ++next;
        PELKO_ASSERT(next != map->end());
        m_lower_crc = next->first;  // reads only: entry stays valid
      }
    }
  }

  dedupe_count_t* count = &entry_counts(*entry);
  if (!hit) {
    *count = dedupe_count_t();
    // Stored as it is until its compressed size is known.
    reset_labels(entry,
                 (uint32_t)std::min<size_t>(m_params.chunk_size, UINT32_MAX));
    first_in_bucket = true;  // a new checksum's first bucket
  }
  m_counted_label = labels_of(entry);
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
  m_lower_crc = __map_first();  // holds the entry just counted
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
  c.map_size = __map_size() + m_n_imported;
  c.map_first = __map_size() == 0 ? 0 : __map_first();
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
  for (int g = 0; g <= UNSEEN_GROUPS; g++) c.classes[g] = m_classes[g];
  if (!(m_params.estimate_mask & ESTIMATE_COMPRESS)) return c;
  c.codecs.resize(m_codecs.size());
  for (size_t k = 0; k < m_codecs.size(); k++) {
    codec_counts_t& cc = c.codecs[k];
    const CompressSample& cs = m_samples[k];
    cc.sampled = cs.active();
    cc.has_aux = false;
    cc.merge_parent = -1;
    if (!cc.sampled) {
      cc.compressed = m_compressed_size;
      cc.uncompressed = m_uncompressed_size;
      cc.stored = m_stored_size;
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        cc.by_bucket.parts[g] = m_group_uncompressed[g];
        cc.by_bucket.wholes[g] = m_group_compressed[g];
      }
      cc.by_hash = group_totals_t();
      cc.share = cc.first_share = 1;
      cc.chosen = m_uncompressed_size / m_params.chunk_size;
      continue;
    }
    cs.estimate(&cc.uncompressed, &cc.compressed, &cc.stored);
    cs.group_totals(&cc.by_bucket, &cc.by_hash);
    cc.has_aux = cs.has_aux();
    if (cc.has_aux) cs.aux_totals(&cc.aux);
    cc.share = cs.share();
    cc.first_share = cs.first_share();
    cc.chosen = cs.chosen_chunks();
    if (k < m_merge_chain.size() && m_merge_chain[k].on) {
      // Merged, chained: the parent's figures times this compressor's
      // bytes over the parent's on the chunks both measured.
      const codec_counts_t& pc = c.codecs[(size_t)m_chain[k]];
      cc.merge_parent = m_chain[k];
      cc.chain_out = m_merge_chain[k].out;
      double parents = 0, own = 0;
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        parents += (double)cc.chain_out.parts[g];
        own += (double)cc.chain_out.wholes[g];
      }
      if (parents > 0) {
        const double scale = (double)pc.compressed / parents;
        cc.uncompressed = pc.uncompressed;
        cc.compressed = (size_t)llround(own * scale);
        cc.stored = (size_t)llround((double)cc.stored * scale);
      }
    }
  }
  if (c.codecs[0].sampled) {
    // The rows show the first compressor's sample.
    const codec_counts_t& c0 = c.codecs[0];
    c.compressed_size = c0.compressed;
    c.uncompressed_size = c0.uncompressed;
    c.stored_size = c0.stored;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      c.group_compressed[g] = c0.by_bucket.wholes[g];
      c.group_uncompressed[g] = c0.by_bucket.parts[g];
    }
  }
  return c;
}

range_t Estimator::__codec_range(const counters_t& c, size_t codec) const {
  const double f = std::min(1.0, c.progress);
  const size_t buckets =
      (size_t)std::max(1.0, round(f * (double)c.total_buckets));
  const codec_counts_t& cc = c.codecs[codec];
  if (!cc.sampled) return ratio_range(cc.by_bucket, f, buckets);
  if (cc.has_aux) return aux_ratio_range(cc.aux, f, buckets, cc.first_share);
  if (cc.merge_parent >= 0) {
    const codec_counts_t& pc = c.codecs[(size_t)cc.merge_parent];
    range_t r = chained_ratio_range(pc.by_hash, pc.share, pc.chosen,
                                    cc.chain_out, cc.share / pc.share,
                                    cc.chosen);
    if (f < 1) r.low = r.high = -1;  // as below
    return r;
  }
  if (m_imported && f < 1) {
    // Merged: the chunks' buckets are not known, so neither is the spread
    // between them.
    range_t r = sampled_ratio_range(cc.by_bucket, cc.by_hash, 1.0, buckets,
                                    cc.share, cc.chosen);
    r.low = r.high = -1;
    return r;
  }
  return sampled_ratio_range(cc.by_bucket, cc.by_hash, f, buckets, cc.share,
                             cc.chosen);
}

void Estimator::__queue_report() {
  m_n_printed_reports++;
  const bool dedupe = (m_params.estimate_mask & ESTIMATE_DEDUPE) != 0;
  if (!m_env.report) {
    // Counted beside the configuration the report shows: its rows are
    // worked out only for whoever reads them.
    if (m_env.on_row == nullptr) return;
    if (!dedupe) {
      __record_row(__counters(), -1.0, -1.0, -1.0, false);
      return;
    }
  } else if (m_params.debug > 0 || !dedupe) {
    // Cheap, or with debug lines that belong inside the row: print now.
    // (Nothing is ever queued in this mode.)
    counters_t c = __counters();
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
    if (m_env.report) {
      __print_header(rep.c.n_printed_reports, false);
      __print_progress(rep.c, true);
      __print_report(rep.c, r, r_low, r_high);
    } else {
      __record_row(rep.c, r, r_low, r_high, false);
    }
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
  if (!m_env.report) {
    m_memory_warning = 0;
    return;
  }
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

range_t Estimator::__with_composition(const counters_t& c, range_t kr) {
  if (!(kr.value > 0) || (c.composition == 1 && c.composition_noise == 0))
    return kr;
  const double t = JACKKNIFE_T * c.composition_noise;
  const double v = kr.value;
  kr.value = v * c.composition;
  if (kr.low > 0) {
    const double d = log(v / kr.low);
    kr.low = v * c.composition_low * exp(-sqrt(d * d + t * t));
  }
  if (kr.high > 0) {
    const double d = log(kr.high / v);
    kr.high = v * c.composition_high * exp(sqrt(d * d + t * t));
  }
  return kr;
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
    const range_t kr = __with_composition(
        c, m_general ? __codec_range(c, 0) : ratio_range(k, f, row.n_buckets));
    row.compress = kr.value;
    row.compress_low = kr.low;
    row.compress_high = kr.high;
    row.codecs.push_back(kr);
    for (size_t i = 1; i < c.codecs.size(); i++)
      row.codecs.push_back(__codec_range(c, i));
  }
  return row;
}

void Estimator::__record_row(const counters_t& c, double r, double r_low,
                             double r_high, bool final) const {
  const bool to_record = record.active() && m_env.report;
  if (!to_record && m_env.on_row == nullptr) return;
  const row_t fig = __row(c, r, r_low, r_high, final);
  if (m_env.on_row != nullptr) {
    row_t with_total = fig;
    const summary_t s = compute_summary(__summary_input(c, r, r_low, r_high));
    with_total.total = s.ratio.value;
    with_total.total_low = s.ratio.at_low;
    with_total.total_high = s.ratio.at_high;
    m_env.on_row(with_total, m_env.on_row_arg);
  }
  if (!to_record) return;
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
  if (m_codecs.size() > 1) {
    for (const codec_t& k : m_codecs) row.compressors.push_back(codec_name(k));
    row.compress_by = fig.codecs;
  }
  record.add_row(row);
}

void Estimator::finish() {
  {
    // Buckets still held (should a bucket before them never have ended)
    // count as at a stop: nothing read is left out.
    MutexLock lock(&m_mutex);
    if (m_ordered && m_in_order && !m_held.empty()) __count_all_held();
  }
  counters_t c = __counters();
  if (m_env.report) __print_progress(c, true);
  double r = -1.0, r_low = -1.0, r_high = -1.0;
  if (m_params.estimate_mask & ESTIMATE_DEDUPE) {
    dfh_set_t dfh;
    __snapshot(&dfh);
    __analyze_dfh(c, dfh, &r, &r_low, &r_high);
  }
  m_final = c;
  m_final_r = r;
  m_final_r_low = r_low;
  m_final_r_high = r_high;
  if (!m_env.report) {
    __record_row(c, r, r_low, r_high, true);
    return;
  }
  __print_row_end(c, r, r_low, r_high);
  __record_row(c, r, r_low, r_high, true);
  if (m_params.estimate_mask & ESTIMATE_DEDUPE) __warn_collisions(c, r);
  __print_summary(c, r, r_low, r_high);
}

Estimator::row_t Estimator::final_row() const {
  return __row(m_final, m_final_r, m_final_r_low, m_final_r_high, true);
}

summary_input_t Estimator::config_summary_input(int codec) const {
  summary_input_t in = __summary_input(m_final, m_final_r, m_final_r_low,
                                       m_final_r_high, (size_t)codec);
  MutexLock lock(&m_mutex);
  in.stop_reason = m_stop_reason;
  return in;
}

double Estimator::compress_share(int codec) const {
  MutexLock lock(&m_mutex);
  const CompressSample& cs = m_samples[(size_t)codec];
  return cs.active() ? cs.share() : 1.0;
}

void Estimator::set_plan_totals(const summary_input_t& plan) {
  m_plan = plan;
  m_have_plan = true;
}

summary_input_t Estimator::__summary_input(const counters_t& c, double r,
                                           double r_low, double r_high,
                                           size_t codec) const {
  summary_input_t in;
  // Set before reading begins, never changed after.
  Sampler* const sampler = m_sampler;
  if (m_have_plan) {
    in.total_size = m_plan.total_size;
    in.reductible_size = m_plan.reductible_size;
    in.total_files = m_plan.total_files;
    in.scan_stopped = m_plan.scan_stopped;
    in.unread_size = m_plan.unread_size;
    in.unread_files = m_plan.unread_files;
  } else if (m_imported) {
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
    const Sampler::plan_totals_t t = sampler->get_plan_totals(m_params.chunk_size);
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
  double compress = row.compress, low = row.compress_low,
         high = row.compress_high;
  if (codec > 0 && codec < c.codecs.size()) {
    const codec_counts_t& cc = c.codecs[codec];
    in.uncompressed_size = cc.uncompressed;
    in.compressed_size = cc.compressed;
    in.stored_size = cc.stored;
    in.zero_chunk_compressed = m_zero_compressed_by[codec];
    compress = row.codecs[codec].value;
    low = row.codecs[codec].low;
    high = row.codecs[codec].high;
  }
  // The first compressor's ratio for the data set's distinct contents, not
  // only those seen (counters_t::composition).
  if (codec == 0 || codec >= c.codecs.size()) in.c_factor = c.composition;
  if (compress > 0) {
    const double k = compute_summary(in).compress_ratio;
    if (k > 0) {
      if (low >= 0) in.c_low = k * low / compress;
      if (high >= 0) in.c_high = k * high / compress;
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
  const std::string tail =
      m_env.summary_tail != nullptr ? m_env.summary_tail(m_env.summary_tail_arg)
                                    : std::string();
  in.warnings = printer.summary_notes();
  const summary_t s = compute_summary(in);
  printer << std::endl << format_summary(in, s) << tail << std::flush;
  record.write_summary(in, s);
  if (m_by) __print_breakdown(c, s.exact && !m_save_memory);
}

void Estimator::__print_breakdown(const counters_t& c, bool exact) {
  std::vector<breakdown_count_t> counts;
  {
    MutexLock lock(&m_mutex);
    counts = m_labels;
    // The all-zero chunk's entry, when it has one, holds no label.
    for (const auto& e : m_by_map) {
      const label_entry_t& le = e.second.label;
      if (le.mask == 0) continue;
      const double split = (double)le.stored / __builtin_popcount(le.mask);
      for (uint32_t m = le.mask; m != 0; m &= m - 1) {
        breakdown_count_t& l = counts[__builtin_ctz(m)];
        l.distinct++;
        l.stored += le.stored;
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
      for (const auto& e : m_by_map) {
        const dedupe_count_t& count = e.second.count;
        const unsigned long long t = __buckets(e.first, count);
        const uint8_t* groups = count.buckets;
        bool grouped = true;
        if (count.side()) {
          const side_count_t& side = m_dedupe_side.at(e.first);
          groups = side.groups;
          grouped = side.grouped;
        }
        for (uint32_t m = e.second.label.mask; m != 0; m &= m - 1) {
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
  if (m_collisions_warned || m_fingerprint64 || !(r > 0) || !m_env.report)
    return;
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
  counters_t c = __counters();
  __analyze_dfh(c, dfh, r, r_low, r_high);
}

void Estimator::__composition(counters_t* c, const unseen_result_t& e,
                              double f) const {
  if (!(e.r > 0) || !(f > 0) || !(f < 1) || e.fit.empty()) return;
  // The most a chunk can compress to (the compressors' bound: a little
  // over the chunk).
  const double chunk = (double)m_params.chunk_size;
  const double largest = chunk + chunk / 255 + 16;
  const double k = composition_factor(e.fit, f, c->classes[0], largest);
  if (!(k > 0)) return;
  // The factor's noise: without each group's buckets (at the share that
  // leaves), the groups' jackknife on the log scale.
  const double fg = f * (UNSEEN_GROUPS - 1) / UNSEEN_GROUPS;
  double v[UNSEEN_GROUPS], mean = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    // Each replicate with its own fit, so that the fit's own noise shows.
    const std::vector<unseen_fit_t>& fit =
        e.fit_rep[g].empty() ? e.fit : e.fit_rep[g];
    const double x = composition_factor(fit, fg, c->classes[g + 1], largest);
    if (!(x > 0)) return;
    mean += (v[g] = log(x)) / UNSEEN_GROUPS;
  }
  double ss = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) ss += (v[g] - mean) * (v[g] - mean);
  // No finite-population factor: the classes are a sample of the contents
  // (one in 16) within the buckets' sample, whose noise does not fall as
  // the read nears its end (a model farm read to 90 % was 1.3 % off with
  // it, outside its range).
  const double se = sqrt(ss * (UNSEEN_GROUPS - 1) / UNSEEN_GROUPS);
  // Too early to tell: a factor known to no better than a quarter on the
  // log scale (a range of about 0.55 to 1.8 times it) is left out, the
  // ratio and range staying the contents seen (as every row had them
  // before any correction). Below 0.5 % of a model farm its noise was 0.3
  // to 1.8 and it came out from 0.7 to 7.7 where the truth was 0.98;
  // widening the range by that would say nothing but make the total's
  // range useless where it is already wide. From 1 % on it was 0.03 to
  // 0.15, and the range takes it in full.
  if (se > kMaxCompositionNoise) return;
  // At the range's two ends the data set holds more or fewer contents
  // seen rarely, and so another mix.
  double lo = k, hi = k;
  for (const std::vector<unseen_fit_t>* fit : {&e.fit_low, &e.fit_high}) {
    if (fit->empty()) continue;
    const double x = composition_factor(*fit, f, c->classes[0], largest);
    if (!(x > 0)) continue;
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  // The classes cannot tell contents stored once from those copied a few
  // times where both are seen once, so what they say rests on a model of
  // how the copied contents compress (composition.h): one mean for them
  // all, or a drift with the number of copies. On model sets each was
  // right where the other was 1-6 % off, and neither can be ruled out from
  // the sample. The range reaches both and the factor at the dedupe
  // range's ends (one of which often has no content stored once: no
  // correction),
  // widened by the factor's noise; the estimate is its geometric middle,
  // as the dedupe estimate is its programs' range's: off by at most half
  // the models' disagreement, where either model alone could be off by all
  // of it.
  const double drift =
      composition_factor(e.fit, f, c->classes[0], largest, true);
  if (drift > 0) {
    lo = std::min(lo, drift);
    hi = std::max(hi, drift);
  }
  c->composition = sqrt(lo * hi);
  c->composition_low = lo;
  c->composition_high = hi;
  c->composition_noise = se;
}

void Estimator::__analyze_dfh(counters_t& c, const dfh_set_t& dfh,
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
  // With the zero chunks counted, `chunks` is the plan's own count.
  if (m_params.estimate_mask & ESTIMATE_DEDUPE_ZEROS)
    for (int g = 0; g < UNSEEN_GROUPS; g++)
      s.group_share[g] = (double)c.group_chunks[g] / (double)sample;
  // One estimate at a time in the process: a run of several chunk sizes
  // has an Estimator for each, whose rows may fall due together, and the
  // solver's library is not relied on to share nothing between models.
  // Never destroyed: a thread may still be estimating while the process
  // exits.
  static Mutex* const solver_mutex = new Mutex;
  unseen_result_t e;
  {
    MutexLock solver_lock(solver_mutex);
    e = unseen_estimate(s, m_params.alpha, debug);
  }
  *r = e.r;
  *r_low = e.low;
  *r_high = e.high;
  if (m_params.estimate_mask & ESTIMATE_COMPRESS) __composition(&c, e, s.fraction);
  // No chunk seen twice: nothing rules out that none repeats. (The
  // programs' low end can sit a chunk's worth above 1 there: 1 + 1/3788
  // was seen at 64 KiB on all-distinct data.)
  if (c.n_skipped_chunks == 0 && c.map_size == sample && *r_low > 0)
    *r_low = 1.0;

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
  h->n_entries = __map_size();
}

void Estimator::for_each_entry(void (*func)(const sample_entry_t& e, void* arg),
                               void* arg) const {
  MutexLock lock(&m_mutex);
  CSIZE_MAP::const_iterator cs = m_csize.begin();
  __visit_map([&](const auto& map) {
    for (const auto& kv : map) {
      sample_entry_t e;
      e.fp = kv.first;
      const dedupe_count_t& c = entry_counts(kv.second);
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
      if (m_keep_csize && m_samples[0].active()) {
        // Sampled: the size of a chosen chunk (the export's part of the
        // compressor has them all), 1 for the others.
        CSIZE_MAP::const_iterator it = m_sample_csize[0].find(kv.first);
        e.csize = it != m_sample_csize[0].end() ? it->second : 1;
      } else if (m_keep_csize) {
        // Both maps are in fingerprint order, and every entry has its size.
        while (cs != m_csize.end() && cs->first < kv.first) ++cs;
        PELKO_ASSERT(cs != m_csize.end() && cs->first == kv.first);
        e.csize = cs->second;
      }
      func(e, arg);
    }
  });
}

sample_codec_part_t Estimator::export_codec_part(int codec) const {
  MutexLock lock(&m_mutex);
  sample_codec_part_t p;
  const CompressSample& cs = m_samples[(size_t)codec];
  if (!cs.active()) {
    p.compressed = m_compressed_size;
    p.uncompressed = m_uncompressed_size;
    p.stored = m_stored_size;
    return p;
  }
  p.sampled = true;
  p.share = cs.share();
  p.compressed = cs.compressed_size();
  p.uncompressed = cs.uncompressed_size();
  p.stored = cs.stored_size();
  group_totals_t by_bucket, by_hash;
  cs.group_totals(&by_bucket, &by_hash);
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    p.hash_compressed[g] = by_hash.wholes[g];
    p.hash_uncompressed[g] = by_hash.parts[g];
  }
  // The entries still in the map that are chosen at the share reached.
  for (const auto& kv : m_sample_csize[(size_t)codec])
    if (cs.chosen(kv.first) && __in_map(kv.first))
      p.chosen.emplace_back(kv.first, kv.second);
  return p;
}

void Estimator::import_codec_part(int codec, double share,
                                  const std::vector<std::pair<uint64_t, uint64_t>>& chosen,
                                  const sample_codec_part_t& totals) {
  MutexLock lock(&m_mutex);
  m_imported = true;
  CompressSample& cs = m_samples[(size_t)codec];
  cs = CompressSample(share, m_params.chunk_size);
  if (m_params.estimate_mask & ESTIMATE_DEDUPE) {
    // Each distinct chunk once, whichever hosts hold it.
    for (const auto& c : chosen)
      if (cs.chosen(c.first)) cs.add(c.first, (size_t)c.second, 0);
    __import_chain((size_t)codec, chosen);
    return;
  }
  size_t hc[UNSEEN_GROUPS], hu[UNSEEN_GROUPS];
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    hc[g] = (size_t)totals.hash_compressed[g];
    hu[g] = (size_t)totals.hash_uncompressed[g];
  }
  cs.add_totals(hc, hu, (size_t)totals.stored);
}

void Estimator::__import_chain(
    size_t codec, const std::vector<std::pair<uint64_t, uint64_t>>& chosen) {
  const CompressSample& cs = m_samples[codec];
  m_import_sizes.resize(m_codecs.size());
  m_merge_chain.resize(m_codecs.size());
  if (std::find(m_chain.begin(), m_chain.end(), (int)codec) != m_chain.end())
    for (const auto& c : chosen)
      if (cs.chosen(c.first)) m_import_sizes[codec].emplace(c.first, c.second);
  if (m_chain[codec] < 0) return;
  // Chained where every chunk chosen here has its parent's size (exports
  // of runs that chained, or chose alike, at a share within the parent's).
  const size_t parent = (size_t)m_chain[codec];
  merge_chain_t& mc = m_merge_chain[codec];
  mc = merge_chain_t();
  if (!m_samples[parent].active() || cs.share() > m_samples[parent].share())
    return;
  const auto& sizes = m_import_sizes[parent];
  for (const auto& c : chosen) {
    if (!cs.chosen(c.first)) continue;
    const auto it = sizes.find(c.first);
    if (it == sizes.end()) return;
    const int g = compress_sample_group(compress_sample_hash(c.first));
    mc.out.parts[g] += (size_t)it->second;
    mc.out.wholes[g] += (size_t)c.second;
  }
  mc.on = true;
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
  if (!m_env.report) return;
  printer << "MERGED" << std::endl;
  __print_header(true);
}
