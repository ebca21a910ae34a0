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
           "-M", "10G", "-T", "-5", "-o", "out.txt", "-A", "0.25", "-p", "a",
           "-p", "b", "-c", "16KB", "-DDD", "--debug=5"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ((std::vector<std::string>{"b", "a", "b"}), p.paths());
  EXPECT_EQ(16u, p.params.chunk_size);  // last -c wins; only "B" is looked at
  EXPECT_EQ(2u * 1048576, p.params.bucket_size);
  EXPECT_DOUBLE_EQ(0.05, p.params.report_freq);
  EXPECT_EQ(7, p.params.n_threads);
  EXPECT_EQ(10737418240u, p.params.memory_limit);
  EXPECT_EQ(8589934592u, p.params.scan_memory_limit);
  EXPECT_EQ(-5, p.params.scan_time_limit);
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
    EXPECT_EQ(std::string("Bad seed ") + bad, b.error());
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
  EXPECT_EQ("Bad fingerprint width 48 (32 or 64)", g.error());
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
  EXPECT_EQ("Unknown estimate mode foo", Parse({"-p", "x", "-e", "foo"}).error());
  EXPECT_EQ("Unknown estimate mode no-all",
            Parse({"-e", "no-all", "-c", "0"}).error());
}

TEST(ParseOpts, ValidationMessagesInOrder) {
  EXPECT_EQ("Missing input path", Parse({}).error());
  // A path without -p: where paths go.
  EXPECT_EQ("Missing input path\nInput paths are given with -p, as in: -p /data",
            Parse({"/data"}).error());
  EXPECT_EQ("Unexpected argument /b\nInput paths are given with -p, as in: -p /b",
            Parse({"-p", "/a", "/b", "-c", "0"}).error());
  EXPECT_EQ("Missing input path", Parse({"-c", "0", "-t", "0"}).error());
  EXPECT_EQ("chunk_size <= 0", Parse({"-p", "x", "-c", "0", "-b", "0"}).error());
  EXPECT_EQ("chunk_size <= 0", Parse({"-p", "x", "-c", "-1"}).error());
  EXPECT_EQ("chunk_size <= 0", Parse({"-p", "x", "-c", "-16K"}).error());
  EXPECT_EQ("chunk_size <= 0", Parse({"-p", "x", "-c", "nan"}).error());
  EXPECT_EQ("chunk_size <= 0", Parse({"-p", "x", "-c", "0.5"}).error());
  EXPECT_EQ("bucket_size <= 0", Parse({"-p", "x", "-b", "-5", "-r", "0"}).error());
  // A bucket must hold a chunk; equal sizes are fine.
  EXPECT_EQ("chunk_size > bucket_size",
            Parse({"-p", "x", "-c", "64K", "-b", "32K", "-r", "0"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "-c", "64K", "-b", "64K"}).ok());
  EXPECT_EQ("report_freq <= 0", Parse({"-p", "x", "-r", "0", "-t", "0"}).error());
  EXPECT_EQ("report_freq <= 0", Parse({"-p", "x", "-r", "-1"}).error());
  EXPECT_EQ("report_freq <= 0", Parse({"-p", "x", "-r", "nan"}).error());
  EXPECT_EQ("n_threads <= 0", Parse({"-p", "x", "-t", "0", "-A", "0"}).error());
  EXPECT_EQ("n_threads <= 0", Parse({"-p", "x", "-t", "-3"}).error());
  EXPECT_EQ("n_threads > 1024", Parse({"-p", "x", "-t", "1025"}).error());
  EXPECT_EQ("n_threads > 1024", Parse({"-p", "x", "-t", "1000000"}).error());
  // Would wrap to 1 through a 32-bit conversion.
  EXPECT_EQ("n_threads > 1024", Parse({"-p", "x", "-t", "4294967297"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "-t", "1024"}).ok());
  EXPECT_EQ("alpha <= 0", Parse({"-p", "x", "-A", "0", "-M", "-1"}).error());
  EXPECT_EQ("alpha <= 0", Parse({"-p", "x", "-A", "nan"}).error());
  EXPECT_EQ("memory_limit < 0", Parse({"-p", "x", "-M", "-1G"}).error());
  EXPECT_EQ("stop_at <= 0", Parse({"-p", "x", "--stop-at", "0"}).error());
  EXPECT_EQ("stop_at > 100", Parse({"-p", "x", "--stop-at", "100.5"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "--stop-at", "100"}).ok());
  EXPECT_EQ("time_limit < 0", Parse({"-p", "x", "--time-limit", "-1"}).error());
  EXPECT_EQ("time_limit < 0", Parse({"-p", "x", "--time-limit", "nan"}).error());
  EXPECT_EQ("max_rate < 0", Parse({"-p", "x", "--max-rate", "-1M"}).error());
  // A size or time with no number at all is named at once, whatever
  // follows: read as 0 it would switch a limit off.
  EXPECT_EQ("-M abc: not a number", Parse({"-M", "abc", "-c", "0"}).error());
  EXPECT_EQ("-T abc: not a number", Parse({"-p", "x", "-T", "abc"}).error());
  EXPECT_EQ("-c K: not a number", Parse({"-p", "x", "-c", "K"}).error());
  EXPECT_EQ("-b : not a number", Parse({"-p", "x", "--bucket_size="}).error());
  EXPECT_EQ("--max-rate fast: not a number",
            Parse({"-p", "x", "--max-rate", "fast"}).error());
  EXPECT_EQ("--time-limit  : not a number",
            Parse({"-p", "x", "--time-limit", " "}).error());
  EXPECT_EQ("--stop-at half: not a number",
            Parse({"-p", "x", "--stop-at=half"}).error());
  EXPECT_TRUE(Parse({"-p", "x", "-M", "-1G", "-M", "1G"}).ok());
  EXPECT_EQ("Bad option", Parse({"-p", "x", "-x"}).error());
  EXPECT_EQ("Bad option", Parse({"-p", "x", "-c"}).error());
  EXPECT_EQ("Bad option", Parse({"-p", "x", "--nope"}).error());
  EXPECT_EQ("Bad option", Parse({"-p", "x", "-D5"}).error());
}

