#include "sample_file.h"

#include <errno.h>
#include <lz4.h>
#include <string.h>

#include <algorithm>

#include "options.h"
#include "os.h"
#include "pelko_assert.h"

namespace {

const char kMagic[8] = {'P', 'E', 'L', 'K', 'O', 'S', 'M', 'P'};
const char kConfigsMagic[8] = {'P', 'E', 'L', 'K', 'O', 'C', 'F', 'G'};
const uint64_t kMaxSizes = 31;  // powers of two up to 2^30
const uint64_t kMaxCodecs = 64;
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
  if (!m_failed && !os_write_fd(m_fd, m_buf.data(), m_buf.size())) {
    m_failed = true;
    m_errno = errno != 0 ? errno : EIO;
  }
  m_buf.clear();
}

void SampleWriter::begin(const sample_header_t& h, bool configs) {
  put(kMagic, sizeof(kMagic));
  const uint8_t version =
      configs ? SAMPLE_FORMAT_VERSION : SAMPLE_FORMAT_ONE_CONFIG;
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

void SampleWriter::begin_configs(const std::vector<std::string>& codecs,
                                 const std::vector<uint64_t>& sizes) {
  PELKO_ASSERT(m_left == 0 && !codecs.empty() && !sizes.empty());
  put(kConfigsMagic, sizeof(kConfigsMagic));
  put_varint(codecs.size());
  for (const std::string& c : codecs) put_string(c);
  put_varint(sizes.size());
  for (uint64_t size : sizes) put_varint(size);
}

void SampleWriter::begin_size(const sample_size_t& s) {
  PELKO_ASSERT(m_left == 0);
  put_varint(s.chunk_size);
  put_varint(s.total_chunks);
  put_varint(s.n_data_chunks);
  put_varint(s.n_zero_chunks);
  put_varint(s.n_skipped_chunks);
  put_varint(s.save_memory ? 1 : 0);
  put_varint(s.lower_fp);
  put_varint(s.reductible_size);
  put_varint(s.n_entries);
  m_csize = false;
  m_any = false;
  m_prev = 0;
  m_left = s.n_entries;
}

void SampleWriter::put_fps(
    const std::vector<std::pair<uint64_t, uint64_t>>& list) {
  put_varint(list.size());
  uint64_t prev = 0;
  for (size_t i = 0; i < list.size(); i++) {
    PELKO_ASSERT(i == 0 || list[i].first > prev);
    put_varint(i == 0 ? list[i].first : list[i].first - prev);
    put_varint(list[i].second);
    prev = list[i].first;
  }
}

void SampleWriter::add_codec_part(const sample_codec_part_t& p) {
  PELKO_ASSERT(m_left == 0);
  put_varint(p.sampled ? 1 : 0);
  put_varint(double_bits(p.sampled ? p.share : 1.0));
  put_varint(p.compressed);
  put_varint(p.uncompressed);
  put_varint(p.stored);
  if (!p.sampled) return;
  for (int g = 0; g < SAMPLE_GROUPS; g++) {
    put_varint(p.hash_compressed[g]);
    put_varint(p.hash_uncompressed[g]);
  }
  put_fps(p.chosen);
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
  if (m_fd >= 0) os_close_input(m_fd);
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
  m_fd = os_open_input(path.c_str(), OS_INPUT_NONBLOCK);
  if (m_fd < 0) return fail(std::string("cannot open: ") + strerror(errno));
  os_stat_t st;
  if (os_fstat_input(m_fd, &st) != 0)
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
    os_close_input(m_fd);
    m_fd = -1;
  }
  return ok;
}

bool SampleReader::file_fd() {
  if (m_fd >= 0) return true;
  m_fd = os_open_input(m_path.c_str(), OS_INPUT_NONBLOCK);
  if (m_fd < 0) return fail(std::string("cannot open again: ") + strerror(errno));
  os_stat_t st;
  if (os_fstat_input(m_fd, &st) != 0)
    return fail(std::string("cannot read: ") + strerror(errno));
  if ((uint64_t)st.st_dev != m_dev || (uint64_t)st.st_ino != m_ino ||
      (size_t)st.st_size != m_size + kChecksumSize)
    return fail("replaced or changed while being merged");
  return true;
}

