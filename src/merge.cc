#include "merge.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <queue>
#include <vector>

#include "codec.h"
#include "configs.h"
#include "estimator.h"
#include "format.h"
#include "interrupt.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "record.h"
#include "sample_file.h"
#include "sampler.h"
#include "summary.h"

namespace {

void export_error(const std::string& path, const std::string& what) {
  printer << std::flush;
  std::cerr << "ERROR: --export " << path << ": " << what << std::endl;
}

std::string dir_of(const std::string& path) {
  const size_t cut = os_last_separator(path);
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

uint64_t random_id() {
  uint64_t id = 0;
  if (!os_random_bytes(&id, sizeof(id)) || id == 0) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    id = ((uint64_t)ts.tv_sec << 32) ^ (uint64_t)ts.tv_nsec ^
         ((uint64_t)(uintptr_t)&ts << 16);
  }
  return id;
}

void write_entry(const sample_entry_t& e, void* arg) {
  static_cast<SampleWriter*>(arg)->add(e);
}

std::string percent(double share) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f%%", share * 100);
  return buf;
}

// The analysed share of an export's plan; an empty plan counts as
// complete.
double fraction_of(const sample_header_t& h) {
  if (h.total_chunks == 0) return 1.0;
  return (double)(h.n_data_chunks + h.n_zero_chunks) / (double)h.total_chunks;
}

// How far a run's share may lie from its --stop-at: the buckets its threads
// still finished after it was reached, and rounding.
double fraction_slack(const sample_header_t& h) {
  if (h.total_buckets == 0) return 1.0;
  return (double)(h.n_threads + 1) / (double)h.total_buckets + 0.001;
}

int merge_error(const std::string& file, const std::string& what) {
  printer << std::flush;
  std::cerr << "ERROR: " << file << ": " << what << std::endl;
  return 1;
}

bool add_to(uint64_t* sum, uint64_t v) {
  return !__builtin_add_overflow(*sum, v, sum);
}

// A signal during a merge: its figures would cover part of the exports.
int merge_interrupted() {
  const int signo = interrupt_signal();
  printer << std::endl
          << "Merge interrupted by " << interrupt_signal_name(signo) << "."
          << std::endl;
  record.write_stop(std::string("merge interrupted by ") +
                    interrupt_signal_name(signo));
  return interrupt_exit_status(signo);
}

typedef std::vector<std::unique_ptr<SampleReader>> READERS;

// A k-way merge of the entries the readers yield next, which are in
// fingerprint order, into estimator: counts of a fingerprint add up, its
// compressed size (of its first chunk) counts once. With a threshold,
// entries below lower_fp (but the all-zero chunk's when zeros take part in
// dedupe) count as skipped, in *dropped. *kept: entries imported, and the
// sum of their compressed sizes. Stops at the first overflow (*overflow
// set); false when a signal came (nothing more is imported). With ov, each
// imported entry but the all-zero chunk's is counted there by the exports
// that hold it.
bool merge_entries(const READERS& readers, bool threshold, uint64_t lower_fp,
                   int estimate_mask, Estimator* estimator, uint64_t* kept,
                   uint64_t* kept_csize, uint64_t* dropped, bool* overflow,
                   overlap_t* ov) {
  const bool zeros_protected = (estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  const uint64_t zero_fp = estimator->zero_fingerprint();
  std::vector<sample_entry_t> cur(readers.size());
  typedef std::pair<uint64_t, size_t> head_t;  // fingerprint, export
  std::priority_queue<head_t, std::vector<head_t>, std::greater<head_t>> heads;
  for (size_t i = 0; i < readers.size(); i++)
    if (readers[i]->next(&cur[i])) heads.push(head_t(cur[i].fp, i));
  while (!heads.empty()) {
    if (interrupt_signal() != 0) return false;
    sample_entry_t e;
    e.fp = heads.top().first;
    bool first = true;
    uint64_t holders = 0;  // a bit per export, with ov
    while (!heads.empty() && heads.top().first == e.fp) {
      const size_t i = heads.top().second;
      heads.pop();
      if (ov != nullptr) holders |= (uint64_t)1 << i;
      const sample_entry_t& x = cur[i];
      *overflow |=
          !add_to(&e.chunks, x.chunks) || !add_to(&e.buckets, x.buckets);
      e.grouped = e.grouped && x.grouped;
      for (int g = 0; g < SAMPLE_GROUPS; g++)
        *overflow |= !add_to(&e.groups[g], x.groups[g]);
      if (first) e.csize = x.csize;
      first = false;
      if (readers[i]->next(&cur[i])) heads.push(head_t(cur[i].fp, i));
    }
    if (*overflow) return true;
    if (threshold && e.fp < lower_fp && !(zeros_protected && e.fp == zero_fp)) {
      *dropped += e.chunks;
      continue;
    }
    if (!e.grouped)
      for (uint64_t& g : e.groups) g = 0;
    if (ov != nullptr && !(zeros_protected && e.fp == zero_fp)) ov->add(holders);
    estimator->import_entry(e);
    (*kept)++;
    *kept_csize += e.csize;
  }
  return true;
}

// The configurations an export holds: whether it holds several, their
// compressors and chunk sizes, and whether the first one's compression was
// sampled. Reads the export through to its configurations' part.
struct export_configs_t {
  bool several = false;
  std::vector<std::string> codecs;
  std::vector<uint64_t> sizes;
  bool first_sampled = false;
};

bool skim_configs(const SampleReader& reader, export_configs_t* out,
                  std::string* error) {
  SampleReader r;
  sample_entry_t e;
  if (r.open_again(reader))
    while (r.next(&e)) {
    }
  *error = r.error();
  if (!error->empty()) return false;
  out->several = r.has_configs();
  if (!out->several) return true;
  out->codecs = r.config_codecs();
  out->sizes = r.config_sizes();
  sample_codec_part_t p;
  if (!r.read_codec_part(&p)) {
    *error = r.error();
    return false;
  }
  out->first_sampled = p.sampled;
  return true;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : ",") + x;
  return s;
}

