#ifndef PELKO_THREAD_OBJECT_H_
#define PELKO_THREAD_OBJECT_H_

#include "os.h"

// thread_object<T, Site>(): the calling thread's own T, value-initialised on
// the thread's first call and destroyed when the thread ends. One object per
// thread for each pair of T and Site (a tag type naming the place of use).
//
// What a C++ thread_local object with a destructor would be, made so on
// every platform: see os_thread_key_create. T's destructor must not use
// other per-thread objects, which may be gone already.
template <class T, class Site = T>
T& thread_object() {
  static os_thread_key_t* const key =
      os_thread_key_create([](void* p) { delete static_cast<T*>(p); });
  void* p = os_thread_key_get(key);
  if (p == nullptr) {
    p = new T();
    os_thread_key_set(key, p);
  }
  return *static_cast<T*>(p);
}

#endif  // PELKO_THREAD_OBJECT_H_
