// Chunk analysis: classifies every sampled chunk (all-zero or data; its
// checksum counted in the dedupe map and the duplicate-frequency histogram;
// its LZ4-compressed size) and prints the analysis table: the column header,
// the progress line rewritten in place on the console, a report row at every
// report_freq step of progress and the final row.
//
// Memory-saving mode. When the process's memory use passes memory_limit the
// dedupe map stops growing: it keeps only checksums at or above a threshold
// checksum (m_lower_crc), which is always an entry and only rises. Each newly
// admitted checksum evicts the threshold entry, and every later chunk whose
// checksum lies below the threshold is skipped, so every checksum in the map
// keeps its exact count since its first occurrence. The all-zero checksum is
// exempt (never skipped nor evicted) while zero chunks take part in dedupe;
// the map grows by one entry at most twice because of it: when it is the
// threshold entry itself, and when it is first admitted below a threshold
// that has no entry above it. m_n_skipped_chunks counts every chunk that
// went to dedupe but is not represented in the map, so at every moment
//   sum over k of k * m_dfh_array[k] == chunks sent to dedupe - skipped,
// and the dedupe estimate is scaled by the share the map still represents.
//
// Memory checks. Reading the process's memory use costs microseconds, so in
// normal mode it is read on every memory_check_interval-th dedupe update
// (1024 by default) rather than on each one. Between the moment memory use
// passes the limit and the moment it is noticed the map therefore grows by at
// most memory_check_interval entries: 64 KiB at the default with std::map
// nodes, a quarter of that with the B-tree.
#ifndef PELKO_ESTIMATOR_H_
#define PELKO_ESTIMATOR_H_

#include <stddef.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef PELKO_HAVE_ABSL_BTREE
#include <absl/container/btree_map.h>
#endif

#include "codec.h"
#include "composition.h"
#include "compress_sample.h"
#include "breakdown.h"
#include "condvar.h"
#include "mutex.h"
#include "options.h"
#include "ranges.h"
#include "sample_file.h"
#include "summary.h"
#include "unseen.h"

class Sampler;

// Compressors. The rows show the first of params.compressors (LZ4 without
// them); every other one is measured too, on a chunk sample
// (compress_sample.h) of the chunks that need compressing, and so is the
// first with params.sample_first. Its figures are in the rows' compress
// ranges by compressor and in config_summary_input.
//
// Thread safety: add_chunk may run on any number of threads at once.
// m_mutex guards every member that changes during reading and all printing
// done from add_chunk (progress lines, report rows, the memory warning), so
// lines from different threads never interleave; the zero test, the checksum
// and the compression run without it.
//
// Report rows. A row describes the moment its report step was crossed: the
// crossing thread takes a snapshot of the counters and the histogram under
// m_mutex and queues it. Outside debug output, the dedupe estimate (the
// costly linear programs) is then computed from the snapshot with m_mutex
// released, so the other readers keep going; the whole row is printed under
// m_mutex afterwards. One thread at a time works through the queue, so rows
// come out in order, and while it does, the transient progress line and the
// memory check wait (nothing else can print in the middle of a row's
// moment). With debug output on, rows are computed and printed at once
// under m_mutex, as the estimator's debug lines belong inside the row. The constructor, start, finish and the
// destructor run on one thread while no add_chunk call is in flight; stop
// may be called from any thread at any time.
class Estimator {
 public:
  // A chunk's fingerprint: its 32-bit checksum, or with --fingerprint 64 the
  // checksum in the high half and 32 bits of an independent hash in the low
  // half (so the map's order is the checksum's either way).
  typedef uint64_t fp_t;

  // What the map keeps of one checksum: for each jackknife group, the
  // sampled buckets of that group it occurs in (a bucket's group is its
  // drawing order modulo UNSEEN_GROUPS); its chunks are as many as its
  // buckets. 8 bytes: with the key, 16 bytes an entry. A checksum met twice
  // in one bucket, or in more buckets of a group than a byte holds, keeps
  // its counts in the side map instead, and buckets[0] is then SIDE.
  struct dedupe_count_t {
    static const uint8_t SIDE = 0xFF;
    uint8_t buckets[UNSEEN_GROUPS];
    bool side() const { return buckets[0] == SIDE; }
    unsigned n_buckets() const {
      unsigned n = 0;
      for (int g = 0; g < UNSEEN_GROUPS; g++) n += buckets[g];
      return n;
    }
  };
  // Counts of a checksum in the side map. Its groups' counts are kept while
  // `grouped`; once one would pass 254 the checksum leaves the groups'
  // histograms for good (it is seen in thousands of buckets: a tail entry).
  struct side_count_t {
    unsigned long long chunks;
    unsigned long long buckets;
    uint8_t groups[UNSEEN_GROUPS];
    bool grouped;
  };

