// pelko: data-reduction estimator.
//
// Shared declarations: path and size types, the run parameters, the command
// line, the size formatting helpers, the platform layer (os_* functions) and
// the assertion macro that stays active in release builds.
#ifndef PELKO_PELKO_H_
#define PELKO_PELKO_H_

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <iosfwd>
#include <list>
#include <string>
#include <vector>

// A path is the operating system's bytes, never converted.
typedef char TCHAR;
typedef std::string _TSTRING;

// Marks an unknown size or file count.
const size_t INVALID_SIZE_T = (size_t)-1;

const int64_t ONE_KB = 1024LL;
const int64_t ONE_MB = ONE_KB * 1024LL;
const int64_t ONE_GB = ONE_MB * 1024LL;
const int64_t ONE_TB = ONE_GB * 1024LL;

#define PELKO_VERSION "1.08"

// Upper bound on -t; larger counts are a usage error.
const int MAX_THREADS = 1024;

// ---------------------------------------------------------------------------
// Assertions. Active in every build type: a failure prints the condition, the
// module (source file name without directory and extension) and the line to
// standard error, then aborts.
[[noreturn]] void pelko_assert_fail(const char* cond, const char* file, int line);

#define PELKO_ASSERT(cond) \
  ((cond) ? (void)0 : pelko_assert_fail(#cond, __FILE__, __LINE__))

// ---------------------------------------------------------------------------
// Kinds of paths and directory entries.
enum DEVTYPE : int32_t {
  DEVTYPE_UNKNOWN = 0,
  DEVTYPE_BLOCK = 1,       // raw block device
  DEVTYPE_FILESYSTEM = 2,  // root of a mounted file system
  DEVTYPE_DIRECTORY = 3,
  DEVTYPE_FILE = 4,  // regular file
  DEVTYPE_CHR = 5,   // character device
  DEVTYPE_FIFO = 6,
  DEVTYPE_LNK = 7,  // symbolic link (only when links are not followed)
  DEVTYPE_SOCK = 8,
};

// Display names, indexed by DEVTYPE.
extern const char* const DEVTYPE_TO_STR[9];

// One input path. parse_opts creates it unprobed; the driver fills the last
// three fields from os_get_path_info. Records live until the process ends.
struct root_t {
  _TSTRING path;
  DEVTYPE dev_type;
  size_t fs_size;     // INVALID_SIZE_T = unknown
  size_t fs_n_files;  // INVALID_SIZE_T = unknown
};

typedef std::list<root_t*> LIST_ROOTS;

// estimate_mask bits.
const int ESTIMATE_DEDUPE = 2;
const int ESTIMATE_DEDUPE_ZEROS = 4;
const int ESTIMATE_COMPRESS = 8;

// The run parameters. Filled by parse_opts; read-only afterwards except the
// probe results in each root_t and the two scan limits, which the driver may
// reset to 0.
struct pelko_params_t {
  LIST_ROOTS roots;
  size_t chunk_size;
  size_t bucket_size;
  int estimate_mask;
  double report_freq;  // fraction: 0.01 = 1 %
  int n_threads;
  time_t scan_time_limit;    // seconds, 0 = none
  size_t scan_memory_limit;  // bytes, 0 = none; 0.8 x memory_limit
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
  double time_limit = 0;  // --time-limit: seconds of analysis
  size_t max_rate = 0;    // --max-rate: bytes per second, all readers
  bool keep_cache = false;  // --keep-cache: leave what was read cached
  // --fingerprint: bits that tell chunks apart for dedupe, 32 (the chunk
  // checksum) or 64 (the checksum and 32 bits of an independent hash).
  int fingerprint_bits = 32;
  // --export: where to write the run's sample at its end; empty = nowhere.
  std::string export_file;
  // --merge: the exports to combine instead of reading inputs; empty = a
  // normal run.
  std::vector<std::string> merge_files;

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
  PARSE_USAGE_ERROR,  // error_msg says why: print it and the usage, exit 1
};

struct parse_result_t {
  parse_outcome_t outcome;
  std::string error_msg;  // set for PARSE_USAGE_ERROR only
};

// The logic of parse_opts without printing the outcome or ending the
// process; safe to call repeatedly (getopt's state is reset on entry).
// params must be freshly constructed. On return params->debug holds the
// level reached, which decides whether the usage text lists the advanced
// options. Roots appended before an error stay in params->roots: release
// them with clear_roots. getopt_long itself still prints its diagnostic for
// an unknown option or a missing argument unless the caller sets opterr = 0.
parse_result_t try_parse_opts(pelko_params_t* params, int argc, char** argv);

// Makes params->bucket_size a multiple of params->chunk_size (both > 0), so
// that no chunk straddles two buckets: rounded up, or down where rounding up
// would overflow. Returns whether the size changed.
bool round_bucket_size(pelko_params_t* params);

// Deletes every root_t of params->roots and empties the list.
void clear_roots(pelko_params_t* params);

// Writes the usage text (without any error line) to os; the advanced
// options are listed only when debug > 0.
void write_usage(std::ostream& os, int debug, const char* prog_name);

// Prints error_msg (printf-style, when not null) on stderr, then the usage
// text on stdout, and exits: 1 with an error message, 0 for help.
[[noreturn]] void print_usage(int debug, const char* prog_name,
                              const char* error_msg, ...)
    __attribute__((format(printf, 3, 4)));

// The estimate mode as the parameter echo shows it: "dedupe(with zeros)
// compress ".
std::string estimate_mode_text(int estimate_mask);

// Writes the version line through the global printer.
void print_version(const char* prog_name);

// The whole program: what main() runs. Returns the exit status: 1 also when
// standard output or the report file lost part of the report (a failed
// write, flush or close), after an "ERROR: " line on stderr.
int pelko_main(int argc, char** argv);

// The scan and analysis phases, run by pelko_main after the root lines with
// the parsed and probed parameters. Returns the exit status: 0, or after
// SIGINT or SIGTERM (see interrupt.h) 128 + the signal's number. A signal
// during the scan ends it with one line; during the analysis, the final row
// and the summary cover what was read. With params.export_file set, the
// sample is exported after the summary (status 1 when that fails).
int run_phases(const pelko_params_t& params);

// ---------------------------------------------------------------------------
// Size formatting (report formats).

// "4096", "16.000 KiB", "2.000 MiB", "10.000 GiB", "2.000 TiB": each unit
// starts at twice its size.
std::string capacity_to_str(size_t capacity);

// "%.3lf GiB" of cur_usage when max_usage is (size_t)-1, otherwise
// "%.3lf (%.3lf) GiB" of both.
std::string memory_to_str(size_t cur_usage, size_t max_usage);

// atof() of str, multiplied by the suffix given by its last character only
// (K, M, G, T, case-insensitive). "" -> 0, "16K" -> 16384, "16KB" -> 16.
double strsize_to_bytes(const char* str);

// A copy of s: paths are kept as the system's bytes.
_TSTRING chars_to_tstring(const char* s);

// The time left, for progress lines: "ETA 42s", "ETA 5m07s", "ETA 1h02m",
// "ETA 3d04h" (rounded up to the unit shown last); "ETA unknown" for a
// negative or non-finite number of seconds.
std::string eta_to_str(double seconds);

// ---------------------------------------------------------------------------
// Platform layer (os_linux.cc).

// Probes path. Sets *fs_size (bytes, INVALID_SIZE_T when unknown),
// *fs_n_files (1 for a file or device, INVALID_SIZE_T when unknown) and
// *dev_type. Returns 0 on success; otherwise prints an "ERROR: " line on
// stderr and returns the error code (errno, 2 or 19). With follow_links
// false a symbolic link is reported as DEVTYPE_LNK and a socket as
// DEVTYPE_SOCK (both with result 0) instead of being followed or rejected.
int os_get_path_info(const TCHAR* path, size_t* fs_size, size_t* fs_n_files,
                     DEVTYPE* dev_type, bool follow_links = true);

// *is_filesystem = path is a mount point. 0, or -1 after an error line.
int os_is_filesystem(const TCHAR* path, bool* is_filesystem);

// Used bytes of the file system holding path; *n_files = INVALID_SIZE_T.
// 0, or -1 after an error line.
int os_get_filesystem_stats(const TCHAR* path, size_t* used_size,
                            size_t* n_files);

// True when dir_path lies on a virtual file system (proc, sysfs, devtmpfs,
// ...) whose entries are not stored data and must never be enumerated.
bool os_is_virtual_filesystem(const TCHAR* dir_path);

// Opens an input read-only (O_RDONLY | O_CLOEXEC | extra_flags), asking for
// O_NOATIME first so that reading leaves the access time alone, and falling
// back without it where the system refuses (EPERM: not the owner). Paths of
// any length work. Returns the descriptor, or -1 with errno set.
int os_open_input(const TCHAR* path, int extra_flags);

// stat (follow_links) or lstat of a path of any length: 0, or -1 with errno.
int os_stat(const TCHAR* path, struct stat* st, bool follow_links);

// The next entry of a directory stream (readdir). Returns 0 with *entry set,
// or with *entry null at the end of the directory; after a failed read, the
// error number (errno is set to it too) with *entry null. The entry is valid
// until the next call on the same stream. Safe on distinct streams at once.
int os_read_dir(DIR* dir, struct dirent** entry);

// Test seam: os_read_dir calls func instead of readdir until it is called
// again with null. A replacement reports an error as readdir does: null with
// errno set. Set it only while no walk runs.
typedef struct dirent* (*os_readdir_func_t)(DIR* dir);
void os_set_readdir_for_test(os_readdir_func_t func);
// The canonical absolute path of an existing path (symbolic links, "." and
// ".." resolved), or false when it cannot be resolved (errno set).
bool os_real_path(const TCHAR* path, _TSTRING* real_path);

// Reading inputs without disturbing the page cache.
//
// A slice of an input is read through an os_input_range_t.
// os_input_range_begin notes which pages of [offset, offset + size) are in
// the page cache now and, unless keep_cache, starts reading the others in.
// os_input_range_read then reads parts of the range like pread (looping over
// short reads and interruptions; fewer bytes at the end of the file; *failed
// set, errno kept, when a read failed) and, unless keep_cache, drops from the
// cache again the pages it has read that were not cached at the beginning,
// so that what was cached stays cached and nothing else is left behind.
//
// How cached pages are told apart: cachestat() counts them (Linux 6.5 and
// later), which settles the common cases of a range cached in full or not
// at all; otherwise mincore() on a mapping of the range tells page by page.
// Both are exact for files this process owns or may change the owner of
// (root does). For other files every read first tries the cache alone
// (preadv2 with RWF_NOWAIT); as such an attempt starts reading in what it
// misses, fast storage can complete it within the call, and then those
// pages stay cached. Where neither works (no RWF_NOWAIT), reads are plain
// ones and the cache is left alone.
//
// os_input_no_readahead(fd) is called once on a descriptor before ranges of
// it are read with keep_cache false: read-ahead would bring in pages beyond
// the range. It also clears O_NONBLOCK on a regular file or block device
// (the kernel reads ahead for such reads all the same); other kinds keep
// it, so that their reads cannot block. A failure is ignored.
//
// A range object belongs to one thread; it may be begun again for the next
// slice (its storage is reused).
struct os_input_range_t {
  int fd = -1;
  size_t offset = 0;
  size_t size = 0;
  int method = 0;  // how cached pages are told apart (os_linux.cc)
  size_t first_page = 0;  // byte offset of the page holding offset
  size_t released = 0;    // pages of the range dealt with so far
  std::vector<unsigned char> cached;  // per page: cached at the beginning
};
void os_input_range_begin(int fd, size_t offset, size_t size, bool keep_cache,
                          os_input_range_t* range);
size_t os_input_range_read(os_input_range_t* range, unsigned char* buf,
                           size_t size, size_t offset, bool* failed);
void os_input_no_readahead(int fd);

// True when standard output is a terminal.
bool os_stdout_is_terminal();

// Makes the threads of the process share one heap: freed memory of any
// thread (the linear programs' working memory, which the reader that prints
// a report allocates) then serves the next allocation of any other, and the
// memory limit sees one heap instead of one per thread. Call once, early.
void os_share_heap();

// CPUs this process may run on.
int os_get_cpu_count();

// Bytes of physical memory available now, bounded by the cgroup v2 limit.
size_t os_get_available_memory();

// Resident memory now and (when max_usage is not null) at its peak, bytes.
void os_get_memory_usage(size_t* cur_usage, size_t* max_usage);

// Terminal size of standard output. 0 on success; -1 when standard output is
// not a terminal, and then nothing is written. Either pointer may be null.
int os_get_term_size(int* width, int* height);

// The system's text for the calling thread's errno.
_TSTRING get_last_error_str();

#endif  // PELKO_PELKO_H_
