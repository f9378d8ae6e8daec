// SPDX-License-Identifier: Apache-2.0
#include "core/model/COptionSet.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "core/model/CPortEntry.h"

namespace
{

using Fields = std::array<std::string, COptionSet::FIELD_COUNT>;

// KeepAliveTime, KeepAliveInterval, Connection Timeout, Re-connection Time,
// Login Challenge, Login Timeout.
Fields GoodFields()
{
    return {"7200000", "1000", "10", "1", "3", "10"};
}

std::string MessageFor(const Fields& fields)
{
    COptionSet options;
    std::string strMessage;
    if (options.SetFields(fields, 0, "", "", &strMessage) == 1)
        return "accepted";
    return strMessage;
}

}  // namespace

TEST(COptionSetTest, DialogMessagesAtTheEdgesOfEveryRange)
{
    struct SCase
    {
        size_t nField;
        std::string strText;
        std::string strExpected;
    };
    const SCase cases[] = {
        {0, "0", "KeepAliveTime : Range(1 - 99999999)"},
        {0, "99999999", "accepted"},
        {0, "100000000", "KeepAliveTime : Range(1 - 99999999)"},
        {1, "", "KeepAliveInterval : Range(1 - 99999999)"},
        {2, "100", "Connection Timeout : Range(1 - 99)"},
        {2, "99", "accepted"},
        {3, "", "Re-connection Time : Range(1 - 9999)"},
        {3, "10000", "Re-connection Time : Range(1 - 9999)"},
        {4, "0", "Login Challenge : Range(1 - 9999)"},
        {5, "9999", "accepted"},
        {5, "-1", "Login Timeout : Range(1 - 9999)"},
        // Not a number, or one that overflows: out of range, never a wrap.
        {0, "12a", "KeepAliveTime : Range(1 - 99999999)"},
        {0, "99999999999999999999", "KeepAliveTime : Range(1 - 99999999)"},
        {2, " 5", "Connection Timeout : Range(1 - 99)"},
    };
    for (const SCase& c : cases)
    {
        Fields fields = GoodFields();
        fields[c.nField] = c.strText;
        EXPECT_EQ(MessageFor(fields), c.strExpected) << "field " << c.nField << " = '" << c.strText << "'";
    }
}

TEST(COptionSetTest, EmptyFieldsComeBeforeRangesAndOnlyTheFirstIsReported)
{
    Fields fields = GoodFields();
    fields[0] = "0";  // out of range, but an empty field is reported first
    fields[4] = "";
    fields[5] = "";
    EXPECT_EQ(MessageFor(fields), "Login Challenge : Range(1 - 9999)");

    fields = GoodFields();
    fields[1] = "0";
    fields[2] = "100";
    EXPECT_EQ(MessageFor(fields), "KeepAliveInterval : Range(1 - 99999999)");
}

TEST(COptionSetTest, AFailedCheckChangesNothingAndASuccessfulOneStoresEverything)
{
    COptionSet options;
    const COptionSet before = options;
    Fields fields = {"5000", "2000", "20", "7", "4", "30"};
    fields[3] = "";
    std::string strMessage;
    EXPECT_EQ(options.SetFields(fields, 1, "alice", "secret", &strMessage), 0);
    EXPECT_EQ(options, before);

    fields[3] = "7";
    ASSERT_EQ(options.SetFields(fields, 1, "alice", "secret", &strMessage), 1);
    EXPECT_EQ(options.m_nKeepAliveTime, 5000);
    EXPECT_EQ(options.m_nKeepAliveInterval, 2000);
    EXPECT_EQ(options.m_nConnectTimeout, 20);
    EXPECT_EQ(options.m_nReconnectTime, 7);
    EXPECT_EQ(options.m_nLoginChallenge, 4);
    EXPECT_EQ(options.m_nLoginTimeout, 30);
    EXPECT_EQ(options.m_bReconnect, 1);
    EXPECT_EQ(options.m_strUser, "alice");
    EXPECT_EQ(options.m_strPassword, "secret");
    EXPECT_EQ(options.GetFields(), fields);
    EXPECT_EQ(options.m_nCreateRetry, 40);  // not a dialog field

    EXPECT_EQ(options.SetFields(fields, 0, std::string(21, 'u'), "", &strMessage), 0);
    EXPECT_EQ(options.m_strUser, "alice");
}

TEST(COptionSetTest, CheckHoldsHeldValuesToTheSameRanges)
{
    COptionSet options;
    std::string strMessage;
    EXPECT_EQ(options.Check(&strMessage), 1);
    options.m_nConnectTimeout = 0;
    EXPECT_EQ(options.Check(&strMessage), 0);
    EXPECT_EQ(strMessage, "Connection Timeout : Range(1 - 99)");
    options = COptionSet();
    options.m_bReconnect = 2;
    EXPECT_EQ(options.Check(&strMessage), 0);
    EXPECT_EQ(strMessage, "Reconnect : Range(0 - 1)");
}

