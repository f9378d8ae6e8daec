// SPDX-License-Identifier: Apache-2.0
#include "core/service/CSettingsFile.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CPortService.h"
#include "core/service/CTaskLoop.h"
#include "tests/TestSupport.h"

using namespace testsupport;

namespace
{

class SettingsFileTest : public ::testing::Test
{
protected:
    std::string Write(const std::string& strText)
    {
        const std::string strPath = m_dir.File("nimbrel.ini");
        std::ofstream(strPath) << strText;
        return strPath;
    }

    CTempDir m_dir;
};

}  // namespace

TEST_F(SettingsFileTest, LoadsEveryKeyAndDefaultsMissingOnes)
{
    const std::string strPath = Write(
        "; a comment\n"
        "[Options]\n"
        "ConnectTimeout=5\nReconnect=1\nReconnectTime=30\nUser=admin\nPassword=se;cret#1\n"
        "LoginChallenge=4\nLoginTimeout=20\nKeepAliveTime=1000\nKeepAliveInterval=2000\nPortDirectory=/tmp/x\n"
        "\n[COM1]\nEnable=1\nMode=server\nConnectType=telnet\nSSL=1\nKeepAlive=1\nLocalPort=23\n"
        "[COM256]\nMode=client\nIPAddress=10.1.2.3\nPeerPort=65535\n");
    CSettingsFile s;
    std::string strError;
    ASSERT_EQ(s.Load(strPath, &strError), 1) << strError;
    EXPECT_EQ(s.m_options.m_nConnectTimeout, 5);
    EXPECT_EQ(s.m_options.m_bReconnect, 1);
    EXPECT_EQ(s.m_options.m_nReconnectTime, 30);
    EXPECT_EQ(s.m_options.m_strUser, "admin");
    EXPECT_EQ(s.m_options.m_strPassword, "se;cret#1") << "no inline comments in values";
    EXPECT_EQ(s.m_options.m_nLoginChallenge, 4);
    EXPECT_EQ(s.m_options.m_nLoginTimeout, 20);
    EXPECT_EQ(s.m_options.m_nKeepAliveTime, 1000);
    EXPECT_EQ(s.m_options.m_nKeepAliveInterval, 2000);
    EXPECT_EQ(s.m_strPortDirectory, "/tmp/x");
    const auto& com1 = s.m_ports[0];
    EXPECT_EQ(com1.m_bUse, 1);
    EXPECT_EQ(com1.m_bEnable, 1);
    EXPECT_EQ(com1.m_nMode, MODE_TCP_SERVER);
    EXPECT_EQ(com1.m_nConnectType, CONNECT_TELNET);
    EXPECT_EQ(com1.m_bSSL, 1);
    EXPECT_EQ(com1.m_bKeepAlive, 1);
    EXPECT_EQ(com1.m_nLocPort, 23);
    EXPECT_EQ(com1.m_strIPAddress, "0.0.0.0");
    const auto& com256 = s.m_ports[255];
    EXPECT_EQ(com256.m_bEnable, 0) << "a missing key takes its default";
    EXPECT_EQ(com256.m_strIPAddress, "10.1.2.3");
    EXPECT_EQ(com256.m_nPeerPort, 65535);
    EXPECT_EQ(s.m_ports[1].m_bUse, 0);
}

TEST_F(SettingsFileTest, NormalisesLikeThePortDialog)
{
    const std::string strPath = Write(
        "[COM1]\nMode=udp\nSSL=1\nConnectType=telnet\n"
        "[COM2]\nMode=client\nConnectType=secure\n"
        "[COM3]\nMode=server\nConnectType=secure\n");
    CSettingsFile s;
    std::string strError;
    ASSERT_EQ(s.Load(strPath, &strError), 1) << strError;
    EXPECT_EQ(s.m_ports[0].m_bSSL, 0);
    EXPECT_EQ(s.m_ports[0].m_nConnectType, CONNECT_RAW);
    EXPECT_EQ(s.m_ports[1].m_nConnectType, CONNECT_RAW);
    EXPECT_EQ(s.m_ports[2].m_nConnectType, CONNECT_SECURE);
}

