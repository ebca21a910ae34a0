// Several configurations from one read: every chunk size of
// params.chunk_sizes with every compressor of params.compressors.
//
// One Estimator per chunk size counts that size's chunks; the first
// size's prints the report (its rows show the first compressor), the
// others count without printing (Estimator::env_t::report false). The plan
// is read in runs of whole chunks of the smallest size (Sampler::read_runs):
// each chunk of the smallest size is tested for zeros and checksummed once,
// and the checksum of every larger chunk is combined from those of its
// parts (CrcShift), so a chunk of each size has the fingerprint a run with
// that size alone would give it. Each Estimator counts its buckets in
// drawing order, and stops where the first one stops.
//
// At the end the summary gets the table of configurations
// (format_config_table), and the records one "configuration" object and
// CSV line each; with --json every other size's rows too ("size_row").
//
// Thread safety: as Estimator's. The reading threads call into the
// Estimators one after the other, never holding two of their locks.
#ifndef PELKO_CONFIGS_H_
#define PELKO_CONFIGS_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "crc.h"
#include "estimator.h"
#include "options.h"
#include "summary.h"

class Sampler;

class Configurations {
 public:
  // Keeps a reference to params (several_configs(params)), which must
  // outlive the object; params.bucket_size must be a multiple of every
  // chunk size.
  explicit Configurations(const pelko_params_t& params);
  ~Configurations();
  Configurations(const Configurations&) = delete;
  Configurations& operator=(const Configurations&) = delete;

  // As Estimator::start, for every configuration at once.
  void start(Sampler* sampler);
  // The first size's final row and the summary with the table. Call once,
  // after start has returned.
  void finish();
  // As Estimator::stop; every configuration stops with the first.
  bool stop(const std::string& reason);

  const pelko_params_t& params() const { return m_params; }
  // The chunk sizes in the order given, and each one's Estimator.
  size_t n_sizes() const { return m_sizes.size(); }
  size_t chunk_size(size_t i) const { return m_sizes[i]; }
  const Estimator& estimator(size_t i) const { return *m_estimators[i]; }

  // After finish: the table's figures, sizes in the order given, each with
  // every compressor in the order given.
  const std::vector<config_figures_t>& table() const { return m_table; }

 private:
  static void add_run(const unsigned char* data, size_t n, size_t whole,
                      size_t bucket_seq, void* arg);
  static void end_bucket(size_t bucket_seq, void* arg);
  static void on_stop(const std::string& reason, size_t row_buckets,
                      void* arg);
  static void on_size_row(const Estimator::row_t& row, void* arg);
  void add_run(const unsigned char* data, size_t n, size_t whole,
               size_t bucket_seq);
  // The table's figures, after every Estimator has finished.
  void make_table();

  const pelko_params_t& m_params;
  std::vector<size_t> m_sizes;  // as given
  std::vector<std::unique_ptr<pelko_params_t>> m_size_params;
  // Each size's context for its rows in the record.
  struct size_ctx_t {
    Configurations* owner;
    size_t chunk_size;
  };
  std::vector<size_ctx_t> m_ctx;
  std::vector<std::unique_ptr<Estimator>> m_estimators;  // by m_sizes
  std::vector<codec_t> m_codecs;
  // The sizes from the smallest up by doubling, to the largest: for each,
  // its Estimator (null where it is not configured) and the shift that
  // joins two chunks of the size before it.
  struct level_t {
    size_t size;
    Estimator* estimator;
    std::unique_ptr<CrcShift> join;  // null for the smallest
  };
  std::vector<level_t> m_levels;
  bool m_fingerprint64;
  std::unique_ptr<unsigned char[]> m_zeros;  // the smallest size's
  std::vector<config_figures_t> m_table;
};

#endif  // PELKO_CONFIGS_H_
