#include "model/CCOMData.h"

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
