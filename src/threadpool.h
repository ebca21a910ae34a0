// Fork-join runner.
#ifndef PELKO_THREADPOOL_H_
#define PELKO_THREADPOOL_H_

// Runs start_routine(arg) on n_threads new threads (default attributes) and
// returns when all of them have finished; the caller does no work meanwhile.
// Every thread gets the same arg, which must outlive the call. n_threads <= 0
// starts nothing. A thread that cannot be created (no memory for its
// stack, the limit on processes) ends the process with an "ERROR: " line
// and exit status 1 (interrupt_fatal); a failing join aborts it.
void threadpool_run(int n_threads, void* (*start_routine)(void*), void* arg);

#endif  // PELKO_THREADPOOL_H_
