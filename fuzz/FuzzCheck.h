// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_FUZZ_FUZZ_CHECK_H_
#define HEXPOKE_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// A broken invariant is a crash, so that libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__,      \
                   __LINE__, #condition);                                  \
      std::abort();                                                        \
    }                                                                      \
  } while (false)

#endif  // HEXPOKE_FUZZ_FUZZ_CHECK_H_
