// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

const std::string BANNER = "Nimbrel Login Service\r\n\r\n";
const std::string TELNET_BANNER = "Nimbrel Telnet Service\r\n\r\n";
const std::string INCORRECT = "\r\nLogin incorrect\r\n";

std::string Bytes(std::initializer_list<int> list)
{
    std::string str;
    for (int n : list)
        str += static_cast<char>(n);
    return str;
}

class LoginTest : public WorkerTest
{
protected:
    // A started server port of the given type; returns its local port.
    int StartServer(int nType, int bSSL = 0)
    {
        const int nLocal = UnusedTcpPort();
        ConfigureServer(PORT, nLocal);
        m_core.m_comData.SetConnectType(PORT, nType);
        m_core.m_comData.SetSSL(PORT, bSSL);
        m_core.m_options.m_strUser = "operator";
        m_core.m_options.m_strPassword = "s3cret";
        StartPort(PORT);
        return nLocal;
    }

    // A peer of the Telnet server port on nLocal that has read the server's
    // opening requests; -1 when none came.
    int ConnectTelnetPeer(int nLocal)
    {
        const int hPeer = ConnectWhenListening(nLocal);
        if (hPeer < 0)
            return -1;
        m_vecClose.push_back(hPeer);
        return ReadFor(hPeer, 18).size() == 18u ? hPeer : -1;
    }
};

}  // namespace

TEST_F(LoginTest, LoginWithEveryLineEnding)
{
    const int nLocal = StartServer(CONNECT_SECURE);
    int hApp = OpenApp(PORT);
    for (const char* pszEnd : {"\r\n", "\n", "\r"})
    {
        SCOPED_TRACE(testing::PrintToString(std::string(pszEnd)));
        m_vecConn.clear();
        int hPeer = ConnectWhenListening(nLocal);
        ASSERT_GE(hPeer, 0);
        EXPECT_EQ(ReadFor(hPeer, BANNER.size() + 7), BANNER + "login: ");
        ASSERT_TRUE(WriteAll(hPeer, std::string("operator") + pszEnd));
        EXPECT_EQ(ReadFor(hPeer, 10), "Password: ") << "nothing typed is echoed";
        ASSERT_TRUE(WriteAll(hPeer, std::string("s3cret") + pszEnd + "first data"));
        ASSERT_TRUE(WaitConn(PORT, "Connected"));
        EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"Connected", "Login Process", "Connected"}));
        EXPECT_EQ(ReadFor(hApp, 10), "first data") << "bytes after the password are the first data";
        ASSERT_TRUE(WriteAll(hApp, "to the peer"));
        EXPECT_EQ(ReadFor(hPeer, 11), "to the peer");
        close(hPeer);
        ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    }
}

TEST_F(LoginTest, WrongPasswordIsAnsweredAndTheLastAttemptDisconnects)
{
    m_core.m_options.m_nLoginChallenge = 2;
    const int nLocal = StartServer(CONNECT_SECURE);
    int hApp = OpenApp(PORT);
    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    EXPECT_EQ(ReadFor(hPeer, BANNER.size() + 7), BANNER + "login: ");
    ASSERT_TRUE(WriteAll(hPeer, "operator\r\nwrong\r\n"));
    EXPECT_EQ(ReadFor(hPeer, 10 + INCORRECT.size() + 7), "Password: " + INCORRECT + "login: ");
    ASSERT_TRUE(WriteAll(hPeer, "intruder\r\ns3cret\r\n"));
    EXPECT_EQ(ReadFor(hPeer, 10 + INCORRECT.size()), "Password: " + INCORRECT);
    EXPECT_EQ(ReadFor(hPeer, 1, 3000), "") << "disconnected after the last attempt";
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    EXPECT_FALSE(WaitReadable(hApp, 100)) << "the application saw nothing of the dialogue";
    // It listens again.
    int hNext = ConnectWhenListening(nLocal);
    ASSERT_GE(hNext, 0);
    m_vecClose.push_back(hNext);
    EXPECT_EQ(ReadFor(hNext, BANNER.size()), BANNER);
}

