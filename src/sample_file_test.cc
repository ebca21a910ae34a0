#include "sample_file.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"

namespace {

sample_header_t make_header(int mask, int bits) {
  sample_header_t h;
  h.chunk_size = 4096;
  h.estimate_mask = mask;
  h.fingerprint_bits = bits;
  h.n_threads = 4;
  h.total_chunks = 1000;
  h.total_buckets = 40;
  h.total_size = 1000 * 4096 + 17;
  h.reductible_size = 1000 * 4096;
  h.total_files = 3;
  h.bucket_size = 25 * 4096;
  h.bucket_size_chosen = true;
  h.stop_at = 0.25;
  h.seed = 4242;
  h.run_id = 0x0123456789ABCDEFull;
  h.created = 1765000000;
  h.host = "host-1";
  h.paths = {"/data", std::string("/odd\xff\xfe name", 12)};
  h.stop_reason = "stopped by --stop-at 25";
  return h;
}

// Entries of every kind, and the header figures that agree with them.
std::vector<sample_entry_t> make_entries(sample_header_t* h) {
  std::vector<sample_entry_t> v;
  const uint64_t top = h->fingerprint_bits == 64 ? UINT64_MAX : UINT32_MAX;
  for (int g = 0; g < SAMPLE_GROUPS; g++) {  // lone chunks, one per group
    sample_entry_t e;
    e.fp = 3 + (uint64_t)g * 1000;
    e.chunks = e.buckets = 1;
    e.groups[g] = 1;
    e.csize = 100 + g;
    v.push_back(e);
  }
  sample_entry_t grouped;  // several buckets, repeats within one
  grouped.fp = 70000;
  grouped.groups[1] = 2;
  grouped.groups[6] = 3;
  grouped.buckets = 5;
  grouped.chunks = 9;
  grouped.csize = 4096 + 20;
  v.push_back(grouped);
  sample_entry_t big;  // counted without groups
  big.fp = top - 1;
  big.grouped = false;
  big.buckets = 30;
  big.chunks = 400;
  big.csize = 1;
  v.push_back(big);
  sample_entry_t last;  // the highest fingerprint there is
  last.fp = top;
  last.chunks = last.buckets = 1;
  last.groups[0] = 1;
  last.csize = 7;
  v.push_back(last);
  uint64_t chunks = 0;
  for (const sample_entry_t& e : v) chunks += e.chunks;
  h->n_skipped_chunks = 11;
  h->n_zero_chunks = 5;
  const bool zeros = (h->estimate_mask & ESTIMATE_DEDUPE_ZEROS) != 0;
  h->n_data_chunks = chunks + h->n_skipped_chunks - (zeros ? h->n_zero_chunks : 0);
  h->uncompressed_size = v.size() * h->chunk_size;
  h->compressed_size = v.size() * 1000;
  h->n_entries = v.size();
  return v;
}

std::string write_to_string(const sample_header_t& h,
                            const std::vector<sample_entry_t>& v) {
  char path[] = "/tmp/pelko_sample_testXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  SampleWriter w(fd);
  w.begin(h);
  for (const sample_entry_t& e : v) w.add(e);
  EXPECT_TRUE(w.finish());
  close(fd);
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  unlink(path);
  return ss.str();
}

// Reads every entry; true when the whole file is sound.
bool read_all(SampleReader* r, std::vector<sample_entry_t>* out) {
  sample_entry_t e;
  while (r->next(&e)) out->push_back(e);
  return r->error().empty();
}

bool from_memory(const std::string& bytes, bool verify, std::string* error) {
  SampleReader r;
  std::vector<sample_entry_t> v;
  const bool ok =
      r.open_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), verify) &&
      read_all(&r, &v);
  *error = r.error();
  return ok;
}

}  // namespace