TEST_F(SettingsFileTest, BadFilesAreRefusedWithTheKeyAndAcceptedValues)
{
    struct SRow
    {
        const char* pszText;
        const char* pszExpect;  // part of the message
    };
    const SRow rows[] = {
        {"[COM1]\nMode=modem\n", "Mode=modem: accepted values are client, server, udp"},
        {"[COM1]\nConnectType=ssh\n", "accepted values are raw, secure, telnet"},
        {"[COM1]\nPeerPort=65536\n", "PeerPort=65536: accepted values are 0 to 65535"},
        {"[COM1]\nLocalPort=-1\n", "accepted values are 0 to 65535"},
        {"[COM1]\nEnable=yes\n", "Enable=yes: accepted values are 0 and 1"},
        {"[COM1]\nIPAddress=\n", "an IPv4 address such as 127.0.0.1, an IPv6 address such as ::1, or a host name"},
        {"[COM1]\nIPAddress=999.1.1.1\n", ":2: [COM1] IPAddress=999.1.1.1: an IPv4 address"},
        {"[COM1]\nColour=red\n", "unknown key"},
        {"[COM0]\nEnable=1\n", "[COM0]"},
        {"[COM257]\nEnable=1\n", "sections are [Options] and [COM1] to [COM256]"},
        {"[COM01]\nEnable=1\n", "unknown section"},
        {"[com1]\nEnable=1\n", "unknown section"},
        {"[COM1]\nEnable=1\n[COM2]\nEnable=1\n[COM1]\nMode=udp\n", "appears twice"},
        {"[COM1]\nEnable=1\nEnable=0\n", "key Enable appears twice"},
        {"[Options]\nConnectTimeout=100\n", "ConnectTimeout=100: accepted values are 1 to 99"},
        {"[Options]\nConnectTimeout=0\n", "accepted values are 1 to 99"},
        {"[Options]\nReconnectTime=10000\n", "1 to 9999"},
        {"[Options]\nWineDosDevices=2\n", "WineDosDevices=2: accepted values are 0 to 1"},
        {"[Options]\nKeepAliveTime=100000000\n", "1 to 99999999"},
        {"[Options]\nUser=abcdefghijklmnopqrstu\n", "at most 20 characters"},
        {"[Options]\nPortDirectory=relative\n", "an absolute path"},
        {"[Options]\nConnectTimeout=1O\n", "1 to 99"},
        {"Enable=1\n", "unknown section"},
        {"[COM1]\njust words\n", "not a setting"},
    };
    for (const SRow& row : rows)
    {
        const std::string strPath = Write(row.pszText);
        CSettingsFile s;
        s.m_options.m_nConnectTimeout = 42;
        std::string strError;
        EXPECT_EQ(s.Load(strPath, &strError), 0) << row.pszText;
        EXPECT_NE(strError.find(row.pszExpect), std::string::npos) << row.pszText << " gave: " << strError;
        EXPECT_EQ(strError.rfind(strPath + ":", 0), 0u) << "the message names the file: " << strError;
        EXPECT_EQ(s.m_options.m_nConnectTimeout, 42) << "a refused file changes nothing";
    }
    CSettingsFile s;
    std::string strError;
    EXPECT_EQ(s.Load(m_dir.File("missing.ini"), &strError), 0);
    EXPECT_NE(strError.find("cannot be read"), std::string::npos);
}

