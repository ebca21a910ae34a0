// Per-thread objects whose type has a destructor.
//
//   PELKO_THREAD_OBJECT(Type, name, constructor arguments...);
//
// declares, inside a function, a reference `name` to this thread's Type,
// made on its first use (brace-initialised from the arguments). On Linux it
// is a thread_local object. mingw-w64's emulated thread-local storage may
// free a thread's storage before the C++ run-time destroys that thread's
// thread_local objects, whose destructors then run on freed memory when the
// thread ends: on Windows each thread's object is allocated instead and
// never destroyed (the threads that use them are few and live for the run).
#ifndef PELKO_THREAD_OBJECT_H_
#define PELKO_THREAD_OBJECT_H_

#ifdef _WIN32
#define PELKO_THREAD_OBJECT(type, name, ...)                        \
  static thread_local type* name##_object = nullptr;                \
  if (name##_object == nullptr) name##_object = new type{__VA_ARGS__}; \
  type& name = *name##_object
#else
#define PELKO_THREAD_OBJECT(type, name, ...) \
  thread_local type name { __VA_ARGS__ }
#endif

#endif  // PELKO_THREAD_OBJECT_H_
