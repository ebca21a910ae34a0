#include "printer.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "interrupt.h"
#include "os.h"
#include "pelko_assert.h"

Printer printer;

Printer::Printer()
    : m_file(&m_fstream),
      m_deferred(false),
      m_to_file(false),
      m_to_console(true),
      m_console(&std::cout),
      m_console_errno(0),
      m_console_noted(false),
      m_console_terminal(os_stdout_is_terminal()),
      m_compact(true),
      m_warn_stderr(!os_same_file(STDOUT_FILENO, STDERR_FILENO)) {}

Printer::~Printer() {
  if (m_fstream.is_open()) m_fstream.close();
}

void Printer::open(const std::string& file_path) {
  PELKO_ASSERT(!m_fstream.is_open());
  // A path of UTF-8 on Windows, of bytes on Linux: u8path keeps either.
  m_fstream.open(std::filesystem::u8path(file_path),
                 std::ios::out | std::ios::binary | std::ios::trunc);
  if (!m_fstream.is_open()) {
    int err = errno;
    std::cerr << "ERROR: open(" << file_path << ") failed, " << strerror(err)
              << std::endl;
    exit(1);
  }
  m_file = &m_fstream;
  if (m_deferred) {
    m_fstream << m_pending.str();
    m_pending.str(std::string());
    m_deferred = false;
  }
  m_to_file = true;
}

void Printer::console_failed_now(int err) {
  m_console_noted = true;
  if (m_console == &std::cout && (err == EPIPE || os_stdout_reader_gone())) {
    err = EPIPE;
    interrupt_raise(SIGPIPE);
  }
  m_console_errno = err;
}

void Printer::defer_file() {
  PELKO_ASSERT(!m_fstream.is_open());
  m_deferred = true;
  m_file = &m_pending;
  m_to_file = true;
}

void Printer::warning(const std::string& line,
                      const std::string& summary_note) {
  *this << line << std::endl;
  echo_warning(line, summary_note);
}

void Printer::echo_warning(const std::string& line,
                           const std::string& summary_note) {
  if (m_warn_stderr && m_console != &std::cerr) {
    *this << std::flush;
    std::cerr << line << std::endl;
  }
  if (!summary_note.empty() &&
      std::find(m_notes.begin(), m_notes.end(), summary_note) == m_notes.end())
    m_notes.push_back(summary_note);
}

void Printer::set_to_file(bool b) {
  if (!b) {
    m_to_file = false;
  } else if (m_fstream.is_open() || m_deferred) {
    m_to_file = true;
  }
}

int Printer::close_file() {
  m_to_file = false;
  m_deferred = false;
  m_file = &m_fstream;
  if (!m_fstream.is_open()) return 0;
  errno = 0;
  m_fstream.close();
  if (!m_fstream.fail()) return 0;
  return errno != 0 ? errno : EIO;
}

void Printer::close_for_test() {
  m_deferred = false;
  m_file = &m_fstream;
  m_pending.str(std::string());
  if (m_fstream.is_open()) m_fstream.close();
  m_fstream.clear();
  m_to_file = false;
}

// Flushes the report on the console and closes the report file. Returns 0,
// or 1 after an "ERROR: " line for each output that lost part of it.
int finish_output(const std::string& output_file) {
  int status = 0;
  printer << std::flush;
  if (printer.console_failed()) {
    const int err = printer.console_error();
    errno = err;
    std::cerr << "ERROR: write(stdout) failed, "
              << (err != 0 ? get_last_error_str() : "the report is incomplete")
              << std::endl;
    status = 1;
  }
  if (printer.file_failed()) {
    std::cerr << "ERROR: write(" << output_file
              << ") failed, the report file is incomplete" << std::endl;
    status = 1;
  } else if (const int err = printer.close_file()) {
    errno = err;
    std::cerr << "ERROR: close(" << output_file << ") failed, "
              << get_last_error_str() << std::endl;
    status = 1;
  }
  return status;
}