  // Fingerprint -> its counts, ascending (the memory-saving mode evicts and
  // skips in that order).
#ifdef PELKO_HAVE_ABSL_BTREE
  typedef absl::btree_map<fp_t, dedupe_count_t> DEDUPE_MAP;
  typedef absl::btree_map<fp_t, side_count_t> SIDE_MAP;
#else
  typedef std::map<fp_t, dedupe_count_t> DEDUPE_MAP;
  typedef std::map<fp_t, side_count_t> SIDE_MAP;
#endif
#ifdef PELKO_HAVE_ABSL_BTREE
  typedef absl::btree_map<fp_t, uint32_t> CSIZE_MAP;
#else
  typedef std::map<fp_t, uint32_t> CSIZE_MAP;
#endif
  // With params.by, what the map keeps of a fingerprint besides its counts:
  // the labels holding it (a bit each) and its stored size.
  struct label_entry_t {
    uint32_t mask;
    uint32_t stored;
  };
  // With params.by, the map's entry: 16 bytes, 24 with the key. One map
  // rather than a second one beside the dedupe map: a B-tree costs about
  // 1.4 times its slots (free slots, node headers, inner nodes), so the 8
  // bytes more a slot cost about 12 a fingerprint where a map of their own,
  // 16-byte slots, cost 22.
  struct by_count_t {
    dedupe_count_t count;
    label_entry_t label;
  };
#ifdef PELKO_HAVE_ABSL_BTREE
  typedef absl::btree_map<fp_t, by_count_t> BY_MAP;
#else
  typedef std::map<fp_t, by_count_t> BY_MAP;
#endif

  // The figures of one report row. Every range is meant to hold the figure
  // of the whole data set in about 95 % of samples; low == high == the
  // figure once the whole plan has been read. -1 where there is none (the
  // part is not estimated, or the sample cannot bound that side yet).
  struct row_t {
    bool final;
    double progress;      // analysed share of the plan
    size_t n_buckets;     // buckets the row is made of
    size_t n_data_chunks;
    size_t n_zero_chunks;
    double r, r_low, r_high;  // dedupe ratio
    double compress, compress_low, compress_high;  // compression ratio
    double zeros, zeros_low, zeros_high;  // zero share of the chunks, 0..1
    size_t n_distinct;    // fingerprints in the map
    // The compression ratio and its range for each compressor, in the
    // order of config_codecs (the first as compress, compress_low and
    // compress_high); empty when compression is not estimated.
    std::vector<range_t> codecs;
    // The total reduction ratio as the summary works it out, with its
    // pessimistic and optimistic values (on_row only; -1: none).
    double total = -1, total_low = -1, total_high = -1;
  };

  // What the Estimator reads from the process and the console. The default
  // is the platform layer, a monotonic clock in whole seconds and a memory
  // check every 1024 dedupe updates; tests substitute their own to trip the
  // memory limit, fix the console height or the clock.
  struct env_t {
    // As os_get_memory_usage: peak may be null.
    void (*get_memory_usage)(size_t* cur, size_t* peak);
    // As os_get_term_size: 0 on success, -1 without a console.
    int (*get_term_size)(int* width, int* height);
    // Seconds on a clock that does not go backwards.
    time_t (*get_time)();
    // The same clock with its fraction, for --time-limit.
    double (*get_seconds)();
    // Normal mode reads the memory use on every n-th dedupe update; >= 1.
    unsigned memory_check_interval;
    // When set, called with every row's figures (periodic and final) just
    // after the row is printed, under the Estimator's lock: it must not call
    // back into the Estimator. A driver of the counting seam reads the rows
    // through it.
    void (*on_row)(const row_t& row, void* arg);
    void* on_row_arg;
    // False: the Estimator prints nothing (no header, progress line, row,
    // warning or summary) and estimates a periodic row's dedupe ratio only
    // when on_row is set; the final figures are read with final_row and
    // config_summary_input. For the configurations that are counted beside
    // the one the report shows.
    bool report;
    // When set, called once when the analysis is stopped (by
    // params.stop_at, params.time_limit, params.target_width or stop),
    // with the reason and, for a stop at a row, the buckets the row stands
    // for (0 for the other stops: every bucket read counts), under the
    // Estimator's lock: it must not call back into this Estimator.
    void (*on_stop)(const std::string& reason, size_t row_buckets, void* arg);
    void* on_stop_arg;
    // When set, called by finish once the final row's figures are known
    // (final_row and config_summary_input work), before the summary is
    // printed; what it returns is printed after the summary's lines.
    std::string (*summary_tail)(void* arg);
    void* summary_tail_arg;
    // True: a compressed-size function given to add_fingerprint also
    // answers for codec AUX_CODEC, with the auxiliary figure of the
    // sampled compressors (compress_sample.h): the stored size of the same
    // bytes under a compressor measured in full. Without it, and without a
    // first compressor measured in full (params.sample_first), the sampled
    // compressors go without one.
    bool aux_given;

    env_t();
  };

  // Keeps a reference to params, which must outlive the Estimator.
  // Requires chunk_size > 0 and report_freq > 0.
  explicit Estimator(const pelko_params_t& params);
  Estimator(const pelko_params_t& params, const env_t& env);
  virtual ~Estimator();
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  // Prints "ANALYZING" and the first header, then has the sampler deliver
  // every planned chunk to add_chunk from its reader threads. Returns when
  // the last chunk has been analysed. Call once.
  void start(Sampler* sampler);
  // What start does before reading: takes the sampler's plan (for
  // chunk_size) and stops it when the analysis stops. For a driver that
  // reads the plan itself and feeds add_fingerprint; begin follows.
  void attach(Sampler* sampler);

