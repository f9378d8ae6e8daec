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

    // Decimal digits only (an optional leading minus), no overflow.
    static bool ParseNumber(const std::string& str, long* pn);

    bool operator==(const COptionSet&) const = default;

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
    // Attempts the Start sequence makes to create one virtual port; fixed.
    int m_nCreateRetry = 40;
};
