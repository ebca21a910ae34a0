// Fuzz target: the command line. The input bytes, split on NUL, are the
// arguments after "pelko". Any command line must parse without a crash, a
// leak or a sanitizer report; an accepted one must satisfy every check the
// parser promises, and a rejected one must say why.
#include <stddef.h>
#include <stdint.h>
#include <getopt.h>
#include <lz4.h>

#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "pelko_assert.h"
#include "types.h"

namespace {
const size_t kMaxArgs = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Owned copies: getopt may permute argv, and the strings must outlive
  // the call only (the parser copies what it keeps).
  std::vector<std::string> args{"pelko"};
  std::string cur;
  for (size_t i = 0; i < size && args.size() < kMaxArgs; i++) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += (char)data[i];
    }
  }
  if (args.size() < kMaxArgs) args.push_back(cur);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  opterr = 0;  // getopt's own diagnostics would only flood the log
  pelko_params_t params;
  parse_result_t r = try_parse_opts(&params, (int)args.size(), argv.data());
  switch (r.outcome) {
    case PARSE_OK:
      // Inputs to read, or exports to merge.
      PELKO_ASSERT(!params.roots.empty() || !params.merge_files.empty());
      PELKO_ASSERT(params.chunk_size > 0);
      PELKO_ASSERT(params.chunk_size <= (size_t)LZ4_MAX_INPUT_SIZE);
      PELKO_ASSERT(params.bucket_size > 0);
      PELKO_ASSERT(params.chunk_size <= params.bucket_size);
      PELKO_ASSERT(params.stop_at >= 0 && params.stop_at <= 1);
      PELKO_ASSERT(params.time_limit >= 0);
      PELKO_ASSERT(params.report_freq > 0);
      PELKO_ASSERT(params.n_threads > 0 && params.n_threads <= 1024);
      PELKO_ASSERT(params.alpha > 0);
      PELKO_ASSERT(params.scan_memory_limit <= params.memory_limit);
      PELKO_ASSERT(params.debug >= 0);
      PELKO_ASSERT(r.error_msg.empty());
      {
        // The driver's rounding: a multiple of the chunk size, never smaller
        // unless rounding up would overflow.
        const size_t bucket = params.bucket_size;
        round_bucket_size(&params);
        PELKO_ASSERT(params.bucket_size % params.chunk_size == 0);
        PELKO_ASSERT(params.bucket_size > 0);
        PELKO_ASSERT(params.bucket_size >= bucket ||
                     bucket > SIZE_MAX - params.chunk_size);
      }
      break;
    case PARSE_USAGE_ERROR:
      PELKO_ASSERT(!r.error_msg.empty());
      break;
    case PARSE_HELP:
    case PARSE_VERSION:
      break;
  }
  for (const root_t* root : params.roots) PELKO_ASSERT(root != nullptr);
  std::ostringstream usage;
  write_usage(usage);
  PELKO_ASSERT(!usage.str().empty());
  clear_roots(&params);
  return 0;
}
