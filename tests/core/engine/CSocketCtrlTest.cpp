// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CSocketCtrl.h"

#include "tests/core/engine/WorkerFixture.h"

TEST_F(WorkerTest, ConnectsOnOpenAndCarriesDataBothWays)
{
    const int hListen = StartClientWithListener(PORT);
    EXPECT_EQ(Conn(PORT), "Not Connect");
    EXPECT_FALSE(WaitReadable(hListen, 100)) << "a client dials only when the port is opened";

    int hApp = OpenApp(PORT);
    ASSERT_GE(hApp, 0);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"Connecting", "Connected"}));
    // The line indication follows within the same worker cycle.
    EXPECT_TRUE(m_loop.RunUntil(
        [&] { return m_core.GetPort(PORT).GetLinkSignalA() == 1 && m_core.GetPort(PORT).GetLinkSignalB() == 1; }, 5s));

    ASSERT_TRUE(WriteAll(hApp, "to the peer"));
    EXPECT_EQ(ReadFor(hPeer, 11), "to the peer");
    ASSERT_TRUE(WriteAll(hPeer, "to the application"));
    EXPECT_EQ(ReadFor(hApp, 18), "to the application");

    CloseApp(hApp);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle));
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    EXPECT_EQ(ReadFor(hPeer, 1, 2000), "") << "the peer sees the hang-up";
    EXPECT_TRUE(m_loop.RunUntil(
        [&] { return m_core.GetPort(PORT).GetLinkSignalA() == 0 && m_core.GetPort(PORT).GetLinkSignalB() == 0; }, 5s));
}

TEST_F(WorkerTest, RefusedConnectFailsAtOnce)
{
    m_core.m_options.m_nConnectTimeout = 99;
    ConfigureClient(PORT, UnusedTcpPort());
    StartPort(PORT);
    OpenApp(PORT);
    // Linux reports a refusal at once; waiting out 99 s would hide it.
    ASSERT_TRUE(WaitConn(PORT, "Connect Error", 5s));
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::RetryWait);
}

// The program that met the failure gives up and closes the port: the
// session ends, its reason stays for the user to read.
TEST_F(WorkerTest, AFailuresReasonOutlivesTheProgramsClose)
{
    const int nPeerPort = UnusedTcpPort();
    ConfigureClient(PORT, nPeerPort);
    StartPort(PORT);
    const int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connect Error"));
    auto reason = [this] { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), COL_REASON); };
    const std::string strRefused = "connect 127.0.0.1:" + std::to_string(nPeerPort) + ": Connection refused";
    ASSERT_EQ(reason(), strRefused);

    CloseApp(hApp);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle));
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    // Whatever the close still has queued for the list is handled.
    m_loop.RunUntil([] { return false; }, 300ms);
    EXPECT_EQ(Conn(PORT), "Not Connect");
    EXPECT_EQ(reason(), strRefused);
}

TEST_F(WorkerTest, InvalidAddressFails)
{
    ConfigureClient(PORT, 80, "not an address");
    StartPort(PORT);
    OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connect Error", 15s));
}

TEST_F(WorkerTest, SilentPeerTimesOut)
{
    // A listener whose accept queue is full drops further SYNs, so the
    // connect neither succeeds nor fails.
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort, 0);
    m_vecClose.push_back(hListen);
    for (int k = 0; k < 4; ++k)
    {
        int h = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(nPeerPort));
        connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        m_vecClose.push_back(h);
    }
    std::this_thread::sleep_for(100ms);

    m_core.m_options.m_nConnectTimeout = 1;
    ConfigureClient(PORT, nPeerPort);
    StartPort(PORT);
    OpenApp(PORT);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Connecting));
    ASSERT_TRUE(WaitConn(PORT, "Connect Error", 5s));
    EXPECT_EQ(ConnHistory(PORT), (std::vector<std::string>{"Connecting", "Connect Error"}));
}