TEST(ParseOpts, RecordFiles) {
  Parse p({"-p", "d", "--json", "r.json", "--csv", "r.csv", "--plot", "r.svg"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ("r.json", p.params.json_file);
  EXPECT_EQ("r.csv", p.params.csv_file);
  EXPECT_EQ("r.svg", p.params.plot_file);
  EXPECT_EQ("--plot needs a file name", Parse({"-p", "d", "--plot", ""}).error());
  // A merge writes them too.
  EXPECT_TRUE(Parse({"--merge", "a", "--json", "m.json", "--plot", "m.svg"}).ok());
}

TEST(ParseOpts, HugeSizesSaturate) {
  Parse p({"-p", "x", "-b", "1e300", "-M", "1e30T"});
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(SIZE_MAX, p.params.bucket_size);
  EXPECT_EQ(SIZE_MAX, p.params.memory_limit);
}

TEST(ParseOpts, ChunkSizeWithinWhatLz4Compresses) {
  const std::string limit = "chunk_size > 2113929216 (LZ4_MAX_INPUT_SIZE)";
  Parse at({"-p", "x", "-c", "2113929216", "-b", "2113929216"});
  ASSERT_TRUE(at.ok()) << at.error();
  EXPECT_EQ(2113929216u, at.params.chunk_size);
  EXPECT_EQ(limit, Parse({"-p", "x", "-c", "2113929217"}).error());
  EXPECT_EQ(limit, Parse({"-p", "x", "-c", "2G"}).error());
  EXPECT_EQ(limit, Parse({"-p", "x", "-c", "1e300", "-t", "0"}).error());
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
  EXPECT_EQ("Unknown estimate mode foo", v3.error());
  // The parser's state is reset: the same options parse again alike.
  for (int i = 0; i < 3; i++) {
    Parse again({"-p", "a", "-c", "4K"});
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(4096u, again.params.chunk_size);
    EXPECT_EQ(1u, again.params.roots.size());
  }
}

TEST(ParseOpts, UsageText) {
  std::ostringstream basic, advanced;
  basic << std::fixed;
  basic.precision(3);
  advanced << std::fixed;
  advanced.precision(3);
  write_usage(basic, 0, "prog");
  write_usage(advanced, 1, "prog");
  const std::string b = basic.str(), a = advanced.str();
  EXPECT_EQ(0u, b.find("Usage:\nprog\n\t  --path        | -p <path> "
                       "[-p <path> ...]\t\t\t\tOne or more input paths.\n"));
  EXPECT_NE(std::string::npos,
            b.find("\t [--chunk_size  | -c <chunk_size>]\t\t\t\t\t"
                   "Chunk size. Default=16.000 KiB.\n"));
  EXPECT_NE(std::string::npos,
            b.find("Report frequency in percents. Default=1.000.\n"));
  std::string threads = "Number of threads. Default=2*number_of_cpus (" +
                        std::to_string(2 * os_get_cpu_count()) +
                        "). Maximum=1024.\n";
  EXPECT_NE(std::string::npos, b.find(threads));
  EXPECT_NE(std::string::npos,
            b.find("Scan time limit in seconds. Default=3600. Set 0 for no "
                   "limit.\n"));
  EXPECT_NE(std::string::npos,
            b.find("\t [--help        | -h]\n\t [--version     | -V]\n"
                   "prog\n\t  --merge <file> [<file> ...]\t\t\t\t\t\t"
                   "One estimate for the data of several runs, from their "
                   "exports.\n"
                   "\t [--out         | -o <outfile>]\t\t\t\t\t\tOutput "
                   "file.\n"
                   "\t [--json <file>] [--csv <file>] [--plot <file.svg>]"
                   "\t\t\tAs above, for the merged estimate.\n\n"
                   "Size parameters accept suffixes K(KiB), M(MiB), G(GiB), "
                   "T(TiB).\n\n"));
  EXPECT_EQ(std::string::npos, b.find("bucket_size"));
  EXPECT_EQ(std::string::npos, b.find("alpha"));
  EXPECT_NE(std::string::npos,
            a.find("\t [--out         | -o <outfile>]\t\t\t\t\t\tOutput file.\n"
                   "\t [--seed <n>]\t\t\t\t\t\t\t\tSeed of the reading order. "
                   "Default: the same order every run.\n"
                   "\t [--stop-at <percent>]\t\t\t\t\t\t\tStop the analysis "
                   "when this share of the data is analysed.\n"
                   "\t [--time-limit <seconds>]\t\t\t\t\t\tAnalysis time "
                   "limit in seconds. Default=none.\n"
                   "\t [--max-rate <size>]\t\t\t\t\t\t\tReading limit in "
                   "bytes per second, all threads together. Default=none.\n"
                   "\t [--keep-cache]\t\t\t\t\t\t\t\tLeave the data read "
                   "in the page cache. Default=drop what was not cached "
                   "before.\n"
                   "\t [--fingerprint <32|64>]\t\t\t\t\t\tBits that tell "
                   "chunks apart for dedupe. Default=32.\n"
                   "\t [--export <file>]\t\t\t\t\t\t\tWrite the run's "
                   "sample to this file at its end, for --merge.\n"
                   "\t [--json <file>]\t\t\t\t\t\t\tWrite the parameters, "
                   "rows and summary as JSON Lines.\n"
                   "\t [--csv <file>]\t\t\t\t\t\t\t\tWrite the report rows "
                   "as CSV.\n"
                   "\t [--plot <file.svg>]\t\t\t\t\t\t\tDraw the estimates "
                   "against progress as an SVG chart.\n"
                   "\t [--bucket_size | -b <bucket_size=1024.000 KiB>]\n"
                   "\t [--alpha       | -A <alpha=0.500>]\n"
                   "\t [--debug       | -D[D[D]]]\n"
                   "\t [--help        | -h]\n"));
}

}  // namespace
