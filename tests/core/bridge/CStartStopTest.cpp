// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CStartStop.h"

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CTaskLoop.h"
#include "tests/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

// A port that can never be created and says a port of its name exists.
class CStuckPort : public COmbraPortAx
{
public:
    int CreatePort(const std::string&) override
    {
        ++m_nCreates;
        return 0;
    }
    int PortExists(const std::string&) override { return 1; }
    int DeletePort() override
    {
        ++m_nDeletes;
        return 1;
    }
    void ReleasePort() override { ++m_nReleases; }

    int m_nCreates = 0;
    int m_nDeletes = 0;
    int m_nReleases = 0;
};

// A real port that counts its create attempts.
class CCountingPort : public COmbraPortAx
{
public:
    int CreatePort(const std::string& strName) override
    {
        ++m_nCreates;
        return COmbraPortAx::CreatePort(strName);
    }

    int m_nCreates = 0;
};

class StartStopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_EQ(m_core.Init(m_dir.Path(), &strError), 1) << strError;
        m_core.ResetSettings();
        m_core.m_startStop.m_nRetryPauseMs = 10;
        m_core.m_fnMessageBox = [this](const std::string& strCaption, const std::string& strText) {
            m_vecBoxes.push_back(strCaption + "|" + strText);
        };
    }

    void TearDown() override
    {
        for (int h : m_vecClose)
            close(h);
        m_core.Teardown();
    }

    void AddPort(int i, int bEnable, int nMode = MODE_TCP_CLIENT)
    {
        m_core.m_comData.SetUse(i, 1);
        m_core.m_comData.SetEnable(i, bEnable);
        m_core.m_comData.SetMode(i, nMode);
        m_core.m_comData.SetIPAddress(i, "127.0.0.1");
        m_core.m_comData.SetPeerPort(i, 1);
    }

    bool WaitIdle(int bRunning)
    {
        return m_loop.RunUntil([&] { return m_core.m_bBusy == 0 && m_core.m_comData.m_bRunning == bRunning; }, 10s);
    }

    std::string Create(int i) { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(i), COL_CREATE); }
    bool LinkExists(const std::string& strName)
    {
        struct stat st;
        return lstat(m_dir.File(strName).c_str(), &st) == 0;
    }

    CTempDir m_dir;
    CTaskLoop m_loop;
    COmbraCtrlCore m_core{&m_loop};
    std::vector<std::string> m_vecBoxes;
    std::vector<int> m_vecClose;
};

}  // namespace

TEST_F(StartStopTest, NothingEnabledDoesNothing)
{
    AddPort(0, 0);
    m_core.InitList();
    EXPECT_EQ(m_core.m_startStop.OnStartStop(), 0);
    EXPECT_EQ(m_core.m_bBusy, 0);
    m_loop.RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(m_core.m_comData.m_bRunning, 0);
    EXPECT_EQ(Create(0), "None");
}

TEST_F(StartStopTest, StartCreatesEnabledPortsAndStopRemovesThem)
{
    AddPort(0, 1);
    AddPort(1, 0);
    AddPort(5, 1, MODE_TCP_SERVER);
    m_core.InitList();
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    EXPECT_EQ(m_core.m_bBusy, 1);
    EXPECT_EQ(m_core.m_startStop.OnStartStop(), 0) << "one sequence at a time";
    ASSERT_TRUE(WaitIdle(1));
    EXPECT_EQ(Create(0), "Created");
    EXPECT_EQ(Create(1), "None") << "a disabled row keeps its text";
    EXPECT_EQ(Create(5), "Created");
    EXPECT_TRUE(LinkExists("COM1"));
    EXPECT_FALSE(LinkExists("COM2"));
    EXPECT_TRUE(LinkExists("COM6"));
    EXPECT_EQ(m_core.GetWorker(0).IsThreadRunning(), 1);
    EXPECT_EQ(m_core.GetWorker(1).IsThreadRunning(), 0);

    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(0));
    EXPECT_EQ(Create(0), "None");
    EXPECT_EQ(Create(5), "None");
    EXPECT_FALSE(LinkExists("COM1"));
    EXPECT_FALSE(LinkExists("COM6"));
    EXPECT_EQ(m_core.GetWorker(0).IsThreadRunning(), 0);
    EXPECT_EQ(m_core.GetWorker(5).IsThreadRunning(), 0);
}

