// Ending a run early on SIGINT or SIGTERM.
//
// interrupt_install() takes over both signals for the rest of the process.
// The first one that arrives is recorded (interrupt_signal() returns its
// number from then on) and the callback set with interrupt_set_callback, if
// any, is called on a thread of this module, outside signal context, so it
// may take locks. A second signal ends the process at once, in the signal
// handler, with exit status 128 + its number (130 for SIGINT, 143 for
// SIGTERM): nothing more is written or flushed. Signals that arrive within
// INTERRUPT_REPEAT_NS of the first count as copies of it and are ignored:
// timeout(1), for one, sends its signal to the process and to its process
// group, and a person pressing Ctrl-C again is slower than that.
//
// Thread safety: every function may be called from any thread.
#ifndef PELKO_INTERRUPT_H_
#define PELKO_INTERRUPT_H_

#include <stdint.h>

const int64_t INTERRUPT_REPEAT_NS = 100 * 1000 * 1000;  // 0.1 s

// What the first signal asks for: called once, with the signal's number.
typedef void (*interrupt_cb_func_t)(void* arg, int signo);

// Installs the handlers and starts the callback thread. Call once, early:
// before it, both signals keep their default action.
void interrupt_install();

// 0 until the first signal, then its number. Lock-free; also safe in a
// signal handler.
int interrupt_signal();

// The exit status that reports signo: 128 + signo.
int interrupt_exit_status(int signo);

// "SIGINT", "SIGTERM", or "signal N".
const char* interrupt_signal_name(int signo);

// Replaces the callback (null: none). When a signal has already been
// recorded, the new callback is called at once, on the calling thread.
// Once this returns, the previous callback is no longer running and will
// not be called again, so what it uses may then be destroyed.
void interrupt_set_callback(interrupt_cb_func_t cb_func, void* cb_arg);

#endif  // PELKO_INTERRUPT_H_
