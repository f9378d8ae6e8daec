#include "core/engine/CSocketCtrl.h"

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

#include "core/bridge/COmbraPortAx.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CResolver.h"
#include "core/model/CPortOwner.h"
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

CSocketCtrl::CSocketCtrl()
    : m_connector(*this), m_tls(*this), m_listener(*this), m_udp(*this), m_dialogue(*this), m_portSide(*this)
{
}

void CSocketCtrl::CloseSocket(int& hSocket)
{
    if (hSocket != INVALID_SOCKET)
    {
        close(hSocket);
        hSocket = INVALID_SOCKET;
    }
}

CSocketCtrl::~CSocketCtrl()
{
    StopThread();
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    CloseSocket(m_hSocket);
    m_listener.Close();
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
    m_tls.SetKeyFiles(strDir + "public.key", strDir + "private.key");
}

void CSocketCtrl::SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_tls.SetKeyFiles(strPublicKey, strPrivateKey);
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
    return CPortTexts::PeerText(m_pDlg->m_comData.GetIPAddress(m_nPort), m_pDlg->m_comData.GetPeerPort(m_nPort));
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
        m_portSide.m_bAppGone = 0;
        if (m_state != EWorkerState::Idle)
        {
            SetState(EWorkerState::RestartDrain);
        }
        else
        {
            m_tls.ResetLadder();
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
        if (!m_portSide.m_bAppGone && !m_portSide.NoteApplicationGone(0))
            m_portSide.m_nLeftInPort = 0;
        m_portSide.m_bAppGone = 0;
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
            m_portSide.RefreshLine();
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
            m_udp.DoUdpClose();
        else
            DoTcpClose();
    }
    Post(STATUS_NOT_CONNECT);
    m_listener.Close();
    m_portSide.RefreshLine();
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
    void (*pfnWait)(CSocketCtrl& w, CPollSet& wait);
};