  // Prints the final report row and the run's summary. Call once, after
  // start has returned.
  void finish();

  // Ends the analysis before the plan is complete: the sampler takes no
  // further bucket, the chunks already being read are still analysed, and
  // the summary says why: "<reason> at <progress> of the plan". The first
  // reason given is kept. Callable from any thread, before or during start;
  // not from a signal handler. params.stop_at and params.time_limit end the
  // analysis through it. Returns whether reason is the one the summary will
  // give: false when another was given first, or the summary has already
  // taken the reason it gives (none, for a complete run).
  bool stop(const std::string& reason);
  // The same for a run counted beside another that stopped: buckets from
  // final_buckets on (0: none) are not counted. A stop at final_buckets
  // (the other's row) takes effect once every bucket before it is counted,
  // so that this run's rows up to there are taken too (the other may have
  // counted them well ahead: a slow bucket holds both back, and its end
  // reaches this run after the other has stopped).
  bool stop(const std::string& reason, size_t final_buckets);

  // Sampler::chunk_cb_func_t: cb_arg is the Estimator; chunk_data points to
  // chunk_size bytes of the bucket drawn as bucket_seq-th. Fingerprints the
  // chunk and counts it through add_fingerprint.
  static void add_chunk(const unsigned char* chunk_data, size_t bucket_seq,
                        void* cb_arg);
  // The same for a chunk that is a bucket of its own (tests, benchmarks):
  // such chunks are counted at once and rows follow the chunks analysed.
  static void add_chunk(const unsigned char* chunk_data, void* cb_arg);
  // Sampler::bucket_end_func_t: the bucket drawn as bucket_seq-th has
  // delivered its last chunk (or could not be read).
  static void end_bucket(size_t bucket_seq, void* cb_arg);
  // Sampler::label_func_t: the chunks this thread delivers next belong to
  // label (with params.by).
  static void set_label(uint8_t label, void* cb_arg);

  // The counting below the checksum, for a driver that knows every chunk's
  // fingerprint without its bytes (the simulator; add_chunk ends here too).
  // Call begin(plan) on one thread, then from any number of threads, for
  // every bucket drawn (bucket_seq 0, 1, 2, ... in drawing order), its
  // chunks in order by one thread through add_fingerprint and then
  // end_bucket(bucket_seq); then finish(). compressed_size(arg) is called
  // without any lock held when the chunk's compressed size is needed, and
  // returns it. A zero chunk's fp is not used.
  //
  // Rows are repeatable: buckets are counted in drawing order, whatever the
  // order in which the threads deliver them, and a row stands for exactly
  // the first K buckets (K the least number of buckets that reaches its
  // report step). A bucket that arrives before one drawn earlier is done is
  // held back (its chunks' figures in a buffer, the compressed sizes of its
  // chunks not yet in the map measured at once) until then; a thread whose
  // finished bucket makes the buffer pass kHeldChunksMax chunks waits in
  // end_bucket until it shrinks.
  struct plan_t {
    size_t total_chunks;       // the analysis is to expect, > 0 or 0
    size_t total_buckets;      // of the plan
    size_t chunks_per_bucket;  // of every bucket but perhaps the last; >= 1
    // When buckets hold different numbers of this size's chunks (several
    // chunk sizes): their mean, which the rows follow; 0: chunks_per_bucket.
    double mean_chunks_per_bucket = 0;
    // Without a sampler: bytes of file tails (shorter than a chunk, counted
    // as stored, never read), for the summary's logical size.
    size_t tail_bytes = 0;
  };
  void begin(const plan_t& plan);
  // The plan of this chunk size that begin takes from a sampler.
  plan_t plan_of(const Sampler& sampler) const;
  void add_fingerprint(fp_t fp, bool is_zero, size_t bucket_seq,
                       size_t (*compressed_size)(const void* arg),
                       const void* arg);
  void end_bucket(size_t bucket_seq);
  // The same with the compressed sizes for each compressor:
  // compressed_size(arg, codec) for the codec-th of config_codecs, and
  // with env.aux_given for AUX_CODEC; and whenever a sampled compressor
  // codes its literals (zstd, DEFLATE) for AUX_ENTROPY, with the chunk's
  // byte_entropy (codec.h) times 65536.
  static const int AUX_CODEC = -1;
  static const int AUX_ENTROPY = -2;
  void add_fingerprint(fp_t fp, bool is_zero, size_t bucket_seq,
                       size_t (*compressed_size)(const void* arg, int codec),
                       const void* arg);
  // Why the analysis was stopped early; empty while it was not.
  std::string stop_reason() const;
  // After begin: the analysis stops after the first n buckets in drawing
  // order, as at params.stop_at (which it replaces), with this reason;
  // buckets after them are not counted. For configurations counted beside
  // another one, which stop where it stops.
  void set_bucket_limit(size_t n, const std::string& reason);
  // Buckets a run stops at once it is begun: the sampler draws no more
  // (params.stop_at); 0: no such limit. Valid after begin.
  size_t bucket_limit() const;
  static const size_t kHeldChunksMax = (size_t)1 << 20;
  // Buckets in drawing order between two steps of the adaptive shares, and
  // before the first.
  static const size_t kAdaptBuckets = 16;
  static const size_t kAdaptMinBuckets = 64;
  // After m_next_seq grew by one: at a power of two, the chunks needing
  // compression met so far (m_candidates_at), for __adapt_samples's rate.
  void __note_candidates();

