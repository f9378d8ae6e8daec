// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <string>

// The global options as a value: what the Option dialog fills, the settings
// file holds and the core keeps for every port. The ranges live here once,
// in RANGES; the dialog and the settings reader both check against them.
class COptionSet
{
public:
    // Longest user name and password.
    static constexpr size_t TEXT_MAX = 20;

    // A numeric option: its key in the settings file, its label in the
    // Option dialog's messages (nullptr: not a dialog field), its range.
    struct SRange
    {
        const char* pszKey;
        const char* pszLabel;
        long nMin;
        long nMax;
        int COptionSet::*pnMember;
    };
    // The dialog's fields in the order it checks them, then the 0/1 flags.
    static const std::array<SRange, 8> RANGES;
    static constexpr size_t FIELD_COUNT = 6;  // the first six of RANGES

    // "KeepAliveTime : Range(1 - 99999999)" and the like.
    static std::string RangeMessage(const SRange& range);

    // The Option dialog's check. texts are the six numeric fields in
    // RANGES order. Every empty field is reported first (in that order),
    // then every number out of range (a text that is no number counts as
    // out of range); the first failure's message goes to pMessage and
    // nothing changes. On success the six numbers, bReconnect and the two
    // texts are stored.
    int SetFields(const std::array<std::string, FIELD_COUNT>& texts, int bReconnect, const std::string& strUser,
                  const std::string& strPassword, std::string* pMessage);
    // The six fields' texts, in RANGES order.
    std::array<std::string, FIELD_COUNT> GetFields() const;

    // Checks values already held; 0 with the first failure's message.
    int Check(std::string* pMessage) const;

    // A TLS file option's value: empty (the default) or an absolute path.
    static bool IsPathValue(const std::string& str) { return str.empty() || str[0] == '/'; }

    // Decimal digits only (an optional leading minus), no overflow.
    static bool ParseNumber(const std::string& str, long* pn);

    // Every value the settings hold; not where they were read from.
    bool operator==(const COptionSet& other) const;

    int m_nConnectTimeout = 10;
    int m_bReconnect = 0;
    int m_nReconnectTime = 1;
    std::string m_strUser;
    std::string m_strPassword;
    int m_nLoginChallenge = 3;
    int m_nLoginTimeout = 10;
    int m_nKeepAliveTime = 7200000;
    int m_nKeepAliveInterval = 1000;
    // 1: every created COMn is also linked as comN in the Wine prefix's
    // dosdevices folder (bridge/CWineLink).
    int m_bWineDosDevices = 0;
    // TLS files, PEM paths; empty: the default. The certificate and key of
    // server ports (and a client port's own, offered when a peer asks; only
    // when set): by default public.key and private.key in the settings
    // file's directory, else beside the program. The CA certificates a
    // verifying client port checks its peer against (default: the system's
    // store); those that sign the client certificates a server port then
    // requires (default: none required).
    std::string m_strTlsCertificate;
    std::string m_strTlsPrivateKey;
    std::string m_strTlsCaFile;
    std::string m_strTlsClientCaFile;
    // The directory of the settings file these options came from (empty:
    // none); where the default key files are looked for first. Not saved.
    std::string m_strSettingsDir;
    // Attempts the Start sequence makes to create one virtual port; fixed.
    int m_nCreateRetry = 40;
};
