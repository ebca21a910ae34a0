// Sampling plan and sample reader.
//
// scan() walks every root and cuts every file and block device into slices
// of whole chunks, packed in arrival order into buckets of bucket_size
// bytes; read() reads the buckets back in random order on a pool of threads
// and hands every whole chunk to a callback.
//
// Thread safety: scan(), get_total_chunks() and read() are called by one
// thread, in that order. Inside, m_mutex guards the plan and the scan
// counters against the walking and the reading threads; when a scan limit
// stops the walk, m_mutex is held while the Walker's own lock is taken, never
// the reverse. A bucket taken by a reading thread belongs to that thread until
// it has been read and released. Inputs are only ever opened read-only, without
// updating access times where the system allows it.
//
// Reading leaves the page cache as it found it unless params.keep_cache is
// set (see os_input_range_t), and all reading threads together read at most
// params.max_rate bytes per second when it is not 0.
//
// A planned file is read only if it is still the file the scan found: it is
// opened without following a symbolic link (unless it is a root given as
// one) and must have the device, inode and kind the scan saw. A file
// replaced since the scan (by rename, or by a link to another file or a
// device) is not read, and a file that has shrunk is read as far as it
// goes: each is named once in an "ERROR: " line on stderr and counted with
// the unread files. A file that cannot be opened for want of a file
// descriptor is waited for (os_open_input_retry), not given up.
#ifndef PELKO_SAMPLER_H_
#define PELKO_SAMPLER_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "condvar.h"
#include "mutex.h"
#include "os.h"
#include "options.h"
#include "types.h"

class SliceFile;
class Walker;

// Buckets a plan is cut into at least, when the bucket size is not given.
// The bucket is the sampling unit: copies that span whole buckets show only
// once both copies of a bucket have been read, so what an early row can rule
// out depends on the number of buckets read, not on their bytes. With 16,384
// buckets, 5 % of the plan is 819 buckets, and the pairs of copied buckets
// the sample could still miss (about 3 / 0.05^2 of them) are at most about
// 7 % of the buckets; with 1,024 one-MiB buckets of a 1 GiB input that share
// would be above 100 %. Inputs of 16 GiB and more keep buckets of 1 MiB.
const size_t MIN_PLAN_BUCKETS = 16384;

// The bucket size for a plan of `bytes` in whole chunks of chunk_size when
// none is given: the largest multiple of chunk_size, at most
// DEFAULT_BUCKET_SIZE (and at least one chunk), that cuts the plan into at
// least MIN_PLAN_BUCKETS buckets.
size_t choose_bucket_size(size_t bytes, size_t chunk_size);

class Sampler {
 public:
  // Called once per chunk from the reading threads, concurrently, without any
  // Sampler lock held. chunk_data points to exactly chunk_size bytes, valid
  // only until the call returns. bucket_seq numbers the buckets in the order
  // they were drawn (0, 1, 2, ...); the chunks of one bucket are delivered in
  // order, one after the other, by one thread.
  typedef void (*chunk_cb_func_t)(const unsigned char* chunk_data,
                                  size_t bucket_seq, void* cb_arg);
  // Called once per bucket drawn, by the thread that read it, after its
  // last chunk's call (also when none of its chunks could be read).
  typedef void (*bucket_end_func_t)(size_t bucket_seq, void* cb_arg);
  // With several chunk sizes (params.chunk_sizes): called with each run of
  // whole chunks of chunk_size read from one file, in order, from the
  // reading threads as chunk_cb_func_t is. data holds n bytes, a multiple of
  // chunk_size, valid only until the call returns; its first byte lies at a
  // file offset that is a multiple of `whole`, and for every configured
  // size up to `whole` the chunks of that size that lie wholly in the n
  // bytes from there on are the whole chunks of the file of that size, and
  // each such chunk of the file lies in one such run only. Chunks of a size
  // above `whole` are none of the file's.
  typedef void (*run_cb_func_t)(const unsigned char* data, size_t n,
                                size_t whole, size_t bucket_seq, void* cb_arg);

  // Keeps a reference to params, which must outlive the Sampler. The bucket
  // size must be a multiple of the chunk size (asserted): every slice is
  // then a whole number of chunks, and everything planned is read.
  explicit Sampler(const pelko_params_t& params);
  ~Sampler();
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Walks all roots and builds the plan, printing the scan phase's lines.
  // Call once.
  void scan();

  // Chunks the analysis is to expect for the whole of the inputs; after a
  // stopped scan, the planned count scaled up to the probed input size.
  size_t get_total_chunks() const;
  // The same in chunks of another configured size (params.chunk_sizes).
  size_t get_total_chunks(size_t chunk_size) const;

