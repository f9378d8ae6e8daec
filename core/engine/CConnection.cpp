// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include "core/engine/TelnetCodes.h"
#include "core/model/CLineState.h"
#include "core/model/COptionSet.h"
#include "core/model/CPortTexts.h"
#include "core/model/PortStatus.h"

namespace
{

// The longest idle time and interval the kernel takes (MAX_TCP_KEEPIDLE).
constexpr int MAX_KEEPALIVE_SECONDS = 32767;
// Probes before a silent peer counts as gone, as the Windows stack has it.
constexpr int KEEPALIVE_PROBES = 10;

int MillisecondsToKeepAliveSeconds(int nMs)
{
    if (nMs <= 1000)
        return 1;
    const int nSeconds = nMs / 1000 + (nMs % 1000 != 0 ? 1 : 0);
    return nSeconds > MAX_KEEPALIVE_SECONDS ? MAX_KEEPALIVE_SECONDS : nSeconds;
}

}  // namespace

void CConnection::Bind(CWorkerPort* pPort, int nPort)
{
    m_pPort = pPort;
    m_nPort = nPort;
    m_telnet.m_fnCommandSeen = [this](int nCommand, int nOption) {
        const char* pVerb = nCommand == TELNET_WILL ? "WILL"
                            : nCommand == TELNET_WONT ? "WONT"
                            : nCommand == TELNET_DO   ? "DO"
                            : nCommand == TELNET_DONT ? "DONT"
                                                      : "command";
        CaptureEventOf([&] { return std::string("Telnet: peer ") + pVerb + " option " + std::to_string(nOption); });
    };
    ReadEntry();
}

void CConnection::ReadEntry()
{
    if (m_pPort != nullptr)
        m_entry = m_pPort->GetEntry();
}

const COptionSet& CConnection::Options() const
{
    return m_pPort->GetOptions();
}

CLineState& CConnection::Line() const
{
    return m_pPort->GetLine();
}

void CConnection::SetState(EWorkerState state)
{
#if defined(NIMBREL_THREAD_CHECKS) && NIMBREL_THREAD_CHECKS
    const EWorkerState from = m_state;
    if (!WorkerTransitionAllowed(from, state))
    {
        std::fprintf(stderr, "COM%d: worker state %s -> %s is no transition of the worker\n", m_nPort + 1,
                     WorkerStateName(from), WorkerStateName(state));
        std::abort();
    }
#endif
    m_state = state;
}

void CConnection::Post(int nCode)
{
    // A failure carries the reason noted for it; any other state clears
    // what the list shows beside the port.
    std::string strReason;
    switch (nCode)
    {
    case STATUS_NOT_CONNECT:
    case STATUS_CREATE_ERROR:
    case STATUS_CONNECT_ERROR:
    case STATUS_NOT_SUPPORT:
    case STATUS_SSL_ERROR:
    case STATUS_UDP_ERROR:
        strReason.swap(m_strReason);
        break;
    default:
        m_strReason.clear();
        break;
    }
    CaptureEventOf([&] {
        const char* pText = StatusText(nCode);
        return std::string(pText != nullptr ? pText : "status " + std::to_string(nCode)) +
               (strReason.empty() ? "" : ": " + strReason);
    });
    m_pPort->Report(nCode, std::move(strReason));
}

void CConnection::StartTelnet(int nRole)
{
    m_telnet.EnableComPortControl(m_entry.UsesComPortControl());
    m_telnet.Init(nRole);
    ++m_nTelnetSessions;
    if (nRole == 0)
        m_telnet.PutNegotiation(m_tx);
}

void CConnection::NoteReason(std::string strReason)
{
    m_strReason = std::move(strReason);
}

void CConnection::PostPeer(std::string strPeer)
{
    CaptureEventOf([&] { return strPeer.empty() ? std::string("Peer gone") : "Peer: " + strPeer; });
    m_pPort->Report(STATUS_PEER, std::move(strPeer));
}

std::string CConnection::PeerText() const
{
    return CPortTexts::PeerText(m_entry.m_strIPAddress, m_entry.m_nPeerPort);
}

void CConnection::ReportLocalPort(int hSocket)
{
    // Port 0 asks the system for one: show which it gave.
    if (m_entry.m_nLocPort != 0)
        return;
    struct sockaddr_storage addr;
    socklen_t nLen = sizeof(addr);
    if (getsockname(hSocket, reinterpret_cast<struct sockaddr*>(&addr), &nLen) != 0)
        return;
    const uint16_t nNetPort = addr.ss_family == AF_INET6 ? reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port
                                                          : reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port;
    m_pPort->Report(STATUS_LOCAL, std::to_string(ntohs(nNetPort)));
}

