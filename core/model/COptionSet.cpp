// SPDX-License-Identifier: Apache-2.0
#include "core/model/COptionSet.h"

#include <cerrno>
#include <cstdlib>
#include <tuple>

const std::array<COptionSet::SRange, 8> COptionSet::RANGES = {{
    {"KeepAliveTime", "KeepAliveTime", 1, 99999999, &COptionSet::m_nKeepAliveTime},
    {"KeepAliveInterval", "KeepAliveInterval", 1, 99999999, &COptionSet::m_nKeepAliveInterval},
    {"ConnectTimeout", "Connection Timeout", 1, 99, &COptionSet::m_nConnectTimeout},
    {"ReconnectTime", "Re-connection Time", 1, 9999, &COptionSet::m_nReconnectTime},
    {"LoginChallenge", "Login Challenge", 1, 9999, &COptionSet::m_nLoginChallenge},
    {"LoginTimeout", "Login Timeout", 1, 9999, &COptionSet::m_nLoginTimeout},
    {"Reconnect", nullptr, 0, 1, &COptionSet::m_bReconnect},
    {"WineDosDevices", nullptr, 0, 1, &COptionSet::m_bWineDosDevices},
}};

std::string COptionSet::RangeMessage(const SRange& range)
{
    return std::string(range.pszLabel != nullptr ? range.pszLabel : range.pszKey) + " : Range(" +
           std::to_string(range.nMin) + " - " + std::to_string(range.nMax) + ")";
}

bool COptionSet::ParseNumber(const std::string& str, long* pn)
{
    if (str.empty())
        return false;
    char* pEnd = nullptr;
    errno = 0;
    const long n = std::strtol(str.c_str(), &pEnd, 10);
    // strtol would take leading blanks and a plus sign; a field does not.
    if (errno != 0 || *pEnd != '\0' || !(str[0] == '-' || (str[0] >= '0' && str[0] <= '9')))
        return false;
    *pn = n;
    return true;
}

int COptionSet::SetFields(const std::array<std::string, FIELD_COUNT>& texts, int bReconnect,
                          const std::string& strUser, const std::string& strPassword, std::string* pMessage)
{
    auto fail = [pMessage](const SRange& range) {
        if (pMessage != nullptr)
            *pMessage = RangeMessage(range);
        return 0;
    };
    for (size_t k = 0; k < FIELD_COUNT; ++k)
        if (texts[k].empty())
            return fail(RANGES[k]);
    std::array<long, FIELD_COUNT> values{};
    for (size_t k = 0; k < FIELD_COUNT; ++k)
        if (!ParseNumber(texts[k], &values[k]) || values[k] < RANGES[k].nMin || values[k] > RANGES[k].nMax)
            return fail(RANGES[k]);
    if (strUser.size() > TEXT_MAX || strPassword.size() > TEXT_MAX)
    {
        if (pMessage != nullptr)
            *pMessage = "User and Password : at most 20 characters";
        return 0;
    }
    for (size_t k = 0; k < FIELD_COUNT; ++k)
        this->*RANGES[k].pnMember = static_cast<int>(values[k]);
    m_bReconnect = bReconnect ? 1 : 0;
    m_strUser = strUser;
    m_strPassword = strPassword;
    return 1;
}

std::array<std::string, COptionSet::FIELD_COUNT> COptionSet::GetFields() const
{
    std::array<std::string, FIELD_COUNT> texts;
    for (size_t k = 0; k < FIELD_COUNT; ++k)
        texts[k] = std::to_string(this->*RANGES[k].pnMember);
    return texts;
}

int COptionSet::Check(std::string* pMessage) const
{
    for (const SRange& range : RANGES)
    {
        const int n = this->*range.pnMember;
        if (n < range.nMin || n > range.nMax)
        {
            if (pMessage != nullptr)
                *pMessage = RangeMessage(range);
            return 0;
        }
    }
    if (m_strUser.size() > TEXT_MAX || m_strPassword.size() > TEXT_MAX)
    {
        if (pMessage != nullptr)
            *pMessage = "User and Password : at most 20 characters";
        return 0;
    }
    return 1;
}

bool COptionSet::operator==(const COptionSet& other) const
{
    auto saved = [](const COptionSet& o) {
        return std::tie(o.m_nConnectTimeout, o.m_bReconnect, o.m_nReconnectTime, o.m_strUser, o.m_strPassword,
                        o.m_nLoginChallenge, o.m_nLoginTimeout, o.m_nKeepAliveTime, o.m_nKeepAliveInterval,
                        o.m_bWineDosDevices, o.m_nCreateRetry, o.m_strTlsCertificate, o.m_strTlsPrivateKey,
                        o.m_strTlsCaFile, o.m_strTlsClientCaFile);
    };
    return saved(*this) == saved(other);
}
