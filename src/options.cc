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

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
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
  OPT_EARLY_ROWS,
  OPT_TARGET_WIDTH,
  OPT_FINGERPRINT,
  OPT_EXPORT,
  OPT_MERGE,
  OPT_JSON,
  OPT_CSV,
  OPT_PLOT,
  OPT_CHUNK_SIZES,
  OPT_COMPRESSORS,
  OPT_COMPRESS_SHARE,
  OPT_SAMPLE_FIRST,
  OPT_TABLE_CSV,
  OPT_BY,
};

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"chunk_size", required_argument, nullptr, 'c'},
    {"chunk-size", required_argument, nullptr, 'c'},
    // What "--chunk" abbreviated before --chunk-sizes made it ambiguous.
    {"chunk", required_argument, nullptr, 'c'},
    {"bucket_size", required_argument, nullptr, 'b'},
    {"bucket-size", required_argument, nullptr, 'b'},
    {"estimate", required_argument, nullptr, 'e'},
    {"freq", required_argument, nullptr, 'r'},
    {"threads", required_argument, nullptr, 't'},
    {"memory", required_argument, nullptr, 'M'},
    {"scan_time", required_argument, nullptr, 'T'},
    {"scan-time", required_argument, nullptr, 'T'},
    {"out", required_argument, nullptr, 'o'},
    {"alpha", required_argument, nullptr, 'A'},
    {"debug", optional_argument, nullptr, 'D'},
    {"path", required_argument, nullptr, 'p'},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"stop-at", required_argument, nullptr, OPT_STOP_AT},
    {"time-limit", required_argument, nullptr, OPT_TIME_LIMIT},
    {"max-rate", required_argument, nullptr, OPT_MAX_RATE},
    {"keep-cache", no_argument, nullptr, OPT_KEEP_CACHE},
    {"early-rows", no_argument, nullptr, OPT_EARLY_ROWS},
    {"target-width", required_argument, nullptr, OPT_TARGET_WIDTH},
    {"fingerprint", required_argument, nullptr, OPT_FINGERPRINT},
    {"export", required_argument, nullptr, OPT_EXPORT},
    {"merge", required_argument, nullptr, OPT_MERGE},
    {"json", required_argument, nullptr, OPT_JSON},
    {"csv", required_argument, nullptr, OPT_CSV},
    {"plot", required_argument, nullptr, OPT_PLOT},
    {"chunk-sizes", required_argument, nullptr, OPT_CHUNK_SIZES},
    {"compressors", required_argument, nullptr, OPT_COMPRESSORS},
    {"compress-share", required_argument, nullptr, OPT_COMPRESS_SHARE},
    {"sample-first", no_argument, nullptr, OPT_SAMPLE_FIRST},
    {"table-csv", required_argument, nullptr, OPT_TABLE_CSV},
    {"by", required_argument, nullptr, OPT_BY},
    {nullptr, 0, nullptr, 0},
};

// An option by its canonical name: "-M", or "--max-rate" without a short
// form.
std::string option_name(int c) {
  if (c < OPT_SEED) return std::string("-") + (char)c;
  for (const struct option* o = long_options; o->name != nullptr; o++)
    if (o->val == c) return std::string("--") + o->name;
  return "?";
}

// A comma-separated list of chunk sizes, each a power of two that LZ4
// takes, none twice. False with *why set otherwise.
bool parse_size_list(const std::string& text, std::vector<size_t>* out,
                     std::string* why) {
  std::vector<size_t> list;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    const std::string item = text.substr(at, comma - at);
    const double d = strsize_to_bytes(item.c_str());
    if (item.empty()) {
      *why = "an empty size in the list; separate the sizes with commas, as "
             "in 4K,8K,16K";
      return false;
    }
    if (!(d == d)) {
      *why = item + " is not a size; give " + SIZE_FORMS;
      return false;
    }
    const size_t size = d >= 1 && d <= (double)LZ4_MAX_INPUT_SIZE ? (size_t)d : 0;
    if (size == 0 || (double)size != d || (size & (size - 1)) != 0) {
      *why = item + " is not a power of two from 1 byte to " +
             size_text((size_t)1 << 30) +
             "; arrays deduplicate blocks of 4K, 8K, 16K, ...";
      return false;
    }
    if (std::find(list.begin(), list.end(), size) != list.end()) {
      *why = item + " is given twice";
      return false;
    }
    list.push_back(size);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *out = list;
  return true;
}