TEST_F(WorkerTest, LostConnectionWithoutReconnectStaysInError)
{
    const int hListen = StartClientWithListener(PORT);
    OpenApp(PORT);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    close(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connect Error"));
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::RetryWait);
    EXPECT_EQ(Accept(hListen, 1500ms), -1) << "no redial without re-connection";
}

TEST_F(WorkerTest, LostConnectionIsRedialled)
{
    m_core.m_options.m_bReconnect = 1;
    const int hListen = StartClientWithListener(PORT);
    int hApp = OpenApp(PORT);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    // The last bytes before the loss still reach the application.
    ASSERT_TRUE(WriteAll(hPeer, "last words"));
    close(hPeer);

    int hPeer2 = Accept(hListen);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ASSERT_TRUE(m_loop.RunUntil([&] { return ConnHistory(PORT).size() >= 5 && Conn(PORT) == "Connected"; }, 5s));
    EXPECT_EQ(ConnHistory(PORT),
              (std::vector<std::string>{"Connecting", "Connected", "Connect Error", "Connecting", "Connected"}));
    EXPECT_EQ(ReadFor(hApp, 10), "last words");
    ASSERT_TRUE(WriteAll(hApp, "again"));
    EXPECT_EQ(ReadFor(hPeer2, 5), "again");
}

TEST_F(WorkerTest, FailedConnectIsRetriedAfterReconnectionTime)
{
    m_core.m_options.m_bReconnect = 1;
    m_core.m_options.m_nReconnectTime = 1;
    const int nPeerPort = UnusedTcpPort();
    ConfigureClient(PORT, nPeerPort);
    StartPort(PORT);
    OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connect Error"));
    int nPort = nPeerPort;
    int hListen = ListenTcp(&nPort);
    ASSERT_GE(hListen, 0);
    m_vecClose.push_back(hListen);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    // After a re-connection the attempt shows "Connecting" first.
    auto vec = ConnHistory(PORT);
    ASSERT_GE(vec.size(), 4u);
    EXPECT_EQ(vec[vec.size() - 2], "Connecting");
}

TEST(WorkerLostWait, TickWrap)
{
    struct SRow
    {
        uint32_t dwLost;
        uint32_t t;
        bool bOver;
    };
    const SRow rows[] = {
        {1300, 1000, false},
        {1300, 1299, false},
        {1300, 1300, true},
        {1300, 5000, true},
        // 0xFFFFFF00 + 300 wrapped to 44.
        {44, 0xFFFFFF00u, false},
        {44, 0xFFFFFFFFu, false},
        {44, 0, false},
        {44, 43, false},
        {44, 44, true},
        {44, 1000, true},
        {299, 0xFFFFFED3u, false},
        {299, 0xFFFFFED2u, true},
    };
    for (const SRow& row : rows)
        EXPECT_EQ(CConnection::LostWaitOver(row.dwLost, row.t), row.bOver) << row.dwLost << " at " << row.t;
}

TEST_F(WorkerTest, RedialWaitsAcrossTickWrap)
{
    std::atomic<uint32_t> dwTick{0xFFFFFF00u};
    m_core.GetWorker(PORT).SetTickSource([&] { return dwTick.load(); });
    m_core.m_options.m_bReconnect = 1;
    const int hListen = StartClientWithListener(PORT);
    OpenApp(PORT);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    close(hPeer);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::LostWait));
    dwTick = 0xFFFFFFF0u;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::LostWait);
    dwTick = 20;  // wrapped, but short of the 300 ms
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::LostWait);
    dwTick = 44;
    int hPeer2 = Accept(hListen);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    EXPECT_TRUE(WaitConn(PORT, "Connected"));
}