std::string sizes_text(const std::vector<uint64_t>& v) {
  std::string s;
  for (uint64_t x : v) s += (s.empty() ? "" : ",") + size_text((size_t)x);
  return s;
}

// The compressors' parts of one chunk size, read from every export and
// handed to its Estimator: the merge's share is the smallest of the
// exports' (a chunk chosen there is chosen at every larger share), the
// chosen entries counted once each.
bool merge_codec_parts(const READERS& readers,
                       const std::vector<std::string>& files, size_t n_codecs,
                       Estimator* estimator) {
  for (size_t k = 0; k < n_codecs; k++) {
    std::vector<sample_codec_part_t> parts(readers.size());
    for (size_t i = 0; i < readers.size(); i++)
      if (!readers[i]->read_codec_part(&parts[i]))
        return merge_error(files[i], readers[i]->error()) == 0;
    if (!parts[0].sampled) continue;  // the header and entries have it
    sample_codec_part_t total;
    total.sampled = true;
    std::map<uint64_t, uint64_t> chosen;
    for (const sample_codec_part_t& p : parts) {
      total.share = std::min(total.share, p.share);
      total.stored += p.stored;
      for (int g = 0; g < SAMPLE_GROUPS; g++) {
        total.hash_compressed[g] += p.hash_compressed[g];
        total.hash_uncompressed[g] += p.hash_uncompressed[g];
      }
      for (const auto& c : p.chosen) chosen.emplace(c.first, c.second);
    }
    std::vector<std::pair<uint64_t, uint64_t>> list(chosen.begin(),
                                                    chosen.end());
    estimator->import_codec_part((int)k, total.share, list, total);
  }
  return true;
}

// The table of a merge of several configurations, for the summary.
struct merged_table_t {
  std::vector<Estimator*> estimators;
  std::vector<size_t> sizes;
  std::vector<std::string> codecs;
};

std::string merged_table(void* arg) {
  const merged_table_t* t = static_cast<const merged_table_t*>(arg);
  std::vector<config_figures_t> table;
  for (size_t i = 0; i < t->estimators.size(); i++)
    for (size_t k = 0; k < t->codecs.size(); k++) {
      config_figures_t f;
      f.chunk_size = t->sizes[i];
      f.compressor = t->codecs[k];
      f.compress_share = t->estimators[i]->compress_share((int)k);
      f.in = t->estimators[i]->config_summary_input((int)k);
      f.in.warnings = printer.summary_notes();
      f.s = compute_summary(f.in);
      table.push_back(f);
    }
  record.write_configurations(table);
  return "\n" + format_config_table(table);
}

}  // namespace

