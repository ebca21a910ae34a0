#include "summary.h"

#include <math.h>

#include <string>

#include "gtest/gtest.h"
#include "options.h"
#include "types.h"

namespace {

const size_t K = 16384;

// 1000 chunks of 16 KiB in the plan plus 1 MiB of tails, all analysed:
// 100 zero chunks; every chunk compressed (as without dedupe) to half, an
// all-zero one to 100 bytes.
summary_input_t input(int mask) {
  summary_input_t in;
  in.total_size = 1000 * K + ONE_MB;
  in.reductible_size = 1000 * K;
  in.total_files = 7;
  in.scan_stopped = false;
  in.unread_size = in.unread_files = 0;
  in.chunk_size = K;
  in.n_data_chunks = 900;
  in.n_zero_chunks = 100;
  in.progress = 1.0;
  in.estimate_mask = mask;
  in.r = 3.0;
  in.r_low = 2.0;
  in.r_high = 4.0;
  in.zero_chunk_compressed = 100;
  in.uncompressed_size = 1000 * K;
  in.compressed_size = 900 * K / 2 + 100 * 100;
  return in;
}

TEST(Summary, StagesUnderEachMask) {
  const double tails = ONE_MB, whole = 1000 * K, total = whole + tails;
  {
    // Zero chunks in the dedupe: the zero content is one of the distinct
    // chunks, and the first zero chunk the only one compressed.
    summary_input_t in = input(-1);
    in.uncompressed_size = 334 * K;  // the misses: 333 distinct + the zero one
    in.compressed_size = 333 * K / 4 + 100;
    const summary_t s = compute_summary(in);
    EXPECT_DOUBLE_EQ(s.tail_share, tails / total);
    EXPECT_DOUBLE_EQ(s.after_zeros.value, 900 * K + tails);
    EXPECT_EQ(s.after_zeros.at_low, -1.0);
    EXPECT_DOUBLE_EQ(s.after_dedupe.value, whole / 3 - K + tails);
    EXPECT_DOUBLE_EQ(s.after_dedupe.at_low, whole / 2 - K + tails);
    EXPECT_DOUBLE_EQ(s.after_dedupe.at_high, whole / 4 - K + tails);
    // C over the non-zero misses: 4.
    EXPECT_DOUBLE_EQ(s.after_compress.value, (whole / 3 - K) / 4 + tails);
    EXPECT_DOUBLE_EQ(s.after_compress.at_high, (whole / 4 - K) / 4 + tails);
    EXPECT_DOUBLE_EQ(s.ratio.value, total / s.after_compress.value);
    EXPECT_DOUBLE_EQ(s.ratio.at_low, total / s.after_compress.at_low);
  }
  {
    // Zero chunks left out of the dedupe and never compressed.
    summary_input_t in = input(ESTIMATE_DEDUPE | ESTIMATE_COMPRESS);
    in.uncompressed_size = 300 * K;
    in.compressed_size = 300 * K / 2;
    const summary_t s = compute_summary(in);
    EXPECT_DOUBLE_EQ(s.after_dedupe.value, 900 * K / 3.0 + tails);
    EXPECT_DOUBLE_EQ(s.after_compress.value, 900 * K / 3.0 / 2 + tails);
  }
  {
    // Dedupe alone: the reduction ends there.
    const summary_t s = compute_summary(input(ESTIMATE_DEDUPE));
    EXPECT_EQ(s.after_compress.value, -1.0);
    EXPECT_DOUBLE_EQ(s.ratio.value, total / (900 * K / 3.0 + tails));
    EXPECT_DOUBLE_EQ(s.ratio.at_high, total / (900 * K / 4.0 + tails));
  }
  {
    // Compression alone: every chunk compressed, zero ones at 100 bytes.
    const summary_t s = compute_summary(input(ESTIMATE_COMPRESS));
    EXPECT_EQ(s.after_dedupe.value, -1.0);
    EXPECT_DOUBLE_EQ(s.after_compress.value, 900 * K / 2.0 + tails);
    EXPECT_EQ(s.after_compress.at_low, -1.0);
  }
  {
    // Neither: zero removal is all there is.
    const summary_t s = compute_summary(input(0));
    EXPECT_DOUBLE_EQ(s.ratio.value, total / (900 * K + tails));
  }
}

TEST(Summary, MissingAndUnorderedBounds) {
  summary_input_t in = input(ESTIMATE_DEDUPE);
  // No bound on one side: that figure has none either, the other stays.
  in.r_low = -1.0;
  summary_t s = compute_summary(in);
  EXPECT_EQ(s.after_dedupe.at_low, -1.0);
  EXPECT_EQ(s.ratio.at_low, -1.0);
  EXPECT_GT(s.after_dedupe.at_high, 0);
  // Bounds are used as given, even when they do not enclose the estimate.
  in.r_low = 5.0;
  in.r_high = 1.5;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(s.after_dedupe.at_low, 900 * K / 5.0 + ONE_MB);
  EXPECT_DOUBLE_EQ(s.after_dedupe.at_high, 900 * K / 1.5 + ONE_MB);
  // No estimate at all.
  in.r = in.r_low = in.r_high = -1.0;
  s = compute_summary(in);
  EXPECT_EQ(s.after_dedupe.value, -1.0);
  EXPECT_EQ(s.ratio.value, -1.0);
  // Nothing analysed: nothing to say.
  in = input(-1);
  in.n_data_chunks = in.n_zero_chunks = 0;
  s = compute_summary(in);
  EXPECT_EQ(s.after_zeros.value, -1.0);
  EXPECT_EQ(s.ratio.value, -1.0);
  // Only zero chunks and no tails: nothing is left to store.
  in = input(-1);
  in.total_size = in.reductible_size;
  in.n_data_chunks = 0;
  in.n_zero_chunks = 1000;
  in.r = 1000.0;
  in.uncompressed_size = K;
  in.compressed_size = 100;
  s = compute_summary(in);
  EXPECT_EQ(s.after_zeros.value, 0.0);
  EXPECT_EQ(s.after_dedupe.value, 0.0);
  EXPECT_EQ(s.after_compress.value, 0.0);
  EXPECT_TRUE(isinf(s.ratio.value));
}

TEST(Summary, Text) {
  summary_input_t in = input(-1);
  in.uncompressed_size = 334 * K;
  in.compressed_size = 333 * K / 4 + 100;
  in.r_high = -1.0;
  std::string text = format_summary(in, compute_summary(in));
  // Ranges not closed: the estimate, the pessimistic and the optimistic
  // value, each line in one unit.
  EXPECT_EQ(text,
            "SUMMARY: complete run\n"
            "logical size:                  16.625 MiB in 7 files\n"
            "analysed:                      15.625 of 15.625 MiB in whole "
            "chunks, 100.000%\n"
            "file tails:                    1.000 MiB (6.015%), counted as "
            "stored\n"
            "unreadable:                    none\n"
            "                               estimate      pessimistic   "
            "optimistic\n"
            "after zeros:                   15.062 MiB\n"
            "after dedupe:                  6.193         8.797 MiB\n"
            "after compress:                2.298         2.949 MiB\n"
            "physical size after reduction: 2.298         2.949 MiB\n"
            "space saved:                   86.176        82.260 %\n"
            "reduction ratio:               7.234         5.637\n");
  // Closed: one column.
  in.r_low = in.r_high = in.r;
  text = format_summary(in, compute_summary(in));
  EXPECT_NE(text.find("unreadable:                    none\n"
                      "after zeros:                   15.062 MiB\n"
                      "after dedupe:                  6.193 MiB\n"
                      "after compress:                2.298 MiB\n"
                      "physical size after reduction: 2.298 MiB\n"
                      "space saved:                   86.176 %\n"
                      "reduction ratio:               7.234\n"),
            std::string::npos)
      << text;

  // Stopped early, from a stopped scan, with unread files, many tails,
  // nothing but a high bound and no compression selected.
  in = input(ESTIMATE_DEDUPE);
  in.stop_reason = "interrupted by SIGINT";
  in.progress = 0.51234;
  in.n_data_chunks = 450;
  in.n_zero_chunks = 50;
  in.scan_stopped = true;
  in.total_size = 2000 * K;
  in.unread_files = 2;
  in.unread_size = 3 * K;
  in.r = -1.0;
  in.r_low = -1.0;
  in.warnings = {"the memory limit (-M) was reached", "x is given twice"};
  text = format_summary(in, compute_summary(in));
  EXPECT_NE(text.find("SUMMARY: interrupted by SIGINT at 51.234% of the plan\n"
                      "warning:                       the memory limit (-M) "
                      "was reached\n"
                      "warning:                       x is given twice\n"
                      "logical size:                  31.250 MiB as probed; "
                      "the scan was cut short\n"
                      "analysed:                      7.812 of 15.625 MiB in "
                      "whole chunks, 51.234%\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nhint:                          many files end in a "
                      "tail shorter than a chunk: a smaller -c (for example "
                      "-c 4K)"),
            std::string::npos);
  // The example is smaller than the chunk, whatever its size.
  for (size_t c : {(size_t)64 << 10, (size_t)4 << 10, (size_t)1}) {
    summary_input_t other = in;
    other.chunk_size = c;
    const std::string t = format_summary(other, compute_summary(other));
    const size_t at = t.find("(for example -c ");
    if (c == 1) {
      EXPECT_EQ(t.find("\nhint:"), std::string::npos) << t;
    } else {
      ASSERT_NE(at, std::string::npos) << t;
      EXPECT_EQ(t.substr(at, 21), c == 4096 ? "(for example -c 2K) a"
                                             : "(for example -c 4K) a");
    }
  }
  EXPECT_NE(text.find("\nunreadable:                    2 files, 48.000 KiB "
                      "unread (see the ERROR lines)\n"),
            std::string::npos);
  // Directories not walked are no "none", alone or beside unread files.
  in.skipped_dirs = 3;
  EXPECT_NE(format_summary(in, compute_summary(in))
                .find("\nunreadable:                    2 files, 48.000 KiB "
                      "unread; 3 directories not walked: their files are in "
                      "no figure (see the ERROR lines)\n"),
            std::string::npos);
  in.unread_files = in.unread_size = 0;
  in.skipped_dirs = 1;
  EXPECT_NE(format_summary(in, compute_summary(in))
                .find("\nunreadable:                    1 directory not "
                      "walked: their files are in no figure (see the ERROR "
                      "lines)\n"),
            std::string::npos);
  in.unread_files = 2;
  in.unread_size = 3 * K;
  in.skipped_dirs = 0;
  EXPECT_NE(text.find("\nafter dedupe:                  -                   "
                      "        19.141 MiB\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nafter compress:                not estimated (-e)\n"),
            std::string::npos);
  in.r_high = -1.0;
  text = format_summary(in, compute_summary(in));
  EXPECT_NE(text.find("\nafter dedupe:                  no estimate\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nphysical size after reduction: no estimate\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nreduction ratio:               no estimate\n"),
            std::string::npos);
  // Every line fits 80 columns, but for the notes.
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    const std::string l = text.substr(at, end - at);
    if (l.compare(0, 8, "warning:") != 0 && l.compare(0, 5, "hint:") != 0) {
      EXPECT_LE(l.size(), 80u) << l;
    }
  }
}

