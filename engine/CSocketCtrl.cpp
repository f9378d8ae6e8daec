#include "engine/CSocketCtrl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/COmbraPortAx.h"
#include "engine/CErrorText.h"
#include "engine/CPollSet.h"
#include "engine/CTransport.h"
#include "engine/CResolver.h"
#include "engine/TlsClient.h"
#include "model/CPortOwner.h"
#include "model/PortStatus.h"

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

void CloseSocket(int& hSocket)
{
    if (hSocket != CSocketCtrl::INVALID_SOCKET)
    {
        close(hSocket);
        hSocket = CSocketCtrl::INVALID_SOCKET;
    }
}

}  // namespace

CSocketCtrl::CSocketCtrl() = default;

CSocketCtrl::~CSocketCtrl()
{
    StopThread();
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    CloseSocket(m_hSocket);
    CloseSocket(m_hListen);
    FreeRings();
    if (m_hWake >= 0)
        close(m_hWake);
}

void CSocketCtrl::Bind(CPortOwner* pDlg, int nPort)
{
    m_pDlg = pDlg;
    m_nPort = nPort;
    // The key files live beside the executable; without its path, the bare
    // names are taken relative to the current directory.
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    std::string strDir;
    if (n > 0)
    {
        szExe[n] = '\0';
        strDir = szExe;
        strDir.erase(strDir.rfind('/') + 1);
    }
    m_strPublicKey = strDir + "public.key";
    m_strPrivateKey = strDir + "private.key";
}

void CSocketCtrl::SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_strPublicKey = strPublicKey;
    m_strPrivateKey = strPrivateKey;
}

int64_t CSocketCtrl::Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

uint32_t CSocketCtrl::RealTick()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t CSocketCtrl::Tick() const
{
    return m_fnTick ? m_fnTick() : RealTick();
}

void CSocketCtrl::SetTickSource(std::function<uint32_t()> fnTick)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_fnTick = std::move(fnTick);
}

bool CSocketCtrl::LostWaitOver(uint32_t dwLostTick, uint32_t t)
{
    if (dwLostTick >= LOST_REDIAL_MS)
        return t >= dwLostTick;
    // The deadline wrapped past zero: the counter has to wrap too first.
    return !(t >= 0xFFFFFED3u || t < dwLostTick);
}

EWorkerState CSocketCtrl::GetState() const
{
    return m_state;
}

void CSocketCtrl::SetState(EWorkerState state)
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

void CSocketCtrl::SetStateForTest(EWorkerState state)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_state = state;
}

COmbraPortAx& CSocketCtrl::Port() const
{
    return m_pDlg->GetPort(m_nPort);
}

int CSocketCtrl::IsServer() const
{
    return m_pDlg->m_comData.GetMode(m_nPort) == MODE_TCP_SERVER ? 1 : 0;
}

int CSocketCtrl::IsUdp() const
{
    return m_pDlg->m_comData.GetMode(m_nPort) == MODE_UDP ? 1 : 0;
}

void CSocketCtrl::Post(int nCode)
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
    m_pDlg->PostStatus(nCode, m_nPort, std::move(strReason));
}

void CSocketCtrl::NoteReason(std::string strReason)
{
    m_strReason = std::move(strReason);
}

std::string CSocketCtrl::PeerText() const
{
    return CPortRows::PeerText(m_pDlg->m_comData.GetIPAddress(m_nPort), m_pDlg->m_comData.GetPeerPort(m_nPort));
}

// ---- thread control ----

int CSocketCtrl::StartThread()
{
    if (m_pDlg == nullptr || m_thread.joinable())
        return 0;
    if (m_hWake < 0)
        m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_hWake < 0)
        return 0;
    {
        // Cleared here rather than by the new thread, so that a stop that
        // comes before the thread runs is not lost.
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        m_bStop = 0;
    }
    try
    {
        m_thread = std::thread([this] { Run(); });
    }
    catch (const std::system_error&)
    {
        return 0;
    }
    return 1;
}

int CSocketCtrl::StopThread()
{
    if (!m_thread.joinable())
        return 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        m_bStop = 1;
    }
    Wake();
    m_thread.join();
    return 0;
}

void CSocketCtrl::Wake()
{
    if (m_hWake < 0)
        return;
    const uint64_t nOne = 1;
    ssize_t n;
    do
        n = write(m_hWake, &nOne, sizeof(nOne));
    while (n < 0 && errno == EINTR);
}

int CSocketCtrl::OnPortOpen()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        m_bAppGone = 0;
        if (m_state != EWorkerState::Idle)
        {
            SetState(EWorkerState::RestartDrain);
        }
        else
        {
            m_nSSLTry = 0;
            m_bSSLRetry = 0;
            const int nMode = m_pDlg->m_comData.GetMode(m_nPort);
            if (nMode == MODE_TCP_CLIENT)
                SetState(EWorkerState::Connect);
            else if (nMode == MODE_UDP)
                SetState(EWorkerState::UdpBind);
        }
    }
    Wake();
    return 1;
}

int CSocketCtrl::OnPortClose(std::function<void()> fnIdle)
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        m_fnIdle = std::move(fnIdle);
        // Unless counted while the port was surely closed, nothing in it is
        // known to be the leaving application's.
        if (!m_bAppGone && !NoteApplicationGone(0))
            m_nLeftInPort = 0;
        m_bAppGone = 0;
        m_tDrain = Now() + DRAIN_SECONDS;
        SetState(IsUdp() ? EWorkerState::UdpDrain : EWorkerState::Drain);
    }
    Wake();
    return 1;
}

void CSocketCtrl::Run()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        if (IsServer() && m_pDlg->m_comData.GetUse(m_nPort) == 1 && m_pDlg->m_comData.GetEnable(m_nPort) == 1)
            SetState(EWorkerState::Listen);
    }
    for (;;)
    {
        {
            std::lock_guard<std::recursive_mutex> lock(m_cs);
            if (m_bStop && !IsDraining())
                break;
            RunState();
            RefreshLine();
            if (m_state == EWorkerState::Idle)
                ReportIdle();
        }
        m_nCycles.fetch_add(1, std::memory_order_relaxed);
        WaitForWork();
    }

    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (m_state != EWorkerState::Idle)
    {
        if (IsUdp())
            DoUdpClose();
        else
            DoTcpClose();
    }
    Post(STATUS_NOT_CONNECT);
    CloseSocket(m_hListen);
    RefreshLine();
    ReportIdle();
}

int CSocketCtrl::IsDraining() const
{
    return m_state == EWorkerState::Drain || m_state == EWorkerState::UdpDrain ? 1 : 0;
}

void CSocketCtrl::ReportIdle()
{
    if (!m_fnIdle)
        return;
    const std::function<void()> fnIdle = std::move(m_fnIdle);
    m_fnIdle = nullptr;
    fnIdle();
}

// ---- the states: each one's procedure and what it waits for ----

// Every state's cycle and its wait side by side: a state that acts on a
// descriptor waits for that descriptor, one with a deadline at the plain
// cycle, one with nothing pending without a limit.
struct CSocketCtrl::SStep
{
    EWorkerState state;
    void (*pfnRun)(CSocketCtrl& w);
    void (CSocketCtrl::*pfnWait)(CPollSet& wait);
};

