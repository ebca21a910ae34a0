#include "mutex.h"

#include "pelko.h"

Mutex::Mutex() {
  int err = pthread_mutex_init(&m_mutex, nullptr);
  PELKO_ASSERT(err == 0);
}

Mutex::~Mutex() {
  int err = pthread_mutex_destroy(&m_mutex);
  PELKO_ASSERT(err == 0);
}

void Mutex::lock() {
  int err = pthread_mutex_lock(&m_mutex);
  PELKO_ASSERT(err == 0);
}

void Mutex::unlock() {
  int err = pthread_mutex_unlock(&m_mutex);
  PELKO_ASSERT(err == 0);
}
