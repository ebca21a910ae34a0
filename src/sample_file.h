// Export files: one run's sample, written by --export and combined with the
// samples of other runs by --merge.
//
// Layout (integers are unsigned LEB128 varints unless said otherwise):
//   "PELKOSMP"                       8 bytes
//   format version                   1 byte (SAMPLE_FORMAT_VERSION)
//   the header's fields              in the order of sample_header_t;
//                                    strings as their length and bytes,
//                                    the run id as 8 bytes little-endian
//   entry count
//   the entries, by ascending fingerprint:
//     fingerprint                    the first one as it is, every later one
//                                    as its difference to the one before (> 0)
//     tag                            1 byte: 0..7 one chunk in one bucket of
//                                    that group; 8 the 8 groups' bucket
//                                    counts, then the chunks beyond one per
//                                    bucket; 9 (counts no longer by group)
//                                    the bucket count, then the chunks beyond
//     compressed size                when the header's mode has both dedupe
//                                    and compression
//   XXH3-64 of every byte above      8 bytes little-endian
// About 5 bytes an entry with 32-bit fingerprints and 10 with 64-bit ones
// at a million distinct chunks, most of it the fingerprint's difference.
//
// The reader takes nothing on trust: a wrong checksum, a truncated file, a
// field out of range or figures that do not add up are errors that name
// what is wrong, never a crash; a file of a newer format version is refused.
// Every count is bounded by the header's totals, which are checked against
// each other (the planned chunks fill the bytes in whole chunks, which lie
// within the inputs' size; no run plans SAMPLE_MAX_CHUNKS chunks), and
// nothing is allocated in proportion to a field: a text field's length is
// checked against the bytes left in the file before it is read.
//
// Not thread-safe; one object per thread.
#ifndef PELKO_SAMPLE_FILE_H_
#define PELKO_SAMPLE_FILE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <xxhash.h>

// 2: the directories the scan could not read follow the unread files.
// 3: the bucket size, and whether it was chosen for the plan, follow them.
const int SAMPLE_FORMAT_VERSION = 3;
const int SAMPLE_GROUPS = 8;  // jackknife groups, as the estimator's
// More planned chunks than any data set holds (4 EiB of 1-byte chunks):
// the counts of an export, and of a merge, stay below it.
const uint64_t SAMPLE_MAX_CHUNKS = (uint64_t)1 << 62;
// Bytes of the buffer of a reader of a file.
const size_t SAMPLE_READ_BUFFER = 64 * 1024;

// What one run analysed, beside its entries.
struct sample_header_t {
  // The analysis.
  uint64_t chunk_size = 0;
  int estimate_mask = 0;      // ESTIMATE_* bits
  int fingerprint_bits = 32;  // 32 or 64
  uint64_t n_threads = 0;
  uint64_t total_chunks = 0;   // planned (scaled up after a stopped scan)
  uint64_t total_buckets = 0;  // planned
  uint64_t n_data_chunks = 0;  // analysed
  uint64_t n_zero_chunks = 0;
  uint64_t n_skipped_chunks = 0;  // sent to dedupe, not in any entry
  uint64_t compressed_size = 0;   // what the compressed chunks came to
  uint64_t uncompressed_size = 0;
  bool save_memory = false;  // the memory-saving mode was engaged
  uint64_t lower_fp = 0;     // and its threshold fingerprint
  // The plan, for the summary.
  uint64_t total_size = 0;
  uint64_t reductible_size = 0;
  uint64_t total_files = 0;  // UINT64_MAX: not known
  bool scan_stopped = false;
  uint64_t unread_size = 0;
  uint64_t unread_files = 0;
  uint64_t skipped_dirs = 0;  // 0 in exports of format version 1
  uint64_t bucket_size = 0;   // bytes; 0: not recorded (before version 3)
  bool bucket_size_chosen = false;  // for the plan, -b not given
  // The run.
  double stop_at = 0;  // --stop-at as a fraction; 0: none
  uint64_t seed = 0;   // of the reading order
  uint64_t run_id = 0;  // random: tells runs apart
  uint64_t created = 0;  // seconds since 1970
  std::string host;
  std::vector<std::string> paths;  // as given with -p
  std::string stop_reason;         // empty: the run analysed all it planned
  uint64_t n_entries = 0;
};

