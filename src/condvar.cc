#include "condvar.h"

#include "pelko_assert.h"

Condvar::Condvar() {
  int err = pthread_cond_init(&m_cond, nullptr);
  PELKO_ASSERT(err == 0);
}

Condvar::~Condvar() {
  int err = pthread_cond_destroy(&m_cond);
  PELKO_ASSERT(err == 0);
}

void Condvar::wait(Mutex& mt) {
  int err = pthread_cond_wait(&m_cond, &mt.m_mutex);
  PELKO_ASSERT(err == 0);
}

void Condvar::signal() {
  int err = pthread_cond_signal(&m_cond);
  PELKO_ASSERT(err == 0);
}

void Condvar::broadcast() {
  int err = pthread_cond_broadcast(&m_cond);
  PELKO_ASSERT(err == 0);
}
