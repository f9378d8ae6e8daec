// SPDX-License-Identifier: Apache-2.0
#include "core/model/CCOMData.h"

#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <string>

namespace
{
// One integer field of the table, reached through its accessors.
struct SIntField
{
    const char* pszName;
    int (CCOMData::*pGet)(int) const;
    void (CCOMData::*pSet)(int, int);
};

const SIntField s_fields[] = {
    {"PeerPort", &CCOMData::GetPeerPort, &CCOMData::SetPeerPort},
    {"LocPort", &CCOMData::GetLocPort, &CCOMData::SetLocPort},
    {"Use", &CCOMData::GetUse, &CCOMData::SetUse},
    {"Enable", &CCOMData::GetEnable, &CCOMData::SetEnable},
    {"Open", &CCOMData::GetOpen, &CCOMData::SetOpen},
    {"SSL", &CCOMData::GetSSL, &CCOMData::SetSSL},
    {"KeepAlive", &CCOMData::GetKeepAlive, &CCOMData::SetKeepAlive},
    {"Mode", &CCOMData::GetMode, &CCOMData::SetMode},
    {"ConnectType", &CCOMData::GetConnectType, &CCOMData::SetConnectType},
};

const int s_badIndices[] = {-1, -256, CCOMData::PORT_COUNT, 300, INT_MIN, INT_MAX};

// A value distinct per field and index, negative for odd indices: setters
// must store whatever they are given.
int Pattern(int nField, int nPort)
{
    const int nValue = nField * 1000 + nPort + 1;
    return nPort % 2 ? -nValue : nValue;
}

void FillPattern(CCOMData& data)
{
    for (int f = 0; f < static_cast<int>(std::size(s_fields)); ++f)
    {
        // Bound first: g++ 12 with -fsanitize=bounds miscompiles a member
        // call through an indexed array element.
        const SIntField& field = s_fields[f];
        for (int nPort = 0; nPort < CCOMData::PORT_COUNT; ++nPort)
            (data.*field.pSet)(nPort, Pattern(f, nPort));
    }
    for (int nPort = 0; nPort < CCOMData::PORT_COUNT; ++nPort)
        data.SetIPAddress(nPort, "10.0.0." + std::to_string(nPort));
}

void ExpectPattern(const CCOMData& data)
{
    for (int f = 0; f < static_cast<int>(std::size(s_fields)); ++f)
    {
        const SIntField& field = s_fields[f];
        for (int nPort = 0; nPort < CCOMData::PORT_COUNT; ++nPort)
            ASSERT_EQ((data.*field.pGet)(nPort), Pattern(f, nPort)) << field.pszName << " " << nPort;
    }
    for (int nPort = 0; nPort < CCOMData::PORT_COUNT; ++nPort)
        ASSERT_EQ(data.GetIPAddress(nPort), "10.0.0." + std::to_string(nPort));
}
}  // namespace

TEST(CCOMDataTest, ConstructorDefaults)
{
    CCOMData data;
    for (int nPort = 0; nPort < CCOMData::PORT_COUNT; ++nPort)
    {
        ASSERT_EQ(data.GetIPAddress(nPort), "0.0.0.0") << nPort;
        ASSERT_EQ(data.GetSystemPort(nPort), 0) << nPort;
        for (const SIntField& field : s_fields)
            ASSERT_EQ((data.*field.pGet)(nPort), 0) << field.pszName << " " << nPort;
    }
    EXPECT_EQ(data.m_bRunning.load(), 0);
    EXPECT_EQ(data.m_nEnableCount, 0);
}

// No two entries or fields share storage.
TEST(CCOMDataTest, EveryEntryKeepsItsOwnValues)
{
    CCOMData data;
    FillPattern(data);
    ExpectPattern(data);
}

