// SPDX-License-Identifier: Apache-2.0
// The connection test's thread without a dialog: what it reports
// against loopback peers of the tests' own, its timing, its cancel, and
// that it sleeps while it waits.

#include "core/service/CConnectTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tests/TestSupport.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace
{

using Clock = std::chrono::steady_clock;
using Entry = std::pair<int, int>;  // kind, step

// ThreadSanitizer makes every step several times slower. The bounds on time
// and processor use below catch a thread that spins or is never woken, which
// costs far more than this factor, so they widen by it there.
#if defined(__SANITIZE_THREAD__)
constexpr int SLOWDOWN = 4;
#else
constexpr int SLOWDOWN = 1;
#endif

// Progress entries that only move the progress line.
bool IsProgress(const Entry& e)
{
    return (e.first == TEST_CONNECT && (e.second == 0 || e.second == 1 || e.second == 4)) ||
           (e.first == TEST_SSL && (e.second == 0 || e.second == 1 || e.second == 6));
}

class ConnectTestTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_test.SetNotify([this] {
            std::lock_guard<std::mutex> lock(m_cs);
            ++m_nNotices;
            m_cv.notify_all();
        });
    }

    // Takes what the queue holds, as the dialog's drain does.
    void Drain()
    {
        for (const _tag_postmsglist& entry : m_test.TakeProgress())
        {
            m_vecAll.emplace_back(entry.nType, entry.nParam);
            m_vecTexts.push_back(entry.strText);
        }
    }

    // Drains until pred holds for the entries so far; false after tLimit.
    bool RunUntil(const std::function<bool()>& pred, Clock::duration tLimit)
    {
        const auto tEnd = Clock::now() + tLimit;
        for (;;)
        {
            Drain();
            if (pred())
                return true;
            if (Clock::now() >= tEnd)
                return false;
            std::unique_lock<std::mutex> lock(m_cs);
            m_cv.wait_for(lock, 5ms);
        }
    }

    bool Seen(int nKind, int nStep) const
    {
        return std::find(m_vecAll.begin(), m_vecAll.end(), Entry(nKind, nStep)) != m_vecAll.end();
    }

    // Runs until the end banner; false when it did not come in time.
    bool RunToEnd(Clock::duration tLimit = 20s)
    {
        return RunUntil([this] { return Seen(TEST_BANNER, 1); }, tLimit) &&
               RunUntil([this] { return m_test.IsThreadRunning() == 0; }, 2s);
    }

    // The entries that leave a line behind, in order.
    std::vector<Entry> Results() const
    {
        std::vector<Entry> vec;
        std::copy_if(m_vecAll.begin(), m_vecAll.end(), std::back_inserter(vec),
                     [](const Entry& e) { return !IsProgress(e); });
        return vec;
    }

    int Count(int nKind, int nStep) const
    {
        return static_cast<int>(std::count(m_vecAll.begin(), m_vecAll.end(), Entry(nKind, nStep)));
    }

    std::string TextOf(int nKind, int nStep) const
    {
        for (size_t i = 0; i < m_vecAll.size(); ++i)
            if (m_vecAll[i] == Entry(nKind, nStep))
                return m_vecTexts[i];
        return "<none>";
    }

    CConnectTest m_test;
    std::vector<Entry> m_vecAll;
    std::vector<std::string> m_vecTexts;
    std::mutex m_cs;
    std::condition_variable m_cv;
    int m_nNotices = 0;
};

const std::vector<Entry> CONNECTED = {{TEST_BANNER, 0}, {TEST_SOCKET, 1}, {TEST_CONNECT, 2}, {TEST_BANNER, 1}};
// A failed step is followed by its reason.
const std::vector<Entry> NOT_CONNECTED = {
    {TEST_BANNER, 0}, {TEST_SOCKET, 1}, {TEST_CONNECT, 3}, {TEST_REASON, 0}, {TEST_BANNER, 1}};
const std::vector<Entry> SSL_ERROR = {{TEST_BANNER, 0}, {TEST_SOCKET, 1}, {TEST_CONNECT, 2},
                                      {TEST_SSL, 5},    {TEST_REASON, 0}, {TEST_BANNER, 1}};

}  // namespace