// Start and Stop bring each row they handled into view, after its new text,
// so that a long list shows how far they are; rows they pass over are not.
TEST_F(StartStopTest, EachHandledRowIsBroughtIntoViewAfterItsText)
{
    struct CRecorder : CPortRowsListener
    {
        explicit CRecorder(const CPortRows& r) : rows(r) {}
        void OnEnsureVisible(int nRow) override
        {
            log.push_back(std::to_string(nRow) + ":" + rows.GetItemText(nRow, COL_CREATE));
        }
        const CPortRows& rows;
        std::vector<std::string> log;
    };
    AddPort(0, 1);
    AddPort(1, 0);
    AddPort(2, 1);
    m_core.InitList();
    CRecorder rec(m_core.m_rows);
    m_core.m_rows.SetListener(&rec);

    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1));
    EXPECT_EQ(rec.log, (std::vector<std::string>{"0:Created", "2:Created"}));
    rec.log.clear();
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(0));
    EXPECT_EQ(rec.log, (std::vector<std::string>{"0:None", "2:None"}));
    m_core.m_rows.SetListener(nullptr);
}

TEST_F(StartStopTest, PortThatCannotBeCreatedEndsInCreateErrorAndStartStillCompletes)
{
    AddPort(2, 1);
    AddPort(3, 1);
    m_core.InitList();
    auto pStuck = std::make_unique<CStuckPort>();
    CStuckPort* pPort = pStuck.get();
    m_core.ReplacePort(2, std::move(pStuck));
    m_core.m_options.m_nCreateRetry = 3;
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1));
    EXPECT_EQ(Create(2), "Create Error");
    EXPECT_EQ(Create(3), "Created") << "the next row goes on";
    EXPECT_EQ(pPort->m_nCreates, 3);
    EXPECT_EQ(pPort->m_nDeletes, 3) << "the leftover is removed after each failed attempt";
    EXPECT_EQ(pPort->m_nReleases, 0) << "a leftover is removed without releasing it";
    EXPECT_EQ(m_core.GetWorker(2).IsThreadRunning(), 0);
}

TEST_F(StartStopTest, StaleLinksOfOursAreReplacedOnTheFirstAttempt)
{
    // What a killed run leaves: links to ptys that are gone.
    std::vector<CCountingPort*> vecPorts;
    for (int i = 0; i < 4; ++i)
    {
        AddPort(i, 1);
        auto pPort = std::make_unique<CCountingPort>();
        vecPorts.push_back(pPort.get());
        m_core.ReplacePort(i, std::move(pPort));
        const std::string strGone = "/dev/pts/" + std::to_string(95000 + i);
        struct stat st;
        ASSERT_NE(lstat(strGone.c_str(), &st), 0);
        ASSERT_EQ(symlink(strGone.c_str(), m_dir.File("COM" + std::to_string(i + 1)).c_str()), 0);
    }
    m_core.InitList();
    // With the pause of a real run, a retry per port would show as a
    // start that does not end within the wait below.
    m_core.m_startStop.m_nRetryPauseMs = 1000;
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1));
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(Create(i), "Created");
        EXPECT_EQ(vecPorts[static_cast<size_t>(i)]->m_nCreates, 1) << "COM" << i + 1;
        char szTarget[128] = {};
        ASSERT_GT(readlink(m_dir.File("COM" + std::to_string(i + 1)).c_str(), szTarget, sizeof(szTarget) - 1), 0);
        EXPECT_EQ(std::string(szTarget), m_core.GetPort(i).GetSlavePath());
    }
}

