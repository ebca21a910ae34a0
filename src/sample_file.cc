#include "sample_file.h"

#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "options.h"
#include "pelko_assert.h"

namespace {

const char kMagic[8] = {'P', 'E', 'L', 'K', 'O', 'S', 'M', 'P'};
const size_t kChecksumSize = 8;
const uint8_t kTagGroups = 8;
const uint8_t kTagUngrouped = 9;
const size_t kMaxString = 65536;
const uint64_t kMaxPaths = 65536;

void put_le64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}

uint64_t get_le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= (uint64_t)p[i] << (8 * i);
  return v;
}

uint64_t double_bits(double d) {
  uint64_t v;
  memcpy(&v, &d, sizeof(v));
  return v;
}

double bits_double(uint64_t v) {
  double d;
  memcpy(&d, &v, sizeof(d));
  return d;
}

// Chunks of the sample that went to dedupe.
uint64_t dedupe_sample(const sample_header_t& h) {
  return h.n_data_chunks +
         ((h.estimate_mask & ESTIMATE_DEDUPE_ZEROS) ? h.n_zero_chunks : 0);
}

}  // namespace

bool sample_has_csize(int estimate_mask) {
  return (estimate_mask & ESTIMATE_DEDUPE) &&
         (estimate_mask & ESTIMATE_COMPRESS);
}

// ---------------------------------------------------------------------------
// Writer.

SampleWriter::SampleWriter(int fd)
    : m_fd(fd),
      m_failed(false),
      m_errno(0),
      m_csize(false),
      m_any(false),
      m_prev(0),
      m_left(0),
      m_hash(XXH3_createState()) {
  PELKO_ASSERT(m_hash != nullptr);
  XXH3_64bits_reset(m_hash);
}

SampleWriter::~SampleWriter() { XXH3_freeState(m_hash); }

void SampleWriter::put(const void* p, size_t n) {
  m_buf.append(static_cast<const char*>(p), n);
  if (m_buf.size() >= (1 << 20)) flush();
}

void SampleWriter::put_varint(uint64_t v) {
  unsigned char b[10];
  size_t n = 0;
  do {
    b[n] = (unsigned char)(v & 0x7F);
    v >>= 7;
    if (v != 0) b[n] |= 0x80;
    n++;
  } while (v != 0);
  put(b, n);
}

void SampleWriter::put_string(const std::string& s) {
  PELKO_ASSERT(s.size() <= kMaxString);
  put_varint(s.size());
  put(s.data(), s.size());
}

void SampleWriter::flush() {
  XXH3_64bits_update(m_hash, m_buf.data(), m_buf.size());
  size_t done = 0;
  while (!m_failed && done < m_buf.size()) {
    const ssize_t w = ::write(m_fd, m_buf.data() + done, m_buf.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      m_failed = true;
      m_errno = w < 0 ? errno : EIO;
      break;
    }
    done += (size_t)w;
  }
  m_buf.clear();
}

void SampleWriter::begin(const sample_header_t& h) {
  put(kMagic, sizeof(kMagic));
  const uint8_t version = SAMPLE_FORMAT_VERSION;
  put(&version, 1);
  put_varint(h.chunk_size);
  put_varint((uint64_t)h.estimate_mask);
  put_varint((uint64_t)h.fingerprint_bits);
  put_varint(h.n_threads);
  put_varint(h.total_chunks);
  put_varint(h.total_buckets);
  put_varint(h.n_data_chunks);
  put_varint(h.n_zero_chunks);
  put_varint(h.n_skipped_chunks);
  put_varint(h.compressed_size);
  put_varint(h.uncompressed_size);
  put_varint(h.save_memory ? 1 : 0);
  put_varint(h.lower_fp);
  put_varint(h.total_size);
  put_varint(h.reductible_size);
  put_varint(h.total_files == UINT64_MAX ? 0 : h.total_files + 1);
  put_varint(h.scan_stopped ? 1 : 0);
  put_varint(h.unread_size);
  put_varint(h.unread_files);
  put_varint(h.skipped_dirs);
  put_varint(h.bucket_size);
  put_varint(h.bucket_size_chosen ? 1 : 0);
  put_varint(double_bits(h.stop_at));
  put_varint(h.seed);
  unsigned char id[8];
  put_le64(id, h.run_id);
  put(id, sizeof(id));
  put_varint(h.created);
  put_string(h.host);
  put_varint(h.paths.size());
  for (const std::string& p : h.paths) put_string(p);
  put_string(h.stop_reason);
  put_varint(h.n_entries);
  m_csize = sample_has_csize(h.estimate_mask);
  m_left = h.n_entries;
}