// A size argument as a byte count, for a size that strsize_to_bytes
// accepted: negative values become 0 (the checks tell them apart), values
// beyond the range saturate.
size_t size_arg(double d) {
  if (!(d > 0)) return 0;
  if (d >= 18446744073709551616.0) return SIZE_MAX;  // 2^64
  return (size_t)d;
}

// parse_number, with an optional "%" after the number when percent is set.
bool number_arg(const char* arg, double* out, bool percent = false) {
  std::string s = arg;
  if (percent && !s.empty() && s.back() == '%') s.pop_back();
  return parse_number(s.c_str(), out);
}

std::string format_msg(const char* fmt, va_list ap) {
  char buf[1024];
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

const char* const SHORT_OPTIONS = "hVc:b:e:r:t:M:T:o:A:Dp:";

// How the option getopt_long has just returned was written, for the
// messages: its name as typed ("-c", "--chunk-size", "--chunk" for an
// abbreviation), its argument, and both as typed ("-c 0",
// "--chunk-size=0").
struct typed_t {
  std::string name;
  std::string arg;
  std::string shown;
};

typed_t typed_option(int c, int argc, char** argv, int longindex) {
  typed_t t;
  t.arg = optarg ? optarg : "";
  const char* last = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
  if (longindex < 0) {
    t.name = std::string("-") + (char)c;
    t.shown = optarg ? t.name + " " + optarg : t.name;
  } else if (optarg != nullptr && optarg == last && optind >= 2) {
    t.name = argv[optind - 2];  // "--name" "value"
    t.shown = t.name + " " + optarg;
  } else {
    const char* eq = strchr(last, '=');
    t.name = eq ? std::string(last, eq) : std::string(last);
    t.shown = last;
  }
  return t;
}

// Why getopt_long refused an option: unknown, ambiguous, or with an
// argument missing or one it does not take.
std::string refused_option(int argc, char** argv) {
  // A short option inside a group ("-Dx") leaves optind at its group; one
  // at a group's end has moved past it, as a long option always does.
  const char* cur = optind < argc ? argv[optind] : "";
  const char* last = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
  const bool in_group = optopt != 0 && cur[0] == '-' && cur[1] != '-' &&
                        strchr(cur + 1, optopt) != nullptr;
  if (in_group || strncmp(last, "--", 2) != 0) {
    const char* in_list = strchr(SHORT_OPTIONS, optopt);
    const std::string name = std::string("-") + (char)optopt;
    if (optopt != 0 && optopt != ':' && in_list != nullptr && in_list[1] == ':')
      return name + ": needs an argument";
    return name + ": unknown option";
  }
  const char* eq = strchr(last, '=');
  const std::string name = eq ? std::string(last, eq) : std::string(last);
  if (optopt != 0)
    return name + (eq ? ": takes no argument" : ": needs an argument");
  std::vector<int> vals;
  std::string matches;
  for (const struct option* o = long_options; o->name != nullptr; o++) {
    if (strncmp(o->name, name.c_str() + 2, name.size() - 2) != 0) continue;
    if (std::find(vals.begin(), vals.end(), o->val) != vals.end()) continue;
    vals.push_back(o->val);
    matches += std::string(matches.empty() ? "" : ", ") + "--" + o->name;
  }
  if (vals.size() > 1) return name + ": ambiguous, could be " + matches;
  return name + ": unknown option";
}

// What may follow a bad value in a message, per option.
const char* what_follows(int c) {
  switch (c) {
    case 'r':
      return "not a number; give the step in percent, as in -r 5";
    case 't':
      return "not a whole number of threads";
    case 'T':
      return "not a whole number of seconds; 0 means no limit";
    case 'A':
      return "not a number";
    case OPT_STOP_AT:
      return "not a number; give a share in percent, as in --stop-at 10";
    case OPT_TARGET_WIDTH:
      return "not a number; give the half-width in percent, as in "
             "--target-width 5";
    case OPT_TIME_LIMIT:
      return "not a number of seconds";
    case OPT_COMPRESS_SHARE:
      return "not a number; give a share in percent, as in --compress-share "
             "5";
    default:
      return "not a number";
  }
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
  // The values as given, checked once every option is read (the last one
  // given counts).
  double memory = 0, rate = 0, scan_time = 0;
  double report_percent = DEFAULT_REPORT_FREQ_PERCENT;
  double threads = params->n_threads;
  double stop_at_percent = 0;
  bool stop_at_given = false;
  bool target_width_given = false;
  double share_percent = 0;
  bool share_given = false;
  // How each option was last written.
  std::map<int, typed_t> typed;
  // Options given, for those that a merge has no use for.
  std::vector<int> given;

  optind = 0;  // full re-initialisation of getopt's state
  struct opterr_guard_t {
    int saved = opterr;
    ~opterr_guard_t() { opterr = saved; }
  } opterr_guard;
  opterr = 0;  // the messages below say what is wrong, and how to mend it
  for (;;) {
    int longindex = -1;
    int c = getopt_long(argc, argv, SHORT_OPTIONS, long_options, &longindex);
    if (c == -1) break;
    if (c == '?') return usage_error("%s", refused_option(argc, argv).c_str());
    given.push_back(c);
    const typed_t& t = typed[c] = typed_option(c, argc, argv, longindex);
    const char* shown = t.shown.c_str();
    double number = 0;
    switch (c) {
      case 'c':
      case 'b':
      case 'M':
      case OPT_MAX_RATE:
        number = strsize_to_bytes(optarg);
        if (!(number == number))
          return usage_error("%s: not a size; give %s", shown, SIZE_FORMS);
        break;
      case 'r':
      case OPT_STOP_AT:
      case OPT_TARGET_WIDTH:
      case OPT_COMPRESS_SHARE:
        if (!number_arg(optarg, &number, true))
          return usage_error("%s: %s", shown, what_follows(c));
        break;
      case 't':
      case 'T':
      case 'A':
      case OPT_TIME_LIMIT:
        if (!number_arg(optarg, &number) ||
            ((c == 't' || c == 'T') && number != floor(number)))
          return usage_error("%s: %s", shown, what_follows(c));
        break;
      default:
        break;
    }
    switch (c) {
      case 'h':
        return parse_result_t{PARSE_HELP, ""};
      case 'V':
        return parse_result_t{PARSE_VERSION, ""};
      case 'c':
        params->chunk_size = size_arg(number);
        break;
      case 'b':
        params->bucket_size = size_arg(number);
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
          return usage_error(
              "%s: unknown estimate mode; the modes are all, dedupe, "
              "compress, no-dedupe, no-compress and no-dedupe-zeros",
              shown);
        }
        break;
      case 'r':
        report_percent = number;
        params->report_freq = number / 100;
        break;
      case 't':
        threads = number;
        break;
      case 'M':
        memory = number;
        params->memory_limit = size_arg(number);
        break;
      case 'T':
        scan_time = number;
        // Beyond any run; keeps the conversion defined.
        params->scan_time_limit =
            number > 0 ? (time_t)std::min(number, 1e15) : 0;
        break;
      case 'o':
        params->output_file = optarg;
        break;
      case 'A':
        params->alpha = number;
        break;
      case 'D':
        params->debug++;
        break;
      case OPT_STOP_AT:
        stop_at_percent = number;
        stop_at_given = true;
        params->stop_at = number / 100;
        break;
      case OPT_TIME_LIMIT:
        params->time_limit = number;
        break;
      case OPT_MAX_RATE:
        rate = number;
        params->max_rate = size_arg(number);
        break;
      case OPT_KEEP_CACHE:
        params->keep_cache = true;
        break;
      case OPT_EARLY_ROWS:
        params->early_rows = true;
        break;
      case OPT_TARGET_WIDTH:
        target_width_given = true;
        params->target_width = number / 100;
        params->early_rows = true;
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
          return usage_error("%s: not a seed; give a whole number from 0 to %u",
                             shown, UINT_MAX);
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
          return usage_error("%s: the width is 32 or 64 (bits)", shown);
        }
        break;
      case OPT_EXPORT:
        if (optarg[0] == 0)
          return usage_error("%s: needs a file name", t.name.c_str());
        params->export_file = optarg;
        break;
      case OPT_MERGE:
        params->merge_files.push_back(optarg);
        break;
      case OPT_BY:
        if (strcmp(optarg, "root") == 0) {
          params->by = BY_ROOT;
        } else if (strcmp(optarg, "dir") == 0) {
          params->by = BY_DIR;
        } else if (strcmp(optarg, "type") == 0) {
          params->by = BY_TYPE;
        } else {
          return usage_error("%s: the breakdown is by root, dir or type",
                             shown);
        }
        break;
      case OPT_JSON:
      case OPT_CSV:
      case OPT_PLOT:
      case OPT_TABLE_CSV: {
        if (optarg[0] == 0)
          return usage_error("%s: needs a file name", t.name.c_str());
        std::string* file = c == OPT_JSON  ? &params->json_file
                            : c == OPT_CSV ? &params->csv_file
                            : c == OPT_PLOT ? &params->plot_file
                                            : &params->table_csv_file;
        *file = optarg;
        break;
      }
      case OPT_CHUNK_SIZES: {
        std::string why;
        if (!parse_size_list(optarg, &params->chunk_sizes, &why))
          return usage_error("%s: %s", shown, why.c_str());
        break;
      }
      case OPT_COMPRESSORS: {
        std::string why;
        if (!parse_codec_list(optarg, &params->compressors, &why))
          return usage_error("%s: %s", shown, why.c_str());
        break;
      }
      case OPT_COMPRESS_SHARE:
        share_percent = number;
        share_given = true;
        params->compress_share = number / 100;
        break;
      case OPT_SAMPLE_FIRST:
        params->sample_first = true;
        break;
      default:
        return usage_error("%s: unknown option", t.name.c_str());
    }
  }

  params->scan_memory_limit = (size_t)((double)params->memory_limit * 0.8);

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
        case OPT_TABLE_CSV:
        case 'o':
        case 'A':
        case 'D':
          break;
        default:
          return usage_error(
              "%s: does not apply to --merge, which reads no inputs: the "
              "exports fix the analysis",
              typed[c].name.c_str());
      }
    }
    if (!(params->alpha > 0))
      return usage_error("%s: alpha must be above 0", typed['A'].shown.c_str());
    return parse_result_t{PARSE_OK, ""};
  }

  // The first failing check is the one reported. A path without -p would
  // be left out of the estimate.
  const char* stray = optind < argc ? argv[optind] : nullptr;
  if (params->roots.empty())
    return stray ? usage_error("no input path: %s is no option; input paths "
                               "are given with -p, as in: -p %s",
                               stray, stray)
                 : usage_error("no input path: name what to estimate with -p "
                               "PATH");
  if (stray)
    return usage_error("unexpected argument %s: input paths are given with "
                       "-p, as in: -p %s",
                       stray, stray);
  const std::map<int, std::string> names = [&typed] {
    std::map<int, std::string> m;
    for (int c : {(int)'c', (int)'b', (int)'r', (int)'t', (int)'A', (int)'M',
                  (int)'T', (int)OPT_STOP_AT, (int)OPT_TARGET_WIDTH,
                  (int)OPT_TIME_LIMIT, (int)OPT_MAX_RATE})
      m[c] = typed.count(c) ? typed[c].shown : option_name(c);
    return m;
  }();
  auto as_typed = [&names](int c) { return names.at(c).c_str(); };
  if (!params->chunk_sizes.empty()) {
    if (typed.count('c'))
      return usage_error("%s: give the chunk sizes with %s alone",
                         typed['c'].shown.c_str(),
                         typed[OPT_CHUNK_SIZES].name.c_str());
    // One size is a chunk size like -c's; several are cut from the
    // smallest.
    params->chunk_size = *std::min_element(params->chunk_sizes.begin(),
                                           params->chunk_sizes.end());
    if (params->chunk_sizes.size() == 1) params->chunk_sizes.clear();
  }
  if (params->compressors.size() == 1 &&
      params->compressors[0].kind == CODEC_LZ4)
    params->compressors.clear();  // the default
  if (!params->compressors.empty() &&
      !(params->estimate_mask & ESTIMATE_COMPRESS))
    return usage_error("%s: compression is not estimated (-e)",
                       typed[OPT_COMPRESSORS].shown.c_str());
  if (share_given && (!(share_percent > 0) || share_percent > 100))
    return usage_error("%s: the share must be above 0 and at most 100 "
                       "(percent)",
                       typed[OPT_COMPRESS_SHARE].shown.c_str());
  if (params->chunk_size == 0)
    return usage_error("%s: the chunk size must be at least 1 byte",
                       as_typed('c'));
  // LZ4 refuses larger inputs: every chunk would count as compressed to 0.
  if (params->chunk_size > (size_t)LZ4_MAX_INPUT_SIZE)
    return usage_error("%s: the chunk size must be at most %s (%d bytes), the "
                       "largest block LZ4 compresses",
                       as_typed('c'), size_text(LZ4_MAX_INPUT_SIZE).c_str(),
                       LZ4_MAX_INPUT_SIZE);
  if (params->bucket_size == 0)
    return usage_error("%s: the bucket size must be at least 1 byte",
                       as_typed('b'));
  // A bucket holds no whole chunk: nothing would be read. Without -b the
  // bucket size is chosen for the plan, at least one chunk.
  const size_t largest = largest_chunk_size(*params);
  if (!params->bucket_size_given && largest > params->bucket_size)
    params->bucket_size = largest;
  if (largest > params->bucket_size) {
    if (!params->chunk_sizes.empty())
      return usage_error("%s: %s is larger than the bucket size %s (%s); give "
                         "a bucket size of at least %s",
                         typed[OPT_CHUNK_SIZES].shown.c_str(),
                         size_text(largest).c_str(),
                         size_text(params->bucket_size).c_str(), as_typed('b'),
                         size_text(largest).c_str());
    return usage_error("%s: larger than the bucket size %s (%s); give a "
                       "bucket size of at least %s",
                       as_typed('c'), size_text(params->bucket_size).c_str(),
                       as_typed('b'), typed['c'].arg.c_str());
  }
  // Below this the rows are all the work there is (and far below it the
  // step would no longer move).
  if (!(report_percent >= MIN_REPORT_FREQ_PERCENT))
    return usage_error("%s: the report step must be at least %g (percent)",
                       as_typed('r'), MIN_REPORT_FREQ_PERCENT);
  if (threads < 1 || threads > MAX_THREADS)
    return usage_error("%s: the thread count must be 1 to %d", as_typed('t'),
                       MAX_THREADS);
  params->n_threads = (int)threads;
  if (!(params->alpha > 0))
    return usage_error("%s: alpha must be above 0", as_typed('A'));
  if (memory < 0)
    return usage_error("%s: the memory limit cannot be negative; 0 means none",
                       as_typed('M'));
  if (scan_time < 0)
    return usage_error(
        "%s: the scan time limit cannot be negative; 0 means none",
        as_typed('T'));
  if (stop_at_given && (!(stop_at_percent > 0) || stop_at_percent > 100))
    return usage_error("%s: the share must be above 0 and at most 100 "
                       "(percent)",
                       as_typed(OPT_STOP_AT));
  if (params->time_limit < 0)
    return usage_error("%s: the time limit cannot be negative; 0 means none",
                       as_typed(OPT_TIME_LIMIT));
  if (target_width_given &&
      (!(params->target_width > 0) || params->target_width >= 1))
    return usage_error("%s: the half-width must be above 0 and below 100 "
                       "(percent)",
                       as_typed(OPT_TARGET_WIDTH));
  if (rate < 0)
    return usage_error("%s: the rate cannot be negative; 0 means no limit",
                       as_typed(OPT_MAX_RATE));

  // The breakdown counts each label's distinct chunks in the dedupe map.
  if (params->by != BY_NONE && !(params->estimate_mask & ESTIMATE_DEDUPE))
    return usage_error("--by: needs the dedupe estimate; leave out the -e "
                       "that turns it off");
  // Each label's compression is counted for the first configuration's
  // measured sizes, which a run of several configurations may sample.
  if (params->by != BY_NONE && several_configs(*params))
    return usage_error("--by: works with one chunk size and one compressor; "
                       "leave out --chunk-sizes and --compressors, or run "
                       "--by separately");

  return parse_result_t{PARSE_OK, ""};
}

