#include "interrupt.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "mutex.h"
#include "pelko_assert.h"

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "the signal handler needs a lock-free flag");
// When the first signal came (CLOCK_MONOTONIC, ns; 0 until it is noted).
std::atomic<int64_t> g_signal_time{0};
static_assert(std::atomic<int64_t>::is_always_lock_free,
              "the signal handler needs a lock-free time");
// The handler wakes the callback thread through this pipe.
int g_pipe[2] = {-1, -1};

// Guards the callback and whether the first signal has been passed on.
// Never destroyed: the callback thread may wake while the process exits
// (a signal or interrupt_raise just before the end of main), and a mutex
// destroyed with the other statics would fail its lock.
Mutex& cb_mutex() {
  static Mutex* mu = new Mutex;
  return *mu;
}
interrupt_cb_func_t g_cb_func = nullptr;
void* g_cb_arg = nullptr;
bool g_delivered = false;

// The temporary files to remove on an abrupt end. A slot is free (0), being
// filled or emptied (1), or holds a path (2); the handler reads only slots
// that hold one.
enum { SLOT_FREE = 0, SLOT_BUSY = 1, SLOT_READY = 2 };
std::atomic<int> g_temp_state[INTERRUPT_MAX_TEMP_FILES];
char g_temp_path[INTERRUPT_MAX_TEMP_FILES][PATH_MAX];

void remove_temp_files() {  // async-signal-safe
  for (int i = 0; i < INTERRUPT_MAX_TEMP_FILES; i++)
    if (g_temp_state[i].load() == SLOT_READY) unlink(g_temp_path[i]);
}

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Records signo as the first signal and wakes the callback thread; false
// when one was recorded before. Async-signal-safe.
bool note_first(int signo) {
  int expected = 0;
  if (!g_signal.compare_exchange_strong(expected, signo)) return false;
  g_signal_time = now_ns();
  const char byte = 0;
  ssize_t n = write(g_pipe[1], &byte, 1);
  (void)n;  // one byte into an empty pipe cannot fail
  return true;
}

void on_signal(int signo) {
  const int saved = errno;
  if (!note_first(signo)) {
    const int64_t first = g_signal_time.load();
    if (first != 0 && now_ns() - first >= INTERRUPT_REPEAT_NS) {
      remove_temp_files();
      _exit(128 + g_signal.load());
    }
    // Otherwise a copy sent along with the first one.
  }
  errno = saved;
}

void* callback_thread(void*) {
  char byte;
  for (;;) {
    ssize_t n = read(g_pipe[0], &byte, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR) continue;
    return nullptr;
  }
  MutexLock lock(&cb_mutex());
  g_delivered = true;
  if (g_cb_func != nullptr) g_cb_func(g_cb_arg, g_signal.load());
  return nullptr;
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

void interrupt_install() {
  // A report whose reader has gone must end the run, not go on reading the
  // inputs: restore the default action even when the parent ignored SIGPIPE.
  signal(SIGPIPE, SIG_DFL);
  PELKO_ASSERT(g_pipe[0] < 0);
  if (pipe2(g_pipe, O_CLOEXEC) != 0)
    interrupt_fatal(std::string("cannot create a pipe, ") + strerror(errno));
  // The handlers run on whichever thread the kernel picks, this one too:
  // it waits for the pipe, so it can take a signal while every other thread
  // is held in a long system call (an fsync of the export), and a second
  // signal still ends the process at once.
  pthread_t thread;
  const int err = pthread_create(&thread, nullptr, callback_thread, nullptr);
  if (err != 0)
    interrupt_fatal(std::string("cannot create a thread, ") + strerror(err));
  PELKO_ASSERT(pthread_detach(thread) == 0);

  for (int signo : kSignals) {
    struct sigaction old;
    PELKO_ASSERT(sigaction(signo, nullptr, &old) == 0);
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    PELKO_ASSERT(sigaction(signo, &sa, nullptr) == 0);
  }
  // Writes to a pipe without a reader fail with EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
}

int interrupt_signal() { return g_signal.load(); }

void interrupt_raise(int signo) {
  PELKO_ASSERT(signo > 0);
  if (g_pipe[1] < 0) {  // not installed (tests): record it only
    int expected = 0;
    g_signal.compare_exchange_strong(expected, signo);
    return;
  }
  note_first(signo);
}

int interrupt_exit_status(int signo) { return 128 + signo; }

const char* interrupt_signal_name(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGPIPE:
      return "SIGPIPE";
    default: {
      static thread_local char buf[32];
      snprintf(buf, sizeof(buf), "signal %d", signo);
      return buf;
    }
  }
}

void interrupt_set_callback(interrupt_cb_func_t cb_func, void* cb_arg) {
  MutexLock lock(&cb_mutex());
  g_cb_func = cb_func;
  g_cb_arg = cb_arg;
  if (g_delivered && cb_func != nullptr) cb_func(cb_arg, g_signal.load());
}

bool interrupt_add_temp_file(const std::string& path) {
  if (path.size() >= PATH_MAX) return false;
  for (int i = 0; i < INTERRUPT_MAX_TEMP_FILES; i++) {
    int expected = SLOT_FREE;
    if (!g_temp_state[i].compare_exchange_strong(expected, SLOT_BUSY))
      continue;
    memcpy(g_temp_path[i], path.c_str(), path.size() + 1);
    g_temp_state[i] = SLOT_READY;
    return true;
  }
  return false;
}

void interrupt_remove_temp_file(const std::string& path) {
  for (int i = 0; i < INTERRUPT_MAX_TEMP_FILES; i++) {
    int expected = SLOT_READY;
    if (!g_temp_state[i].compare_exchange_strong(expected, SLOT_BUSY))
      continue;
    if (path == g_temp_path[i]) {
      g_temp_state[i] = SLOT_FREE;
      return;
    }
    g_temp_state[i] = SLOT_READY;
  }
}

void interrupt_fatal(const std::string& what) {
  fflush(stdout);
  fprintf(stderr, "ERROR: %s\n", what.c_str());
  fflush(stderr);
  remove_temp_files();
  _exit(1);
}
