// The run driver: parameter echo, probing of the inputs, the scan and
// analysis phases and the end of the output.
#include "pelko.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iomanip>
#include <iostream>
#include <new>
#include <vector>

#include "configs.h"
#include "estimator.h"
#include "interrupt.h"
#include "merge.h"
#include "printer.h"
#include "record.h"
#include "sampler.h"

namespace {

// What the first signal does in each phase.
void stop_scan(void* sampler, int) {
  static_cast<Sampler*>(sampler)->request_stop();
}

struct analysis_t {
  Sampler* sampler;
  Estimator* estimator;           // one configuration, or
  Configurations* configs;        // several
  std::atomic<int> signo;  // the signal that stopped the analysis, or 0
};

// The analysis ends at once, with its final row and summary: the readers
// leave their buckets, and the person who pressed Ctrl-C is told what is
// being waited for. A signal after the summary has taken its reason (a
// complete run) changes nothing.
void stop_analysis(void* arg, int signo) {
  analysis_t* a = static_cast<analysis_t*>(arg);
  const std::string reason =
      std::string("interrupted by ") + interrupt_signal_name(signo);
  if (!(a->configs != nullptr ? a->configs->stop(reason)
                              : a->estimator->stop(reason)))
    return;
  a->signo = signo;
  a->sampler->request_stop_now();
  // Standard output's reader has gone: nobody to tell.
  if (signo == SIGPIPE) return;
  std::cerr << (printer.console_is_terminal() ? "\n" : "")
            << "stopping: finishing the final row; press Ctrl-C again to quit "
               "without it\n"
            << std::flush;
}

}  // namespace

namespace {

// Ends a run whose scan was interrupted: there is nothing to estimate.
int scan_interrupted(const pelko_params_t& params, int signo) {
  interrupt_set_callback(nullptr, nullptr);
  if (printer.console_is_terminal()) printer.console() << '\n';
  printer << "Scan interrupted by " << interrupt_signal_name(signo) << "."
          << std::endl;
  record.write_stop(std::string("scan interrupted by ") +
                    interrupt_signal_name(signo));
  if (!params.export_file.empty())
    printer << "No export written: the scan did not complete." << std::endl;
  return interrupt_exit_status(signo);
}

// The analysis of several configurations at once.
int run_configurations(const pelko_params_t& params, Sampler* sampler) {
  Configurations configs(params);
  if (const int signo = interrupt_signal()) return scan_interrupted(params, signo);
  analysis_t analysis;
  analysis.sampler = sampler;
  analysis.estimator = nullptr;
  analysis.configs = &configs;
  analysis.signo = 0;
  interrupt_set_callback(stop_analysis, &analysis);
  configs.start(sampler);
  configs.finish();
  interrupt_set_callback(nullptr, nullptr);
  const bool exported =
      params.export_file.empty() || export_write(params, configs, *sampler);
  if (const int signo = analysis.signo) return interrupt_exit_status(signo);
  return exported ? 0 : 1;
}

}  // namespace