// Everything the application wrote before closing reaches the peer, also
// what still waited in the port when it closed, and the close returns only
// after the worker drained and hung up.
TEST_F(WorkerTest, CloseDrainsWhatThePeerHasNotTakenYet)
{
    const int hListen = StartClientWithListener(PORT, 4096);
    int hApp = OpenApp(PORT, O_NONBLOCK);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));

    // The peer reads nothing yet: write until everything between the
    // application and the peer is full, then close.
    const std::string strSent = FillUntilStuck(hApp, 5);
    ASSERT_GT(m_core.GetPort(PORT).QueuedCount(), 4096) << "the port must still hold data at the close";
    CloseApp(hApp);

    // Now the peer reads as fast as it can; the drain has 10 s.
    std::string strGot;
    std::thread reader([&] { strGot = ReadFor(hPeer, strSent.size(), 5000); });
    EXPECT_TRUE(WaitState(PORT, EWorkerState::Idle, 15s));
    reader.join();
    EXPECT_EQ(strGot.size(), strSent.size());
    EXPECT_TRUE(strGot == strSent);
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
}

// A close waits for its drain without holding the owner thread: while COM1
// drains towards a peer that reads nothing, COM2 opens, connects and carries
// data, and the owner's other tasks run at once.
TEST_F(WorkerTest, ADrainingCloseHoldsUpNoOtherPort)
{
    constexpr int OTHER = 1;  // COM2
    std::string strSent;
    const int hPeer = StartDrainingClose(PORT, 9, &strSent);
    ASSERT_GE(hPeer, 0);

    const auto tPosted = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point tRan;
    int bRan = 0;
    m_loop.Post([&] {
        tRan = std::chrono::steady_clock::now();
        bRan = 1;
    });
    ASSERT_TRUE(m_loop.RunUntil([&] { return bRan == 1; }, 5s));
    const auto msWait = std::chrono::duration_cast<std::chrono::milliseconds>(tRan - tPosted);
    // The drain could hold it 10 s; anything near that means it waited.
    EXPECT_LT(msWait.count(), 1000) << "a task posted during the drain waited " << msWait.count() << " ms";

    const int hListen2 = StartClientWithListener(OTHER);
    const int hApp2 = OpenApp(OTHER);
    const int hPeer2 = Accept(hListen2);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ASSERT_TRUE(WaitConn(OTHER, "Connected"));
    ASSERT_TRUE(WriteAll(hApp2, "ping"));
    EXPECT_EQ(ReadFor(hPeer2, 4), "ping");
    ASSERT_TRUE(WriteAll(hPeer2, "pong"));
    EXPECT_EQ(ReadFor(hApp2, 4), "pong");
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Drain) << "COM1 still drains meanwhile";
    EXPECT_EQ(Conn(PORT), "Connected") << "its row changes when the close is complete";

    std::string strGot;
    std::thread reader([&] { strGot = ReadFor(hPeer, strSent.size(), 5000); });
    EXPECT_TRUE(WaitConn(PORT, "Not Connect", 15s));
    reader.join();
    EXPECT_TRUE(strGot == strSent) << "got " << strGot.size() << " of " << strSent.size() << " bytes";
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Idle);
}

// Stop (or the end of the program) while a close still drains: the worker
// finishes the drain before it goes, so what the application wrote arrives.
TEST_F(WorkerTest, StopDuringADrainLosesNothing)
{
    std::string strSent;
    const int hPeer = StartDrainingClose(PORT, 3, &strSent);
    ASSERT_GE(hPeer, 0);
    std::string strGot;
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        strGot = ReadFor(hPeer, strSent.size(), 5000);
    });
    m_core.GetWorker(PORT).StopThread();
    reader.join();
    EXPECT_TRUE(strGot == strSent) << "got " << strGot.size() << " of " << strSent.size() << " bytes";
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Idle);
}