const CSocketCtrl::SStep& CSocketCtrl::Step(EWorkerState state)
{
    using W = CSocketCtrl;
    using S = EWorkerState;
    static constexpr SStep STEPS[WORKER_STATE_COUNT] = {
        {S::Idle, [](W&) {}, &W::WaitNothing},
        {S::Connect, [](W& w) { w.DoConnect(0); }, &W::WaitResolve},
        {S::Connecting, [](W& w) { w.DoConnectWait(0); }, &W::WaitConnecting},
        {S::Data, [](W& w) { w.DoTcpData(); }, &W::WaitData},
        {S::Drain, [](W& w) { w.DoDrain(S::Close); }, &W::WaitDrain},
        {S::Close, [](W& w) { w.DoTcpClose(); }, &W::WaitResolve},
        {S::RetryWait, [](W& w) { w.DoRetryWait(); }, &W::WaitRetry},
        {S::Reconnect, [](W& w) { w.DoConnect(1); }, &W::WaitResolve},
        {S::Reconnecting, [](W& w) { w.DoConnectWait(1); }, &W::WaitConnecting},
        {S::TlsStart, [](W& w) { w.DoTlsStart(0); }, &W::WaitResolve},
        {S::TlsHandshake, [](W& w) { w.DoTlsHandshake(0); }, &W::WaitHandshake},
        {S::TlsRestart, [](W& w) { w.DoTlsStart(1); }, &W::WaitResolve},
        {S::TlsRehandshake, [](W& w) { w.DoTlsHandshake(1); }, &W::WaitHandshake},
        {S::TlsAccept, [](W& w) { w.DoTlsAccept(); }, &W::WaitHandshake},
        {S::Login, [](W& w) { w.DoLogin(); }, &W::WaitLogin},
        {S::TelnetLogin, [](W& w) { w.DoTelnetLogin(); }, &W::WaitLogin},
        {S::UdpBind, [](W& w) { w.DoUdpBind(); }, &W::WaitResolve},
        {S::UdpData, [](W& w) { w.DoUdpData(); }, &W::WaitData},
        {S::UdpDrain, [](W& w) { w.DoDrain(S::UdpClose); }, &W::WaitDrain},
        {S::UdpClose, [](W& w) { w.DoUdpClose(); }, &W::WaitResolve},
        {S::UdpRetryWait, [](W& w) { w.DoUdpRetryWait(); }, &W::WaitUdpRetry},
        {S::LostWait, [](W& w) { w.DoLostWait(); }, &W::WaitCycle},
        {S::Listen, [](W& w) { w.DoListen(); }, &W::WaitListen},
        {S::Accept, [](W& w) { w.DoAccept(); }, &W::WaitAccept},
        {S::RestartDrain, [](W& w) { w.DoDrain(S::Restart); }, &W::WaitDrain},
        {S::Restart,
         [](W& w) {
             w.DoTcpClose();
             w.SetState(S::Connect);
         },
         &W::WaitResolve},
    };
    static_assert(
        [] {
            for (int k = 0; k < WORKER_STATE_COUNT; ++k)
                if (static_cast<int>(STEPS[k].state) != k)
                    return false;
            return true;
        }(),
        "one step per state, in the order of EWorkerState");
    return STEPS[static_cast<int>(state)];
}

void CSocketCtrl::RunState()
{
    Step(m_state).pfnRun(*this);
}

void CSocketCtrl::RefreshLine()
{
    const int bConnected = (m_state == EWorkerState::Data || m_state == EWorkerState::UdpData) ? 1 : 0;
    if (bConnected != m_pDlg->m_bLineOn[m_nPort])
    {
        Port().SetLinkSignalA(bConnected);
        Port().SetLinkSignalB(bConnected);
        m_pDlg->m_bLineOn[m_nPort] = bConnected;
    }
}

// ---- the wait between cycles ----

void CSocketCtrl::BuildWait(CPollSet& wait)
{
    wait.Add(m_hWake, POLLIN);
    (this->*Step(m_state).pfnWait)(wait);
}

bool CSocketCtrl::WaitOnPty(CPollSet& wait, short nEvents)
{
    // The pty is watched only while an application holds it open: a hung-up
    // master reports ready forever.
    const int hPty = Port().GetPollHandle();
    if (hPty < 0)
        return false;
    // The last wait tells, when the pty was in it; else ask.
    const int bOpen = m_nPtySeen == PTY_UNKNOWN ? Port().IsSlaveOpen() : m_nPtySeen == PTY_OPEN;
    if (!bOpen)
        return false;
    wait.Add(hPty, nEvents);
    return true;
}

void CSocketCtrl::WaitNothing(CPollSet&)
{
}

