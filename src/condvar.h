// Thin, non-copyable wrapper over a POSIX condition variable. A failing
// pthread call aborts the process.
#ifndef PELKO_CONDVAR_H_
#define PELKO_CONDVAR_H_

#include <pthread.h>

#include "mutex.h"

class Condvar {
 public:
  Condvar();
  ~Condvar();
  Condvar(const Condvar&) = delete;
  Condvar& operator=(const Condvar&) = delete;

  // mt must be held by the caller; it is held again on return. Wake-ups may
  // be spurious: callers re-test their condition in a loop.
  void wait(Mutex& mt);
  void signal();
  void broadcast();

 private:
  pthread_cond_t m_cond;
};

#endif  // PELKO_CONDVAR_H_
