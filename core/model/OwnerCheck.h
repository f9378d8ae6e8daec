// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <cstdlib>

// Owner-thread entry points state their contract with
// NIMBREL_ASSERT_OWNER(condition). In builds with thread checks (debug and
// test builds: NIMBREL_THREAD_CHECKS=1) a call from another thread aborts at
// once and says where, instead of racing silently.
[[noreturn]] inline void OwnerCheckFailed(const char* pszFile, int nLine, const char* pszFunction)
{
    std::fprintf(stderr, "%s:%d: %s called off the owner thread\n", pszFile, nLine, pszFunction);
    std::abort();
}

#if defined(NIMBREL_THREAD_CHECKS) && NIMBREL_THREAD_CHECKS
#define NIMBREL_ASSERT_OWNER(bOnOwner)                                \
    do                                                                \
    {                                                                 \
        if (!(bOnOwner))                                              \
            ::OwnerCheckFailed(__FILE__, __LINE__, __func__);         \
    } while (0)
#else
#define NIMBREL_ASSERT_OWNER(bOnOwner) \
    do                                 \
    {                                  \
    } while (0)
#endif