bool export_check(const pelko_params_t& params) {
  const std::string& path = params.export_file;
  if (!output_writable_check("--export", path, true)) return false;
  const std::string dir = dir_of(path);
  std::string real_dir;
  if (!os_real_path(dir.c_str(), &real_dir)) {
    export_error(path, "cannot resolve " + dir + ", " + strerror(errno));
    return false;
  }
  return output_check("--export", path, params.roots, true);
}

void export_choose_seed(pelko_params_t* params) {
  if (params->export_file.empty() || params->seed_given) return;
  params->seed = (unsigned)(random_id() >> 32);
  params->seed_given = true;
}

namespace {

// The configurations' part of an export, after the first size's entries.
size_t write_configs(const Configurations& configs, const Sampler& sampler,
                     SampleWriter* w) {
  std::vector<std::string> codecs;
  for (const codec_t& c : config_codecs(configs.params()))
    codecs.push_back(codec_name(c));
  std::vector<uint64_t> sizes;
  for (size_t i = 0; i < configs.n_sizes(); i++)
    sizes.push_back(configs.chunk_size(i));
  w->begin_configs(codecs, sizes);
  size_t entries = 0;
  for (size_t i = 0; i < configs.n_sizes(); i++) {
    const Estimator& e = configs.estimator(i);
    if (i > 0) {
      sample_header_t h;
      e.get_export_header(&h);
      sample_size_t s;
      s.chunk_size = h.chunk_size;
      s.total_chunks = h.total_chunks;
      s.n_data_chunks = h.n_data_chunks;
      s.n_zero_chunks = h.n_zero_chunks;
      s.n_skipped_chunks = h.n_skipped_chunks;
      s.save_memory = h.save_memory;
      s.lower_fp = h.lower_fp;
      s.reductible_size =
          sampler.get_plan_totals(configs.chunk_size(i)).reductible_size;
      s.n_entries = h.n_entries;
      entries += h.n_entries;
      w->begin_size(s);
      e.for_each_entry(write_entry, w);
    }
    for (size_t k = 0; k < codecs.size(); k++)
      w->add_codec_part(e.export_codec_part((int)k));
  }
  return entries;
}

bool write_export(const pelko_params_t& params, const Estimator& estimator,
                  const Configurations* configs, const Sampler& sampler) {
  const std::string& path = params.export_file;
  sample_header_t h;
  estimator.get_export_header(&h);
  const Sampler::plan_totals_t t =
      sampler.get_plan_totals((size_t)h.chunk_size);
  h.total_size = t.total_size;
  h.reductible_size = t.reductible_size;
  h.total_files = t.total_files == INVALID_SIZE_T ? UINT64_MAX : t.total_files;
  h.scan_stopped = t.scan_stopped;
  h.unread_size = sampler.get_unread_size();
  h.unread_files = sampler.get_unread_files();
  h.skipped_dirs = sampler.get_skipped_dirs();
  h.bucket_size = sampler.bucket_size();
  h.bucket_size_chosen = !params.bucket_size_given;
  h.seed = params.seed;
  h.run_id = random_id();
  h.created = (uint64_t)time(nullptr);
  h.host = os_host_name();
  for (const root_t* root : params.roots) h.paths.push_back(root->path);

  std::string tmp;
  const int fd = temp_output_create(path, &tmp);
  if (fd < 0) {
    export_error(path, std::string("cannot create ") + path + ".tmp-*, " +
                           strerror(errno));
    return false;
  }
  bool ok;
  size_t fingerprints = h.n_entries;
  {
    SampleWriter w(fd);
    w.begin(h, configs != nullptr);
    estimator.for_each_entry(write_entry, &w);
    if (configs != nullptr) fingerprints += write_configs(*configs, sampler, &w);
    ok = w.finish();
  }
  ok = ok && os_sync_fd(fd) == 0;
  const int err = errno;
  ok = os_close_fd(fd) == 0 && ok;
  if (ok && !temp_output_commit(tmp, path)) ok = false;
  if (!ok) {
    const int e = errno != 0 ? errno : err;
    temp_output_discard(tmp);
    export_error(path, std::string("write failed, ") + strerror(e) +
                           "; no export written");
    return false;
  }
  os_stat_t st;
  const size_t bytes =
      os_stat(path.c_str(), &st, true) == 0 ? (size_t)st.st_size : 0;
  char per[64] = "";
  if (fingerprints != 0)
    snprintf(per, sizeof(per), ", %.1f bytes per fingerprint",
             (double)bytes / (double)fingerprints);
  printer << "Export written to " << path << ": " << fingerprints
          << " fingerprints, " << bytes << " bytes" << per << "."
          << std::endl;
  return true;
}

}  // namespace

