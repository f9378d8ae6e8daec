// SPDX-License-Identifier: Apache-2.0
#include "core/service/COmbraCtrlCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

#include "core/service/CTaskLoop.h"
#include "tests/TestSupport.h"

using namespace std::chrono_literals;

namespace
{

class CoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_EQ(m_core.Init(m_dir.Path(), &strError), 1) << strError;
        m_core.ResetSettings();
    }

    void AddClient(int i, int bEnable)
    {
        CPortEntry entry;
        entry.m_bUse = 1;
        entry.m_bEnable = bEnable;
        entry.m_strIPAddress = "127.0.0.1";
        entry.m_nPeerPort = 1;
        m_core.m_comData.SetEntry(i, entry);
    }

    testsupport::CTempDir m_dir;
    CTaskLoop m_loop;
    COmbraCtrlCore m_core{&m_loop};
};

}  // namespace

// 256 started ports with nothing to do sleep instead of cycling.
TEST_F(CoreTest, IdleWorkersSleep)
{
    for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
        AddClient(i, 1);
    m_core.InitList();
    for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
        ASSERT_EQ(m_core.m_startStop.OnCreatePort(i), 1) << i;
    std::this_thread::sleep_for(200ms);
    uint64_t nBefore = 0;
    for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
        nBefore += m_core.GetWorker(i).GetCycleCount();
    std::this_thread::sleep_for(500ms);
    uint64_t nAfter = 0;
    for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
        nAfter += m_core.GetWorker(i).GetCycleCount();
    // A 10 ms cycle would make about 12800 cycles here.
    EXPECT_EQ(nAfter, nBefore);
}

TEST_F(CoreTest, TheCheckBoxToggleKeepsTheCountAndIsLockedWhileRunning)
{
    AddClient(3, 1);
    AddClient(7, 0);
    m_core.InitList();
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);

    EXPECT_EQ(m_core.ToggleEnable(7), 1);
    EXPECT_EQ(m_core.m_comData.GetEnable(7), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 2);
    EXPECT_EQ(m_core.ToggleEnable(3), 1);
    EXPECT_EQ(m_core.m_comData.GetEnable(3), 0);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);
    EXPECT_EQ(m_core.ToggleEnable(9), 0) << "an unused entry has no check box";
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);

    m_core.m_comData.m_bRunning = 1;
    EXPECT_EQ(m_core.ToggleEnable(7), 0);
    m_core.m_comData.m_bRunning = 0;
    m_core.m_bBusy = 1;
    EXPECT_EQ(m_core.ToggleEnable(7), 0);
    m_core.m_bBusy = 0;
    EXPECT_EQ(m_core.m_comData.GetEnable(7), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);
}

TEST_F(CoreTest, AnyOpenPortIsSeen)
{
    EXPECT_EQ(m_core.IsAnyPortOpen(), 0);
    m_core.m_comData.SetOpen(255, 1);
    EXPECT_EQ(m_core.IsAnyPortOpen(), 1);
}