TEST(CCOMDataTest, AnEntryMovesWholeAndTheEnabledCountFollowsTheTable)
{
    CCOMData data;
    CPortEntry entry;
    entry.m_bUse = 1;
    entry.m_bEnable = 1;
    entry.m_nMode = MODE_UDP;
    entry.m_nConnectType = CONNECT_TELNET;
    entry.m_bSSL = 1;
    entry.m_bKeepAlive = 1;
    entry.m_strIPAddress = "10.1.2.3";
    entry.m_nPeerPort = 4001;
    entry.m_nLocPort = 4002;
    entry.m_bComPortControl = true;
    entry.m_nComPortDataBits = 7;
    entry.m_comPortParity = ELineParity::Mark;
    data.SetEntry(200, entry);
    EXPECT_EQ(data.GetEntry(200), entry);
    EXPECT_EQ(data.GetEntry(199), CPortEntry()) << "the neighbour is untouched";
    data.SetOpen(200, 1);
    EXPECT_EQ(data.GetEntry(200), entry) << "the open flag is no configuration";

    data.SetEntry(256, entry);
    EXPECT_EQ(data.GetEntry(256), CPortEntry());

    data.m_nEnableCount = 9;
    CPortEntry unused = entry;
    unused.m_bUse = 0;  // enabled but deleted: not counted
    data.SetEntry(3, unused);
    data.RecountEnabled();
    EXPECT_EQ(data.m_nEnableCount, 1);
}

TEST(CCOMDataTest, OutOfRangeIndicesAreIgnored)
{
    CCOMData data;
    FillPattern(data);
    for (int nBad : s_badIndices)
    {
        EXPECT_EQ(data.GetIPAddress(nBad), "") << nBad;
        EXPECT_EQ(data.GetSystemPort(nBad), 0) << nBad;
        data.SetIPAddress(nBad, "1.2.3.4");
        for (const SIntField& field : s_fields)
        {
            EXPECT_EQ((data.*field.pGet)(nBad), 0) << field.pszName << " " << nBad;
            (data.*field.pSet)(nBad, 99999);
        }
    }

    // The setters above must not have landed anywhere.
    ExpectPattern(data);
}

// ---- ScanSystemPorts ----

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/TestSupport.h"

namespace
{

// A made-up sysfs tree and port directory.
class ScanTest : public ::testing::Test
{
protected:
    // A serial-core tty: a directory with its "type" attribute.
    void AddTty(const std::string& strName, const std::string& strType)
    {
        const std::string strDir = m_dir.File("sys/class/tty/" + strName);
        ASSERT_EQ(testsupport::RunCommand({"mkdir", "-p", strDir}), 0);
        std::ofstream(strDir + "/type") << strType << "\n";
    }
    // A tty without "type", optionally with a driver bound to its device.
    void AddPlainTty(const std::string& strName, bool bDriver)
    {
        const std::string strDir = m_dir.File("sys/class/tty/" + strName);
        ASSERT_EQ(testsupport::RunCommand({"mkdir", "-p", strDir + "/device"}), 0);
        if (bDriver)
        {
            ASSERT_EQ(testsupport::RunCommand({"mkdir", "-p", strDir + "/device/driver"}), 0);
        }
    }
    void AddPortEntry(const std::string& strName)
    {
        mkdir(m_dir.File("ports").c_str(), 0700);
        ASSERT_EQ(symlink("/dev/null", m_dir.File("ports/" + strName).c_str()), 0);
    }
    void Scan(const std::function<bool(int)>& fnCreatedHere = {})
    {
        m_data.ScanSystemPorts(m_dir.File("sys"), m_dir.File("ports"), fnCreatedHere);
    }
    std::vector<int> Marked() const
    {
        std::vector<int> vec;
        for (int i = 0; i < CCOMData::PORT_COUNT; ++i)
            if (m_data.GetSystemPort(i) == 1)
                vec.push_back(i);
        return vec;
    }

    testsupport::CTempDir m_dir;
    CCOMData m_data;
};

}  // namespace

