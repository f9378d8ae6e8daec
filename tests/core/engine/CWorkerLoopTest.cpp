// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CWorkerLoop.h"

#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

// Ports a loop shares: COM1, COM3, COM5, ...
constexpr int SAME_LOOP[] = {0, CWorkerLoop::LOOP_COUNT, 2 * CWorkerLoop::LOOP_COUNT, 3 * CWorkerLoop::LOOP_COUNT};

class WorkerLoopTest : public WorkerTest
{
protected:
    struct SLink
    {
        int hApp = -1;
        int hPeer = -1;
    };

    // Port i's program opens it and its peer is accepted on hListen.
    SLink Open(int i, int hListen)
    {
        SLink link;
        link.hApp = OpenApp(i);
        link.hPeer = Accept(hListen);
        if (link.hPeer >= 0)
            m_vecClose.push_back(link.hPeer);
        if (link.hApp < 0 || link.hPeer < 0 || !WaitConn(i, "Connected"))
            return {};
        return link;
    }

    static bool BothWays(const SLink& link, const std::string& str)
    {
        return WriteAll(link.hApp, str) && ReadFor(link.hPeer, str.size()) == str && WriteAll(link.hPeer, str) &&
               ReadFor(link.hApp, str.size()) == str;
    }
};

}  // namespace

// Connections of ports on one loop come and go, and a new one may get the
// number of a socket just closed: every port's data still reaches its own
// peer, both ways.
TEST_F(WorkerLoopTest, PortsSharingALoopKeepTheirOwnConnectionsAsTheyComeAndGo)
{
    std::vector<int> vecListen;
    for (int i : SAME_LOOP)
        vecListen.push_back(StartClientWithListener(i));
    std::vector<SLink> vecLinks;
    for (size_t k = 0; k < std::size(SAME_LOOP); ++k)
    {
        vecLinks.push_back(Open(SAME_LOOP[k], vecListen[k]));
        ASSERT_GE(vecLinks.back().hApp, 0) << "COM" << SAME_LOOP[k] + 1;
    }
    for (int nRound = 0; nRound < 3; ++nRound)
    {
        for (size_t k = 0; k < vecLinks.size(); ++k)
        {
            // One port hangs up and opens again, which closes its socket
            // and makes a new one; the others go on meanwhile.
            const int i = SAME_LOOP[k];
            CloseApp(vecLinks[k].hApp);
            ASSERT_TRUE(WaitConn(i, "Not Connect"));
            ASSERT_TRUE(WaitState(i, EWorkerState::Idle));
            vecLinks[k] = Open(i, vecListen[k]);
            ASSERT_GE(vecLinks[k].hApp, 0) << "COM" << i + 1 << " round " << nRound;
            for (size_t m = 0; m < vecLinks.size(); ++m)
                EXPECT_TRUE(BothWays(vecLinks[m], "COM" + std::to_string(SAME_LOOP[m] + 1) + " round " +
                                                      std::to_string(nRound)))
                    << "COM" << SAME_LOOP[m] + 1;
        }
    }
}

// A worker that stops while others on its loop carry data: the stop waits
// for that worker alone, and the others lose nothing.
TEST_F(WorkerLoopTest, AStopOnALoopLeavesTheOtherWorkersRunning)
{
    std::vector<int> vecListen;
    std::vector<SLink> vecLinks;
    for (int i : SAME_LOOP)
    {
        vecListen.push_back(StartClientWithListener(i));
        vecLinks.push_back(Open(i, vecListen.back()));
        ASSERT_GE(vecLinks.back().hApp, 0) << "COM" << i + 1;
    }
    const std::string strBlock = Pattern(200000, 3);
    std::vector<std::thread> vecPeers;
    std::vector<std::string> vecGot(vecLinks.size());
    for (size_t k = 1; k < vecLinks.size(); ++k)
        vecPeers.emplace_back([&, k] { vecGot[k] = ReadFor(vecLinks[k].hPeer, strBlock.size()); });
    std::vector<std::thread> vecApps;
    for (size_t k = 1; k < vecLinks.size(); ++k)
        vecApps.emplace_back([&, k] { WriteAll(vecLinks[k].hApp, strBlock); });

    m_core.GetWorker(SAME_LOOP[0]).StopThread();
    EXPECT_FALSE(m_core.GetWorker(SAME_LOOP[0]).IsThreadRunning());
    EXPECT_EQ(ReadFor(vecLinks[0].hPeer, 1, 2000), "") << "the stopped port's connection ended";

    for (auto& t : vecApps)
        t.join();
    for (auto& t : vecPeers)
        t.join();
    for (size_t k = 1; k < vecLinks.size(); ++k)
    {
        EXPECT_EQ(vecGot[k].size(), strBlock.size()) << "COM" << SAME_LOOP[k] + 1;
        EXPECT_TRUE(vecGot[k] == strBlock) << "COM" << SAME_LOOP[k] + 1;
        EXPECT_TRUE(BothWays(vecLinks[k], "after the stop"));
    }
    // Started again, it runs on the same loop as before.
    ASSERT_EQ(m_core.GetWorker(SAME_LOOP[0]).StartThread(), 1);
    EXPECT_TRUE(m_core.GetWorker(SAME_LOOP[0]).IsThreadRunning());
}