// One fingerprint of the sample and its counts.
struct sample_entry_t {
  uint64_t fp = 0;
  uint64_t chunks = 0;   // occurrences in the sample
  uint64_t buckets = 0;  // sampled buckets it occurs in
  bool grouped = true;   // groups[] holds its buckets by group
  uint64_t groups[SAMPLE_GROUPS] = {};
  uint64_t csize = 0;  // compressed size of its first chunk, when kept
};

// Whether entries of a run in this mode carry a compressed size.
bool sample_has_csize(int estimate_mask);

// Writes an export to a file descriptor through a buffer.
class SampleWriter {
 public:
  explicit SampleWriter(int fd);
  ~SampleWriter();
  SampleWriter(const SampleWriter&) = delete;
  SampleWriter& operator=(const SampleWriter&) = delete;

  // The header, with n_entries the number of add() calls to follow.
  void begin(const sample_header_t& h);
  // Entries by strictly ascending fingerprint (asserted).
  void add(const sample_entry_t& e);
  // The checksum; flushes. False when any write failed (errno set).
  bool finish();

 private:
  void put(const void* p, size_t n);
  void put_varint(uint64_t v);
  void put_string(const std::string& s);
  void flush();

  int m_fd;
  bool m_failed;
  int m_errno;
  bool m_csize;
  bool m_any;
  uint64_t m_prev;
  uint64_t m_left;  // entries still to come
  std::string m_buf;
  XXH3_state_t* m_hash;
};

// Reads an export: open() checks the whole file's checksum and reads the
// header; next() then yields the entries in order. A reader of a file holds
// SAMPLE_READ_BUFFER bytes of buffer (the file's size if smaller) and,
// unless told otherwise, one file descriptor.
class SampleReader {
 public:
  SampleReader();
  ~SampleReader();
  SampleReader(const SampleReader&) = delete;
  SampleReader& operator=(const SampleReader&) = delete;

  // False with error() set when the file cannot be read or is not a sound
  // export: anything but a regular file is refused without waiting (a FIFO
  // without a writer does not block). With keep_open false the file is
  // closed between reads of its buffer and opened again by its path for the
  // next one, which must find the same file: a merge of more exports than
  // the process may hold open. Call once.
  bool open(const std::string& path, bool keep_open = true);
  // The same from memory (kept by reference); without verify_checksum the
  // checksum is not checked (fuzzing reaches the parser that way).
  bool open_memory(const unsigned char* data, size_t size,
                   bool verify_checksum);

  const sample_header_t& header() const { return m_header; }
  // The next entry; false at the end or after an error (see error()).
  bool next(sample_entry_t* e);
  // Empty while all is well.
  const std::string& error() const { return m_error; }

 private:
  bool begin(bool verify_checksum);
  bool read_header();
  bool get(void* p, size_t n);
  bool get_byte(uint8_t* b);
  bool get_varint(uint64_t* v);
  bool get_string(std::string* s, size_t max_len);
  bool fail(const std::string& what);
  // For a file: the descriptor, opened again when it was closed. False
  // with the error set.
  bool file_fd();
  // For a file: reads up to n bytes at offset into the buffer; the count,
  // or -1 with the error set.
  ssize_t file_read(unsigned char* buf, size_t n, uint64_t offset);

  int m_fd;  // -1: none open (memory, or closed between reads)
  bool m_is_file;
  bool m_keep_open;
  std::string m_path;
  uint64_t m_dev, m_ino;  // of the file opened first
  uint64_t m_file_pos;    // file offset of the next buffer fill
  const unsigned char* m_mem;
  size_t m_size;     // bytes before the checksum
  size_t m_pos;      // of the next byte in [0, m_size)
  std::vector<unsigned char> m_buf;
  size_t m_buf_pos, m_buf_len;
  sample_header_t m_header;
  uint64_t m_read;  // entries read
  uint64_t m_prev_fp;
  uint64_t m_chunks_sum;  // of the entries read, for the final check
  uint64_t m_max_csize;
  std::string m_error;
};

#endif  // PELKO_SAMPLE_FILE_H_
