// SPDX-License-Identifier: Apache-2.0
#include "core/service/CTaskLoop.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace
{
// Short enough that RunUntil notices other threads' state changes promptly.
constexpr std::chrono::milliseconds RECHECK_INTERVAL{10};
}  // namespace

CTaskLoop::CTaskLoop() : m_idOwner(std::this_thread::get_id())
{
}

void CTaskLoop::Post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_tasks.push_back(std::move(fn));
    }
    m_cvTask.notify_one();
}

int CTaskLoop::Send(std::function<int()> fn)
{
    if (IsOwnerThread())
        return fn();
    return m_gate.Send(std::move(fn), [this](std::function<void()> task) { Post(std::move(task)); });
}

bool CTaskLoop::IsOwnerThread() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_idOwner == std::this_thread::get_id();
}

void CTaskLoop::Run()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_idOwner = std::this_thread::get_id();
    }
    for (;;)
    {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_cs);
            m_cvTask.wait(lock, [this] { return m_bQuit || !m_tasks.empty(); });
            if (m_bQuit)
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

void CTaskLoop::Quit()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bQuit = 1;
    }
    m_cvTask.notify_all();
    m_gate.Quit();
}

bool CTaskLoop::IsQuit() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_bQuit != 0;
}

int CTaskLoop::RunPending()
{
    size_t nQueued = 0;
    {
        std::lock_guard<std::mutex> lock(m_cs);
        nQueued = m_tasks.size();
    }
    int nRan = 0;
    for (size_t i = 0; i < nQueued; ++i)
    {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(m_cs);
            // A task may have run a nested loop that took the rest.
            if (m_tasks.empty())
                break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        ++nRan;
    }
    return nRan;
}

bool CTaskLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto tDeadline = std::chrono::steady_clock::now() + timeout;
    while (!pred())
    {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_cs);
            const auto tNow = std::chrono::steady_clock::now();
            if (tNow >= tDeadline)
                break;
            const auto tWake = std::min(tDeadline, tNow + RECHECK_INTERVAL);
            if (m_cvTask.wait_until(lock, tWake, [this] { return !m_tasks.empty(); }))
            {
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
        }
        if (task)
            task();
    }
    return pred();
}

int CTaskLoop::GetPendingCount() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return static_cast<int>(m_tasks.size());
}
