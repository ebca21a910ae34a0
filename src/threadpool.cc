#include "threadpool.h"

#include <pthread.h>
#include <string.h>

#include <string>

#include <vector>

#include "interrupt.h"
#include "pelko_assert.h"

void threadpool_run(int n_threads, void* (*start_routine)(void*), void* arg) {
  if (n_threads <= 0) return;
  // Handles live on the heap: any thread count the parser accepts works.
  std::vector<pthread_t> threads(n_threads);
  for (int i = 0; i < n_threads; i++) {
    int err = pthread_create(&threads[i], nullptr, start_routine, arg);
    if (err != 0)
      interrupt_fatal("cannot create a thread (" + std::to_string(i + 1) +
                      " of " + std::to_string(n_threads) + "), " +
                      strerror(err));
  }
  for (int i = 0; i < n_threads; i++) {
    int err = pthread_join(threads[i], nullptr);
    PELKO_ASSERT(err == 0);
  }
}
