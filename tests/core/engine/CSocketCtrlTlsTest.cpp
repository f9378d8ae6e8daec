// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

class TlsTest : public WorkerTest
{
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        m_strCert = m_dir.File("public.key");
        m_strKey = m_dir.File("private.key");
        ASSERT_TRUE(MakeKeyPair(m_strCert, m_strKey));
    }

    // Waits until an openssl s_server answers on the port.
    bool WaitServer(int nPort)
    {
        return m_loop.RunUntil(
            [&] {
                int h = ConnectTcp(nPort, 100);
                if (h < 0)
                    return false;
                close(h);
                return true;
            },
            10s);
    }

    std::string m_strCert;
    std::string m_strKey;
};

}  // namespace

TEST_F(TlsTest, ClientPortTalksToOpensslServer)
{
    const int nPeerPort = UnusedTcpPort();
    CChild server({"openssl", "s_server", "-accept", std::to_string(nPeerPort), "-cert", m_strCert, "-key", m_strKey,
                   "-quiet"});
    ASSERT_TRUE(server.Running());
    ASSERT_TRUE(WaitServer(nPeerPort));
    ConfigureClient(PORT, nPeerPort);
    m_core.m_comData.SetSSL(PORT, 1);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connected", 10s));
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"Connecting", "SSL Connecting", "Connected"}));

    ASSERT_TRUE(WriteAll(hApp, "through TLS\n"));
    EXPECT_EQ(ReadFor(server.Out(), 12), "through TLS\n");
    ASSERT_TRUE(WriteAll(server.In(), "and back\n"));
    EXPECT_EQ(ReadFor(hApp, 9), "and back\n");

    // Larger than a TLS record and a cycle's block, both ways.
    const std::string strBig = Pattern(100000, 3);
    std::string strHex;
    for (char ch : strBig)
        strHex += "0123456789abcdef"[static_cast<unsigned char>(ch) & 15];
    std::thread writer([&] { WriteAll(hApp, strHex); });
    EXPECT_TRUE(ReadFor(server.Out(), strHex.size()) == strHex);
    writer.join();
}

TEST_F(TlsTest, SilentPlainServerEndsInSslErrorWithoutFallback)
{
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    ConfigureClient(PORT, nPeerPort);
    m_core.m_comData.SetSSL(PORT, 1);
    StartPort(PORT);
    OpenApp(PORT);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "SSL Connecting"));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitConn(PORT, "SSL Error", 15s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 8s) << "the handshake has 10 s";
    EXPECT_EQ(Accept(hListen, 500ms), -1) << "a timed-out handshake is not tried again";
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::RetryWait);
}

TEST_F(TlsTest, RejectedHandshakeFallsBackTwiceThenSslError)
{
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    ConfigureClient(PORT, nPeerPort);
    m_core.m_comData.SetSSL(PORT, 1);
    StartPort(PORT);
    OpenApp(PORT);
    // A peer that answers every hello with garbage rejects each version.
    int nConnections = 0;
    m_loop.RunUntil(
        [&] {
            int h = -1;
            if (WaitReadable(hListen, 0) && (h = accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
            {
                ++nConnections;
                WaitReadable(h, 2000);
                WriteAll(h, std::string(64, 'x'));
                close(h);
            }
            return Conn(PORT) == "SSL Error";
        },
        20s);
    EXPECT_EQ(Conn(PORT), "SSL Error");
    EXPECT_EQ(nConnections, 3) << "three attempts, each on a new connection";
    auto vec = ConnHistory(PORT);
    EXPECT_EQ(std::count(vec.begin(), vec.end(), "SSL Connecting"), 1);
}

TEST_F(TlsTest, ServerPortAcceptsOpensslClient)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetSSL(PORT, 1);
    AddRow(PORT);
    m_core.GetWorker(PORT).SetKeyFiles(m_strCert, m_strKey);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.GetWorker(PORT).GetListenHandle() >= 0; }, 5s));
    CChild client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(nLocal), "-quiet"});
    ASSERT_TRUE(WaitConn(PORT, "Connected", 10s));
    EXPECT_NE(Peer(PORT), "----------");
    ASSERT_TRUE(WriteAll(client.In(), "typed into s_client\n"));
    EXPECT_EQ(ReadFor(hApp, 20), "typed into s_client\n");
    ASSERT_TRUE(WriteAll(hApp, "answer\n"));
    EXPECT_EQ(ReadFor(client.Out(), 7), "answer\n");
}

TEST_F(TlsTest, ServerPortWithoutKeyFilesDropsEveryPeer)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetSSL(PORT, 1);
    AddRow(PORT);
    m_core.GetWorker(PORT).SetKeyFiles(m_dir.File("missing.pem"), m_dir.File("missing-key.pem"));
    StartPort(PORT);
    for (int nRound = 0; nRound < 2; ++nRound)
    {
        ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.GetWorker(PORT).GetListenHandle() >= 0; }, 5s));
        CChild client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(nLocal)});
        ASSERT_TRUE(m_loop.RunUntil(
            [&] {
                auto it = std::find_if(m_vecPeer.begin(), m_vecPeer.end(),
                                       [](auto& p) { return p.second.rfind("127.0.0.1:", 0) == 0; });
                return it != m_vecPeer.end() && Peer(PORT) == "----------" && Conn(PORT) == "Not Connect";
            },
            10s));
        auto vec = ConnHistory(PORT);
        EXPECT_NE(std::find(vec.begin(), vec.end(), "SSL Connecting"), vec.end());
        EXPECT_EQ(std::find(vec.begin(), vec.end(), "Connected"), vec.end()) << "the handshake never completes";
        m_vecConn.clear();
        m_vecPeer.clear();
    }
}
