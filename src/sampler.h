// Sampling plan and sample reader.
//
// scan() walks every root and cuts every file and block device into slices
// of whole chunks, packed in arrival order into buckets of bucket_size
// bytes; read() reads the buckets back in random order on a pool of threads
// and hands every whole chunk to a callback.
#ifndef PELKO_SAMPLER_H_
#define PELKO_SAMPLER_H_

#include <stddef.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "mutex.h"
#include "pelko.h"

class Walker;

class Sampler {
 public:
  // Called once per chunk from the reading threads, concurrently, without any
  // Sampler lock held. chunk_data points to exactly chunk_size bytes, valid
  // only until the call returns.
  typedef void (*chunk_cb_func_t)(const unsigned char* chunk_data,
                                  void* cb_arg);

  // Keeps a reference to params, which must outlive the Sampler.
  explicit Sampler(const pelko_params_t& params);
  ~Sampler();
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Walks all roots and builds the plan, printing the scan phase's lines.
  // Call once.
  void scan();

  // Chunks the analysis is to expect for the whole of the inputs; after a
  // stopped scan, the planned count scaled up to the probed input size.
  size_t get_total_chunks() const;

  // Reads every planned bucket on params.n_threads threads in rand() order
  // and calls cb_func(chunk, cb_arg) for every whole chunk read; returns when
  // the last call has returned. Call once, after scan().
  void read(chunk_cb_func_t cb_func, void* cb_arg);

 private:
  // (The module's implementer completes the private part.)
  const pelko_params_t& m_params;
};

#endif  // PELKO_SAMPLER_H_
