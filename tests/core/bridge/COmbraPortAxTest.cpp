// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/COmbraPortAx.h"

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <vector>

#include "core/service/CTaskLoop.h"
#include "core/bridge/CPortEventSink.h"
#include "core/bridge/CPortWatcher.h"
#include "tests/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace
{

// Records every event as it arrives on the owner thread.
class CRecordingSink : public CPortEventSink
{
public:
    void OnDataQueued(int nId, long nCount) override { m_vecQueued.push_back({nId, nCount}); }
    void OnDtrChanged(int, int) override { ++m_nModemEvents; }
    void OnRtsChanged(int, int) override { ++m_nModemEvents; }
    void OnOpenChanged(int nId, int bOpen) override { m_vecOpen.push_back({nId, bOpen}); }
    void OnLineControlChanged(int, long, long, long) override {}
    void OnHandFlowChanged(int, long, long, long, long) override {}
    void OnSpecialCharsChanged(int, long, long, long, long, long, long) override {}
    void OnBaudRateChanged(int, long) override {}
    void OnCommStateChanged(int nId, const CPortDcb& dcb) override { m_vecDcb.push_back({nId, dcb}); }

    std::vector<std::pair<int, long>> m_vecQueued;
    std::vector<std::pair<int, int>> m_vecOpen;
    std::vector<std::pair<int, CPortDcb>> m_vecDcb;
    int m_nModemEvents = 0;
};

class PortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_EQ(m_watcher.Start(m_dir.Path(), &strError), 1) << strError;
        m_port.Attach(COmbraPortAx::PORT_ID_BASE + 4, &m_watcher);
    }

    void TearDown() override
    {
        if (m_hApp >= 0)
            close(m_hApp);
        m_port.DeletePort();
        m_watcher.Stop();
    }

    bool WaitOpenEvents(size_t nCount)
    {
        return m_loop.RunUntil([&] { return m_sink.m_vecOpen.size() >= nCount; }, 5s);
    }

    bool WaitDcb(const std::function<bool(const CPortDcb&)>& pred)
    {
        return m_loop.RunUntil([&] { return !m_sink.m_vecDcb.empty() && pred(m_sink.m_vecDcb.back().second); }, 5s);
    }

    // Everything the application wrote, as the worker would take it.
    std::string ReadPortFor(size_t nWant)
    {
        std::string str;
        unsigned char buf[4096];
        const auto tEnd = std::chrono::steady_clock::now() + 5s;
        while (str.size() < nWant && std::chrono::steady_clock::now() < tEnd)
        {
            long n = m_port.ReadData(buf, sizeof(buf));
            if (n > 0)
                str.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
            else
                std::this_thread::sleep_for(1ms);
        }
        return str;
    }

    CTempDir m_dir;
    CTaskLoop m_loop;
    CRecordingSink m_sink;
    CPortWatcher m_watcher{&m_loop, &m_sink};
    COmbraPortAx m_port;
    int m_hApp = -1;
};

}  // namespace

TEST_F(PortTest, CreateLinksSlaveAndDeleteLeavesNothing)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    const std::string strLink = m_dir.File("COM5");
    EXPECT_EQ(m_port.GetLinkPath(), strLink);
    char szTarget[256] = {};
    ASSERT_GT(readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1), 0);
    EXPECT_EQ(std::string(szTarget), m_port.GetSlavePath());
    EXPECT_EQ(std::string(szTarget).rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(m_port.PortExists("COM5"), 1);
    EXPECT_EQ(m_port.PortExists("COM6"), 0);
    EXPECT_EQ(m_port.CreatePort("COM5"), 0) << "a created port is not created twice";

    const std::string strSlave = m_port.GetSlavePath();
    EXPECT_EQ(m_port.DeletePort(), 1);
    struct stat st;
    EXPECT_NE(lstat(strLink.c_str(), &st), 0);
    EXPECT_EQ(m_port.PortExists("COM5"), 0);
    EXPECT_EQ(m_port.IsCreated(), 0);
    // Nothing else in the directory either.
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + m_dir.Path() + "')\"").c_str()), 0);
}

namespace
{

// A /dev/pts entry that does not exist: what a link of ours points at
// after the program was killed.
std::string VanishedPty()
{
    for (int n = 90000;; ++n)
    {
        const std::string str = "/dev/pts/" + std::to_string(n);
        struct stat st;
        if (lstat(str.c_str(), &st) != 0)
            return str;
    }
}

std::string LinkTarget(const std::string& strLink)
{
    char szTarget[256] = {};
    return readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1) > 0 ? szTarget : "";
}

}  // namespace