  // The sample for an export, after finish: its figures (the plan, the run
  // and the host are the caller's to add) and its entries, by ascending
  // fingerprint. With params.export_file set, entries of a run that both
  // dedupes and compresses carry their compressed size.
  void get_export_header(sample_header_t* h) const;
  void for_each_entry(void (*func)(const sample_entry_t& e, void* arg),
                      void* arg) const;

  // Instead of reading: the final row and the summary of a sample gathered
  // elsewhere (merged exports). import_entry counts one distinct
  // fingerprint of the combined sample (in any order, each once);
  // import_totals then takes the sample's figures and prints the section's
  // title and header; finish prints the row. The plan totals in h stand in
  // for a sampler's, its entry count is not used.
  void import_entry(const sample_entry_t& e);
  void import_totals(const sample_header_t& h);
  // For an export of several configurations: the codec-th compressor's
  // part; and for a merge, the codec-th compressor's sample at the share
  // of the merge: with dedupe the chosen entries of every export (each
  // fingerprint once; those not chosen at the share are left out),
  // without it the exports' totals added up (totals). Call before
  // import_totals.
  sample_codec_part_t export_codec_part(int codec) const;
  void import_codec_part(
      int codec, double share,
      const std::vector<std::pair<uint64_t, uint64_t>>& chosen,
      const sample_codec_part_t& totals);
  // The fingerprint of an all-zero chunk in this run's width.
  fp_t zero_fingerprint() const { return m_zeros_crc; }

  // After finish: the final row's figures, and the summary's for the
  // codec-th compressor of config_codecs (the plan's totals as the
  // summary's: the sampler's for chunk_size, or those given by
  // set_plan_totals).
  row_t final_row() const;
  summary_input_t config_summary_input(int codec) const;
  // Before finish, for an Estimator fed without a sampler: the plan's
  // totals for the summary.
  void set_plan_totals(const summary_input_t& plan);
  // The share of the chunks needing compression whose size the codec-th
  // compressor measured: 1 when it measured every one.
  double compress_share(int codec) const;

 private:
  friend class EstimatorPeer;  // white-box access for estimator_test.cc

  // Steps of start before reading: clock, planned chunk and bucket counts,
  // "ANALYZING", first header. Without a bucket count every chunk counts as
  // a bucket. Chunks are counted as they come and rows follow the chunks
  // analysed (begin: rows follow the buckets in drawing order).
  void __start_reading(size_t total_chunks, size_t total_buckets = 0);

  void add_chunk(const unsigned char* chunk_data, size_t bucket_seq);

  // With m_mutex held: counts the chunk, advances the progress, refreshes
  // the progress line (now: the clock read before taking the lock) and,
  // when chunks are counted as they come, queues the periodic report when
  // one is due.
  void __count_chunk(bool is_zero, time_t now, int group);
  // With m_mutex held: n compressed bytes for a chunk that was no duplicate.
  // first_codec: the sizes are the first compressor's.
  void __count_compressed(fp_t fp, bool counted, size_t n, int group,
                          int label, bool first_codec = true);
  // With m_mutex held, with params.by, right after the chunk went through
  // the dedupe map (nothing changed the map since): counts it in its
  // label's figures and marks its entry with the label.
  void __count_label(bool is_zero, int label, int group);

  // A chunk of a bucket held back: what counting it needs.
  struct held_chunk_t {
    fp_t fp;
    uint32_t csize;  // its compressed size, when it may be needed
    uint8_t flags;   // HELD_*
    // With several compressors: where its sizes for each of them start in
    // the bucket's `sizes` (NO_SIZES: none measured).
    uint32_t sizes_at;
    uint8_t label;  // with params.by
  };
  enum { HELD_ZERO = 1, HELD_FIRST = 2, HELD_COUNTED = 4 };
  static const uint32_t NO_SIZES = UINT32_MAX;
  static const uint32_t NOT_MEASURED = UINT32_MAX;
  struct held_bucket_t {
    std::vector<held_chunk_t> chunks;
    // Sizes for each compressor of the chunks that have them, NOT_MEASURED
    // for those not measured, then the chunk's two auxiliary figures.
    std::vector<uint32_t> sizes;
    void clear() {
      chunks.clear();
      sizes.clear();
    }
  };
  // What a reading thread knows of the bucket it delivers (thread-local).
  struct reader_t {
    const Estimator* owner = nullptr;
    size_t seq = 0;
    bool held = false;
    held_bucket_t bucket;
    uint8_t label = 0;  // of the chunks being delivered (params.by)
  };
  // The calling thread's state for this Estimator (defined in the .cc).
  struct thread_state_t;
  thread_state_t& __thread_state() const;
  // With m_mutex held: counts a held bucket's chunks.
  void __count_held(size_t seq, const held_bucket_t& bucket);
  // With m_mutex held: leaves the drawing order, counting every held
  // bucket before the final limit.
  void __count_all_held();
  // With m_mutex held: whether the chunk's size is to be measured with each
  // compressor (want[c]); false when none is.
  bool __want_sizes(fp_t fp, bool* want) const;
  // Whether a chunk that needs compressing is to be measured even when no
  // compressor wants it: for its auxiliary figure.
  bool __always_measure() const { return m_aux_mode == AUX_GIVEN; }
  // The auxiliary figures of a chunk measured with sizes[c] for the
  // compressors that want[c] (0 without them): the stored size under the
  // first compressor (the one LZ4 follows) and that times the bytes'
  // entropy over 8 bits (the one the entropy coders follow, at least 1);
  // no lock needed.
  struct aux_t {
    size_t stored, entropy;
  };
  aux_t __aux_size(const bool* want, const size_t* sizes,
                   size_t (*compressed_size)(const void* arg, int codec),
                   const void* arg) const;
  // With m_mutex held: counts the sizes of a chunk that was no duplicate,
  // sizes[c] for the compressors that want[c], aux its auxiliary figures.
  void __count_sizes(fp_t fp, bool counted, const bool* want,
                     const size_t* sizes, aux_t aux, int group);
  // With m_mutex held: the adaptive shares' step, at every
  // kAdaptBuckets-th bucket in drawing order.
  void __adapt_samples();
  // With m_mutex held: counts the held buckets that are next in drawing
  // order, taking each row (and the stop at params.stop_at) when its
  // buckets are all counted.
  void __advance_window();
  // The next report point after `after` (a share of the plan): the early
  // points below the first report step when params.early_rows is set, then
  // the report steps; and the buckets a share takes (SIZE_MAX: beyond the
  // plan).
  double __next_report_point(double after);
  size_t __buckets_for(double share) const;

