// SPDX-License-Identifier: Apache-2.0
#include <netinet/tcp.h>

#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"


TEST_F(WorkerTest, ServerAcceptsShowsPeerAndListensAgain)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_GE(hApp, 0);

    for (int nRound = 0; nRound < 2; ++nRound)
    {
        SCOPED_TRACE(nRound);
        int hPeer = ConnectWhenListening(nLocal);
        ASSERT_GE(hPeer, 0);
        ASSERT_TRUE(WaitConn(PORT, "Connected"));
        EXPECT_EQ(Peer(PORT), "127.0.0.1:" + std::to_string(LocalPortOf(hPeer)));
        ASSERT_TRUE(WriteAll(hPeer, "from the peer"));
        EXPECT_EQ(ReadFor(hApp, 13), "from the peer");
        ASSERT_TRUE(WriteAll(hApp, "from the application"));
        EXPECT_EQ(ReadFor(hPeer, 20), "from the application");

        close(hPeer);
        // The peer text is cleared in the cycle after "Not Connect".
        ASSERT_TRUE(m_loop.RunUntil([&] { return Conn(PORT) == "Not Connect" && Peer(PORT) == "----------"; }, 5s));
    }
    // The peer text is posted just before the worker leaves its close.
    EXPECT_TRUE(m_loop.RunUntil(
        [&] {
            const EWorkerState state = m_core.GetWorker(PORT).GetState();
            return state == EWorkerState::Listen || state == EWorkerState::Accept;
        },
        5s))
        << "state " << m_core.GetWorker(PORT).GetState();
}

TEST_F(WorkerTest, ServerRefusesSecondPeerUntilTheFirstLeaves)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    StartPort(PORT);
    int hFirst = ConnectWhenListening(nLocal);
    ASSERT_GE(hFirst, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    const std::string strFirstPeer = Peer(PORT);

    EXPECT_EQ(ConnectTcp(nLocal, 500), -1) << "one peer at a time";
    EXPECT_EQ(Peer(PORT), strFirstPeer);

    close(hFirst);
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    int hSecond = ConnectWhenListening(nLocal);
    ASSERT_GE(hSecond, 0);
    m_vecClose.push_back(hSecond);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(Peer(PORT), "127.0.0.1:" + std::to_string(LocalPortOf(hSecond)));
}

TEST_F(WorkerTest, ServerPortInUseIsRetriedWithoutSpinning)
{
    int nLocal = 0;
    int hBlocker = ListenTcp(&nLocal);
    ASSERT_GE(hBlocker, 0);
    ConfigureServer(PORT, nLocal);
    StartPort(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Create Error"));

    const uint64_t nBefore = m_core.GetWorker(PORT).GetCycleCount();
    m_loop.RunUntil([] { return false; }, 300ms);
    const uint64_t nCycles = m_core.GetWorker(PORT).GetCycleCount() - nBefore;
    EXPECT_GT(nCycles, 3u) << "the listen is tried again";
    EXPECT_LT(nCycles, 300u) << "about one try every 10 ms, not a busy loop";
    EXPECT_LT(m_loop.GetPendingCount(), 5) << "the reports coalesce into one drain";

    close(hBlocker);
    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    EXPECT_TRUE(WaitConn(PORT, "Connected"));
}

TEST_F(WorkerTest, DisabledServerEntryNeverListens)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetEnable(PORT, 0);
    StartPort(PORT);
    m_loop.RunUntil([] { return false; }, 200ms);
    EXPECT_EQ(m_core.GetWorker(PORT).GetListenHandle(), -1);
    EXPECT_EQ(ConnectTcp(nLocal, 200), -1);
}

TEST_F(WorkerTest, PeerDataBeforeTheApplicationOpensReachesIt)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    StartPort(PORT);
    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    ASSERT_TRUE(WriteAll(hPeer, "waiting for you"));
    m_loop.RunUntil([] { return false; }, 200ms);
    int hApp = OpenApp(PORT);
    ASSERT_GE(hApp, 0);
    EXPECT_EQ(ReadFor(hApp, 15), "waiting for you");
}

TEST_F(WorkerTest, KeepAliveOptionsAreSetOnTheSockets)
{
    m_core.m_options.m_nKeepAliveTime = 2500;     // rounded up to 3 s
    m_core.m_options.m_nKeepAliveInterval = 400;  // at least 1 s
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetKeepAlive(PORT, 1);
    StartPort(PORT);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.GetWorker(PORT).GetListenHandle() >= 0; }, 5s));
    const int hListen = m_core.GetWorker(PORT).GetListenHandle();
    EXPECT_EQ(GetIntOption(hListen, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(GetIntOption(hListen, IPPROTO_TCP, TCP_KEEPIDLE), 3);
    EXPECT_EQ(GetIntOption(hListen, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(GetIntOption(hListen, IPPROTO_TCP, TCP_KEEPCNT), 10);

    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    const int hData = m_core.GetWorker(PORT).GetSocketHandle();
    ASSERT_GE(hData, 0);
    EXPECT_EQ(GetIntOption(hData, SOL_SOCKET, SO_KEEPALIVE), 1) << "the accepted socket inherits it";
    EXPECT_EQ(GetIntOption(hData, IPPROTO_TCP, TCP_KEEPIDLE), 3);

    // A client: the largest time the options accept is clamped to what the
    // kernel takes instead of failing the connection.
    const int nClient = 1;
    int nPeerPort = 0;
    int hListen2 = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen2);
    m_core.m_options.m_nKeepAliveTime = 99999999;
    ConfigureClient(nClient, nPeerPort);
    m_core.m_comData.SetKeepAlive(nClient, 1);
    StartPort(nClient);
    OpenApp(nClient);
    int hPeer2 = Accept(hListen2);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ASSERT_TRUE(WaitConn(nClient, "Connected"));
    const int hClient = m_core.GetWorker(nClient).GetSocketHandle();
    EXPECT_EQ(GetIntOption(hClient, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(GetIntOption(hClient, IPPROTO_TCP, TCP_KEEPIDLE), 32767);

    // Without KeepAlive Enable it is off.
    const int nPlain = 2;
    ConfigureClient(nPlain, nPeerPort);
    StartPort(nPlain);
    OpenApp(nPlain);
    int hPeer3 = Accept(hListen2);
    ASSERT_GE(hPeer3, 0);
    m_vecClose.push_back(hPeer3);
    ASSERT_TRUE(WaitConn(nPlain, "Connected"));
    EXPECT_EQ(GetIntOption(m_core.GetWorker(nPlain).GetSocketHandle(), SOL_SOCKET, SO_KEEPALIVE), 0);
}