// What is written is read back, field for field, from a file and from
// memory, in both fingerprint widths and with and without compressed sizes.
TEST(SampleFile, RoundTrip) {
  const int all = ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS;
  for (int mask : {all, (int)ESTIMATE_DEDUPE}) {
    for (int bits : {32, 64}) {
      sample_header_t h = make_header(mask, bits);
      const std::vector<sample_entry_t> v = make_entries(&h);
      const std::string bytes = write_to_string(h, v);
      char path[] = "/tmp/pelko_sample_testXXXXXX";
      const int fd = mkstemp(path);
      ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
      close(fd);
      SampleReader r;
      ASSERT_TRUE(r.open(path)) << r.error();
      unlink(path);
      const sample_header_t& g = r.header();
      EXPECT_EQ(g.chunk_size, h.chunk_size);
      EXPECT_EQ(g.estimate_mask, mask);
      EXPECT_EQ(g.fingerprint_bits, bits);
      EXPECT_EQ(g.n_threads, h.n_threads);
      EXPECT_EQ(g.total_chunks, h.total_chunks);
      EXPECT_EQ(g.total_buckets, h.total_buckets);
      EXPECT_EQ(g.n_data_chunks, h.n_data_chunks);
      EXPECT_EQ(g.n_zero_chunks, h.n_zero_chunks);
      EXPECT_EQ(g.n_skipped_chunks, h.n_skipped_chunks);
      EXPECT_EQ(g.compressed_size, h.compressed_size);
      EXPECT_EQ(g.uncompressed_size, h.uncompressed_size);
      EXPECT_EQ(g.total_size, h.total_size);
      EXPECT_EQ(g.total_files, h.total_files);
      EXPECT_EQ(g.bucket_size, h.bucket_size);
      EXPECT_EQ(g.bucket_size_chosen, h.bucket_size_chosen);
      EXPECT_EQ(g.stop_at, h.stop_at);
      EXPECT_EQ(g.seed, h.seed);
      EXPECT_EQ(g.run_id, h.run_id);
      EXPECT_EQ(g.created, h.created);
      EXPECT_EQ(g.host, h.host);
      EXPECT_EQ(g.paths, h.paths);
      EXPECT_EQ(g.stop_reason, h.stop_reason);
      std::vector<sample_entry_t> got;
      ASSERT_TRUE(read_all(&r, &got)) << r.error();
      ASSERT_EQ(got.size(), v.size());
      for (size_t i = 0; i < v.size(); i++) {
        EXPECT_EQ(got[i].fp, v[i].fp);
        EXPECT_EQ(got[i].chunks, v[i].chunks);
        EXPECT_EQ(got[i].buckets, v[i].buckets);
        EXPECT_EQ(got[i].grouped, v[i].grouped);
        for (int k = 0; k < SAMPLE_GROUPS; k++)
          EXPECT_EQ(got[i].groups[k], v[i].groups[k]);
        EXPECT_EQ(got[i].csize, sample_has_csize(mask) ? v[i].csize : 0u);
      }
      std::string error;
      EXPECT_TRUE(from_memory(bytes, true, &error)) << error;
    }
  }
}

// A damaged export is refused, never half read: every truncation and every
// changed byte fails the checksum.
TEST(SampleFile, DamageIsRefused) {
  sample_header_t h = make_header(
      ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS, 32);
  const std::string bytes = write_to_string(h, make_entries(&h));
  std::string error;
  for (size_t n = 0; n < bytes.size(); n++)
    EXPECT_FALSE(from_memory(bytes.substr(0, n), true, &error)) << n;
  for (size_t i = 8; i < bytes.size(); i++) {
    std::string b = bytes;
    b[i] ^= 0x20;
    EXPECT_FALSE(from_memory(b, true, &error)) << i;
    EXPECT_EQ(error, "checksum mismatch: the file is damaged or truncated");
  }
  std::string other = bytes;
  other[0] = 'X';
  EXPECT_FALSE(from_memory(other, true, &error));
  EXPECT_EQ(error, "not a pelko export");
}

