#include "configs.h"

#include <stdio.h>
#include <string.h>
#include <xxhash.h>

#include <algorithm>

#include "codec.h"
#include "pelko_assert.h"
#include "printer.h"
#include "record.h"
#include "sampler.h"
#include "thread_object.h"

namespace {

// What a reading thread keeps between runs: the registers and zero flags
// of the run's chunks, joined in place from one size to the next; and the
// first compressor's stored size of each chunk of the smallest size, once
// measured (UNMEASURED until then), and its byte_entropy (negative until
// measured), for the auxiliary figures of the other sizes' sampled
// compressors (compress_sample.h).
struct run_state_t {
  static constexpr uint32_t UNMEASURED = UINT32_MAX;
  std::vector<uint32_t> regs;
  std::vector<uint8_t> zero;
  std::vector<uint32_t> stored;
  std::vector<float> entropy;
};

// A chunk of one size within a run, for its compressed sizes: it starts
// with the run's first_part-th chunk of the smallest size.
struct chunk_ref_t {
  const unsigned char* run_data;
  size_t size;
  size_t smallest;
  size_t first_part;
  const std::vector<codec_t>* codecs;
  run_state_t* run;
};

// The stored size of the run's i-th part under the first compressor:
// measured once per run, whichever size asks first (the first size
// measures its new chunks anyway).
uint32_t part_stored(const chunk_ref_t& c, size_t i) {
  uint32_t& v = c.run->stored[i];
  if (v == run_state_t::UNMEASURED)
    v = (uint32_t)std::min(
        codec_compressed_size((*c.codecs)[0], c.run_data + i * c.smallest,
                              c.smallest),
        c.smallest);
  return v;
}

size_t chunk_compressed(const void* arg, int codec) {
  const chunk_ref_t* c = static_cast<const chunk_ref_t*>(arg);
  const std::vector<codec_t>& codecs = *c->codecs;
  std::vector<uint32_t>& stored = c->run->stored;
  const size_t parts_end = c->first_part + c->size / c->smallest;
  if (codec == Estimator::AUX_CODEC) {
    size_t n = 0;
    for (size_t i = c->first_part; i < parts_end; i++) n += part_stored(*c, i);
    return n;
  }
  if (codec == Estimator::AUX_ENTROPY) {
    // The parts' entropies, each measured once per run, weighted by their
    // stored sizes: the figure it is multiplied by is their sum.
    std::vector<float>& entropy = c->run->entropy;
    double bits = 0, weight = 0;
    for (size_t i = c->first_part; i < parts_end; i++) {
      if (entropy[i] < 0)
        entropy[i] =
            (float)byte_entropy(c->run_data + i * c->smallest, c->smallest);
      const double w = part_stored(*c, i);
      bits += w * entropy[i];
      weight += w;
    }
    return weight > 0 ? (size_t)(65536 * bits / weight) : 0;
  }
  const size_t n =
      codec_compressed_size(codecs[(size_t)codec],
                            c->run_data + c->first_part * c->smallest, c->size);
  if (codec == 0 && c->size == c->smallest)
    stored[c->first_part] = (uint32_t)std::min(n, c->smallest);
  return n;
}

}  // namespace

