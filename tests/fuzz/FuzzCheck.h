// SPDX-License-Identifier: Apache-2.0
#pragma once

// A failed invariant in a fuzz target: say which and abort, so that
// libFuzzer keeps the input that caused it.

#include <cstdio>
#include <cstdlib>

#include "tests/core/engine/TestRing.h"

#define FUZZ_CHECK(cond)                                                              \
    do                                                                                \
    {                                                                                 \
        if (!(cond))                                                                  \
        {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

// The ring's counters stay consistent whatever the code under test did.
inline void FuzzCheckRing(const testsupport::CTestRing& ring)
{
    constexpr int RING = testsupport::CTestRing::SIZE;
    FUZZ_CHECK(ring.Count() >= 0 && ring.Count() <= RING);
    FUZZ_CHECK(ring.WriteIndex() >= 0 && ring.WriteIndex() < RING);
    FUZZ_CHECK(ring.ReadIndex() >= 0 && ring.ReadIndex() < RING);
    FUZZ_CHECK((ring.ReadIndex() + ring.Count()) % RING == ring.WriteIndex());
}