int CConnection::SetKeepAlive(int hSocket)
{
    if (m_entry.m_bKeepAlive != 1)
    {
        int nOff = 0;
        return setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOff, sizeof(nOff)) == 0 ? 1 : 0;
    }
    int nOn = 1;
    int nIdle = MillisecondsToKeepAliveSeconds(Options().m_nKeepAliveTime);
    int nInterval = MillisecondsToKeepAliveSeconds(Options().m_nKeepAliveInterval);
    int nProbes = KEEPALIVE_PROBES;
    if (setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof(nOn)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPIDLE, &nIdle, sizeof(nIdle)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPINTVL, &nInterval, sizeof(nInterval)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPCNT, &nProbes, sizeof(nProbes)) != 0)
        return 0;
    return 1;
}

int CConnection::ResolvePeer(int nSockType)
{
    // A name is looked up without blocking this worker: it looks again
    // every cycle, within the Connection Timeout.
    if (!m_resolver.IsBusy())
    {
        m_resolver.Start(m_entry.m_strIPAddress, m_entry.m_nPeerPort, nSockType);
        m_tResolve = Now() + Options().m_nConnectTimeout;
    }
    std::string strError;
    const int nResult = m_resolver.Poll(&strError);
    if (nResult == CResolver::RESOLVE_BUSY && Now() >= m_tResolve)
    {
        m_resolver.Cancel();
        NoteReason("resolve " + m_entry.m_strIPAddress + ": no answer within " +
                   std::to_string(Options().m_nConnectTimeout) + " s");
        return CResolver::RESOLVE_FAILED;
    }
    if (nResult == CResolver::RESOLVE_FAILED)
        NoteReason(strError);
    return nResult;
}

socklen_t CConnection::AnyAddress(int nFamily, int nPort, struct sockaddr_storage* pAddr)
{
    memset(pAddr, 0, sizeof(*pAddr));
    if (nFamily == AF_INET6)
    {
        auto* pIn6 = reinterpret_cast<struct sockaddr_in6*>(pAddr);
        pIn6->sin6_family = AF_INET6;
        pIn6->sin6_addr = in6addr_any;
        pIn6->sin6_port = htons(static_cast<uint16_t>(nPort));
        return sizeof(*pIn6);
    }
    auto* pIn = reinterpret_cast<struct sockaddr_in*>(pAddr);
    pIn->sin_family = AF_INET;
    pIn->sin_addr.s_addr = htonl(INADDR_ANY);
    pIn->sin_port = htons(static_cast<uint16_t>(nPort));
    return sizeof(*pIn);
}

std::atomic<uint64_t> CConnection::s_nSocketsClosed{0};

void CConnection::CloseSocket(int& hSocket)
{
    if (hSocket != INVALID_SOCKET)
    {
        close(hSocket);
        s_nSocketsClosed.fetch_add(1, std::memory_order_relaxed);
        hSocket = INVALID_SOCKET;
    }
}

int CConnection::AllocRings()
{
    FreeRings();
    if (!m_tx.Allocate() || !m_rx.Allocate())
    {
        FreeRings();
        return 0;
    }
    m_nPortPending = 0;
    return 1;
}

void CConnection::FreeRings()
{
    m_bSendFailed = 0;
    m_tx.Release();
    m_rx.Release();
}

void CConnection::FreeTls()
{
    if (m_pSSL != nullptr)
    {
        // One close notify; the peer's answer is not awaited.
        ERR_clear_error();
        SSL_shutdown(m_pSSL);
        SSL_free(m_pSSL);
        m_pSSL = nullptr;
    }
    m_transport.Close();
    m_nTlsGone = 0;
    m_nSSLWant = 0;
}

void CConnection::CloseConnection()
{
    m_resolver.Cancel();
    FreeTls();
    if (m_hSocket != INVALID_SOCKET)
    {
        shutdown(m_hSocket, SHUT_RDWR);
        CloseSocket(m_hSocket);
    }
    // The next socket may get the same number: nothing said of this one
    // holds for it.
    m_eSocketInput = EInput::Unknown;
    m_bSocketReadEmpty = false;
    m_bReceiveFull = false;
    FreeRings();
}

void CConnection::FailToRetry(int nCode)
{
    CloseSocket(m_hSocket);
    m_tRetry = Now() + Options().m_nReconnectTime;
    SetState(EWorkerState::RetryWait);
    Post(nCode);
}

void CConnection::StartLostWait()
{
    m_dwLostTick = Tick() + LOST_REDIAL_MS;
    SetState(EWorkerState::LostWait);
}

bool CConnection::LostWaitOver(uint32_t dwLostTick, uint32_t t)
{
    if (dwLostTick >= LOST_REDIAL_MS)
        return t >= dwLostTick;
    // The deadline wrapped past zero: the counter has to wrap too first.
    return !(t >= 0xFFFFFED3u || t < dwLostTick);
}

int64_t CConnection::Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

uint32_t CConnection::RealTick()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t CConnection::Tick() const
{
    return m_fnTick ? m_fnTick() : RealTick();
}