Configurations::Configurations(const pelko_params_t& params)
    : m_params(params),
      m_sizes(config_chunk_sizes(params)),
      m_codecs(config_codecs(params)),
      m_fingerprint64(params.fingerprint_bits == 64) {
  const size_t smallest = params.chunk_size;
  m_zeros.reset(new unsigned char[smallest]());
  m_ctx.resize(m_sizes.size());
  for (size_t i = 0; i < m_sizes.size(); i++) {
    const bool first = i == 0;
    std::unique_ptr<pelko_params_t> p(new pelko_params_t);
    p->chunk_size = m_sizes[i];
    p->compressors = params.compressors;
    p->compress_share = params.compress_share;
    // The first configuration is measured in full unless asked otherwise;
    // every other size's compression is sampled.
    p->sample_first = first ? params.sample_first : true;
    p->bucket_size = params.bucket_size;
    p->bucket_size_given = params.bucket_size_given;
    p->estimate_mask = params.estimate_mask;
    p->report_freq = params.report_freq;
    p->n_threads = params.n_threads;
    p->scan_time_limit = params.scan_time_limit;
    p->scan_memory_limit = params.scan_memory_limit;
    p->memory_limit = params.memory_limit;
    p->alpha = params.alpha;
    p->debug = first ? params.debug : 0;
    p->seed_given = params.seed_given;
    p->seed = params.seed;
    p->stop_at = params.stop_at;
    p->early_rows = params.early_rows;
    // The first size decides when the analysis ends; the others stop with
    // it (on_stop).
    p->target_width = first ? params.target_width : 0;
    p->time_limit = first ? params.time_limit : 0;
    p->fingerprint_bits = params.fingerprint_bits;
    p->export_file = params.export_file;
    m_ctx[i] = size_ctx_t{this, m_sizes[i]};
    Estimator::env_t env;
    if (first) {
      env.on_stop = on_stop;
      env.on_stop_arg = this;
      env.summary_tail = [](void* arg) -> std::string {
        Configurations* self = static_cast<Configurations*>(arg);
        self->make_table();
        return "\n" + format_config_table(self->m_table);
      };
      env.summary_tail_arg = this;
    } else {
      env.report = false;
      // The first configuration is measured in full: the others' samples
      // lean on it, unless it is sampled too (then for speed, which
      // measuring every chunk for them would undo).
      env.aux_given = !params.sample_first;
      if (record.active()) {
        env.on_row = on_size_row;
        env.on_row_arg = &m_ctx[i];
      }
    }
    m_estimators.emplace_back(new Estimator(*p, env));
    m_size_params.push_back(std::move(p));
  }
  // Every size from the smallest up by doubling, to the largest: the
  // chunks of each are joined from two of the size before.
  const size_t largest = *std::max_element(m_sizes.begin(), m_sizes.end());
  for (size_t size = smallest; size <= largest; size *= 2) {
    level_t level;
    level.size = size;
    level.estimator = nullptr;
    for (size_t i = 0; i < m_sizes.size(); i++)
      if (m_sizes[i] == size) level.estimator = m_estimators[i].get();
    if (size != smallest) level.join.reset(new CrcShift(size / 2));
    m_levels.push_back(std::move(level));
  }
}

Configurations::~Configurations() {}

void Configurations::start(Sampler* sampler) {
  Estimator& first = *m_estimators[0];
  first.attach(sampler);
  for (auto& e : m_estimators) e->begin(e->plan_of(*sampler));
  // The others stop where the first stops.
  const size_t limit = first.bucket_limit();
  for (size_t i = 1; i < m_estimators.size(); i++)
    m_estimators[i]->set_bucket_limit(limit, "");
  sampler->set_draw_limit(limit);
  sampler->read_runs(add_run, end_bucket, this);
  for (size_t i = 0; i < m_sizes.size(); i++) {
    summary_input_t plan;
    const Sampler::plan_totals_t t = sampler->get_plan_totals(m_sizes[i]);
    plan.total_size = t.total_size;
    plan.reductible_size = t.reductible_size;
    plan.total_files = t.total_files;
    plan.scan_stopped = t.scan_stopped;
    plan.unread_size = sampler->get_unread_size();
    plan.unread_files = sampler->get_unread_files();
    if (i > 0) m_estimators[i]->set_plan_totals(plan);
  }
}

bool Configurations::stop(const std::string& reason) {
  return m_estimators[0]->stop(reason);
}

void Configurations::on_stop(const std::string& reason, size_t row_buckets,
                             void* arg) {
  Configurations* self = static_cast<Configurations*>(arg);
  for (size_t i = 1; i < self->m_estimators.size(); i++)
    self->m_estimators[i]->stop(reason, row_buckets);
}

