// SPDX-License-Identifier: Apache-2.0
#include "core/service/CTaskLoop.h"

#include "tests/core/bridge/DispatcherContract.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
// Generous: only a broken loop gets anywhere near it.
constexpr auto LONG_WAIT = 30s;

}  // namespace

TEST(CTaskLoopTest, PostedTasksRunInOrderWhenPumped)
{
    CTaskLoop loop;
    std::vector<int> order;
    loop.Post([&] {
        order.push_back(1);
        loop.Post([&] { order.push_back(4); });  // queued behind the rest
    });
    loop.Post([&] { order.push_back(2); });
    loop.Post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(loop.GetPendingCount(), 3);

    EXPECT_EQ(loop.RunPending(), 3);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(loop.RunPending(), 1);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(loop.RunPending(), 0);
}

TEST(CTaskLoopTest, SendRunsOnTheOwnerThread)
{
    CTaskLoop loop;
    const auto idOwner = std::this_thread::get_id();
    std::atomic<int> nResult{-1};
    std::thread::id idRan;
    bool bOwnerSeen = false;

    std::thread sender([&] {
        EXPECT_FALSE(loop.IsOwnerThread());
        nResult = loop.Send([&] {
            idRan = std::this_thread::get_id();
            bOwnerSeen = loop.IsOwnerThread();
            return 42;
        });
    });
    EXPECT_TRUE(loop.RunUntil([&] { return nResult.load() != -1; }, LONG_WAIT));
    sender.join();
    EXPECT_EQ(nResult.load(), 42);
    EXPECT_EQ(idRan, idOwner);
    EXPECT_TRUE(bOwnerSeen);

    // On the owner thread a send runs inline, without queueing.
    EXPECT_EQ(loop.Send([] { return 17; }), 17);
    EXPECT_EQ(loop.GetPendingCount(), 0);
}

TEST(CTaskLoopTest, RunMakesItsThreadTheOwner)
{
    CTaskLoop loop;
    std::thread::id idLoop;
    std::thread runner([&] {
        idLoop = std::this_thread::get_id();
        loop.Run();
    });

    // Once Run has taken over, a send from here is served by the runner.
    ASSERT_TRUE(loop.RunUntil([&] { return !loop.IsOwnerThread(); }, LONG_WAIT));
    std::thread::id idRan;
    const int nResult = loop.Send([&] {
        idRan = std::this_thread::get_id();
        return 5;
    });
    loop.Quit();
    runner.join();
    EXPECT_EQ(nResult, 5);
    EXPECT_EQ(idRan, idLoop);
}

TEST(CTaskLoopTest, QuitFromTaskEndsRunAndKeepsTheRest)
{
    CTaskLoop loop;
    std::vector<int> order;
    loop.Post([&] { order.push_back(1); });
    loop.Post([&] { loop.Quit(); });
    loop.Post([&] { order.push_back(3); });

    loop.Run();
    EXPECT_EQ(order, (std::vector<int>{1}));
    EXPECT_TRUE(loop.IsQuit());

    // A quit loop returns from Run at once; leftovers can still be pumped.
    loop.Run();
    EXPECT_EQ(loop.RunPending(), 1);
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
}

TEST(CTaskLoopTest, ManyPostersAllDelivered)
{
    constexpr int THREADS = 8;
    constexpr int PER_THREAD = 1000;
    CTaskLoop loop;
    std::vector<int> nextOf(THREADS, 0);  // owner thread only
    int nDelivered = 0;
    int nOutOfOrder = 0;

    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i)
                loop.Post([&, t, i] {
                    nOutOfOrder += nextOf[t] != i;
                    nextOf[t] = i + 1;
                    ++nDelivered;
                });
        });

    EXPECT_TRUE(loop.RunUntil([&] { return nDelivered == THREADS * PER_THREAD; }, LONG_WAIT));
    for (auto& poster : posters)
        poster.join();
    EXPECT_EQ(loop.RunPending(), 0);
    EXPECT_EQ(nOutOfOrder, 0);
}

TEST(CTaskLoopTest, RunUntilTimesOutOrSeesOtherThreads)
{
    CTaskLoop loop;
    int nRan = 0;
    loop.Post([&] { ++nRan; });
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 30ms));
    EXPECT_EQ(nRan, 1);  // tasks still ran while waiting
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 0ms));

    // No task ever wakes the loop here: the periodic re-check must.
    std::atomic<int> bSet{0};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        bSet = 1;
    });
    EXPECT_TRUE(loop.RunUntil([&] { return bSet.load() == 1; }, LONG_WAIT));
    setter.join();
}

// The dispatcher contract, as the Qt window's dispatcher is held to it too.
TEST(CTaskLoopTest, KeepsTheDispatcherContract)
{
    CTaskLoop loop;
    const dispatchercontract::RunOwnerUntil run = [&](const std::function<bool()>& pred,
                                                      std::chrono::milliseconds timeout) {
        return loop.RunUntil(pred, timeout);
    };
    EXPECT_EQ(dispatchercontract::CheckPostsRunInOrderOnTheOwner(loop, run), "");
    EXPECT_EQ(dispatchercontract::CheckSendReturnsTheResult(loop, run), "");
    EXPECT_EQ(dispatchercontract::CheckQuitReleasesSenders(loop, run), "");
}