int run_phases(pelko_params_t& params) {
  Sampler sampler(params);
  interrupt_set_callback(stop_scan, &sampler);
  sampler.scan();
  if (!params.bucket_size_given && !interrupt_signal()) {
    const Sampler::plan_totals_t plan = sampler.get_plan_totals();
    const size_t chosen =
        choose_bucket_size(plan.reductible_size, largest_chunk_size(params));
    params.bucket_size = chosen;
    sampler.set_bucket_size(chosen);
    printer << "bucket_size:     " << capacity_to_str(chosen)
            << ", chosen for the plan (" << sampler.get_total_buckets()
            << " buckets)" << std::endl
            << std::endl;
  }
  record.write_run(params);
  if (several_configs(params)) return run_configurations(params, &sampler);
  Estimator estimator(params);
  if (const int signo = interrupt_signal()) {
    // The plan is incomplete: there is nothing to estimate.
    return scan_interrupted(params, signo);
  }
  // A signal from here on is the analysis's to answer, at once if it came
  // after the check above.
  analysis_t analysis;
  analysis.sampler = &sampler;
  analysis.estimator = &estimator;
  analysis.configs = nullptr;
  analysis.signo = 0;
  interrupt_set_callback(stop_analysis, &analysis);
  estimator.start(&sampler);
  estimator.finish();
  interrupt_set_callback(nullptr, nullptr);
  if (!params.table_csv_file.empty()) {
    config_figures_t f;
    f.chunk_size = params.chunk_size;
    f.compressor = codec_name(config_codecs(params)[0]);
    f.compress_share = estimator.compress_share(0);
    f.in = estimator.config_summary_input(0);
    f.in.warnings = printer.summary_notes();
    f.s = compute_summary(f.in);
    record.write_configurations({f}, false);
  }
  // What was read is exported, however the analysis ended.
  const bool exported =
      params.export_file.empty() || export_write(params, estimator, sampler);
  // The status says what the summary says: interrupted, or complete (a
  // signal that came after the summary was too late to change it).
  if (const int signo = analysis.signo) return interrupt_exit_status(signo);
  return exported ? 0 : 1;
}

namespace {

// Echoes the run parameters as parsed, each line with its 17-character
// label.
void echo_params(const pelko_params_t& params) {
  printer << "VERSION:         ";
  print_version();
  printer << "INPUT PARAMETERS:" << std::endl;
  for (const root_t* root : params.roots)
    printer << "path:            " << root->path << std::endl;
  if (params.chunk_sizes.empty()) {
    printer << "chunk_size:      " << capacity_to_str(params.chunk_size)
            << std::endl;
  } else {
    printer << "chunk_sizes:     ";
    for (size_t i = 0; i < params.chunk_sizes.size(); i++)
      printer << (i ? ", " : "") << capacity_to_str(params.chunk_sizes[i]);
    printer << std::endl;
  }
  if (params.debug > 0 || params.bucket_size != DEFAULT_BUCKET_SIZE)
    printer << "bucket_size:     " << capacity_to_str(params.bucket_size)
            << std::endl;
  printer << "estimate:        " << estimate_mode_text(params.estimate_mask)
          << std::endl;
  if (!params.compressors.empty()) {
    printer << "compressors:     ";
    for (size_t i = 0; i < params.compressors.size(); i++)
      printer << (i ? ", " : "") << codec_name(params.compressors[i]);
    printer << std::endl;
  }
  if (params.compress_share > 0)
    printer << "compress_share:  " << params.compress_share * 100 << "%"
            << std::endl;
  if (params.sample_first) printer << "sample_first:    yes" << std::endl;
  printer << "report_freq:     " << params.report_freq * 100 << "%"
          << std::endl;
  printer << "#threads:        " << params.n_threads << std::endl;
  if (params.debug > 0 || params.memory_limit != 0)
    printer << "memory_limit:    "
            << memory_to_str(params.memory_limit, (size_t)-1) << std::endl;
  if (params.debug > 0 || params.scan_time_limit != 0)
    printer << "scan_time_limit: " << (long long)params.scan_time_limit
            << " sec." << std::endl;
  if (params.debug > 0 || !params.output_file.empty())
    printer << "output_file:     " << params.output_file << std::endl;
  if (params.seed_given)
    printer << "seed:            " << params.seed << std::endl;
  if (params.fingerprint_bits != 32)
    printer << "fingerprint:     " << params.fingerprint_bits << " bits"
            << std::endl;
  if (!params.export_file.empty())
    printer << "export:          " << params.export_file << std::endl;
  if (!params.json_file.empty())
    printer << "json:            " << params.json_file << std::endl;
  if (!params.csv_file.empty())
    printer << "csv:             " << params.csv_file << std::endl;
  if (!params.plot_file.empty())
    printer << "plot:            " << params.plot_file << std::endl;
  if (params.debug > 0 || params.alpha != DEFAULT_ALPHA)
    printer << "alpha:           " << params.alpha << std::endl;
  if (params.stop_at > 0)
    printer << "stop_at:         " << params.stop_at * 100 << "%" << std::endl;
  if (params.time_limit > 0) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%g", params.time_limit);
    printer << "time_limit:      " << buf << " sec." << std::endl;
  }
  if (params.max_rate > 0)
    printer << "max_rate:        " << capacity_to_str(params.max_rate) << "/s"
            << std::endl;
  if (params.keep_cache) printer << "keep_cache:      yes" << std::endl;
  if (params.debug > 0)
    printer << "debug_level:     " << params.debug << std::endl;
  printer << std::endl;
}