  // The fingerprint of a chunk of chunk_size bytes; no lock needed.
  fp_t __fingerprint(const unsigned char* chunk) const;

  // With m_mutex held: counts fp in the map and the histograms, for a chunk
  // of a bucket of `group`; first_in_bucket: the first chunk with fp in its
  // bucket (only those count towards the histograms). True when the chunk
  // needs no compression: a duplicate, or skipped by the memory-saving mode.
  bool __add_chunk_dedupe(fp_t fp, int group, bool first_in_bucket);
  template <class MAP>
  bool __add_chunk_dedupe_in(MAP* map, fp_t fp, int group,
                             bool first_in_bucket);
  // A chunk that is a bucket of its own.
  bool __add_chunk_dedupe(fp_t fp);
  // The map in use, given to f (a generic callable); entry_counts reads an
  // entry's counts in either.
  template <class F>
  void __visit_map(F&& f) const {
    if (m_by) f(m_by_map); else f(m_dedupe_map);
  }
  static const dedupe_count_t& entry_counts(const dedupe_count_t& c) {
    return c;
  }
  static const dedupe_count_t& entry_counts(const by_count_t& c) {
    return c.count;
  }
  static dedupe_count_t& entry_counts(dedupe_count_t& c) { return c; }
  static dedupe_count_t& entry_counts(by_count_t& c) { return c.count; }
  static void reset_labels(dedupe_count_t*, uint32_t) {}
  static void reset_labels(by_count_t* c, uint32_t stored) {
    c->label = label_entry_t{0, stored};
  }
  static label_entry_t* labels_of(dedupe_count_t*) { return nullptr; }
  static label_entry_t* labels_of(by_count_t* c) { return &c->label; }
  // With m_mutex held: whether fp has an entry in the map.
  bool __in_map(fp_t fp) const {
    return m_by ? m_by_map.count(fp) != 0 : m_dedupe_map.count(fp) != 0;
  }
  size_t __map_size() const {
    return m_by ? m_by_map.size() : m_dedupe_map.size();
  }
  // The map's lowest key; the map is not empty.
  fp_t __map_first() const {
    return m_by ? m_by_map.begin()->first : m_dedupe_map.begin()->first;
  }
  // With m_mutex held: the entry's bucket count rises by one, in group.
  void __count_bucket(fp_t fp, dedupe_count_t* c, int group);
  void __count_bucket_in(fp_t fp, dedupe_count_t* c, int group);
  // The composition sample (composition.h): every 16th distinct content
  // compressed with the first compressor, by a hash of its checksum, with
  // its compressed size, counted in the classes of the whole sample and of
  // the sample without each group by the buckets its entry has.
  static bool __in_composition(fp_t fp);
  // The composition factor's largest noise (a relative standard error)
  // at which it is taken (estimator.cc says why).
  static const double kMaxCompositionNoise;
  // With m_mutex held: a chunk of fp compressed to n bytes by the first
  // compressor joins the sample (when it is of it and has an entry).
  void __composition_add(fp_t fp, size_t n);
  // With m_mutex held: the entry's contents (csize bytes) taken out of
  // (sign -1) or put into (+1) the classes its counts say.
  void __composition_place(fp_t fp, const dedupe_count_t& c, uint32_t csize,
                           double sign);
  // With m_mutex held: moves an entry's counts to the side map.
  side_count_t& __to_side(fp_t fp, dedupe_count_t* c);
  // With m_mutex held: takes an entry out of the histograms (eviction).
  void __forget(fp_t fp, const dedupe_count_t& c);
  // Chunks and buckets of an entry, wherever they are kept.
  unsigned long long __chunks(fp_t fp, const dedupe_count_t& c) const;
  unsigned long long __buckets(fp_t fp, const dedupe_count_t& c) const;