TEST_F(LoginTest, SilenceTimesOutAndLongNamesAreCut)
{
    m_core.m_options.m_nLoginTimeout = 1;
    const int nLocal = StartServer(CONNECT_SECURE);
    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    EXPECT_EQ(ReadFor(hPeer, BANNER.size() + 7), BANNER + "login: ");
    EXPECT_EQ(ReadFor(hPeer, 17, 4000), "\r\nLogin timeout\r\n");
    EXPECT_EQ(ReadFor(hPeer, 1, 3000), "");
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));

    // 25 characters typed, 20 kept: they match a user name of those 20.
    m_core.m_options.m_nLoginTimeout = 10;
    m_core.m_options.m_strUser = "abcdefghijklmnopqrst";
    int hPeer2 = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ReadFor(hPeer2, BANNER.size() + 7);
    ASSERT_TRUE(WriteAll(hPeer2, "abcdefghijklmnopqrstuvwxy\r\ns3cret\r\n"));
    EXPECT_TRUE(WaitConn(PORT, "Connected"));
}

TEST_F(LoginTest, TelnetServerNegotiatesThenLogsIn)
{
    const int nLocal = StartServer(CONNECT_TELNET);
    int hApp = OpenApp(PORT);
    int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    EXPECT_EQ(ReadFor(hPeer, 18),
              Bytes({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 251, 3, 255, 253, 31, 255, 253, 39}));
    // The answers of a usual Telnet client; the first one split in two.
    ASSERT_TRUE(WriteAll(hPeer, Bytes({255})));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(WriteAll(hPeer, Bytes({253, 0, 255, 253, 1, 255, 253, 3, 255, 251, 0, 255, 251, 31, 255, 251, 39})));
    EXPECT_EQ(ReadFor(hPeer, 9 + 6), Bytes({255, 250, 31, 0, 80, 0, 24, 255, 240, 255, 250, 39, 1, 255, 240}));
    EXPECT_EQ(ReadFor(hPeer, TELNET_BANNER.size() + 7), TELNET_BANNER + "login: ");
    ASSERT_TRUE(WriteAll(hPeer, "operator\r\n"));
    EXPECT_EQ(ReadFor(hPeer, 10), "Password: ");
    ASSERT_TRUE(WriteAll(hPeer, "s3cret\r\n"));
    ASSERT_TRUE(WaitConn(PORT, "Connected"));

    // Byte 255 both ways: doubled on the wire, single at the application.
    ASSERT_TRUE(WriteAll(hApp, Bytes({'a', 255, 'b'})));
    EXPECT_EQ(ReadFor(hPeer, 4), Bytes({'a', 255, 255, 'b'}));
    ASSERT_TRUE(WriteAll(hPeer, Bytes({'c', 255, 255, 'd', 255, 241, 'e'})));  // with a NOP
    EXPECT_EQ(ReadFor(hApp, 4), Bytes({'c', 255, 'd', 'e'}));
    // Negotiation goes on in the data state.
    ASSERT_TRUE(WriteAll(hPeer, Bytes({255, 253, 5})));
    EXPECT_EQ(ReadFor(hPeer, 3), Bytes({255, 252, 5}));
}

// A client whose own request crossed one of the server's may take the
// server's for the answer and never answer it. Once it has answered the
// others and gone quiet, the rest count as refused: it gets the login after
// a short quiet, not a drop at Login Timeout, and what it typed meanwhile
// is its user name.
TEST_F(LoginTest, TelnetPeerThatLeavesARequestUnansweredStillGetsTheLogin)
{
    m_core.m_options.m_nLoginTimeout = 30;
    const int nLocal = StartServer(CONNECT_TELNET);
    const int hPeer = ConnectTelnetPeer(nLocal);
    ASSERT_GE(hPeer, 0);
    // Every answer but the one to WILL SUPPRESS-GO-AHEAD (DO 3).
    ASSERT_TRUE(WriteAll(hPeer, Bytes({255, 253, 0, 255, 253, 1, 255, 251, 0, 255, 251, 31, 255, 251, 39})));
    EXPECT_EQ(ReadFor(hPeer, 9 + 6).size(), 15u) << "the subnegotiations the answers asked for";
    ASSERT_TRUE(WriteAll(hPeer, "operator\r\n"));
    const auto tTyped = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadFor(hPeer, TELNET_BANNER.size() + 7, 5000), TELNET_BANNER + "login: ");
    EXPECT_LT(std::chrono::steady_clock::now() - tTyped, 4s) << "long before Login Timeout";
    EXPECT_EQ(ReadFor(hPeer, 10), "Password: ") << "the name typed before the prompt";
    ASSERT_TRUE(WriteAll(hPeer, "s3cret\r\n"));
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
}