void SampleWriter::add(const sample_entry_t& e) {
  PELKO_ASSERT(m_left > 0);
  PELKO_ASSERT(!m_any || e.fp > m_prev);
  PELKO_ASSERT(e.buckets >= 1 && e.chunks >= e.buckets);
  m_left--;
  put_varint(m_any ? e.fp - m_prev : e.fp);
  m_any = true;
  m_prev = e.fp;
  const uint64_t extra = e.chunks - e.buckets;
  int single = -1;  // the group of a lone chunk
  if (e.grouped && e.chunks == 1) {
    for (int g = 0; g < SAMPLE_GROUPS; g++)
      if (e.groups[g] == 1) single = g;
  }
  if (single >= 0) {
    const uint8_t tag = (uint8_t)single;
    put(&tag, 1);
  } else if (e.grouped) {
    put(&kTagGroups, 1);
    for (int g = 0; g < SAMPLE_GROUPS; g++) put_varint(e.groups[g]);
    put_varint(extra);
  } else {
    put(&kTagUngrouped, 1);
    put_varint(e.buckets);
    put_varint(extra);
  }
  if (m_csize) put_varint(e.csize);
}

bool SampleWriter::finish() {
  PELKO_ASSERT(m_left == 0);
  flush();
  unsigned char sum[kChecksumSize];
  put_le64(sum, XXH3_64bits_digest(m_hash));
  m_buf.assign(reinterpret_cast<const char*>(sum), sizeof(sum));
  flush();
  if (m_failed) errno = m_errno;
  return !m_failed;
}

// ---------------------------------------------------------------------------
// Reader.

SampleReader::SampleReader()
    : m_fd(-1),
      m_is_file(false),
      m_keep_open(true),
      m_dev(0),
      m_ino(0),
      m_file_pos(0),
      m_mem(nullptr),
      m_size(0),
      m_pos(0),
      m_buf_pos(0),
      m_buf_len(0),
      m_read(0),
      m_prev_fp(0),
      m_chunks_sum(0),
      m_max_csize(0) {}

SampleReader::~SampleReader() {
  if (m_fd >= 0) close(m_fd);
}

bool SampleReader::fail(const std::string& what) {
  if (m_error.empty()) m_error = what;
  return false;
}

bool SampleReader::open(const std::string& path, bool keep_open) {
  m_is_file = true;
  m_keep_open = keep_open;
  m_path = path;
  // Non-blocking: a FIFO must not hold the open until a writer comes.
  m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) return fail(std::string("cannot open: ") + strerror(errno));
  struct stat st;
  if (fstat(m_fd, &st) != 0)
    return fail(std::string("cannot read: ") + strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  m_dev = (uint64_t)st.st_dev;
  m_ino = (uint64_t)st.st_ino;
  if ((size_t)st.st_size < sizeof(kMagic) + 1 + kChecksumSize)
    return fail("too short to be an export (truncated?)");
  m_size = (size_t)st.st_size - kChecksumSize;
  m_buf.resize(std::min<size_t>(SAMPLE_READ_BUFFER, (size_t)st.st_size));
  const bool ok = begin(true);
  if (!m_keep_open && m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
  return ok;
}

bool SampleReader::file_fd() {
  if (m_fd >= 0) return true;
  m_fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) return fail(std::string("cannot open again: ") + strerror(errno));
  struct stat st;
  if (fstat(m_fd, &st) != 0)
    return fail(std::string("cannot read: ") + strerror(errno));
  if ((uint64_t)st.st_dev != m_dev || (uint64_t)st.st_ino != m_ino ||
      (size_t)st.st_size != m_size + kChecksumSize)
    return fail("replaced or changed while being merged");
  return true;
}

