// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/engine/CLoopWorker.h"
#include "core/engine/CPollSet.h"

// A thread that runs the cycles of many connection workers: it waits in one
// epoll set for what every worker's next cycle can act on and runs each
// worker that is ready, so one wake-up serves every port ready at that
// moment (instead of a thread blocked in poll per port).
//
// A worker's cycles and waits are those it would have on a thread of its
// own, in the same order; only the waiting is shared. A worker runs on its
// loop from Attach until its owner, having asked it to stop, has seen it end
// (WaitEnded).
class CWorkerLoop
{
public:
    static constexpr int LOOP_COUNT = 2;

    CWorkerLoop();
    ~CWorkerLoop();

    CWorkerLoop(const CWorkerLoop&) = delete;
    CWorkerLoop& operator=(const CWorkerLoop&) = delete;

    // The loop that serves port nPort, one of LOOP_COUNT the process shares;
    // started when first used.
    static CWorkerLoop& ForPort(int nPort);

    // Any thread but the loop's: the worker runs from now on. False when the
    // loop cannot run (no thread, no epoll set).
    bool Attach(CLoopWorker& worker);
    // Any thread but the loop's, after the worker was asked to stop and woken:
    // returns once its last cycle ran and it finished.
    void WaitEnded(CLoopWorker& worker);

private:
    // A worker on this loop and what its current wait is for.
    struct SEntry
    {
        CLoopWorker* pWorker = nullptr;
        CPollSet wait;
        bool bWaiting = false;   // wait holds descriptors registered in the set
        bool bRunNow = false;    // ready, or new
        int64_t tDeadline = -1;  // when the wait ends without an event (ms)
    };

    void Run();
    // Runs the worker's cycles until it waits; false when it ended.
    bool Serve(SEntry& entry);
    // Makes the set watch what wait asks for instead of what entry watched;
    // bAfresh: a descriptor number may now stand for another descriptor.
    void Register(SEntry& entry, CPollSet& wait, bool bAfresh);
    void Unregister(SEntry& entry);
    void Ended(CLoopWorker* pWorker);
    static int64_t NowMs();

    // Guards m_vecJoining, m_setRunning and m_bQuit; m_cvEnded tells of
    // workers leaving m_setRunning.
    std::mutex m_cs;
    std::condition_variable m_cvEnded;
    std::vector<CLoopWorker*> m_vecJoining;
    std::unordered_set<CLoopWorker*> m_setRunning;
    bool m_bQuit = false;

    int m_hEpoll = -1;
    int m_hWake = -1;  // eventfd: a worker joined, or the loop ends
    std::thread m_thread;

    // The loop thread's own.
    std::vector<std::unique_ptr<SEntry>> m_vecEntries;
    // Who watches each descriptor number, under which registration: an
    // event of a registration since replaced (a descriptor closed while
    // another still held its file) is not taken for the new one's.
    struct SWatch
    {
        SEntry* pEntry;
        uint32_t nSerial;
    };
    std::unordered_map<int, SWatch> m_mapFd;
    uint32_t m_nSerial = 0;
    // Removes hFd from the set and the map when entry watches it.
    void Forget(SEntry& entry, int hFd);
};