void Configurations::on_size_row(const Estimator::row_t& row, void* arg) {
  const size_ctx_t* ctx = static_cast<const size_ctx_t*>(arg);
  record_size_row_t r;
  r.chunk_size = ctx->chunk_size;
  r.final = row.final;
  r.progress = 100 * row.progress;
  r.r = row.r;
  r.r_low = row.r_low;
  r.r_high = row.r_high;
  r.zeros = 100 * row.zeros;
  r.zeros_low = row.zeros_low < 0 ? -1 : 100 * row.zeros_low;
  r.zeros_high = row.zeros_high < 0 ? -1 : 100 * row.zeros_high;
  for (size_t k = 0; k < row.codecs.size(); k++) {
    r.compressors.push_back(codec_name(ctx->owner->m_codecs[k]));
    r.compress.push_back(row.codecs[k]);
  }
  record.add_size_row(r);
}

void Configurations::add_run(const unsigned char* data, size_t n, size_t whole,
                             size_t bucket_seq, void* arg) {
  static_cast<Configurations*>(arg)->add_run(data, n, whole, bucket_seq);
}

void Configurations::end_bucket(size_t bucket_seq, void* arg) {
  for (auto& e : static_cast<Configurations*>(arg)->m_estimators)
    e->end_bucket(bucket_seq);
}

void Configurations::add_run(const unsigned char* data, size_t n, size_t whole,
                             size_t bucket_seq) {
  const size_t smallest = m_levels[0].size;
  run_state_t& st = thread_object<run_state_t>();
  size_t count = n / smallest;
  st.regs.resize(count);
  st.zero.resize(count);
  st.stored.assign(count, run_state_t::UNMEASURED);
  st.entropy.assign(count, -1.0f);
  for (size_t i = 0; i < count; i++) {
    const unsigned char* c = data + i * smallest;
    // An all-zero chunk's register is 0: the checksum is linear.
    const bool zero = memcmp(c, m_zeros.get(), smallest) == 0;
    st.zero[i] = zero;
    st.regs[i] = zero ? 0 : crc_register(c, smallest);
  }
  for (const level_t& level : m_levels) {
    const size_t size = level.size;
    if (size > whole) break;  // no whole chunk of this size here
    if (level.join) {
      // Two chunks of the size before make one of this size.
      count /= 2;
      for (size_t j = 0; j < count; j++) {
        st.regs[j] = (*level.join)(st.regs[2 * j]) ^ st.regs[2 * j + 1];
        st.zero[j] = st.zero[2 * j] && st.zero[2 * j + 1];
      }
    }
    if (level.estimator == nullptr) continue;
    for (size_t j = 0; j < count; j++) {
      const unsigned char* c = data + j * size;
      const bool zero = st.zero[j] != 0;
      Estimator::fp_t fp = crc_finish(st.regs[j], size);
      if (m_fingerprint64 && !zero)
        fp = fp << 32 | (uint32_t)XXH3_64bits(c, size);
      const chunk_ref_t ref{data, size, smallest, j * (size / smallest),
                            &m_codecs, &st};
      level.estimator->add_fingerprint(fp, zero, bucket_seq, chunk_compressed,
                                       &ref);
    }
  }
}

void Configurations::finish() {
  for (size_t i = 1; i < m_estimators.size(); i++) m_estimators[i]->finish();
  // The first prints its row and the summary, which asks for the table.
  m_estimators[0]->finish();
}

void Configurations::make_table() {
  m_table.clear();
  const std::vector<std::string> notes = printer.summary_notes();
  for (size_t i = 0; i < m_sizes.size(); i++) {
    const Estimator& e = *m_estimators[i];
    for (size_t k = 0; k < m_codecs.size(); k++) {
      config_figures_t f;
      f.chunk_size = m_sizes[i];
      f.compressor = codec_name(m_codecs[k]);
      f.compress_share = e.compress_share((int)k);
      f.in = e.config_summary_input((int)k);
      f.in.warnings = notes;
      f.s = compute_summary(f.in);
      m_table.push_back(f);
    }
  }
  record.write_configurations(m_table);
}
