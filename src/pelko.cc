// Run parameters, command line and the run driver.
#include "pelko.h"

#include <coin/ClpConfig.h>
#include <coin/CoinUtilsConfig.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <lz4.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <iomanip>
#include <iostream>
#include <vector>

#include "estimator.h"
#include "interrupt.h"
#include "merge.h"
#include "printer.h"
#include "sampler.h"

namespace {

const size_t DEFAULT_CHUNK_SIZE = 16384;
const size_t DEFAULT_BUCKET_SIZE = 1048576;
const double DEFAULT_REPORT_FREQ_PERCENT = 1.0;
const time_t DEFAULT_SCAN_TIME_LIMIT = 3600;
const double DEFAULT_ALPHA = 0.5;

// Values of the options that have no short form.
enum {
  OPT_SEED = 256,
  OPT_STOP_AT,
  OPT_TIME_LIMIT,
  OPT_MAX_RATE,
  OPT_KEEP_CACHE,
  OPT_FINGERPRINT,
  OPT_EXPORT,
  OPT_MERGE,
};

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"chunk_size", required_argument, nullptr, 'c'},
    {"bucket_size", required_argument, nullptr, 'b'},
    {"estimate", required_argument, nullptr, 'e'},
    {"freq", required_argument, nullptr, 'r'},
    {"threads", required_argument, nullptr, 't'},
    {"memory", required_argument, nullptr, 'M'},
    {"scan_time", required_argument, nullptr, 'T'},
    {"out", required_argument, nullptr, 'o'},
    {"alpha", required_argument, nullptr, 'A'},
    {"debug", optional_argument, nullptr, 'D'},
    {"path", required_argument, nullptr, 'p'},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"stop-at", required_argument, nullptr, OPT_STOP_AT},
    {"time-limit", required_argument, nullptr, OPT_TIME_LIMIT},
    {"max-rate", required_argument, nullptr, OPT_MAX_RATE},
    {"keep-cache", no_argument, nullptr, OPT_KEEP_CACHE},
    {"fingerprint", required_argument, nullptr, OPT_FINGERPRINT},
    {"export", required_argument, nullptr, OPT_EXPORT},
    {"merge", required_argument, nullptr, OPT_MERGE},
    {nullptr, 0, nullptr, 0},
};

// True when arg starts with a number (after blanks), as atof and strtod read
// it: "16K", "0.5", "-1" and "1e3" do, "abc", "K" and "" do not.
bool has_number(const char* arg) {
  char* end = nullptr;
  (void)strtod(arg, &end);
  return end != arg;
}

// The options whose argument is a size, a time or a share.
bool takes_number(int c) {
  switch (c) {
    case 'c':
    case 'b':
    case 'M':
    case 'T':
    case OPT_STOP_AT:
    case OPT_TIME_LIMIT:
    case OPT_MAX_RATE:
      return true;
    default:
      return false;
  }
}

// An option as the user knows it: "-M", or "--max-rate" without a short form.
std::string option_name(int c) {
  if (c < OPT_SEED) return std::string("-") + (char)c;
  for (const struct option* o = long_options; o->name != nullptr; o++)
    if (o->val == c) return std::string("--") + o->name;
  return "?";
}

// A size argument as a byte count. Negative values and NaN become 0, which
// the zero checks reject (a negative double converted to size_t is
// undefined); values beyond the range saturate.
size_t size_arg(const char* arg) {
  double d = strsize_to_bytes(arg);
  if (!(d > 0)) return 0;
  if (d >= 18446744073709551616.0) return SIZE_MAX;  // 2^64
  return (size_t)d;
}

