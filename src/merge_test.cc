#include "merge.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crc.h"
#include "printer.h"
#include "sample_file.h"

namespace {

const size_t kChunk = 4096;
const int kMask = ESTIMATE_DEDUPE | ESTIMATE_DEDUPE_ZEROS | ESTIMATE_COMPRESS;

struct Export {
  bool save_memory = false;
  uint64_t lower_fp = 0;
  uint64_t skipped = 0;
  uint64_t zeros = 0;  // analysed zero chunks
  uint64_t total_chunks = 100;
  uint64_t total_buckets = 20;
  uint64_t files = 1;
  std::vector<sample_entry_t> entries;
};

sample_entry_t entry(uint64_t fp, std::vector<uint64_t> groups,
                     uint64_t extra_chunks, uint64_t csize) {
  sample_entry_t e;
  e.fp = fp;
  for (size_t g = 0; g < groups.size(); g++) {
    e.groups[g] = groups[g];
    e.buckets += groups[g];
  }
  e.chunks = e.buckets + extra_chunks;
  e.csize = csize;
  return e;
}

std::string write_export(const Export& x, uint64_t run_id) {
  sample_header_t h;
  h.chunk_size = kChunk;
  h.estimate_mask = kMask;
  h.n_threads = 4;
  h.total_chunks = x.total_chunks;
  h.total_buckets = x.total_buckets;
  uint64_t chunks = 0;
  for (const sample_entry_t& e : x.entries) chunks += e.chunks;
  h.n_zero_chunks = x.zeros;
  h.n_skipped_chunks = x.skipped;
  h.n_data_chunks = chunks + x.skipped - x.zeros;
  h.uncompressed_size = x.entries.size() * kChunk;
  for (const sample_entry_t& e : x.entries) h.compressed_size += e.csize;
  h.save_memory = x.save_memory;
  h.lower_fp = x.lower_fp;
  h.total_size = h.reductible_size = x.total_chunks * kChunk;
  h.total_files = x.files;
  h.run_id = run_id;
  h.host = "h" + std::to_string(run_id);
  h.n_entries = x.entries.size();
  char path[] = "/tmp/pelko_merge_testXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  SampleWriter w(fd);
  w.begin(h);
  for (const sample_entry_t& e : x.entries) w.add(e);
  EXPECT_TRUE(w.finish());
  close(fd);
  return path;
}

// The merge's output from its final section on, the memory use masked,
// without the summary's warnings.
std::string merged_rows(const std::vector<std::string>& files) {
  char path[] = "/tmp/pelko_merge_outXXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  std::ostringstream console;
  printer.set_console(&console);
  printer.open(path);
  pelko_params_t params;
  params.merge_files = files;
  params.alpha = 0.5;
  params.debug = 0;
  EXPECT_EQ(merge_run(params, [](const pelko_params_t&) { return true; }), 0);
  printer.close_for_test();
  printer.set_console(&std::cout);
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  unlink(path);
  const std::string text = ss.str();
  const size_t at = text.find("MERGED");
  EXPECT_NE(at, std::string::npos) << text;
  std::string out = at == std::string::npos ? text : text.substr(at);
  const size_t gib = out.find(" GiB");
  if (gib != std::string::npos) {
    const size_t from = out.rfind("\t", gib) + 1;
    out.replace(from, gib - from, "MEM");
  }
  // Which exports share what follows the summary, and names them.
  const size_t overlap = out.find("\n\nOVERLAP");
  if (overlap != std::string::npos) out.erase(overlap + 1);
  // The summary's warnings are about the exports given, not the figures.
  for (size_t w; (w = out.find("\nwarning:")) != std::string::npos;)
    out.erase(w + 1, out.find('\n', w + 1) - w);
  return out;
}

}  // namespace

// Exports of runs that reached different memory-saving thresholds (and one
// that did not save memory) merge at the highest threshold: what lies below
// it counts as skipped, the all-zero chunk's entry stays, counts above it
// add up and each compressed size counts once. The merge reports exactly
// what one run holding those entries at that threshold reports.
TEST(Merge, ThresholdsMergeAtTheHighest) {
  std::vector<unsigned char> zeros(kChunk, 0);
  const uint64_t z = memcrc(zeros.data(), kChunk);
  ASSERT_GT(z, 10u);
  ASSERT_LT(z, UINT32_MAX - 100);

  Export a;  // saved memory from z + 10 on; holds the zero chunks
  a.save_memory = true;
  a.lower_fp = z + 10;
  a.skipped = 7;
  a.zeros = 5;
  a.entries = {entry(z, {1, 1, 1, 1, 1}, 0, 20), entry(z + 10, {0, 1}, 0, 900),
               entry(z + 15, {0, 0, 1, 1}, 0, 800),
               entry(z + 30, {0, 0, 0, 0, 0, 1}, 0, 700)};
  Export b;  // saved memory from z + 20 on
  b.save_memory = true;
  b.lower_fp = z + 20;
  b.skipped = 4;
  b.entries = {entry(z + 20, {1}, 0, 600), entry(z + 30, {1, 1, 1}, 0, 700),
               entry(z + 40, {0, 0, 0, 0, 0, 0, 1}, 0, 500)};
  Export c;  // kept everything
  c.entries = {entry(z - 5, {0, 0, 0, 1}, 0, 400), entry(z + 12, {0, 1}, 0, 300),
               entry(z + 40, {0, 0, 0, 0, 0, 0, 0, 1}, 1, 500)};

  // One run at the threshold z + 20 with all three runs' data: the entries
  // below it skipped (1 + 2 from a, 1 + 1 from c, besides what the runs
  // skipped themselves).
  Export one;
  one.save_memory = true;
  one.lower_fp = z + 20;
  one.skipped = 7 + 4 + 0 + (1 + 2) + (1 + 1);
  one.zeros = 5;
  one.total_chunks = 300;
  one.total_buckets = 60;
  one.files = 3;
  one.entries = {entry(z, {1, 1, 1, 1, 1}, 0, 20), entry(z + 20, {1}, 0, 600),
                 entry(z + 30, {1, 1, 1, 0, 0, 1}, 0, 700),
                 entry(z + 40, {0, 0, 0, 0, 0, 0, 1, 1}, 1, 500)};

  const std::vector<std::string> three = {write_export(a, 1), write_export(b, 2),
                                          write_export(c, 3)};
  const std::vector<std::string> single = {write_export(one, 4)};
  const std::string merged = merged_rows(three);
  EXPECT_EQ(merged, merged_rows(single));
  // The order of the exports does not matter.
  EXPECT_EQ(merged, merged_rows({three[2], three[0], three[1]}));
  for (const std::string& f : three) unlink(f.c_str());
  unlink(single[0].c_str());
}