  // With m_mutex held, in normal mode: reads the memory use when a check is
  // due and switches to the memory-saving mode above memory_limit.
  void __check_memory();
  // With m_mutex held: the memory warning for m_memory_warning bytes.
  void __print_memory_warning();

  // With m_mutex held: stops the analysis once params.stop_at or
  // params.time_limit is reached.
  void __check_limits();
  // With m_mutex held, for import_codec_part: keeps a parent's chosen
  // sizes, and chains a compressor to its parent where they nest.
  void __import_chain(size_t codec,
                      const std::vector<std::pair<uint64_t, uint64_t>>& chosen);
  void __stop(const std::string& reason);

  // A compressor's figures in a row.
  struct codec_counts_t {
    bool sampled;
    bool has_aux;        // sampled beside an auxiliary figure: aux is set
    aux_totals_t aux;
    size_t compressed, uncompressed, stored;
    group_totals_t by_bucket, by_hash;  // by_hash: sampled only
    double share;
    double first_share;  // with aux: as CompressSample::first_share
    size_t chosen;
    // A merge's chained sample: its parent, and its and the parent's bytes
    // of its chunks by hash group (merge_chain_t::out); -1 otherwise.
    int merge_parent;
    group_totals_t chain_out;
  };
  // The figures a report row is made of.
  struct counters_t {
    size_t total_chunks;
    size_t n_data_chunks;
    size_t n_zero_chunks;
    size_t n_skipped_chunks;
    double progress;
    time_t elapsed_time;
    size_t compressed_size;
    size_t uncompressed_size;
    size_t stored_size;
    size_t map_size;
    fp_t map_first;  // smallest fingerprint in the map, if any
    size_t dfh_size;
    size_t total_buckets;
    size_t memory_cur;
    size_t memory_peak;
    int n_printed_reports;
    size_t n_buckets;  // counted so far (the window's buckets)
    // The same figures by jackknife group (a bucket's drawing order modulo
    // UNSEEN_GROUPS), for the ranges of compression and zeros.
    size_t group_chunks[UNSEEN_GROUPS];
    size_t group_zeros[UNSEEN_GROUPS];
    size_t group_compressed[UNSEEN_GROUPS];
    size_t group_uncompressed[UNSEEN_GROUPS];
    // Every compressor's figures (the first's also above); empty without
    // compression.
    std::vector<codec_counts_t> codecs;
    // The composition sample's classes: [0] of the whole sample, [g + 1]
    // of the sample without group g.
    composition_classes_t classes[UNSEEN_GROUPS + 1];
    // Set by __analyze_dfh: the first compressor's ratio times `composition`
    // is the estimate for the data set's distinct contents (composition.h);
    // its range is that of the contents seen times composition_low and
    // composition_high, widened by composition_noise (a relative standard
    // error, the groups' jackknife of the factor). 1, 1, 1, 0: none.
    double composition = 1, composition_low = 1, composition_high = 1;
    double composition_noise = 0;
  };
  // The first compressor's range for the contents seen, taken to the data
  // set's distinct contents (counters_t::composition): the estimate times
  // the factor; each bound times the factor's own bound on its side, its
  // distance from the estimate joined on the log scale with the factor's
  // noise (t standard errors) as independent errors are. A blank bound
  // stays blank.
  static range_t __with_composition(const counters_t& c, range_t kr);
  // The range of compressor codec's ratio in a row.
  range_t __codec_range(const counters_t& c, size_t codec) const;
  // The histograms a dedupe estimate is made from: of the whole sample, and
  // of the sample without each group's buckets (checksums in the overflow
  // map left out of those), with their used lengths.
  struct dfh_set_t {
    DFH_ARRAY all;
    size_t all_size;
    DFH_ARRAY rep[UNSEEN_GROUPS];
    size_t rep_size[UNSEEN_GROUPS];
    size_t n_big;
    unsigned long long big_buckets;
  };
  // The histograms' part of a dedupe estimate's input (the caller sets the
  // counts and shares); it points into dfh.
  static unseen_sample_t __sample_of(const dfh_set_t& dfh);
  // A periodic report waiting to be printed: its counters and a copy of the
  // histograms' used entries.
  struct report_t {
    counters_t c;
    dfh_set_t dfh;
  };

