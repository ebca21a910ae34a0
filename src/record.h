// Machine-readable records of a run, written as it goes: --json (JSON
// Lines), --csv (the report rows), --plot (an SVG chart of the rows,
// drawn at the end) and --table-csv (the table of configurations of a run
// that estimates several, written at the end).
//
// JSON Lines: one object a line, each with a "type":
//   "run"      version, parameters, inputs with their probe results (or the
//              exports of a merge)
//   "row"      a report row; "final": true for the final row
//   "size_row" with several chunk sizes, a row of another size than the
//              first, with its compressors' ratios
//   "configuration"
//              with several configurations, one per configuration at the
//              end: its figures and its summary's
//   "summary"  the summary figures and "stop_reason" (null: complete)
//   "breakdown" with --by: one object per label (breakdown.h)
//   "overlap"  after a merge of 2 to 64 exports: each one's exclusive and
//              shared share, and the pairwise overlap matrix
// With --by the CSV file has, after the rows and an empty line, the
// breakdown table with its own header line.
// Figures that have no value (no estimate, a mode that is off) are null.
// Paths are bytes; one that is not valid UTF-8 is written with each invalid
// byte as U+FFFD in "path" and, exactly, as hex digits in "path_hex".
//
// Every line is flushed as it is written, so that a reader can follow the
// run and an interrupted run leaves complete lines. A failed write is
// remembered and reported by finish.
//
// Thread safety: the lines of the JSON record are written under a lock of
// their own (several Estimators write rows); everything else is written by
// one thread at a time (the estimator writes rows under its own lock).
#ifndef PELKO_RECORD_H_
#define PELKO_RECORD_H_

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "mutex.h"
#include "breakdown.h"
#include "options.h"
#include "ranges.h"
#include "summary.h"
#include "types.h"

// The file name that stands for standard output (--json -, --csv -,
// --plot -): the text report then goes to standard error.
#define RECORD_STDOUT "-"

// One report row as numbers.
struct record_row_t {
  bool final = false;
  double elapsed = 0;    // seconds
  double progress = 0;   // analysed share of the plan, percent
  size_t bytes = 0;      // analysed bytes
  double bandwidth = -1; // bytes per second; -1: none yet
  size_t memory = 0;     // resident bytes now
  size_t memory_peak = 0;
  bool dedupe = false;   // dedupe estimated in this run
  double r = -1, r_low = -1, r_high = -1;  // -1: no estimate
  bool compress = false;  // compression estimated in this run
  double compress_ratio = 0;
  double compress_low = -1, compress_high = -1;  // -1: no bound
  double zeros = 0;      // zero chunks, percent of those analysed
  double zeros_low = -1, zeros_high = -1;        // percent; -1: no bound
  // With several compressors: each one's name and ratio with its range.
  std::vector<std::string> compressors;
  std::vector<range_t> compress_by;
};

// A row of a chunk size other than the first, with several chunk sizes.
struct record_size_row_t {
  size_t chunk_size = 0;
  bool final = false;
  double progress = 0;  // analysed share of the plan, percent
  double r = -1, r_low = -1, r_high = -1;
  double zeros = 0, zeros_low = -1, zeros_high = -1;  // percent
  // Each compressor's name and its ratio with its range (empty without
  // compression).
  std::vector<std::string> compressors;
  std::vector<range_t> compress;
};

// What the --plot chart says besides the rows (chart.h).
struct chart_info_t {
  // The inputs as given (-p), or the exports of a merge.
  std::vector<std::string> inputs;
  bool merge = false;
  size_t total_size = INVALID_SIZE_T;  // logical size; INVALID_SIZE_T: unknown
  size_t chunk_size = 0;
  // Bytes per bucket, for the reason a band is missing; 0: not known.
  size_t bucket_size = 0;
  std::string date;  // when the run started, as the title shows it
  // The summary's total reduction ratio: estimate, pessimistic, optimistic
  // (-1 where none); all -1 without a summary.
  summary_figure_t ratio = {-1, -1, -1};
};

// The outputs a run was asked for; inactive when none.
class Record {
 public:
  Record() {}
  ~Record();
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Opens (truncating or creating) the JSON and CSV files named in params
  // (RECORD_STDOUT is standard output) and notes the chart's, which is
  // written by finish. Call after every check of the run has passed
  // (output_check, output_writable_check), so that a run refused at its
  // start leaves every file as it was. False after an "ERROR: " line on
  // stderr naming the one that could not be opened.
  bool open(const pelko_params_t& params);