// Content that carries a valid checksum but does not add up is refused by
// the parser with what is wrong (the checksum left aside, as a crafted file
// would have it right).
TEST(SampleFile, InconsistentContentIsRefused) {
  const int mask = ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS;
  std::string error;
  struct Case {
    const char* want;
    void (*spoil)(sample_header_t* h, std::vector<sample_entry_t>* v);
  };
  const Case cases[] = {
      {"the entries' chunks do not add up to the chunks analysed",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->n_skipped_chunks--;
         h->n_data_chunks--;
         h->n_skipped_chunks += 2;
       }},
      {"more chunks analysed than planned",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->total_chunks = 10;
         h->total_size = h->reductible_size = 10 * h->chunk_size;
       }},
      {"chunk size out of range",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->chunk_size = 0;
       }},
      // A chunk far larger than the bytes planned: the totals disagree.
      {"planned chunk count does not match the bytes in whole chunks",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->chunk_size = 2016u << 20;
       }},
      {"planned chunk count out of range",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->total_chunks = SAMPLE_MAX_CHUNKS;
         h->total_size = h->reductible_size = UINT64_MAX;
       }},
      {"thread count out of range",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->n_threads = 0;
       }},
      {"more bytes unread than in whole chunks",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->unread_size = h->reductible_size + 1;
       }},
      {"more files unread than found",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->unread_files = h->total_files + 1;
       }},
      {"bucket size out of range",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->bucket_size = h->chunk_size + 1;  // not whole chunks
       }},
      {"threshold without the memory-saving mode",
       [](sample_header_t* h, std::vector<sample_entry_t>*) {
         h->lower_fp = 5;
       }},
      // Group counts whose sum wraps around 64 bits.
      {"bucket count out of range",
       [](sample_header_t* h, std::vector<sample_entry_t>* v) {
         h->estimate_mask = ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS;
         h->chunk_size = 1;
         h->compressed_size = h->uncompressed_size = 0;
         h->total_chunks = h->total_buckets = SAMPLE_MAX_CHUNKS - 1;
         h->total_size = h->reductible_size = h->total_chunks;
         sample_entry_t& e = (*v)[8];  // the grouped one
         for (uint64_t& g : e.groups) g = SAMPLE_MAX_CHUNKS - 1;
         e.buckets = UINT64_MAX;
         e.chunks = UINT64_MAX;
       }},
      {"compressed size out of range",
       [](sample_header_t*, std::vector<sample_entry_t>* v) {
         (*v)[0].csize = 1 << 20;
       }},
  };
  for (const Case& c : cases) {
    sample_header_t h = make_header(mask, 32);
    std::vector<sample_entry_t> v = make_entries(&h);
    c.spoil(&h, &v);
    EXPECT_FALSE(from_memory(write_to_string(h, v), false, &error)) << c.want;
    EXPECT_EQ(error, c.want);
  }
  // Fingerprints past 32 bits in a 32-bit export.
  sample_header_t h = make_header(mask, 64);
  std::vector<sample_entry_t> v = make_entries(&h);
  h.fingerprint_bits = 32;
  EXPECT_FALSE(from_memory(write_to_string(h, v), false, &error));
  EXPECT_EQ(error, "fingerprint out of range");
  // A later format version.
  std::string b = write_to_string(make_header(mask, 32), {});
  b[8] = 4;
  EXPECT_FALSE(from_memory(b, false, &error));
  EXPECT_EQ(error, "format version 4 is newer than this pelko reads (3)");
}

// A full disk is reported, not taken for a written export.
TEST(SampleFile, WriteFailureIsReported) {
  const int fd = open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  sample_header_t h = make_header(ESTIMATE_DEDUPE, 32);
  const std::vector<sample_entry_t> v = make_entries(&h);
  SampleWriter w(fd);
  w.begin(h);
  for (const sample_entry_t& e : v) w.add(e);
  errno = 0;
  EXPECT_FALSE(w.finish());
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}