TEST_F(WorkerTest, FiveMegabytesThroughEchoPeer)
{
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    std::thread echo([&] {
        int h = AcceptWithin(hListen, 5000);
        if (h < 0)
            return;
        char buf[65536];
        for (;;)
        {
            ssize_t n = read(h, buf, sizeof(buf));
            if (n <= 0 || !WriteAll(h, std::string(buf, static_cast<size_t>(n))))
                break;
        }
        close(h);
    });
    ConfigureClient(PORT, nPeerPort);
    StartPort(PORT);
    int hApp = OpenApp(PORT);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));

    const std::string str = Pattern(5 * 1024 * 1024, 11);
    std::thread writer([&] { WriteAll(hApp, str, 20000); });
    const std::string strBack = ReadFor(hApp, str.size(), 20000);
    writer.join();
    EXPECT_EQ(strBack.size(), str.size());
    EXPECT_TRUE(strBack == str) << "the echo must come back byte-exact";
    CloseApp(hApp);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle, 15s));
    echo.join();
}

// With IXOFF the application's XON/XOFF gate the data to it and never
// reach the network.
TEST_F(WorkerTest, ApplicationXonXoffGateTheNetwork)
{
    const int hListen = StartClientWithListener(PORT);
    int hApp = OpenApp(PORT);
    termios t;
    ASSERT_EQ(tcgetattr(hApp, &t), 0);
    t.c_iflag |= IXOFF;
    ASSERT_EQ(tcsetattr(hApp, TCSANOW, &t), 0);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    ASSERT_TRUE(m_loop.RunUntil([&] { return (m_core.Line(PORT).m_dwFlowCtrl & FLOW_XOUT) != 0; }, 5s));

    ASSERT_TRUE(WriteAll(hApp, "a\x13" "b"));
    EXPECT_EQ(ReadFor(hPeer, 2), "ab");
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.Line(PORT).m_bXonState == 0; }, 5s));
    ASSERT_TRUE(WriteAll(hPeer, "held"));
    EXPECT_FALSE(WaitReadable(hApp, 300)) << "XOFF holds the network data back";
    ASSERT_TRUE(WriteAll(hApp, "\x11"));
    EXPECT_EQ(ReadFor(hApp, 4), "held");
    EXPECT_FALSE(WaitReadable(hPeer, 100)) << "XON is not data";
}

// An application that outruns a stalled peer is held back with CTS and
// XOFF once 4096 bytes wait, and released once fewer than 1600 wait.
TEST_F(WorkerTest, ThrottleHoldsAndReleasesApplication)
{
    const int hListen = StartClientWithListener(PORT, 4096);
    int hApp = OpenApp(PORT, O_NONBLOCK);
    termios t;
    ASSERT_EQ(tcgetattr(hApp, &t), 0);
    t.c_iflag |= IXON;
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(hApp, TCSANOW, &t), 0);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    ASSERT_TRUE(m_loop.RunUntil(
        [&] { return (m_core.Line(PORT).m_dwFlowCtrl & (FLOW_XIN | FLOW_CTS)) == (FLOW_XIN | FLOW_CTS); }, 5s));

    // Write until the application is stopped.
    std::string strSent;
    const std::string strChunk = Pattern(1024, 13);
    bool bHeld = false;
    const auto tEnd = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < tEnd && !bHeld)
    {
        ssize_t n = write(hApp, strChunk.data(), strChunk.size());
        if (n > 0)
            strSent.append(strChunk, 0, static_cast<size_t>(n));
        m_loop.RunPending();
        bHeld = m_core.Line(PORT).m_bXonSent == 0 && m_core.Line(PORT).m_bCtsRaised == 0;
        if (n <= 0)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(bHeld);
    EXPECT_EQ(m_core.GetPort(PORT).GetCTS(), 0);

    // The peer catches up; the worker releases the application.
    std::string strGot;
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            char buf[65536];
            ssize_t n = recv(hPeer, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                strGot.append(buf, static_cast<size_t>(n));
            return m_core.Line(PORT).m_bXonSent == 1 && m_core.Line(PORT).m_bCtsRaised == 1;
        },
        10s));
    EXPECT_EQ(m_core.GetPort(PORT).GetCTS(), 1);
    ssize_t n;
    ASSERT_TRUE(m_loop.RunUntil([&] { return (n = write(hApp, "more", 4)) == 4; }, 5s)) << "XON lets it write again";
    strSent += "more";
    strGot += ReadFor(hPeer, strSent.size() - strGot.size());
    EXPECT_EQ(strGot.size(), strSent.size());
    EXPECT_TRUE(strGot == strSent);
}

