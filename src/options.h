// The run parameters and the command line that sets them (options.cc).
#ifndef PELKO_OPTIONS_H_
#define PELKO_OPTIONS_H_

#include <stddef.h>
#include <time.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "codec.h"
#include "types.h"

#define PELKO_VERSION "1.08"

// The program's name in its messages, the version line and the help,
// however it was started.
#define PROGRAM_NAME "pelko"

// Upper bound on -t; larger counts are a usage error.
const int MAX_THREADS = 1024;

// The finest report step (-r), in percent: finer steps would make the rows
// all the work there is.
const double MIN_REPORT_FREQ_PERCENT = 0.001;

// Defaults of the advanced options, which the parameter echo shows only
// when they are changed.
const size_t DEFAULT_BUCKET_SIZE = 1048576;
const double DEFAULT_ALPHA = 0.5;

// estimate_mask bits.
const int ESTIMATE_DEDUPE = 2;
const int ESTIMATE_DEDUPE_ZEROS = 4;
const int ESTIMATE_COMPRESS = 8;

// --by: what the end table breaks the figures down by.
enum breakdown_by_t {
  BY_NONE = 0,
  BY_ROOT,  // the input path as given
  BY_DIR,   // the first directory level below each input
  BY_TYPE,  // the file type by extension, well-known ones in groups
};

// The run parameters. Filled by parse_opts; read-only afterwards except the
// probe results in each root_t and the two scan limits, which the driver may
// reset to 0.
struct pelko_params_t {
  LIST_ROOTS roots;
  // With --chunk-sizes, the smallest of them: the unit the plan is cut into
  // and the chunks are read in.
  size_t chunk_size;
  // --chunk-sizes: every size to estimate, in the order given, each a power
  // of two; empty: chunk_size alone. The first is the one the report rows
  // show. Never a single size: that is chunk_size alone.
  std::vector<size_t> chunk_sizes;
  // --compressors: every compressor to estimate, in the order given; empty:
  // LZ4 alone.
  std::vector<codec_t> compressors;
  // --compress-share: the share of the distinct chunks whose compressed size
  // the sampled configurations measure, 0 < share <= 1; 0: chosen as the
  // run goes (compress.h).
  double compress_share = 0;
  // --sample-first: the first configuration's compression is sampled too.
  bool sample_first = false;
  // Without -b, the driver chooses the bucket size for the plan after the
  // scan (choose_bucket_size) and sets it here before the analysis.
  size_t bucket_size;
  bool bucket_size_given = false;
  int estimate_mask;
  double report_freq;  // fraction: 0.01 = 1 %
  int n_threads;
  time_t scan_time_limit;    // seconds, 0 = none
  size_t scan_memory_limit = 0;  // bytes, 0 = none; 0.8 x memory_limit
  size_t memory_limit;       // bytes, 0 = none
  double alpha;
  int debug;
  std::string output_file;  // empty = console only
  // --seed: the reading order's seed; without it the order is the C
  // library's unseeded one.
  bool seed_given = false;
  unsigned seed = 0;
  // Long options only; the defaults mean none.
  double stop_at = 0;     // --stop-at: end the analysis at this fraction
  // --early-rows: rows at 0.01, 0.02, 0.05, 0.1, 0.2 and 0.5 % of the plan
  // before the first report step.
  bool early_rows = false;
  // --target-width: end the analysis once the total reduction ratio's range
  // is within +- this fraction of the estimate (0: never).
  double target_width = 0;
  double time_limit = 0;  // --time-limit: seconds of analysis
  size_t max_rate = 0;    // --max-rate: bytes per second, all readers
  bool keep_cache = false;  // --keep-cache: leave what was read cached
  // --fingerprint: bits that tell chunks apart for dedupe, 32 (the chunk
  // checksum) or 64 (the checksum and 32 bits of an independent hash).
  int fingerprint_bits = 32;
  // --export: where to write the run's sample at its end; empty = nowhere.
  std::string export_file;
  // --json, --csv, --plot: machine-readable records of the run (record.h);
  // empty = none.
  std::string json_file;
  std::string csv_file;
  std::string plot_file;
  // --table-csv: the table of configurations as CSV; empty = none.
  std::string table_csv_file;
  // --merge: the exports to combine instead of reading inputs; empty = a
  // normal run.
  std::vector<std::string> merge_files;
  // --by: the breakdown at the end; BY_NONE = none.
  breakdown_by_t by = BY_NONE;

  pelko_params_t() {}
  ~pelko_params_t() {}
  pelko_params_t(const pelko_params_t&) = delete;
  pelko_params_t& operator=(const pelko_params_t&) = delete;
};

// Sets defaults, reads every option, validates and derives scan_memory_limit.
// Returns only with a complete, valid record: help and version end the
// process with status 0, a usage error with status 1.
void parse_opts(pelko_params_t* params, int argc, char** argv);

// What try_parse_opts made of a command line.
enum parse_outcome_t {
  PARSE_OK,           // params complete and valid
  PARSE_HELP,         // -h reached: print the usage text, exit 0
  PARSE_VERSION,      // -V reached: print the version line, exit 0
  PARSE_USAGE_ERROR,  // error_msg says why, and how to mend it: exit 1
};

struct parse_result_t {
  parse_outcome_t outcome;
  // Set for PARSE_USAGE_ERROR only: the option as typed, what is wrong and
  // the fix where there is one ("-c 0: the chunk size must be at least 1
  // byte"), without the program's name.
  std::string error_msg;
};

// The logic of parse_opts without printing the outcome or ending the
// process; safe to call repeatedly (getopt's state is reset on entry).
// params must be freshly constructed. On return params->debug holds the
// level reached. Roots appended before an error stay in params->roots: release
// them with clear_roots. getopt_long's own diagnostics are kept off: the
// error message names an unknown option or a missing argument instead.
parse_result_t try_parse_opts(pelko_params_t* params, int argc, char** argv);

// Makes params->bucket_size a multiple of params->chunk_size (both > 0), so
// that no chunk straddles two buckets: rounded up, or down where rounding up
// would overflow. Returns whether the size changed.
bool round_bucket_size(pelko_params_t* params);

// The chunk sizes to estimate: params.chunk_sizes, or chunk_size alone.
std::vector<size_t> config_chunk_sizes(const pelko_params_t& params);
// The compressors to estimate: params.compressors, or LZ4 alone.
std::vector<codec_t> config_codecs(const pelko_params_t& params);
// Whether the run estimates several configurations (sizes or compressors).
bool several_configs(const pelko_params_t& params);
// The largest chunk size to estimate: bucket sizes are its multiples.
size_t largest_chunk_size(const pelko_params_t& params);

// Deletes every root_t of params->roots and empties the list.
void clear_roots(pelko_params_t* params);

// Writes the help text to os: purpose, synopsis, every option with its
// description (the advanced ones apart) within 80 columns, examples.
void write_usage(std::ostream& os);

// With error_msg (printf-style): "pelko: <message>" and "Try 'pelko
// --help'." on stderr, exit status 1. Without: the help text on stdout,
// exit status 0.
[[noreturn]] void print_usage(const char* error_msg, ...)
    __attribute__((format(printf, 1, 2)));

// The estimate mode as the parameter echo shows it: "dedupe(with zeros)
// compress", "dedupe(without zeros)", "compress".
std::string estimate_mode_text(int estimate_mask);

// Writes the version line through the global printer:
// "pelko 1.08, Coin-Or Utils <version>, Coin-Or CLP <version>".
void print_version();

#endif  // PELKO_OPTIONS_H_
