// Shared by the fuzz targets: an invariant check that stops the run with a readable reason,
// so libFuzzer records the input as a crash and the replay main exits non-zero.
#pragma once

#include <cstdio>
#include <cstdlib>

/// Stops the process when `condition` is false, naming the target's invariant.
#define KORV_FUZZ_CHECK(condition, what)                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
