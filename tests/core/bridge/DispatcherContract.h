// SPDX-License-Identifier: Apache-2.0
#pragma once

// The contract of CDispatcher (see bridge/CDispatcher.h), checked the same
// way for every implementation: the task loop of nimbreld and the tests, and
// the Qt window's dispatcher. Framework-neutral, so that GoogleTest and Qt
// Test programs both use it; each check returns what went wrong, or an empty
// string.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/CDispatcher.h"

namespace dispatchercontract
{

// Runs the owner's tasks until pred() holds or the time is up; returns pred().
using RunOwnerUntil = std::function<bool(const std::function<bool()>& pred, std::chrono::milliseconds timeout)>;

inline std::string CheckPostsRunInOrderOnTheOwner(CDispatcher& d, const RunOwnerUntil& run)
{
    std::vector<int> vecOrder;  // owner thread only
    std::atomic<int> bOffOwner{0};
    std::thread poster([&] {
        for (int k = 0; k < 100; ++k)
            d.Post([&, k] {
                if (!d.IsOwnerThread())
                    bOffOwner = 1;
                vecOrder.push_back(k);
            });
    });
    poster.join();
    if (!run([&] { return vecOrder.size() == 100; }, std::chrono::seconds(5)))
        return "posted tasks did not all run: " + std::to_string(vecOrder.size()) + " of 100";
    for (int k = 0; k < 100; ++k)
        if (vecOrder[static_cast<size_t>(k)] != k)
            return "posted tasks ran out of order at " + std::to_string(k);
    return bOffOwner ? "a posted task ran off the owner thread" : "";
}

inline std::string CheckSendReturnsTheResult(CDispatcher& d, const RunOwnerUntil& run)
{
    std::atomic<int> nResult{-1};
    std::atomic<int> bOnOwner{0};
    std::thread sender([&] {
        nResult = d.Send([&] {
            bOnOwner = d.IsOwnerThread() ? 1 : 0;
            return 42;
        });
    });
    const bool bDone = run([&] { return nResult != -1; }, std::chrono::seconds(5));
    sender.join();
    if (!bDone || nResult != 42)
        return "Send from another thread returned " + std::to_string(nResult.load()) + " instead of 42";
    if (!bOnOwner)
        return "a sent task ran off the owner thread";
    if (d.Send([] { return 7; }) != 7)
        return "Send on the owner thread did not run inline";
    return "";
}

// Call last: the dispatcher is quit afterwards.
inline std::string CheckQuitReleasesSenders(CDispatcher& d, const RunOwnerUntil& run)
{
    std::atomic<int> bStarted{0};
    std::atomic<int> nResult{-1};
    std::atomic<int> bRan{0};
    // The owner runs nothing while the sender waits, as during a teardown.
    std::thread waiting([&] {
        bStarted = 1;
        nResult = d.Send([&] {
            bRan = 1;
            return 1;
        });
    });
    while (!bStarted)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    d.Quit();
    waiting.join();
    if (nResult != 0)
        return "a waiting sender was not released by Quit (result " + std::to_string(nResult.load()) + ")";
    std::atomic<int> nLate{-1};
    std::thread late([&] { nLate = d.Send([] { return 1; }); });
    late.join();
    if (nLate != 0)
        return "a Send after Quit did not return 0 at once";
    // Whatever the owner still runs, the abandoned task must not run.
    run([] { return false; }, std::chrono::milliseconds(50));
    return bRan ? "a task whose sender was released still ran" : "";
}

}  // namespace dispatchercontract
