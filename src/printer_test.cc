#include "printer.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class PrinterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelko_printer_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    path_ = dir_ + "/report.txt";
    console_ << std::fixed << std::setprecision(3);
    p_.set_console(&console_);
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  std::string dir_, path_;
  std::ostringstream console_;
  Printer p_;
};

TEST_F(PrinterTest, ConsoleOnlyWithoutFile) {
  p_.set_to_file(true);  // no file: stays console-only
  p_ << "a" << 1 << ' ' << 0.5 << std::endl;
  EXPECT_EQ("a1 0.500\n", console_.str());
  EXPECT_FALSE(p_.file_failed());
}

TEST_F(PrinterTest, MirrorsWithFileFormatForDoubles) {
  p_.open(path_);
  p_ << "report_freq: " << 1.0 << "%" << std::endl;
  p_ << 0.5 << " " << 12.3456789 << " " << 1234567.0 << std::endl;
  p_ << std::string("s") << " " << 42u << " " << -7LL << " " << true
     << std::endl;
  p_.set_to_file(false);
  p_ << "console only" << std::endl;
  p_.console() << '\r';
  p_.set_to_file(true);
  p_ << "both" << std::endl;
  EXPECT_EQ(
      "report_freq: 1.000%\n0.500 12.346 1234567.000\ns 42 -7 1\n"
      "console only\n\rboth\n",
      console_.str());
  EXPECT_EQ("report_freq: 1%\n0.5 12.3457 1.23457e+06\ns 42 -7 1\nboth\n",
            read_file(path_));
  EXPECT_FALSE(p_.file_failed());
}

// File-only output (the full layout beside a compact console), and
// warnings: printed, echoed on stderr only when that is elsewhere, and
// kept once each for the summary.
TEST_F(PrinterTest, FileOnlyAndWarnings) {
  p_.open(path_);
  p_.set_to_console(false);
  p_ << "file only" << std::endl;
  p_.set_console_is_terminal(true);
  p_.start_console_line();  // console-only by nature: nothing anywhere
  p_.set_to_console(true);
  p_ << "both" << std::endl;
  EXPECT_EQ("both\n", console_.str());
  EXPECT_EQ("file only\nboth\n", read_file(path_));

  console_.str("");
  p_.set_warnings_to_stderr(true);
  testing::internal::CaptureStderr();
  p_.warning("WARNING: one.", "note one");
  p_.echo_warning("WARNING: two, said elsewhere.", "note two");
  p_.warning("WARNING: one.", "note one");  // the summary says it once
  p_.warning("WARNING: no note.");
  p_.set_warnings_to_stderr(false);
  p_.warning("WARNING: console only.");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("WARNING: one.\nWARNING: two, said elsewhere.\nWARNING: one.\n"
            "WARNING: no note.\n",
            err);
  EXPECT_EQ("WARNING: one.\nWARNING: one.\nWARNING: no note.\n"
            "WARNING: console only.\n",
            console_.str());
  EXPECT_EQ((std::vector<std::string>{"note one", "note two"}),
            p_.summary_notes());
  p_.clear_summary_notes();
  EXPECT_TRUE(p_.summary_notes().empty());
}

TEST_F(PrinterTest, OpenTruncatesExistingFile) {
  {
    std::ofstream old(path_);
    old << "old contents that are longer than the new ones\n";
  }
  p_.open(path_);
  p_ << "new" << std::endl;
  EXPECT_EQ("new\n", read_file(path_));
}

// Deferred, the file's part of the report is kept until open(), which
// writes it first; a file never opened is never created.
TEST_F(PrinterTest, DeferredFileGetsEverythingOnceOpened) {
  {
    std::ofstream old(path_);
    old << "kept until the open\n";
  }
  p_.defer_file();
  p_ << "echo " << 0.5 << std::endl;
  p_.set_to_file(false);
  p_ << "console only" << std::endl;
  p_.set_to_file(true);
  EXPECT_EQ("kept until the open\n", read_file(path_));
  p_.open(path_);
  p_ << "after" << std::endl;
  EXPECT_EQ("echo 0.5\nafter\n", read_file(path_));
  EXPECT_EQ("echo 0.500\nconsole only\nafter\n", console_.str());

  Printer q;
  std::ostringstream con;
  q.set_console(&con);
  q.defer_file();
  q << "never written" << std::endl;
  EXPECT_EQ(0, q.close_file());
  EXPECT_EQ("never written\n", con.str());
}

TEST_F(PrinterTest, WriteFailureIsDetected) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  p_.open("/dev/full");
  EXPECT_FALSE(p_.file_failed());
  p_ << "lost" << std::endl;
  EXPECT_TRUE(p_.file_failed());
  EXPECT_EQ("lost\n", console_.str());
}

TEST_F(PrinterTest, ConsoleFailureIsDetectedWithItsCause) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  std::ofstream full("/dev/full");
  p_.open(path_);
  p_.set_console(&full);
  EXPECT_FALSE(p_.console_failed());
  p_ << "row " << 1 << std::endl;
  EXPECT_TRUE(p_.console_failed());
  EXPECT_EQ(ENOSPC, p_.console_error());
  errno = 0;
  p_ << "more" << std::endl;  // the cause stays that of the first failure
  EXPECT_EQ(ENOSPC, p_.console_error());
  // The report file still gets everything; closing it succeeds, and output
  // goes to the console only afterwards.
  EXPECT_EQ(0, p_.close_file());
  EXPECT_FALSE(p_.file_failed());
  p_ << "after" << std::endl;
  EXPECT_EQ("row 1\nmore\n", read_file(path_));
  EXPECT_EQ(0, p_.close_file());
}

TEST_F(PrinterTest, OpenFailureExits) {
  std::string bad = dir_ + "/missing/report.txt";
  EXPECT_EXIT(p_.open(bad), ::testing::ExitedWithCode(1),
              "ERROR: open\\(" + bad + "\\) failed, No such file or directory");
}

TEST_F(PrinterTest, OpenTwiceIsAnInvariantViolation) {
  p_.open(path_);
  EXPECT_DEATH(p_.open(path_), "!m_fstream.is_open\\(\\)");
}

}  // namespace