// Stopping a port leaves "Not Connect" whatever the client was doing.
TEST_F(WorkerTest, StopInEveryClientStateLeavesNotConnect)
{
    struct SCase
    {
        const char* pszName;
        EWorkerState state;
    };
    for (const SCase& c : {SCase{"idle", EWorkerState::Idle}, SCase{"connecting", EWorkerState::Connecting},
                           SCase{"connected", EWorkerState::Data}, SCase{"retry wait", EWorkerState::RetryWait},
                           SCase{"lost wait", EWorkerState::LostWait}})
    {
        SCOPED_TRACE(c.pszName);
        const int i = static_cast<int>(c.state) + 10;  // a port of its own per case
        int nPeerPort = 0;
        int hListen = ListenTcp(&nPeerPort, c.state == EWorkerState::Connecting ? 0 : 16);
        m_vecClose.push_back(hListen);
        int hPeer = -1;
        m_core.m_options.m_bReconnect = c.state == EWorkerState::LostWait ? 1 : 0;
        if (c.state == EWorkerState::Connecting)
        {
            m_core.m_options.m_nConnectTimeout = 99;
            for (int k = 0; k < 4; ++k)
            {
                int h = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                sockaddr_in addr{};
                addr.sin_family = AF_INET;
                addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                addr.sin_port = htons(static_cast<uint16_t>(nPeerPort));
                connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
                m_vecClose.push_back(h);
            }
        }
        std::atomic<uint32_t> dwTick{1000};
        m_core.GetWorker(i).SetTickSource([&] { return dwTick.load(); });
        ConfigureClient(i, c.state == EWorkerState::RetryWait ? UnusedTcpPort() : nPeerPort);
        StartPort(i);
        if (c.state != EWorkerState::Idle)
        {
            OpenApp(i);
            if (c.state == EWorkerState::Data || c.state == EWorkerState::LostWait)
            {
                hPeer = Accept(hListen);
                ASSERT_GE(hPeer, 0);
                m_vecClose.push_back(hPeer);
                ASSERT_TRUE(WaitConn(i, "Connected"));
            }
            if (c.state == EWorkerState::LostWait)
            {
                close(hPeer);
                std::erase(m_vecClose, hPeer);
                hPeer = -1;
            }
        }
        ASSERT_TRUE(WaitState(i, c.state));
        EXPECT_EQ(m_core.GetWorker(i).StopThread(), 0);
        m_loop.RunPending();
        EXPECT_EQ(Conn(i), "Not Connect");
        EXPECT_EQ(m_core.GetWorker(i).GetState(), EWorkerState::Idle);
        EXPECT_EQ(m_core.GetWorker(i).IsThreadRunning(), 0);
        if (hPeer >= 0)
        {
            EXPECT_EQ(ReadFor(hPeer, 1, 2000), "") << "the connection is closed";
        }
        m_core.GetPort(i).DeletePort();
    }
}

TEST_F(WorkerTest, StopBeforeTheThreadRunsIsNotLost)
{
    ConfigureClient(PORT, 1);
    for (int k = 0; k < 50; ++k)
    {
        ASSERT_EQ(m_core.GetWorker(PORT).StartThread(), 1);
        m_core.GetWorker(PORT).StopThread();
        EXPECT_EQ(m_core.GetWorker(PORT).IsThreadRunning(), 0);
    }
}