  // Buckets of the plan.
  size_t get_total_buckets() const;
  // The chunk size the plan is cut into (the smallest configured).
  size_t chunk_size() const { return m_params.chunk_size; }

  // With --by: the label of the slice whose chunks follow, called by the
  // reading thread before the first chunk of every slice it delivers.
  typedef void (*label_func_t)(uint8_t label, void* cb_arg);
  void set_label_func(label_func_t func) { m_label_func = func; }
  // The labels of the plan (breakdown.h), in label order: BREAKDOWN_TOP at
  // most by name and, when there are more, "other" for the rest; each with
  // its files' bytes and their tails'. Empty without params.by. After
  // scan().
  struct label_t {
    std::string name;
    size_t logical;
    size_t tails;
  };
  const std::vector<label_t>& labels() const { return m_labels; }

  // Reads every planned bucket on params.n_threads threads in rand() order
  // (seeded with params.seed when one was given) and calls
  // cb_func(chunk, bucket_seq, cb_arg) for every whole chunk read; returns
  // when the last call has returned. Call once, after scan().
  void read(chunk_cb_func_t cb_func, void* cb_arg);
  // The same, with end_func(bucket_seq, cb_arg) after each bucket.
  void read(chunk_cb_func_t cb_func, bucket_end_func_t end_func, void* cb_arg);
  // The same in runs of whole chunks (see run_cb_func_t): the reading for
  // several chunk sizes at once.
  void read_runs(run_cb_func_t cb_func, bucket_end_func_t end_func,
                 void* cb_arg);

  // Reading draws at most n buckets (0: every one). Call before read().
  void set_draw_limit(size_t n);

  // The bucket size reading uses, a multiple of the chunk size (asserted):
  // params.bucket_size unless set_bucket_size changed it after the scan.
  size_t bucket_size() const { return m_bucket_size; }
  void set_bucket_size(size_t bytes);

  // Ends the scan or the reading early. Callable from any thread, also from
  // inside the chunk callback, before or during scan() and read(); not from
  // a signal handler. A scan walks no further than the entries being handled
  // and prints none of its closing lines: its plan is incomplete and is not
  // to be read. Reading threads take no further bucket and read the buckets
  // they hold to their end.
  void request_stop();
  bool stop_requested() const { return m_stop_requested; }

  // request_stop, and more: reading threads also leave the buckets they hold
  // after the piece (at most 128 KiB) in hand, and their waits, for the read
  // rate or for a file descriptor, end within 50 ms. What they leave unread
  // is not counted as unreadable. For a person waiting for the final row.
  void request_stop_now();

  // The plan's totals, for the run's summary. After a scan stopped by a limit
  // the sizes are scaled up to the probed size of the inputs, as
  // get_total_chunks() is; the file count is what the walk found.
  struct plan_totals_t {
    size_t total_size;       // bytes of the inputs, file tails included
    size_t reductible_size;  // bytes in whole chunks
    size_t total_files;      // files and block devices found
    bool scan_stopped;       // a scan limit cut the walk short
  };
  plan_totals_t get_plan_totals() const;
  // The same with the bytes in whole chunks of another configured size.
  plan_totals_t get_plan_totals(size_t chunk_size) const;

  // What read() planned but could not deliver: the bytes of the whole
  // chunks of slices whose file could not be opened or read, had shrunk or
  // had been replaced, and the number of distinct files they belong to.
  // Call after read().
  size_t get_unread_size() const;
  size_t get_unread_files() const;
  // Directories the scan could not open or list to their end: their files
  // are missing from the plan and from every total.
  size_t get_skipped_dirs() const;

