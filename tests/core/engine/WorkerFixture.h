// SPDX-License-Identifier: Apache-2.0
#pragma once

// The worker test fixture: a small owner with real virtual ports in a
// private directory, its owner loop run by the test thread, and helpers for
// the application's and the peer's side.

#include <sys/stat.h>

#include <atomic>
#include <ostream>
#include <chrono>
#include <thread>
#include <vector>

#include "core/service/CTaskLoop.h"
#include "tests/core/engine/CTestPortOwner.h"
#include "tests/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

// Failure messages name the state.
inline std::ostream& operator<<(std::ostream& os, EWorkerState state)
{
    return os << WorkerStateName(state);
}

namespace workertest
{

constexpr int PORT = 0;  // COM1

class WorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_EQ(m_core.Init(m_dir.Path(), &strError), 1) << strError;
        m_core.m_rows.SetListener(&m_listener);
    }

    void TearDown() override
    {
        for (int h : m_vecClose)
            close(h);
        m_core.Teardown();
    }

    void ConfigureClient(int i, int nPeerPort, const std::string& strIp = "127.0.0.1")
    {
        m_core.m_comData.SetUse(i, 1);
        m_core.m_comData.SetEnable(i, 1);
        m_core.m_comData.SetMode(i, MODE_TCP_CLIENT);
        m_core.m_comData.SetIPAddress(i, strIp);
        m_core.m_comData.SetPeerPort(i, nPeerPort);
    }

    void ConfigureServer(int i, int nLocalPort)
    {
        m_core.m_comData.SetUse(i, 1);
        m_core.m_comData.SetEnable(i, 1);
        m_core.m_comData.SetMode(i, MODE_TCP_SERVER);
        m_core.m_comData.SetLocPort(i, nLocalPort);
    }

    void ConfigureUdp(int i, int nLocalPort, int nPeerPort, const std::string& strIp = "127.0.0.1")
    {
        m_core.m_comData.SetUse(i, 1);
        m_core.m_comData.SetEnable(i, 1);
        m_core.m_comData.SetMode(i, MODE_UDP);
        m_core.m_comData.SetIPAddress(i, strIp);
        m_core.m_comData.SetPeerPort(i, nPeerPort);
        m_core.m_comData.SetLocPort(i, nLocalPort);
    }

    // The row of one port, as the list build makes it.
    void AddRow(int i)
    {
        if (m_core.m_rows.FindRow(i) >= 0)
            return;
        m_core.m_rows.InsertRow(m_core.m_rows.GetRowCount(), CPortView::FromEntry(i, m_core.m_comData.GetEntry(i)));
    }

    // A client port started towards a fresh loopback listener; returns the
    // listener (closed at the end of the test). nReceiveBuffer > 0: the
    // accepted peers take that little, so the path fills up soon.
    int StartClientWithListener(int i, int nReceiveBuffer = 0)
    {
        int nPeerPort = 0;
        const int hListen = ListenTcp(&nPeerPort);
        if (nReceiveBuffer > 0)
            setsockopt(hListen, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof(nReceiveBuffer));
        m_vecClose.push_back(hListen);
        ConfigureClient(i, nPeerPort);
        StartPort(i);
        return hListen;
    }

    // The start sequence's own step for one port: create it, start its worker.
    void StartPort(int i)
    {
        AddRow(i);
        ASSERT_EQ(m_core.m_startStop.OnCreatePort(i), 1);
    }

    // From now on only the test reports the port's opens and closes (as
    // the watcher would, or as it would when too late to see one).
    void Unwatch(int i) { m_core.m_watcher.RemovePort(&m_core.GetPort(i)); }
    void ReportOpen(int i, int bOpen) { m_core.m_events.OnOpenChanged(COmbraPortAx::PORT_ID_BASE + i, bOpen); }
    int OpenApp(int i, int nFlags = 0)
    {
        int h = testsupport::OpenApp(m_core.GetPort(i).GetLinkPath(), nFlags);
        if (h >= 0)
            m_vecClose.push_back(h);
        return h;
    }

    // Writes a pattern into a non-blocking application descriptor until
    // nothing more goes in for 200 ms (the peer reads nothing); returns what
    // went in.
    std::string FillUntilStuck(int hApp, unsigned nSeed)
    {
        const std::string strChunk = Pattern(4096, nSeed);
        std::string strSent;
        for (auto tQuiet = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - tQuiet < 200ms;)
        {
            const ssize_t n = write(hApp, strChunk.data(), strChunk.size());
            if (n > 0)
            {
                strSent.append(strChunk, 0, static_cast<size_t>(n));
                tQuiet = std::chrono::steady_clock::now();
            }
            else
            {
                std::this_thread::sleep_for(1ms);
            }
        }
        return strSent;
    }

    // Client port i towards a peer that reads nothing: the application
    // fills everything between them and closes, and the worker is left
    // draining. Returns the peer's descriptor (-1 on failure) and fills
    // *pSent with what the application wrote.
    int StartDrainingClose(int i, unsigned nSeed, std::string* pSent)
    {
        const int hListen = StartClientWithListener(i, 4096);
        const int hApp = OpenApp(i, O_NONBLOCK);
        const int hPeer = Accept(hListen);
        if (hApp < 0 || hPeer < 0)
            return -1;
        m_vecClose.push_back(hPeer);
        if (!WaitConn(i, "Connected"))
            return -1;
        *pSent = FillUntilStuck(hApp, nSeed);
        CloseApp(hApp);
        return WaitState(i, EWorkerState::Drain) ? hPeer : -1;
    }

    void CloseApp(int h)
    {
        close(h);
        std::erase(m_vecClose, h);
    }

    std::string Peer(int i) { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(i), COL_PEER); }

    std::string Conn(int i) { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(i), COL_CONNECTION); }

    bool WaitConn(int i, const std::string& strText, std::chrono::milliseconds timeout = 5s)
    {
        return m_loop.RunUntil([&] { return Conn(i) == strText; }, timeout);
    }

    bool WaitState(int i, EWorkerState state, std::chrono::milliseconds timeout = 5s)
    {
        return m_loop.RunUntil([&] { return m_core.GetWorker(i).GetState() == state; }, timeout);
    }

    // Accepts while the owner thread keeps handling the port events.
    int Accept(int hListen, std::chrono::milliseconds timeout = 5s)
    {
        int h = -1;
        m_loop.RunUntil(
            [&] {
                return h >= 0 ||
                       (WaitReadable(hListen, 0) && (h = accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0);
            },
            timeout);
        return h;
    }

    // Waits until a server port accepts a connection; returns it.
    int ConnectWhenListening(int nPort)
    {
        int h = -1;
        m_loop.RunUntil([&] { return h >= 0 || (h = ConnectTcp(nPort, 200)) >= 0; }, 5s);
        return h;
    }

    // Texts the "Connection" cell of port i took, in order.
    std::vector<std::string> ConnHistory(int i)
    {
        std::vector<std::string> vec;
        for (auto& [nPort, str] : m_vecConn)
            if (nPort == i)
                vec.push_back(str);
        return vec;
    }

    CCellListener m_listener{[this](int nRow, int nCol, const std::string& strText) {
        if (nCol == COL_CONNECTION)
            m_vecConn.push_back({m_core.m_rows.GetItemData(nRow), strText});
        if (nCol == COL_PEER)
            m_vecPeer.push_back({m_core.m_rows.GetItemData(nRow), strText});
    }};
    CTempDir m_dir;
    CTaskLoop m_loop;
    CTestPortOwner m_core{&m_loop};
    std::vector<std::pair<int, std::string>> m_vecConn;
    std::vector<std::pair<int, std::string>> m_vecPeer;
    std::vector<int> m_vecClose;
};

}  // namespace workertest

using namespace workertest;