ssize_t SampleReader::file_read(unsigned char* buf, size_t n, uint64_t offset) {
  if (!file_fd()) return -1;
  const ssize_t got = os_read_at(m_fd, buf, n, offset);
  const int err = errno;
  if (!m_keep_open) {
    os_close_input(m_fd);
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

bool SampleReader::open_again(const SampleReader& other) {
  if (!other.m_is_file)
    return open_memory(other.m_mem, other.m_size + kChecksumSize, false);
  if (!open(other.m_path, false)) return false;
  if (m_dev != other.m_dev || m_ino != other.m_ino)
    return fail("replaced or changed while being merged");
  return true;
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
  m_version = version;
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
  m_bounds = bounds_t{h.chunk_size, h.total_buckets, sample,
                      h.n_skipped_chunks, h.n_entries,
                      sample_has_csize(h.estimate_mask), analysed};
  return true;
}

bool SampleReader::end_of_entries() {
  if (m_size_index == 0) {
    // The first size's entries end the file, or the configurations' part
    // follows.
    const bool more = m_pos != m_size;
    if (!more && m_version >= 4)
      return fail("the configurations' part is missing (truncated?)");
    if (more && m_version < 4) return fail("bytes after the last entry");
    if (more) {
      unsigned char magic[sizeof(kConfigsMagic)];
      if (m_size - m_pos < sizeof(magic) || !get(magic, sizeof(magic)) ||
          memcmp(magic, kConfigsMagic, sizeof(magic)) != 0) {
        m_error.clear();
        return fail("bytes after the last entry");
      }
    }
    if (m_chunks_sum + m_bounds.skipped != m_bounds.sample)
      return fail("the entries' chunks do not add up to the chunks analysed");
    return !more || read_configs_head();
  }
  if (m_chunks_sum + m_bounds.skipped != m_bounds.sample)
    return fail("the entries' chunks do not add up to the chunks analysed");
  return true;
}

bool SampleReader::read_configs_head() {
  uint64_t n_codecs, n_sizes;
  if (!get_varint(&n_codecs)) return false;
  if (n_codecs == 0 || n_codecs > kMaxCodecs)
    return fail("compressor count out of range");
  m_codecs.resize((size_t)n_codecs);
  for (std::string& c : m_codecs)
    if (!get_string(&c, 64)) return false;
  if (!get_varint(&n_sizes)) return false;
  if (n_sizes == 0 || n_sizes > kMaxSizes)
    return fail("chunk size count out of range");
  m_n_sizes = (size_t)n_sizes;
  m_sizes.resize(m_n_sizes);
  for (size_t i = 0; i < m_n_sizes; i++) {
    uint64_t& size = m_sizes[i];
    if (!get_varint(&size)) return false;
    if (size == 0 || size > (uint64_t)LZ4_MAX_INPUT_SIZE ||
        (size & (size - 1)) != 0 || (i == 0 && size != m_header.chunk_size) ||
        (m_header.bucket_size != 0 && m_header.bucket_size % size != 0))
      return fail("chunk size out of range");
    for (size_t k = 0; k < i; k++)
      if (m_sizes[k] == size) return fail("a chunk size given twice");
  }
  m_configs = true;
  m_parts_read = 0;
  return true;
}

bool SampleReader::next(sample_entry_t* e) {
  if (!m_error.empty()) return false;
  const bounds_t& b = m_bounds;
  if (m_read == b.entries) {
    if (!m_entries_done) {
      m_entries_done = true;
      end_of_entries();
    }
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
  if (m_header.fingerprint_bits == 32 && e->fp > UINT32_MAX)
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
      if (e->groups[g] > b.total_buckets ||
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
  if (e->buckets == 0 || e->buckets > b.total_buckets)
    return fail("bucket count out of range");
  const uint64_t sample = b.sample;
  if (extra > sample || e->buckets > sample - extra)
    return fail("chunk count out of range");
  e->chunks = e->buckets + extra;
  if (e->chunks > sample - m_chunks_sum)
    return fail("the entries' chunks do not add up to the chunks analysed");
  m_chunks_sum += e->chunks;
  if (b.csize) {
    if (!get_varint(&e->csize)) return false;
    if (e->csize == 0 || e->csize > m_max_csize)
      return fail("compressed size out of range");
  }
  m_prev_fp = e->fp;
  m_read++;
  return true;
}

namespace {

// What a chunk of n bytes may compress to at most with any compressor.
uint64_t any_bound(uint64_t n) { return n + n / 8 + 1024; }

}  // namespace

bool SampleReader::read_codec_part(sample_codec_part_t* p) {
  if (!m_error.empty()) return false;
  if (!m_configs || !m_entries_done || m_parts_read >= m_codecs.size())
    return fail("no compressor part here");
  *p = sample_codec_part_t();
  uint64_t sampled, share;
  if (!get_varint(&sampled) || !get_varint(&share) ||
      !get_varint(&p->compressed) || !get_varint(&p->uncompressed) ||
      !get_varint(&p->stored))
    return false;
  if (sampled > 1) return fail("flag out of range");
  p->sampled = sampled == 1;
  p->share = bits_double(share);
  if (!(p->share > 0 && p->share <= 1) || (!p->sampled && p->share != 1))
    return fail("share out of range");
  const uint64_t k = m_bounds.chunk_size;
  const uint64_t analysed = m_bounds.analysed;
  if (p->uncompressed % k != 0 || p->uncompressed / k > analysed)
    return fail("more bytes compressed than analysed");
  const uint64_t n = p->uncompressed / k;
  if (p->compressed > n * any_bound(k) || p->stored > p->uncompressed)
    return fail("compressed size out of range");
  uint64_t hc = 0, hu = 0;
  if (p->sampled) {
    for (int g = 0; g < SAMPLE_GROUPS; g++) {
      if (!get_varint(&p->hash_compressed[g]) ||
          !get_varint(&p->hash_uncompressed[g]))
        return false;
      hc += p->hash_compressed[g];
      hu += p->hash_uncompressed[g];
      if (hc < p->hash_compressed[g] || hu < p->hash_uncompressed[g])
        return fail("the groups' sizes do not add up");
    }
    if (hc != p->compressed || hu != p->uncompressed)
      return fail("the groups' sizes do not add up");
    uint64_t count;
    if (!get_varint(&count)) return false;
    if (count > m_bounds.entries) return fail("more chosen entries than entries");
    p->chosen.reserve((size_t)count);
    uint64_t prev = 0;
    for (uint64_t i = 0; i < count; i++) {
      uint64_t d, csize;
      if (!get_varint(&d) || !get_varint(&csize)) return false;
      if (i > 0 && (d == 0 || d > UINT64_MAX - prev))
        return fail("fingerprints out of order");
      const uint64_t fp = i == 0 ? d : prev + d;
      if (m_header.fingerprint_bits == 32 && fp > UINT32_MAX)
        return fail("fingerprint out of range");
      if (csize == 0 || csize > any_bound(k))
        return fail("compressed size out of range");
      p->chosen.emplace_back(fp, csize);
      prev = fp;
    }
  }
  m_parts_read++;
  if (m_parts_read == m_codecs.size() && m_size_index + 1 == m_n_sizes &&
      m_pos != m_size)
    return fail("bytes after the configurations");
  return true;
}

bool SampleReader::next_size(sample_size_t* s) {
  if (!m_error.empty()) return false;
  if (!m_configs || m_parts_read != m_codecs.size() ||
      m_size_index + 1 >= m_n_sizes)
    return fail("no further chunk size here");
  *s = sample_size_t();
  uint64_t save;
  if (!get_varint(&s->chunk_size) || !get_varint(&s->total_chunks) ||
      !get_varint(&s->n_data_chunks) || !get_varint(&s->n_zero_chunks) ||
      !get_varint(&s->n_skipped_chunks) || !get_varint(&save) ||
      !get_varint(&s->lower_fp) || !get_varint(&s->reductible_size) ||
      !get_varint(&s->n_entries))
    return false;
  const sample_header_t& h = m_header;
  if (s->chunk_size != m_sizes[m_size_index + 1])
    return fail("chunk size out of range");
  if (save > 1) return fail("flag out of range");
  s->save_memory = save == 1;
  const uint64_t analysed = s->n_data_chunks + s->n_zero_chunks;
  if (analysed < s->n_data_chunks || analysed > s->total_chunks)
    return fail("more chunks analysed than planned");
  if (s->reductible_size > h.total_size)
    return fail("more bytes in chunks than in the inputs");
  const uint64_t sample =
      (h.estimate_mask & ESTIMATE_DEDUPE)
          ? s->n_data_chunks +
                ((h.estimate_mask & ESTIMATE_DEDUPE_ZEROS) ? s->n_zero_chunks : 0)
          : 0;
  if (s->n_skipped_chunks > sample) return fail("more chunks skipped than sent");
  if (s->n_entries > sample) return fail("more entries than chunks");
  if (h.fingerprint_bits == 32 && s->lower_fp > UINT32_MAX)
    return fail("threshold out of range");
  m_size_index++;
  m_parts_read = 0;
  m_read = 0;
  m_prev_fp = 0;
  m_chunks_sum = 0;
  m_entries_done = false;
  m_bounds = bounds_t{s->chunk_size, h.total_buckets, sample,
                      s->n_skipped_chunks, s->n_entries, false, analysed};
  m_max_csize = any_bound(s->chunk_size);
  // A size without entries has none to end.
  if (s->n_entries == 0) {
    m_entries_done = true;
    if (!end_of_entries()) return false;
  }
  return true;
}
