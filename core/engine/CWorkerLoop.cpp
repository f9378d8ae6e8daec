// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CWorkerLoop.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/engine/CConnection.h"

namespace
{

// poll's event bits are epoll's for the events a worker asks for.
static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLRDHUP == EPOLLRDHUP && POLLPRI == EPOLLPRI &&
              POLLHUP == EPOLLHUP && POLLERR == EPOLLERR);

constexpr int MAX_EVENTS = 256;

}  // namespace

CWorkerLoop::CWorkerLoop() = default;

CWorkerLoop::~CWorkerLoop()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bQuit = true;
    }
    if (m_thread.joinable())
    {
        const uint64_t nOne = 1;
        while (write(m_hWake, &nOne, sizeof(nOne)) < 0 && errno == EINTR)
        {
        }
        m_thread.join();
    }
    // A worker left over never runs again: nobody waits for it.
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_setRunning.clear();
    }
    m_cvEnded.notify_all();
    if (m_hWake >= 0)
        close(m_hWake);
    if (m_hEpoll >= 0)
        close(m_hEpoll);
}

CWorkerLoop& CWorkerLoop::ForPort(int nPort)
{
    // Never destroyed: a worker may still stop while the program's statics
    // go, and the threads end with the process.
    static CWorkerLoop* const s_pLoops = new CWorkerLoop[LOOP_COUNT];
    return s_pLoops[(nPort % LOOP_COUNT + LOOP_COUNT) % LOOP_COUNT];
}

int64_t CWorkerLoop::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool CWorkerLoop::Attach(CLoopWorker& worker)
{
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_bQuit)
        return false;
    if (!m_thread.joinable())
    {
        if (m_hEpoll < 0)
            m_hEpoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_hWake < 0)
            m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_hEpoll < 0 || m_hWake < 0)
            return false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = static_cast<uint64_t>(m_hWake);
        if (epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, m_hWake, &ev) != 0 && errno != EEXIST)
            return false;
        try
        {
            m_thread = std::thread([this] { Run(); });
        }
        catch (const std::system_error&)
        {
            return false;
        }
    }
    m_vecJoining.push_back(&worker);
    m_setRunning.insert(&worker);
    const uint64_t nOne = 1;
    while (write(m_hWake, &nOne, sizeof(nOne)) < 0 && errno == EINTR)
    {
    }
    return true;
}

void CWorkerLoop::WaitEnded(CLoopWorker& worker)
{
    std::unique_lock<std::mutex> lock(m_cs);
    m_cvEnded.wait(lock, [&] { return m_setRunning.count(&worker) == 0; });
}

void CWorkerLoop::Ended(CLoopWorker* pWorker)
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_setRunning.erase(pWorker);
    }
    m_cvEnded.notify_all();
}

void CWorkerLoop::Run()
{
    epoll_event events[MAX_EVENTS];
    for (;;)
    {
        std::vector<CLoopWorker*> vecJoined;
        {
            std::lock_guard<std::mutex> lock(m_cs);
            if (m_bQuit)
                break;
            vecJoined.swap(m_vecJoining);
        }
        for (CLoopWorker* pWorker : vecJoined)
        {
            auto entry = std::make_unique<SEntry>();
            entry->pWorker = pWorker;
            entry->bRunNow = true;
            pWorker->LoopBegin();
            m_vecEntries.push_back(std::move(entry));
        }

        // Every worker whose wait reported or ran out, in turn.
        const int64_t tNow = NowMs();
        for (size_t k = 0; k < m_vecEntries.size();)
        {
            SEntry& entry = *m_vecEntries[k];
            if (!entry.bRunNow && (entry.tDeadline < 0 || entry.tDeadline > tNow))
            {
                ++k;
                continue;
            }
            if (entry.bWaiting)
                entry.pWorker->LoopTakeWait(entry.wait);
            if (Serve(entry))
            {
                ++k;
                continue;
            }
            CLoopWorker* pWorker = entry.pWorker;
            m_vecEntries[k] = std::move(m_vecEntries.back());
            m_vecEntries.pop_back();
            Ended(pWorker);
        }

        int64_t tFirst = -1;
        for (const auto& entry : m_vecEntries)
            if (entry->tDeadline >= 0 && (tFirst < 0 || entry->tDeadline < tFirst))
                tFirst = entry->tDeadline;
        const int nTimeout = tFirst < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, tFirst - NowMs()));
        const int nReady = epoll_wait(m_hEpoll, events, MAX_EVENTS, nTimeout);
        for (int i = 0; i < nReady; ++i)
        {
            if (events[i].data.u64 == static_cast<uint64_t>(m_hWake))
            {
                uint64_t nValue;
                while (read(m_hWake, &nValue, sizeof(nValue)) > 0)
                {
                }
                continue;
            }
            const int hFd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
            const auto it = m_mapFd.find(hFd);
            if (it == m_mapFd.end() || it->second.nSerial != static_cast<uint32_t>(events[i].data.u64 >> 32))
                continue;
            SEntry& entry = *it->second.pEntry;
            struct pollfd* fds = entry.wait.GetFds();
            for (int j = 0; j < entry.wait.GetCount(); ++j)
                if (fds[j].fd == hFd)
                    fds[j].revents = static_cast<short>(events[i].events);
            entry.bRunNow = true;
        }
    }
}

