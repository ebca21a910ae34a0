// Ending a run early on a signal, and ending the process at once.
//
// interrupt_install() takes over SIGINT, SIGTERM, SIGHUP (a dropped
// terminal session) and SIGQUIT for the rest of the process, and ignores
// SIGPIPE: a write to a pipe or FIFO whose reader has gone then fails with
// EPIPE, and whoever wrote decides (standard output going away ends the run
// through interrupt_raise; a file output that breaks is reported, and the
// others are completed).
//
// The first signal that arrives is recorded (interrupt_signal() returns its
// number from then on) and the callback set with interrupt_set_callback, if
// any, is called on a thread of this module, outside signal context, so it
// may take locks. A second signal ends the process at once, in the signal
// handler, with the exit status of the first one (128 + its number: 130 for
// SIGINT, 143 for SIGTERM, 129 for SIGHUP): nothing more is written or
// flushed, but the temporary files registered below are removed. Signals
// that arrive within INTERRUPT_REPEAT_NS of the first count as copies of it
// and are ignored: timeout(1), for one, sends its signal to the process and
// to its process group, and a person pressing Ctrl-C again is slower than
// that.
//
// On Windows (interrupt_windows.cc) Ctrl-C and Ctrl-Break count as SIGINT,
// a console closed, a log-off or a shutdown as SIGTERM.
//
// Thread safety: every function may be called from any thread.
#ifndef PELKO_INTERRUPT_H_
#define PELKO_INTERRUPT_H_

#include <signal.h>
#include <stdint.h>

#include <string>

#ifdef _WIN32
// Windows has no such signals; the events that stand for them (a console
// closed, standard output's reader gone) carry the numbers Linux gives
// them, so that names and exit statuses are the same.
#ifndef SIGHUP
#define SIGHUP 1
#endif
#ifndef SIGQUIT
#define SIGQUIT 3
#endif
#ifndef SIGPIPE
#define SIGPIPE 13
#endif
#endif

const int64_t INTERRUPT_REPEAT_NS = 100 * 1000 * 1000;  // 0.1 s

// What the first signal asks for: called once, with the signal's number.
typedef void (*interrupt_cb_func_t)(void* arg, int signo);

// Installs the handlers and starts the callback thread. Call once, early:
// before it, the signals keep their default action. A signal that the
// parent chose to ignore (nohup's SIGHUP, a background job's SIGINT) stays
// ignored.
void interrupt_install();

// 0 until the first signal, then its number. Lock-free; also safe in a
// signal handler.
int interrupt_signal();

// Acts as if signal signo had arrived first (it is recorded and the callback
// is called) unless one has arrived already; never ends the process. For
// events that must end the run as a signal would: standard output's reader
// going away (SIGPIPE).
void interrupt_raise(int signo);

// The exit status that reports signo: 128 + signo.
int interrupt_exit_status(int signo);

// "SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGPIPE", or "signal N".
const char* interrupt_signal_name(int signo);

// Replaces the callback (null: none). When a signal has already been
// recorded, the new callback is called at once, on the calling thread.
// Once this returns, the previous callback is no longer running and will
// not be called again, so what it uses may then be destroyed.
void interrupt_set_callback(interrupt_cb_func_t cb_func, void* cb_arg);

// Temporary files that an abrupt end (a second signal, interrupt_fatal)
// removes. Up to INTERRUPT_MAX_TEMP_FILES at once; add returns false when
// all are taken. remove forgets path (it does not unlink it).
const int INTERRUPT_MAX_TEMP_FILES = 8;
bool interrupt_add_temp_file(const std::string& path);
void interrupt_remove_temp_file(const std::string& path);

// A resource the run cannot do without is missing (a thread that cannot be
// created, a system file that cannot be read): prints "ERROR: " and what on
// stderr, removes the temporary files and ends the process with exit status
// 1. Callable from any thread; the report written so far stays as it is.
[[noreturn]] void interrupt_fatal(const std::string& what);

#endif  // PELKO_INTERRUPT_H_