TEST_F(SettingsFileTest, SaveWritesPrivateFileThatLoadsBack)
{
    CTaskLoop loop;
    CPortService service(&loop);
    COmbraCtrlCore& core = service.CoreForTest();
    core.ResetSettings();
    core.m_options.m_strPassword = "p=ss";
    core.m_options.m_nReconnectTime = 77;
    core.m_options.m_bWineDosDevices = 1;
    core.m_comData.SetUse(9, 1);
    core.m_comData.SetEnable(9, 1);
    core.m_comData.SetMode(9, MODE_UDP);
    core.m_comData.SetIPAddress(9, "192.168.0.255");
    core.m_comData.SetPeerPort(9, 4001);
    core.m_comData.SetLocPort(9, 4002);
    CSettingsFile out;
    out.ReadFrom(service);
    const std::string strPath = m_dir.File("sub/dir/nimbrel.ini");
    std::string strError;
    ASSERT_EQ(out.Save(strPath, &strError), 1) << strError;
    struct stat st;
    ASSERT_EQ(stat(strPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the login password";

    CSettingsFile in;
    ASSERT_EQ(in.Load(strPath, &strError), 1) << strError;
    CPortService service2(&loop);
    COmbraCtrlCore& core2 = service2.CoreForTest();
    core2.ResetSettings();
    core2.m_comData.m_nEnableCount = 5;  // stale: applying recounts
    ASSERT_EQ(in.ApplyTo(service2), 1);
    EXPECT_EQ(core2.m_comData.m_nEnableCount, 1);
    EXPECT_EQ(core2.m_options, core.m_options);
    EXPECT_EQ(core2.m_options.m_strPassword, "p=ss");
    EXPECT_EQ(core2.m_options.m_nReconnectTime, 77);
    EXPECT_EQ(core2.m_comData.GetUse(9), 1);
    EXPECT_EQ(core2.m_comData.GetMode(9), MODE_UDP);
    EXPECT_EQ(core2.m_comData.GetIPAddress(9), "192.168.0.255");
    EXPECT_EQ(core2.m_comData.GetPeerPort(9), 4001);
    EXPECT_EQ(core2.m_comData.GetLocPort(9), 4002);
    EXPECT_EQ(core2.m_comData.GetUse(8), 0);
}

TEST_F(SettingsFileTest, AConfigurationIsNotAppliedWhileThePortsRun)
{
    CTaskLoop loop;
    CPortService service(&loop);
    COmbraCtrlCore& core = service.CoreForTest();
    core.ResetSettings();
    CSettingsFile settings;
    settings.m_options.m_nConnectTimeout = 33;
    settings.m_ports[0].m_bUse = 1;
    settings.m_ports[0].m_bEnable = 1;
    core.m_comData.m_bRunning = 1;
    EXPECT_EQ(settings.ApplyTo(service), 0);
    EXPECT_EQ(core.m_options.m_nConnectTimeout, 10);
    EXPECT_EQ(core.m_comData.GetUse(0), 0);
    core.m_comData.m_bRunning = 0;
    core.m_bBusy = 1;
    EXPECT_EQ(settings.ApplyTo(service), 0);
    core.m_bBusy = 0;
    EXPECT_EQ(settings.ApplyTo(service), 1);
    EXPECT_EQ(core.m_comData.m_nEnableCount, 1);
}

TEST_F(SettingsFileTest, PeersByNameOrIpv6AreTaken)
{
    const std::string strPath = Write("[COM1]\nIPAddress=::1\n[COM2]\nIPAddress=serial-gw.example.org\n"
                                      "[COM3]\nIPAddress=[fe80::2]\n");
    CSettingsFile s;
    std::string strError;
    ASSERT_EQ(s.Load(strPath, &strError), 1) << strError;
    EXPECT_EQ(s.m_ports[0].m_strIPAddress, "::1");
    EXPECT_EQ(s.m_ports[1].m_strIPAddress, "serial-gw.example.org");
    EXPECT_EQ(s.m_ports[2].m_strIPAddress, "[fe80::2]");
}

TEST_F(SettingsFileTest, EveryTextTheDialogsAcceptReadsBackAsWritten)
{
    // Spaces at either end, comment and key characters, quotes, backslashes,
    // non-ASCII, control characters: each must come back to the byte.
    const std::vector<std::pair<std::string, std::string>> values = {
        {" us er ", "  p;w#=x "},
        {"\"quoted\"", "\"a\\\"b\\\\\""},
        {"\\x41", "ends\\"},
        {"\"", "\t\ttab"},
        {"  ", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"},
        {"a\"", "x\x01y\x7f"},
        {"", "#;="},
    };
    for (const auto& [strUser, strPassword] : values)
    {
        SCOPED_TRACE(strUser + "|" + strPassword);
        CSettingsFile out;
        out.m_options.m_strUser = strUser;
        out.m_options.m_strPassword = strPassword;
        out.m_strPortDirectory = "/tmp/port dir ";
        const std::string strPath = m_dir.File("nimbrel.ini");
        std::string strError;
        ASSERT_EQ(out.Save(strPath, &strError), 1) << strError;
        CSettingsFile in;
        ASSERT_EQ(in.Load(strPath, &strError), 1) << strError;
        EXPECT_EQ(in.m_options.m_strUser, strUser);
        EXPECT_EQ(in.m_options.m_strPassword, strPassword);
        EXPECT_EQ(in.m_strPortDirectory, "/tmp/port dir ");
    }
}

TEST_F(SettingsFileTest, FilesWrittenBeforeQuotingLoadAsTheyDid)
{
    // What earlier versions wrote, and hand-edited values that merely look
    // like quoting: taken as they stand.
    const std::string strPath = Write(
        "[Options]\nUser=admin\nPassword=\"half\nPortDirectory=/run/x\n");
    CSettingsFile s;
    std::string strError;
    ASSERT_EQ(s.Load(strPath, &strError), 1) << strError;
    EXPECT_EQ(s.m_options.m_strUser, "admin");
    EXPECT_EQ(s.m_options.m_strPassword, "\"half");
    EXPECT_EQ(s.m_strPortDirectory, "/run/x");
    for (const char* psz : {"\"a\"b\"", "\"bad\\q\"", "\"\\x4\"", "x\"y\""})
        EXPECT_EQ(CSettingsFile::UnquoteValue(psz), psz) << "not well-formed: as it stands";
    // The length limit counts what is meant, not its quoting.
    const std::string strLong = Write("[Options]\nPassword=\"" + std::string(20, ' ') + "\"\n");
    ASSERT_EQ(s.Load(strLong, &strError), 1) << strError;
    EXPECT_EQ(s.m_options.m_strPassword, std::string(20, ' '));
}

TEST_F(SettingsFileTest, StampsShowAnotherWriterAndARefusedFileIsKeptAside)
{
    CSettingsFile settings;
    const std::string strPath = m_dir.File("nimbrel.ini");
    CSettingsFile::SStamp saved;
    std::string strError;
    EXPECT_FALSE(CSettingsFile::Stamp(strPath).bExists);
    ASSERT_EQ(settings.Save(strPath, &strError, &saved), 1) << strError;
    EXPECT_TRUE(saved.bExists);
    EXPECT_EQ(CSettingsFile::Stamp(strPath), saved);
    CSettingsFile::SStamp loaded;
    ASSERT_EQ(settings.Load(strPath, &strError, &loaded), 1);
    EXPECT_EQ(loaded, saved);

    // Another program writes the file in place, or replaces it.
    std::ofstream(strPath, std::ios::app) << "; edited\n";
    EXPECT_NE(CSettingsFile::Stamp(strPath), saved);
    ASSERT_EQ(settings.Save(strPath, &strError, &saved), 1);
    const std::string strOther = m_dir.File("other.ini");
    ASSERT_EQ(settings.Save(strOther, &strError), 1);
    ASSERT_EQ(rename(strOther.c_str(), strPath.c_str()), 0);
    EXPECT_NE(CSettingsFile::Stamp(strPath), saved) << "same size and time, another file";

    // A refused file is moved aside whole, never over an earlier copy.
    const std::string strBad = Write("[Options]\nBogus=1\n[COM3]\nEnable=1\n");
    ASSERT_EQ(settings.Load(strBad, &strError), 0);
    std::string strKept1;
    std::string strKept2;
    ASSERT_EQ(CSettingsFile::KeepAside(strBad, &strKept1, &strError), 1) << strError;
    EXPECT_EQ(strKept1.rfind(strBad + ".bad-", 0), 0u) << strKept1;
    EXPECT_FALSE(CSettingsFile::Stamp(strBad).bExists);
    Write("[Options]\nBogus=2\n");
    ASSERT_EQ(CSettingsFile::KeepAside(strBad, &strKept2, &strError), 1) << strError;
    EXPECT_NE(strKept1, strKept2);
    std::ifstream in1(strKept1);
    std::string strText((std::istreambuf_iterator<char>(in1)), std::istreambuf_iterator<char>());
    EXPECT_EQ(strText, "[Options]\nBogus=1\n[COM3]\nEnable=1\n");

    // Nothing but the files themselves stays behind.
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + m_dir.Path() + "' | grep tmp)\"").c_str()), 0);
}

