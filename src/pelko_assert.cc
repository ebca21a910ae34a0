#include "pelko_assert.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>

void pelko_assert_fail(const char* cond, const char* file, int line) {
  const char* base = strrchr(file, '/');
  base = base ? base + 1 : file;
  const char* dot = strrchr(base, '.');
  size_t len = dot ? (size_t)(dot - base) : strlen(base);
  std::cout.flush();
  fprintf(stderr, "Assertion failed: %s, module %.*s, line %d\n", cond,
          (int)len, base, line);
  fflush(stderr);
  abort();
}