// atoi() with the result clamped to the range of int instead of wrapping.
int int_arg(const char* arg) {
  long v = strtol(arg, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

std::string format_msg(const char* fmt, va_list ap) {
  char buf[512];
  vsnprintf(buf, sizeof(buf), fmt, ap);
  return buf;
}

parse_result_t usage_error(const char* fmt, ...)
    __attribute__((format(printf, 1, 2)));

parse_result_t usage_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  parse_result_t r{PARSE_USAGE_ERROR, format_msg(fmt, ap)};
  va_end(ap);
  return r;
}

// The default memory limit: 80 % of the available memory.
size_t default_memory_limit() {
  return (size_t)((double)os_get_available_memory() * 0.8);
}

// Flushes the report on the console and closes the report file. Returns 0,
// or 1 after an "ERROR: " line for each output that lost part of it.
int finish_output(const std::string& output_file) {
  int status = 0;
  printer << std::flush;
  if (printer.console_failed()) {
    const int err = printer.console_error();
    errno = err;
    std::cerr << "ERROR: write(stdout) failed, "
              << (err != 0 ? get_last_error_str() : "the report is incomplete")
              << std::endl;
    status = 1;
  }
  if (printer.file_failed()) {
    std::cerr << "ERROR: write(" << output_file
              << ") failed, the report file is incomplete" << std::endl;
    status = 1;
  } else if (const int err = printer.close_file()) {
    errno = err;
    std::cerr << "ERROR: close(" << output_file << ") failed, "
              << get_last_error_str() << std::endl;
    status = 1;
  }
  return status;
}

}  // namespace

