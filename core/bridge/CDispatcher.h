// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

// Runs work on the owner thread: the thread that owns the port rows, the
// virtual ports and the event handlers. The Qt front end implements it with
// queued invocations, the headless front end and the tests with CTaskLoop.
//
// The contract every implementation keeps (tests/bridge/DispatcherContract.h
// checks it for each one):
// - Post and Send are safe from any thread; tasks run on the owner thread in
//   the order they were queued.
// - Send from the owner thread runs its task inline (it cannot wait for
//   itself).
// - Quit releases senders: a Send from another thread that is waiting when
//   Quit comes, or that starts after it, returns 0 without its task having
//   run, since the owner may be tearing down and never run it. A task that
//   already started finishes, and its sender gets its result.
class CDispatcher
{
public:
    virtual ~CDispatcher() = default;

    // Any thread. Queues fn to run later on the owner thread and returns at
    // once (a posted window message).
    virtual void Post(std::function<void()> fn) = 0;

    // Any thread. Runs fn on the owner thread and waits for its result (a
    // sent window message); 0 when released by Quit.
    virtual int Send(std::function<int()> fn) = 0;

    // Any thread. True when the caller is on the owner thread.
    virtual bool IsOwnerThread() const = 0;

    // Any thread. The owner stops running tasks for good; waiting and later
    // senders are released.
    virtual void Quit() = 0;
};
