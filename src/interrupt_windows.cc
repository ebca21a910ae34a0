// Interrupts on Windows: Ctrl-C and Ctrl-Break at the console count as
// SIGINT, closing the console window, logging off and shutting down as
// SIGTERM. The system runs the handler on a thread of its own, outside any
// signal context, so the callback is called there directly.
#include <windows.h>

#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <chrono>

#include "interrupt.h"
#include "mutex.h"
#include "pelko_assert.h"

namespace {

std::atomic<int> g_signal{0};
std::atomic<int64_t> g_signal_time{0};  // steady clock, ns; 0: none yet

// Guards the callback and whether the first event has been passed on.
Mutex& cb_mutex() {
  static Mutex mu;
  return mu;
}
interrupt_cb_func_t g_cb_func = nullptr;
void* g_cb_arg = nullptr;
bool g_delivered = false;

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

BOOL WINAPI on_console_event(DWORD event) {
  int signo;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      signo = SIGINT;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signo = SIGTERM;
      break;
    default:
      return FALSE;
  }
  const int64_t now = now_ns();
  int expected = 0;
  if (!g_signal.compare_exchange_strong(expected, signo)) {
    const int64_t first = g_signal_time.load();
    if (first != 0 && now - first >= INTERRUPT_REPEAT_NS)
      ExitProcess((UINT)interrupt_exit_status(signo));
    return TRUE;  // a copy sent along with the first one
  }
  g_signal_time = now;
  MutexLock lock(&cb_mutex());
  g_delivered = true;
  if (g_cb_func != nullptr) g_cb_func(g_cb_arg, signo);
  return TRUE;
}

}  // namespace

void interrupt_install() {
  PELKO_ASSERT(SetConsoleCtrlHandler(on_console_event, TRUE) != 0);
}

int interrupt_signal() { return g_signal.load(); }

int interrupt_exit_status(int signo) { return 128 + signo; }

const char* interrupt_signal_name(int signo) {
  if (signo == SIGINT) return "SIGINT";
  if (signo == SIGTERM) return "SIGTERM";
  static thread_local char buf[32];
  snprintf(buf, sizeof(buf), "signal %d", signo);
  return buf;
}

void interrupt_set_callback(interrupt_cb_func_t cb_func, void* cb_arg) {
  MutexLock lock(&cb_mutex());
  g_cb_func = cb_func;
  g_cb_arg = cb_arg;
  if (g_delivered && cb_func != nullptr) cb_func(cb_arg, g_signal.load());
}