// An application that opens the port again before the last one's close was
// handled keeps what it wrote: the close neither drains it into the old
// connection nor throws it away.
TEST_F(WorkerTest, QuickReopenKeepsTheNewApplicationsData)
{
    const int hListen = StartClientWithListener(PORT);
    for (int nRound = 0; nRound < 3; ++nRound)
    {
        SCOPED_TRACE(nRound);
        int hApp = OpenApp(PORT);
        int hPeer = Accept(hListen);
        ASSERT_GE(hPeer, 0);
        m_vecClose.push_back(hPeer);
        ASSERT_TRUE(WaitConn(PORT, "Connected"));
        ASSERT_TRUE(WriteAll(hApp, "first"));
        EXPECT_EQ(ReadFor(hPeer, 5), "first");
        // Close, and reopen before the owner thread handles the close (the
        // watcher has seen it by then).
        CloseApp(hApp);
        std::this_thread::sleep_for(100ms);
        int hApp2 = OpenApp(PORT);
        ASSERT_TRUE(WriteAll(hApp2, "second"));
        std::this_thread::sleep_for(50ms);
        int hPeer2 = Accept(hListen);
        ASSERT_GE(hPeer2, 0);
        m_vecClose.push_back(hPeer2);
        EXPECT_EQ(ReadFor(hPeer2, 6), "second");
        EXPECT_EQ(ReadFor(hPeer, 1, 500), "") << "nothing of it went to the old connection";
        CloseApp(hApp2);
        ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle));
    }
}

