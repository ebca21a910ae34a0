// Interrupts on Windows: Ctrl-C and Ctrl-Break at the console count as
// SIGINT, closing the console window, logging off and shutting down as
// SIGTERM. The system runs the console handler on a thread of its own; it
// records the event and wakes the callback thread, as a signal does on
// Linux, so that interrupt_raise may be called with any lock held.
#include <windows.h>

#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "interrupt.h"
#include "mutex.h"
#include "os.h"
#include "pelko_assert.h"

namespace {

std::atomic<int> g_signal{0};
std::atomic<int64_t> g_signal_time{0};  // steady clock, ns; 0: none yet
// Set by the first event; the callback thread waits for it.
HANDLE g_wake = nullptr;

// Guards the callback and whether the first event has been passed on.
// Never destroyed, nor is what the console handler uses below: the callback
// thread and the handler may run while the process exits, after the other
// statics are gone.
Mutex& cb_mutex() {
  static Mutex* mu = new Mutex;
  return *mu;
}
interrupt_cb_func_t g_cb_func = nullptr;
void* g_cb_arg = nullptr;
bool g_delivered = false;

// The temporary files to remove on an abrupt end.
Mutex& temp_mutex() {
  static Mutex* mu = new Mutex;  // never destroyed: see cb_mutex
  return *mu;
}
std::vector<std::string>& temp_files() {
  static std::vector<std::string>* files = new std::vector<std::string>;
  return *files;
}

void remove_temp_files() {
  MutexLock lock(&temp_mutex());
  for (const std::string& path : temp_files())
    DeleteFileW(os_wide_path(path).c_str());
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Records signo as the first event and wakes the callback thread; false
// when one was recorded before.
bool note_first(int signo) {
  int expected = 0;
  if (!g_signal.compare_exchange_strong(expected, signo)) return false;
  g_signal_time = now_ns();
  if (g_wake != nullptr) SetEvent(g_wake);
  return true;
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
  if (!note_first(signo)) {
    const int64_t first = g_signal_time.load();
    if (first != 0 && now_ns() - first >= INTERRUPT_REPEAT_NS) {
      remove_temp_files();
      ExitProcess((UINT)interrupt_exit_status(g_signal.load()));
    }
    // Otherwise a copy sent along with the first one.
    return TRUE;
  }
  // Windows ends the process once this returns from a console being closed,
  // a log-off or a shutdown: the run finishes its outputs meanwhile, within
  // the few seconds the system allows, and its own end ends this wait.
  if (signo == SIGTERM) Sleep(INFINITE);
  return TRUE;
}

void callback_thread() {
  WaitForSingleObject(g_wake, INFINITE);
  MutexLock lock(&cb_mutex());
  g_delivered = true;
  if (g_cb_func != nullptr) g_cb_func(g_cb_arg, g_signal.load());
}

}  // namespace

void interrupt_install() {
  PELKO_ASSERT(g_wake == nullptr);
  g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_wake == nullptr) interrupt_fatal("cannot create an event");
  try {
    std::thread(callback_thread).detach();
  } catch (const std::exception& e) {
    interrupt_fatal(std::string("cannot create a thread, ") + e.what());
  }
  // An event noted before the thread ran is passed on all the same.
  if (g_signal.load() != 0) SetEvent(g_wake);
  PELKO_ASSERT(SetConsoleCtrlHandler(on_console_event, TRUE) != 0);
}

int interrupt_signal() { return g_signal.load(); }

void interrupt_raise(int signo) {
  PELKO_ASSERT(signo > 0);
  note_first(signo);
}

int interrupt_exit_status(int signo) { return 128 + signo; }

const char* interrupt_signal_name(int signo) {
  if (signo == SIGINT) return "SIGINT";
  if (signo == SIGTERM) return "SIGTERM";
  if (signo == SIGHUP) return "SIGHUP";
  if (signo == SIGQUIT) return "SIGQUIT";
  if (signo == SIGPIPE) return "SIGPIPE";
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

bool interrupt_add_temp_file(const std::string& path) {
  MutexLock lock(&temp_mutex());
  if (temp_files().size() >= (size_t)INTERRUPT_MAX_TEMP_FILES) return false;
  temp_files().push_back(path);
  return true;
}

void interrupt_remove_temp_file(const std::string& path) {
  MutexLock lock(&temp_mutex());
  std::vector<std::string>& files = temp_files();
  for (size_t i = 0; i < files.size(); i++) {
    if (files[i] == path) {
      files.erase(files.begin() + (long)i);
      return;
    }
  }
}

void interrupt_fatal(const std::string& what) {
  fflush(stdout);
  fprintf(stderr, "ERROR: %s\n", what.c_str());
  fflush(stderr);
  remove_temp_files();
  _exit(1);
}
