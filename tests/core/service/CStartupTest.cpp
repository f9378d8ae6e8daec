// SPDX-License-Identifier: Apache-2.0
#include "core/service/CStartup.h"

#include <cstdlib>
#include <fstream>

#include "tests/TestSupport.h"

using namespace testsupport;

namespace
{

using EAction = CStartup::EAction;

TEST(StartupArgs, BothFormsEitherOrderAndWhatEndsTheParse)
{
    struct SRow
    {
        std::vector<std::string> args;
        bool bPrintPortDir;
        EAction action;
        std::string strConfig;
        std::string strPortDir;
        std::string strBad;
    };
    const SRow rows[] = {
        {{}, false, EAction::Run, "", "", ""},
        {{"--config", "/a.ini", "--port-dir", "/p"}, false, EAction::Run, "/a.ini", "/p", ""},
        {{"--port-dir=/p", "--config=/a.ini"}, false, EAction::Run, "/a.ini", "/p", ""},
        {{"--config=", "--port-dir", "rel"}, false, EAction::Run, "", "rel", ""},
        {{"--config"}, false, EAction::BadArgument, "", "", "--config"},
        {{"--config", "/a.ini", "--colour"}, false, EAction::BadArgument, "/a.ini", "", "--colour"},
        {{"--print-port-dir"}, false, EAction::BadArgument, "", "", "--print-port-dir"},
        {{"--print-port-dir", "--port-dir", "/p"}, true, EAction::PrintPortDir, "", "/p", ""},
        {{"--bogus", "--help"}, false, EAction::BadArgument, "", "", "--bogus"},
        {{"--config", "/a.ini", "-h", "--bogus"}, false, EAction::Help, "/a.ini", "", ""},
        {{"--print-port-dir", "--version"}, true, EAction::Version, "", "", ""},
    };
    for (const SRow& row : rows)
    {
        std::string strTrace;
        for (const std::string& str : row.args)
            strTrace += str + " ";
        SCOPED_TRACE(strTrace);
        const CStartup::SArgs args = CStartup::Parse(row.args, row.bPrintPortDir);
        EXPECT_EQ(args.action, row.action);
        EXPECT_EQ(args.strConfig, row.strConfig);
        EXPECT_EQ(args.strPortDir, row.strPortDir);
        EXPECT_EQ(args.strBadArgument, row.strBad);
    }
    // An empty --config= is still a file given, and must then exist.
    EXPECT_TRUE(CStartup::Parse({"--config="}, false).bConfigGiven);
    EXPECT_FALSE(CStartup::Parse({"--port-dir", "/p"}, false).bConfigGiven);
}

TEST(StartupArgs, MonitorPortsOnlyForTheHeadlessProgram)
{
    const CStartup::SArgs args =
        CStartup::Parse({"--monitor", "COM3", "--monitor=com256", "--monitor", "COM3", "--monitor-file", "/t/m.log"}, true);
    EXPECT_EQ(args.action, CStartup::EAction::Run);
    EXPECT_EQ(args.vecMonitorPorts, (std::vector<int>{2, 255})) << "each port once, in the order given";
    EXPECT_FALSE(args.bMonitorAll);
    EXPECT_EQ(args.strMonitorFile, "/t/m.log");
    EXPECT_TRUE(CStartup::Parse({"--monitor", "all"}, true).bMonitorAll);

    for (const char* pBad : {"COM0", "COM257", "COM01", "COM", "COMx", "LPT1", "COM1234", ""})
    {
        const CStartup::SArgs bad = CStartup::Parse({"--monitor", pBad}, true);
        EXPECT_EQ(bad.action, CStartup::EAction::BadArgument) << pBad;
        EXPECT_EQ(bad.strBadArgument, std::string("--monitor ") + pBad);
    }
    EXPECT_EQ(CStartup::Parse({"--monitor"}, true).action, CStartup::EAction::BadArgument);
    EXPECT_EQ(CStartup::Parse({"--monitor-file="}, true).action, CStartup::EAction::BadArgument);
    // The window has no such option.
    EXPECT_EQ(CStartup::Parse({"--monitor", "COM1"}, false).action, CStartup::EAction::BadArgument);
    EXPECT_EQ(CStartup::MonitorPort("com12"), 11);
    EXPECT_EQ(CStartup::MonitorPort("COM1"), 0);
}

class StartupSettings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* psz = getenv("XDG_CONFIG_HOME");
        m_bHadConfigHome = psz != nullptr;
        m_strConfigHome = psz != nullptr ? psz : "";
        setenv("XDG_CONFIG_HOME", m_dir.Path().c_str(), 1);
    }
    void TearDown() override
    {
        if (m_bHadConfigHome)
            setenv("XDG_CONFIG_HOME", m_strConfigHome.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }

    CTempDir m_dir;
    bool m_bHadConfigHome = false;
    std::string m_strConfigHome;
};

TEST_F(StartupSettings, MissingDefaultIsAFirstStartAGivenFileMustExist)
{
    CSettingsFile settings;
    settings.m_options.m_nConnectTimeout = 42;
    std::string strError;
    const CStartup::SArgs none = CStartup::Parse({}, false);
    EXPECT_EQ(CStartup::SettingsPath(none), m_dir.File("nimbrel/nimbrel.ini"));
    EXPECT_EQ(CStartup::LoadSettings(none, &settings, &strError), CStartup::ELoad::None);
    EXPECT_EQ(settings.m_options.m_nConnectTimeout, 10) << "defaults";

    const CStartup::SArgs given = CStartup::Parse({"--config", m_dir.File("missing.ini")}, false);
    EXPECT_EQ(CStartup::LoadSettings(given, &settings, &strError), CStartup::ELoad::Refused);
    EXPECT_NE(strError.find("missing.ini"), std::string::npos) << strError;
}

TEST_F(StartupSettings, TheDefaultFileAndThePortDirectoryPrecedence)
{
    ASSERT_EQ(RunCommand({"mkdir", "-p", m_dir.File("nimbrel")}), 0);
    std::ofstream(m_dir.File("nimbrel/nimbrel.ini")) << "[Options]\nPortDirectory=/from/settings\n[COM3]\nEnable=1\n";
    CSettingsFile settings;
    std::string strError;
    const CStartup::SArgs none = CStartup::Parse({}, false);
    ASSERT_EQ(CStartup::LoadSettings(none, &settings, &strError), CStartup::ELoad::Loaded) << strError;
    EXPECT_EQ(settings.m_ports[2].m_bEnable, 1);

    std::string strDir;
    EXPECT_TRUE(CStartup::PortDirectory(none, settings, &strDir));
    EXPECT_EQ(strDir, "/from/settings");
    EXPECT_TRUE(CStartup::PortDirectory(CStartup::Parse({"--port-dir", "/given"}, false), settings, &strDir));
    EXPECT_EQ(strDir, "/given") << "the command line wins";
    EXPECT_FALSE(CStartup::PortDirectory(CStartup::Parse({"--port-dir", "rel"}, false), settings, &strDir));
    EXPECT_TRUE(CStartup::PortDirectory(none, CSettingsFile(), &strDir));
    EXPECT_EQ(strDir, "") << "empty: the default directory";

    // A refused file leaves the defaults, never half of what it held.
    std::ofstream(m_dir.File("nimbrel/nimbrel.ini")) << "[COM3]\nEnable=1\n[COM4]\nMode=modem\n";
    EXPECT_EQ(CStartup::LoadSettings(none, &settings, &strError), CStartup::ELoad::Refused);
    EXPECT_EQ(settings.m_ports[2].m_bUse, 0);
}

}  // namespace
