// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "core/engine/CCaptureRecord.h"

// One reader's share of a port's monitor (a window, nimbreld's printer):
// the records CPortMonitor handed it since the reader last took them. It is
// bounded like the port's ring: a reader that does not keep up (paused, or
// slower than the data) loses records, counted in a Lost record where they
// were lost. Any thread.
class CMonitorTap
{
public:
    static constexpr size_t DEFAULT_LIMIT = size_t{1} << 20;

    explicit CMonitorTap(int nPort, size_t nLimit = DEFAULT_LIMIT) : m_nPort(nPort), m_nLimit(nLimit) {}

    int Port() const { return m_nPort; }
    // The oldest records, at most nMost of them; a loss not yet told comes
    // last when nothing follows it.
    std::vector<CCaptureRecord> Take(size_t nMost = SIZE_MAX);
    bool HasRecords() const;

    // CPortMonitor: new records from the port's ring.
    void Add(std::vector<CCaptureRecord>& records);

private:
    void AddLost(uint64_t nBytes, uint64_t nEvents);
    void FlushLost();

    const int m_nPort;
    const size_t m_nLimit;
    mutable std::mutex m_csQueue;  // guards all below
    std::deque<CCaptureRecord> m_queue;
    size_t m_nQueued = 0;  // bytes of data in m_queue
    uint64_t m_nLostBytes = 0;
    uint64_t m_nLostEvents = 0;
};