bool export_write(const pelko_params_t& params, const Estimator& estimator,
                  const Sampler& sampler) {
  return write_export(params, estimator, nullptr, sampler);
}

bool export_write(const pelko_params_t& params, const Configurations& configs,
                  const Sampler& sampler) {
  return write_export(params, configs.estimator(0), &configs, sampler);
}

int merge_run(const pelko_params_t& params,
              bool (*open_outputs)(const pelko_params_t& params)) {
  printer << "VERSION:         ";
  print_version();
  printer << "INPUT PARAMETERS:" << std::endl;
  for (const std::string& f : params.merge_files)
    printer << "merge:           " << f << std::endl;
  if (!params.output_file.empty())
    printer << "output_file:     " << params.output_file << std::endl;
  if (params.debug > 0)
    printer << "alpha:           " << params.alpha << std::endl;

  // Every export is opened and checked against the first before anything
  // is merged. Those beyond what the limit on open files allows are closed
  // between the reads of their buffers.
  const std::vector<std::string>& files = params.merge_files;
  const size_t free_fds = os_free_descriptors();
  const size_t kept_open = free_fds > 16 ? free_fds - 16 : 0;
  std::vector<std::unique_ptr<SampleReader>> readers;
  for (const std::string& f : files) {
    readers.emplace_back(new SampleReader);
    if (interrupt_signal() != 0) return merge_interrupted();
    if (!readers.back()->open(f, readers.size() <= kept_open))
      return merge_error(f, readers.back()->error());
  }
  return merge_readers(params, &readers, open_outputs);
}