  // True when any output was asked for.
  bool active() const {
    return m_json || m_csv || !m_plot_file.empty() || m_table_csv;
  }

  // The "run" object: parameters and the probed inputs.
  void write_run(const pelko_params_t& params);
  // A report row (periodic or final).
  void add_row(const record_row_t& row);
  // A row of another chunk size (from any thread).
  void add_size_row(const record_size_row_t& row);
  // The table of configurations: the CSV table and, with json, the
  // "configuration" objects.
  void write_configurations(const std::vector<config_figures_t>& table,
                            bool json = true);
  // The "summary" object.
  void write_summary(const summary_input_t& in, const summary_t& s);
  // The "breakdown" object and the CSV table (--by).
  void write_breakdown(const breakdown_t& b);
  // The "overlap" object of a merge.
  void write_overlap(const overlap_t& o);
  // A run that ends without a summary (the scan was interrupted).
  void write_stop(const std::string& reason);

  // Draws the chart (written under a temporary name and renamed into
  // place), closes every file. Returns 0, or 1 after an "ERROR: " line for
  // each output that could not be written in full: a full disk, or a pipe
  // or FIFO whose reader has gone (that output breaks; the others are
  // written in full). Call once.
  int finish();

  const std::vector<record_row_t>& rows() const { return m_rows; }

 private:
  void json_line(const std::string& line);
  void csv_line(const std::string& line);

  FILE* m_json = nullptr;
  FILE* m_csv = nullptr;
  FILE* m_table_csv = nullptr;
  std::string m_json_file, m_csv_file, m_plot_file, m_table_csv_file;
  // The error number of each file's first failed write; 0 while none.
  int m_json_errno = 0, m_csv_errno = 0, m_table_csv_errno = 0;
  Mutex m_json_mutex;  // guards the JSON lines' writes
  // A CSV row at 100 % held back until the next row: the final row that
  // follows it stands for both.
  bool m_csv_pending = false;
  size_t m_csv_pending_bytes = 0;
  std::string m_csv_pending_line;
  int m_dedupe_mask = 0;
  // For the chart.
  std::vector<record_row_t> m_rows;
  std::string m_stop_reason;
  bool m_stopped = false;
  chart_info_t m_chart;
};

extern Record record;

// Whether s is valid UTF-8 (no overlong forms, no surrogates).
bool utf8_valid(const std::string& s);
// s with U+FFFD in place of each byte that is not part of valid UTF-8.
std::string utf8_display(const std::string& s);
// Each byte of s as two lowercase hex digits.
std::string to_hex(const std::string& s);

// Before an output is written: false, after an "ERROR: <option> <path>: "
// line on stderr, when path would land among the inputs: it is a root, lies
// on the device of a block-device root, or lies inside a root directory.
// Without inside_dirs (the report file, -o, which always could) a new file
// inside a root directory is let through: it adds a file there and changes
// none; an existing one would be overwritten and is refused. The roots need
// not be probed yet.
bool output_check(const std::string& option, const std::string& path,
                  const LIST_ROOTS& roots, bool inside_dirs);

// Whether two output paths name the same file (existing or to be created):
// the same canonical path, or, for two existing files, the same device and
// inode (a hard link); RECORD_STDOUT is one file.
bool same_output(const std::string& a, const std::string& b);

// Before an output is written: false, after an "ERROR: <option> <path>: "
// line on stderr, when it cannot be written: it is a directory, or it is
// to be created in a directory this process may not write to, or it is an
// existing file this process may not write to. With renamed (--export and
// --plot, written under a temporary name and renamed into place) an
// existing path that is not a regular file is refused as well: the rename
// would replace a device, a FIFO or a symbolic link with a plain file.
bool output_writable_check(const std::string& option, const std::string& path,
                           bool renamed);

// Outputs renamed into place. temp_output_create creates a new, empty file
// beside path (path + ".tmp-" and six random characters; mode 0666 less
// the umask), registered for removal on an abrupt end (interrupt.h), and
// returns its descriptor, or -1 with errno set. temp_output_commit renames
// it to path (false with errno set, the temporary file removed);
// temp_output_discard removes it. Either ends the registration.
int temp_output_create(const std::string& path, std::string* tmp);
bool temp_output_commit(const std::string& tmp, const std::string& path);
void temp_output_discard(const std::string& tmp);

#endif  // PELKO_RECORD_H_
