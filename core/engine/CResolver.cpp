// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CResolver.h"

#include <arpa/inet.h>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <system_error>
#include <thread>

struct CResolver::SRequest
{
    std::string strHost;
    // Guards the members below; the lookup's thread writes them once.
    std::mutex cs;
    int bDone = 0;
    int nResult = RESOLVE_FAILED;
    std::string strError;
    struct sockaddr_storage addr = {};
    socklen_t nLength = 0;
};

namespace
{

// The blocking lookup, on the request's own thread.
void LookUp(const std::shared_ptr<CResolver::SRequest>& pRequest, int nPort, int nSockType)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = nSockType;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    struct addrinfo* pList = nullptr;
    const int nError = getaddrinfo(pRequest->strHost.c_str(), std::to_string(nPort).c_str(), &hints, &pList);
    const int nErrno = errno;
    // IPv4 first where a name has both: a peer known by name mostly
    // listens there, and that is how the ports have always dialled.
    const struct addrinfo* pInfo = pList;
    for (const struct addrinfo* p = pList; p != nullptr; p = p->ai_next)
        if (p->ai_family == AF_INET)
        {
            pInfo = p;
            break;
        }
    std::lock_guard<std::mutex> lock(pRequest->cs);
    if (nError == 0 && pInfo != nullptr && pInfo->ai_addrlen <= sizeof(pRequest->addr))
    {
        memcpy(&pRequest->addr, pInfo->ai_addr, pInfo->ai_addrlen);
        pRequest->nLength = pInfo->ai_addrlen;
        pRequest->nResult = CResolver::RESOLVE_DONE;
    }
    else
    {
        pRequest->strError = "resolve " + pRequest->strHost + ": " +
                             (nError == EAI_SYSTEM ? std::string(strerror(nErrno))
                              : nError == 0        ? std::string("no address")
                                                   : std::string(gai_strerror(nError)));
    }
    if (pList != nullptr)
        freeaddrinfo(pList);
    pRequest->bDone = 1;
}

}  // namespace

CResolver::~CResolver()
{
    Cancel();
}

bool CResolver::ParseLiteral(const std::string& strHost, int nPort, struct sockaddr_storage* pAddr,
                             socklen_t* pLength)
{
    memset(pAddr, 0, sizeof(*pAddr));
    // Digits and dots are IPv4, read as inet_addr always read them.
    if (!strHost.empty() && strHost.find_first_not_of("0123456789.") == std::string::npos)
    {
        auto* pIn = reinterpret_cast<struct sockaddr_in*>(pAddr);
        if (inet_aton(strHost.c_str(), &pIn->sin_addr) == 0)
            return false;
        pIn->sin_family = AF_INET;
        pIn->sin_port = htons(static_cast<uint16_t>(nPort));
        *pLength = sizeof(*pIn);
        return true;
    }
    std::string str = strHost;
    if (str.size() > 2 && str.front() == '[' && str.back() == ']')
        str = str.substr(1, str.size() - 2);
    auto* pIn6 = reinterpret_cast<struct sockaddr_in6*>(pAddr);
    if (inet_pton(AF_INET6, str.c_str(), &pIn6->sin6_addr) != 1)
        return false;
    pIn6->sin6_family = AF_INET6;
    pIn6->sin6_port = htons(static_cast<uint16_t>(nPort));
    *pLength = sizeof(*pIn6);
    return true;
}

std::string CResolver::AddressText(const struct sockaddr* pAddr)
{
    char szText[INET6_ADDRSTRLEN] = "";
    if (pAddr->sa_family == AF_INET)
    {
        const auto* pIn = reinterpret_cast<const struct sockaddr_in*>(pAddr);
        inet_ntop(AF_INET, &pIn->sin_addr, szText, sizeof(szText));
        return std::string(szText) + ":" + std::to_string(ntohs(pIn->sin_port));
    }
    const auto* pIn6 = reinterpret_cast<const struct sockaddr_in6*>(pAddr);
    if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr))
    {
        // A peer of the IPv4 world, whatever socket took it.
        inet_ntop(AF_INET, &pIn6->sin6_addr.s6_addr[12], szText, sizeof(szText));
        return std::string(szText) + ":" + std::to_string(ntohs(pIn6->sin6_port));
    }
    inet_ntop(AF_INET6, &pIn6->sin6_addr, szText, sizeof(szText));
    return "[" + std::string(szText) + "]:" + std::to_string(ntohs(pIn6->sin6_port));
}

void CResolver::Start(const std::string& strHost, int nPort, int nSockType)
{
    Cancel();
    m_strError.clear();
    if (ParseLiteral(strHost, nPort, &m_addr, &m_nLength))
    {
        m_nResult = RESOLVE_DONE;
        return;
    }
    auto pRequest = std::make_shared<SRequest>();
    pRequest->strHost = strHost;
    try
    {
        std::thread([pRequest, nPort, nSockType] { LookUp(pRequest, nPort, nSockType); }).detach();
    }
    catch (const std::system_error& e)
    {
        m_strError = "resolve " + strHost + ": " + e.what();
        m_nResult = RESOLVE_FAILED;
        return;
    }
    m_pRequest = std::move(pRequest);
    m_nResult = RESOLVE_BUSY;
}

int CResolver::Poll(std::string* pError)
{
    if (m_pRequest != nullptr)
    {
        std::lock_guard<std::mutex> lock(m_pRequest->cs);
        if (!m_pRequest->bDone)
            return RESOLVE_BUSY;
        m_nResult = m_pRequest->nResult;
        m_strError = m_pRequest->strError;
        m_addr = m_pRequest->addr;
        m_nLength = m_pRequest->nLength;
    }
    m_pRequest.reset();
    if (m_nResult == RESOLVE_FAILED && pError != nullptr)
        *pError = m_strError;
    return m_nResult;
}

void CResolver::Cancel()
{
    if (m_pRequest == nullptr)
        return;
    // The thread holds its own share and finishes alone.
    m_pRequest.reset();
    m_nResult = RESOLVE_FAILED;
    m_strError = "lookup abandoned";
}