// Probes every root and prints its line; a plain directory switches both
// scan limits off. Returns false after a failed probe (the probe has printed
// the reason).
bool probe_roots(pelko_params_t* params) {
  for (root_t* root : params->roots) {
    // A path that is not there, or may not be looked at, is named as a
    // person would say it.
    os_stat_t st;
    if (os_stat(root->path.c_str(), &st, true) != 0) {
      std::string why = get_last_error_str();
      if (!why.empty()) why[0] = (char)tolower((unsigned char)why[0]);
      printer << std::flush;
      std::cerr << PROGRAM_NAME << ": " << why << ": " << root->path
                << std::endl;
      return false;
    }
    int err = os_get_path_info(root->path.c_str(), &root->fs_size,
                               &root->fs_n_files, &root->dev_type);
    if (err != 0) return false;
    // Files of proc, sysfs and the like are no stored data (/proc/kcore
    // claims 128 TiB); directories there are never walked. Devices live on
    // devtmpfs and keep their own handling.
    const bool file_or_dir = root->dev_type == DEVTYPE_FILE ||
                             root->dev_type == DEVTYPE_DIRECTORY ||
                             root->dev_type == DEVTYPE_FILESYSTEM;
    if (file_or_dir && os_is_virtual_filesystem(root->path.c_str())) {
      std::cerr << "ERROR: " << root->path
                << " lies on a virtual file system: no stored data to estimate"
                << std::endl;
      return false;
    }
    printer << root->path << ": " << DEVTYPE_TO_STR[root->dev_type];
    if (root->fs_size != INVALID_SIZE_T)
      printer << ", " << capacity_to_str(root->fs_size);
    if (root->fs_n_files != INVALID_SIZE_T && root->fs_n_files > 1) {
      printer << ", ~" << (unsigned long long)root->fs_n_files << " files";
      if (root->fs_size != INVALID_SIZE_T && root->fs_size != 0)
        printer << ", avg. file size "
                << capacity_to_str(root->fs_size / root->fs_n_files);
    }
    printer << std::endl;
    if (root->dev_type == DEVTYPE_DIRECTORY &&
        (params->scan_time_limit != 0 || params->scan_memory_limit != 0)) {
      printer << "Reset scan time/memory limits. (Not supported for "
                 "directories)"
              << std::endl;
      params->scan_time_limit = 0;
      params->scan_memory_limit = 0;
    }
  }
  return true;
}

// True when inner lies strictly below the directory outer (both canonical).
bool path_is_inside(const _TSTRING& inner, const _TSTRING& outer) {
  // Only a root ("/", "C:/") ends with a separator.
  const _TSTRING prefix = !outer.empty() && outer.back() == '/' ? outer : outer + "/";
  return inner.size() > prefix.size() &&
         inner.compare(0, prefix.size(), prefix) == 0;
}