TEST_F(PortTest, StaleLinksOfOursAreReplacedAtOnce)
{
    // Left by a killed run: its pty is gone.
    const std::string strLink = m_dir.File("COM7");
    ASSERT_EQ(symlink(VanishedPty().c_str(), strLink.c_str()), 0);
    ASSERT_EQ(m_port.CreatePort("COM7"), 1) << m_port.GetLastError();
    EXPECT_EQ(LinkTarget(strLink), m_port.GetSlavePath());

    // Left by a killed run, its pty number handed out again to another port
    // of ours since.
    COmbraPortAx other;
    other.Attach(COmbraPortAx::PORT_ID_BASE + 8, &m_watcher);
    const std::string strOther = m_dir.File("COM9");
    ASSERT_EQ(symlink(m_port.GetSlavePath().c_str(), strOther.c_str()), 0);
    ASSERT_EQ(other.CreatePort("COM9"), 1) << other.GetLastError();
    EXPECT_EQ(LinkTarget(strOther), other.GetSlavePath());
    EXPECT_EQ(LinkTarget(strLink), m_port.GetSlavePath()) << "the first port keeps its own link";
    other.DeletePort();
}

TEST_F(PortTest, EntriesNotOursSurviveCreateAndDelete)
{
    // A pty that is someone else's, live.
    const int hForeign = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(hForeign, 0);
    char szForeign[128];
    ASSERT_EQ(ptsname_r(hForeign, szForeign, sizeof(szForeign)), 0);

    struct SCase
    {
        const char* pszName;
        std::string strTarget;  // empty: a regular file
    };
    const SCase cases[] = {
        {"COM4", "/dev/null"},             // a user's own serial device link
        {"COM5", "/dev/pts/no-such-pty"},  // no pty name of ours
        {"COM6", szForeign},
        {"COM8", ""},
    };
    for (const SCase& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        const std::string strPath = m_dir.File(c.pszName);
        if (c.strTarget.empty())
        {
            FILE* pFile = fopen(strPath.c_str(), "w");
            ASSERT_NE(pFile, nullptr);
            fclose(pFile);
        }
        else
        {
            ASSERT_EQ(symlink(c.strTarget.c_str(), strPath.c_str()), 0);
        }

        EXPECT_EQ(m_port.CreatePort(c.pszName), 0);
        EXPECT_EQ(m_port.GetLastError(), std::string(c.pszName) + " exists in the port directory and is not ours");
        EXPECT_TRUE(m_port.IsLastErrorFinal()) << "no later attempt can succeed";
        m_port.DeletePort();
        struct stat st;
        ASSERT_EQ(lstat(strPath.c_str(), &st), 0) << "a user's entry must survive";
        if (!c.strTarget.empty())
        {
            EXPECT_EQ(LinkTarget(strPath), c.strTarget);
        }
    }
    close(hForeign);

    for (const char* pszBad : {"", ".", "..", "../COM1", "a/b"})
    {
        EXPECT_EQ(m_port.CreatePort(pszBad), 0) << pszBad;
        EXPECT_TRUE(m_port.IsLastErrorFinal());
    }
}