parse_result_t try_parse_opts(pelko_params_t* params, int argc, char** argv) {
  params->chunk_size = DEFAULT_CHUNK_SIZE;
  params->bucket_size = DEFAULT_BUCKET_SIZE;
  params->estimate_mask = -1;
  params->report_freq = DEFAULT_REPORT_FREQ_PERCENT / 100;
  params->n_threads = 2 * os_get_cpu_count();
  params->memory_limit = default_memory_limit();
  params->scan_time_limit = DEFAULT_SCAN_TIME_LIMIT;
  params->alpha = DEFAULT_ALPHA;
  params->debug = 0;
  params->stop_at = 0;
  params->time_limit = 0;
  params->max_rate = 0;
  params->keep_cache = false;
  bool negative_memory = false;
  bool negative_rate = false;
  bool stop_at_given = false;
  // Options given, for those that a merge has no use for.
  std::vector<int> given;

  optind = 0;  // full re-initialisation of getopt's state
  for (;;) {
    int c = getopt_long(argc, argv, "hVc:b:e:r:t:M:T:o:A:Dp:", long_options,
                        nullptr);
    if (c == -1) break;
    given.push_back(c);
    // A size or time without any number would read as 0, which means "no
    // limit" for some of them: a typo must not switch a limit off.
    if (takes_number(c) && !has_number(optarg))
      return usage_error("%s %s: not a number", option_name(c).c_str(),
                         optarg);
    switch (c) {
      case 'h':
        return parse_result_t{PARSE_HELP, ""};
      case 'V':
        return parse_result_t{PARSE_VERSION, ""};
      case 'c':
        params->chunk_size = size_arg(optarg);
        break;
      case 'b':
        params->bucket_size = size_arg(optarg);
        break;
      case 'e':
        if (strcasecmp(optarg, "all") == 0) {
          params->estimate_mask = -1;
        } else if (strcasecmp(optarg, "dedupe") == 0) {
          params->estimate_mask = ESTIMATE_DEDUPE;
        } else if (strcasecmp(optarg, "compress") == 0) {
          params->estimate_mask = ESTIMATE_COMPRESS;
        } else if (strcasecmp(optarg, "no-dedupe") == 0) {
          params->estimate_mask &= ~ESTIMATE_DEDUPE;
        } else if (strcasecmp(optarg, "no-compress") == 0) {
          params->estimate_mask &= ~ESTIMATE_COMPRESS;
        } else if (strcasecmp(optarg, "no-dedupe-zeros") == 0) {
          params->estimate_mask &= ~ESTIMATE_DEDUPE_ZEROS;
        } else {
          return usage_error("Unknown estimate mode %s", optarg);
        }
        break;
      case 'r':
        params->report_freq = atof(optarg) / 100;
        break;
      case 't':
        params->n_threads = int_arg(optarg);
        break;
      case 'M': {
        double d = strsize_to_bytes(optarg);
        negative_memory = d < 0;
        params->memory_limit = negative_memory ? 0 : size_arg(optarg);
        break;
      }
      case 'T':
        params->scan_time_limit = (time_t)int_arg(optarg);
        break;
      case 'o':
        params->output_file = optarg;
        break;
      case 'A':
        params->alpha = atof(optarg);
        break;
      case 'D':
        params->debug++;
        break;
      case OPT_STOP_AT:
        params->stop_at = atof(optarg) / 100;
        stop_at_given = true;
        break;
      case OPT_TIME_LIMIT:
        params->time_limit = atof(optarg);
        break;
      case OPT_MAX_RATE: {
        negative_rate = strsize_to_bytes(optarg) < 0;
        params->max_rate = negative_rate ? 0 : size_arg(optarg);
        break;
      }
      case OPT_KEEP_CACHE:
        params->keep_cache = true;
        break;
      case 'p': {
        root_t* root = new root_t;
        root->path = chars_to_tstring(optarg);
        root->dev_type = DEVTYPE_UNKNOWN;
        root->fs_size = 0;
        root->fs_n_files = 0;
        params->roots.push_back(root);
        break;
      }
      case OPT_SEED: {
        char* end = nullptr;
        errno = 0;
        const unsigned long v = strtoul(optarg, &end, 10);
        if (end == optarg || *end != 0 || errno != 0 || v > UINT_MAX ||
            optarg[0] == '-')
          return usage_error("Bad seed %s", optarg);
        params->seed = (unsigned)v;
        params->seed_given = true;
        break;
      }
      case OPT_FINGERPRINT:
        if (strcmp(optarg, "32") == 0) {
          params->fingerprint_bits = 32;
        } else if (strcmp(optarg, "64") == 0) {
          params->fingerprint_bits = 64;
        } else {
          return usage_error("Bad fingerprint width %s (32 or 64)", optarg);
        }
        break;
      case OPT_EXPORT:
        if (optarg[0] == 0) return usage_error("--export needs a file name");
        params->export_file = optarg;
        break;
      case OPT_MERGE:
        params->merge_files.push_back(optarg);
        break;
      case '?':
        return usage_error("Bad option");
      default:
        return usage_error("Bad option %c", c);
    }
  }

  if (!params->merge_files.empty()) {
    // Every other argument is one more export; the exports fix the chunk
    // size, the mode and the fingerprint width, and nothing is read.
    for (int i = optind; i < argc; i++) params->merge_files.push_back(argv[i]);
    for (int c : given) {
      switch (c) {
        case OPT_MERGE:
        case 'o':
        case 'A':
        case 'D':
          break;
        default:
          return usage_error(
              "%s does not apply to --merge, which reads no inputs: the "
              "exports fix the analysis",
              option_name(c).c_str());
      }
    }
    if (!(params->alpha > 0)) return usage_error("alpha <= 0");
    return parse_result_t{PARSE_OK, ""};
  }

  // The first failing check is the one reported. NaN fails the "<= 0"
  // checks too. A path without -p would be left out of the estimate.
  const char* stray = optind < argc ? argv[optind] : nullptr;
  if (params->roots.empty())
    return stray ? usage_error("Missing input path\n"
                               "Input paths are given with -p, as in: -p %s",
                               stray)
                 : usage_error("Missing input path");
  if (stray)
    return usage_error("Unexpected argument %s\n"
                       "Input paths are given with -p, as in: -p %s",
                       stray, stray);
  if (params->chunk_size == 0) return usage_error("chunk_size <= 0");
  // LZ4 refuses larger inputs: every chunk would count as compressed to 0.
  if (params->chunk_size > (size_t)LZ4_MAX_INPUT_SIZE)
    return usage_error("chunk_size > %d (LZ4_MAX_INPUT_SIZE)",
                       LZ4_MAX_INPUT_SIZE);
  if (params->bucket_size == 0) return usage_error("bucket_size <= 0");
  // A bucket holds no whole chunk: nothing would be read.
  if (params->chunk_size > params->bucket_size)
    return usage_error("chunk_size > bucket_size");
  if (!(params->report_freq > 0)) return usage_error("report_freq <= 0");
  if (params->n_threads <= 0) return usage_error("n_threads <= 0");
  if (params->n_threads > MAX_THREADS)
    return usage_error("n_threads > %d", MAX_THREADS);
  if (!(params->alpha > 0)) return usage_error("alpha <= 0");
  if (negative_memory) return usage_error("memory_limit < 0");
  if (stop_at_given && !(params->stop_at > 0))
    return usage_error("stop_at <= 0");
  if (params->stop_at > 1) return usage_error("stop_at > 100");
  if (!(params->time_limit >= 0)) return usage_error("time_limit < 0");
  if (negative_rate) return usage_error("max_rate < 0");

  params->scan_memory_limit = (size_t)((double)params->memory_limit * 0.8);
  return parse_result_t{PARSE_OK, ""};
}

