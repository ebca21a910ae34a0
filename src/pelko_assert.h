// The assertion macro of every module.
#ifndef PELKO_PELKO_ASSERT_H_
#define PELKO_PELKO_ASSERT_H_

// Assertions. Active in every build type: a failure prints the condition, the
// module (source file name without directory and extension) and the line to
// standard error, then aborts.
[[noreturn]] void pelko_assert_fail(const char* cond, const char* file, int line);

#define PELKO_ASSERT(cond) \
  ((cond) ? (void)0 : pelko_assert_fail(#cond, __FILE__, __LINE__))

#endif  // PELKO_PELKO_ASSERT_H_
