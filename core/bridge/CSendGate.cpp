// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CSendGate.h"

#include <memory>
#include <utility>

namespace
{
constexpr int SENT_QUEUED = 0;
constexpr int SENT_RUNNING = 1;
constexpr int SENT_DONE = 2;
constexpr int SENT_ABANDONED = 3;  // the sender gave up after Quit
}  // namespace

// Progress of one sent task, shared by the sender and the queued wrapper.
struct CSendGate::SSent
{
    int nState = SENT_QUEUED;
    int nResult = 0;
};

int CSendGate::Send(std::function<int()> fn, const QueueFn& fnQueue)
{
    auto pSent = std::make_shared<SSent>();
    {
        std::lock_guard<std::mutex> lock(m_cs);
        if (m_bQuit)
            return 0;
    }
    auto finish = [this, pSent](int nResult) {
        {
            std::lock_guard<std::mutex> lock(m_cs);
            pSent->nResult = nResult;
            pSent->nState = SENT_DONE;
        }
        m_cvDone.notify_all();
    };
    fnQueue([this, pSent, finish, fn = std::move(fn)] {
        {
            std::lock_guard<std::mutex> lock(m_cs);
            // After Quit its sender is released (or about to be): it must
            // not run behind the sender's back.
            if (pSent->nState == SENT_ABANDONED || m_bQuit)
                return;
            pSent->nState = SENT_RUNNING;
        }
        int nResult = 0;
        try
        {
            nResult = fn();
        }
        catch (...)
        {
            // Release the sender before the exception leaves the loop.
            finish(0);
            throw;
        }
        finish(nResult);
    });

    // A task already running is waited for: it will finish. One still
    // queued at Quit may never run.
    std::unique_lock<std::mutex> lock(m_cs);
    m_cvDone.wait(lock, [&] { return pSent->nState == SENT_DONE || (m_bQuit && pSent->nState == SENT_QUEUED); });
    if (pSent->nState == SENT_DONE)
        return pSent->nResult;
    pSent->nState = SENT_ABANDONED;
    return 0;
}

void CSendGate::Quit()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bQuit = 1;
    }
    m_cvDone.notify_all();
}

bool CSendGate::IsQuit() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_bQuit != 0;
}