// An array keeps a chunk that does not compress as it is: random data
// (LZ4 output a little larger than its input) comes to its own size, never
// more, while the compression ratio of the rows keeps its definition.
TEST(Summary, IncompressibleChunksAreStoredAsTheyAre) {
  summary_input_t in = input(ESTIMATE_COMPRESS);
  in.n_data_chunks = 1000;
  in.n_zero_chunks = 0;
  in.uncompressed_size = 1000 * K;
  in.compressed_size = 1000 * (K + 70);  // what LZ4 makes of random bytes
  in.stored_size = 1000 * K;
  summary_t s = compute_summary(in);
  EXPECT_DOUBLE_EQ(1.0, s.compress_ratio);
  EXPECT_DOUBLE_EQ((double)in.total_size, s.physical.value);
  EXPECT_DOUBLE_EQ(0.0, s.space_saved.value);
  EXPECT_DOUBLE_EQ(1.0, s.ratio.value);
  // Half of the chunks compress to a quarter, half not at all.
  in.compressed_size = 500 * (K + 70) + 500 * K / 4;
  in.stored_size = 500 * K + 500 * K / 4;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(1000.0 / 625.0, s.compress_ratio);
  // Without the per-chunk figure, the total is held to the input's size.
  in.stored_size = 0;
  in.compressed_size = 1000 * (K + 70);
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(1.0, s.compress_ratio);
  EXPECT_LE(s.physical.value, (double)in.total_size);
  // With zero chunks among those compressed, an all-zero chunk is taken
  // out at what it is stored as.
  in = input(ESTIMATE_COMPRESS);
  in.stored_size = 900 * K / 2 + 100 * 100;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(2.0, s.compress_ratio);
}