#if defined(NIMBREL_THREAD_CHECKS) && NIMBREL_THREAD_CHECKS
// The owner-thread contract is enforced, not only written down.
// WineDosDevices=1: Start links every created COMn as comN in the prefix and
// says how that went; Stop removes the link again.
TEST_F(CoreTest, WineOptionLinksCreatedPortsUntilTheyAreDeleted)
{
    testsupport::CTempDir prefix;
    ASSERT_EQ(mkdir(prefix.File("dosdevices").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/ttyS1", prefix.File("dosdevices/com2").c_str()), 0);
    setenv("WINEPREFIX", prefix.Path().c_str(), 1);
    AddClient(0, 1);
    AddClient(1, 1);
    m_core.m_options.m_bWineDosDevices = 1;
    std::vector<std::string> vecReports;
    m_core.m_fnWineLink = [&](int nPort, int bLinked, const std::string& strText) {
        vecReports.push_back("COM" + std::to_string(nPort + 1) + " " + std::to_string(bLinked) + " " + strText);
    };
    m_core.InitList();
    ASSERT_EQ(m_core.m_startStop.OnCreatePort(0), 1);
    ASSERT_EQ(m_core.m_startStop.OnCreatePort(1), 1);
    ASSERT_EQ(vecReports.size(), 2u);
    EXPECT_EQ(vecReports[0], "COM1 1 linked as " + prefix.File("dosdevices/com1"));
    EXPECT_EQ(vecReports[1].rfind("COM2 0 not linked: " + prefix.File("dosdevices/com2") + " exists", 0), 0u)
        << vecReports[1];
    char sz[256] = {};
    ASSERT_GT(readlink(prefix.File("dosdevices/com1").c_str(), sz, sizeof(sz) - 1), 0);
    EXPECT_EQ(std::string(sz), m_core.GetPort(0).GetSlavePath());

    m_core.m_startStop.OnDeletePort(0, 0);
    m_core.m_startStop.OnDeletePort(1, 0);
    struct stat st;
    EXPECT_NE(lstat(prefix.File("dosdevices/com1").c_str(), &st), 0);
    EXPECT_EQ(lstat(prefix.File("dosdevices/com2").c_str(), &st), 0);
    unsetenv("WINEPREFIX");
}

TEST(CoreDeathTest, RowsChangedOffTheOwnerThreadAbort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CTaskLoop loop;
            COmbraCtrlCore core(&loop);
            std::thread other([&] { core.m_rows.InsertRow(0, CPortView{}); });
            other.join();
        },
        "called off the owner thread");
}
#endif

// ---- Add, Config and Delete ----

namespace
{

CPortEntry MakeEntry(int nMode, const std::string& strIP, int nPeer, int nLocal)
{
    CPortEntry entry;
    entry.m_nMode = nMode;
    entry.m_strIPAddress = strIP;
    entry.m_nPeerPort = nPeer;
    entry.m_nLocPort = nLocal;
    return entry;
}

std::vector<std::string> RowTexts(const CPortRows& rows, int nRow)
{
    std::vector<std::string> vec;
    for (int nCol = 0; nCol < COL_COUNT; ++nCol)
        vec.push_back(rows.GetItemText(nRow, nCol));
    return vec;
}

}  // namespace

TEST_F(CoreTest, AddAppendsAnEnabledEntryWithItsRow)
{
    m_core.InitList();
    ASSERT_EQ(m_core.AddPort(3, MakeEntry(MODE_TCP_SERVER, "0.0.0.0", 0, 5000)), 1);
    ASSERT_EQ(m_core.AddPort(0, MakeEntry(MODE_TCP_CLIENT, "192.168.0.10", 23, 0)), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 2);
    EXPECT_EQ(m_core.m_comData.GetUse(3), 1);
    EXPECT_EQ(m_core.m_comData.GetEnable(3), 1);
    ASSERT_EQ(m_core.m_rows.GetRowCount(), 2);
    EXPECT_EQ(m_core.m_rows.GetItemData(0), 3) << "appended at the end, not sorted";
    EXPECT_EQ(RowTexts(m_core.m_rows, 0),
              (std::vector<std::string>{"COM4", "None", "Server", "----------", "5000", "Not Connect", "--------",
                                        "-----", "-----", "-----"}));
    EXPECT_EQ(m_core.m_rows.GetItemText(1, COL_PEER), "192.168.0.10:23");
    EXPECT_EQ(m_core.m_rows.GetItemText(1, COL_LOCAL), "-----");

    EXPECT_EQ(m_core.AddPort(3, MakeEntry(MODE_UDP, "1.2.3.4", 1, 2)), 0) << "used already";
    EXPECT_EQ(m_core.AddPort(256, CPortEntry()), 0);
    EXPECT_EQ(m_core.AddPort(-1, CPortEntry()), 0);
    EXPECT_EQ(m_core.m_rows.GetRowCount(), 2);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 2);
}

