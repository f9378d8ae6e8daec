// SPDX-License-Identifier: Apache-2.0
// A port's comN link in a Wine prefix: made next to COMn, pointing at the
// same pty, removed with the port; what is not ours is never touched.

#include "core/bridge/CWineLink.h"

#include <cstdlib>
#include <sys/stat.h>

#include "core/service/CTaskLoop.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/bridge/CPortEventSink.h"
#include "core/bridge/CPortWatcher.h"
#include "tests/TestSupport.h"

using namespace testsupport;

namespace
{

class CNullSink : public CPortEventSink
{
public:
    void OnDataQueued(int, long) override {}
    void OnDtrChanged(int, int) override {}
    void OnRtsChanged(int, int) override {}
    void OnOpenChanged(int, int) override {}
    void OnLineControlChanged(int, long, long, long) override {}
    void OnHandFlowChanged(int, long, long, long, long) override {}
    void OnSpecialCharsChanged(int, long, long, long, long, long, long) override {}
    void OnBaudRateChanged(int, long) override {}
    void OnCommStateChanged(int, const CPortDcb&) override {}
};

std::string ReadLink(const std::string& strPath)
{
    char sz[512];
    const ssize_t n = readlink(strPath.c_str(), sz, sizeof(sz) - 1);
    return n > 0 ? std::string(sz, static_cast<size_t>(n)) : std::string();
}

bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

// A Wine prefix of its own ($WINEPREFIX) and a port directory.
class WineLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* psz = getenv("WINEPREFIX");
        m_bHadPrefix = psz != nullptr;
        if (psz != nullptr)
            m_strOldPrefix = psz;
        setenv("WINEPREFIX", m_prefix.Path().c_str(), 1);
        ASSERT_EQ(mkdir(m_prefix.File("dosdevices").c_str(), 0755), 0);
        std::string strError;
        ASSERT_EQ(m_watcher.Start(m_ports.Path(), &strError), 1) << strError;
        m_port.Attach(COmbraPortAx::PORT_ID_BASE + 2, &m_watcher);
        m_port.SetWineLink(1);
    }

    void TearDown() override
    {
        m_port.DeletePort();
        m_watcher.Stop();
        if (m_bHadPrefix)
            setenv("WINEPREFIX", m_strOldPrefix.c_str(), 1);
        else
            unsetenv("WINEPREFIX");
    }

    std::string DosDevice(const std::string& strName) const { return m_prefix.File("dosdevices/" + strName); }

    CTempDir m_prefix;
    CTempDir m_ports;
    CTaskLoop m_loop;
    CNullSink m_sink;
    CPortWatcher m_watcher{&m_loop, &m_sink};
    COmbraPortAx m_port;
    bool m_bHadPrefix = false;
    std::string m_strOldPrefix;
};

}  // namespace

TEST(WineLinkNames, DosNamesAndPrefix)
{
    EXPECT_EQ(CWineLink::DosName("COM1"), "com1");
    EXPECT_EQ(CWineLink::DosName("COM256"), "com256");
    EXPECT_EQ(CWineLink::DosName("COM"), "");
    EXPECT_EQ(CWineLink::DosName("COM01"), "");
    EXPECT_EQ(CWineLink::DosName("COM1x"), "");
    EXPECT_EQ(CWineLink::DosName("LPT1"), "");
}

TEST_F(WineLinkTest, ComNPointsAtTheSamePtyAndGoesWithThePort)
{
    ASSERT_EQ(m_port.CreatePort("COM3"), 1);
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_MADE);
    EXPECT_EQ(m_port.GetWineLink().GetReport(), "linked as " + DosDevice("com3"));
    EXPECT_EQ(ReadLink(DosDevice("com3")), m_port.GetSlavePath());
    EXPECT_EQ(ReadLink(m_ports.File("COM3")), m_port.GetSlavePath());
    // Programs under Wine open it like any serial device.
    const int hApp = OpenApp(DosDevice("com3"));
    ASSERT_GE(hApp, 0);
    close(hApp);

    EXPECT_EQ(m_port.DeletePort(), 1);
    EXPECT_FALSE(Exists(DosDevice("com3")));
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_NONE);
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + m_prefix.File("dosdevices") + "')\"").c_str()), 0);
}

TEST_F(WineLinkTest, ForeignLinkIsLeftAloneAndThePortIsNotLinked)
{
    // What Wine itself makes for a real serial port.
    ASSERT_EQ(symlink("/dev/ttyS0", DosDevice("com1").c_str()), 0);
    ASSERT_EQ(m_port.CreatePort("COM1"), 1) << "the port itself is still made";
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_FOREIGN);
    EXPECT_EQ(m_port.GetWineLink().GetReport(),
              "not linked: " + DosDevice("com1") + " exists and is not ours (-> /dev/ttyS0)");
    EXPECT_EQ(ReadLink(DosDevice("com1")), "/dev/ttyS0");
    m_port.DeletePort();
    EXPECT_EQ(ReadLink(DosDevice("com1")), "/dev/ttyS0");

    // A plain file of that name, and a live pty that is someone else's.
    std::system(("touch '" + DosDevice("com2") + "'").c_str());
    ASSERT_EQ(m_port.CreatePort("COM2"), 1);
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_FOREIGN);
    m_port.DeletePort();
    EXPECT_TRUE(Exists(DosDevice("com2")));
}

TEST_F(WineLinkTest, OursIsRemovedOnlyWhileItStillPointsAtThePort)
{
    ASSERT_EQ(m_port.CreatePort("COM4"), 1);
    ASSERT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_MADE);
    // Someone re-pointed comN meanwhile: it is theirs now.
    ASSERT_EQ(unlink(DosDevice("com4").c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB0", DosDevice("com4").c_str()), 0);
    m_port.DeletePort();
    EXPECT_EQ(ReadLink(DosDevice("com4")), "/dev/ttyUSB0");
}

TEST_F(WineLinkTest, DanglingPtyLinkOfADeadCopyIsReplaced)
{
    ASSERT_EQ(symlink("/dev/pts/987654", DosDevice("com5").c_str()), 0);
    ASSERT_EQ(m_port.CreatePort("COM5"), 1);
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_MADE);
    EXPECT_EQ(ReadLink(DosDevice("com5")), m_port.GetSlavePath());
}

TEST_F(WineLinkTest, OffOrWithoutAPrefixNothingIsLinked)
{
    m_port.SetWineLink(0);
    ASSERT_EQ(m_port.CreatePort("COM6"), 1);
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_NONE);
    EXPECT_FALSE(Exists(DosDevice("com6")));
    m_port.DeletePort();

    // No prefix: none is created, the port works without the link.
    setenv("WINEPREFIX", m_prefix.File("none").c_str(), 1);
    m_port.SetWineLink(1);
    ASSERT_EQ(m_port.CreatePort("COM6"), 1);
    EXPECT_EQ(m_port.GetWineLink().GetState(), CWineLink::LINK_FAILED);
    EXPECT_EQ(m_port.GetWineLink().GetReport(), "not linked: no Wine prefix at " + m_prefix.File("none/dosdevices"));
    EXPECT_FALSE(Exists(m_prefix.File("none")));
}