bool round_bucket_size(pelko_params_t* params) {
  const size_t chunk = params->chunk_size, bucket = params->bucket_size;
  PELKO_ASSERT(chunk > 0 && bucket > 0);
  const size_t rest = bucket % chunk;
  if (rest == 0) return false;
  const size_t up = chunk - rest;
  params->bucket_size = bucket <= SIZE_MAX - up ? bucket + up : bucket - rest;
  return true;
}

void clear_roots(pelko_params_t* params) {
  for (root_t* root : params->roots) delete root;
  params->roots.clear();
}

void parse_opts(pelko_params_t* params, int argc, char** argv) {
  parse_result_t r = try_parse_opts(params, argc, argv);
  switch (r.outcome) {
    case PARSE_OK:
      return;
    case PARSE_HELP:
      print_usage(params->debug, argv[0], nullptr);
    case PARSE_VERSION:
      print_version(argv[0]);
      exit(finish_output(""));
    case PARSE_USAGE_ERROR:
      print_usage(params->debug, argv[0], "%s", r.error_msg.c_str());
  }
  PELKO_ASSERT(false);
}

namespace {

// A usage line of an option without a short form: the option, then tabs to
// the column where the descriptions start (as for the other options).
void usage_line(std::ostream& os, const std::string& option,
                const std::string& text) {
  const int text_column = 80;
  int column = 8 + (int)option.size();  // after the leading tab
  os << "\t" << option;
  do {
    os << '\t';
    column = (column / 8 + 1) * 8;
  } while (column < text_column);
  os << text << std::endl;
}

}  // namespace