ssize_t SampleReader::file_read(unsigned char* buf, size_t n, uint64_t offset) {
  if (!file_fd()) return -1;
  ssize_t got;
  do {
    got = pread(m_fd, buf, n, (off_t)offset);
  } while (got < 0 && errno == EINTR);
  const int err = errno;
  if (!m_keep_open) {
    close(m_fd);
    m_fd = -1;
  }
  if (got < 0) {
    fail(std::string("cannot read: ") + strerror(err));
    return -1;
  }
  return got;
}

bool SampleReader::open_memory(const unsigned char* data, size_t size,
                               bool verify_checksum) {
  if (size < sizeof(kMagic) + 1 + kChecksumSize)
    return fail("too short to be an export (truncated?)");
  m_mem = data;
  m_size = size - kChecksumSize;
  return begin(verify_checksum);
}

bool SampleReader::begin(bool verify_checksum) {
  // The magic first: a file that is no export at all is named so rather
  // than as one with a bad checksum.
  unsigned char magic[sizeof(kMagic)];
  if (!get(magic, sizeof(magic))) return false;
  if (memcmp(magic, kMagic, sizeof(kMagic)) != 0)
    return fail("not a pelko export");
  if (verify_checksum) {
    XXH3_state_t* st = XXH3_createState();
    PELKO_ASSERT(st != nullptr);
    XXH3_64bits_reset(st);
    unsigned char sum[kChecksumSize];
    bool ok = true;
    if (m_mem != nullptr) {
      XXH3_64bits_update(st, m_mem, m_size);
      memcpy(sum, m_mem + m_size, kChecksumSize);
    } else {
      uint64_t at = 0;
      while (ok && at < m_size) {
        const ssize_t n = file_read(
            m_buf.data(), std::min<uint64_t>(m_size - at, m_buf.size()), at);
        if (n <= 0) {
          ok = false;
          break;
        }
        XXH3_64bits_update(st, m_buf.data(), (size_t)n);
        at += (uint64_t)n;
      }
      ok = ok && file_read(sum, kChecksumSize, m_size) == (ssize_t)kChecksumSize;
    }
    const uint64_t digest = XXH3_64bits_digest(st);
    XXH3_freeState(st);
    if (!ok) return m_error.empty() ? fail("truncated") : false;
    if (digest != get_le64(sum))
      return fail("checksum mismatch: the file is damaged or truncated");
    if (m_is_file) {
      m_file_pos = sizeof(kMagic);
      m_buf_pos = m_buf_len = 0;
    }
  }
  return read_header();
}

bool SampleReader::get(void* p, size_t n) {
  if (n > m_size - m_pos) return fail("truncated");
  if (m_mem != nullptr) {
    memcpy(p, m_mem + m_pos, n);
    m_pos += n;
    return true;
  }
  unsigned char* out = static_cast<unsigned char*>(p);
  while (n > 0) {
    if (m_buf_pos == m_buf_len) {
      m_buf_pos = 0;
      m_buf_len = 0;
      const ssize_t got = file_read(m_buf.data(), m_buf.size(), m_file_pos);
      if (got < 0) return false;
      if (got == 0) return fail("truncated");
      m_buf_len = (size_t)got;
      m_file_pos += (uint64_t)got;
    }
    const size_t k = std::min(n, m_buf_len - m_buf_pos);
    memcpy(out, m_buf.data() + m_buf_pos, k);
    m_buf_pos += k;
    m_pos += k;
    out += k;
    n -= k;
  }
  return true;
}

bool SampleReader::get_byte(uint8_t* b) { return get(b, 1); }

