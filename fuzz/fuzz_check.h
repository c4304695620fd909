#pragma once
// Property checks inside fuzz targets. A failed check prints what failed and
// aborts, which libFuzzer reports as a crash and saves the input. Unlike
// assert, it stays active in every build type.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: fuzz property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
