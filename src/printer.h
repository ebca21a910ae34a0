// Report output: everything the report says goes through the global
// `printer`, to standard output and, while mirroring is on, to the report
// file as well.
//
// Not thread-safe: it has no lock of its own. Whoever prints from a worker
// thread holds the lock of its own component (sampler, walker, estimator).
#ifndef PELKO_PRINTER_H_
#define PELKO_PRINTER_H_

#include <errno.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

class Printer {
 public:
  Printer();
  virtual ~Printer();

  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // Opens (truncating or creating) the report file in binary mode and turns
  // mirroring on; what was mirrored since defer_file() is written to it
  // first. Must be called at most once. On failure prints
  // "ERROR: open(<path>) failed, <reason>" on stderr and exits with 1.
  void open(const std::string& file_path);

  // Mirrors into memory until open() is called, so that the report file
  // can be opened (and truncated) only once the run's checks have passed
  // and still holds the whole report. What was kept is dropped if open()
  // is never called.
  void defer_file();

  // false: console only from now on. true: mirror again, but only if the
  // report file is open.
  void set_to_file(bool b);

  // Console stream; std::cout unless the report goes to standard error
  // (--json -) or a test redirects it.
  std::ostream& console() { return *m_console; }
  void set_console(std::ostream* os) {
    m_console = os;
    m_console_errno = 0;
    m_console_noted = false;
  }

  // false: what follows goes to the report file only (the console shows it
  // in a layout of its own); true: to both again.
  void set_to_console(bool b) { m_to_console = b; }

  // A warning: line (which begins "WARNING: ") and an end of line through
  // the printer, then echo_warning.
  void warning(const std::string& line,
               const std::string& summary_note = std::string());
  // A warning printed in a form of its own: line on standard error, unless
  // the console is where standard error goes already (a terminal, 2>&1, or
  // the console is standard error). With summary_note, the summary repeats
  // the warning in those words: it changes the figures.
  void echo_warning(const std::string& line,
                    const std::string& summary_note = std::string());
  // The summary notes of the warnings so far, in order.
  const std::vector<std::string>& summary_notes() const { return m_notes; }
  // Whether warnings are echoed on standard error; decided at construction
  // from the file descriptors, set by the driver and by tests.
  void set_warnings_to_stderr(bool b) { m_warn_stderr = b; }
  // Forgets the summary notes: a run starts afresh.
  void clear_summary_notes() { m_notes.clear(); }

  // Whether the console is a terminal: lines rewritten in place are only
  // written to one. From the start, whether standard output is a terminal;
  // tests may say otherwise.
  bool console_is_terminal() const { return m_console_terminal; }
  void set_console_is_terminal(bool b) { m_console_terminal = b; }

  // Whether the console shows the analysis table in its compact layout,
  // which fits 80 columns: on a terminal, unless turned off (tests do; the
  // report file keeps the full layout either way).
  bool console_compact() const { return m_console_terminal && m_compact; }
  void set_console_compact(bool b) { m_compact = b; }

  // On a terminal, returns the cursor to the start of the console line and
  // clears it, so that a line rewritten in place leaves nothing behind (a tab
  // moves the cursor without erasing). Writes nothing elsewhere, and never to
  // the report file.
  void start_console_line() {
    if (m_console_terminal && m_to_console) *m_console << "\r\033[K";
  }

  template <typename T>
  Printer& operator<<(const T& v) {
    if (m_to_console) {
      const bool console_good = !m_console->fail();
      *m_console << v;
      note_console_error(console_good);
    }
    if (m_to_file) *m_file << v;
    return *this;
  }

  // There is no wide output: a wide string would print as a pointer.
  Printer& operator<<(const wchar_t*) = delete;

  // Manipulators such as std::endl and std::flush apply to both streams.
  Printer& operator<<(std::ostream& (*m)(std::ostream&)) {
    if (m_to_console) {
      const bool console_good = !m_console->fail();
      m(*m_console);
      note_console_error(console_good);
    }
    if (m_to_file) m(*m_file);
    return *this;
  }

  // True when the report file is open and a write to it has failed (for
  // example a full disk): the file then misses part of the report.
  bool file_failed() const { return m_fstream.is_open() && m_fstream.fail(); }

  // Closes the report file, if open, and goes back to console-only output.
  // Returns 0, or the error number of a failed close (EIO when the system
  // named none). A failed write shows in file_failed(), which is checked
  // first: once a write has failed, the close reports a failure as well.
  int close_file();

  // True when a write or flush of the console stream has failed (standard
  // output redirected to a full disk): the console misses part of the report.
  bool console_failed() const { return m_console->fail(); }

  // The error number of the console's first failure when it happened inside
  // a write through the printer; 0 when it is not known.
  int console_error() const { return m_console_errno; }

  // Test support: close the file and go back to console-only output.
  void close_for_test();

 private:
  // Called after every write through the printer: the first time the
  // console is seen failed, records the error number (errno, when this very
  // write failed; 0 when a direct write to console() did). Standard output's
  // reader having gone (EPIPE) ends the run as SIGPIPE would, through
  // interrupt_raise: the other outputs are still completed.
  void note_console_error(bool was_good) {
    if (!m_console_noted && m_console->fail())
      console_failed_now(was_good ? errno : 0);
  }
  void console_failed_now(int err);

  std::ofstream m_fstream;
  std::ostringstream m_pending;  // the report file's text before open()
  std::ostream* m_file;          // m_fstream, or m_pending while deferred
  bool m_deferred;
  bool m_to_file;
  bool m_to_console;
  std::ostream* m_console;
  int m_console_errno;
  bool m_console_noted;
  bool m_console_terminal;
  bool m_compact;
  bool m_warn_stderr;
  std::vector<std::string> m_notes;
};

extern Printer printer;

// Flushes the report on the console and closes the report file. Returns 0,
// or 1 after an "ERROR: " line for each output that lost part of it.
// output_file names the report file in the messages.
int finish_output(const std::string& output_file);

#endif  // PELKO_PRINTER_H_