void CSocketCtrl::WaitCycle(CPollSet& wait)
{
    // Timed waits run at the plain cycle.
    wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitResolve(CPollSet& wait)
{
    // A name being looked up is asked again at the plain cycle; else the
    // next step follows at once.
    wait.Cap(m_resolver.IsBusy() ? CYCLE_MS : 0);
}

void CSocketCtrl::WaitConnecting(CPollSet& wait)
{
    if (m_hSocket != INVALID_SOCKET)
        wait.Add(m_hSocket, POLLOUT);
    wait.Cap(CYCLE_MS);  // the connect deadline, the stop flag
}

void CSocketCtrl::WaitData(CPollSet& wait)
{
    const int nPort = m_nPort;
    const bool bUdp = m_state == EWorkerState::UdpData;
    if (m_hSocket != INVALID_SOCKET && m_tRxDrain == 0)
    {
        short nEvents = POLLRDHUP;
        // A waiting datagram that does not fit yet is left alone until
        // the ring has room for all of it.
        const int nNeed = bUdp ? std::max(m_nUdpWaiting, 1) : 1;
        if (m_rx.Space() >= nNeed && m_nUdpHeld == 0 && !ReceiveGated())
            nEvents |= POLLIN;
        if (m_tx.Count() > 0)
            nEvents |= POLLOUT;
        // Also with no events: an error or hang-up still wakes us.
        wait.Add(m_hSocket, nEvents);
    }
    else if (m_tRxDrain != 0)
    {
        wait.Cap(CYCLE_MS);
    }
    if (m_nUdpHeld > 0 && m_rx.Space() > 0)
        wait.Cap(0);
    if (m_transport.IsTls())
    {
        // Plaintext the library already holds never shows on the socket.
        if (m_transport.HasPending() && m_rx.Space() > 0 && !ReceiveGated())
            wait.Cap(0);
        // A read that needs a write (or the other way round) cannot be
        // told from the plain events above.
        if (m_nSSLWant != 0)
            wait.Cap(CYCLE_MS);
        if (m_nTlsGone != 0 && m_tRxDrain == 0)
            wait.Cap(0);
    }
    short nPty = 0;
    if (m_tx.Space() > 0)
        nPty |= POLLIN;
    if (m_rx.Count() > 0)
        nPty |= POLLOUT;
    // A server's peer may send while no application has the port open:
    // its data still goes to the pty, at the plain cycle.
    if (m_bAppGone)
    {
        // Not read until the close is handled; still delivered to.
        if (m_rx.Count() > 0)
            WaitOnPty(wait, POLLOUT);
        wait.Cap(CYCLE_MS);
    }
    else if (nPty != 0 && !WaitOnPty(wait, nPty))
    {
        // Latched until the close is handled. When the port is open
        // again already, the next cycle reads on and waits afresh.
        if (!IsServer() && Port().GetPollHandle() >= 0 && !NoteApplicationGone(1))
            wait.Cap(0);
        // Latched, or a server's peer data for a closed port: look again
        // at the plain cycle.
        if (m_bAppGone || m_rx.Count() > 0)
            wait.Cap(CYCLE_MS);
    }
    // Only while the port is still being read: a cycle that reads
    // nothing must not be repeated at once.
    if (m_tRxDrain == 0 && m_nPortPending > 0 && m_tx.Space() > 0)
        wait.Cap(0);
    // A release of the application is due once few bytes wait; the
    // throttle is set from the owner thread, so look again soon.
    const uint32_t dwFlow = m_pDlg->m_dwFlowCtrl[nPort];
    if (((dwFlow & FLOW_CTS) && m_pDlg->m_bCtsRaised[nPort] == 0) ||
        ((dwFlow & FLOW_XIN) && m_pDlg->m_bXonSent[nPort] == 0))
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitDrain(CPollSet& wait)
{
    if (m_hSocket != INVALID_SOCKET && m_tx.Count() > 0)
        wait.Add(m_hSocket, POLLOUT);
    // What the closed application left is in the port already: no need
    // to wait for it (and a hung-up pty would report ready forever).
    // The rest of what it wrote is looked for at the plain cycle.
    if (m_state != EWorkerState::RestartDrain && m_nLeftInPort > 0 && m_tx.Space() > 0)
        wait.Cap(0);
    wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitRetry(CPollSet& wait)
{
    if (!IsServer() && m_pDlg->m_options.m_bReconnect == 1)
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitUdpRetry(CPollSet& wait)
{
    if (m_pDlg->m_options.m_bReconnect == 1)
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitHandshake(CPollSet& wait)
{
    if (m_hSocket != INVALID_SOCKET)
        wait.Add(m_hSocket, m_nSSLWant != 0 ? m_nSSLWant : static_cast<short>(POLLIN | POLLOUT));
    wait.Cap(CYCLE_MS);  // the handshake deadline
}

void CSocketCtrl::WaitLogin(CPollSet& wait)
{
    if (m_hSocket != INVALID_SOCKET && m_tRxDrain == 0)
    {
        short nEvents = static_cast<short>(POLLRDHUP | (m_rx.Space() > 0 ? POLLIN : 0));
        if (m_tx.Count() > 0)
            nEvents |= POLLOUT;
        wait.Add(m_hSocket, nEvents);
    }
    wait.Cap(CYCLE_MS);  // the login timeout, prompts waiting for room
}

void CSocketCtrl::WaitListen(CPollSet& wait)
{
    // A failed listen is tried again every cycle; an entry that may not
    // listen has nothing to wait for.
    if (IsServer() && m_pDlg->m_comData.GetUse(m_nPort) == 1 && m_pDlg->m_comData.GetEnable(m_nPort) == 1)
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitAccept(CPollSet& wait)
{
    if (m_hListen != INVALID_SOCKET)
        wait.Add(m_hListen, POLLIN);
    else
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitForWork()
{
    CPollSet wait;
    unsigned nKeptBefore;
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        if (m_bStop && !IsDraining())
            return;
        BuildWait(wait);
        nKeptBefore = m_nKeptSessions;
    }
    struct pollfd* fds = wait.GetFds();
    const int nCount = wait.GetCount();
    // Also with no time to wait: the readiness it reports spares the next
    // cycle some calls (the peer check, the pty's hang-up test).
    const int nReady = poll(fds, static_cast<nfds_t>(nCount), wait.GetTimeout());
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_bSocketQuiet = 0;
    m_nPtySeen = PTY_UNKNOWN;
    if (nReady < 0)
        return;
    if (fds[0].revents & POLLIN)
    {
        uint64_t nValue;
        while (read(m_hWake, &nValue, sizeof(nValue)) > 0)
        {
        }
    }
    for (int k = 1; k < nCount; ++k)
    {
        const short nBad = fds[k].revents & (POLLHUP | POLLERR | POLLNVAL);
        if (fds[k].fd == m_hSocket)
            m_bSocketQuiet = (nBad == 0 && (fds[k].revents & POLLRDHUP) == 0) ? 1 : 0;
        else if (fds[k].fd == Port().GetPollHandle() && nKeptBefore == m_nKeptSessions)
            m_nPtySeen = nBad != 0 ? PTY_HUNG : PTY_OPEN;
    }
}

socklen_t CSocketCtrl::AnyAddress(int nFamily, int nPort, struct sockaddr_storage* pAddr)
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

// ---- TCP client ----

int CSocketCtrl::SetKeepAlive(int hSocket)
{
    if (m_pDlg->m_comData.GetKeepAlive(m_nPort) != 1)
    {
        int nOff = 0;
        return setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOff, sizeof(nOff)) == 0 ? 1 : 0;
    }
    int nOn = 1;
    int nIdle = MillisecondsToKeepAliveSeconds(m_pDlg->m_options.m_nKeepAliveTime);
    int nInterval = MillisecondsToKeepAliveSeconds(m_pDlg->m_options.m_nKeepAliveInterval);
    int nProbes = KEEPALIVE_PROBES;
    if (setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof(nOn)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPIDLE, &nIdle, sizeof(nIdle)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPINTVL, &nInterval, sizeof(nInterval)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPCNT, &nProbes, sizeof(nProbes)) != 0)
        return 0;
    return 1;
}

void CSocketCtrl::FailToRetry(int nCode)
{
    CloseSocket(m_hSocket);
    m_tRetry = Now() + m_pDlg->m_options.m_nReconnectTime;
    SetState(EWorkerState::RetryWait);
    Post(m_bSSLRetry == 1 ? STATUS_SSL_ERROR : nCode);
}

int CSocketCtrl::ResolvePeer(int nSockType)
{
    // A name is looked up without blocking this worker: it looks again
    // every cycle, within the Connection Timeout.
    if (!m_resolver.IsBusy())
    {
        m_resolver.Start(m_pDlg->m_comData.GetIPAddress(m_nPort), m_pDlg->m_comData.GetPeerPort(m_nPort), nSockType);
        m_tResolve = Now() + m_pDlg->m_options.m_nConnectTimeout;
    }
    std::string strError;
    const int nResult = m_resolver.Poll(&strError);
    if (nResult == CResolver::RESOLVE_BUSY && Now() >= m_tResolve)
    {
        m_resolver.Cancel();
        NoteReason("resolve " + m_pDlg->m_comData.GetIPAddress(m_nPort) + ": no answer within " +
                   std::to_string(m_pDlg->m_options.m_nConnectTimeout) + " s");
        return CResolver::RESOLVE_FAILED;
    }
    if (nResult == CResolver::RESOLVE_FAILED)
        NoteReason(strError);
    return nResult;
}

void CSocketCtrl::DoConnect(int bReconnect)
{
    const int nResolve = ResolvePeer(SOCK_STREAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        // Like a refused connect.
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    m_hSocket = socket(m_resolver.GetFamily(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0)
    {
        m_hSocket = INVALID_SOCKET;
        NoteReason(CErrorText::Errno("socket", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    if (!SetKeepAlive(m_hSocket))
    {
        NoteReason(CErrorText::Errno("keep-alive", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    int nResult;
    do
        nResult = connect(m_hSocket, m_resolver.GetAddress(), m_resolver.GetLength());
    while (nResult != 0 && errno == EINTR);
    if (nResult == 0)
    {
        OnConnected(bReconnect);
        return;
    }
    if (errno == EINPROGRESS || errno == EAGAIN)
    {
        m_tConnect = Now() + m_pDlg->m_options.m_nConnectTimeout;
        SetState(bReconnect ? EWorkerState::Reconnecting : EWorkerState::Connecting);
        return;
    }
    NoteReason(CErrorText::Errno("connect " + PeerText(), errno));
    FailToRetry(STATUS_CONNECT_ERROR);
}

void CSocketCtrl::DoConnectWait(int bReconnect)
{
    if (Now() >= m_tConnect)
    {
        NoteReason("connect " + PeerText() + ": no answer within " +
                   std::to_string(m_pDlg->m_options.m_nConnectTimeout) + " s");
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        if (m_bStop)
        {
            CloseSocket(m_hSocket);
            SetState(EWorkerState::Idle);
            return;
        }
    }
    struct pollfd p = {m_hSocket, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
        return;
    // Writable also means "failed": only a clear SO_ERROR is a connection.
    int nError = 0;
    socklen_t nLen = sizeof(nError);
    if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0)
    {
        NoteReason(CErrorText::Errno("connect " + PeerText(), nError != 0 ? nError : errno));
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    OnConnected(bReconnect);
}

void CSocketCtrl::OnConnected(int bReconnect)
{
    if (m_pDlg->m_comData.GetSSL(m_nPort) == 1)
    {
        m_tRetry = 0;
        SetState(bReconnect ? EWorkerState::TlsRestart : EWorkerState::TlsStart);
        return;
    }
    if (!AllocRings())
    {
        NoteReason("no memory for the connection's buffers");
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    m_transport.OpenPlain(m_hSocket);
    Post(bReconnect ? STATUS_RECONNECTED : STATUS_CONNECTED);
    SetState(EWorkerState::Data);
    m_tRxDrain = 0;
    if (IsTelnet())
    {
        m_telnet.Init(0);
        m_telnet.PutNegotiation(m_tx);
    }
    m_tRetry = 0;
}

void CSocketCtrl::DoRetryWait()
{
    if (IsServer() || m_pDlg->m_options.m_bReconnect != 1)
        return;
    if (Now() > m_tRetry)
    {
        m_nSSLTry = 0;
        m_bSSLRetry = 0;
        SetState(EWorkerState::Reconnect);
        Post(STATUS_CONNECTING);
    }
}

void CSocketCtrl::DoLostWait()
{
    if (!LostWaitOver(m_dwLostTick, Tick()))
        return;
    m_nSSLTry = 0;
    m_bSSLRetry = 0;
    SetState(EWorkerState::Reconnect);
    Post(STATUS_CONNECTING);
}

// ---- data path ----

void CSocketCtrl::DoTcpData()
{
    if (!PeerCheck())
        return;
    NoteHangUp();
    // The port is read first and the network delivered last, so a byte
    // crosses in one cycle instead of waiting for the next.
    if (m_tRxDrain == 0)
    {
        if (!m_bAppGone)
            ReadPort();
        SendTcp();
        if (!ReceiveGated())
            ReceiveTcp();
    }
    Deliver();
}

int CSocketCtrl::PeerCheck()
{
    int nGone = 0;  // 1 closed by the peer, 2 failed
    // The last wait saw neither a hang-up nor an error nor the peer's end of
    // stream: the peek could only say "alive".
    if (m_tRxDrain == 0 && m_bSocketQuiet && m_nTlsGone == 0)
        return 1;
    if (m_tRxDrain == 0)
    {
        unsigned char ch;
        ssize_t n = recv(m_hSocket, &ch, 1, MSG_PEEK | MSG_DONTWAIT);
        const int bAlive = n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
        if (bAlive && m_nTlsGone == 0)
            return 1;
        nGone = bAlive ? m_nTlsGone : (n == 0 ? 1 : 2);
        // What was received before the peer went is still handed on, for
        // at most the drain time; only then is the connection given up.
        if (m_rx.Count() > 0)
        {
            m_tRxDrain = Now() + DRAIN_SECONDS;
            m_nRxGone = nGone;
            return 1;
        }
    }
    else
    {
        if (m_rx.Count() > 0 && Now() <= m_tRxDrain)
            return 1;
        nGone = m_nRxGone;
        m_tRxDrain = 0;
    }

    if (nGone == 1 && IsServer())
    {
        SetState(EWorkerState::Close);
        Post(STATUS_NOT_CONNECT);
        return 0;
    }
    CloseConnection();
    if (IsServer())
    {
        m_pDlg->PostPeer("----------", m_nPort);
        SetState(EWorkerState::Close);
        Post(STATUS_NOT_CONNECT);
        return 0;
    }
    if (m_pDlg->m_options.m_bReconnect == 1)
    {
        m_dwLostTick = Tick() + LOST_REDIAL_MS;
        SetState(EWorkerState::LostWait);
    }
    else
    {
        SetState(EWorkerState::RetryWait);
    }
    if (m_strReason.empty())
        NoteReason("connection to " + PeerText() + (nGone == 1 ? " closed by the peer" : " lost"));
    Post(STATUS_CONNECT_ERROR);
    return 0;
}

void CSocketCtrl::Deliver()
{
    if (!m_rx.IsAllocated() || m_rx.Count() == 0)
        return;
    unsigned char buf[BLOCK_SIZE];
    const int n = m_rx.Peek(buf, BLOCK_SIZE);
    const long nTaken = Port().WriteData(buf, n);
    if (nTaken > 0)
        m_rx.Consume(static_cast<int>(nTaken));
}

int CSocketCtrl::ReceiveGated() const
{
    const int i = m_nPort;
    const uint32_t dwFlow = m_pDlg->m_dwFlowCtrl[i];
    return ((dwFlow & FLOW_RTS) && m_pDlg->m_bRtsLine[i] == 0) || ((dwFlow & FLOW_DTR) && m_pDlg->m_bDtrLine[i] == 0) ||
           ((dwFlow & FLOW_XOUT) && m_pDlg->m_bXonState[i] == 0);
}

int CSocketCtrl::ReceiveTcp()
{
    if (!m_rx.IsAllocated())
        return 0;
    const int nFree = m_rx.Space();
    if (nFree <= 0)
        return 0;
    unsigned char buf[BLOCK_SIZE];
    ETransportIo io;
    std::string strReason;
    const int n = m_transport.Receive(buf, nFree < BLOCK_SIZE ? nFree : BLOCK_SIZE, &io, &strReason);
    if (n <= 0)
    {
        switch (io)
        {
        case ETransportIo::WantRead: m_nSSLWant = 0; break;
        case ETransportIo::WantWrite: m_nSSLWant = POLLOUT; break;
        case ETransportIo::Closed: m_nTlsGone = 1; break;
        case ETransportIo::Failed:
            m_nTlsGone = 2;
            NoteReason(strReason);
            break;
        default: break;
        }
        return 0;
    }
    m_nSSLWant = 0;
    int nData = n;
    if (IsTelnet())
    {
        m_telnet.Filter(buf, nData);
        // Answer at once: nothing else may wake the worker for it.
        if (m_state == EWorkerState::Data)
            m_telnet.PutNegotiation(m_tx);
    }
    m_rx.Put(buf, nData);
    return n;
}

void CSocketCtrl::SendTcp()
{
    if (!m_tx.IsAllocated() || m_tx.Count() == 0 || m_hSocket == INVALID_SOCKET)
        return;
    unsigned char buf[BLOCK_SIZE];
    const int n = m_tx.Peek(buf, BLOCK_SIZE);
    ETransportIo io;
    std::string strReason;
    const int nSent = m_transport.Send(buf, n, &io, &strReason);
    if (nSent > 0)
    {
        m_tx.Consume(nSent);
        return;
    }
    switch (io)
    {
    case ETransportIo::WantRead: m_nSSLWant = POLLIN; break;
    case ETransportIo::Closed:
    case ETransportIo::Failed:
        m_nTlsGone = 2;
        m_bSendFailed = 1;
        NoteReason(strReason);
        break;
    case ETransportIo::Broken: m_bSendFailed = 1; break;
    default: break;
    }
}

long CSocketCtrl::ReadPort(long nMost)
{
    if (!m_tx.IsAllocated())
        return 0;
    const int i = m_nPort;
    COmbraPortAx& port = Port();
    const int bTelnet = IsTelnet();
    if (bTelnet && m_state == EWorkerState::Data)
        m_telnet.PutNegotiation(m_tx);
    long n = port.BytesToRead();
    m_nPortPending = n;
    const uint32_t dwFlow = m_pDlg->m_dwFlowCtrl[i];
    if ((dwFlow & FLOW_CTS) && m_pDlg->m_bCtsRaised[i] == 0 && n < RELEASE_LEVEL)
    {
        port.SetCTS(1);
        m_pDlg->m_bCtsRaised[i] = 1;
    }
    if ((dwFlow & FLOW_XIN) && m_pDlg->m_bXonSent[i] == 0 && n < RELEASE_LEVEL)
    {
        const unsigned char chXon = m_pDlg->m_chXon[i];
        if (port.WriteData(&chXon, 1) == 1)
            m_pDlg->m_bXonSent[i] = 1;
    }
    if (n <= 0)
        return 0;
    // On a Telnet port every data byte 255 goes out doubled: read no more
    // than fits even if all of them are.
    const long nFree = bTelnet ? (m_tx.Space()) / 2 : m_tx.Space();
    n = std::min({n, nFree, nMost, static_cast<long>(BLOCK_SIZE)});
    if (n < 1)
        return 0;
    unsigned char buf[BLOCK_SIZE];
    const long nRead = port.ReadData(buf, n);
    if (nRead <= 0)
    {
        // Counted but not readable: leave it to the port's readiness.
        m_nPortPending = 0;
        return 0;
    }
    m_nPortPending -= nRead;
    int nData = static_cast<int>(nRead);
    if (dwFlow & FLOW_XOUT)
    {
        const unsigned char chXon = m_pDlg->m_chXon[i];
        const unsigned char chXoff = m_pDlg->m_chXoff[i];
        int nKept = 0;
        for (int k = 0; k < nData; ++k)
        {
            if (buf[k] == chXon)
                m_pDlg->m_bXonState[i] = 1;
            else if (buf[k] == chXoff)
                m_pDlg->m_bXonState[i] = 0;
            else
                buf[nKept++] = buf[k];
        }
        nData = nKept;
    }
    if (!bTelnet)
    {
        m_tx.Put(buf, nData);
        return nRead;
    }
    unsigned char escaped[2 * BLOCK_SIZE];
    const int nEscaped = CTelnetCtrl::EscapeIac(buf, nData, escaped, sizeof(escaped), nullptr);
    m_tx.Put(escaped, nEscaped);
    return nRead;
}

void CSocketCtrl::DoDrain(EWorkerState nextState)
{
    if (Now() > m_tDrain || m_bSendFailed)
    {
        SetState(nextState);
        return;
    }
    // What the application wrote just before it closed still goes out. The
    // bytes counted at its close are surely its own; what was still on its
    // way through the pty then is taken only while no other application
    // has the port open, as from then on it may be that one's.
    if (nextState != EWorkerState::Restart && m_tx.IsAllocated() && m_hSocket != INVALID_SOCKET)
    {
        if (m_nLeftInPort > 0)
            m_nLeftInPort -= ReadPort(m_nLeftInPort);
        else if (Port().IsSlaveOpen() == 0)
            ReadPort();
    }
    if (m_tx.Count() == 0)
    {
        SetState(nextState);
        return;
    }
    if (nextState == EWorkerState::UdpClose)
        SendUdp();
    else
        SendTcp();
}

void CSocketCtrl::CloseConnection()
{
    m_resolver.Cancel();
    FreeTls();
    if (m_hSocket != INVALID_SOCKET)
    {
        shutdown(m_hSocket, SHUT_RDWR);
        CloseSocket(m_hSocket);
    }
    FreeRings();
}

void CSocketCtrl::DoTcpClose()
{
    if (m_state == EWorkerState::Idle)
        return;
    CloseConnection();
    m_tRxDrain = 0;
    if (IsServer())
    {
        m_pDlg->PostPeer("----------", m_nPort);
        SetState(EWorkerState::Listen);
    }
    else
    {
        SetState(EWorkerState::Idle);
    }
    Post(STATUS_NOT_CONNECT);
}

// ---- TLS ----

void CSocketCtrl::FreeTls()
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

void CSocketCtrl::DoTlsStart(int bReconnect)
{
    // Attempt 0 negotiates the best version both sides have; the fallbacks
    // offer one older version each, where the library still has it.
    m_pSSL = NewTlsClientSession(m_nSSLTry, m_hSocket);
    SetState(bReconnect ? EWorkerState::TlsRehandshake : EWorkerState::TlsHandshake);
    m_tHandshake = Now() + 10;
    m_nSSLWant = 0;
    if (m_nSSLTry == 0)
        Post(STATUS_SSL_CONNECTING);
}

void CSocketCtrl::DoTlsHandshake(int bReconnect)
{
    auto giveUp = [this] {
        FreeTls();
        CloseSocket(m_hSocket);
        SetState(EWorkerState::RetryWait);
        m_tRetry = Now() + m_pDlg->m_options.m_nReconnectTime;
        Post(STATUS_SSL_ERROR);
    };
    if (Now() >= m_tHandshake)
    {
        NoteReason("TLS handshake with " + PeerText() + ": no answer within 10 s");
        giveUp();
        return;
    }
    const std::string strWhat = "TLS handshake with " + PeerText();
    if (m_pSSL == nullptr)
    {
        // No session: a version the library lacks counts as rejected.
        if (m_strReason.empty())
            NoteReason(strWhat + ": this TLS library does not offer the version tried");
    }
    else
    {
        ERR_clear_error();
        const int nResult = SSL_connect(m_pSSL);
        if (nResult > 0)
        {
            OnSecured(0, bReconnect);
            return;
        }
        std::string strReason;
        const int nTls = CErrorText::Tls(m_pSSL, nResult, strWhat, &strReason);
        if (nTls == CErrorText::TLS_WANT_READ || nTls == CErrorText::TLS_WANT_WRITE)
        {
            m_nSSLWant = nTls == CErrorText::TLS_WANT_READ ? POLLIN : POLLOUT;
            return;
        }
        // A fallback that fails too keeps the first attempt's reason: the
        // versions tried later are older and seldom tell more.
        if (m_nSSLTry == 0 || m_strReason.empty())
            NoteReason(strReason);
    }
    if (m_nSSLTry < 2)
    {
        FreeTls();
        CloseSocket(m_hSocket);
        ++m_nSSLTry;
        m_bSSLRetry = 1;
        SetState(bReconnect ? EWorkerState::Reconnect : EWorkerState::Connect);
        return;
    }
    giveUp();
}

void CSocketCtrl::StartTlsServer()
{
    // First, so that a reason noted below is kept for the failure.
    Post(STATUS_SSL_CONNECTING);
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx != nullptr)
        m_pSSL = SSL_new(pCtx);
    if (m_pSSL != nullptr)
    {
        SSL_set_fd(m_pSSL, m_hSocket);
        SSL_set_accept_state(m_pSSL);
        SSL_set_mode(m_pSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Read at every connection; a missing or unusable file makes the
        // handshake fail, and says so.
        for (const std::string* pFile : {&m_strPublicKey, &m_strPrivateKey})
            if (access(pFile->c_str(), R_OK) != 0 && m_strReason.empty())
                NoteReason(CErrorText::Errno(*pFile, errno));
        ERR_clear_error();
        if (SSL_use_certificate_file(m_pSSL, m_strPublicKey.c_str(), SSL_FILETYPE_PEM) != 1 && m_strReason.empty())
            NoteReason(m_strPublicKey + ": not a PEM certificate");
        if (SSL_use_PrivateKey_file(m_pSSL, m_strPrivateKey.c_str(), SSL_FILETYPE_PEM) != 1 && m_strReason.empty())
            NoteReason(m_strPrivateKey + ": not a PEM private key");
        ERR_clear_error();
    }
    SetState(EWorkerState::TlsAccept);
    SSL_CTX_free(pCtx);
    m_nSSLWant = 0;
    m_tHandshake = Now() + 10;
}

void CSocketCtrl::DoTlsAccept()
{
    if (Now() >= m_tHandshake || m_pSSL == nullptr)
    {
        if (m_strReason.empty())
            NoteReason(m_pSSL == nullptr ? "TLS: no session could be made" : "TLS handshake: no answer within 10 s");
        SetState(EWorkerState::Close);
        return;
    }
    ERR_clear_error();
    const int nResult = SSL_accept(m_pSSL);
    if (nResult > 0)
    {
        m_strReason.clear();
        OnSecured(1, 0);
        return;
    }
    std::string strReason;
    const int nTls = CErrorText::Tls(m_pSSL, nResult, "TLS handshake", &strReason);
    if (nTls == CErrorText::TLS_WANT_READ || nTls == CErrorText::TLS_WANT_WRITE)
    {
        m_nSSLWant = nTls == CErrorText::TLS_WANT_READ ? POLLIN : POLLOUT;
        return;
    }
    // A missing key file explains the failure better than the handshake.
    if (m_strReason.empty())
        NoteReason(strReason);
    SetState(EWorkerState::Close);
}

void CSocketCtrl::OnSecured(int bServer, int bReconnect)
{
    m_nSSLWant = 0;
    if (!AllocRings())
    {
        if (bServer)
        {
            Post(STATUS_CREATE_ERROR);
            SetState(EWorkerState::Close);
        }
        else
        {
            FreeTls();
            FailToRetry(STATUS_CREATE_ERROR);
        }
        return;
    }
    m_transport.OpenTls(m_hSocket, m_pSSL);
    m_tRxDrain = 0;
    if (bServer)
    {
        StartDialogue(0);
        return;
    }
    Post(bReconnect ? STATUS_RECONNECTED : STATUS_CONNECTED);
    SetState(EWorkerState::Data);
    if (IsTelnet())
    {
        m_telnet.Init(0);
        m_telnet.PutNegotiation(m_tx);
    }
}

// ---- login and Telnet services ----

int CSocketCtrl::IsTelnet() const
{
    return m_pDlg->m_comData.GetConnectType(m_nPort) == CONNECT_TELNET && !IsUdp() ? 1 : 0;
}

void CSocketCtrl::StartDialogue(int bPostConnected)
{
    const int nType = m_pDlg->m_comData.GetConnectType(m_nPort);
    if (bPostConnected || nType == CONNECT_RAW)
        Post(STATUS_CONNECTED);
    if (nType == CONNECT_TELNET)
    {
        m_telnet.Init(1);
        m_telnet.SetLogin(m_pDlg->m_options.m_strUser, m_pDlg->m_options.m_strPassword);
        Post(STATUS_LOGIN_PROCESS);
        m_nTelnetStep = 0;
        m_tLogin = Now() + m_pDlg->m_options.m_nLoginTimeout;
        SetState(EWorkerState::TelnetLogin);
    }
    else if (nType == CONNECT_SECURE)
    {
        m_login.Reset();
        m_login.SetLogin(m_pDlg->m_options.m_strUser, m_pDlg->m_options.m_strPassword);
        Post(STATUS_LOGIN_PROCESS);
        m_nLoginStep = 1;
        SetState(EWorkerState::Login);
    }
    else
    {
        SetState(EWorkerState::Data);
    }
}

void CSocketCtrl::GiveUpLogin(std::string strReason)
{
    NoteReason(std::move(strReason));
    // The last text still reaches the peer: drain, close, listen again.
    m_tDrain = Now() + DRAIN_SECONDS;
    SetState(EWorkerState::Drain);
}

void CSocketCtrl::RunLoginStep(int& nStep, int bTelnet)
{
    CLoginCtrl& login = bTelnet ? m_telnet.m_login : m_login;
    const int64_t tNow = Now();
    switch (nStep)
    {
    case 1:
    {
        const int bBanner = bTelnet ? m_telnet.PutBanner(m_tx)
                                    : login.PutBanner(m_tx);
        if (!bBanner)
            break;
        if (login.PutLoginPrompt(m_tx))
        {
            m_tLogin = tNow + m_pDlg->m_options.m_nLoginTimeout;
            nStep = 3;
        }
        else
        {
            nStep = 2;
        }
        break;
    }
    case 2:
        if (login.PutLoginPrompt(m_tx))
        {
            m_tLogin = tNow + m_pDlg->m_options.m_nLoginTimeout;
            nStep = 3;
        }
        break;
    case 3:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_rx.Count() > 0)
        {
            const int bDone = login.ReadUser(m_rx);
            m_tLogin = tNow + m_pDlg->m_options.m_nLoginTimeout;
            if (bDone)
                nStep = 4;
        }
        break;
    case 4:
        if (login.PutPasswordPrompt(m_tx))
            nStep = 5;
        break;
    case 5:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_rx.Count() > 0)
        {
            const int nResult = login.ReadPassword(m_rx);
            m_tLogin = tNow + m_pDlg->m_options.m_nLoginTimeout;
            if (nResult == 1)
            {
                Post(STATUS_CONNECTED);
                SetState(EWorkerState::Data);
            }
            else if (nResult == 2)
            {
                nStep = 6;
            }
        }
        break;
    case 6:
        if (login.PutIncorrect(m_tx))
        {
            if (login.m_nTries < static_cast<uint32_t>(m_pDlg->m_options.m_nLoginChallenge))
                nStep = 2;
            else
                GiveUpLogin("login incorrect (" + std::to_string(login.m_nTries) + " attempts)");
        }
        break;
    case 7:
        if (login.PutTimeout(m_tx))
            GiveUpLogin("login timeout: " + std::to_string(m_pDlg->m_options.m_nLoginTimeout) + " s of silence");
        break;
    default:
        break;
    }
}

void CSocketCtrl::DoLogin()
{
    if (!PeerCheck())
        return;
    // The application sees nothing of the dialogue.
    ReceiveTcp();
    SendTcp();
    RunLoginStep(m_nLoginStep, 0);
}

void CSocketCtrl::DoTelnetLogin()
{
    if (!PeerCheck())
        return;
    m_telnet.PutNegotiation(m_tx);
    const int nReceived = ReceiveTcp();
    SendTcp();
    if (m_nTelnetStep == 0)
    {
        // Until the peer has answered every request, Login Timeout is the
        // longest silence allowed, as later in the login: an idle
        // connection would otherwise hold the port, which serves one peer
        // at a time, for good.
        if (nReceived > 0)
            m_tLogin = Now() + m_pDlg->m_options.m_nLoginTimeout;
        if (m_telnet.IsNegotiated())
        {
            m_nTelnetStep = 1;
            return;
        }
        if (Now() <= m_tLogin)
            return;
        m_nTelnetStep = 7;
    }
    RunLoginStep(m_nTelnetStep, 1);
}

// ---- TCP server ----

void CSocketCtrl::DoListen()
{
    const CCOMData& data = m_pDlg->m_comData;
    if (data.GetUse(m_nPort) != 1 || data.GetEnable(m_nPort) != 1 || data.GetMode(m_nPort) != MODE_TCP_SERVER)
        return;
    // Both IPv4 and IPv6 peers, on one socket where the system has IPv6.
    int nFamily = AF_INET6;
    m_hListen = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_hListen < 0 && errno == EAFNOSUPPORT)
    {
        nFamily = AF_INET;
        m_hListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (m_hListen < 0)
    {
        m_hListen = INVALID_SOCKET;
        NoteReason(CErrorText::Errno("socket", errno));
        Post(STATUS_CREATE_ERROR);
        return;
    }
    // Without it the port could not be listened on again while the last
    // connection lingers in TIME_WAIT; a port another program listens on
    // still fails.
    int nOn = 1;
    setsockopt(m_hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    struct sockaddr_storage addr;
    const socklen_t nLength = AnyAddress(nFamily, data.GetLocPort(m_nPort), &addr);
    if (nFamily == AF_INET6)
    {
        int nOff = 0;
        setsockopt(m_hListen, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof(nOff));
    }
    const std::string strLocal = "0.0.0.0:" + std::to_string(data.GetLocPort(m_nPort));
    const char* pszFailed = bind(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0 ? "bind "
                            : listen(m_hListen, 0) != 0                                                  ? "listen "
                            : !SetKeepAlive(m_hListen)                                                   ? "keep-alive "
                                                                                                         : nullptr;
    if (pszFailed != nullptr)
    {
        NoteReason(CErrorText::Errno(pszFailed + strLocal, errno));
        CloseSocket(m_hListen);
        Post(STATUS_CREATE_ERROR);
        return;
    }
    ReportLocalPort(m_hListen);
    SetState(EWorkerState::Accept);
}

void CSocketCtrl::ReportLocalPort(int hSocket)
{
    // Port 0 asks the system for one: show which it gave.
    if (m_pDlg->m_comData.GetLocPort(m_nPort) != 0)
        return;
    struct sockaddr_storage addr;
    socklen_t nLen = sizeof(addr);
    if (getsockname(hSocket, reinterpret_cast<struct sockaddr*>(&addr), &nLen) != 0)
        return;
    const uint16_t nNetPort = addr.ss_family == AF_INET6 ? reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port
                                                          : reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port;
    m_pDlg->PostReport(STATUS_LOCAL, m_nPort, std::to_string(ntohs(nNetPort)));
}

void CSocketCtrl::DoAccept()
{
    if (m_hListen == INVALID_SOCKET)
    {
        SetState(EWorkerState::Listen);
        return;
    }
    struct sockaddr_storage addr;
    socklen_t nLen = sizeof(addr);
    // The options of the listening socket (keep-alive) carry over; the
    // non-blocking mode does not on Linux, hence the flag.
    const int hNew = accept4(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), &nLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (hNew < 0)
        return;
    if (m_hSocket != INVALID_SOCKET)
    {
        shutdown(hNew, SHUT_RDWR);
        close(hNew);
        return;
    }
    m_pDlg->PostPeer(CResolver::AddressText(reinterpret_cast<struct sockaddr*>(&addr)), m_nPort);
    m_hSocket = hNew;
    // One peer at a time: while it is connected, others are refused. Closed
    // before the reports go out, so "Connected" never shows while a second
    // peer could still get in.
    CloseSocket(m_hListen);
    OnAccepted();
}

void CSocketCtrl::OnAccepted()
{
    if (m_pDlg->m_comData.GetSSL(m_nPort) == 1)
    {
        StartTlsServer();
        return;
    }
    if (!AllocRings())
    {
        // Like a socket that cannot be made: drop the peer, listen again.
        Post(STATUS_CREATE_ERROR);
        SetState(EWorkerState::Close);
        return;
    }
    m_transport.OpenPlain(m_hSocket);
    m_tRxDrain = 0;
    StartDialogue(1);
}

// ---- UDP ----

void CSocketCtrl::DoUdpBind()
{
    auto fail = [this](std::string strReason) {
        NoteReason(std::move(strReason));
        CloseSocket(m_hSocket);
        m_tRetry = Now() + m_pDlg->m_options.m_nReconnectTime;
        SetState(EWorkerState::UdpRetryWait);
        Post(STATUS_UDP_ERROR);
    };
    const int nResolve = ResolvePeer(SOCK_DGRAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        fail(m_strReason);
        return;
    }
    // The peer's address for every datagram; the socket is of its family.
    memcpy(&m_udpPeer, m_resolver.GetAddress(), m_resolver.GetLength());
    m_nUdpPeerLength = m_resolver.GetLength();
    m_hSocket = socket(m_udpPeer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0)
    {
        m_hSocket = INVALID_SOCKET;
        fail(CErrorText::Errno("socket", errno));
        return;
    }
    if (m_pDlg->m_comData.GetIPAddress(m_nPort).find("255") != std::string::npos)
    {
        int nOn = 1;
        setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof(nOn));
    }
    struct sockaddr_storage addr;
    const socklen_t nLength = AnyAddress(m_udpPeer.ss_family, m_pDlg->m_comData.GetLocPort(m_nPort), &addr);
    if (bind(m_hSocket, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0)
    {
        fail(CErrorText::Errno("bind 0.0.0.0:" + std::to_string(m_pDlg->m_comData.GetLocPort(m_nPort)), errno));
        return;
    }
    if (!AllocRings())
    {
        fail("no memory for the connection's buffers");
        return;
    }
    ReportLocalPort(m_hSocket);
    m_nUdpWaiting = 0;
    SetState(EWorkerState::UdpData);
    Post(STATUS_UDP_STARTED);
}

void CSocketCtrl::DoUdpData()
{
    // In the order of the TCP pump: one cycle carries a byte across.
    NoteHangUp();
    if (!m_bAppGone)
        ReadPort();
    SendUdp();
    if (!ReceiveGated())
        ReceiveUdp();
    Deliver();
}

void CSocketCtrl::MoveHeldDatagram()
{
    const int n = std::min(m_nUdpHeld, m_rx.Space());
    if (n <= 0)
        return;
    m_rx.Put(m_pUdpHeld + m_nUdpHeldOut, n);
    m_nUdpHeldOut += n;
    m_nUdpHeld -= n;
    if (m_nUdpHeld == 0)
        FreeHeldDatagram();
}

void CSocketCtrl::FreeHeldDatagram()
{
    delete[] m_pUdpHeld;
    m_pUdpHeld = nullptr;
    m_nUdpHeld = 0;
    m_nUdpHeldOut = 0;
}

void CSocketCtrl::ReceiveUdp()
{
    if (!m_rx.IsAllocated())
        return;
    if (m_nUdpHeld > 0)
    {
        MoveHeldDatagram();
        return;
    }
    const int nFree = m_rx.Space();
    if (nFree <= 0)
        return;
    // Look at the size first: a datagram is taken only whole.
    unsigned char ch;
    const ssize_t nSize = recv(m_hSocket, &ch, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (nSize < 0)
        return;
    if (nSize > RING_SIZE)
    {
        // Larger than the whole ring: hold it and hand it on in parts.
        m_pUdpHeld = new (std::nothrow) unsigned char[static_cast<size_t>(nSize)];
        if (m_pUdpHeld == nullptr)
            return;
        const ssize_t n = recvfrom(m_hSocket, m_pUdpHeld, static_cast<size_t>(nSize), MSG_DONTWAIT, nullptr, nullptr);
        if (n <= 0)
        {
            FreeHeldDatagram();
            return;
        }
        m_nUdpHeld = static_cast<int>(n);
        m_nUdpWaiting = 0;
        MoveHeldDatagram();
        return;
    }
    if (nSize > nFree)
    {
        m_nUdpWaiting = static_cast<int>(nSize);
        return;
    }
    unsigned char buf[RING_SIZE];
    struct sockaddr_storage from;
    socklen_t nLen = sizeof(from);
    // Datagrams from any sender are taken, not only the peer's.
    const ssize_t n =
        recvfrom(m_hSocket, buf, static_cast<size_t>(nFree), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &nLen);
    m_nUdpWaiting = 0;
    if (n <= 0)
        return;
    m_rx.Put(buf, static_cast<int>(n));
}

void CSocketCtrl::SendUdp()
{
    if (!m_tx.IsAllocated() || m_tx.Count() == 0 || m_hSocket == INVALID_SOCKET)
        return;
    unsigned char buf[BLOCK_SIZE];
    const int n = m_tx.Peek(buf, BLOCK_SIZE);
    const ssize_t nSent = sendto(m_hSocket, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL,
                                 reinterpret_cast<struct sockaddr*>(&m_udpPeer), m_nUdpPeerLength);
    if (nSent > 0)
        m_tx.Consume(static_cast<int>(nSent));
}

void CSocketCtrl::DoUdpClose()
{
    if (m_state == EWorkerState::Idle)
        return;
    m_resolver.Cancel();
    if (m_hSocket != INVALID_SOCKET)
    {
        shutdown(m_hSocket, SHUT_RDWR);
        CloseSocket(m_hSocket);
    }
    FreeRings();
    SetState(EWorkerState::Idle);
    Post(STATUS_NOT_CONNECT);
}

void CSocketCtrl::DoUdpRetryWait()
{
    if (m_pDlg->m_options.m_bReconnect == 1 && Now() > m_tRetry)
        SetState(EWorkerState::UdpBind);
}

void CSocketCtrl::NoteHangUp()
{
    // The wait before this cycle saw the application hang up: whatever the
    // port holds from now on may be the next one's, so it is not read until
    // the close is handled. Opened again already: the reads go on, and so
    // will the session.
    if (!m_bAppGone && m_nPtySeen == PTY_HUNG && !IsServer())
    {
        NoteApplicationGone(1);
    }
}

int CSocketCtrl::NoteApplicationGone(int bTellWatcher)
{
    // Counted between two looks that both find the port closed, so that no
    // byte of a next application can be among them.
    COmbraPortAx& port = Port();
    if (port.IsSlaveOpen())
        return 0;
    const long nLeft = port.BytesToRead();
    if (port.IsSlaveOpen())
        return 0;
    m_nLeftInPort = nLeft;
    // From the worker: the watcher may have been too late to see this close.
    if (!m_bAppGone && bTellWatcher)
        port.ReportHangUp();
    m_bAppGone = 1;
    return 1;
}

int CSocketCtrl::SawApplicationGo()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_bAppGone;
}

int CSocketCtrl::KeepSessionForReopen()
{
    // Under the worker's lock, so that it cannot latch the hang-up between
    // the look at the port and the decision.
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (m_state == EWorkerState::Idle || m_bAppGone || NoteApplicationGone(0))
        return 0;
    ++m_nKeptSessions;
    m_nPtySeen = PTY_UNKNOWN;
    return 1;
}

int CSocketCtrl::GetSocketHandle()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_hSocket;
}

int CSocketCtrl::GetListenHandle()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_hListen;
}

// ---- rings ----

int CSocketCtrl::AllocRings()
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

void CSocketCtrl::FreeRings()
{
    m_bSendFailed = 0;
    FreeHeldDatagram();
    m_nUdpWaiting = 0;
    m_tx.Release();
    m_rx.Release();
}