std::vector<size_t> config_chunk_sizes(const pelko_params_t& params) {
  if (params.chunk_sizes.empty()) return {params.chunk_size};
  return params.chunk_sizes;
}

std::vector<codec_t> config_codecs(const pelko_params_t& params) {
  if (params.compressors.empty()) return {codec_t()};
  return params.compressors;
}

bool several_configs(const pelko_params_t& params) {
  return params.chunk_sizes.size() > 1 || params.compressors.size() > 1;
}

size_t largest_chunk_size(const pelko_params_t& params) {
  size_t largest = params.chunk_size;
  for (size_t s : params.chunk_sizes) largest = std::max(largest, s);
  return largest;
}

bool round_bucket_size(pelko_params_t* params) {
  const size_t chunk = largest_chunk_size(*params),
               bucket = params->bucket_size;
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
      print_usage(nullptr);
    case PARSE_VERSION:
      print_version();
      exit(finish_output(""));
    case PARSE_USAGE_ERROR:
      print_usage("%s", r.error_msg.c_str());
  }
  PELKO_ASSERT(false);
}

namespace {

const size_t HELP_WIDTH = 80;
const size_t HELP_TEXT_COLUMN = 28;

// text broken into lines of at most width - indent characters at blanks,
// each line after the first indented by indent blanks.
std::string wrap(const std::string& text, size_t indent, size_t first_column,
                 size_t width) {
  std::string out, word;
  size_t column = first_column;
  bool line_empty = true;
  auto put_word = [&]() {
    if (word.empty()) return;
    if (!line_empty && column + 1 + word.size() > width) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      line_empty = true;
    }
    if (!line_empty) {
      out += ' ';
      column++;
    }
    out += word;
    column += word.size();
    line_empty = false;
    word.clear();
  };
  for (char ch : text) {
    if (ch == ' ')
      put_word();
    else
      word += ch;
  }
  put_word();
  return out;
}