bool CWorkerLoop::Serve(SEntry& entry)
{
    const uint64_t nClosedBefore = CConnection::SocketsClosed();
    for (;;)
    {
        if (!entry.pWorker->LoopCycle())
        {
            Unregister(entry);
            entry.pWorker->LoopFinish();
            return false;
        }
        CPollSet wait;
        if (!entry.pWorker->LoopPrepareWait(wait))
            continue;
        Register(entry, wait, CConnection::SocketsClosed() != nClosedBefore);
        entry.wait = wait;
        entry.bWaiting = true;
        entry.bRunNow = false;
        entry.tDeadline = wait.GetTimeout() < 0 ? -1 : NowMs() + wait.GetTimeout();
        return true;
    }
}

void CWorkerLoop::Register(SEntry& entry, CPollSet& wait, bool bAfresh)
{
    if (bAfresh)
        Unregister(entry);
    struct pollfd* oldFds = entry.wait.GetFds();
    const int nOld = entry.bWaiting ? entry.wait.GetCount() : 0;
    struct pollfd* newFds = wait.GetFds();
    const int nNew = wait.GetCount();
    // What is no longer watched leaves the set.
    for (int i = 0; i < nOld; ++i)
    {
        bool bKept = false;
        for (int j = 0; j < nNew && !bKept; ++j)
            bKept = newFds[j].fd == oldFds[i].fd;
        if (!bKept)
            Forget(entry, oldFds[i].fd);
    }
    for (int j = 0; j < nNew; ++j)
    {
        int nOp = EPOLL_CTL_ADD;
        for (int i = 0; i < nOld; ++i)
            if (oldFds[i].fd == newFds[j].fd)
                nOp = oldFds[i].events == newFds[j].events ? -1 : EPOLL_CTL_MOD;
        const auto it = m_mapFd.find(newFds[j].fd);
        if (nOp < 0 && it != m_mapFd.end() && it->second.pEntry == &entry)
            continue;
        // A new registration, or one taken over from a descriptor closed
        // meanwhile: a serial of its own.
        if (nOp == EPOLL_CTL_ADD || it == m_mapFd.end() || it->second.pEntry != &entry)
            m_mapFd[newFds[j].fd] = {&entry, ++m_nSerial};
        if (nOp < 0)
            nOp = EPOLL_CTL_MOD;
        epoll_event ev{};
        ev.events = static_cast<uint16_t>(newFds[j].events);
        ev.data.u64 = (static_cast<uint64_t>(m_mapFd[newFds[j].fd].nSerial) << 32) | static_cast<uint32_t>(newFds[j].fd);
        if (epoll_ctl(m_hEpoll, nOp, newFds[j].fd, &ev) != 0)
        {
            // Gone from the set with a descriptor closed, or there already.
            if (errno == ENOENT)
                epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, newFds[j].fd, &ev);
            else if (errno == EEXIST)
                epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, newFds[j].fd, &ev);
        }
    }
}

void CWorkerLoop::Unregister(SEntry& entry)
{
    if (!entry.bWaiting)
        return;
    struct pollfd* fds = entry.wait.GetFds();
    for (int i = 0; i < entry.wait.GetCount(); ++i)
        Forget(entry, fds[i].fd);
    entry.bWaiting = false;
}

void CWorkerLoop::Forget(SEntry& entry, int hFd)
{
    // Another worker of this loop may watch the number by now: its
    // registration stays.
    const auto it = m_mapFd.find(hFd);
    if (it == m_mapFd.end() || it->second.pEntry != &entry)
        return;
    epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, hFd, nullptr);
    m_mapFd.erase(it);
}
