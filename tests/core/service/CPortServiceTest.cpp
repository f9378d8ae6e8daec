// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPortService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/service/CPortServiceEvents.h"
#include "core/service/CTaskLoop.h"
#include "tests/TestSupport.h"

using namespace std::chrono_literals;

namespace
{

class CRecordedEvents : public CPortServiceEvents
{
public:
    void OnMessage(const std::string& strCaption, const std::string& strText) override
    {
        m_vecMessages.push_back(strCaption + "|" + strText);
    }
    void OnRunState() override { ++m_nRunStates; }

    std::vector<std::string> m_vecMessages;
    int m_nRunStates = 0;
};

CPortEntry Client(int nPeerPort)
{
    CPortEntry entry;
    entry.m_nMode = MODE_TCP_CLIENT;
    entry.m_strIPAddress = "127.0.0.1";
    entry.m_nPeerPort = nPeerPort;
    entry.m_nLocPort = 0;
    return entry;
}

class PortServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_service.Init(m_dir.Path(), &strError)) << strError;
        m_service.ResetSettings();
        m_service.SetEvents(&m_events);
        m_service.ShowRows();
    }
    void TearDown() override { m_service.Teardown(); }

    bool WaitIdle(bool bRunning)
    {
        return m_loop.RunUntil([&] { return !m_service.IsBusy() && m_service.IsRunning() == bRunning; }, 10s);
    }

    testsupport::CTempDir m_dir;
    CTaskLoop m_loop;
    CPortService m_service{&m_loop};
    CRecordedEvents m_events;
};

}  // namespace

// Everything a front end may change is refused while the ports run, and the
// refusal changes nothing: the workers read the table and the options then.
TEST_F(PortServiceTest, CommandsAreRefusedWhileThePortsRunAndChangeNothing)
{
    ASSERT_TRUE(m_service.AddPort(2, Client(1)));
    EXPECT_FALSE(m_service.AddPort(2, Client(2))) << "a used number";
    EXPECT_EQ(m_service.Entry(2).m_nPeerPort, 1);
    EXPECT_FALSE(m_service.AddPort(256, Client(1)));
    EXPECT_FALSE(m_service.DeletePort(3)) << "an unused number";
    ASSERT_EQ(m_service.Rows().GetRowCount(), 1);

    m_service.StartStop();
    EXPECT_TRUE(m_service.IsBusy());
    ASSERT_TRUE(WaitIdle(true));
    EXPECT_GE(m_events.m_nRunStates, 2) << "busy, then started";

    COptionSet options = m_service.Options();
    options.m_nConnectTimeout = 33;
    EXPECT_FALSE(m_service.SetOptions(options));
    EXPECT_EQ(m_service.Options().m_nConnectTimeout, 10);
    EXPECT_FALSE(m_service.AddPort(4, Client(1)));
    EXPECT_FALSE(m_service.ConfigPort(2, Client(9)));
    EXPECT_FALSE(m_service.ToggleEnable(2));
    EXPECT_FALSE(m_service.DeletePort(2));
    std::array<CPortEntry, CPortService::PORT_COUNT> entries{};
    EXPECT_FALSE(m_service.ApplyConfig(options, entries));
    EXPECT_EQ(m_service.Entry(2).m_nPeerPort, 1);
    EXPECT_EQ(m_service.Ports().GetEnable(2), 1);
    EXPECT_EQ(m_service.Ports().GetUse(4), 0);
    EXPECT_EQ(m_service.Rows().GetRowCount(), 1);

    m_service.StartStop();
    ASSERT_TRUE(WaitIdle(false));
    EXPECT_TRUE(m_service.SetOptions(options));
    EXPECT_EQ(m_service.Options().m_nConnectTimeout, 33);
    EXPECT_TRUE(m_service.ConfigPort(2, Client(9)));
    EXPECT_EQ(m_service.Entry(2).m_nPeerPort, 9);
    EXPECT_TRUE(m_service.ToggleEnable(2));
    EXPECT_EQ(m_service.Ports().GetEnable(2), 0);
    EXPECT_TRUE(m_service.DeletePort(2));
    EXPECT_EQ(m_service.Rows().GetRowCount(), 0);
    EXPECT_TRUE(m_events.m_vecMessages.empty());
}

// A Stop while a program holds a port open is refused with the box the
// front end shows, and the ports keep running.
TEST_F(PortServiceTest, StopWhileAPortIsOpenReachesTheFrontEndAsAMessage)
{
    ASSERT_TRUE(m_service.AddPort(0, Client(1)));
    m_service.StartStop();
    ASSERT_TRUE(WaitIdle(true));
    const int hApp = testsupport::OpenApp(m_dir.File("COM1"));
    ASSERT_GE(hApp, 0);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_service.OpenPorts() == std::vector<int>{0}; }, 5s));

    m_service.StartStop();
    EXPECT_FALSE(m_service.IsBusy());
    EXPECT_TRUE(m_service.IsRunning());
    ASSERT_EQ(m_events.m_vecMessages.size(), 1u);
    EXPECT_EQ(m_events.m_vecMessages[0].rfind("Error|", 0), 0u) << m_events.m_vecMessages[0];
    EXPECT_NE(m_events.m_vecMessages[0].find("COM1"), std::string::npos) << m_events.m_vecMessages[0];

    close(hApp);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_service.OpenPorts().empty(); }, 5s));
    m_service.StartStop();
    EXPECT_TRUE(WaitIdle(false));
}

// What a started port carried, both ways, counted from its Start: what the
// program wrote is sent, what the peer wrote is received.
TEST_F(PortServiceTest, TrafficCountsBothDirectionsSinceStart)
{
    int nPeerPort = 0;
    const int hListen = testsupport::ListenTcp(&nPeerPort);
    ASSERT_GE(hListen, 0);
    ASSERT_TRUE(m_service.AddPort(0, Client(nPeerPort)));
    EXPECT_FALSE(m_service.Traffic(0).has_value()) << "not started";
    m_service.StartStop();
    ASSERT_TRUE(WaitIdle(true));
    ASSERT_TRUE(m_service.Traffic(0).has_value());
    EXPECT_FALSE(m_service.Traffic(1).has_value()) << "a port that was not started";
    EXPECT_FALSE(m_service.Traffic(256).has_value());

    const int hApp = testsupport::OpenApp(m_dir.File("COM1"));
    ASSERT_GE(hApp, 0);
    // The open reaches the worker through the owner thread: run it.
    ASSERT_TRUE(m_loop.RunUntil([&] { return testsupport::WaitReadable(hListen, 0); }, 5s));
    const int hPeer = testsupport::AcceptWithin(hListen, 1000);
    ASSERT_GE(hPeer, 0);
    const std::string strOut = testsupport::Pattern(3000);
    ASSERT_TRUE(testsupport::WriteAll(hApp, strOut));
    EXPECT_EQ(testsupport::ReadFor(hPeer, strOut.size()), strOut);
    ASSERT_TRUE(testsupport::WriteAll(hPeer, "reply"));
    EXPECT_EQ(testsupport::ReadFor(hApp, 5), "reply");
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            const auto traffic = m_service.Traffic(0);
            return traffic && traffic->nSent == strOut.size() && traffic->nReceived == 5;
        },
        5s));

    close(hApp);
    close(hPeer);
    close(hListen);
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_service.OpenPorts().empty(); }, 5s));
    m_service.StartStop();
    ASSERT_TRUE(WaitIdle(false));
    EXPECT_FALSE(m_service.Traffic(0).has_value());
}
