#include "model/CPortEntry.h"

#include "model/COptionSet.h"

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