// A peer that never answers the Telnet requests (a port scan, a stray nc)
// must not hold the port, which serves one peer at a time: after Login
// Timeout of silence it is told and dropped, and the next peer is served.
TEST_F(LoginTest, SilentPeerOnTelnetPortIsTimedOutAndTheNextIsServed)
{
    m_core.m_options.m_nLoginTimeout = 1;
    const int nLocal = StartServer(CONNECT_TELNET);
    const int hPeer = ConnectTelnetPeer(nLocal);
    ASSERT_GE(hPeer, 0);
    // Bytes that answer nothing restart the silence, as typing does later.
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(WriteAll(hPeer, "alice\r\n"));
    const auto tTyped = std::chrono::steady_clock::now();
    std::string strGot;
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            char buf[64];
            const ssize_t n = recv(hPeer, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                strGot.append(buf, static_cast<size_t>(n));
            return n == 0;  // dropped
        },
        10s));
    EXPECT_EQ(strGot, "\r\nLogin timeout\r\n") << "no banner before the negotiation is answered";
    EXPECT_GE(std::chrono::steady_clock::now() - tTyped, 1s) << "the typing restarted the limit";
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));

    const int hPeer2 = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    EXPECT_EQ(ReadFor(hPeer2, 18).size(), 18u) << "the port listens again";
    EXPECT_TRUE(WaitConn(PORT, "Login Process"));
}

TEST_F(LoginTest, TelnetClientPortFiltersAndAnswers)
{
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    ConfigureClient(PORT, nPeerPort);
    m_core.m_comData.SetConnectType(PORT, CONNECT_TELNET);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(ReadFor(hPeer, 3), Bytes({255, 251, 3})) << "a client only offers WILL SUPPRESS-GO-AHEAD";
    ASSERT_TRUE(WriteAll(hPeer, Bytes({'x', 255})));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(WriteAll(hPeer, Bytes({251, 5, 'y', 255, 253, 5})));
    EXPECT_EQ(ReadFor(hApp, 2), "xy");
    EXPECT_EQ(ReadFor(hPeer, 6), Bytes({255, 252, 5, 255, 254, 5})) << "WONT 5 for DO 5, DONT 5 for WILL 5";
    EXPECT_FALSE(WaitReadable(hApp, 100)) << "no command byte reaches the application";
}

TEST_F(LoginTest, LoginOverTls)
{
    const std::string strCert = m_dir.File("cert.pem");
    const std::string strKey = m_dir.File("key.pem");
    ASSERT_TRUE(MakeKeyPair(strCert, strKey));
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetConnectType(PORT, CONNECT_SECURE);
    m_core.m_comData.SetSSL(PORT, 1);
    m_core.m_options.m_strUser = "operator";
    m_core.m_options.m_strPassword = "s3cret";
    AddRow(PORT);
    m_core.GetWorker(PORT).SetKeyFiles(strCert, strKey);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.GetWorker(PORT).GetListenHandle() >= 0; }, 5s));
    CChild client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(nLocal), "-quiet"});
    EXPECT_EQ(ReadFor(client.Out(), BANNER.size() + 7, 10000), BANNER + "login: ");
    ASSERT_TRUE(WriteAll(client.In(), "operator\ns3cret\nover TLS\n"));
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"SSL Connecting", "Login Process", "Connected"}));
    EXPECT_EQ(ReadFor(hApp, 9), "over TLS\n");
}

TEST_F(LoginTest, TelnetClientOverTls)
{
    const std::string strCert = m_dir.File("cert.pem");
    const std::string strKey = m_dir.File("key.pem");
    ASSERT_TRUE(MakeKeyPair(strCert, strKey));
    const int nPeerPort = UnusedTcpPort();
    CChild server({"openssl", "s_server", "-accept", std::to_string(nPeerPort), "-cert", strCert, "-key", strKey,
                   "-quiet"});
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            int h = ConnectTcp(nPeerPort, 100);
            if (h >= 0)
                close(h);
            return h >= 0;
        },
        10s));
    ConfigureClient(PORT, nPeerPort);
    m_core.m_comData.SetConnectType(PORT, CONNECT_TELNET);
    m_core.m_comData.SetSSL(PORT, 1);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connected", 10s));
    EXPECT_EQ(ReadFor(server.Out(), 3), Bytes({255, 251, 3}));
    ASSERT_TRUE(WriteAll(hApp, Bytes({'z', 255})));
    EXPECT_EQ(ReadFor(server.Out(), 3), Bytes({'z', 255, 255}));
}