void write_usage(std::ostream& os, int debug, const char* prog_name) {
  os << "Usage:" << std::endl;
  os << prog_name << std::endl;
  os << "\t  --path        | -p <path> [-p <path> ...]\t\t\t\t"
        "One or more input paths."
     << std::endl;
  os << "\t [--chunk_size  | -c <chunk_size>]\t\t\t\t\tChunk size. Default="
     << capacity_to_str(DEFAULT_CHUNK_SIZE) << "." << std::endl;
  os << "\t [--estimate    | -e "
        "<[no-]dedupe|no-dedupe-zeros|[no-]compress|all>]\t"
        "Estimation mode. Default=all."
     << std::endl;
  os << "\t [--freq        | -r <report_freq>]\t\t\t\t\t"
        "Report frequency in percents. Default="
     << DEFAULT_REPORT_FREQ_PERCENT << "." << std::endl;
  os << "\t [--threads     | -t <#threads>]\t\t\t\t\t"
        "Number of threads. Default=2*number_of_cpus ("
     << 2 * os_get_cpu_count() << "). Maximum=" << MAX_THREADS << "."
     << std::endl;
  os << "\t [--scan_time   | -T <scan_time_limit>]\t\t\t\t\t"
        "Scan time limit in seconds. Default="
     << (long long)DEFAULT_SCAN_TIME_LIMIT << ". Set 0 for no limit."
     << std::endl;
  os << "\t [--memory      | -M <memory_limit>]\t\t\t\t\t"
        "Memory limit. Default=80% of available memory. ("
     << memory_to_str(default_memory_limit(), (size_t)-1)
     << "). Set 0 for no limit." << std::endl;
  os << "\t [--out         | -o <outfile>]\t\t\t\t\t\tOutput file."
     << std::endl;
  usage_line(os, " [--seed <n>]",
             "Seed of the reading order. Default: the same order every run.");
  usage_line(os, " [--stop-at <percent>]",
             "Stop the analysis when this share of the data is analysed.");
  usage_line(os, " [--time-limit <seconds>]",
             "Analysis time limit in seconds. Default=none.");
  usage_line(os, " [--max-rate <size>]",
             "Reading limit in bytes per second, all threads together. "
             "Default=none.");
  usage_line(os, " [--keep-cache]",
             "Leave the data read in the page cache. Default=drop what was "
             "not cached before.");
  usage_line(os, " [--fingerprint <32|64>]",
             "Bits that tell chunks apart for dedupe. Default=32.");
  usage_line(os, " [--export <file>]",
             "Write the run's sample to this file at its end, for --merge.");
  if (debug > 0) {
    os << "\t [--bucket_size | -b <bucket_size="
       << capacity_to_str(DEFAULT_BUCKET_SIZE) << ">]" << std::endl;
    os << "\t [--alpha       | -A <alpha=" << DEFAULT_ALPHA << ">]"
       << std::endl;
    os << "\t [--debug       | -D[D[D]]]" << std::endl;
  }
  os << "\t [--help        | -h]" << std::endl;
  os << "\t [--version     | -V]" << std::endl;
  os << prog_name << std::endl;
  usage_line(os, "  --merge <file> [<file> ...]",
             "One estimate for the data of several runs, from their exports.");
  os << "\t [--out         | -o <outfile>]\t\t\t\t\t\tOutput file." << std::endl;
  os << std::endl;
  os << "Size parameters accept suffixes K(KiB), M(MiB), G(GiB), T(TiB)."
     << std::endl;
  os << std::endl;
}

void print_usage(int debug, const char* prog_name, const char* error_msg,
                 ...) {
  if (error_msg != nullptr) {
    va_list ap;
    va_start(ap, error_msg);
    std::string msg = format_msg(error_msg, ap);
    va_end(ap);
    std::cout.flush();
    std::cerr << msg << "\n";
    std::cerr.flush();
  }
  write_usage(std::cout, debug, prog_name);
  std::cout.flush();
  if (error_msg == nullptr && std::cout.fail()) {
    std::cerr << "ERROR: write(stdout) failed, the usage text is incomplete"
              << std::endl;
    exit(1);
  }
  exit(error_msg != nullptr ? 1 : 0);
}

void print_version(const char* prog_name) {
  printer << prog_name << " " << PELKO_VERSION << ", "
          << "Coin-Or Utils"
          << " " << COINUTILS_VERSION << ", "
          << "Coin-Or CLP"
          << " " << CLP_VERSION << std::endl;
}

namespace {

// What the first SIGINT or SIGTERM does in each phase.
void stop_scan(void* sampler, int) {
  static_cast<Sampler*>(sampler)->request_stop();
}

void stop_analysis(void* estimator, int signo) {
  static_cast<Estimator*>(estimator)
      ->stop(std::string("interrupted by ") + interrupt_signal_name(signo));
}

}  // namespace