// COM port control came later: a file without its keys saves without them
// (an older program reads it still), and one with them reads back as set.
TEST_F(SettingsFileTest, ComPortControlKeysAreWrittenOnlyWhenSet)
{
    CSettingsFile s;
    s.m_ports[0].m_bUse = 1;
    s.m_ports[0].m_nConnectType = CONNECT_TELNET;
    s.m_ports[2].m_bUse = 1;
    s.m_ports[2].m_nConnectType = CONNECT_TELNET;
    s.m_ports[2].m_bComPortControl = true;
    s.m_ports[2].m_nComPortDataBits = 7;
    s.m_ports[2].m_comPortParity = ELineParity::Even;
    s.m_ports[3].m_bUse = 1;
    s.m_ports[3].m_comPortParity = ELineParity::Space;
    const std::string strPath = m_dir.File("nimbrel.ini");
    std::string strError;
    ASSERT_EQ(s.Save(strPath, &strError), 1) << strError;
    std::ifstream in(strPath);
    const std::string strText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t nCom1 = strText.find("[COM1]");
    const size_t nCom3 = strText.find("[COM3]");
    const size_t nCom4 = strText.find("[COM4]");
    ASSERT_NE(nCom3, std::string::npos);
    ASSERT_NE(nCom4, std::string::npos);
    EXPECT_EQ(strText.substr(nCom1, nCom3 - nCom1).find("ComPort"), std::string::npos) << strText;
    EXPECT_NE(strText.find("ComPortControl=1\nComPortDataBits=7\nComPortParity=even\n", nCom3), std::string::npos)
        << strText;
    EXPECT_NE(strText.find("ComPortParity=space\n", nCom4), std::string::npos) << strText;
    EXPECT_EQ(strText.find("ComPortControl", nCom4), std::string::npos) << strText;

    CSettingsFile back;
    ASSERT_EQ(back.Load(strPath, &strError), 1) << strError;
    for (const int i : {0, 2, 3})
        EXPECT_EQ(back.m_ports[static_cast<size_t>(i)], s.m_ports[static_cast<size_t>(i)]) << i;
    EXPECT_TRUE(back.m_ports[2].UsesComPortControl());
    back.m_ports[2].m_nMode = MODE_UDP;
    EXPECT_FALSE(back.m_ports[2].UsesComPortControl()) << "UDP has no Telnet";
    back.m_ports[2].m_nMode = MODE_TCP_SERVER;
    back.m_ports[2].m_nConnectType = CONNECT_RAW;
    EXPECT_FALSE(back.m_ports[2].UsesComPortControl());

    // Empty values mean the program's own; anything else out of range is refused.
    ASSERT_EQ(back.Load(Write("[COM1]\nComPortControl=1\nComPortDataBits=\nComPortParity=\n"), &strError), 1)
        << strError;
    EXPECT_TRUE(back.m_ports[0].m_bComPortControl);
    EXPECT_EQ(back.m_ports[0].m_nComPortDataBits, 0);
    EXPECT_EQ(back.m_ports[0].m_comPortParity, ELineParity::Program);
    for (const char* pszBad : {"[COM1]\nComPortDataBits=4\n", "[COM1]\nComPortDataBits=9\n",
                               "[COM1]\nComPortParity=Even\n", "[COM1]\nComPortControl=2\n"})
    {
        EXPECT_EQ(back.Load(Write(pszBad), &strError), 0) << pszBad;
        EXPECT_NE(strError.find("accepted values are"), std::string::npos) << strError;
    }
}