  // With m_mutex held (or after reading): the current figures, the memory
  // use read now.
  counters_t __counters() const;
  // With m_mutex held: queues the snapshot of a periodic report.
  void __queue_report();
  // With m_mutex held, after a periodic row in drawing order: stops the
  // analysis at that row once params.target_width is met.
  void __check_width(const counters_t& c, double r, double r_low,
                     double r_high);
  // Called and returns with m_mutex held: prints every queued report, in
  // order, releasing m_mutex around each dedupe estimate. Returns at once if
  // another thread is doing it.
  void __drain_reports();
  void __print_report(const counters_t& c, double r, double r_low,
                      double r_high) const;
  // Chunks of the data set that go to dedupe, estimated (zero chunks left
  // out when they bypass it), and *sample of them analysed.
  size_t __dedupe_total(const counters_t& c, size_t* sample) const;
  // After a row with dedupe ratio r: once, a warning when 32-bit checksums
  // would merge more than 0.5 % of the data set's distinct chunks.
  void __warn_collisions(const counters_t& c, double r) const;
  void __analyze_dfh(double* r, double* r_low, double* r_high) const;
  // With the compression estimated: sets c's composition figures from the
  // dedupe estimate e at share f.
  void __composition(counters_t* c, const unseen_result_t& e, double f) const;
  void __analyze_dfh(counters_t& c, const dfh_set_t& dfh, double* r,
                     double* r_low, double* r_high) const;
  // With m_mutex held: a copy of the histograms' used entries.
  void __snapshot(dfh_set_t* out) const;
  void __print_header(bool to_file) const;
  void __print_header(int n_printed_reports, bool to_file) const;
  void __print_progress(bool to_file) const;
  void __print_progress(const counters_t& c, bool to_file) const;
  // Whether the console gets the compact layout (a terminal, no debug
  // output); the report file keeps the full one.
  bool __compact() const;
  // The figures of a row after its progress part, and the end of its line;
  // on a compact console, the whole row in the compact layout.
  void __print_row_end(const counters_t& c, double r, double r_low,
                       double r_high) const;
  void __print_dedupe(double r, double r_low, double r_high) const;
  void __print_compress(const counters_t& c) const;
  void __print_zeros(const counters_t& c) const;
  // A row's figures, with the ranges of compression and zeros.
  row_t __row(const counters_t& c, double r, double r_low, double r_high,
              bool final) const;
  // A row's figures to the machine-readable record, when it is open, and to
  // env_t::on_row.
  void __record_row(const counters_t& c, double r, double r_low, double r_high,
                    bool final) const;
  // The time left at the current rate, for the progress line.
  std::string __eta(const counters_t& c) const;
  // The summary's figures for a row (the plan's totals, the row's ranges).
  // codec: the compressor whose figures the summary takes.
  summary_input_t __summary_input(const counters_t& c, double r, double r_low,
                                  double r_high, size_t codec = 0) const;
  void __print_summary(const counters_t& c, double r, double r_low,
                       double r_high);
  // After the summary, with params.by: the breakdown table, printed and
  // recorded.
  void __print_breakdown(const counters_t& c, bool exact);

  mutable Mutex m_mutex;
  const pelko_params_t& m_params;
  const env_t m_env;

  // Guarded by m_mutex while reading.
  size_t m_total_chunks;  // set by start before reading
  size_t m_n_data_chunks;
  size_t m_n_zero_chunks;
  size_t m_n_skipped_chunks;
  double m_progress;
  bool m_save_memory;
  time_t m_start_time;  // set by start before reading
  time_t m_elapsed_time;
  double m_report_next;
  double m_report_step;  // the next multiple of the report step, summed up
  // Rows by buckets in drawing order (begin), or by chunks as they come.
  bool m_ordered;
  // Buckets in drawing order that make one row (each has this many chunks
  // but perhaps the plan's last one).
  double m_rows_cpb;
  // Buckets are counted in drawing order: the bucket numbered m_next_seq as
  // it arrives, later ones held back in m_held until every one before them
  // has been counted. m_in_order is false once a stop that is not a row's
  // (a signal, the time limit) has counted what was held: from then on
  // every bucket is counted as it comes.
  bool m_in_order;
  // A row waits for its estimate to decide on params.target_width: no
  // bucket is counted meanwhile. m_rows_within: rows in a row that were.
  bool m_paused;
  int m_rows_within;
  size_t m_next_seq;
  // The next row is taken when the window reaches this many buckets.
  size_t m_row_buckets;
  // params.stop_at in buckets, SIZE_MAX: none. Held buckets from
  // m_final_limit on are dropped (a stop that keeps its row repeatable).
  size_t m_stop_buckets;
  size_t m_final_limit;
  size_t m_tail_bytes;  // plan_t::tail_bytes
  std::map<size_t, held_bucket_t> m_held;
  size_t m_held_chunks;
  Condvar m_held_cv;  // m_held shrank or the window ended
  size_t m_group_chunks[UNSEEN_GROUPS];
  size_t m_group_zeros[UNSEEN_GROUPS];
  size_t m_group_compressed[UNSEEN_GROUPS];
  size_t m_group_uncompressed[UNSEEN_GROUPS];
  DEDUPE_MAP m_dedupe_map;
  // Memory-saving mode only: the threshold checksum, always a key of
  // m_dedupe_map. Every other key is at or above it except the protected
  // all-zero checksum.
  fp_t m_lower_crc;
  // Counts of the entries whose buckets[0] is SIDE: checksums met twice in
  // one bucket, or in more buckets of a group than a byte holds.
  SIDE_MAP m_dedupe_side;
  // Side entries no longer grouped, and their bucket counts in all.
  size_t m_n_ungrouped;
  // Histogram of bucket counts: entry k counts the checksums seen in exactly
  // k sampled buckets.
  DFH_ARRAY m_dfh_array;
  size_t m_dfh_size;
  // The same without the buckets of each group; side entries no longer
  // grouped are left out, and summed up in m_big_buckets.
  DFH_ARRAY m_dfh_rep[UNSEEN_GROUPS];
  size_t m_dfh_rep_size[UNSEEN_GROUPS];
  unsigned long long m_big_buckets;
  size_t m_total_buckets;  // set by start before reading
  size_t m_compressed_size;
  // The compressed chunks stored at no more than their own size each: the
  // sum of min(compressed, chunk_size), for the summary.
  size_t m_stored_size;
  size_t m_uncompressed_size;
  unsigned m_updates_since_check;
  // Memory use to name in a warning not yet printed (0: none).
  size_t m_memory_warning;