bool SampleReader::get_varint(uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b;
    if (!get_byte(&b)) return false;
    if (shift == 63 && (b & 0x7E) != 0) return fail("number out of range");
    *v |= (uint64_t)(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return fail("number out of range");
}

bool SampleReader::get_string(std::string* s, size_t max_len) {
  uint64_t n;
  if (!get_varint(&n)) return false;
  if (n > max_len) return fail("text field too long");
  if (n > m_size - m_pos) return fail("truncated");
  s->resize((size_t)n);
  return n == 0 || get(&(*s)[0], (size_t)n);
}

bool SampleReader::read_header() {
  uint8_t version;
  if (!get_byte(&version)) return false;
  if (version > SAMPLE_FORMAT_VERSION)
    return fail("format version " + std::to_string(version) +
                " is newer than this pelko reads (" +
                std::to_string(SAMPLE_FORMAT_VERSION) + ")");
  if (version == 0) return fail("format version 0 is not one pelko writes");
  sample_header_t& h = m_header;
  uint64_t mask, bits, save, files, stopped, stop_at, chosen = 0;
  unsigned char id[8];
  if (!get_varint(&h.chunk_size) || !get_varint(&mask) || !get_varint(&bits) ||
      !get_varint(&h.n_threads) || !get_varint(&h.total_chunks) ||
      !get_varint(&h.total_buckets) || !get_varint(&h.n_data_chunks) ||
      !get_varint(&h.n_zero_chunks) || !get_varint(&h.n_skipped_chunks) ||
      !get_varint(&h.compressed_size) || !get_varint(&h.uncompressed_size) ||
      !get_varint(&save) || !get_varint(&h.lower_fp) ||
      !get_varint(&h.total_size) || !get_varint(&h.reductible_size) ||
      !get_varint(&files) || !get_varint(&stopped) ||
      !get_varint(&h.unread_size) || !get_varint(&h.unread_files) ||
      (version >= 2 && !get_varint(&h.skipped_dirs)) ||
      (version >= 3 &&
       (!get_varint(&h.bucket_size) || !get_varint(&chosen))) ||
      !get_varint(&stop_at) || !get_varint(&h.seed) || !get(id, sizeof(id)) ||
      !get_varint(&h.created) || !get_string(&h.host, kMaxString))
    return false;
  uint64_t n_paths;
  if (!get_varint(&n_paths)) return false;
  if (n_paths > kMaxPaths) return fail("too many paths");
  // Each takes one byte at least.
  if (n_paths > m_size - m_pos) return fail("truncated");
  h.paths.resize((size_t)n_paths);
  for (std::string& p : h.paths)
    if (!get_string(&p, kMaxString)) return false;
  if (!get_string(&h.stop_reason, kMaxString) || !get_varint(&h.n_entries))
    return false;

  const int known = ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS;
  if (h.chunk_size == 0 || h.chunk_size > (uint64_t)LZ4_MAX_INPUT_SIZE)
    return fail("chunk size out of range");
  if ((mask & ~(uint64_t)known) != 0 ||
      (mask & (ESTIMATE_DEDUPE | ESTIMATE_COMPRESS)) == 0)
    return fail("estimate mode out of range");
  h.estimate_mask = (int)mask;
  if (bits != 32 && bits != 64) return fail("fingerprint width out of range");
  h.fingerprint_bits = (int)bits;
  if (save > 1 || stopped > 1 || chosen > 1)
    return fail("flag out of range");
  h.bucket_size_chosen = chosen == 1;
  h.save_memory = save == 1;
  h.scan_stopped = stopped == 1;
  h.total_files = files == 0 ? UINT64_MAX : files - 1;
  h.stop_at = bits_double(stop_at);
  if (!(h.stop_at >= 0 && h.stop_at <= 1)) return fail("stop-at out of range");
  if (h.seed > UINT32_MAX) return fail("seed out of range");
  h.run_id = get_le64(id);
  if (h.n_threads == 0 || h.n_threads > (uint64_t)MAX_THREADS)
    return fail("thread count out of range");
  if (h.total_chunks >= SAMPLE_MAX_CHUNKS)
    return fail("planned chunk count out of range");
  // The planned chunks are the bytes in whole chunks; after a scan cut
  // short, both are scaled up by the same factor and rounded down.
  const unsigned __int128 planned =
      (unsigned __int128)h.total_chunks * h.chunk_size;
  const unsigned __int128 in_chunks = h.reductible_size;
  if (h.scan_stopped ? planned > in_chunks + h.chunk_size + (h.reductible_size >> 40) ||
                           planned + h.chunk_size + (h.reductible_size >> 40) < in_chunks
                     : planned != in_chunks)
    return fail("planned chunk count does not match the bytes in whole chunks");
  // Whole chunks, as the reader plans them; 0: not recorded (older
  // exports, and runs without a plan of their own).
  if (h.bucket_size != 0 && (h.bucket_size < h.chunk_size ||
                             h.bucket_size % h.chunk_size != 0 ||
                             h.bucket_size / h.chunk_size > UINT32_MAX))
    return fail("bucket size out of range");
  if (h.unread_size > h.reductible_size)
    return fail("more bytes unread than in whole chunks");
  if (h.total_files != UINT64_MAX && h.unread_files > h.total_files)
    return fail("more files unread than found");
  if (!h.save_memory && h.lower_fp != 0)
    return fail("threshold without the memory-saving mode");
  const uint64_t analysed = h.n_data_chunks + h.n_zero_chunks;
  if (analysed < h.n_data_chunks || analysed > h.total_chunks)
    return fail("more chunks analysed than planned");
  if (h.total_chunks != 0 && h.total_buckets == 0)
    return fail("chunks planned without buckets");
  if (h.total_buckets > h.total_chunks) return fail("more buckets than chunks");
  if (h.reductible_size > h.total_size)
    return fail("more bytes in chunks than in the inputs");
  const uint64_t sample =
      (h.estimate_mask & ESTIMATE_DEDUPE) ? dedupe_sample(h) : 0;
  if (h.n_skipped_chunks > sample) return fail("more chunks skipped than sent");
  if (h.n_entries > sample) return fail("more entries than chunks");
  const uint64_t fp_max = bits == 32 ? UINT32_MAX : UINT64_MAX;
  if (h.lower_fp > fp_max) return fail("threshold out of range");
  if (h.uncompressed_size % h.chunk_size != 0 ||
      h.uncompressed_size / h.chunk_size > analysed)
    return fail("more bytes compressed than analysed");
  if (h.compressed_size >
      h.uncompressed_size / h.chunk_size *
          (uint64_t)LZ4_compressBound((int)h.chunk_size))
    return fail("compressed size out of range");
  m_max_csize = (uint64_t)LZ4_compressBound((int)h.chunk_size);
  return true;
}

bool SampleReader::next(sample_entry_t* e) {
  if (!m_error.empty()) return false;
  const sample_header_t& h = m_header;
  if (m_read == h.n_entries) {
    if (m_pos != m_size) return fail("bytes after the last entry");
    const uint64_t sample =
        (h.estimate_mask & ESTIMATE_DEDUPE) ? dedupe_sample(h) : 0;
    if (m_chunks_sum + h.n_skipped_chunks != sample)
      return fail("the entries' chunks do not add up to the chunks analysed");
    return false;
  }
  *e = sample_entry_t();
  uint64_t d;
  if (!get_varint(&d)) return false;
  if (m_read == 0) {
    e->fp = d;
  } else {
    if (d == 0 || d > UINT64_MAX - m_prev_fp)
      return fail("fingerprints out of order");
    e->fp = m_prev_fp + d;
  }
  if (h.fingerprint_bits == 32 && e->fp > UINT32_MAX)
    return fail("fingerprint out of range");
  uint8_t tag;
  if (!get_byte(&tag)) return false;
  uint64_t extra = 0;
  if (tag < kTagGroups) {
    e->groups[tag] = 1;
    e->buckets = 1;
  } else if (tag == kTagGroups) {
    for (int g = 0; g < SAMPLE_GROUPS; g++) {
      if (!get_varint(&e->groups[g])) return false;
      if (e->groups[g] > h.total_buckets ||
          __builtin_add_overflow(e->buckets, e->groups[g], &e->buckets))
        return fail("bucket count out of range");
    }
    if (!get_varint(&extra)) return false;
  } else if (tag == kTagUngrouped) {
    e->grouped = false;
    if (!get_varint(&e->buckets) || !get_varint(&extra)) return false;
  } else {
    return fail("entry of an unknown kind");
  }
  if (e->buckets == 0 || e->buckets > h.total_buckets)
    return fail("bucket count out of range");
  const uint64_t sample = dedupe_sample(h);
  if (extra > sample || e->buckets > sample - extra)
    return fail("chunk count out of range");
  e->chunks = e->buckets + extra;
  if (e->chunks > sample - m_chunks_sum)
    return fail("the entries' chunks do not add up to the chunks analysed");
  m_chunks_sum += e->chunks;
  if (sample_has_csize(h.estimate_mask)) {
    if (!get_varint(&e->csize)) return false;
    if (e->csize == 0 || e->csize > m_max_csize)
      return fail("compressed size out of range");
  }
  m_prev_fp = e->fp;
  m_read++;
  return true;
}