const CSocketCtrl::SStep& CSocketCtrl::Step(EWorkerState state)
{
    using W = CSocketCtrl;
    using S = EWorkerState;
    using P = CPollSet;
    static constexpr SStep STEPS[WORKER_STATE_COUNT] = {
        {S::Idle, [](W&) {}, [](W&, P&) {}},
        {S::Connect, [](W& w) { w.m_connector.DoConnect(0); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::Connecting, [](W& w) { w.m_connector.DoConnectWait(0); },
         [](W& w, P& p) { w.m_connector.WaitConnecting(p); }},
        {S::Data, [](W& w) { w.DoTcpData(); }, [](W& w, P& p) { w.WaitData(p); }},
        {S::Drain, [](W& w) { w.DoDrain(S::Close); }, [](W& w, P& p) { w.WaitDrain(p); }},
        {S::Close, [](W& w) { w.DoTcpClose(); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::RetryWait, [](W& w) { w.m_connector.DoRetryWait(); }, [](W& w, P& p) { w.m_connector.WaitRetry(p); }},
        {S::Reconnect, [](W& w) { w.m_connector.DoConnect(1); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::Reconnecting, [](W& w) { w.m_connector.DoConnectWait(1); },
         [](W& w, P& p) { w.m_connector.WaitConnecting(p); }},
        {S::TlsStart, [](W& w) { w.m_tls.DoTlsStart(0); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::TlsHandshake, [](W& w) { w.m_tls.DoTlsHandshake(0); }, [](W& w, P& p) { w.m_tls.WaitHandshake(p); }},
        {S::TlsRestart, [](W& w) { w.m_tls.DoTlsStart(1); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::TlsRehandshake, [](W& w) { w.m_tls.DoTlsHandshake(1); }, [](W& w, P& p) { w.m_tls.WaitHandshake(p); }},
        {S::TlsAccept, [](W& w) { w.m_tls.DoTlsAccept(); }, [](W& w, P& p) { w.m_tls.WaitHandshake(p); }},
        {S::Login, [](W& w) { w.m_dialogue.DoLogin(); }, [](W& w, P& p) { w.m_dialogue.WaitLogin(p); }},
        {S::TelnetLogin, [](W& w) { w.m_dialogue.DoTelnetLogin(); }, [](W& w, P& p) { w.m_dialogue.WaitLogin(p); }},
        {S::UdpBind, [](W& w) { w.m_udp.DoUdpBind(); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::UdpData, [](W& w) { w.m_udp.DoUdpData(); }, [](W& w, P& p) { w.WaitData(p); }},
        {S::UdpDrain, [](W& w) { w.DoDrain(S::UdpClose); }, [](W& w, P& p) { w.WaitDrain(p); }},
        {S::UdpClose, [](W& w) { w.m_udp.DoUdpClose(); }, [](W& w, P& p) { w.WaitResolve(p); }},
        {S::UdpRetryWait, [](W& w) { w.m_udp.DoUdpRetryWait(); }, [](W& w, P& p) { w.m_udp.WaitUdpRetry(p); }},
        // Timed: the plain cycle.
        {S::LostWait, [](W& w) { w.m_connector.DoLostWait(); }, [](W&, P& p) { p.Cap(CYCLE_MS); }},
        {S::Listen, [](W& w) { w.m_listener.DoListen(); }, [](W& w, P& p) { w.m_listener.WaitListen(p); }},
        {S::Accept, [](W& w) { w.m_listener.DoAccept(); }, [](W& w, P& p) { w.m_listener.WaitAccept(p); }},
        {S::RestartDrain, [](W& w) { w.DoDrain(S::Restart); }, [](W& w, P& p) { w.WaitDrain(p); }},
        {S::Restart,
         [](W& w) {
             w.DoTcpClose();
             w.SetState(S::Connect);
         },
         [](W& w, P& p) { w.WaitResolve(p); }},
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

// ---- the wait between cycles ----

void CSocketCtrl::BuildWait(CPollSet& wait)
{
    wait.Add(m_hWake, POLLIN);
    Step(m_state).pfnWait(*this, wait);
}

void CSocketCtrl::WaitResolve(CPollSet& wait)
{
    // A name being looked up is asked again at the plain cycle; else the
    // next step follows at once.
    wait.Cap(m_resolver.IsBusy() ? CYCLE_MS : 0);
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
        const int nNeed = bUdp ? std::max(m_udp.WaitingSize(), 1) : 1;
        if (m_rx.Space() >= nNeed && m_udp.HeldBytes() == 0 && !m_portSide.ReceiveGated())
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
    if (m_udp.HeldBytes() > 0 && m_rx.Space() > 0)
        wait.Cap(0);
    if (m_transport.IsTls())
    {
        // Plaintext the library already holds never shows on the socket.
        if (m_transport.HasPending() && m_rx.Space() > 0 && !m_portSide.ReceiveGated())
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
    if (m_portSide.m_bAppGone)
    {
        // Not read until the close is handled; still delivered to.
        if (m_rx.Count() > 0)
            m_portSide.WaitOnPty(wait, POLLOUT);
        wait.Cap(CYCLE_MS);
    }
    else if (nPty != 0 && !m_portSide.WaitOnPty(wait, nPty))
    {
        // Latched until the close is handled. When the port is open
        // again already, the next cycle reads on and waits afresh.
        if (!IsServer() && Port().GetPollHandle() >= 0 && !m_portSide.NoteApplicationGone(1))
            wait.Cap(0);
        // Latched, or a server's peer data for a closed port: look again
        // at the plain cycle.
        if (m_portSide.m_bAppGone || m_rx.Count() > 0)
            wait.Cap(CYCLE_MS);
    }
    // Only while the port is still being read: a cycle that reads
    // nothing must not be repeated at once.
    if (m_tRxDrain == 0 && m_portSide.m_nPortPending > 0 && m_tx.Space() > 0)
        wait.Cap(0);
    // A release of the application is due once few bytes wait; the
    // throttle is set from the owner thread, so look again soon.
    const uint32_t dwFlow = m_pDlg->m_line[nPort].m_dwFlowCtrl;
    if (((dwFlow & FLOW_CTS) && m_pDlg->m_line[nPort].m_bCtsRaised == 0) ||
        ((dwFlow & FLOW_XIN) && m_pDlg->m_line[nPort].m_bXonSent == 0))
        wait.Cap(CYCLE_MS);
}

void CSocketCtrl::WaitDrain(CPollSet& wait)
{
    if (m_hSocket != INVALID_SOCKET && m_tx.Count() > 0)
        wait.Add(m_hSocket, POLLOUT);
    // What the closed application left is in the port already: no need
    // to wait for it (and a hung-up pty would report ready forever).
    // The rest of what it wrote is looked for at the plain cycle.
    if (m_state != EWorkerState::RestartDrain && m_portSide.m_nLeftInPort > 0 && m_tx.Space() > 0)
        wait.Cap(0);
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
        nKeptBefore = m_portSide.m_nKeptSessions;
    }
    struct pollfd* fds = wait.GetFds();
    const int nCount = wait.GetCount();
    // Also with no time to wait: the readiness it reports spares the next
    // cycle some calls (the peer check, the pty's hang-up test).
    const int nReady = poll(fds, static_cast<nfds_t>(nCount), wait.GetTimeout());
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_bSocketQuiet = 0;
    m_portSide.m_nPtySeen = PTY_UNKNOWN;
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
        else if (fds[k].fd == Port().GetPollHandle() && nKeptBefore == m_portSide.m_nKeptSessions)
            m_portSide.m_nPtySeen = nBad != 0 ? PTY_HUNG : PTY_OPEN;
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

// ---- what the roles share: socket options, the peer's address ----

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

// ---- data path ----

void CSocketCtrl::DoTcpData()
{
    if (!PeerCheck())
        return;
    m_portSide.NoteHangUp();
    // The port is read first and the network delivered last, so a byte
    // crosses in one cycle instead of waiting for the next.
    if (m_tRxDrain == 0)
    {
        if (!m_portSide.m_bAppGone)
            m_portSide.ReadPort(BLOCK_SIZE);
        SendTcp();
        if (!m_portSide.ReceiveGated())
            ReceiveTcp();
    }
    m_portSide.Deliver();
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
        m_pDlg->PostPeer("", m_nPort);  // no peer now
        SetState(EWorkerState::Close);
        Post(STATUS_NOT_CONNECT);
        return 0;
    }
    if (m_pDlg->m_options.m_bReconnect == 1)
    {
        m_connector.StartLostWait();
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
        if (m_portSide.m_nLeftInPort > 0)
            m_portSide.m_nLeftInPort -= m_portSide.ReadPort(m_portSide.m_nLeftInPort);
        else if (Port().IsSlaveOpen() == 0)
            m_portSide.ReadPort(BLOCK_SIZE);
    }
    if (m_tx.Count() == 0)
    {
        SetState(nextState);
        return;
    }
    if (nextState == EWorkerState::UdpClose)
        m_udp.SendUdp();
    else
        SendTcp();
}

void CSocketCtrl::CloseConnection()
{
    m_resolver.Cancel();
    m_tls.FreeTls();
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
        m_pDlg->PostPeer("", m_nPort);  // no peer now
        SetState(EWorkerState::Listen);
    }
    else
    {
        SetState(EWorkerState::Idle);
    }
    Post(STATUS_NOT_CONNECT);
}

int CSocketCtrl::IsTelnet() const
{
    return m_pDlg->m_comData.GetConnectType(m_nPort) == CONNECT_TELNET && !IsUdp() ? 1 : 0;
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

// ---- the owner's and the tests' views ----

int CSocketCtrl::SawApplicationGo()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_portSide.m_bAppGone;
}

int CSocketCtrl::KeepSessionForReopen()
{
    // Under the worker's lock, so that it cannot latch the hang-up between
    // the look at the port and the decision.
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (m_state == EWorkerState::Idle || m_portSide.m_bAppGone || m_portSide.NoteApplicationGone(0))
        return 0;
    ++m_portSide.m_nKeptSessions;
    m_portSide.m_nPtySeen = PTY_UNKNOWN;
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
    return m_listener.GetHandle();
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
    m_portSide.m_nPortPending = 0;
    return 1;
}

void CSocketCtrl::FreeRings()
{
    m_bSendFailed = 0;
    m_udp.Reset();
    m_tx.Release();
    m_rx.Release();
}