// One warning for each root whose data another root holds as well: the same
// file or directory given twice, or one given inside another. The walk
// counts such data twice (it keeps no record of what it visited). Each root
// is named in one warning at most.
void warn_overlapping_roots(const pelko_params_t& params) {
  struct seen_t {
    const root_t* root;
    _TSTRING real;
    os_stat_t st;
    bool warned;
  };
  auto warn = [](const root_t* root, const char* how, const root_t* other) {
    const std::string what = root->path + how + other->path;
    printer.warning("WARNING: " + what + ": its data is counted twice.",
                    what + ": its data is counted twice");
  };
  std::vector<seen_t> seen;
  for (const root_t* root : params.roots) {
    seen_t cur;
    cur.root = root;
    cur.warned = false;
    // A path that cannot be resolved (too long) is not compared.
    if (!os_real_path(root->path.c_str(), &cur.real) ||
        os_stat(root->path.c_str(), &cur.st, true) != 0)
      continue;
    for (const seen_t& prev : seen) {
      if ((cur.st.st_dev == prev.st.st_dev && cur.st.st_ino == prev.st.st_ino) ||
          cur.real == prev.real) {
        if (root->path == prev.root->path) {
          printer.warning(
              "WARNING: " + root->path +
                  " is given twice: its data is counted twice.",
              root->path + " is given twice: its data is counted twice");
        } else {
          warn(root, " is the same as ", prev.root);
        }
        cur.warned = true;
        break;
      }
    }
    for (const seen_t& prev : seen) {
      if (cur.warned) break;
      if (S_ISDIR(prev.st.st_mode) && path_is_inside(cur.real, prev.real)) {
        warn(root, " lies inside ", prev.root);
        cur.warned = true;
      }
    }
    if (!cur.warned && S_ISDIR(cur.st.st_mode)) {
      for (seen_t& prev : seen) {
        if (!prev.warned && path_is_inside(prev.real, cur.real)) {
          warn(prev.root, " lies inside ", root);
          prev.warned = true;
        }
      }
    }
    seen.push_back(cur);
  }
}

// Refuses every output that would be written among the inputs (a merge's
// inputs are its exports), that could not be written, or that would share
// its file with another, before any of them is created or truncated.
bool check_outputs(const pelko_params_t& params) {
  const std::pair<const char*, const std::string*> outputs[] = {
      {"-o", &params.output_file},
      {"--json", &params.json_file},
      {"--csv", &params.csv_file},
      {"--plot", &params.plot_file},
      {"--table-csv", &params.table_csv_file},
  };
  LIST_ROOTS exports;
  for (const std::string& f : params.merge_files) {
    root_t* r = new root_t;
    r->path = f;
    r->dev_type = DEVTYPE_FILE;
    r->fs_size = r->fs_n_files = 0;
    exports.push_back(r);
  }
  const LIST_ROOTS& inputs = params.merge_files.empty() ? params.roots : exports;
  bool ok = true;
  for (const auto& o : outputs)
    if (ok && !o.second->empty())
      ok = output_check(o.first, *o.second, inputs,
                        o.second != &params.output_file) &&
           output_writable_check(o.first, *o.second,
                                 o.second == &params.plot_file);
  for (root_t* r : exports) delete r;
  if (!ok) return false;
  if (!params.export_file.empty() && !export_check(params)) return false;
  // Two outputs in one file would garble both.
  std::vector<std::pair<const char*, const std::string*>> given;
  for (const auto& o : outputs)
    if (!o.second->empty()) given.push_back(o);
  if (!params.export_file.empty())
    given.push_back({"--export", &params.export_file});
  for (size_t i = 0; i < given.size(); i++) {
    for (size_t k = 0; k < i; k++) {
      if (same_output(*given[i].second, *given[k].second)) {
        std::cerr << "ERROR: " << given[i].first << " " << *given[i].second
                  << ": the same file as " << given[k].first << std::endl;
        return false;
      }
    }
  }
  return true;
}

// Once every check has passed: opens the report file (which receives what
// was printed so far) and the records; a merge's "run" object is written
// then (a run's once its bucket size is known, by run_phases). False after
// an "ERROR: " line.
bool open_outputs(const pelko_params_t& params) {
  if (!params.output_file.empty()) printer.open(params.output_file);
  if (!record.open(params)) return false;
  if (!params.merge_files.empty()) record.write_run(params);
  return true;
}