// Programs that open, write, read the echo and close in quick succession
// each get their own echo, however their opens and closes interleave with
// the events the bridge sees.
TEST_F(WorkerTest, RapidOpenCloseLosesNoEcho)
{
    int nPeerPort = 0;
    int hListen = ListenTcp(&nPeerPort);
    m_vecClose.push_back(hListen);
    std::atomic<int> bQuit{0};
    std::thread echo([&] {
        std::vector<int> vecPeers;
        while (!bQuit)
        {
            std::vector<pollfd> fds{{hListen, POLLIN, 0}};
            for (int h : vecPeers)
                fds.push_back({h, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                vecPeers.push_back(accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t k = 1; k < fds.size(); ++k)
            {
                if (!(fds[k].revents & (POLLIN | POLLHUP)))
                    continue;
                char buf[4096];
                ssize_t n = read(fds[k].fd, buf, sizeof(buf));
                if (n <= 0)
                {
                    close(fds[k].fd);
                    std::erase(vecPeers, fds[k].fd);
                    continue;
                }
                WriteAll(fds[k].fd, std::string(buf, static_cast<size_t>(n)));
            }
        }
        for (int h : vecPeers)
            close(h);
    });
    ConfigureClient(PORT, nPeerPort);
    StartPort(PORT);
    int nLost = 0;
    for (int k = 0; k < 60; ++k)
    {
        const std::string strMsg = "message " + std::to_string(k) + ";";
        int hApp = testsupport::OpenApp(m_core.GetPort(PORT).GetLinkPath(), O_NONBLOCK);
        ASSERT_GE(hApp, 0);
        ASSERT_TRUE(WriteAll(hApp, strMsg));
        std::string strGot;
        m_loop.RunUntil(
            [&] {
                char buf[256];
                ssize_t n = read(hApp, buf, sizeof(buf));
                if (n > 0)
                    strGot.append(buf, static_cast<size_t>(n));
                return strGot.size() >= strMsg.size();
            },
            3s);
        if (strGot != strMsg)
        {
            ++nLost;
            ADD_FAILURE() << "cycle " << k << " got '" << strGot << "' state " << m_core.GetWorker(PORT).GetState()
                          << " conn " << Conn(PORT);
        }
        close(hApp);
    }
    EXPECT_EQ(nLost, 0);
    bQuit = 1;
    echo.join();
}

// A close while the connection is already dead (the peer reset it behind
// data the application has not read) ends at once instead of spending the
// whole drain time on sends that can only fail.
TEST_F(WorkerTest, CloseOnDeadConnectionDoesNotWaitForTheDrain)
{
    const int hListen = StartClientWithListener(PORT);
    int hApp = OpenApp(PORT, O_NONBLOCK);
    int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    // The application reads nothing: the peer's bytes fill the way back, so
    // the peer check keeps seeing data and never the reset behind it.
    const std::string strBlock(65536, 'p');
    int nSent = 0;
    fcntl(hPeer, F_SETFL, O_NONBLOCK);
    m_loop.RunUntil(
        [&] {
            ssize_t n = send(hPeer, strBlock.data(), strBlock.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                nSent += static_cast<int>(n);
            return nSent > 4 * 1024 * 1024 || (n < 0 && errno == EAGAIN && nSent > 0);
        },
        5s);
    ASSERT_TRUE(WriteAll(hApp, std::string(3000, 'a')));
    m_loop.RunUntil([] { return false; }, 100ms);
    linger lin{1, 0};
    setsockopt(hPeer, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    close(hPeer);  // a reset, with unread data
    ASSERT_TRUE(WriteAll(hApp, std::string(3000, 'b')));
    m_loop.RunUntil([] { return false; }, 100ms);
    const auto t0 = std::chrono::steady_clock::now();
    CloseApp(hApp);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle, 15s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "the drain ends with the connection";
}

// A close reported while another program already has the port open again
// keeps the connection for it. When that program leaves before anyone saw
// it arrive, the next program's open still ends that session and gets a
// connection of its own.
TEST_F(WorkerTest, KeptSessionWhoseProgramLeftUnseenEndsAtTheNextOpen)
{
    const int hListen = StartClientWithListener(PORT);
    Unwatch(PORT);
    const int hApp1 = OpenApp(PORT);
    ReportOpen(PORT, 1);
    const int hPeer1 = Accept(hListen);
    ASSERT_GE(hPeer1, 0);
    m_vecClose.push_back(hPeer1);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Data));
    ASSERT_TRUE(WriteAll(hApp1, "one;"));
    EXPECT_EQ(ReadFor(hPeer1, 4), "one;");

    // The second program opens before the first closes: nothing hangs up.
    const int hApp2 = OpenApp(PORT);
    CloseApp(hApp1);
    ReportOpen(PORT, 0);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Data);
    ASSERT_TRUE(WriteAll(hApp2, "two;"));
    EXPECT_EQ(ReadFor(hPeer1, 4), "two;") << "the session went on";

    // It leaves; the worker sees that, nobody reports it.
    CloseApp(hApp2);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.GetWorker(PORT).SawApplicationGo() == 1; }, 5s));
    const int hApp3 = OpenApp(PORT);
    ASSERT_TRUE(WriteAll(hApp3, "three;"));
    ReportOpen(PORT, 1);
    EXPECT_EQ(ReadFor(hPeer1, 1, 2000), "") << "the old connection ends";
    const int hPeer2 = Accept(hListen);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    EXPECT_EQ(ReadFor(hPeer2, 6), "three;");
    ASSERT_TRUE(WriteAll(hPeer2, "back"));
    EXPECT_EQ(ReadFor(hApp3, 4), "back");
    CloseApp(hApp3);
    ReportOpen(PORT, 0);
    EXPECT_TRUE(WaitState(PORT, EWorkerState::Idle));
}

