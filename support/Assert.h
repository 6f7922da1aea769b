#pragma once
// A broken internal invariant stops the program, in every build type, naming
// the failed expression and its source on standard error and in the log.

#include <cstdio>
#include <cstdlib>

#include "support/Log.h"

#define TAVRO_ASSERT(expr, source)                                                   \
  do {                                                                              \
    if (!(expr)) {                                                                  \
      LOG_ERR("assertion failed: " #expr " in " << (source));                      \
      std::fprintf(stderr, "Assertion failed: %s, %s:%d (%s)\n", #expr, __FILE__, \
                   __LINE__, (source));                                             \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
