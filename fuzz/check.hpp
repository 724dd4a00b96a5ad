// Invariant checks for the fuzz targets.
//
// A broken invariant prints where and what, then aborts: libFuzzer records the input as a
// crash, and the corpus replay in ordinary builds fails its test with the same message.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