TEST_F(ScanTest, RealUartsAndForeignPortNamesAreMarked)
{
    AddTty("ttyS0", "4");   // 16550A
    AddTty("ttyS1", "0");   // PORT_UNKNOWN: a placeholder without a chip
    AddTty("ttyS2", "14");
    AddTty("tty5", "4");    // not a serial port name
    AddTty("ttyUSB0", "4");
    AddPortEntry("COM12");  // someone else's link
    Scan();
    EXPECT_EQ(Marked(), (std::vector<int>{0, 2, 11}));
}

TEST_F(ScanTest, NamesOutsideTheRangeOrNotExactlyComNAreIgnored)
{
    AddTty("ttyS255", "4");   // COM256
    AddTty("ttyS256", "4");   // COM257: nothing
    AddTty("ttyS01", "4");    // not a kernel name
    for (const char* psz : {"COM0", "com5", "LPT1", "COM257", "COM007", "COM3x", "COM", "COM-4", "COM256"})
        AddPortEntry(psz);
    Scan();
    EXPECT_EQ(Marked(), (std::vector<int>{255}));
}

TEST_F(ScanTest, PortsThisProgramCreatedDoNotCount)
{
    AddPortEntry("COM2");
    AddPortEntry("COM3");
    Scan([](int nPort) { return nPort == 1; });
    EXPECT_EQ(Marked(), (std::vector<int>{2}));
}

TEST_F(ScanTest, AttributeLessTtyCountsWithABoundDriverOnly)
{
    AddPlainTty("ttyS3", true);
    AddPlainTty("ttyS4", false);
    AddTty("ttyS5", "garbage");
    Scan();
    EXPECT_EQ(Marked(), (std::vector<int>{3}));
}

TEST_F(ScanTest, EveryScanStartsAfresh)
{
    AddTty("ttyS0", "4");
    AddPortEntry("COM9");
    Scan();
    EXPECT_EQ(Marked(), (std::vector<int>{0, 8}));
    ASSERT_EQ(testsupport::RunCommand({"rm", "-rf", m_dir.File("sys"), m_dir.File("ports/COM9")}), 0);
    Scan();
    EXPECT_TRUE(Marked().empty()) << "a device that went is no longer marked";
    // Neither tree at all: nothing marked, nothing reported.
    m_data.ScanSystemPorts("/nonexistent-sys", "/nonexistent-ports");
    EXPECT_TRUE(Marked().empty());
}

// What Add may offer: neither configured nor present on the machine, in
// ascending order; a deleted (unused) entry is free again.
TEST_F(ScanTest, FreeNumbersLeaveOutConfiguredAndPresentOnes)
{
    AddTty("ttyS0", "4");
    AddPortEntry("COM12");
    m_data.SetUse(4, 1);
    m_data.SetUse(7, 1);
    m_data.SetUse(7, 0);
    m_data.SetUse(255, 1);
    Scan();
    const std::vector<int> vecFree = m_data.FreeNumbers();
    std::vector<int> vecExpected;
    for (int i = 0; i < CCOMData::PORT_COUNT; ++i)
        if (i != 0 && i != 4 && i != 11 && i != 255)
            vecExpected.push_back(i);
    EXPECT_EQ(vecFree, vecExpected);
    EXPECT_TRUE(m_data.HasFreeNumber());

    for (int i = 0; i < CCOMData::PORT_COUNT; ++i)
        m_data.SetUse(i, i % 2);
    Scan();
    ASSERT_EQ(m_data.FreeNumbers().size(), 127u) << "COM1 (ttyS0) is present";
    EXPECT_EQ(m_data.FreeNumbers().front(), 2);
    // Every number configured: nothing is free.
    for (int i = 0; i < CCOMData::PORT_COUNT; ++i)
        m_data.SetUse(i, 1);
    EXPECT_TRUE(m_data.FreeNumbers().empty());
    EXPECT_FALSE(m_data.HasFreeNumber());
}