int merge_readers(const pelko_params_t& params,
                  std::vector<std::unique_ptr<SampleReader>>* opened,
                  bool (*open_outputs)(const pelko_params_t& params)) {
  printer.clear_summary_notes();
  const std::vector<std::string>& files = params.merge_files;
  std::vector<std::unique_ptr<SampleReader>>& readers = *opened;
  PELKO_ASSERT(!readers.empty() && readers.size() == files.size());
  for (size_t i = 0; i < readers.size(); i++) {
    const std::string& f = files[i];
    const sample_header_t& h = readers[i]->header();
    const sample_header_t& h0 = readers.front()->header();
    const std::string& f0 = files.front();
    if (h.chunk_size != h0.chunk_size)
      return merge_error(f, "chunk size " + std::to_string(h.chunk_size) +
                                " bytes differs from " +
                                std::to_string(h0.chunk_size) + " bytes in " +
                                f0);
    if (h.estimate_mask != h0.estimate_mask)
      return merge_error(f, "estimate mode \"" +
                                estimate_mode_text(h.estimate_mask) +
                                "\" differs from \"" +
                                estimate_mode_text(h0.estimate_mask) +
                                "\" in " + f0);
    if (h.fingerprint_bits != h0.fingerprint_bits)
      return merge_error(f, "fingerprint width " +
                                std::to_string(h.fingerprint_bits) +
                                " differs from " +
                                std::to_string(h0.fingerprint_bits) + " in " +
                                f0);
    const double share = fraction_of(h), share0 = fraction_of(h0);
    if (h.total_chunks != 0 && h0.total_chunks != 0 &&
        fabs(share - share0) >
            std::max(fraction_slack(h), fraction_slack(h0)))
      return merge_error(
          f, "fraction " + percent(share) + " of the plan differs from " +
                 percent(share0) + " in " + f0 +
                 ": merge runs made with the same --stop-at, or complete runs");
    for (size_t k = 0; k < i; k++)
      if (readers[k]->header().run_id == h.run_id)
        return merge_error(f, "holds the same run as " + files[k] +
                                  ": its data would count twice");
  }

  // The configurations must agree too.
  std::vector<export_configs_t> configs(files.size());
  for (size_t i = 0; i < files.size(); i++) {
    std::string error;
    if (interrupt_signal() != 0) return merge_interrupted();
    if (!skim_configs(*readers[i], &configs[i], &error))
      return merge_error(files[i], error);
    const export_configs_t& c = configs[i];
    const export_configs_t& c0 = configs[0];
    if (c.several != c0.several)
      return merge_error(files[i], std::string("holds ") +
                                       (c.several ? "several configurations"
                                                  : "one configuration") +
                                       ", " + files[0] + " " +
                                       (c0.several ? "several" : "one"));
    if (c.sizes != c0.sizes)
      return merge_error(files[i], "chunk sizes " + sizes_text(c.sizes) +
                                       " differ from " + sizes_text(c0.sizes) +
                                       " in " + files[0]);
    if (c.codecs != c0.codecs)
      return merge_error(files[i], "compressors " + joined(c.codecs) +
                                       " differ from " + joined(c0.codecs) +
                                       " in " + files[0]);
    if (c.first_sampled != c0.first_sampled)
      return merge_error(files[i],
                         std::string("the first configuration's compression "
                                     "is ") +
                             (c.first_sampled ? "sampled" : "measured in full") +
                             ", in " + files[0] + " " +
                             (c0.first_sampled ? "sampled" : "measured in full") +
                             " (--sample-first)");
  }
  const export_configs_t& cfg = configs[0];
  std::vector<codec_t> codecs;
  for (const std::string& name : cfg.codecs) {
    codec_t c;
    std::string why;
    if (!parse_codec(name, &c, &why)) return merge_error(files[0], why);
    codecs.push_back(c);
  }

  if (!open_outputs(params)) return 1;

  bool warned = false;
  for (size_t i = 0; i < readers.size() && !warned; i++) {
    const sample_header_t& a = readers[i]->header();
    if (fraction_of(a) >= 1) continue;
    for (size_t j = i + 1; j < readers.size() && !warned; j++)
      if (readers[j]->header().seed == a.seed) {
        printer.warning(
            "WARNING: " + files[i] + " and " + files[j] +
                " were read in the same order (seed " + std::to_string(a.seed) +
                "): where they hold the same data, their samples coincide"
                " and the merged dedupe estimate is unreliable before the"
                " end. Export stopped runs without --seed, or each with"
                " its own.",
            "exports of stopped runs were read in the same order (see the "
            "WARNING line): the merged dedupe estimate is unreliable");
        warned = true;
      }
  }

  const sample_header_t& h0 = readers.front()->header();
  if (!cfg.several) {
    printer << "chunk_size:      " << capacity_to_str(h0.chunk_size) << std::endl;
  } else {
    printer << "chunk_sizes:     ";
    for (size_t i = 0; i < cfg.sizes.size(); i++)
      printer << (i ? ", " : "") << capacity_to_str((size_t)cfg.sizes[i]);
    printer << std::endl;
  }
  printer << "estimate:        " << estimate_mode_text(h0.estimate_mask)
          << std::endl;
  if (cfg.several && (codecs.size() > 1 || codecs[0].kind != CODEC_LZ4))
    printer << "compressors:     " << joined(cfg.codecs) << std::endl;
  if (h0.fingerprint_bits != 32)
    printer << "fingerprint:     " << h0.fingerprint_bits << " bits"
            << std::endl;
  printer << std::endl;
  for (size_t i = 0; i < files.size(); i++) {
    const sample_header_t& h = readers[i]->header();
    // What another host wrote is shown with its control characters escaped.
    printer << files[i] << ": host "
            << (h.host.empty() ? "?" : escape_controls(h.host));
    for (const std::string& p : h.paths) printer << ", " << escape_controls(p);
    printer << ", " << capacity_to_str(h.total_size) << ", "
            << percent(fraction_of(h)) << " analysed";
    if (!h.stop_reason.empty())
      printer << " (" << escape_controls(h.stop_reason) << ")";
    printer << std::endl;
  }
  printer << std::endl;

  // The combined figures. The memory-saving threshold is the highest of
  // the exports'.
  sample_header_t m;
  m.chunk_size = h0.chunk_size;
  m.estimate_mask = h0.estimate_mask;
  m.fingerprint_bits = h0.fingerprint_bits;
  bool threshold = false;
  size_t n_stopped = 0;
  bool overflow = false;
  for (const auto& r : readers) {
    const sample_header_t& h = r->header();
    overflow |= !add_to(&m.total_chunks, h.total_chunks) ||
                !add_to(&m.total_buckets, h.total_buckets) ||
                !add_to(&m.n_data_chunks, h.n_data_chunks) ||
                !add_to(&m.n_zero_chunks, h.n_zero_chunks) ||
                !add_to(&m.n_skipped_chunks, h.n_skipped_chunks) ||
                !add_to(&m.compressed_size, h.compressed_size) ||
                !add_to(&m.uncompressed_size, h.uncompressed_size) ||
                !add_to(&m.total_size, h.total_size) ||
                !add_to(&m.reductible_size, h.reductible_size) ||
                !add_to(&m.unread_size, h.unread_size) ||
                !add_to(&m.unread_files, h.unread_files) ||
                !add_to(&m.skipped_dirs, h.skipped_dirs);
    if (m.total_files != UINT64_MAX)
      m.total_files = h.total_files == UINT64_MAX ||
                              !add_to(&m.total_files, h.total_files)
                          ? UINT64_MAX
                          : m.total_files;
    m.scan_stopped |= h.scan_stopped;
    if (h.save_memory && (!threshold || h.lower_fp > m.lower_fp)) {
      threshold = true;
      m.lower_fp = h.lower_fp;
    }
    if (!h.stop_reason.empty()) {
      n_stopped++;
      if (m.stop_reason.empty()) {
        m.stop_reason = escape_controls(h.stop_reason);
      } else if (m.stop_reason != escape_controls(h.stop_reason)) {
        m.stop_reason = "mixed";
      }
    }
  }
  if (overflow || m.total_chunks >= SAMPLE_MAX_CHUNKS)
    return merge_error(files.back(), "the totals overflow");
  if (m.stop_reason == "mixed" || (n_stopped != 0 && n_stopped < files.size()))
    m.stop_reason = "stopped early on " + std::to_string(n_stopped) + " of " +
                    std::to_string(files.size()) + " runs";
  m.save_memory = threshold;

  pelko_params_t mp;
  mp.chunk_size = (size_t)h0.chunk_size;
  mp.bucket_size = (size_t)h0.chunk_size;
  mp.estimate_mask = h0.estimate_mask;
  mp.report_freq = 0.01;
  mp.n_threads = 1;
  mp.scan_time_limit = 0;
  mp.scan_memory_limit = 0;
  mp.memory_limit = 0;
  mp.alpha = params.alpha;
  mp.debug = params.debug;
  mp.fingerprint_bits = h0.fingerprint_bits;
  if (cfg.several) {
    mp.compressors = codecs;
    mp.sample_first = cfg.first_sampled;
  }
  merged_table_t table;
  Estimator::env_t env;
  if (cfg.several) {
    env.summary_tail = merged_table;
    env.summary_tail_arg = &table;
  }
  Estimator estimator(mp, env);

  // A k-way merge of the exports' entries, which are in fingerprint order.
  const bool csize = sample_has_csize(m.estimate_mask);
  uint64_t kept = 0, kept_csize = 0, dropped = 0;
  // Which exports share chunks, for 2 to OVERLAP_MAX_EXPORTS of them.
  const bool overlaps =
      readers.size() >= 2 && readers.size() <= OVERLAP_MAX_EXPORTS;
  overlap_t ov;
  if (overlaps) {
    bool complete = true;
    for (const auto& r : readers) {
      const sample_header_t& h = r->header();
      complete = complete && h.stop_reason.empty() && fraction_of(h) >= 1 &&
                 !h.save_memory && !h.scan_stopped;
    }
    ov.begin(files, complete);
  }
  if (!merge_entries(readers, threshold, m.lower_fp, m.estimate_mask,
                     &estimator, &kept, &kept_csize, &dropped, &overflow,
                     overlaps ? &ov : nullptr))
    return merge_interrupted();
  for (size_t i = 0; i < readers.size(); i++)
    if (!readers[i]->error().empty())
      return merge_error(files[i], readers[i]->error());
  if (overflow || !add_to(&m.n_skipped_chunks, dropped))
    return merge_error(files.back(), "the totals overflow");
  if (csize) {
    // Each distinct chunk compressed once, whichever hosts hold it.
    m.compressed_size = kept_csize;
    m.uncompressed_size = kept * m.chunk_size;
  }
  m.n_entries = kept;
  // The final row and summary (the several configurations' table in its
  // tail), then which exports share what.
  auto finish = [&]() {
    estimator.import_totals(m);
    estimator.finish();
    if (overlaps) {
      printer << std::endl << format_overlap(ov) << std::flush;
      record.write_overlap(ov);
    }
    return 0;
  };
  if (!cfg.several) return finish();

  // Several configurations: the compressors of the first size, then every
  // further size in turn, each from every export.
  if (!merge_codec_parts(readers, files, codecs.size(), &estimator)) return 1;
  std::vector<std::unique_ptr<pelko_params_t>> size_params;
  std::vector<std::unique_ptr<Estimator>> sizes;
  table.estimators.push_back(&estimator);
  table.sizes.push_back((size_t)h0.chunk_size);
  table.codecs = cfg.codecs;
  for (size_t z = 1; z < cfg.sizes.size(); z++) {
    sample_header_t ms = m;  // the plan's totals and the run's
    ms.chunk_size = cfg.sizes[z];
    ms.total_chunks = ms.n_data_chunks = ms.n_zero_chunks = 0;
    ms.n_skipped_chunks = ms.reductible_size = 0;
    ms.compressed_size = ms.uncompressed_size = 0;
    ms.save_memory = false;
    ms.lower_fp = 0;
    for (size_t i = 0; i < readers.size(); i++) {
      sample_size_t s;
      if (!readers[i]->next_size(&s))
        return merge_error(files[i], readers[i]->error());
      overflow |= !add_to(&ms.total_chunks, s.total_chunks) ||
                  !add_to(&ms.n_data_chunks, s.n_data_chunks) ||
                  !add_to(&ms.n_zero_chunks, s.n_zero_chunks) ||
                  !add_to(&ms.n_skipped_chunks, s.n_skipped_chunks) ||
                  !add_to(&ms.reductible_size, s.reductible_size);
      if (s.save_memory && (!ms.save_memory || s.lower_fp > ms.lower_fp)) {
        ms.save_memory = true;
        ms.lower_fp = s.lower_fp;
      }
    }
    if (overflow || ms.total_chunks >= SAMPLE_MAX_CHUNKS)
      return merge_error(files.back(), "the totals overflow");
    std::unique_ptr<pelko_params_t> p(new pelko_params_t);
    p->chunk_size = p->bucket_size = (size_t)ms.chunk_size;
    p->estimate_mask = mp.estimate_mask;
    p->report_freq = mp.report_freq;
    p->n_threads = 1;
    p->scan_time_limit = 0;
    p->scan_memory_limit = 0;
    p->memory_limit = 0;
    p->alpha = mp.alpha;
    p->debug = 0;
    p->fingerprint_bits = mp.fingerprint_bits;
    p->compressors = codecs;
    p->sample_first = true;
    Estimator::env_t quiet;
    quiet.report = false;
    std::unique_ptr<Estimator> e(new Estimator(*p, quiet));
    uint64_t k = 0, kc = 0, d = 0;
    if (!merge_entries(readers, ms.save_memory, ms.lower_fp, ms.estimate_mask,
                       e.get(), &k, &kc, &d, &overflow, nullptr))
      return merge_interrupted();
    for (size_t i = 0; i < readers.size(); i++)
      if (!readers[i]->error().empty())
        return merge_error(files[i], readers[i]->error());
    if (overflow || !add_to(&ms.n_skipped_chunks, d))
      return merge_error(files.back(), "the totals overflow");
    ms.n_entries = k;
    if (!merge_codec_parts(readers, files, codecs.size(), e.get())) return 1;
    e->import_totals(ms);
    summary_input_t plan;
    plan.total_size = (size_t)m.total_size;
    plan.reductible_size = (size_t)ms.reductible_size;
    plan.total_files =
        m.total_files == UINT64_MAX ? INVALID_SIZE_T : (size_t)m.total_files;
    plan.scan_stopped = m.scan_stopped;
    plan.unread_size = (size_t)m.unread_size;
    plan.unread_files = (size_t)m.unread_files;
    plan.skipped_dirs = (size_t)m.skipped_dirs;
    e->set_plan_totals(plan);
    table.estimators.push_back(e.get());
    table.sizes.push_back((size_t)ms.chunk_size);
    sizes.push_back(std::move(e));
    size_params.push_back(std::move(p));
  }
  for (auto& e : sizes) e->finish();
  return finish();
}
