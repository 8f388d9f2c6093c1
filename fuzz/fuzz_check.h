#pragma once
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: print it and abort so libFuzzer saves the input.
#define GT_FUZZ_CHECK(cond)                                                              \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