// A program that opens the port while the close of the one before still
// drains it: between the two connections every byte arrives once and in
// order, and nothing of the new program goes out on the old connection.
TEST_F(WorkerTest, ReopenDuringTheDrainSplitsTheBytesCleanly)
{
    const int hListen = StartClientWithListener(PORT);
    Unwatch(PORT);
    const int hApp1 = OpenApp(PORT, O_NONBLOCK);
    ReportOpen(PORT, 1);
    const int hPeer1 = Accept(hListen);
    ASSERT_GE(hPeer1, 0);
    m_vecClose.push_back(hPeer1);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Data));

    // The peer takes nothing: everything between program and peer fills up.
    std::string strSent;
    auto tQuiet = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - tQuiet < 300ms)
    {
        char buf[4096];
        for (size_t k = 0; k < sizeof(buf); ++k)
            buf[k] = static_cast<char>('a' + (strSent.size() + k) % 26);
        const ssize_t n = write(hApp1, buf, sizeof(buf));
        if (n > 0)
        {
            strSent.append(buf, static_cast<size_t>(n));
            tQuiet = std::chrono::steady_clock::now();
        }
        else
        {
            std::this_thread::sleep_for(5ms);
        }
    }
    ASSERT_GT(strSent.size(), 8192u);
    CloseApp(hApp1);

    // While the owner thread waits in the close, the next program opens and
    // writes; then the peer starts reading.
    const std::string strNext = "NEXT";
    std::string strPeer1;
    int hApp2 = -1;
    size_t nNextWritten = 0;
    std::thread other([&] {
        while (m_core.GetWorker(PORT).GetState() != EWorkerState::Drain)
            std::this_thread::sleep_for(1ms);
        hApp2 = testsupport::OpenApp(m_core.GetPort(PORT).GetLinkPath(), O_NONBLOCK);
        if (hApp2 < 0)
            return;
        std::this_thread::sleep_for(20ms);
        // The port may be full of the first program's bytes for a while.
        for (;;)
        {
            if (nNextWritten < strNext.size())
            {
                const ssize_t n = write(hApp2, strNext.data() + nNextWritten, strNext.size() - nNextWritten);
                if (n > 0)
                    nNextWritten += static_cast<size_t>(n);
            }
            if (!WaitReadable(hPeer1, 3000))
                break;
            char buf[65536];
            const ssize_t n = read(hPeer1, buf, sizeof(buf));
            if (n <= 0)
                break;
            strPeer1.append(buf, static_cast<size_t>(n));
        }
    });
    ReportOpen(PORT, 0);
    other.join();
    ASSERT_GE(hApp2, 0);
    m_vecClose.push_back(hApp2);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Idle);
    EXPECT_EQ(strPeer1.find(strNext), std::string::npos) << "nothing of the new program on the old connection";
    ASSERT_LE(strPeer1.size(), strSent.size());
    EXPECT_TRUE(strSent.compare(0, strPeer1.size(), strPeer1) == 0) << "the old connection got a clean prefix";

    ReportOpen(PORT, 1);
    const int hPeer2 = Accept(hListen);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ASSERT_TRUE(WriteAll(hApp2, strNext.substr(nNextWritten)));
    const std::string strRest = strSent.substr(strPeer1.size()) + strNext;
    const std::string strPeer2 = ReadFor(hPeer2, strRest.size());
    EXPECT_EQ(strPeer2.size(), strRest.size());
    EXPECT_TRUE(strPeer2 == strRest) << "the rest, then the new program's bytes";
}

// Rings that cannot be had fail the connection like a socket that cannot be
// made: Create Error with its reason, and the next open dials again.
TEST_F(WorkerTest, RingsThatCannotBeAllocatedFailLikeASocket)
{
    const int hListen = StartClientWithListener(PORT);
    CRing::FailNextAllocations(1);
    const int hApp = OpenApp(PORT);
    ASSERT_GE(hApp, 0);
    const int hPeer = Accept(hListen);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    ASSERT_TRUE(WaitConn(PORT, "Create Error"));
    CRing::FailNextAllocations(0);
    EXPECT_EQ(m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), COL_REASON),
              "no memory for the connection's buffers");
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::RetryWait);

    CloseApp(hApp);
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle));
    const int hApp2 = OpenApp(PORT);
    ASSERT_GE(hApp2, 0);
    const int hPeer2 = Accept(hListen);
    ASSERT_GE(hPeer2, 0);
    m_vecClose.push_back(hPeer2);
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    ASSERT_TRUE(WriteAll(hPeer2, "ring"));
    EXPECT_EQ(ReadFor(hApp2, 4), "ring");
}