  // Immutable after construction; read without the lock.
  // An all-zero chunk, from calloc: its pages are the system's zero page
  // until written, so a large chunk size (a merged export's) takes no
  // memory for it.
  struct free_deleter {
    void operator()(unsigned char* p) const { free(p); }
  };
  std::unique_ptr<unsigned char, free_deleter> m_zeros;
  size_t m_zero_compressed;  // what one all-zero chunk compresses to
  fp_t m_zeros_crc;  // fingerprint of an all-zero chunk
  bool m_fingerprint64;
  mutable bool m_collisions_warned;  // guarded by m_mutex while reading
  size_t m_chunks_per_bucket;
  // Numbers for chunks that come without a bucket.
  std::atomic<size_t> m_solo_seq;
  // Tells Estimators apart in the reading threads' state, also one built
  // where another was.
  const uint64_t m_id;

  int m_n_printed_reports;  // guarded by m_mutex

  // Guarded by m_mutex: reports waiting to be printed, oldest first, and
  // whether a thread is working through them.
  std::deque<report_t> m_reports;
  bool m_reporting;

  // Guarded by m_mutex: the sampler being read (set by start), why the
  // analysis was stopped early (empty: it was not), and the start of the
  // analysis on the clock of get_seconds.
  Sampler* m_sampler;
  std::string m_stop_reason;
  bool m_summarized;  // the summary has taken m_stop_reason
  double m_start_seconds;
  // The reason of the stop at m_stop_buckets given by set_bucket_limit.
  std::string m_limit_reason;

  // With params.by (set by start; guarded by m_mutex while reading): the
  // labels' counts; the map is then m_by_map and m_dedupe_map stays empty
  // (__visit_map gives the one in use). m_counted_label: the label part of
  // the entry __add_chunk_dedupe last counted, null when it skipped the
  // chunk; valid until the map next changes.
  bool m_by;
  std::vector<breakdown_count_t> m_labels;
  BY_MAP m_by_map;
  label_entry_t* m_counted_label;

  // Compressed size of the first chunk of every map entry, kept for an
  // export (m_keep_csize); guarded by m_mutex.
  bool m_keep_csize;
  CSIZE_MAP m_csize;
  // The composition sample: checksum -> compressed size, and its classes
  // (as counters_t::classes).
  CSIZE_MAP m_composition;
  composition_classes_t m_classes[UNSEEN_GROUPS + 1];
  // A merge's figures: set by import_totals; distinct fingerprints counted
  // by import_entry (they are not kept in the map).
  bool m_imported;
  sample_header_t m_import;
  size_t m_n_imported;

  // The compressors (immutable after construction); whether any is sampled
  // or there are several (the general path of counting compressed sizes);
  // what an all-zero chunk compresses to with each.
  std::vector<codec_t> m_codecs;
  bool m_general;
  // What the sampled compressors are measured beside (compress_sample.h):
  // nothing; the first compressor's stored size, measured in full here; or
  // the one env.aux_given gives.
  enum aux_mode_t { AUX_NONE, AUX_OWN, AUX_GIVEN };
  aux_mode_t m_aux_mode;
  // Whether a sampled compressor codes its literals where the first one
  // does not, and so follows the entropy-weighted figure (any one: the
  // entropy is measured).
  std::vector<bool> m_aux_entropy;
  bool m_need_entropy;
  // Each compressor's parent in a chained sample (compress_sample.h): the
  // first sampled one of the same codec, at another level; -1 for none.
  // A run chains them where they have an auxiliary figure, a merge where
  // the exports' choices nest.
  std::vector<int> m_chain;
  std::vector<size_t> m_zero_compressed_by;
  // Guarded by m_mutex: each compressor's chunk sample (inactive for the
  // first unless params.sample_first), made by __start_reading, and for an
  // export the sizes of the chunks chosen, by compressor.
  std::vector<CompressSample> m_samples;
  std::vector<CSIZE_MAP> m_sample_csize;
  // A merge: the chosen chunks' sizes of each compressor another is
  // chained to, and for each chained one whose chunks all have them, its
  // and its parent's bytes by hash group (ranges.h, chained_ratio_range).
  std::vector<std::unordered_map<uint64_t, uint64_t>> m_import_sizes;
  struct merge_chain_t {
    bool on = false;
    group_totals_t out;  // parts: the parent's bytes, wholes: its own
  };
  std::vector<merge_chain_t> m_merge_chain;
  size_t m_adapt_next;  // the bucket count of the next adaptive step
  // Chunks that needed compression, and how many had at 2^k buckets.
  size_t m_candidates;
  std::vector<size_t> m_candidates_at;
  // The final row's figures and the plan's totals for the summary (set by
  // finish and set_plan_totals).
  counters_t m_final;
  double m_final_r, m_final_r_low, m_final_r_high;
  bool m_have_plan;
  summary_input_t m_plan;
};

#endif  // PELKO_ESTIMATOR_H_
