// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "core/service/CMonitorTap.h"

class CPortTable;

// The ports' monitors: which readers watch which port, and the one drain
// that takes each watched port's ring and hands its records to every
// reader of that port. A port's worker captures only while at least one
// reader watches it. Any thread; one lock (m_csTaps) for all.
class CPortMonitor
{
public:
    static constexpr int PORT_COUNT = 256;

    explicit CPortMonitor(CPortTable& ports) : m_ports(ports) {}
    // Every port stops capturing.
    ~CPortMonitor();

    CPortMonitor(const CPortMonitor&) = delete;
    CPortMonitor& operator=(const CPortMonitor&) = delete;

    // A new reader of port nPort (0..255; null for any other number). The
    // port starts capturing when it is the first.
    std::shared_ptr<CMonitorTap> Open(int nPort);
    // The reader stops; its port stops capturing when it was the last. A
    // tap dropped without Close counts as closed at the next Poll.
    void Close(const std::shared_ptr<CMonitorTap>& pTap);
    // Moves what the watched ports captured to their readers.
    void Poll();
    // Whether port nPort captures now.
    bool IsWatched(int nPort) const;

private:
    void Forget(int nPort);

    CPortTable& m_ports;
    mutable std::mutex m_csTaps;  // guards m_taps and the ports' capture switch
    std::array<std::vector<std::weak_ptr<CMonitorTap>>, PORT_COUNT> m_taps;
    std::vector<CCaptureRecord> m_records;  // Poll's, kept for its storage
};
