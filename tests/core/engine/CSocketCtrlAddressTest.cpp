// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <netinet/in.h>

#include "core/engine/CResolver.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

// A listener on [::1], port given back in *pnPort.
int ListenTcp6(int* pnPort)
{
    const int h = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(h, 4) != 0)
    {
        close(h);
        return -1;
    }
    socklen_t nLen = sizeof(addr);
    getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    *pnPort = ntohs(addr.sin6_port);
    return h;
}

// A blocking connection from [::1] to nPort; -1 when refused.
int ConnectTcp6(int nPort)
{
    const int h = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(static_cast<uint16_t>(nPort));
    if (connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        close(h);
        return -1;
    }
    return h;
}

}  // namespace

TEST(CResolverTest, LiteralsAndTheirTexts)
{
    sockaddr_storage addr;
    socklen_t nLen = 0;
    ASSERT_TRUE(CResolver::ParseLiteral("127.0.0.1", 7001, &addr, &nLen));
    EXPECT_EQ(CResolver::AddressText(reinterpret_cast<sockaddr*>(&addr)), "127.0.0.1:7001");
    ASSERT_TRUE(CResolver::ParseLiteral("127.1", 1, &addr, &nLen)) << "read as inet_addr always read it";
    EXPECT_EQ(CResolver::AddressText(reinterpret_cast<sockaddr*>(&addr)), "127.0.0.1:1");
    ASSERT_TRUE(CResolver::ParseLiteral("[fe80::1]", 2, &addr, &nLen));
    EXPECT_EQ(CResolver::AddressText(reinterpret_cast<sockaddr*>(&addr)), "[fe80::1]:2");
    ASSERT_TRUE(CResolver::ParseLiteral("::ffff:10.0.0.7", 3, &addr, &nLen));
    EXPECT_EQ(CResolver::AddressText(reinterpret_cast<sockaddr*>(&addr)), "10.0.0.7:3")
        << "an IPv4 peer on a dual-stack socket reads as IPv4";
    EXPECT_FALSE(CResolver::ParseLiteral("999.1.1.1", 1, &addr, &nLen));
    EXPECT_FALSE(CResolver::ParseLiteral("localhost", 1, &addr, &nLen));
}

TEST_F(WorkerTest, ClientDialsAHostName)
{
    int nPeerPort = 0;
    const int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    ConfigureClient(PORT, nPeerPort, "localhost");
    StartPort(PORT);
    const int hApp = OpenApp(PORT);
    const int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(Peer(PORT), "localhost:" + std::to_string(nPeerPort));
    ASSERT_TRUE(WriteAll(hApp, "by name"));
    EXPECT_EQ(ReadFor(hPeer, 7), "by name");
}

TEST_F(WorkerTest, ClientDialsAnIpv6Address)
{
    int nPeerPort = 0;
    const int hListen = ListenTcp6(&nPeerPort);
    ASSERT_GE(hListen, 0);
    m_vecClose.push_back(hListen);
    ConfigureClient(PORT, nPeerPort, "::1");
    StartPort(PORT);
    EXPECT_EQ(Peer(PORT), "[::1]:" + std::to_string(nPeerPort));
    const int hApp = OpenApp(PORT);
    const int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    ASSERT_TRUE(WriteAll(hPeer, "over v6"));
    EXPECT_EQ(ReadFor(hApp, 7), "over v6");
}

// A name that cannot be resolved fails like a refused connect, with the
// resolver's word; the worker stays free to stop at once.
TEST_F(WorkerTest, ANameThatDoesNotResolveFailsLikeARefusedConnect)
{
    // Longer than a DNS label may be: refused by the resolver itself, so
    // no query leaves the machine.
    ConfigureClient(PORT, 7, std::string(70, 'x') + ".test");
    StartPort(PORT);
    OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connect Error"));
    const std::string strReason = m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), COL_REASON);
    EXPECT_EQ(strReason.rfind("resolve " + std::string(70, 'x') + ".test: ", 0), 0u) << strReason;
    const auto t0 = std::chrono::steady_clock::now();
    m_core.GetWorker(PORT).StopThread();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

// A server port takes IPv4 and IPv6 peers alike and shows each as it is.
TEST_F(WorkerTest, ServerTakesIpv4AndIpv6Peers)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    StartPort(PORT);
    const int hApp = OpenApp(PORT);
    const int hPeer4 = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer4, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(Peer(PORT), "127.0.0.1:" + std::to_string(LocalPortOf(hPeer4)));
    close(hPeer4);
    ASSERT_TRUE(m_loop.RunUntil([&] { return Peer(PORT) == "----------"; }, 5s));

    int hPeer6 = -1;
    ASSERT_TRUE(m_loop.RunUntil([&] { return hPeer6 >= 0 || (hPeer6 = ConnectTcp6(nLocal)) >= 0; }, 5s));
    m_vecClose.push_back(hPeer6);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    sockaddr_in6 local{};
    socklen_t nLen = sizeof(local);
    getsockname(hPeer6, reinterpret_cast<sockaddr*>(&local), &nLen);
    EXPECT_EQ(Peer(PORT), "[::1]:" + std::to_string(ntohs(local.sin6_port)));
    ASSERT_TRUE(WriteAll(hPeer6, "six"));
    EXPECT_EQ(ReadFor(hApp, 3), "six");
}

TEST_F(WorkerTest, UdpPeerByIpv6Address)
{
    const int hPeer = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    ASSERT_EQ(bind(hPeer, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    m_vecClose.push_back(hPeer);
    socklen_t nLen = sizeof(addr);
    getsockname(hPeer, reinterpret_cast<sockaddr*>(&addr), &nLen);
    ConfigureUdp(PORT, 0, ntohs(addr.sin6_port), "::1");
    StartPort(PORT);
    const int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "UDP Started"));
    ASSERT_TRUE(WriteAll(hApp, "dgram"));
    ASSERT_TRUE(WaitReadable(hPeer, 5000));
    char buf[64];
    sockaddr_in6 from{};
    socklen_t nFrom = sizeof(from);
    const ssize_t n = recvfrom(hPeer, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "dgram");
    ASSERT_EQ(sendto(hPeer, "back", 4, 0, reinterpret_cast<sockaddr*>(&from), nFrom), 4);
    EXPECT_EQ(ReadFor(hApp, 4), "back");
}
