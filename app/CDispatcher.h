#pragma once

#include <functional>

// Runs work on the owner thread: the thread that owns the port rows, the
// virtual ports and the event handlers. The Qt front end implements it with
// queued invocations, the headless front end and the tests with CTaskLoop.
class CDispatcher
{
public:
    virtual ~CDispatcher() = default;

    // Safe from any thread. Queues fn to run later on the owner thread and
    // returns at once (a posted window message).
    virtual void Post(std::function<void()> fn) = 0;

    // Safe from any thread. Runs fn on the owner thread and waits for its
    // result (a sent window message). On the owner thread it runs inline.
    virtual int Send(std::function<int()> fn) = 0;

    // True when the caller is on the owner thread.
    virtual bool IsOwnerThread() const = 0;
};
