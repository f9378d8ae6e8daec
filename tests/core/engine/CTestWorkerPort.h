// SPDX-License-Identifier: Apache-2.0
#pragma once

// A worker's port without the bridge: the application's end is one side
// of a socket pair, reports are kept in a list, and the port can be told
// to take only a few bytes per write, as a full pty does.

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/CWorkerPort.h"
#include "core/model/CLineState.h"
#include "core/model/COptionSet.h"

class CTestWorkerPort : public CWorkerPort
{
public:
    struct SReport
    {
        int nCode;
        std::string strText;
    };

    CTestWorkerPort()
    {
        int h[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, h) == 0)
        {
            m_hPort = h[0];
            m_hApp = h[1];
        }
    }
    ~CTestWorkerPort() override
    {
        close(m_hPort);
        close(m_hApp);
    }

    CPortEntry GetEntry() const override { return m_entry; }
    const COptionSet& GetOptions() const override { return m_options; }
    CLineState& GetLine() override { return m_line; }
    void Report(int nCode, std::string strText) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_vecReports.push_back({nCode, std::move(strText)});
    }

    long WriteData(const unsigned char* pData, long nLength) override
    {
        const long nMost = m_nWriteLimit > 0 && nLength > m_nWriteLimit ? m_nWriteLimit : nLength;
        const ssize_t n = write(m_hPort, pData, static_cast<size_t>(nMost));
        return n > 0 ? static_cast<long>(n) : 0;
    }
    long ReadData(unsigned char* pData, long nRoom) override
    {
        const ssize_t n = read(m_hPort, pData, static_cast<size_t>(nRoom));
        return n > 0 ? static_cast<long>(n) : 0;
    }
    long BytesToRead() override
    {
        int n = 0;
        return ioctl(m_hPort, FIONREAD, &n) == 0 ? n : 0;
    }
    int GetPollHandle() const override { return m_hPort; }
    int IsSlaveOpen() override { return m_bOpen ? 1 : 0; }
    void ReportHangUp() override { ++m_nHangUps; }
    void SetCTS(int bOn) override { m_bCts = bOn; }
    void SetLinkSignals(int bOn) override { m_bLink = bOn; }
    unsigned TakeFlushes() override { return m_nFlushes.exchange(0); }
    // A pty: the baud rate and stop bits are kept, data size and parity
    // stay 8 and none whatever is asked.
    CComPortOption::SSettings ApplySerialSettings(const CComPortOption::SSettings& settings) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_applied = settings;
        m_applied.nDataBits = 8;
        m_applied.parity = CComPortOption::EParity::None;
        ++m_nApplied;
        return m_applied;
    }
    CComPortOption::SSettings Applied()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_applied;
    }
    int AppliedCount()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_nApplied;
    }

    std::vector<SReport> Reports()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_vecReports;
    }
    bool HasReport(int nCode)
    {
        for (const SReport& report : Reports())
            if (report.nCode == nCode)
                return true;
        return false;
    }

    // Set before the worker starts.
    CPortEntry m_entry;
    COptionSet m_options;
    long m_nWriteLimit = 0;  // 0: no limit

    CLineState m_line;
    std::atomic<bool> m_bOpen{true};
    std::atomic<int> m_bLink{0};
    std::atomic<int> m_bCts{1};
    std::atomic<int> m_nHangUps{0};
    std::atomic<unsigned> m_nFlushes{0};  // what TakeFlushes hands out next
    int m_hPort = -1;  // the worker's end
    int m_hApp = -1;   // the application's end

private:
    std::mutex m_cs;
    std::vector<SReport> m_vecReports;
    CComPortOption::SSettings m_applied;
    int m_nApplied = 0;
};
