// Fuzz target: export files and their merge. Any bytes must be refused, or
// read and merged, without a crash, a hang or a sanitizer report; what is
// read must hold together.
//
// The input is one export, or several one after the other (each begins with
// the magic "PELKOSMP"; up to four). Each is resealed (its checksum
// recomputed) before it is read, so that the parser and the merge see what
// the fuzzer made rather than stopping at the checksum; the bytes as given
// are also read with the checksum checked and with it left aside.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include <xxhash.h>

#include "merge.h"
#include "pelko.h"
#include "printer.h"
#include "sample_file.h"

namespace {

const char kMagic[] = "PELKOSMP";
const size_t kMagicSize = 8;
const size_t kMaxExports = 4;
// Larger chunks are merged as well as small ones, but the all-zero chunk's
// checksum and compression cost a second per GiB: past this size the
// exports are only parsed (the crafted cases of the CLI tests merge them).
const uint64_t kMaxMergedChunk = 1 << 20;

// Reads every entry of one export; checks what every reader promises.
void read_all(const uint8_t* data, size_t size, bool verify) {
  SampleReader r;
  if (!r.open_memory(data, size, verify)) {
    PELKO_ASSERT(!r.error().empty());
    return;
  }
  const sample_header_t& h = r.header();
  PELKO_ASSERT(h.fingerprint_bits == 32 || h.fingerprint_bits == 64);
  PELKO_ASSERT(h.total_chunks < SAMPLE_MAX_CHUNKS);
  PELKO_ASSERT(h.n_data_chunks + h.n_zero_chunks <= h.total_chunks);
  sample_entry_t e;
  uint64_t n = 0, prev = 0;
  while (r.next(&e)) {
    PELKO_ASSERT(n == 0 || e.fp > prev);
    PELKO_ASSERT(e.buckets >= 1 && e.chunks >= e.buckets);
    PELKO_ASSERT(e.buckets <= h.total_buckets);
    uint64_t groups = 0;
    for (uint64_t g : e.groups) groups += g;
    PELKO_ASSERT(!e.grouped || groups == e.buckets);
    prev = e.fp;
    n++;
  }
  PELKO_ASSERT(n <= h.n_entries);
  if (r.error().empty()) PELKO_ASSERT(n == h.n_entries);
}

// The exports the input holds: cut before every magic after the first
// byte, each resealed.
std::vector<std::string> exports_of(const uint8_t* data, size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  size_t from = 0;
  while (out.size() + 1 < kMaxExports) {
    const size_t at = all.find(kMagic, from + 1, kMagicSize);
    if (at == std::string::npos) break;
    out.push_back(all.substr(from, at - from));
    from = at;
  }
  out.push_back(all.substr(from));
  for (std::string& x : out) {
    if (x.size() < kMagicSize + 1 + 8) continue;
    const uint64_t sum = XXH3_64bits(x.data(), x.size() - 8);
    for (int i = 0; i < 8; i++) x[x.size() - 8 + i] = (char)(sum >> (8 * i));
  }
  return out;
}

class NullBuf : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

bool no_outputs(const pelko_params_t&) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullBuf null_buf;
  static std::ostream null_stream(&null_buf);
  printer.set_console(&null_stream);
  printer.set_console_is_terminal(false);

  read_all(data, size, false);  // the parser, past the checksum
  read_all(data, size, true);

  const std::vector<std::string> exports = exports_of(data, size);
  pelko_params_t params;
  params.alpha = 0.5;
  params.debug = 0;
  std::vector<std::unique_ptr<SampleReader>> readers;
  for (const std::string& x : exports) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(x.data());
    read_all(p, x.size(), true);
    readers.emplace_back(new SampleReader);
    if (!readers.back()->open_memory(p, x.size(), true) ||
        readers.back()->header().chunk_size > kMaxMergedChunk)
      return 0;
    params.merge_files.push_back("export" + std::to_string(readers.size()));
  }
  const int status = merge_readers(params, &readers, no_outputs);
  PELKO_ASSERT(status == 0 || status == 1);
  return 0;
}