std::string estimate_mode_text(int estimate_mask) {
  std::string s;
  if (estimate_mask & ESTIMATE_DEDUPE) s += "dedupe";
  s += (estimate_mask & ESTIMATE_DEDUPE_ZEROS) ? "(with zeros) "
                                               : "(without zeros) ";
  if (estimate_mask & ESTIMATE_COMPRESS) s += "compress ";
  return s;
}

int run_phases(const pelko_params_t& params) {
  Sampler sampler(params);
  interrupt_set_callback(stop_scan, &sampler);
  sampler.scan();
  Estimator estimator(params);
  interrupt_set_callback(stop_analysis, &estimator);
  if (const int signo = interrupt_signal()) {
    // The plan is incomplete: there is nothing to estimate.
    interrupt_set_callback(nullptr, nullptr);
    if (printer.console_is_terminal()) printer.console() << '\n';
    printer << "Scan interrupted by " << interrupt_signal_name(signo) << "."
            << std::endl;
    if (!params.export_file.empty())
      printer << "No export written: the scan did not complete." << std::endl;
    return interrupt_exit_status(signo);
  }
  estimator.start(&sampler);
  estimator.finish();
  interrupt_set_callback(nullptr, nullptr);
  // What was read is exported, however the analysis ended.
  const bool exported =
      params.export_file.empty() || export_write(params, estimator, sampler);
  const int signo = interrupt_signal();
  if (signo != 0) return interrupt_exit_status(signo);
  return exported ? 0 : 1;
}

namespace {

// Echoes the run parameters as parsed, each line with its 17-character
// label.
void echo_params(const pelko_params_t& params, const char* prog_name) {
  printer << "VERSION:         ";
  print_version(prog_name);
  printer << "INPUT PARAMETERS:" << std::endl;
  for (const root_t* root : params.roots)
    printer << "path:            " << root->path << std::endl;
  printer << "chunk_size:      " << capacity_to_str(params.chunk_size)
          << std::endl;
  if (params.debug > 0 || params.bucket_size != DEFAULT_BUCKET_SIZE)
    printer << "bucket_size:     " << capacity_to_str(params.bucket_size)
            << std::endl;
  printer << "estimate:        " << estimate_mode_text(params.estimate_mask)
          << std::endl;
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
  const _TSTRING prefix = outer == "/" ? outer : outer + "/";
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
    struct stat st;
    bool warned;
  };
  auto warn = [](const root_t* root, const char* how, const root_t* other) {
    printer << "WARNING: " << root->path << how << other->path
            << ": its data is counted twice." << std::endl;
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
          printer << "WARNING: " << root->path
                  << " is given twice: its data is counted twice." << std::endl;
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

int run(pelko_params_t* params, int argc, char** argv) {
  parse_opts(params, argc, argv);
  if (!params->output_file.empty()) printer.open(params->output_file);
  if (!params->merge_files.empty()) {
    const int status = merge_run(*params, argv[0]);
    const int output = finish_output(params->output_file);
    return output != 0 ? output : status;
  }
  export_choose_seed(params);
  echo_params(*params, argv[0]);
  if (!probe_roots(params)) return 1;
  if (!params->export_file.empty() && !export_check(*params)) return 1;
  warn_overlapping_roots(*params);
  // A chunk across a bucket boundary would be cut in two and never read.
  if (round_bucket_size(params))
    printer << "WARNING: bucket_size set to "
            << capacity_to_str(params->bucket_size)
            << ", a multiple of chunk_size." << std::endl;
  const int status = run_phases(*params);
  const int output = finish_output(params->output_file);
  return output != 0 ? output : status;
}

}  // namespace

int pelko_main(int argc, char** argv) {
  os_share_heap();
  interrupt_install();
  std::cout << std::fixed << std::setprecision(3);
  std::cerr << std::fixed << std::setprecision(3);
  pelko_params_t params;
  int status = run(&params, argc, argv);
  clear_roots(&params);
  return status;
}
