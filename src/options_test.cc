#include "options.h"
#include "os.h"
#include "types.h"

#include <getopt.h>

#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// Runs try_parse_opts on "pelko" followed by args, on a fresh record.
class Parse {
 public:
  explicit Parse(const std::vector<std::string>& args) {
    storage_.push_back("pelko");
    for (const std::string& a : args) storage_.push_back(a);
    for (std::string& s : storage_) argv_.push_back(&s[0]);
    argv_.push_back(nullptr);
    int saved = opterr;
    opterr = 0;  // keep getopt's own diagnostics out of the test log
    result = try_parse_opts(&params, (int)storage_.size(), argv_.data());
    opterr = saved;
  }
  ~Parse() { clear_roots(&params); }

  bool ok() const { return result.outcome == PARSE_OK; }
  std::string error() const {
    return result.outcome == PARSE_USAGE_ERROR ? result.error_msg : "<none>";
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> v;
    for (const root_t* r : params.roots) v.push_back(r->path);
    return v;
  }

  pelko_params_t params;
  parse_result_t result;

 private:
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};

TEST(ParseOpts, Defaults) {
  Parse p({"-p", "/data"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(16384u, p.params.chunk_size);
  EXPECT_EQ(1048576u, p.params.bucket_size);
  EXPECT_EQ(-1, p.params.estimate_mask);
  EXPECT_DOUBLE_EQ(0.01, p.params.report_freq);
  EXPECT_EQ(2 * os_get_cpu_count(), p.params.n_threads);
  EXPECT_EQ(3600, p.params.scan_time_limit);
  EXPECT_DOUBLE_EQ(0.5, p.params.alpha);
  EXPECT_EQ(0, p.params.debug);
  EXPECT_TRUE(p.params.output_file.empty());
  EXPECT_GT(p.params.memory_limit, 0u);
  EXPECT_EQ((size_t)((double)p.params.memory_limit * 0.8),
            p.params.scan_memory_limit);
  ASSERT_EQ(1u, p.params.roots.size());
  const root_t* r = p.params.roots.front();
  EXPECT_EQ("/data", r->path);
  EXPECT_EQ(DEVTYPE_UNKNOWN, r->dev_type);
  EXPECT_EQ(0u, r->fs_size);
  EXPECT_EQ(0u, r->fs_n_files);
}

TEST(ParseOpts, ValuesAndRepeats) {
  Parse p({"--path", "b", "-c", "0.5k", "-b", "2M", "-r", "5", "-t", "7",
           "-M", "10G", "-T", "5", "-o", "out.txt", "-A", "0.25", "-p", "a",
           "-p", "b", "-c", "8KB", "-DDD", "--debug=5"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ((std::vector<std::string>{"b", "a", "b"}), p.paths());
  EXPECT_EQ(8192u, p.params.chunk_size);  // the last -c wins
  EXPECT_EQ(2u * 1048576, p.params.bucket_size);
  EXPECT_DOUBLE_EQ(0.05, p.params.report_freq);
  EXPECT_EQ(7, p.params.n_threads);
  EXPECT_EQ(10737418240u, p.params.memory_limit);
  EXPECT_EQ(8589934592u, p.params.scan_memory_limit);
  EXPECT_EQ(5, p.params.scan_time_limit);
  EXPECT_EQ("out.txt", p.params.output_file);
  EXPECT_DOUBLE_EQ(0.25, p.params.alpha);
  EXPECT_EQ(4, p.params.debug);  // -DDD and --debug=5 (value ignored)

  Parse z({"-p", "x", "-M", "0", "-r", "0.5", "-T", "0"});
  ASSERT_TRUE(z.ok()) << z.error();
  EXPECT_EQ(0u, z.params.memory_limit);
  EXPECT_EQ(0u, z.params.scan_memory_limit);
  EXPECT_DOUBLE_EQ(0.005, z.params.report_freq);
  EXPECT_EQ(0, z.params.scan_time_limit);
  EXPECT_FALSE(z.params.seed_given);

  // --seed: a decimal in the range of unsigned; anything else is an error.
  Parse s({"-p", "x", "--seed", "7", "--seed=4294967295"});
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_TRUE(s.params.seed_given);
  EXPECT_EQ(4294967295u, s.params.seed);
  for (const char* bad : {"", "x", "-1", "12a", "4294967296"}) {
    Parse b({"-p", "x", "--seed", bad});
    EXPECT_EQ(std::string("--seed ") + bad +
                  ": not a seed; give a whole number from 0 to 4294967295",
              b.error());
  }
  // The options without a short form; 0 means none for all but --stop-at.
  EXPECT_EQ(0, z.params.stop_at);
  EXPECT_EQ(0, z.params.time_limit);
  EXPECT_EQ(0u, z.params.max_rate);
  EXPECT_FALSE(z.params.keep_cache);
  Parse l({"-p", "x", "--stop-at", "12.5", "--time-limit=1.5", "--max-rate",
           "10M", "--keep-cache", "--max-rate", "0.5K"});
  ASSERT_TRUE(l.ok()) << l.error();
  EXPECT_DOUBLE_EQ(0.125, l.params.stop_at);
  EXPECT_DOUBLE_EQ(1.5, l.params.time_limit);
  EXPECT_EQ(512u, l.params.max_rate);
  EXPECT_TRUE(l.params.keep_cache);
  EXPECT_EQ(32, s.params.fingerprint_bits);
  Parse f({"-p", "x", "--fingerprint", "64"});
  EXPECT_EQ(64, f.params.fingerprint_bits);
  Parse g({"-p", "x", "--fingerprint", "48"});
  EXPECT_EQ("--fingerprint 48: the width is 32 or 64 (bits)", g.error());
}

TEST(ParseOpts, EstimateWords) {
  struct Case {
    std::vector<const char*> words;
    int mask;
  } cases[] = {
      {{"all"}, -1},
      {{"dedupe"}, ESTIMATE_DEDUPE},
      {{"DEDUPE"}, ESTIMATE_DEDUPE},
      {{"Compress"}, ESTIMATE_COMPRESS},
      {{"no-dedupe"}, ~ESTIMATE_DEDUPE},
      {{"no-compress"}, ~ESTIMATE_COMPRESS},
      {{"no-dedupe-zeros"}, ~ESTIMATE_DEDUPE_ZEROS},
      {{"dedupe", "no-dedupe"}, 0},
      {{"no-compress", "all"}, -1},
      {{"compress", "no-dedupe-zeros"}, ESTIMATE_COMPRESS},
      {{"no-compress", "no-dedupe-zeros"},
       ~(ESTIMATE_COMPRESS | ESTIMATE_DEDUPE_ZEROS)},
      {{"dedupe", "no-compress", "no-dedupe-zeros"}, ESTIMATE_DEDUPE},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-p", "x"};
    std::string label;
    for (const char* w : c.words) {
      args.push_back("-e");
      args.push_back(w);
      label += std::string(w) + " ";
    }
    Parse p(args);
    ASSERT_TRUE(p.ok()) << label << p.error();
    EXPECT_EQ(c.mask, p.params.estimate_mask) << label;
  }
  const std::string modes =
      ": unknown estimate mode; the modes are all, dedupe, compress, "
      "no-dedupe, no-compress and no-dedupe-zeros";
  EXPECT_EQ("-e foo" + modes, Parse({"-p", "x", "-e", "foo"}).error());
  EXPECT_EQ("--estimate=no-all" + modes,
            Parse({"--estimate=no-all", "-c", "0"}).error());
}

TEST(ParseOpts, ValidationMessagesInOrder) {
  const std::string no_path = "no input path: name what to estimate with -p PATH";
  EXPECT_EQ(no_path, Parse({}).error());
  // A path without -p: where paths go.
  EXPECT_EQ("no input path: /data is no option; input paths are given with "
            "-p, as in: -p /data",
            Parse({"/data"}).error());
  EXPECT_EQ("unexpected argument /b: input paths are given with -p, as in: "
            "-p /b",
            Parse({"-p", "/a", "/b", "-c", "0"}).error());
  // Values in range are checked once all options are read, in this order;
  // the first that fails is named, with the option as it was typed.
  EXPECT_EQ(no_path, Parse({"-c", "0", "-t", "0"}).error());
  const std::string chunk = ": the chunk size must be at least 1 byte";
  EXPECT_EQ("-c 0" + chunk, Parse({"-p", "x", "-c", "0", "-b", "0"}).error());
  EXPECT_EQ("-c -1" + chunk, Parse({"-p", "x", "-c", "-1"}).error());
  EXPECT_EQ("--chunk-size=-16K" + chunk,
            Parse({"-p", "x", "--chunk-size=-16K"}).error());
  EXPECT_EQ("--chunk_size 0.5" + chunk,
            Parse({"-p", "x", "--chunk_size", "0.5"}).error());
  EXPECT_EQ("-b -5: the bucket size must be at least 1 byte",
            Parse({"-p", "x", "-b", "-5", "-r", "0"}).error());
  // A bucket must hold a chunk; equal sizes are fine.
  EXPECT_EQ("-c 64K: larger than the bucket size 32 KiB (--bucket-size 32K); "
            "give a bucket size of at least 64K",
            Parse({"-p", "x", "-c", "64K", "--bucket-size", "32K", "-r", "0"})
                .error());
  EXPECT_TRUE(Parse({"-p", "x", "-c", "64K", "-b", "64K"}).ok());
  // Report steps: at least 0.001 %; below that the step would hardly move.
  const std::string step = ": the report step must be at least 0.001 (percent)";
  EXPECT_EQ("-r 0" + step, Parse({"-p", "x", "-r", "0", "-t", "0"}).error());
  EXPECT_EQ("-r -1" + step, Parse({"-p", "x", "-r", "-1"}).error());
  EXPECT_EQ("-r 1e-300" + step, Parse({"-p", "x", "-r", "1e-300"}).error());
  EXPECT_EQ("--freq 0.0009" + step, Parse({"-p", "x", "--freq", "0.0009"}).error());
  Parse fine({"-p", "x", "-r", "0.001"});
  ASSERT_TRUE(fine.ok()) << fine.error();
  EXPECT_DOUBLE_EQ(0.00001, fine.params.report_freq);
  Parse pct({"-p", "x", "-r", "5%", "--stop-at", "20%"});
  ASSERT_TRUE(pct.ok()) << pct.error();
  EXPECT_DOUBLE_EQ(0.05, pct.params.report_freq);
  EXPECT_DOUBLE_EQ(0.2, pct.params.stop_at);
  const std::string threads = ": the thread count must be 1 to 1024";
  EXPECT_EQ("-t 0" + threads, Parse({"-p", "x", "-t", "0", "-A", "0"}).error());
  EXPECT_EQ("-t -3" + threads, Parse({"-p", "x", "-t", "-3"}).error());
  EXPECT_EQ("-t 1025" + threads, Parse({"-p", "x", "-t", "1025"}).error());
  EXPECT_EQ("--threads 1000000" + threads,
            Parse({"-p", "x", "--threads", "1000000"}).error());
  // Would wrap to 1 through a 32-bit conversion.
  EXPECT_EQ("-t 4294967297" + threads,
            Parse({"-p", "x", "-t", "4294967297"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "-t", "1024"}).ok());
  EXPECT_EQ("-A 0: alpha must be above 0",
            Parse({"-p", "x", "-A", "0", "-M", "-1"}).error());
  EXPECT_EQ("-M -1G: the memory limit cannot be negative; 0 means none",
            Parse({"-p", "x", "-M", "-1G"}).error());
  EXPECT_EQ("-T -5: the scan time limit cannot be negative; 0 means none",
            Parse({"-p", "x", "-T", "-5"}).error());
  const std::string share = ": the share must be above 0 and at most 100 (percent)";
  EXPECT_EQ("--stop-at 0" + share, Parse({"-p", "x", "--stop-at", "0"}).error());
  EXPECT_EQ("--stop-at 100.5" + share,
            Parse({"-p", "x", "--stop-at", "100.5"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "--stop-at", "100"}).ok());
  EXPECT_EQ("--time-limit -1: the time limit cannot be negative; 0 means none",
            Parse({"-p", "x", "--time-limit", "-1"}).error());
  EXPECT_EQ("--max-rate -1M: the rate cannot be negative; 0 means no limit",
            Parse({"-p", "x", "--max-rate", "-1M"}).error());
  // The last value given counts.
  EXPECT_TRUE(Parse({"-p", "x", "-M", "-1G", "-M", "1G"}).ok());
  EXPECT_TRUE(Parse({"-p", "x", "-c", "0", "-c", "4K"}).ok());
}

TEST(ParseOpts, MalformedValuesAreNamedAtOnce) {
  // Read as 0 (or NaN) they would switch a limit off or hang the run; they
  // are named whatever follows.
  const std::string size =
      ": not a size; give a number with an optional unit K, KB or KiB (1024 "
      "bytes), M, G or T alike (powers of 1024), as in 16K or 1.5G";
  EXPECT_EQ("-M abc" + size, Parse({"-M", "abc", "-c", "0"}).error());
  EXPECT_EQ("-M nan" + size, Parse({"-p", "x", "-M", "nan"}).error());
  EXPECT_EQ("-c K" + size, Parse({"-p", "x", "-c", "K"}).error());
  EXPECT_EQ("-c 16KX" + size, Parse({"-p", "x", "-c", "16KX"}).error());
  EXPECT_EQ("-c nan" + size, Parse({"-p", "x", "-c", "nan"}).error());
  EXPECT_EQ("--bucket_size=" + size, Parse({"-p", "x", "--bucket_size="}).error());
  EXPECT_EQ("--max-rate fast" + size,
            Parse({"-p", "x", "--max-rate", "fast"}).error());
  EXPECT_EQ("--max-rate nan" + size,
            Parse({"-p", "x", "--max-rate", "nan"}).error());
  EXPECT_EQ("--max-rate inf" + size,
            Parse({"-p", "x", "--max-rate", "inf"}).error());
  const std::string secs = ": not a whole number of seconds; 0 means no limit";
  EXPECT_EQ("-T nan" + secs, Parse({"-p", "x", "-T", "nan"}).error());
  EXPECT_EQ("-T abc" + secs, Parse({"-p", "x", "-T", "abc"}).error());
  EXPECT_EQ("--scan-time 1.5" + secs,
            Parse({"-p", "x", "--scan-time", "1.5"}).error());
  EXPECT_EQ("--time-limit  : not a number of seconds",
            Parse({"-p", "x", "--time-limit", " "}).error());
  EXPECT_EQ("--time-limit nan: not a number of seconds",
            Parse({"-p", "x", "--time-limit", "nan"}).error());
  EXPECT_EQ("--stop-at=half: not a number; give a share in percent, as in "
            "--stop-at 10",
            Parse({"-p", "x", "--stop-at=half"}).error());
  EXPECT_EQ("-r nan: not a number; give the step in percent, as in -r 5",
            Parse({"-p", "x", "-r", "nan"}).error());
  EXPECT_EQ("-t 4x: not a whole number of threads",
            Parse({"-p", "x", "-t", "4x"}).error());
  EXPECT_EQ("-A nan: not a number", Parse({"-p", "x", "-A", "nan"}).error());
  // Options the parser does not know, or misses an argument of.
  EXPECT_EQ("-x: unknown option", Parse({"-p", "x", "-x"}).error());
  EXPECT_EQ("-c: needs an argument", Parse({"-p", "x", "-c"}).error());
  EXPECT_EQ("--nope: unknown option", Parse({"-p", "x", "--nope"}).error());
  EXPECT_EQ("--nope: unknown option", Parse({"-p", "x", "--nope=1"}).error());
  EXPECT_EQ("-5: unknown option", Parse({"-p", "x", "-D5"}).error());
  EXPECT_EQ("-x: unknown option", Parse({"--keep-cache", "-Dx", "-p", "x"}).error());
  EXPECT_EQ("--chunk-size: needs an argument",
            Parse({"-p", "x", "--chunk-size"}).error());
  EXPECT_EQ("--keep-cache: takes no argument",
            Parse({"-p", "x", "--keep-cache=1"}).error());
  EXPECT_EQ("--m: ambiguous, could be --memory, --max-rate, --merge",
            Parse({"-p", "x", "--m", "1"}).error());
  // The hyphen and the underscore spellings are one option; abbreviations
  // that name only it are fine.
  Parse hy({"-p", "x", "--chunk-size", "8K", "--bucket-size=64K",
            "--scan-time", "10", "--chunk", "4K"});
  ASSERT_TRUE(hy.ok()) << hy.error();
  EXPECT_EQ(4096u, hy.params.chunk_size);
  EXPECT_EQ(65536u, hy.params.bucket_size);
  EXPECT_EQ(10, hy.params.scan_time_limit);
  Parse us({"-p", "x", "--chunk_size", "8K", "--bucket_size=64K",
            "--scan_time", "10"});
  ASSERT_TRUE(us.ok()) << us.error();
  EXPECT_EQ(8192u, us.params.chunk_size);
  EXPECT_EQ(65536u, us.params.bucket_size);
  EXPECT_EQ(10, us.params.scan_time_limit);
}

TEST(ParseOpts, RecordFiles) {
  Parse p({"-p", "d", "--json", "r.json", "--csv", "r.csv", "--plot", "r.svg"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ("r.json", p.params.json_file);
  EXPECT_EQ("r.csv", p.params.csv_file);
  EXPECT_EQ("r.svg", p.params.plot_file);
  EXPECT_EQ("--plot: needs a file name", Parse({"-p", "d", "--plot", ""}).error());
  // A merge writes them too, and its parameters are as whole as a run's.
  Parse m({"--merge", "a", "--json", "m.json", "--plot", "m.svg"});
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_EQ((size_t)((double)m.params.memory_limit * 0.8),
            m.params.scan_memory_limit);
}

TEST(ParseOpts, HugeSizesSaturate) {
  Parse p({"-p", "x", "-b", "1e300", "-M", "1e30T"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(SIZE_MAX, p.params.bucket_size);
  EXPECT_EQ(SIZE_MAX, p.params.memory_limit);
}

TEST(ParseOpts, ChunkSizeWithinWhatLz4Compresses) {
  const std::string limit =
      ": the chunk size must be at most 1.969 GiB (2113929216 bytes), the "
      "largest block LZ4 compresses";
  Parse at({"-p", "x", "-c", "2113929216", "-b", "2113929216"});
  ASSERT_TRUE(at.ok()) << at.error();
  EXPECT_EQ(2113929216u, at.params.chunk_size);
  EXPECT_EQ("-c 2113929217" + limit,
            Parse({"-p", "x", "-c", "2113929217"}).error());
  EXPECT_EQ("-c 2G" + limit, Parse({"-p", "x", "-c", "2G"}).error());
  EXPECT_EQ("-c 1e300" + limit,
            Parse({"-p", "x", "-c", "1e300", "-t", "0"}).error());
}

TEST(RoundBucketSize, ToAMultipleOfTheChunkSize) {
  struct Case {
    size_t chunk, bucket, want;
  };
  const Case cases[] = {
      {16384, 1048576, 1048576},            // unchanged
      {16384, 40960, 49152},                // up to the next multiple
      {16384, 8192, 16384},                 // smaller than one chunk: one chunk
      {16384, 16385, 32768},                // one byte over
      {3000, 7000, 9000},                   // any chunk size
      {16384, SIZE_MAX, SIZE_MAX - 16383},  // rounding up would overflow
  };
  for (const Case& c : cases) {
    pelko_params_t p;
    p.chunk_size = c.chunk;
    p.bucket_size = c.bucket;
    EXPECT_EQ(c.want != c.bucket, round_bucket_size(&p)) << c.bucket;
    EXPECT_EQ(c.want, p.bucket_size) << c.chunk << " " << c.bucket;
  }
}

TEST(ParseOpts, HelpAndVersionStopTheScan) {
  Parse h({"-D", "-h", "-c", "0"});
  EXPECT_EQ(PARSE_HELP, h.result.outcome);
  EXPECT_EQ(1, h.params.debug);
  Parse h2({"-h", "-D"});
  EXPECT_EQ(PARSE_HELP, h2.result.outcome);
  EXPECT_EQ(0, h2.params.debug);
  Parse v({"-V"});
  EXPECT_EQ(PARSE_VERSION, v.result.outcome);
  Parse v2({"--version", "-e", "foo"});
  EXPECT_EQ(PARSE_VERSION, v2.result.outcome);
  Parse v3({"-e", "foo", "--version"});
  EXPECT_EQ(0u, v3.error().find("-e foo: unknown estimate mode"));
  // The parser's state is reset: the same options parse again alike.
  for (int i = 0; i < 3; i++) {
    Parse again({"-p", "a", "-c", "4K"});
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(4096u, again.params.chunk_size);
    EXPECT_EQ(1u, again.params.roots.size());
  }
}

TEST(ParseOpts, UsageText) {
  std::ostringstream os;
  write_usage(os);
  const std::string u = os.str();
  // Purpose, synopsis, options, examples, where to read more.
  EXPECT_EQ(0u, u.find("pelko estimates how far data would shrink"));
  EXPECT_NE(std::string::npos,
            u.find("\nUsage: pelko -p PATH [-p PATH ...] [options]\n"
                   "       pelko --merge EXPORT [EXPORT ...]"));
  // The descriptions as one line each.
  std::string joined = u;
  const std::string wrapped = "\n" + std::string(28, ' ');
  for (size_t at; (at = joined.find(wrapped)) != std::string::npos;)
    joined.replace(at, wrapped.size(), " ");
  EXPECT_NE(std::string::npos,
            joined.find("\n  -c, --chunk-size SIZE     unit of deduplication "
                        "and compression (default 16 KiB)\n"));
  EXPECT_NE(std::string::npos,
            joined.find("\n      --stop-at PERCENT     end the analysis once"));
  EXPECT_NE(std::string::npos,
            joined.find("(default " + std::to_string(2 * os_get_cpu_count()) +
                        ", twice the processors)"));
  // The advanced options with their descriptions, whatever the debug level.
  EXPECT_NE(std::string::npos,
            u.find("\nAdvanced options:\n  -b, --bucket-size SIZE    unit of "
                   "the reading plan"));
  EXPECT_NE(std::string::npos, u.find("\n  -A, --alpha ALPHA         "));
  EXPECT_NE(std::string::npos, u.find("\n  -D, --debug               "));
  EXPECT_NE(std::string::npos, u.find("\nExamples:\n  pelko -p /data\n"));
  EXPECT_NE(std::string::npos,
            u.find("\nMore in the manual page: man pelko\n"));
  // Two columns within 80: every description starts at column 28 or on a
  // line of its own there.
  size_t start = 0, n_lines = 0;
  while (start < u.size()) {
    size_t end = u.find('\n', start);
    const std::string l = u.substr(start, end - start);
    EXPECT_LE(l.size(), 80u) << l;
    EXPECT_EQ(std::string::npos, l.find('\t')) << l;
    if (l.compare(0, 3, "  -") == 0 || l.compare(0, 7, "      -") == 0) {
      const size_t gap = l.find("  ", l.find_first_not_of(' '));
      if (gap != std::string::npos) {
        EXPECT_EQ(28u, l.find_first_not_of(' ', gap)) << l;
      }
    }
    start = end + 1;
    n_lines++;
  }
  EXPECT_GT(n_lines, 40u);
}

}  // namespace
