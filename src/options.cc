// Run parameters and the command line.
#include "options.h"

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

#include <iostream>
#include <vector>

#include "format.h"
#include "os.h"
#include "pelko_assert.h"
#include "printer.h"

namespace {

const size_t DEFAULT_CHUNK_SIZE = 16384;
const double DEFAULT_REPORT_FREQ_PERCENT = 1.0;
const time_t DEFAULT_SCAN_TIME_LIMIT = 3600;

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
  OPT_JSON,
  OPT_CSV,
  OPT_PLOT,
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
    {"json", required_argument, nullptr, OPT_JSON},
    {"csv", required_argument, nullptr, OPT_CSV},
    {"plot", required_argument, nullptr, OPT_PLOT},
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
        params->bucket_size_given = true;
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
      case OPT_JSON:
      case OPT_CSV:
      case OPT_PLOT: {
        if (optarg[0] == 0)
          return usage_error("%s needs a file name", option_name(c).c_str());
        std::string* file = c == OPT_JSON  ? &params->json_file
                            : c == OPT_CSV ? &params->csv_file
                                           : &params->plot_file;
        *file = optarg;
        break;
      }
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
        case OPT_JSON:
        case OPT_CSV:
        case OPT_PLOT:
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
  // A bucket holds no whole chunk: nothing would be read. Without -b the
  // bucket size is chosen for the plan, at least one chunk.
  if (!params->bucket_size_given && params->chunk_size > params->bucket_size)
    params->bucket_size = params->chunk_size;
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
  usage_line(os, " [--json <file>]",
             "Write the parameters, rows and summary as JSON Lines.");
  usage_line(os, " [--csv <file>]", "Write the report rows as CSV.");
  usage_line(os, " [--plot <file.svg>]",
             "Draw the estimates against progress as an SVG chart.");
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
  usage_line(os, " [--json <file>] [--csv <file>] [--plot <file.svg>]",
             "As above, for the merged estimate.");
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

std::string estimate_mode_text(int estimate_mask) {
  std::string s;
  // Whether zero chunks take part in dedupe says nothing without dedupe.
  if (estimate_mask & ESTIMATE_DEDUPE)
    s += (estimate_mask & ESTIMATE_DEDUPE_ZEROS) ? "dedupe(with zeros) "
                                                 : "dedupe(without zeros) ";
  if (estimate_mask & ESTIMATE_COMPRESS) s += "compress ";
  return s;
}
