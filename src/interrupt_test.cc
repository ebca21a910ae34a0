#include "interrupt.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "gtest/gtest.h"

namespace {

// Each case runs in a child process: the handlers stay for its lifetime.

std::atomic<int> g_calls{0};
std::atomic<int> g_signo{0};
void record(void* arg, int signo) {
  g_calls += *static_cast<int*>(arg);
  g_signo = signo;
}

// The first signal is recorded and handed to the callback on another
// thread; a callback set later is called at once; one cleared is not
// called. Exits with 0 when all of that held.
int first_signal() {
  interrupt_install();
  if (interrupt_signal() != 0) return 1;
  int one = 1, ten = 10;
  interrupt_set_callback(record, &one);
  raise(SIGTERM);
  for (int i = 0; i < 500 && g_calls == 0; i++) usleep(10000);
  if (g_calls != 1 || g_signo != SIGTERM || interrupt_signal() != SIGTERM)
    return 2;
  interrupt_set_callback(record, &ten);  // already delivered: at once
  if (g_calls != 11) return 3;
  interrupt_set_callback(nullptr, nullptr);
  if (g_calls != 11) return 4;
  return 0;
}

TEST(InterruptDeathTest, FirstSignalIsPassedOn) {
  EXPECT_EXIT(_exit(first_signal()), testing::ExitedWithCode(0), "");
}

// Waits past the time within which a signal counts as a copy of the first.
void after_repeat_time() { usleep(INTERRUPT_REPEAT_NS / 1000 + 50000); }

TEST(InterruptDeathTest, SecondSignalEndsAtOnce) {
  EXPECT_EXIT(
      {
        interrupt_install();
        raise(SIGINT);
        after_repeat_time();
        raise(SIGINT);
        _exit(1);
      },
      testing::ExitedWithCode(130), "");
  EXPECT_EXIT(
      {
        interrupt_install();
        raise(SIGTERM);
        after_repeat_time();
        raise(SIGINT);
        _exit(1);
      },
      testing::ExitedWithCode(143), "");  // the first signal's status
  // A copy sent along with the first (as timeout(1) does) is ignored.
  EXPECT_EXIT(
      {
        interrupt_install();
        raise(SIGINT);
        raise(SIGINT);
        _exit(interrupt_signal() == SIGINT ? 6 : 1);
      },
      testing::ExitedWithCode(6), "");
  // A signal ignored from the start stays ignored.
  EXPECT_EXIT(
      {
        signal(SIGINT, SIG_IGN);
        interrupt_install();
        raise(SIGINT);
        raise(SIGINT);
        _exit(interrupt_signal() == 0 ? 5 : 1);
      },
      testing::ExitedWithCode(5), "");
}

// SIGHUP and SIGQUIT are taken over as SIGINT and SIGTERM are; an event
// raised in their place (standard output's reader gone) counts as the first
// signal, and one arriving later as the second, with the first's status.
TEST(InterruptDeathTest, HangupQuitAndRaisedSignals) {
  EXPECT_EXIT(
      {
        interrupt_install();
        int one = 1;
        interrupt_set_callback(record, &one);
        raise(SIGHUP);
        for (int i = 0; i < 500 && g_calls == 0; i++) usleep(10000);
        if (g_signo != SIGHUP) _exit(1);
        after_repeat_time();
        raise(SIGQUIT);
        _exit(2);
      },
      testing::ExitedWithCode(129), "");
  EXPECT_EXIT(
      {
        interrupt_install();
        int one = 1;
        interrupt_set_callback(record, &one);
        interrupt_raise(SIGPIPE);
        for (int i = 0; i < 500 && g_calls == 0; i++) usleep(10000);
        if (g_signo != SIGPIPE || interrupt_signal() != SIGPIPE) _exit(1);
        interrupt_raise(SIGTERM);  // raised again: no second signal
        if (interrupt_signal() != SIGPIPE) _exit(2);
        after_repeat_time();
        raise(SIGTERM);
        _exit(3);
      },
      testing::ExitedWithCode(141), "");
}

// An abrupt end removes the temporary files registered, and only those
// still registered; so does a resource failure, which names what failed.
TEST(InterruptDeathTest, AbruptEndsRemoveTemporaryFiles) {
  char dir[] = "/tmp/pelko_interrupt_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string a = std::string(dir) + "/a.tmp-1",
                    b = std::string(dir) + "/b.tmp-2";
  auto make = [](const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    if (f) fclose(f);
  };
  make(a);
  make(b);
  EXPECT_EXIT(
      {
        interrupt_install();
        if (!interrupt_add_temp_file(a) || !interrupt_add_temp_file(b)) _exit(1);
        interrupt_remove_temp_file(b);  // committed: no longer temporary
        raise(SIGINT);
        after_repeat_time();
        raise(SIGINT);
        _exit(2);
      },
      testing::ExitedWithCode(130), "");
  EXPECT_NE(access(a.c_str(), F_OK), 0);
  EXPECT_EQ(access(b.c_str(), F_OK), 0);
  make(a);
  EXPECT_EXIT(
      {
        interrupt_add_temp_file(a);
        interrupt_fatal("cannot create a thread, Resource temporarily unavailable");
      },
      testing::ExitedWithCode(1),
      "^ERROR: cannot create a thread, Resource temporarily unavailable\n$");
  EXPECT_NE(access(a.c_str(), F_OK), 0);
  unlink(b.c_str());
  rmdir(dir);
}

TEST(Interrupt, Names) {
  EXPECT_STREQ("SIGINT", interrupt_signal_name(SIGINT));
  EXPECT_STREQ("SIGTERM", interrupt_signal_name(SIGTERM));
  EXPECT_STREQ("SIGHUP", interrupt_signal_name(SIGHUP));
  EXPECT_STREQ("SIGQUIT", interrupt_signal_name(SIGQUIT));
  EXPECT_STREQ("signal 10", interrupt_signal_name(10));
  EXPECT_EQ(130, interrupt_exit_status(SIGINT));
  EXPECT_EQ(143, interrupt_exit_status(SIGTERM));
}

}  // namespace
