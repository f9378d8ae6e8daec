#pragma once

// A failed invariant in a fuzz target: say which and abort, so that
// libFuzzer keeps the input that caused it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                              \
    do                                                                                \
    {                                                                                 \
        if (!(cond))                                                                  \
        {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)
