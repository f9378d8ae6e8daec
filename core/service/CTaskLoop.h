// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "core/bridge/CDispatcher.h"
#include "core/bridge/CSendGate.h"

// A plain task loop: the dispatcher of the headless front end and the tests.
//
// The owner thread is the thread that built the loop, or the last one that
// called Run(). Only the owner runs tasks (Run, RunPending, RunUntil).
//
// Quit() ends Run() and releases senders: a Send from another thread after
// Quit (or waiting while Quit comes) returns 0 without running its task,
// since the owner may be busy tearing down and never run it. A Send on the
// owner thread still runs inline; it cannot wait for anybody. Posted tasks
// stay queued after Quit; RunPending and RunUntil still run them.
class CTaskLoop : public CDispatcher
{
public:
    CTaskLoop();
    // No thread may be inside Send or Post any more.
    ~CTaskLoop() override = default;

    CTaskLoop(const CTaskLoop&) = delete;
    CTaskLoop& operator=(const CTaskLoop&) = delete;

    // Any thread.
    void Post(std::function<void()> fn) override;
    // Any thread. See the class comment for the behaviour after Quit.
    int Send(std::function<int()> fn) override;
    // Any thread.
    bool IsOwnerThread() const override;

    // Makes the calling thread the owner and runs tasks until Quit().
    // Returns at once when Quit() was already called.
    void Run();
    // Any thread (also one that handles signals; not a signal handler).
    void Quit() override;
    // Any thread.
    bool IsQuit() const;

    // Owner thread. Runs the tasks queued now, not those they queue;
    // returns how many ran.
    int RunPending();
    // Owner thread. Runs tasks as they arrive until pred() holds or the
    // timeout passes; returns pred(). pred() is checked after every task and
    // at least every 10 ms, so it may watch other threads' state.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    // Any thread. Tasks waiting to run; for tests and diagnostics.
    int GetPendingCount() const;

private:
    // Guards every member below.
    mutable std::mutex m_cs;
    std::condition_variable m_cvTask;  // a task arrived, or Quit
    std::deque<std::function<void()>> m_tasks;
    std::thread::id m_idOwner;
    int m_bQuit = 0;
    // Senders from other threads wait here.
    CSendGate m_gate;
};
