// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CMonitorTap;
class CPortService;

// nimbreld's monitor: a thread of its own that drains the watched ports'
// monitors every few milliseconds and prints their lines, each prefixed by
// the port ("COM2 12:04:31.250  to peer    48 69  Hi"), to standard output
// or to a file. The worker never waits for it: a printer that cannot keep
// up loses lines and prints how many bytes it did not show.
class CMonitorPrinter
{
public:
    explicit CMonitorPrinter(CPortService& service) : m_service(service) {}
    ~CMonitorPrinter();

    CMonitorPrinter(const CMonitorPrinter&) = delete;
    CMonitorPrinter& operator=(const CMonitorPrinter&) = delete;

    // Owner thread, before Start: where the lines go (empty: standard
    // output). False with *pError when the file cannot be opened for
    // appending.
    bool OpenFile(const std::string& strPath, std::string* pError);
    // Owner thread: watch these ports and start printing.
    void Start(const std::vector<int>& vecPorts);
    // Owner thread: prints what is left, then stops; the ports no longer
    // capture.
    void Stop();

private:
    void Run();
    void PrintPending();

    CPortService& m_service;
    std::FILE* m_pOut = nullptr;  // owned when not stdout
    std::vector<std::shared_ptr<CMonitorTap>> m_taps;
    int64_t m_nWallOffsetNs = 0;
    std::thread m_thread;
    std::mutex m_csStop;  // guards m_bStop
    std::condition_variable m_cvStop;
    bool m_bStop = false;
};
