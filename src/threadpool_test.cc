#include "threadpool.h"

#include <gtest/gtest.h>

#include "condvar.h"
#include "mutex.h"

namespace {

struct Counter {
  Mutex mu;
  long value = 0;
};

void* add_many(void* arg) {
  Counter* c = static_cast<Counter*>(arg);
  for (int i = 0; i < 10000; i++) {
    MutexLock l(&c->mu);
    c->value++;
  }
  return nullptr;
}

TEST(Threadpool, RunsEveryThreadAndJoins) {
  for (int n : {1, 2, 8, 300}) {
    Counter c;
    threadpool_run(n, add_many, &c);
    EXPECT_EQ(c.value, 10000L * n) << n << " threads";
  }
  Counter none;
  threadpool_run(0, add_many, &none);
  threadpool_run(-3, add_many, &none);
  EXPECT_EQ(none.value, 0);
}

// A barrier built from Mutex and Condvar: every thread must arrive before
// any leaves, so a broken wait/broadcast hangs or miscounts.
struct Barrier {
  Mutex mu;
  Condvar cv;
  int arrived = 0;
  int total = 0;
  int passed = 0;
};

void* meet(void* arg) {
  Barrier* b = static_cast<Barrier*>(arg);
  b->mu.lock();
  b->arrived++;
  if (b->arrived == b->total) b->cv.broadcast();
  while (b->arrived < b->total) b->cv.wait(b->mu);
  b->passed++;
  b->mu.unlock();
  return nullptr;
}

TEST(Threadpool, CondvarBroadcastReleasesAllWaiters) {
  Barrier b;
  b.total = 16;
  threadpool_run(b.total, meet, &b);
  EXPECT_EQ(b.passed, 16);
}

}  // namespace