// Ranges of the compression ratio and the zero share widen every figure
// they enter: the low bounds give the pessimistic (larger) sizes, the high
// bounds the optimistic ones; a side without a range is the estimate.
TEST(Summary, RangesOfEveryInput) {
  const double tails = ONE_MB, whole = 1000 * K, total = whole + tails;
  summary_input_t in = input(ESTIMATE_COMPRESS);
  in.stored_size = in.compressed_size;
  summary_t s = compute_summary(in);
  EXPECT_EQ(-1.0, s.after_compress.at_low);  // no input has a range
  in.z_low = 0.05;
  in.z_high = 0.2;
  in.c_low = 1.5;
  in.c_high = 3;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(whole * 0.95 + tails, s.after_zeros.at_low);
  EXPECT_DOUBLE_EQ(whole * 0.8 + tails, s.after_zeros.at_high);
  EXPECT_DOUBLE_EQ(whole * 0.95 / 1.5 + tails, s.after_compress.at_low);
  EXPECT_DOUBLE_EQ(whole * 0.8 / 3 + tails, s.after_compress.at_high);
  EXPECT_DOUBLE_EQ(s.after_compress.at_low, s.physical.at_low);
  EXPECT_DOUBLE_EQ(total / s.physical.at_low, s.ratio.at_low);
  EXPECT_DOUBLE_EQ(1 - s.physical.at_high / total, s.space_saved.at_high);
  EXPECT_FALSE(s.exact);
  // Only an optimistic side of the compression ratio.
  in.z_low = in.z_high = in.c_low = -1;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(s.after_compress.value, s.after_compress.at_low);
  EXPECT_DOUBLE_EQ(whole * 0.9 / 3 + tails, s.after_compress.at_high);
  // With dedupe, all three enter the pessimistic figure.
  in = input(ESTIMATE_DEDUPE | ESTIMATE_COMPRESS);
  in.uncompressed_size = 300 * K;
  in.compressed_size = in.stored_size = 300 * K / 2;
  in.z_low = 0.05;
  in.c_low = 1.5;
  s = compute_summary(in);
  EXPECT_DOUBLE_EQ(whole * 0.95 / 2 / 1.5 + tails, s.after_compress.at_low);
  EXPECT_DOUBLE_EQ(whole * 0.9 / 4 / 2 + tails, s.after_compress.at_high);
}

