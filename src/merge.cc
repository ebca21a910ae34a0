#include "merge.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <queue>
#include <vector>

#include "estimator.h"
#include "format.h"
#include "interrupt.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"
#include "record.h"
#include "sample_file.h"
#include "sampler.h"

namespace {

void export_error(const std::string& path, const std::string& what) {
  printer << std::flush;
  std::cerr << "ERROR: --export " << path << ": " << what << std::endl;
}

std::string dir_of(const std::string& path) {
  const size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

uint64_t random_id() {
  uint64_t id = 0;
  if (getrandom(&id, sizeof(id), 0) != (ssize_t)sizeof(id) || id == 0) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    id = ((uint64_t)ts.tv_sec << 32) ^ (uint64_t)ts.tv_nsec ^
         ((uint64_t)getpid() << 48);
  }
  return id;
}

std::string host_name() {
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) return "";
  name[sizeof(name) - 1] = 0;
  return name;
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

bool export_write(const pelko_params_t& params, const Estimator& estimator,
                  const Sampler& sampler) {
  const std::string& path = params.export_file;
  sample_header_t h;
  estimator.get_export_header(&h);
  const Sampler::plan_totals_t t = sampler.get_plan_totals();
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
  h.host = host_name();
  for (const root_t* root : params.roots) h.paths.push_back(root->path);

  std::string tmp;
  const int fd = temp_output_create(path, &tmp);
  if (fd < 0) {
    export_error(path, std::string("cannot create ") + path + ".tmp-*, " +
                           strerror(errno));
    return false;
  }
  bool ok;
  {
    SampleWriter w(fd);
    w.begin(h);
    estimator.for_each_entry(write_entry, &w);
    ok = w.finish();
  }
  ok = ok && fsync(fd) == 0;
  const int err = errno;
  ok = close(fd) == 0 && ok;
  if (ok && !temp_output_commit(tmp, path)) ok = false;
  if (!ok) {
    const int e = errno != 0 ? errno : err;
    temp_output_discard(tmp);
    export_error(path, std::string("write failed, ") + strerror(e) +
                           "; no export written");
    return false;
  }
  struct stat st;
  const size_t bytes = stat(path.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
  char per[64] = "";
  if (h.n_entries != 0)
    snprintf(per, sizeof(per), ", %.1f bytes per fingerprint",
             (double)bytes / (double)h.n_entries);
  printer << "Export written to " << path << ": " << h.n_entries
          << " fingerprints, " << bytes << " bytes" << per << "."
          << std::endl;
  return true;
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
  printer << "chunk_size:      " << capacity_to_str(h0.chunk_size) << std::endl;
  printer << "estimate:        " << estimate_mode_text(h0.estimate_mask)
          << std::endl;
  if (h0.fingerprint_bits != 32)
    printer << "fingerprint:     " << h0.fingerprint_bits << " bits"
            << std::endl;
  printer << std::endl;
  for (size_t i = 0; i < files.size(); i++) {
    // What another host wrote is shown with its control characters escaped.
    const sample_header_t& h = readers[i]->header();
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
  Estimator estimator(mp);

  // A k-way merge of the exports' entries, which are in fingerprint order.
  const bool csize = sample_has_csize(m.estimate_mask);
  const bool zeros_protected = (m.estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  const uint64_t zero_fp = estimator.zero_fingerprint();
  std::vector<sample_entry_t> cur(readers.size());
  typedef std::pair<uint64_t, size_t> head_t;  // fingerprint, export
  std::priority_queue<head_t, std::vector<head_t>, std::greater<head_t>> heads;
  for (size_t i = 0; i < readers.size(); i++)
    if (readers[i]->next(&cur[i])) heads.push(head_t(cur[i].fp, i));
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
  while (!heads.empty()) {
    if (interrupt_signal() != 0) return merge_interrupted();
    sample_entry_t e;
    e.fp = heads.top().first;
    bool first = true;
    uint64_t holders = 0;
    while (!heads.empty() && heads.top().first == e.fp) {
      const size_t i = heads.top().second;
      heads.pop();
      if (overlaps) holders |= (uint64_t)1 << i;
      const sample_entry_t& x = cur[i];
      overflow |= !add_to(&e.chunks, x.chunks) || !add_to(&e.buckets, x.buckets);
      e.grouped = e.grouped && x.grouped;
      for (int g = 0; g < SAMPLE_GROUPS; g++)
        overflow |= !add_to(&e.groups[g], x.groups[g]);
      if (first) e.csize = x.csize;
      first = false;
      if (readers[i]->next(&cur[i])) heads.push(head_t(cur[i].fp, i));
    }
    if (overflow) return merge_error(files.back(), "the totals overflow");
    if (threshold && e.fp < m.lower_fp && !(zeros_protected && e.fp == zero_fp)) {
      dropped += e.chunks;
      continue;
    }
    if (!e.grouped)
      for (uint64_t& g : e.groups) g = 0;
    if (overlaps && !(zeros_protected && e.fp == zero_fp)) ov.add(holders);
    estimator.import_entry(e);
    kept++;
    kept_csize += e.csize;
  }
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
  estimator.import_totals(m);
  estimator.finish();
  if (overlaps) {
    printer << std::endl << format_overlap(ov) << std::flush;
    record.write_overlap(ov);
  }
  return 0;
}
