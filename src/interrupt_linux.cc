#include "interrupt.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
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
Mutex& cb_mutex() {
  static Mutex mu;
  return mu;
}
interrupt_cb_func_t g_cb_func = nullptr;
void* g_cb_arg = nullptr;
bool g_delivered = false;

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void on_signal(int signo) {
  const int saved = errno;
  const int64_t now = now_ns();
  int expected = 0;
  if (!g_signal.compare_exchange_strong(expected, signo)) {
    const int64_t first = g_signal_time.load();
    if (first != 0 && now - first >= INTERRUPT_REPEAT_NS) _exit(128 + signo);
    errno = saved;
    return;  // a copy sent along with the first one
  }
  g_signal_time = now;
  const char byte = 0;
  ssize_t n = write(g_pipe[1], &byte, 1);
  (void)n;  // one byte into an empty pipe cannot fail
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

}  // namespace

void interrupt_install() {
  // A report whose reader has gone must end the run, not go on reading the
  // inputs: restore the default action even when the parent ignored SIGPIPE.
  signal(SIGPIPE, SIG_DFL);
  PELKO_ASSERT(g_pipe[0] < 0);
  PELKO_ASSERT(pipe2(g_pipe, O_CLOEXEC) == 0);
  // The handlers run on whichever thread the kernel picks; this one only
  // waits for the pipe.
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  PELKO_ASSERT(pthread_sigmask(SIG_BLOCK, &block, &saved) == 0);
  pthread_t thread;
  PELKO_ASSERT(pthread_create(&thread, nullptr, callback_thread, nullptr) == 0);
  PELKO_ASSERT(pthread_detach(thread) == 0);
  PELKO_ASSERT(pthread_sigmask(SIG_SETMASK, &saved, nullptr) == 0);

  for (int signo : {SIGINT, SIGTERM}) {
    struct sigaction old;
    PELKO_ASSERT(sigaction(signo, nullptr, &old) == 0);
    // A signal the parent chose to ignore (a background job's SIGINT)
    // stays ignored.
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    PELKO_ASSERT(sigaction(signo, &sa, nullptr) == 0);
  }
}

int interrupt_signal() { return g_signal.load(); }

int interrupt_exit_status(int signo) { return 128 + signo; }

const char* interrupt_signal_name(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
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
