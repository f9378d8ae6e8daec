#include "engine/CResolver.h"

#include <arpa/inet.h>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <vector>

// One lookup handed to the C library. It must stay alive until the library
// is done with it, also when the worker has abandoned it.
struct CResolver::SRequest
{
    std::string strHost;
    std::string strService;
    struct addrinfo hints = {};
    struct gaicb cb = {};
};

namespace
{

// Lookups abandoned while the library still worked on them; freed once it
// is done (checked whenever a lookup starts or is abandoned).
// Never destroyed: a lookup may still be abandoned while the program ends.
std::mutex g_csAbandoned;  // guards *g_pAbandoned
std::vector<CResolver::SRequest*>* g_pAbandoned = new std::vector<CResolver::SRequest*>();

void FreeRequest(CResolver::SRequest* pRequest)
{
    if (pRequest->cb.ar_result != nullptr)
        freeaddrinfo(pRequest->cb.ar_result);
    delete pRequest;
}

void ReapAbandoned()
{
    std::lock_guard<std::mutex> lock(g_csAbandoned);
    std::erase_if(*g_pAbandoned, [](CResolver::SRequest* p) {
        if (gai_error(&p->cb) == EAI_INPROGRESS)
            return false;
        FreeRequest(p);
        return true;
    });
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
    ReapAbandoned();
    m_strError.clear();
    if (ParseLiteral(strHost, nPort, &m_addr, &m_nLength))
    {
        m_nResult = RESOLVE_DONE;
        return;
    }
    auto* pRequest = new SRequest;
    pRequest->strHost = strHost;
    pRequest->strService = std::to_string(nPort);
    pRequest->hints.ai_family = AF_UNSPEC;
    pRequest->hints.ai_socktype = nSockType;
    pRequest->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    pRequest->cb.ar_name = pRequest->strHost.c_str();
    pRequest->cb.ar_service = pRequest->strService.c_str();
    pRequest->cb.ar_request = &pRequest->hints;
    struct gaicb* pList[1] = {&pRequest->cb};
    const int nError = getaddrinfo_a(GAI_NOWAIT, pList, 1, nullptr);
    if (nError != 0)
    {
        m_strError = "resolve " + strHost + ": " + gai_strerror(nError);
        m_nResult = RESOLVE_FAILED;
        FreeRequest(pRequest);
        return;
    }
    m_pRequest = pRequest;
    m_nResult = RESOLVE_BUSY;
}

int CResolver::Poll(std::string* pError)
{
    if (m_pRequest != nullptr)
    {
        const int nError = gai_error(&m_pRequest->cb);
        if (nError == EAI_INPROGRESS)
            return RESOLVE_BUSY;
        // IPv4 first where a name has both: a peer known by name mostly
        // listens there, and that is how the ports have always dialled.
        const struct addrinfo* pInfo = m_pRequest->cb.ar_result;
        for (const struct addrinfo* p = pInfo; p != nullptr; p = p->ai_next)
            if (p->ai_family == AF_INET)
            {
                pInfo = p;
                break;
            }
        if (nError == 0 && pInfo != nullptr && pInfo->ai_addrlen <= sizeof(m_addr))
        {
            memcpy(&m_addr, pInfo->ai_addr, pInfo->ai_addrlen);
            m_nLength = pInfo->ai_addrlen;
            m_nResult = RESOLVE_DONE;
        }
        else
        {
            m_strError = "resolve " + m_pRequest->strHost + ": " +
                         (nError == EAI_SYSTEM ? std::string(strerror(errno)) : gai_strerror(nError));
            m_nResult = RESOLVE_FAILED;
        }
        FreeRequest(m_pRequest);
        m_pRequest = nullptr;
    }
    if (m_nResult == RESOLVE_FAILED && pError != nullptr)
        *pError = m_strError;
    return m_nResult;
}

void CResolver::Cancel()
{
    if (m_pRequest == nullptr)
        return;
    if (gai_cancel(&m_pRequest->cb) == EAI_NOTCANCELED)
    {
        // The library still works on it: it is freed once that is over.
        std::lock_guard<std::mutex> lock(g_csAbandoned);
        g_pAbandoned->push_back(m_pRequest);
    }
    else
    {
        FreeRequest(m_pRequest);
    }
    m_pRequest = nullptr;
    m_nResult = RESOLVE_FAILED;
    m_strError = "lookup abandoned";
}
