// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortEntry.h"

#include "core/model/COptionSet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

int CPortEntry::SetFields(const std::string& strIPAddress, const std::string& strPeerPort,
                          const std::string& strLocPort, std::string* pMessage)
{
    auto fail = [pMessage](const char* pszMessage) {
        if (pMessage != nullptr)
            *pMessage = pszMessage;
        return 0;
    };
    if (strIPAddress.empty())
        return fail("IPAddress : Empty Error");
    if (strPeerPort.empty() || strLocPort.empty())
        return fail("Port : Empty Error");
    long nPeer = 0;
    long nLocal = 0;
    if (!COptionSet::ParseNumber(strPeerPort, &nPeer) || !IsPortNumber(nPeer) ||
        !COptionSet::ParseNumber(strLocPort, &nLocal) || !IsPortNumber(nLocal))
        return fail("Port : Range Error (0 - 65535)");
    if (!IsAddress(strIPAddress))
        return fail(ADDRESS_ERROR);
    m_strIPAddress = strIPAddress;
    m_nPeerPort = static_cast<int>(nPeer);
    m_nLocPort = static_cast<int>(nLocal);
    return 1;
}

void CPortEntry::Normalise()
{
    if (m_nMode == MODE_UDP)
    {
        m_bSSL = 0;
        m_nConnectType = CONNECT_RAW;
    }
    else if (m_nMode == MODE_TCP_CLIENT && m_nConnectType == CONNECT_SECURE)
    {
        m_nConnectType = CONNECT_RAW;
    }
}

bool CPortEntry::ParsePin(const std::string& strText, std::string* pPin)
{
    std::string strHex;
    std::string str = strText;
    const size_t nEquals = str.find('=');
    // "sha256 Fingerprint=AA:..." as the command prints it, pasted whole.
    if (nEquals != std::string::npos)
        str = str.substr(nEquals + 1);
    for (char c : str)
    {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
        strHex += c;
    }
    if (strHex.empty() && nEquals == std::string::npos)
    {
        pPin->clear();
        return true;
    }
    if (strHex.size() != 64)
        return false;
    std::string strPin;
    for (size_t k = 0; k < strHex.size(); k += 2)
    {
        if (k > 0)
            strPin += ':';
        strPin.append(strHex, k, 2);
    }
    *pPin = std::move(strPin);
    return true;
}

bool CPortEntry::IsAddress(const std::string& strAddress)
{
    if (strAddress.empty())
        return false;
    // Digits and dots can only be IPv4.
    if (strAddress.find_first_not_of("0123456789.") == std::string::npos)
    {
        struct in_addr addr;
        return inet_aton(strAddress.c_str(), &addr) != 0;
    }
    if (strAddress.find(':') != std::string::npos)
    {
        std::string str = strAddress;
        if (str.size() > 2 && str.front() == '[' && str.back() == ']')
            str = str.substr(1, str.size() - 2);
        struct in6_addr addr6;
        return inet_pton(AF_INET6, str.c_str(), &addr6) == 1;
    }
    // A host name: dot-separated labels of letters, digits and hyphens, a
    // label neither starting nor ending with a hyphen, the last one not all
    // digits (that would read as an address).
    if (strAddress.size() > 253)
        return false;
    size_t nStart = 0;
    std::string strLast;
    for (;;)
    {
        const size_t nDot = strAddress.find('.', nStart);
        const std::string strLabel = strAddress.substr(nStart, nDot == std::string::npos ? std::string::npos : nDot - nStart);
        if (nDot == std::string::npos && strLabel.empty() && nStart > 0)
            break;  // one trailing dot: a fully qualified name
        if (strLabel.empty() || strLabel.size() > 63 || strLabel.front() == '-' || strLabel.back() == '-' ||
            strLabel.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") !=
                std::string::npos)
            return false;
        strLast = strLabel;
        if (nDot == std::string::npos)
            break;
        nStart = nDot + 1;
    }
    return strLast.find_first_not_of("0123456789") != std::string::npos;
}