TEST_F(PortTest, OurLinkReplacedByTheUserIsLeftAtDelete)
{
    ASSERT_EQ(m_port.CreatePort("COM3"), 1);
    const std::string strLink = m_dir.File("COM3");
    ASSERT_EQ(unlink(strLink.c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", strLink.c_str()), 0);
    m_port.DeletePort();
    EXPECT_EQ(LinkTarget(strLink), "/dev/null");
}

TEST_F(PortTest, OpenAndCloseAreEventsWithCurrentSettings)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_loop.RunUntil([] { return false; }, 100ms);
    EXPECT_TRUE(m_sink.m_vecOpen.empty()) << "creating the port is not an open";

    m_hApp = OpenApp(m_port.GetLinkPath());
    ASSERT_GE(m_hApp, 0);
    ASSERT_TRUE(WaitOpenEvents(1));
    EXPECT_EQ(m_sink.m_vecOpen[0], std::make_pair(COmbraPortAx::PORT_ID_BASE + 4, 1));
    ASSERT_TRUE(WaitDcb([](const CPortDcb& d) { return d.BaudRate == 9600; }));

    close(m_hApp);
    m_hApp = -1;
    ASSERT_TRUE(WaitOpenEvents(2));
    EXPECT_EQ(m_sink.m_vecOpen[1].second, 0);

    // Again, to prove the watch stays armed.
    m_hApp = OpenApp(m_port.GetLinkPath());
    ASSERT_TRUE(WaitOpenEvents(3));
    EXPECT_EQ(m_sink.m_vecOpen[2].second, 1);
    EXPECT_EQ(m_sink.m_nModemEvents, 0) << "a pty has no modem lines";
}

TEST_F(PortTest, DataBothWays)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_hApp = OpenApp(m_port.GetLinkPath());
    ASSERT_GE(m_hApp, 0);

    const std::string strOut = Pattern(3000, 7);
    ASSERT_TRUE(WriteAll(m_hApp, strOut));
    EXPECT_EQ(ReadPortFor(strOut.size()), strOut);
    EXPECT_EQ(m_port.BytesToRead(), 0);

    const std::string strIn = Pattern(2000, 9);
    EXPECT_EQ(m_port.WriteData(reinterpret_cast<const unsigned char*>(strIn.data()), static_cast<long>(strIn.size())),
              static_cast<long>(strIn.size()));
    EXPECT_EQ(ReadFor(m_hApp, strIn.size()), strIn);
}

TEST_F(PortTest, TermiosChangeIsSettingsEvent)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_hApp = OpenApp(m_port.GetLinkPath());
    ASSERT_TRUE(WaitOpenEvents(1));

    termios t;
    ASSERT_EQ(tcgetattr(m_hApp, &t), 0);
    cfsetspeed(&t, B115200);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_cc[VSTART] = 0x01;
    t.c_cc[VSTOP] = 0x02;
    ASSERT_EQ(tcsetattr(m_hApp, TCSANOW, &t), 0);
    ASSERT_TRUE(WaitDcb([](const CPortDcb& d) { return d.BaudRate == 115200; }));
    const CPortDcb dcb = m_sink.m_vecDcb.back().second;
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, 2u);
    EXPECT_EQ(dcb.XonChar, 0x01);
    EXPECT_EQ(dcb.XoffChar, 0x02);
    // A pty keeps eight data bits and no parity whatever is asked.
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);

    // A rate outside the classic list comes through as a number.
    const size_t nBefore = m_sink.m_vecDcb.size();
    cfsetspeed(&t, B230400);
    ASSERT_EQ(tcsetattr(m_hApp, TCSANOW, &t), 0);
    ASSERT_TRUE(WaitDcb([](const CPortDcb& d) { return d.BaudRate == 230400; }));
    EXPECT_GT(m_sink.m_vecDcb.size(), nBefore);
}

TEST(PortWatcherDcb, TermiosMapsToSettingsRecord)
{
    termios t{};
    t.c_cflag = CS8;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).Parity, 0);
    t.c_cflag = CS7 | PARENB;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).Parity, 2);
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).ByteSize, 7);
    t.c_cflag = CS7 | PARENB | PARODD;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).Parity, 1);
    t.c_cflag = CS8 | PARENB | PARODD | CMSPAR;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).Parity, 3);
    t.c_cflag = CS8 | PARENB | CMSPAR;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).Parity, 4);
    t.c_cflag = CS5 | CSTOPB;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).StopBits, 1);
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).ByteSize, 5);
    t.c_cflag = CS6;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).StopBits, 0);
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).ByteSize, 6);
    t.c_iflag = IXON;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).fInX, 1u);
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).fOutX, 0u);
    t.c_iflag = IXOFF;
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).fInX, 0u);
    EXPECT_EQ(CPortDcb::FromTermios(t, 9600).fOutX, 1u);
    EXPECT_EQ(CPortDcb::FromTermios(t, 1234567).BaudRate, 1234567u);
}

