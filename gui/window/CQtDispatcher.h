// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include <QObject>

#include "core/bridge/CDispatcher.h"
#include "core/bridge/CSendGate.h"

// The window's dispatcher: tasks run as queued invocations on the GUI
// thread's event loop. Send waits on a condition variable instead of a
// blocking-queued call, so that Quit can release a waiting sender (a
// blocking-queued call cannot be abandoned).
//
// The owner thread is the thread that built the dispatcher; build it on the
// GUI thread. After Quit nothing queued runs any more.
class CQtDispatcher : public CDispatcher
{
public:
    CQtDispatcher();
    ~CQtDispatcher() override;

    CQtDispatcher(const CQtDispatcher&) = delete;
    CQtDispatcher& operator=(const CQtDispatcher&) = delete;

    void Post(std::function<void()> fn) override;
    int Send(std::function<int()> fn) override;
    bool IsOwnerThread() const override;
    void Quit() override;
    bool IsQuit() const;

private:
    // Queues fn on the owner's event loop.
    void Queue(std::function<void()> fn);

    // Lives on the owner thread; queued invocations are addressed to it and
    // die with it.
    std::unique_ptr<QObject> m_pReceiver;
    const std::thread::id m_idOwner;
    // Senders from other threads wait here; it also holds the quit flag.
    CSendGate m_gate;
};