TEST_F(StartStopTest, EntriesNotOursFailAtOnceKeepTheirReasonAndSurviveStop)
{
    std::vector<CCountingPort*> vecPorts;
    for (int i = 0; i < 5; ++i)
    {
        AddPort(i, 1);
        auto pPort = std::make_unique<CCountingPort>();
        vecPorts.push_back(pPort.get());
        m_core.ReplacePort(i, std::move(pPort));
    }
    FILE* pFile = fopen(m_dir.File("COM3").c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fclose(pFile);
    ASSERT_EQ(symlink("/dev/null", m_dir.File("COM4").c_str()), 0);  // the user's own device link
    m_core.InitList();
    m_core.m_options.m_nCreateRetry = 40;
    m_core.m_startStop.m_nRetryPauseMs = 1000;
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1)) << "a create that cannot succeed must not wait out its attempts";
    for (int i : {2, 3})
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(Create(i), "Create Error");
        EXPECT_EQ(vecPorts[static_cast<size_t>(i)]->m_nCreates, 1);
        EXPECT_EQ(m_core.m_rows.GetItemText(m_core.m_rows.FindRow(i), COL_REASON),
                  "COM" + std::to_string(i + 1) + " exists in the port directory and is not ours");
    }
    for (int i : {0, 1, 4})
        EXPECT_EQ(Create(i), "Created") << "the other ports go on";

    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(0));
    struct stat st;
    EXPECT_EQ(lstat(m_dir.File("COM3").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    char szTarget[128] = {};
    ASSERT_GT(readlink(m_dir.File("COM4").c_str(), szTarget, sizeof(szTarget) - 1), 0);
    EXPECT_STREQ(szTarget, "/dev/null");
    EXPECT_FALSE(LinkExists("COM1"));

    // The user clears the name: the next Start creates the port, and the
    // old failure's reason goes with it.
    ASSERT_EQ(unlink(m_dir.File("COM3").c_str()), 0);
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1));
    EXPECT_EQ(Create(2), "Created");
    EXPECT_EQ(m_core.m_rows.GetItemText(m_core.m_rows.FindRow(2), COL_REASON), "");
    EXPECT_EQ(Create(3), "Create Error") << "COM4 is still the user's";
    EXPECT_NE(m_core.m_rows.GetItemText(m_core.m_rows.FindRow(3), COL_REASON), "");
}

TEST_F(StartStopTest, StopIsRefusedWhileAnEnabledPortIsOpen)
{
    AddPort(0, 1, MODE_TCP_SERVER);
    AddPort(4, 1, MODE_TCP_SERVER);
    m_core.InitList();
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    ASSERT_TRUE(WaitIdle(1));
    for (int i : {4, 0})
    {
        int h = OpenApp(m_core.GetPort(i).GetLinkPath());
        ASSERT_GE(h, 0);
        m_vecClose.push_back(h);
    }
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_core.m_comData.GetOpen(0) == 1 && m_core.m_comData.GetOpen(4) == 1; }, 5s));
    EXPECT_EQ(m_core.m_startStop.OnStartStop(), 0);
    ASSERT_EQ(m_vecBoxes.size(), 1u) << "one box, however many ports are open";
    EXPECT_EQ(m_vecBoxes[0], "Error|Virtual Serial Port is still used by other application.\nOpen: COM1, COM5");
    EXPECT_EQ(m_core.m_comData.m_bRunning, 1);
    EXPECT_EQ(m_core.m_bBusy, 0);
    EXPECT_TRUE(LinkExists("COM1"));
}

TEST_F(StartStopTest, TeardownDuringStartLeavesNoLink)
{
    for (int i = 0; i < 8; ++i)
        AddPort(i, 1);
    m_core.InitList();
    ASSERT_EQ(m_core.m_startStop.OnStartStop(), 1);
    m_loop.RunUntil([&] { return Create(2) == "Created"; }, 5s);
    m_loop.Quit();
    m_core.Teardown();
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(LinkExists("COM" + std::to_string(i + 1)));
    EXPECT_EQ(m_core.m_comData.m_bRunning, 0);
}