// An application with IXON is really held back by an XOFF from the bridge,
// and never sees the XOFF and XON themselves.
TEST_F(PortTest, XoffStopsApplicationWithIxon)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_hApp = OpenApp(m_port.GetLinkPath(), O_NONBLOCK);
    ASSERT_TRUE(WaitOpenEvents(1));
    termios t;
    ASSERT_EQ(tcgetattr(m_hApp, &t), 0);
    t.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(m_hApp, TCSANOW, &t), 0);
    ASSERT_TRUE(WaitDcb([](const CPortDcb& d) { return d.fInX == 1; }));
    // The watcher takes EXTPROC off, which the line discipline's own
    // XON/XOFF handling needs.
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            termios now;
            return tcgetattr(m_hApp, &now) == 0 && (now.c_lflag & EXTPROC) == 0;
        },
        5s));

    const unsigned char chXoff = 0x13;
    ASSERT_EQ(m_port.WriteData(&chXoff, 1), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_LT(write(m_hApp, "held", 4), 0) << "XOFF must stop the application's output";
    EXPECT_EQ(errno, EAGAIN);
    char ch;
    EXPECT_LT(read(m_hApp, &ch, 1), 0) << "the XOFF is not data";

    const unsigned char chXon = 0x11;
    ASSERT_EQ(m_port.WriteData(&chXon, 1), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(write(m_hApp, "free", 4), 4);
    EXPECT_EQ(ReadPortFor(4), "free");

    // Settings changes while IXON is on are still noticed.
    cfsetspeed(&t, B4800);
    ASSERT_EQ(tcsetattr(m_hApp, TCSANOW, &t), 0);
    EXPECT_TRUE(WaitDcb([](const CPortDcb& d) { return d.BaudRate == 4800; }));
}

TEST_F(PortTest, QueuedBytesAreReportedPastThePtyBuffer)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_hApp = OpenApp(m_port.GetLinkPath(), O_NONBLOCK);
    ASSERT_GE(m_hApp, 0);
    const std::string str = Pattern(6000, 3);
    ASSERT_TRUE(WriteAll(m_hApp, str));
    // The pty alone holds at most 4095 bytes; the port's own stage lets the
    // count reach the levels that hold an application back.
    long nCount = 0;
    const auto tEnd = std::chrono::steady_clock::now() + 5s;
    while ((nCount = m_port.BytesToRead()) < 6000 && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(nCount, 6000);
    ASSERT_TRUE(m_loop.RunUntil([&] { return !m_sink.m_vecQueued.empty(); }, 5s));
    EXPECT_GE(m_sink.m_vecQueued.back().second, 4096);
    EXPECT_EQ(ReadPortFor(str.size()), str);
    EXPECT_EQ(m_port.BytesToRead(), 0);
}

// A port nobody throttles reports nothing; once reports are wanted, the
// bytes that already wait are reported at the next count.
TEST_F(PortTest, QueuedReportsOnlyWhenWanted)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_port.SetQueuedReports(0);
    m_hApp = OpenApp(m_port.GetLinkPath(), O_NONBLOCK);
    ASSERT_GE(m_hApp, 0);
    ASSERT_TRUE(WriteAll(m_hApp, Pattern(6000, 5)));
    const auto tEnd = std::chrono::steady_clock::now() + 5s;
    while (m_port.BytesToRead() < 6000 && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(1ms);
    m_loop.RunUntil([] { return false; }, 100ms);
    EXPECT_TRUE(m_sink.m_vecQueued.empty());

    m_port.SetQueuedReports(1);
    EXPECT_EQ(m_port.BytesToRead(), 6000);
    ASSERT_TRUE(m_loop.RunUntil([&] { return !m_sink.m_vecQueued.empty(); }, 5s));
    EXPECT_EQ(m_sink.m_vecQueued.back().second, 6000);
}

TEST_F(PortTest, DeletedPortIsSafeToUse)
{
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    m_port.DeletePort();
    unsigned char buf[8] = {};
    EXPECT_EQ(m_port.WriteData(buf, 8), 0);
    EXPECT_EQ(m_port.ReadData(buf, 8), 0);
    EXPECT_EQ(m_port.BytesToRead(), 0);
    EXPECT_EQ(m_port.GetPollHandle(), -1);
    m_port.ResetPort();
}

TEST(PortWatcherDirectory, RefusesWhatIsNotOurDirectory)
{
    CTempDir dir;
    std::string strError;
    EXPECT_EQ(CPortWatcher::PrepareDirectory("relative/dir", &strError), 0);
    EXPECT_FALSE(strError.empty());
    const std::string strFile = dir.File("file");
    fclose(fopen(strFile.c_str(), "w"));
    EXPECT_EQ(CPortWatcher::PrepareDirectory(strFile, &strError), 0);
    EXPECT_NE(strError.find("not a directory"), std::string::npos);
    EXPECT_EQ(CPortWatcher::PrepareDirectory(dir.File("a/b/c"), &strError), 1) << strError;
    struct stat st;
    ASSERT_EQ(stat(dir.File("a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
