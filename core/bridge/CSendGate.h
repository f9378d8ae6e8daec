// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

// The waiting side of a sent task, the same for every dispatcher: the
// sender waits until the owner ran its task, or until the dispatcher quits
// before the task started; a task not started by Quit is dropped when its
// turn comes. A task that started finishes and its sender
// gets the result.
class CSendGate
{
public:
    using QueueFn = std::function<void(std::function<void()>)>;

    // Any thread but the owner. Hands a wrapper of fn to fnQueue (which
    // queues it for the owner) and waits; fn's result, or 0 when Quit came
    // first.
    int Send(std::function<int()> fn, const QueueFn& fnQueue);

    // Any thread. Releases every waiting sender and refuses later ones.
    void Quit();
    bool IsQuit() const;

private:
    struct SSent;

    // Guards m_bQuit and every SSent.
    mutable std::mutex m_cs;
    std::condition_variable m_cvDone;  // a sent task finished, or Quit
    int m_bQuit = 0;
};