 private:
  // The plan is the sequence of the whole chunks of every file handed over,
  // in the order they came; bucket b is its bytes [b, b + 1) x bucket_size
  // (the last bucket may be shorter), so a bucket needs no memory of its own
  // but its place in the reading order, and a file no more than this record
  // and its name. A file's chunks are one run of the sequence.
  struct plan_file_t {
    uint64_t start;  // of its run in the sequence
    uint64_t size;   // bytes of its whole chunks
    uint64_t name_at;  // its name in m_names
    uint64_t ino;      // as the scan saw it; 0: not known, not checked
    uint32_t dir;  // its directory (with the trailing "/") in m_dirs
    uint16_t name_len;  // NAME_MASK bits; FOLLOW and BLOCK flags above
    uint16_t dev;       // its device in m_devs; NO_DEV: not checked
  };
  // With several chunk sizes, a file's whole chunks of the smallest size
  // are laid out in pieces, one per size at most: the largest size's whole
  // chunks of every file come first in the plan, then for each smaller size
  // the chunks of that size beyond the whole chunks of the next larger one,
  // file after file. Every piece starts at a multiple of its size both in
  // the file and in the plan, and bucket boundaries are multiples of the
  // largest size, so no chunk of any size straddles two buckets.
  struct plan_piece_t {
    uint64_t start;   // in the plan
    uint64_t offset;  // in the file
    uint64_t size;
    uint32_t file;    // index into m_files
    uint32_t level;   // index into m_levels: its size
  };
  static const uint16_t NAME_MASK = 0x3FFF;
  static const uint16_t FOLLOW = 0x4000;  // a root given as a symbolic link
  static const uint16_t BLOCK = 0x8000;   // a block device
  static const uint16_t NO_DEV = 0xFFFF;
  // One contiguous byte range of one file, part of a bucket.
  struct file_slice_t {
    size_t file;  // index into m_files
    size_t offset;
    size_t size;
    size_t whole;  // its piece's size (chunk_size with one size)
  };
  // After the walk: orders the plan's files by directory and name and lays
  // their runs out again in that order. m_mutex need not be held (the walk
  // is over).
  void sort_plan();
  // After sort_plan, with params.by: the labels and every plan file's.
  void label_plan();
  // The slices bucket b is made of, in order.
  void bucket_slices(size_t b, std::vector<file_slice_t>* out) const;
  // The size's index in m_levels (asserted to be one of them).
  size_t level_of(size_t chunk_size) const;
  // The path a plan file was handed over with.
  _TSTRING file_path(const plan_file_t& f) const;

  // Test seams: the walk's elapsed seconds and the process's memory use
  // (current, and peak when the second pointer is not null).
  typedef std::function<time_t(const Walker*)> clock_func_t;
  typedef std::function<void(size_t*, size_t*)> memory_func_t;
  friend class SamplerTestPeer;

  static void scan_file(Walker* walker, const TCHAR* file_path,
                        size_t file_size, const file_id_t& id, void* arg);
  void scan_file(Walker* walker, const TCHAR* file_path, size_t file_size,
                 const file_id_t& id = file_id_t());
  // Records a new elapsed second: progress line and limit check. m_mutex held.
  void check_elapsed_time(Walker* walker);
  void check_scan_limits(Walker* walker);
  void print_scan_progress(bool to_file) const;
  size_t current_memory() const;

  static void* read_thread(void* arg);
  void read_thread();
  // Takes a bucket not yet drawn, at random; returns its number. m_mutex
  // held.
  size_t draw_bucket();
  // A slice of a bucket drawn ahead, and the range its prefetch began.
  struct prefetched_t {
    bool begun = false;  // os_input_prefetch was called on the slice
    os_input_range_t range;
    // The descriptor the prefetch opened, checked and prepared for reading,
    // kept for the read (one of m_kept_fds), or -1.
    int fd = -1;
  };
  // Prefetches bucket b's slices into *out (one entry per slice, in order);
  // false when nothing had to be read in. No lock needed.
  bool prefetch_bucket(size_t b, std::vector<prefetched_t>* out,
                       std::vector<file_slice_t>* slices) const;
  // Opens plan file f as for reading when it is the file the scan found:
  // the descriptor, or -1 (nothing printed).
  int open_quietly(const plan_file_t& f) const;
  // Drops what the prefetch of a slice brought in when it is not read, and
  // closes the descriptor it kept.
  void abandon_prefetch(const file_slice_t& slice, prefetched_t* p) const;
  // Closes a descriptor a prefetch kept.
  void close_kept(int fd) const;
  // Why the file fstat describes is not plan file f any more (empty when it
  // is the file the scan found).
  std::string changed_since_scan(const plan_file_t& f,
                                 const os_stat_t& st) const;
  // Waits until a read of bytes may begin under params.max_rate; false,
  // at once, after request_stop_now().
  bool wait_for_rate(size_t bytes);
  void note_unread(const _TSTRING& path, size_t bytes);
  // Opens plan file f for reading (as file's descriptor) and checks that it
  // is the file the scan found; -1 after its "ERROR: " line.
  int open_checked(SliceFile* file, const plan_file_t& f,
                   const _TSTRING& path);
  // Prints line on stderr unless one was printed for path already.
  void report_once(const _TSTRING& path, const std::string& line);
  static bool stopped_now(void* arg);