TEST_F(ConnectTestTest, ConnectsToALocalListener)
{
    int nPort = 0;
    const int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    ASSERT_EQ(m_test.Start("127.0.0.1", nPort, 0, 10), 1);
    // Nobody drains meanwhile: the whole test is one burst with one notice.
    const auto tEnd = Clock::now() + 5s;
    while (m_test.IsThreadRunning() && Clock::now() < tEnd)
        std::this_thread::sleep_for(1ms);
    m_test.Stop();  // the work is done; this waits for the last entry
    EXPECT_EQ(m_nNotices, 1);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Results(), CONNECTED);
    // A progress line that was shown is taken away again before the result.
    EXPECT_EQ(Count(TEST_CONNECT, 0), Count(TEST_CONNECT, 4));
    const int hPeer = AcceptWithin(hListen, 1000);
    EXPECT_GE(hPeer, 0) << "the test dialled the listener";
    EXPECT_EQ(ReadFor(hPeer, 1, 1000), "") << "and closed the connection at its end";
    EXPECT_EQ(m_test.IsTesting(), 0);
    close(hPeer);
    close(hListen);
}

// On Linux a refused connect reports at once (DESIGN.md section 4).
TEST_F(ConnectTestTest, RefusedPortFailsAtOnce)
{
    const auto t0 = Clock::now();
    ASSERT_EQ(m_test.Start("127.0.0.1", UnusedTcpPort(), 1, 10), 1);
    ASSERT_TRUE(RunToEnd());
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(Results(), NOT_CONNECTED) << "no TLS step after a failed connect";
    EXPECT_EQ(TextOf(TEST_REASON, 0), "Connection refused");
}

TEST_F(ConnectTestTest, TextThatIsNoAddressFailsTheConnect)
{
    ASSERT_EQ(m_test.Start("999.1.1.1", 80, 0, 10), 1);
    ASSERT_TRUE(RunToEnd(5s));
    EXPECT_EQ(Results(), NOT_CONNECTED);
    EXPECT_EQ(Count(TEST_CONNECT, 0), 0) << "nothing was dialled";
    // The resolver's own words, whatever this machine's resolver says.
    EXPECT_EQ(TextOf(TEST_REASON, 0).rfind("resolve 999.1.1.1: ", 0), 0u) << TextOf(TEST_REASON, 0);
    EXPECT_GT(TextOf(TEST_REASON, 0).size(), std::string("resolve 999.1.1.1: ").size());
}

// The peer forms a client port takes: a host name, an IPv6 address.
TEST_F(ConnectTestTest, NamesAndIpv6AddressesAreDialled)
{
    int nPort = 0;
    const int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    ASSERT_EQ(m_test.Start("localhost", nPort, 0, 10), 1);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Results(), CONNECTED);
    close(hListen);

    const int h6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t nLen = sizeof(addr);
    ASSERT_EQ(bind(h6, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(h6, 4), 0);
    getsockname(h6, reinterpret_cast<sockaddr*>(&addr), &nLen);
    m_vecAll.clear();
    m_vecTexts.clear();
    ASSERT_EQ(m_test.Start("::1", ntohs(addr.sin6_port), 0, 10), 1);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Results(), CONNECTED);
    close(h6);
}

TEST_F(ConnectTestTest, TlsListenerNamesTheVersionNegotiated)
{
    CTempDir dir;
    ASSERT_TRUE(MakeKeyPair(dir.File("cert.pem"), dir.File("key.pem")));
    const int nPort = UnusedTcpPort();
    CChild server({"openssl", "s_server", "-accept", std::to_string(nPort), "-cert", dir.File("cert.pem"), "-key",
                   dir.File("key.pem"), "-quiet"});
    ASSERT_TRUE(server.Running());
    const auto tEnd = Clock::now() + 10s;
    int h = -1;
    while ((h = ConnectTcp(nPort, 100)) < 0 && Clock::now() < tEnd)
        std::this_thread::sleep_for(50ms);
    ASSERT_GE(h, 0) << "openssl s_server did not come up";
    close(h);

    ASSERT_EQ(m_test.Start("127.0.0.1", nPort, 1, 10), 1);
    ASSERT_TRUE(RunToEnd());
    // The certificate follows the success; a self-signed one fails the
    // chain check, which this port (no verification) does not act on.
    EXPECT_EQ(Results(), (std::vector<Entry>{{TEST_BANNER, 0},
                                             {TEST_SOCKET, 1},
                                             {TEST_CONNECT, 2},
                                             {TEST_SSL, 2},
                                             {TEST_CERT, 0},
                                             {TEST_CERT, 0},
                                             {TEST_CERT, 0},
                                             {TEST_CERT, 1},
                                             {TEST_CERT, 3},
                                             {TEST_BANNER, 1}}));
    EXPECT_EQ(TextOf(TEST_SSL, 2), "TLSv1.3");
    EXPECT_EQ(TextOf(TEST_CERT, 0), "Certificate subject: CN=nimbrel-test");
    EXPECT_EQ(TextOf(TEST_CERT, 1).size(), 95u) << "32 bytes as AA:BB:...";
    EXPECT_EQ(TextOf(TEST_CERT, 3),
              "certificate verify failed: self-signed certificate (not checked by the port: Verify certificate is off)");
    EXPECT_EQ(Count(TEST_SSL, 0), 1);
    EXPECT_EQ(Count(TEST_SSL, 6), 1);
}

