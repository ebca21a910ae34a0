#include <math.h>

#include <string>

#include "format.h"
#include "gtest/gtest.h"
#include "pelko_assert.h"
#include "types.h"

namespace {

TEST(CapacityToStr, UnitBoundaries) {
  EXPECT_EQ("0", capacity_to_str(0));
  EXPECT_EQ("4096", capacity_to_str(4096));
  EXPECT_EQ("16383", capacity_to_str(16383));
  EXPECT_EQ("16.000 KiB", capacity_to_str(16384));
  EXPECT_EQ("1024.000 KiB", capacity_to_str(1048576));
  EXPECT_EQ("2047.999 KiB", capacity_to_str(2097151));
  EXPECT_EQ("2.000 MiB", capacity_to_str(2097152));
  EXPECT_EQ("2048.000 MiB", capacity_to_str(2147483647));
  EXPECT_EQ("2.000 GiB", capacity_to_str(2147483648ULL));
  EXPECT_EQ("10.000 GiB", capacity_to_str(10737418240ULL));
  EXPECT_EQ("2048.000 GiB", capacity_to_str(2199023255551ULL));
  EXPECT_EQ("2.000 TiB", capacity_to_str(2199023255552ULL));
  EXPECT_EQ("1536", capacity_to_str(1536));
  EXPECT_EQ("16777216.000 TiB", capacity_to_str(SIZE_MAX));
}

TEST(MemoryToStr, AlwaysGiB) {
  EXPECT_EQ("0.000 GiB", memory_to_str(0, (size_t)-1));
  EXPECT_EQ("1.000 GiB", memory_to_str(1073741824, (size_t)-1));
  EXPECT_EQ("0.001 GiB", memory_to_str(1048576, (size_t)-1));
  EXPECT_EQ("0.500 (1.000) GiB", memory_to_str(536870912, 1073741824));
  EXPECT_EQ("0.000 (0.000) GiB", memory_to_str(0, 0));
  EXPECT_EQ("2048.000 GiB", memory_to_str(2199023255552ULL, (size_t)-1));
}

TEST(StrsizeToBytes, UnitsArePowersOf1024) {
  EXPECT_EQ(16, strsize_to_bytes("16"));
  EXPECT_EQ(16, strsize_to_bytes("16B"));
  for (const char* k : {"16K", "16k", "16KB", "16kb", "16KiB", "16kib", "16Kib"})
    EXPECT_EQ(16384, strsize_to_bytes(k)) << k;
  EXPECT_EQ(512, strsize_to_bytes("0.5k"));
  EXPECT_EQ(1048576, strsize_to_bytes("1M"));
  EXPECT_EQ(10485760, strsize_to_bytes("10MB"));
  EXPECT_EQ(1610612736, strsize_to_bytes("1.5GiB"));
  EXPECT_EQ(1073741824, strsize_to_bytes("  1g"));
  EXPECT_EQ(2199023255552.0, strsize_to_bytes("2t"));
  EXPECT_EQ(2199023255552.0, strsize_to_bytes("2TB"));
  EXPECT_EQ(2000, strsize_to_bytes("2e3"));
  EXPECT_EQ(2048000, strsize_to_bytes("2e3K"));
  EXPECT_EQ(-1024, strsize_to_bytes("-1K"));
  EXPECT_EQ(0, strsize_to_bytes("0"));
  // Anything else is no size at all, rather than a number it happens to
  // start with.
  for (const char* bad : {"", "K", "abc", "12X", "2K junk K", "16KX", "16KiBs",
                          "16 K", "16K ", "1e", "0x10", "nan", "inf",
                          "infinity", "-", ".", "1e999", "16iB", "16BB"})
    EXPECT_TRUE(isnan(strsize_to_bytes(bad))) << "\"" << bad << "\"";
}

TEST(ParseNumber, WholeArgumentOnly) {
  double v = -1;
  EXPECT_TRUE(parse_number("5", &v));
  EXPECT_EQ(5, v);
  EXPECT_TRUE(parse_number(" -2.5e1", &v));
  EXPECT_EQ(-25, v);
  EXPECT_TRUE(parse_number(".5", &v));
  EXPECT_EQ(0.5, v);
  v = 7;
  for (const char* bad : {"", " ", "5x", "5 ", "0x10", "nan", "inf", "K", "1e999"})
    EXPECT_FALSE(parse_number(bad, &v)) << "\"" << bad << "\"";
  EXPECT_EQ(7, v);  // left alone on failure
}

TEST(SizeText, AsAPersonWritesIt) {
  EXPECT_EQ("0 bytes", size_text(0));
  EXPECT_EQ("1 byte", size_text(1));
  EXPECT_EQ("1023 bytes", size_text(1023));
  EXPECT_EQ("1 KiB", size_text(1024));
  EXPECT_EQ("3 KiB", size_text(3072));
  EXPECT_EQ("1.5 MiB", size_text(1572864));
  EXPECT_EQ("1 MiB", size_text(1048576));
  EXPECT_EQ("1.969 GiB", size_text(2113929216));
  EXPECT_EQ("2 TiB", size_text(2199023255552ULL));
  EXPECT_EQ("2048 TiB", size_text(2048 * 1099511627776ULL));
}

TEST(CompactText, CutAndElapsed) {
  EXPECT_EQ("abc", cut_to_width("abc", 5));
  EXPECT_EQ("ab", cut_to_width("abc", 2));
  EXPECT_EQ("abc", cut_to_width("abc", 0));  // width unknown: unchanged
  // Never inside a UTF-8 sequence: "é" is two bytes.
  EXPECT_EQ("a", cut_to_width("a\xc3\xa9z", 2));
  EXPECT_EQ("a\xc3\xa9", cut_to_width("a\xc3\xa9z", 3));
  EXPECT_EQ("0s", elapsed_text(0));
  EXPECT_EQ("59s", elapsed_text(59));
  EXPECT_EQ("1m00s", elapsed_text(60));
  EXPECT_EQ("59m59s", elapsed_text(3599));
  EXPECT_EQ("1h00m00s", elapsed_text(3600));
  EXPECT_EQ("26h03m04s", elapsed_text(26 * 3600 + 184));
}

TEST(EtaToStr, UnitsAndRounding) {
  EXPECT_EQ("ETA 0s", eta_to_str(0));
  EXPECT_EQ("ETA 1s", eta_to_str(0.2));  // rounded up: never "0s" too early
  EXPECT_EQ("ETA 59s", eta_to_str(59));
  EXPECT_EQ("ETA 1m00s", eta_to_str(59.5));
  EXPECT_EQ("ETA 5m07s", eta_to_str(307));
  EXPECT_EQ("ETA 59m59s", eta_to_str(3599));
  EXPECT_EQ("ETA 1h00m", eta_to_str(3600));
  EXPECT_EQ("ETA 1h02m", eta_to_str(3661));  // minutes rounded up
  EXPECT_EQ("ETA 23h59m", eta_to_str(86340));
  EXPECT_EQ("ETA 1d00h", eta_to_str(86399));
  EXPECT_EQ("ETA 3d04h", eta_to_str(3 * 86400 + 3 * 3600 + 1));
  EXPECT_EQ("ETA unknown", eta_to_str(-1));
  EXPECT_EQ("ETA unknown", eta_to_str(NAN));
  EXPECT_EQ("ETA unknown", eta_to_str(INFINITY));
}

TEST(Format, DevtypeNamesAndPaths) {
  EXPECT_STREQ("unknown", DEVTYPE_TO_STR[DEVTYPE_UNKNOWN]);
  EXPECT_STREQ("block device", DEVTYPE_TO_STR[DEVTYPE_BLOCK]);
  EXPECT_STREQ("file system", DEVTYPE_TO_STR[DEVTYPE_FILESYSTEM]);
  EXPECT_STREQ("directory", DEVTYPE_TO_STR[DEVTYPE_DIRECTORY]);
  EXPECT_STREQ("single file", DEVTYPE_TO_STR[DEVTYPE_FILE]);
  EXPECT_STREQ("char device", DEVTYPE_TO_STR[DEVTYPE_CHR]);
  EXPECT_STREQ("fifo file", DEVTYPE_TO_STR[DEVTYPE_FIFO]);
  EXPECT_STREQ("symbolic link", DEVTYPE_TO_STR[DEVTYPE_LNK]);
  EXPECT_STREQ("socket", DEVTYPE_TO_STR[DEVTYPE_SOCK]);
  // Paths are bytes: invalid UTF-8 survives unchanged.
  EXPECT_EQ(std::string("/tmp/\xff\xfe"), chars_to_tstring("/tmp/\xff\xfe"));
}

// Text from another host: controls (C0, DEL, C1 in UTF-8) and backslashes
// escaped, everything else, other UTF-8 and invalid bytes included, kept.
TEST(Format, ControlCharactersEscaped) {
  EXPECT_EQ("plain host-1", escape_controls("plain host-1"));
  EXPECT_EQ("\\x1b]0;x\\x07\\x1b[2J", escape_controls("\x1b]0;x\x07\x1b[2J"));
  EXPECT_EQ("a\\x0ab\\x09c\\x7f\\x5c", escape_controls("a\nb\tc\x7f\\"));
  EXPECT_EQ("\\xc2\\x9b31m", escape_controls("\xc2\x9b" "31m"));  // CSI, U+009B
  EXPECT_EQ("caf\xc3\xa9 \xc2\xa0 \xff", escape_controls("caf\xc3\xa9 \xc2\xa0 \xff"));
  EXPECT_EQ("\\x00", escape_controls(std::string(1, '\0')));
}

TEST(FormatDeathTest, AssertionNamesConditionModuleAndLine) {
  int one = 1;
  // The exact line: no character classes, which the regular expressions of
  // GoogleTest on Windows lack.
  const std::string want = "Assertion failed: one == 2, module format_test, line " +
                           std::to_string(__LINE__ + 1);
  EXPECT_DEATH(PELKO_ASSERT(one == 2), want);
  PELKO_ASSERT(one == 1);  // a true condition does nothing
}

}  // namespace