TEST_F(SettingsFileTest, TlsKeysAreWrittenOnlyWhenSet)
{
    // A file of before: written back byte for byte, without the new keys.
    const std::string strOld =
        "[Options]\nConnectTimeout=10\nReconnect=0\nReconnectTime=1\nUser=\nPassword=\nLoginChallenge=3\n"
        "LoginTimeout=10\nKeepAliveTime=7200000\nKeepAliveInterval=1000\nPortDirectory=\nWineDosDevices=0\n\n"
        "[COM1]\nEnable=1\nMode=client\nConnectType=raw\nSSL=1\nKeepAlive=0\nIPAddress=10.0.0.1\nPeerPort=4001\n"
        "LocalPort=0\n";
    CSettingsFile s;
    std::string strError;
    ASSERT_EQ(s.Load(Write(strOld), &strError), 1) << strError;
    EXPECT_EQ(s.m_options.m_strSettingsDir, CSettingsFile::DirectoryOf(m_dir.File("nimbrel.ini")));
    EXPECT_FALSE(s.m_ports[0].ChecksPeerCertificate());
    const std::string strPath = m_dir.File("again.ini");
    ASSERT_EQ(s.Save(strPath, &strError), 1) << strError;
    auto text = [](const std::string& strFile) {
        std::ifstream in(strFile);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(text(strPath), strOld);

    // Set, they are written and read back; a pin typed in any form is kept
    // in the form the fingerprint command prints.
    s.m_options.m_strTlsCertificate = "/etc/nimbrel/cert.pem";
    s.m_options.m_strTlsPrivateKey = "/etc/nimbrel/key with space.pem";
    s.m_options.m_strTlsCaFile = "/etc/ssl/ca.pem";
    s.m_options.m_strTlsClientCaFile = "/etc/nimbrel/clients.pem";
    s.m_ports[0].m_bTlsVerify = true;
    ASSERT_TRUE(CPortEntry::ParsePin(std::string(64, 'b'), &s.m_ports[0].m_strTlsPin));
    ASSERT_EQ(s.Save(strPath, &strError), 1) << strError;
    const std::string strNew = text(strPath);
    EXPECT_NE(strNew.find("TlsCertificate=/etc/nimbrel/cert.pem\nTlsPrivateKey=/etc/nimbrel/key with space.pem\n"
                          "TlsCaFile=/etc/ssl/ca.pem\nTlsClientCaFile=/etc/nimbrel/clients.pem\n"),
              std::string::npos)
        << strNew;
    std::string strPin;
    for (int k = 0; k < 32; ++k)
        strPin += std::string(k > 0 ? ":" : "") + "BB";
    EXPECT_NE(strNew.find("TlsVerify=1\nTlsPin=" + strPin + "\n"), std::string::npos) << strNew;
    CSettingsFile back;
    ASSERT_EQ(back.Load(strPath, &strError), 1) << strError;
    EXPECT_EQ(back.m_options, s.m_options);
    EXPECT_EQ(back.m_ports[0], s.m_ports[0]);
    EXPECT_TRUE(back.m_ports[0].ChecksPeerCertificate());

    for (const char* pszBad : {"[COM1]\nTlsPin=AB:CD\n", "[COM1]\nTlsPin=" /* 63 digits */
                               "000000000000000000000000000000000000000000000000000000000000000\n",
                               "[COM1]\nTlsVerify=yes\n", "[Options]\nTlsCaFile=relative/ca.pem\n"})
    {
        EXPECT_EQ(back.Load(Write(pszBad), &strError), 0) << pszBad;
        // The key and what it takes.
        EXPECT_NE(strError.find("] Tls"), std::string::npos) << strError;
        EXPECT_TRUE(strError.find("accepted values are") != std::string::npos ||
                    strError.find("fingerprint (64 hex digits") != std::string::npos ||
                    strError.find("an absolute path") != std::string::npos)
            << strError;
    }
}