// One column only when every figure is exact: a complete run whose ranges
// have all closed on their estimates.
TEST(Summary, ExactOnlyWhenCompleteAndClosed) {
  summary_input_t in = input(-1);
  in.r_low = in.r_high = in.r;
  EXPECT_TRUE(compute_summary(in).exact);
  in.z_low = in.z_high = 0.1;
  in.c_low = in.c_high = compute_summary(in).compress_ratio;
  EXPECT_TRUE(compute_summary(in).exact);
  summary_input_t open = in;
  open.c_high *= 1.01;
  EXPECT_FALSE(compute_summary(open).exact);
  open = in;
  open.r_high = -1;
  EXPECT_FALSE(compute_summary(open).exact);
  open = in;
  open.stop_reason = "stopped by --stop-at 100";
  EXPECT_FALSE(compute_summary(open).exact);
  open = in;
  open.scan_stopped = true;
  EXPECT_FALSE(compute_summary(open).exact);
  open = in;
  open.unread_files = 1;
  EXPECT_FALSE(compute_summary(open).exact);
  open = in;
  open.progress = 0.99;
  EXPECT_FALSE(compute_summary(open).exact);
  // Dedupe off: nothing else to close.
  in = input(ESTIMATE_COMPRESS);
  EXPECT_TRUE(compute_summary(in).exact);
}

}  // namespace