TEST(CPortEntryTest, PortDialogMessagesInTheirOrder)
{
    struct SCase
    {
        std::string strIP, strPeer, strLocal, strExpected;
    };
    const SCase cases[] = {
        {"", "", "", "IPAddress : Empty Error"},
        {"10.0.0.1", "", "0", "Port : Empty Error"},
        {"10.0.0.1", "0", "", "Port : Empty Error"},
        {"10.0.0.1", "65536", "0", "Port : Range Error (0 - 65535)"},
        {"10.0.0.1", "0", "65536", "Port : Range Error (0 - 65535)"},
        {"10.0.0.1", "-1", "0", "Port : Range Error (0 - 65535)"},
        {"10.0.0.1", "65535", "0", "accepted"},
        // Addresses in every form the ports take; what none of them can be
        // is refused, since the settings file could not hold it.
        {"::1", "1", "2", "accepted"},
        {"[fe80::1]", "1", "2", "accepted"},
        {"serial-gw.example.org", "1", "2", "accepted"},
        {"localhost", "1", "2", "accepted"},
        {"127.1", "1", "2", "accepted"},  // as inet_addr always read it
        {"999.1.1.1", "1", "2", CPortEntry::ADDRESS_ERROR},
        {"not an address", "1", "2", CPortEntry::ADDRESS_ERROR},
        {"host.123", "1", "2", CPortEntry::ADDRESS_ERROR},
        {"-bad.example", "1", "2", CPortEntry::ADDRESS_ERROR},
        {"1::2::3", "1", "2", CPortEntry::ADDRESS_ERROR},
        // The port messages come first.
        {"999.1.1.1", "65536", "2", "Port : Range Error (0 - 65535)"},
    };
    for (const SCase& c : cases)
    {
        CPortEntry entry;
        std::string strMessage;
        const int bOk = entry.SetFields(c.strIP, c.strPeer, c.strLocal, &strMessage);
        EXPECT_EQ(bOk == 1 ? "accepted" : strMessage, c.strExpected)
            << "'" << c.strIP << "' '" << c.strPeer << "' '" << c.strLocal << "'";
        if (bOk != 1)
        {
            EXPECT_EQ(entry, CPortEntry()) << "a refused entry must stay as it was";
        }
    }
    CPortEntry entry;
    ASSERT_EQ(entry.SetFields("192.168.1.2", "65535", "17", nullptr), 1);
    EXPECT_EQ(entry.m_strIPAddress, "192.168.1.2");
    EXPECT_EQ(entry.m_nPeerPort, 65535);
    EXPECT_EQ(entry.m_nLocPort, 17);
}

TEST(CPortEntryTest, NormaliseKeepsOnlyWhatTheModeCanDo)
{
    CPortEntry udp;
    udp.m_nMode = MODE_UDP;
    udp.m_bSSL = 1;
    udp.m_nConnectType = CONNECT_TELNET;
    udp.Normalise();
    EXPECT_EQ(udp.m_bSSL, 0);
    EXPECT_EQ(udp.m_nConnectType, CONNECT_RAW);

    CPortEntry client;
    client.m_nConnectType = CONNECT_SECURE;
    client.m_bSSL = 1;
    client.Normalise();
    EXPECT_EQ(client.m_nConnectType, CONNECT_RAW);
    EXPECT_EQ(client.m_bSSL, 1);

    CPortEntry server;
    server.m_nMode = MODE_TCP_SERVER;
    server.m_nConnectType = CONNECT_SECURE;
    server.Normalise();
    EXPECT_EQ(server.m_nConnectType, CONNECT_SECURE);
}

TEST(PortEntryPin, TakesTheFingerprintInTheFormsPeopleTypeIt)
{
    const std::string strHex = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
    std::string strCanonical;
    for (size_t k = 0; k < strHex.size(); k += 2)
        strCanonical += (k > 0 ? ":" : "") + strHex.substr(k, 2);
    std::string strLower = strCanonical;
    for (char& c : strLower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& strTyped :
         {strCanonical, strHex, strLower, "sha256 Fingerprint=" + strCanonical, "SHA256 Fingerprint=" + strHex,
          " " + strCanonical + " ", std::string("00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff ") +
                                        "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff"})
    {
        std::string strPin = "unchanged";
        EXPECT_TRUE(CPortEntry::ParsePin(strTyped, &strPin)) << strTyped;
        EXPECT_EQ(strPin, strCanonical) << strTyped;
    }
    std::string strPin = "old";
    EXPECT_TRUE(CPortEntry::ParsePin("", &strPin));
    EXPECT_EQ(strPin, "") << "empty: no pin";
    for (const std::string& strBad : {strHex.substr(2), strHex + "00", strHex.substr(1) + "G", std::string("sha256 Fingerprint="),
                                      std::string("SHA1:") + strHex})
    {
        strPin = "kept";
        EXPECT_FALSE(CPortEntry::ParsePin(strBad, &strPin)) << strBad;
        EXPECT_EQ(strPin, "kept");
    }
}

TEST(PortEntryPin, OnlyTlsClientPortsCheckThePeer)
{
    CPortEntry entry;
    entry.m_bSSL = 1;
    entry.m_bTlsVerify = true;
    EXPECT_TRUE(entry.ChecksPeerCertificate());
    entry.m_nMode = MODE_TCP_SERVER;
    EXPECT_FALSE(entry.ChecksPeerCertificate());
    entry.m_nMode = MODE_TCP_CLIENT;
    entry.m_bSSL = 0;
    EXPECT_FALSE(entry.ChecksPeerCertificate());
    entry.m_bSSL = 1;
    entry.m_bTlsVerify = false;
    EXPECT_FALSE(entry.ChecksPeerCertificate());
    entry.m_strTlsPin = "AA";
    EXPECT_TRUE(entry.ChecksPeerCertificate());
}
