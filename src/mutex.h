// Thin, non-copyable wrappers over POSIX mutexes. A failing pthread call is a
// broken invariant and aborts the process.
#ifndef PELKO_MUTEX_H_
#define PELKO_MUTEX_H_

#include <pthread.h>

class Condvar;

// A plain (non-recursive) mutex that spins briefly before it sleeps.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  void unlock();

 private:
  friend class Condvar;
  pthread_mutex_t m_mutex;
};

// Holds a Mutex for the lifetime of the guard.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mu) : m_mu(mu) { m_mu->lock(); }
  ~MutexLock() { m_mu->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const m_mu;
};

#endif  // PELKO_MUTEX_H_
