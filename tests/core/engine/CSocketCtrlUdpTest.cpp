// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

std::string RecvDatagram(int h, int nMs = 3000)
{
    if (!WaitReadable(h, nMs))
        return "";
    char buf[70000];
    ssize_t n = recv(h, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace

TEST_F(WorkerTest, UdpBindsWhileOpenAndExchangesWithAnySender)
{
    int nPeerPort = 0;
    int hPeer = BindUdp(&nPeerPort);
    m_vecClose.push_back(hPeer);
    int nLocal = 0;
    int hProbe = BindUdp(&nLocal);  // find a free port
    close(hProbe);
    ConfigureUdp(PORT, nLocal, nPeerPort);
    StartPort(PORT);
    m_loop.RunUntil([] { return false; }, 100ms);
    EXPECT_EQ(m_core.GetWorker(PORT).GetSocketHandle(), -1) << "bound only while open";

    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Started"));
    ASSERT_TRUE(WriteAll(hApp, "to the peer"));
    EXPECT_EQ(RecvDatagram(hPeer), "to the peer");
    ASSERT_TRUE(SendUdpTo(hPeer, nLocal, "from the peer"));
    EXPECT_EQ(ReadFor(hApp, 13), "from the peer");

    int nOther = 0;
    int hOther = BindUdp(&nOther);
    m_vecClose.push_back(hOther);
    ASSERT_TRUE(SendUdpTo(hOther, nLocal, "from a stranger"));
    EXPECT_EQ(ReadFor(hApp, 15), "from a stranger");

    CloseApp(hApp);
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Idle);
    int nAgain = nLocal;
    int hAgain = BindUdp(&nAgain);
    EXPECT_GE(hAgain, 0) << "the local port is free again";
    close(hAgain);
}

TEST_F(WorkerTest, UdpWritesLeaveAsDatagramsOfAtMost1600)
{
    int nPeerPort = 0;
    int hPeer = BindUdp(&nPeerPort);
    m_vecClose.push_back(hPeer);
    ConfigureUdp(PORT, 0, nPeerPort);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Started"));
    const std::string str = Pattern(5000, 21);
    ASSERT_TRUE(WriteAll(hApp, str));
    std::string strGot;
    size_t nLargest = 0;
    while (strGot.size() < str.size())
    {
        const std::string strDatagram = RecvDatagram(hPeer);
        if (strDatagram.empty())
            break;
        nLargest = std::max(nLargest, strDatagram.size());
        strGot += strDatagram;
    }
    EXPECT_TRUE(strGot == str);
    EXPECT_LE(nLargest, 1600u);
    EXPECT_GT(nLargest, 0u);
}

// A datagram that does not fit the receive ring yet is held whole, never
// cut, and handed on in parts as room appears, the next ones waiting in the
// socket; so is the largest one UDP over IPv4 carries.
TEST_F(WorkerTest, UdpDatagramsAreNeverCut)
{
    int nPeerPort = 0;
    int hPeer = BindUdp(&nPeerPort);
    m_vecClose.push_back(hPeer);
    int nLocal = 0;
    int hProbe = BindUdp(&nLocal);
    close(hProbe);
    ConfigureUdp(PORT, nLocal, nPeerPort);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Started"));

    // The application reads nothing yet: the pty, then the ring fill up.
    std::string strSent;
    unsigned nSeed = 100;
    for (size_t nSize : {1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u,
                         1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 1000u, 3000u, 20000u, 700u, 65507u, 5000u})
    {
        const std::string str = Pattern(nSize, nSeed++);
        ASSERT_TRUE(SendUdpTo(hPeer, nLocal, str));
        strSent += str;
        std::this_thread::sleep_for(2ms);
    }
    m_loop.RunUntil([] { return false; }, 200ms);
    const std::string strGot = ReadFor(hApp, strSent.size(), 3000);
    EXPECT_EQ(strGot.size(), strSent.size());
    EXPECT_TRUE(strGot == strSent);
}

TEST_F(WorkerTest, UdpBindFailureAndRebind)
{
    int nLocal = 0;
    int hBlocker = BindUdp(&nLocal);
    ASSERT_GE(hBlocker, 0);
    // Any address: the blocker holds 127.0.0.1, the worker binds all
    // addresses, which conflicts.
    int hAny = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(nLocal));
    close(hBlocker);
    ASSERT_EQ(bind(hAny, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

    m_core.m_options.m_bReconnect = 1;
    m_core.m_options.m_nReconnectTime = 1;
    ConfigureUdp(PORT, nLocal, 9, "10.255.0.1");
    StartPort(PORT);
    OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Error"));
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::UdpRetryWait);
    close(hAny);
    ASSERT_TRUE(WaitConn(PORT, "UDP Started", 5s));
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"UDP Error", "UDP Started"})) << "no status while waiting";
    // "255" in the address text turns broadcast on.
    EXPECT_EQ(GetIntOption(m_core.GetWorker(PORT).GetSocketHandle(), SOL_SOCKET, SO_BROADCAST), 1);
}

TEST_F(WorkerTest, UdpBindFailureWithoutReconnectWaits)
{
    int nLocal = 0;
    int hAny = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(hAny, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    nLocal = LocalPortOf(hAny);
    m_vecClose.push_back(hAny);
    ConfigureUdp(PORT, nLocal, 9);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Error"));
    m_loop.RunUntil([] { return false; }, 1500ms);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::UdpRetryWait);
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"UDP Error"}));
    EXPECT_EQ(GetIntOption(m_core.GetWorker(PORT).GetSocketHandle(), SOL_SOCKET, SO_BROADCAST), -1) << "no socket";
    CloseApp(hApp);
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Idle);
}