TEST_F(CoreTest, ConfigChangesTheEntryAndColumnsTwoToFourOnly)
{
    AddClient(6, 0);
    m_core.InitList();
    m_core.m_rows.Change(0, [](CPortView& view) { view.connection = EConnectionState::ConnectError; });
    const auto before = RowTexts(m_core.m_rows, 0);
    CPortEntry entry = MakeEntry(MODE_UDP, "10.0.0.1", 7, 8);
    entry.m_bUse = 0;  // ignored: Config never changes use and enable
    entry.m_bEnable = 1;
    entry.m_bKeepAlive = 1;
    ASSERT_EQ(m_core.ConfigPort(6, entry), 1);
    EXPECT_EQ(m_core.m_comData.GetUse(6), 1);
    EXPECT_EQ(m_core.m_comData.GetEnable(6), 0);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 0);
    EXPECT_EQ(m_core.m_comData.GetMode(6), MODE_UDP);
    EXPECT_EQ(m_core.m_comData.GetKeepAlive(6), 1);
    auto after = RowTexts(m_core.m_rows, 0);
    EXPECT_EQ(after[COL_MODE], "UDP");
    EXPECT_EQ(after[COL_PEER], "10.0.0.1:7");
    EXPECT_EQ(after[COL_LOCAL], "8");
    for (int nCol : {COL_PORT, COL_CREATE, COL_CONNECTION, COL_BAUDRATE, COL_DATA, COL_PARITY, COL_STOP})
        EXPECT_EQ(after[nCol], before[nCol]) << nCol;
    EXPECT_EQ(m_core.ConfigPort(7, entry), 0) << "an unused entry";
}

TEST_F(CoreTest, DeleteLowersTheCountOnlyForAnEnabledEntry)
{
    AddClient(1, 1);
    AddClient(2, 0);
    AddClient(5, 1);
    m_core.InitList();
    ASSERT_EQ(m_core.m_comData.m_nEnableCount, 2);
    ASSERT_EQ(m_core.DeletePort(2), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 2);
    ASSERT_EQ(m_core.DeletePort(1), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);
    EXPECT_EQ(m_core.m_comData.GetUse(1), 0);
    EXPECT_EQ(m_core.m_comData.GetEnable(1), 0);
    EXPECT_EQ(m_core.m_comData.GetIPAddress(1), "127.0.0.1") << "the rest of the entry stays";
    ASSERT_EQ(m_core.m_rows.GetRowCount(), 1);
    EXPECT_EQ(m_core.m_rows.GetItemData(0), 5);
    EXPECT_EQ(m_core.DeletePort(1), 0) << "deleted already";
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);
}

TEST_F(CoreTest, TheTableIsNotChangedWhileRunningOrBusy)
{
    AddClient(1, 1);
    m_core.InitList();
    for (int nState : {0, 1})
    {
        m_core.m_comData.m_bRunning = nState;
        m_core.m_bBusy = 1 - nState;
        EXPECT_EQ(m_core.AddPort(2, CPortEntry()), 0);
        EXPECT_EQ(m_core.ConfigPort(1, MakeEntry(MODE_UDP, "1.1.1.1", 1, 1)), 0);
        EXPECT_EQ(m_core.DeletePort(1), 0);
    }
    m_core.m_comData.m_bRunning = 0;
    m_core.m_bBusy = 0;
    EXPECT_EQ(m_core.m_comData.GetUse(2), 0);
    EXPECT_EQ(m_core.m_comData.GetMode(1), MODE_TCP_CLIENT);
    EXPECT_EQ(m_core.m_rows.GetRowCount(), 1);
    EXPECT_EQ(m_core.m_comData.m_nEnableCount, 1);
}

// The scan leaves out the ports this program created itself.
TEST_F(CoreTest, ScanCountsForeignPortNamesOnly)
{
    m_core.m_strSysRoot = m_dir.File("no-sys");
    AddClient(1, 1);
    m_core.InitList();
    ASSERT_EQ(m_core.m_startStop.OnCreatePort(1), 1);  // COM2, ours
    ASSERT_EQ(symlink("/dev/null", m_dir.File("COM4").c_str()), 0);
    m_core.ScanSystemPorts();
    EXPECT_EQ(m_core.m_comData.GetSystemPort(1), 0);
    EXPECT_EQ(m_core.m_comData.GetSystemPort(3), 1);
    m_core.Teardown();
}