// Fewer threads than asked for when the limit on open files would leave
// some of them waiting for a descriptor most of the time: each reading
// thread holds one, a walking thread up to three while it resolves a long
// path, and the run keeps a few for itself and its outputs.
void size_threads(pelko_params_t* params) {
  const size_t kReserved = 8, kPerThread = 2;
  const size_t free_fds = os_free_descriptors();
  const size_t room = free_fds > kReserved ? free_fds - kReserved : 0;
  const size_t most = std::max<size_t>(1, room / kPerThread);
  if ((size_t)params->n_threads <= most) return;
  printer.warning("WARNING: " + std::to_string(most) +
                  (most == 1 ? " thread" : " threads") + " instead of " +
                  std::to_string(params->n_threads) +
                  ": the limit on open files leaves " +
                  std::to_string(free_fds) + " free.");
  params->n_threads = (int)most;
}

// The exit status of a run from its phases' (status), the records' and the
// report's: an interruption's status stands; a lost output fails a run that
// ended otherwise.
int end_status(int status, int records, int output) {
  if (status > 1) return status;
  if (output != 0) return output;
  return status != 0 ? status : records;
}

// With a record on standard output, the text report goes to standard
// error, and the terminal, if any, is there.
void report_to_stderr() {
  printer.set_console(&std::cerr);
  printer.set_console_is_terminal(os_fd_is_terminal(STDERR_FILENO));
  printer.set_warnings_to_stderr(false);
  os_set_console_fd(STDERR_FILENO);
}

int run(pelko_params_t* params, int argc, char** argv) {
  parse_opts(params, argc, argv);
  if (params->json_file == RECORD_STDOUT || params->csv_file == RECORD_STDOUT ||
      params->plot_file == RECORD_STDOUT ||
      params->table_csv_file == RECORD_STDOUT)
    report_to_stderr();
  if (!check_outputs(*params)) return 1;
  // The report file is written only once the run has been found sound;
  // until then its text is kept.
  if (!params->output_file.empty()) printer.defer_file();
  if (!params->merge_files.empty()) {
    const int status = merge_run(*params, open_outputs);
    const int records = record.finish();
    return end_status(status, records, finish_output(params->output_file));
  }
  export_choose_seed(params);
  printer.clear_summary_notes();
  echo_params(*params);
  if (!probe_roots(params)) return 1;
  if (!open_outputs(*params)) return 1;
  warn_overlapping_roots(*params);
  const size_t chunk = params->chunk_size;
  if ((chunk & (chunk - 1)) != 0)
    printer.warning("WARNING: chunk_size " + size_text(chunk) +
                    " is not a power of two; storage arrays deduplicate and "
                    "compress blocks of a power of two (4 KiB, 8 KiB, 16 KiB, "
                    "...), so no array stores this data as estimated.");
  // A chunk across a bucket boundary would be cut in two and never read.
  if (round_bucket_size(params))
    printer.warning("WARNING: bucket_size set to " +
                    capacity_to_str(params->bucket_size) +
                    ", a multiple of chunk_size.");
  size_threads(params);
  const int status = run_phases(*params);
  const int records = record.finish();
  return end_status(status, records, finish_output(params->output_file));
}

}  // namespace

int pelko_main(int argc, char** argv) {
  os_setup_console();
  os_share_heap();
  interrupt_install();
  // Memory that cannot be had is a resource failure, not a crash.
  std::set_new_handler([] { interrupt_fatal("out of memory"); });
  // Opens the memory figures' file for the whole run while descriptors are
  // certainly free.
  size_t memory_now = 0;
  os_get_memory_usage(&memory_now, nullptr);
  std::cout << std::fixed << std::setprecision(3);
  std::cerr << std::fixed << std::setprecision(3);
  pelko_params_t params;
  int status = run(&params, argc, argv);
  clear_roots(&params);
  return status;
}