// A peer that takes the connection but never answers the hello: "SSL
// Error" at the first 2-second tick at or after 10 s, with no older
// protocol tried. The waiting thread sleeps meanwhile.
TEST_F(ConnectTestTest, SilentHandshakeEndsAfterTenSecondsWithoutFallback)
{
    int nPort = 0;
    const int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    const auto t0 = Clock::now();
    ASSERT_EQ(m_test.Start("127.0.0.1", nPort, 1, 10), 1);
    ASSERT_TRUE(RunUntil([this] { return Seen(TEST_SSL, 0); }, 5s));
    const auto tHandshake = Clock::now();
    ASSERT_TRUE(RunToEnd(20s));
    const auto tTook = Clock::now() - tHandshake;
    EXPECT_GE(tTook, 9900ms);
    EXPECT_LT(tTook, 11500ms);
    EXPECT_EQ(Results(), SSL_ERROR);
    EXPECT_EQ(TextOf(TEST_REASON, 0), "TLS handshake: no answer within 10 s");
    EXPECT_EQ(Count(TEST_SSL, 1), 5) << "a dot every 2 s";
    const int hFirst = AcceptWithin(hListen, 500);
    EXPECT_GE(hFirst, 0);
    EXPECT_EQ(AcceptWithin(hListen, 300), -1) << "one connection: no fallback";
    close(hFirst);
    close(hListen);

    const int64_t nWall = m_test.GetLastWallMicros();
    const int64_t nCpu = m_test.GetLastCpuMicros();
    EXPECT_GE(nWall, 9900000);
    EXPECT_LE(nWall, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
    EXPECT_LT(nCpu, 200000 * SLOWDOWN) << "the thread used " << nCpu << " us of processor time in " << nWall << " us";
    RecordProperty("ThreadCpuMicros", std::to_string(nCpu));
    RecordProperty("ThreadWallMicros", std::to_string(nWall));
}

// A peer that rejects every hello: each attempt over a new connection, three
// in all (the ones the library no longer has fail like a rejection).
TEST_F(ConnectTestTest, RejectedHandshakeFallsBackThenSslError)
{
    int nPort = 0;
    const int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    std::atomic<int> nConnections{0};
    std::atomic<bool> bStop{false};
    std::thread peer([&] {
        while (!bStop)
        {
            const int h = AcceptWithin(hListen, 50);
            if (h < 0)
                continue;
            ++nConnections;
            WaitReadable(h, 2000);
            WriteAll(h, std::string(64, 'x'));
            close(h);
        }
    });
    ASSERT_EQ(m_test.Start("127.0.0.1", nPort, 1, 10), 1);
    const bool bEnded = RunToEnd(20s);
    bStop = true;
    peer.join();
    close(hListen);
    ASSERT_TRUE(bEnded);
    EXPECT_EQ(Results(), SSL_ERROR);
    // The first attempt's reason, in the TLS library's words.
    EXPECT_EQ(TextOf(TEST_REASON, 0).rfind("TLS handshake: ", 0), 0u) << TextOf(TEST_REASON, 0);
    EXPECT_EQ(TextOf(TEST_REASON, 0).find("does not offer"), std::string::npos) << TextOf(TEST_REASON, 0);
    EXPECT_EQ(nConnections.load(), 3);
    EXPECT_EQ(Count(TEST_SOCKET, 1), 1) << "the new connections make no lines";
}

// The connect is given up at the first 2-second tick at or after the
// Connection Timeout: 4 s for 3 s, with two dots.
TEST_F(ConnectTestTest, SilentPeerTimesOutAtTheTickAfterTheConnectTimeout)
{
    CFullListener listener;
    ASSERT_TRUE(listener.IsFull());
    const auto t0 = Clock::now();
    ASSERT_EQ(m_test.Start("127.0.0.1", listener.Port(), 0, 3), 1);
    ASSERT_TRUE(RunToEnd(10s));
    const auto tTook = Clock::now() - t0;
    EXPECT_GE(tTook, 3900ms);
    EXPECT_LT(tTook, 5000ms);
    EXPECT_EQ(Results(), NOT_CONNECTED);
    EXPECT_EQ(TextOf(TEST_REASON, 0), "no answer within 3 s");
    EXPECT_EQ(Count(TEST_CONNECT, 0), 1);
    EXPECT_EQ(Count(TEST_CONNECT, 1), 2);
    EXPECT_EQ(Count(TEST_CONNECT, 4), 1);
    EXPECT_LT(m_test.GetLastCpuMicros(), 100000);
}

TEST_F(ConnectTestTest, CancelWhileConnectingIsNoticedAtOnce)
{
    CFullListener listener;
    ASSERT_TRUE(listener.IsFull());
    ASSERT_EQ(m_test.Start("127.0.0.1", listener.Port(), 0, 10), 1);
    ASSERT_TRUE(RunUntil([this] { return Seen(TEST_CONNECT, 0); }, 2s));
    ASSERT_TRUE(RunUntil([this] { return Seen(TEST_CONNECT, 1); }, 3s)) << "the first dot";
    EXPECT_EQ(m_test.Start("127.0.0.1", listener.Port(), 0, 10), 0) << "one test at a time";
    const auto tCancel = Clock::now();
    m_test.Cancel();
    EXPECT_EQ(m_test.IsTesting(), 0);
    ASSERT_TRUE(RunUntil([this] { return m_test.IsThreadRunning() == 0; }, 2s));
    EXPECT_LT(Clock::now() - tCancel, 100ms * SLOWDOWN);
    ASSERT_TRUE(RunToEnd(1s));
    EXPECT_EQ(Results(), (std::vector<Entry>{{TEST_BANNER, 0}, {TEST_SOCKET, 1}, {TEST_BANNER, 2}, {TEST_BANNER, 1}}));
    // The progress line goes before "Test Cancel" takes its place.
    const auto itGone = std::find(m_vecAll.begin(), m_vecAll.end(), Entry(TEST_CONNECT, 4));
    const auto itCancel = std::find(m_vecAll.begin(), m_vecAll.end(), Entry(TEST_BANNER, 2));
    EXPECT_LT(itGone, itCancel);

    // Once it has ended the next test may start.
    ASSERT_EQ(m_test.Start("127.0.0.1", UnusedTcpPort(), 0, 10), 1);
    m_vecAll.clear();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Results(), NOT_CONNECTED);
}

TEST_F(ConnectTestTest, CancelDuringTheHandshakeAndStopWaitsForTheThread)
{
    int nPort = 0;
    const int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    ASSERT_EQ(m_test.Start("127.0.0.1", nPort, 1, 10), 1);
    ASSERT_TRUE(RunUntil([this] { return Seen(TEST_SSL, 0); }, 5s));
    std::this_thread::sleep_for(200ms);
    const auto t0 = Clock::now();
    m_test.Stop();
    EXPECT_LT(Clock::now() - t0, 100ms * SLOWDOWN);
    EXPECT_EQ(m_test.IsThreadRunning(), 0);
    Drain();
    EXPECT_EQ(Results(), (std::vector<Entry>{{TEST_BANNER, 0},
                                             {TEST_SOCKET, 1},
                                             {TEST_CONNECT, 2},
                                             {TEST_BANNER, 2},
                                             {TEST_BANNER, 1}}));
    EXPECT_EQ(Count(TEST_SSL, 6), 1);
    close(hListen);
}