  const pelko_params_t& m_params;
  // Everything below is guarded by m_mutex while the scan runs; while
  // reading, m_mutex guards m_order and m_n_drawn only (the plan's files
  // are then read without the lock: nothing changes them any more).
  time_t m_scan_elapsed_time;
  size_t m_fs_total_size;   // INVALID_SIZE_T when a root's size is unknown
  size_t m_fs_total_files;  // INVALID_SIZE_T when a root's count is unknown
  size_t m_total_size;      // bytes of every file handed over, tails included
  size_t m_reductible_size;  // bytes placed into slices
  size_t m_total_chunks;     // sum of slice size / chunk_size
  size_t m_total_files;
  std::atomic<bool> m_scan_stopped;  // also read without the lock
  std::vector<plan_file_t> m_files;  // in plan order
  // The configured chunk sizes, largest first (the chunk size alone
  // without params.chunk_sizes); per size the whole chunks and their bytes.
  std::vector<size_t> m_levels;
  std::vector<size_t> m_level_chunks;
  std::vector<size_t> m_level_bytes;
  // The plan in pieces, by start (several chunk sizes only; laid out by
  // sort_plan).
  std::vector<plan_piece_t> m_pieces;
  std::string m_names;                // names of the files, one after another
  std::vector<std::string> m_dirs;
  std::unordered_map<std::string, uint32_t> m_dir_index;
  // The buckets not yet read, by number; filled when reading starts (in 32
  // bits while the plan has fewer than 2^32 buckets, else in 64).
  std::vector<uint32_t> m_order32;
  std::vector<uint64_t> m_order64;
  mutable Mutex m_mutex;
  chunk_cb_func_t m_chunk_cb_func;
  run_cb_func_t m_run_cb_func;
  bucket_end_func_t m_bucket_end_func;
  void* m_chunk_cb_arg;
  size_t m_bucket_size;
  size_t m_draw_limit;  // 0: none
  bool m_read_begun;
  size_t m_n_buckets;  // of the plan, fixed when reading starts
  size_t m_n_drawn;  // buckets taken for reading; guarded by m_mutex
  // Buckets drawn ahead of their reading, in drawing order, each
  // prefetched by the thread that drew it (ready once it is); all three
  // guarded by m_mutex. m_n_predrawn counts the buckets drawn, these
  // included. A bucket's place in the drawing order is the same as without
  // them: they are taken for reading in the order they were drawn.
  struct ahead_t {
    size_t bucket;
    bool ready;
    std::vector<prefetched_t> slices;
  };
  std::deque<ahead_t> m_ahead;
  Condvar m_ahead_cv;  // an entry of m_ahead became ready
  size_t m_n_predrawn;
  // Prefetches in a row that had nothing to read in (all of it cached), and
  // the buckets passed over since the data showed itself cached (every
  // PREFETCH_PROBE-th of them is prefetched, as a probe).
  std::atomic<size_t> m_prefetch_idle{0};
  std::atomic<size_t> m_prefetch_tick{0};
  // Descriptors kept open from a prefetch for the read, and how many may
  // be: a slice read through one takes two calls fewer (the prefetch's
  // close, and the read's open and fstat become one stat of the path). The
  // limit leaves the reading threads their own descriptors whatever the
  // limit on open files: a thread waiting for one would otherwise wait on
  // those held by buckets ahead that no free thread takes.
  mutable std::atomic<size_t> m_kept_fds{0};
  size_t m_kept_fd_limit = 0;

  std::atomic<bool> m_stop_requested;  // read without the lock
  std::atomic<bool> m_stop_now;
  Walker* m_walker;  // the walk in progress, or null; guarded by m_mutex
  size_t m_unread_size;  // guarded by m_mutex
  std::set<_TSTRING> m_unread_files;  // guarded by m_mutex
  std::set<_TSTRING> m_reported;      // guarded by m_mutex: see report_once
  std::vector<uint64_t> m_devs;       // devices of the plan's files
  std::unordered_map<uint64_t, uint16_t> m_dev_index;
  size_t m_skipped_dirs;
  // Steady-clock time (ns) from which the next read may begin, for
  // params.max_rate: each read reserves its share of time after it.
  std::atomic<int64_t> m_rate_next;

  clock_func_t m_clock;
  memory_func_t m_memory;

  // With params.by: bytes and tail bytes of every label the scan met
  // (guarded by m_mutex during the scan), the labels kept, and the label
  // of every plan file, in plan order.
  std::unordered_map<std::string, std::pair<size_t, size_t>> m_label_bytes;
  std::vector<label_t> m_labels;
  std::vector<uint8_t> m_file_label;
  label_func_t m_label_func = nullptr;
};

#endif  // PELKO_SAMPLER_H_