// One option of the help: the option in the left column, its description
// in the right one, wrapped within HELP_WIDTH.
void help_option(std::ostream& os, const std::string& option,
                 const std::string& text) {
  // Long options without a short form line up with those that have one.
  std::string left = (option[1] == '-' ? "      " : "  ") + option;
  if (left.size() + 2 > HELP_TEXT_COLUMN) {
    os << left << "\n" << std::string(HELP_TEXT_COLUMN, ' ');
  } else {
    os << left << std::string(HELP_TEXT_COLUMN - left.size(), ' ');
  }
  os << wrap(text, HELP_TEXT_COLUMN, HELP_TEXT_COLUMN, HELP_WIDTH) << "\n";
}

}  // namespace

void write_usage(std::ostream& os) {
  const std::string threads = std::to_string(2 * os_get_cpu_count());
  os << PROGRAM_NAME
     << " estimates how far data would shrink under deduplication,\n"
        "compression and the removal of zero blocks, reading it without "
        "writing to it.\n"
        "\n"
        "Usage: "
     << PROGRAM_NAME << " -p PATH [-p PATH ...] [options]\n"
     << "       " << PROGRAM_NAME
     << " --merge EXPORT [EXPORT ...] [-o FILE] [--json FILE] [--csv FILE]\n"
        "             [--plot FILE.svg] [--table-csv FILE]\n"
        "\n"
        "Options:\n";
  help_option(os, "-p, --path PATH",
              "input: a file, directory, mounted file system or block device; "
              "repeat for several inputs, estimated as one data set");
  help_option(os, "-c, --chunk-size SIZE",
              "unit of deduplication and compression (default " +
                  size_text(DEFAULT_CHUNK_SIZE) + ")");
  help_option(os, "-e, --estimate MODE",
              "all, dedupe, compress, or no-dedupe, no-compress, "
              "no-dedupe-zeros to leave a part out; repeatable (default all)");
  help_option(os, "-r, --freq PERCENT",
              "a report row each time this share of the data is analysed "
              "(default 1)");
  help_option(os, "-t, --threads N",
              "threads for walking and reading, 1 to " +
                  std::to_string(MAX_THREADS) + " (default " + threads +
                  ", twice the processors)");
  help_option(os, "-T, --scan-time SECONDS",
              "time limit of the scan phase, 0 for none (default " +
                  std::to_string((long long)DEFAULT_SCAN_TIME_LIMIT) + ")");
  help_option(os, "-M, --memory SIZE",
              "memory limit, 0 for none (default 80 % of the available "
              "memory, " +
                  memory_to_str(default_memory_limit(), (size_t)-1) + ")");
  help_option(os, "-o, --out FILE", "also write the report to FILE");
  help_option(os, "--stop-at PERCENT",
              "end the analysis once this share of the data is analysed");
  help_option(os, "--time-limit SECONDS",
              "end the analysis once it has run this long");
  help_option(os, "--target-width PERCENT",
              "end the analysis once the total reduction ratio's range is "
              "within +- PERCENT of the estimate on 3 rows in a row, one of "
              "them past 1 % of the data (implies --early-rows)");
  help_option(os, "--early-rows",
              "also rows at 0.01, 0.02, 0.05, 0.1, 0.2 and 0.5 % of the "
              "data, before the first report step");
  help_option(os, "--max-rate SIZE",
              "read at most SIZE per second, all threads together");
  help_option(os, "--keep-cache",
              "leave what was read in the page cache (default: drop what was "
              "not cached before)");
  help_option(os, "--seed N",
              "seed of the reading order (default: the same order every run)");
  help_option(os, "--fingerprint 32|64",
              "bits that tell chunks apart for deduplication (default 32)");
  help_option(os, "--export FILE",
              "at the end, write the run's sample to FILE for --merge");
  help_option(os, "--merge EXPORT...",
              "read no inputs: one estimate for the data of several runs, "
              "from their exports");
  help_option(os, "--by root|dir|type",
              "at the end, a table of where the savings come from: by input, "
              "by first directory below each input, or by file type");
  help_option(os, "--json FILE",
              "also write parameters, rows and summary as JSON Lines; - for "
              "standard output, the report then going to standard error");
  help_option(os, "--csv FILE", "also write the report rows as CSV");
  help_option(os, "--plot FILE.svg",
              "draw the estimates against progress as an SVG chart");
  help_option(os, "--chunk-sizes LIST",
              "estimate several chunk sizes from one read, as in "
              "4K,8K,16K,32K,64K: powers of two, the first shown in the rows, "
              "all in the table at the end (instead of -c)");
  help_option(os, "--compressors LIST",
              "compressors to estimate, as in lz4,zstd:1,zstd:3,deflate:6 "
              "(default lz4); all but the first with the first chunk size are "
              "measured on a share of the chunks");
  help_option(os, "--compress-share PERCENT",
              "the share of the distinct chunks that sampled compression "
              "measures (default: chosen for a range of about +- 1 % at the "
              "end)");
  help_option(os, "--sample-first",
              "measure the first configuration's compression on a share too, "
              "for speed on slow processors");
  help_option(os, "--table-csv FILE",
              "also write the table of configurations as CSV");
  help_option(os, "-h, --help", "show this help and exit");
  help_option(os, "-V, --version", "show the version and exit");
  os << "\nAdvanced options:\n";
  help_option(os, "-b, --bucket-size SIZE",
              "unit of the reading plan, rounded up to a multiple of the "
              "chunk size (default: chosen for the plan, at most " +
                  size_text(DEFAULT_BUCKET_SIZE) + ")");
  std::ostringstream alpha;
  alpha << DEFAULT_ALPHA;
  help_option(os, "-A, --alpha ALPHA",
              "tolerance of the dedupe range: larger gives a wider range "
              "(default " +
                  alpha.str() + ")");
  help_option(os, "-D, --debug",
              "more output; give it two or three times for more");
  os << "\n"
     << wrap("Sizes are a number of bytes with an optional unit K, M, G or T "
             "(also KB, KiB, ...), each 1024 times the one before: 16K, 1.5G.",
             0, 0, HELP_WIDTH)
     << "\n\nExamples:\n"
     << "  " PROGRAM_NAME " -p /data\n"
        "      estimate the data under /data\n"
        "  " PROGRAM_NAME " -p /dev/sdb --stop-at 10 -o report.txt\n"
        "      read a tenth of a disk at random; the report also in "
        "report.txt\n"
        "  " PROGRAM_NAME " -p /srv --max-rate 50M --export host1.pex\n"
        "      read gently and keep the sample, to merge with other hosts'\n"
        "\n"
        "More in the manual page: man " PROGRAM_NAME "\n";
}

void print_usage(const char* error_msg, ...) {
  if (error_msg != nullptr) {
    va_list ap;
    va_start(ap, error_msg);
    std::string msg = format_msg(error_msg, ap);
    va_end(ap);
    std::cout.flush();
    std::cerr << PROGRAM_NAME << ": " << msg << "\n"
              << "Try '" << PROGRAM_NAME << " --help'.\n";
    std::cerr.flush();
    exit(1);
  }
  write_usage(std::cout);
  std::cout.flush();
  if (std::cout.fail()) {
    std::cerr << "ERROR: write(stdout) failed, the usage text is incomplete"
              << std::endl;
    exit(1);
  }
  exit(0);
}

void print_version() {
  printer << PROGRAM_NAME << " " << PELKO_VERSION << ", "
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
  if (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}
