// SPDX-License-Identifier: Apache-2.0
// The worker on a link of the test's own, with no virtual port, owner or
// event handler behind it: everything it does to its port goes through
// the link.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "core/engine/CSocketCtrl.h"
#include "core/model/PortStatus.h"
#include "tests/TestSupport.h"
#include "tests/core/engine/CTestWorkerPort.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

bool WaitFor(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout = 5s)
{
    for (auto tEnd = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < tEnd;)
    {
        if (fnDone())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return fnDone();
}

class WorkerLinkTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_sock.StopThread();
        for (int h : m_vecClose)
            close(h);
    }

    // A client port dialled towards a fresh listener; returns the peer.
    int ConnectClient()
    {
        int nPort = 0;
        const int hListen = ListenTcp(&nPort);
        m_vecClose.push_back(hListen);
        m_link.m_entry.m_nMode = MODE_TCP_CLIENT;
        m_link.m_entry.m_strIPAddress = "127.0.0.1";
        m_link.m_entry.m_nPeerPort = nPort;
        m_sock.Bind(m_link, 0);
        if (m_sock.StartThread() != 1)
            return -1;
        m_sock.OnPortOpen();
        const int hPeer = AcceptWithin(hListen, 5000);
        if (hPeer >= 0)
            m_vecClose.push_back(hPeer);
        return WaitFor([&] { return m_sock.GetState() == EWorkerState::Data; }) ? hPeer : -1;
    }

    CTestWorkerPort m_link;
    std::vector<int> m_vecClose;
    CSocketCtrl m_sock;  // last: it ends before its link goes
};

}  // namespace

TEST_F(WorkerLinkTest, ClientCarriesBothWaysAndShowsTheLineOnTheLink)
{
    const int hPeer = ConnectClient();
    ASSERT_GE(hPeer, 0);
    EXPECT_TRUE(WaitFor([&] { return m_link.m_bLink == 1; })) << "the line goes on with the connection";
    EXPECT_TRUE(m_link.HasReport(STATUS_CONNECTED));

    const std::string strUp = Pattern(3000, 7);
    ASSERT_TRUE(WriteAll(m_link.m_hApp, strUp));
    EXPECT_EQ(ReadFor(hPeer, strUp.size()), strUp);
    const std::string strDown = Pattern(3000, 8);
    ASSERT_TRUE(WriteAll(hPeer, strDown));
    EXPECT_EQ(ReadFor(m_link.m_hApp, strDown.size()), strDown);

    m_sock.StopThread();
    EXPECT_EQ(m_link.m_bLink, 0);
    const std::vector<CTestWorkerPort::SReport> vec = m_link.Reports();
    ASSERT_FALSE(vec.empty());
    EXPECT_EQ(vec.back().nCode, STATUS_NOT_CONNECT);
}

TEST_F(WorkerLinkTest, APortThatTakesFewBytesAtATimeGetsAllInOrder)
{
    m_link.m_nWriteLimit = 7;
    const int hPeer = ConnectClient();
    ASSERT_GE(hPeer, 0);
    const std::string strDown = Pattern(20000, 3);
    ASSERT_TRUE(WriteAll(hPeer, strDown));
    EXPECT_EQ(ReadFor(m_link.m_hApp, strDown.size()), strDown);
}

TEST_F(WorkerLinkTest, TheLinksLineStateHoldsDeliveryBack)
{
    m_link.m_line.m_dwFlowCtrl = FLOW_RTS;
    m_link.m_line.m_bRtsLine = 0;
    const int hPeer = ConnectClient();
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WriteAll(hPeer, "held"));
    EXPECT_FALSE(WaitReadable(m_link.m_hApp, 200)) << "RTS is down: nothing for the application";

    m_link.m_line.m_bRtsLine = 1;
    m_sock.Wake();
    EXPECT_EQ(ReadFor(m_link.m_hApp, 4), "held");
}

TEST_F(WorkerLinkTest, AnApplicationGoneUnseenIsReportedToTheLinkOnce)
{
    ASSERT_GE(ConnectClient(), 0);
    // The application leaves: its end of the port hangs up.
    m_link.m_bOpen = false;
    close(m_link.m_hApp);
    m_link.m_hApp = -1;
    ASSERT_TRUE(WaitFor([&] { return m_sock.SawApplicationGo() == 1; }));
    EXPECT_EQ(m_link.m_nHangUps, 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(m_link.m_nHangUps, 1) << "told once, not every cycle";
}

TEST_F(WorkerLinkTest, UdpReportsTheLocalPortTheSystemGave)
{
    int nPeerPort = 0;
    const int hPeer = BindUdp(&nPeerPort);
    m_vecClose.push_back(hPeer);
    m_link.m_entry.m_nMode = MODE_UDP;
    m_link.m_entry.m_strIPAddress = "127.0.0.1";
    m_link.m_entry.m_nPeerPort = nPeerPort;
    m_link.m_entry.m_nLocPort = 0;
    m_sock.Bind(m_link, 0);
    ASSERT_EQ(m_sock.StartThread(), 1);
    m_sock.OnPortOpen();
    ASSERT_TRUE(WaitFor([&] { return m_link.HasReport(STATUS_UDP_STARTED); }));

    int nLocal = 0;
    for (const CTestWorkerPort::SReport& report : m_link.Reports())
        if (report.nCode == STATUS_LOCAL)
            nLocal = std::stoi(report.strText);
    ASSERT_GT(nLocal, 0);
    ASSERT_TRUE(SendUdpTo(hPeer, nLocal, "to the given port"));
    EXPECT_EQ(ReadFor(m_link.m_hApp, 17), "to the given port");
}
