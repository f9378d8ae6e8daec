// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CSocketCtrl.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/engine/CPollSet.h"
#include "core/engine/CWorkerLoop.h"
#include "core/engine/CWorkerPort.h"
#include "core/engine/TlsTrust.h"
#include "core/model/CLineState.h"
#include "core/model/PortStatus.h"

CSocketCtrl::CSocketCtrl() = default;

CSocketCtrl::~CSocketCtrl()
{
    StopThread();
    std::lock_guard<std::mutex> lock(m_cs);
    CConnection::CloseSocket(m_conn.m_hSocket);
    m_listener.Close();
    m_conn.FreeRings();
    if (m_hWake >= 0)
        close(m_hWake);
}

void CSocketCtrl::Bind(CWorkerPort& port, int nPort)
{
    m_conn.Bind(&port, nPort);
    // The key files' last place is beside the executable; without its
    // path, the bare names are taken relative to the current directory.
    m_tls.SetProgramDirectory(TlsProgramDirectory());
}

void CSocketCtrl::SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_tls.SetKeyFiles(strPublicKey, strPrivateKey);
}

void CSocketCtrl::SetTickSource(std::function<uint32_t()> fnTick)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_conn.m_fnTick = std::move(fnTick);
}

EWorkerState CSocketCtrl::GetState() const
{
    return m_conn.GetState();
}

void CSocketCtrl::SetStateForTest(EWorkerState state)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_conn.ForceState(state);
}

// ---- thread control ----

int CSocketCtrl::StartThread()
{
    if (!m_conn.IsBound() || m_pLoop != nullptr)
        return 0;
    if (m_hWake < 0)
        m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_hWake < 0)
        return 0;
    {
        // Cleared here rather than by the new thread, so that a stop that
        // comes before the thread runs is not lost. The entry holds until
        // the ports stop.
        std::lock_guard<std::mutex> lock(m_cs);
        m_conn.m_bStop = 0;
        m_conn.ReadEntry();
        m_conn.m_nBytesSent = 0;
        m_conn.m_nBytesReceived = 0;
    }
    CWorkerLoop& loop = CWorkerLoop::ForPort(m_conn.m_nPort);
    if (!loop.Attach(m_loopClient))
        return 0;
    m_pLoop = &loop;
    return 1;
}

int CSocketCtrl::StopThread()
{
    if (m_pLoop == nullptr)
        return 0;
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_conn.m_bStop = 1;
    }
    Wake();
    m_pLoop->WaitEnded(m_loopClient);
    m_pLoop = nullptr;
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
        std::lock_guard<std::mutex> lock(m_cs);
        m_portSide.OnOpen();
        if (m_conn.m_state != EWorkerState::Idle)
        {
            m_conn.SetState(EWorkerState::RestartDrain);
        }
        else
        {
            m_tls.ResetLadder();
            m_conn.ReadEntry();
            const int nMode = m_conn.Entry().m_nMode;
            if (nMode == MODE_TCP_CLIENT)
                m_conn.SetState(EWorkerState::Connect);
            else if (nMode == MODE_UDP)
                m_conn.SetState(EWorkerState::UdpBind);
        }
    }
    Wake();
    return 1;
}

int CSocketCtrl::OnPortClose(std::function<void()> fnIdle)
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_fnIdle = std::move(fnIdle);
        m_portSide.OnClose();
        m_conn.m_tDrain = CConnection::Now() + CConnection::DRAIN_SECONDS;
        m_conn.SetState(m_conn.IsUdp() ? EWorkerState::UdpDrain : EWorkerState::Drain);
    }
    Wake();
    return 1;
}

void CSocketCtrl::LoopBegin()
{
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_conn.IsServer() && m_conn.Entry().m_bUse == 1 && m_conn.Entry().m_bEnable == 1)
        m_conn.SetState(EWorkerState::Listen);
}

bool CSocketCtrl::LoopCycle()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        if (m_conn.m_bStop && !IsDraining())
            return false;
        RunState();
        m_portSide.RefreshLine();
        if (m_conn.m_state == EWorkerState::Idle)
            ReportIdle();
    }
    m_nCycles.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void CSocketCtrl::LoopFinish()
{
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_conn.m_state != EWorkerState::Idle)
    {
        if (m_conn.IsUdp())
            m_udp.DoUdpClose();
        else
            m_stream.DoTcpClose();
    }
    m_conn.Post(STATUS_NOT_CONNECT);
    m_listener.Close();
    m_portSide.RefreshLine();
    ReportIdle();
}

int CSocketCtrl::IsDraining() const
{
    return m_conn.m_state == EWorkerState::Drain || m_conn.m_state == EWorkerState::UdpDrain ? 1 : 0;
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
        {S::Data, [](W& w) { w.m_stream.DoTcpData(); }, [](W& w, P& p) { w.WaitData(p); }},
        {S::Drain, [](W& w) { w.DoDrain(S::Close); }, [](W& w, P& p) { w.WaitDrain(p); }},
        {S::Close, [](W& w) { w.m_stream.DoTcpClose(); }, [](W& w, P& p) { w.WaitResolve(p); }},
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
        {S::LostWait, [](W& w) { w.m_connector.DoLostWait(); }, [](W&, P& p) { p.Cap(CConnection::CYCLE_MS); }},
        {S::Listen, [](W& w) { w.m_listener.DoListen(); }, [](W& w, P& p) { w.m_listener.WaitListen(p); }},
        {S::Accept, [](W& w) { w.m_listener.DoAccept(); }, [](W& w, P& p) { w.m_listener.WaitAccept(p); }},
        {S::RestartDrain, [](W& w) { w.DoDrain(S::Restart); }, [](W& w, P& p) { w.WaitDrain(p); }},
        {S::Restart,
         [](W& w) {
             w.m_stream.DoTcpClose();
             // A UDP port reopened while it drained ends here too.
             w.m_udp.Reset();
             w.m_conn.SetState(S::Connect);
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
    Step(m_conn.m_state).pfnRun(*this);
}

// ---- the wait between cycles ----

void CSocketCtrl::BuildWait(CPollSet& wait)
{
    wait.Add(m_hWake, POLLIN);
    Step(m_conn.m_state).pfnWait(*this, wait);
}

void CSocketCtrl::WaitResolve(CPollSet& wait)
{
    // A name being looked up is asked again at the plain cycle; else the
    // next step follows at once.
    wait.Cap(m_conn.m_resolver.IsBusy() ? CConnection::CYCLE_MS : 0);
}

void CSocketCtrl::WaitData(CPollSet& wait)
{
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET && m_conn.m_tRxDrain == 0)
    {
        short nEvents = POLLRDHUP;
        // A datagram held until the ring has room keeps the next ones in
        // the socket.
        if (m_conn.m_rx.Space() > 0 && m_udp.HeldBytes() == 0 && !m_portSide.ReceiveGated())
            nEvents |= POLLIN;
        if (m_conn.m_tx.Count() > 0)
            nEvents |= POLLOUT;
        // Also with no events: an error or hang-up still wakes us.
        wait.Add(m_conn.m_hSocket, nEvents);
    }
    else if (m_conn.m_tRxDrain != 0)
    {
        wait.Cap(CConnection::CYCLE_MS);
    }
    if (m_udp.HeldBytes() > 0 && m_conn.m_rx.Space() > 0)
        wait.Cap(0);
    m_comPort.AddWait(wait);
    if (m_conn.m_transport.IsTls())
    {
        // Plaintext the library already holds never shows on the socket.
        if (m_conn.m_transport.HasPending() && m_conn.m_rx.Space() > 0 && !m_portSide.ReceiveGated())
            wait.Cap(0);
        // A read that needs a write (or the other way round) cannot be
        // told from the plain events above.
        if (m_conn.m_nSSLWant != 0)
            wait.Cap(CConnection::CYCLE_MS);
        if (m_conn.m_nTlsGone != 0 && m_conn.m_tRxDrain == 0)
            wait.Cap(0);
    }
    short nPty = 0;
    const CLineState& line = m_conn.Line();
    const uint32_t dwFlow = line.m_dwFlowCtrl;
    // With the ring full the port is not read; but flow control must still
    // learn how much waits there, to hold the application back, so the
    // port is watched until that much waits (its stage takes more than
    // that, so a port that stays readable is never watched in vain).
    const bool bCounting = ((dwFlow & FLOW_CTS) && line.m_bCtsRaised == 1) ||
                           ((dwFlow & FLOW_XIN) && line.m_bXonSent == 1);
    if (m_conn.m_tx.Space() > 0 || (bCounting && m_conn.m_nPortPending < CConnection::THROTTLE_LEVEL))
        nPty |= POLLIN;
    if (m_conn.m_rx.Count() > 0)
        nPty |= POLLOUT;
    // A server's peer may send while no application has the port open:
    // its data still goes to the pty, at the plain cycle.
    if (m_portSide.IsAppGone())
    {
        // Not read until the close is handled; still delivered to.
        if (m_conn.m_rx.Count() > 0)
            m_portSide.WaitOnPty(wait, POLLOUT);
        wait.Cap(CConnection::CYCLE_MS);
    }
    else if (nPty != 0 && !m_portSide.WaitOnPty(wait, nPty))
    {
        // Latched until the close is handled. When the port is open
        // again already, the next cycle reads on and waits afresh.
        if (!m_conn.IsServer() && m_conn.Port().GetPollHandle() >= 0 && !m_portSide.NoteApplicationGone(1))
            wait.Cap(0);
        // Latched, or a server's peer data for a closed port: look again
        // at the plain cycle.
        if (m_portSide.IsAppGone() || m_conn.m_rx.Count() > 0)
            wait.Cap(CConnection::CYCLE_MS);
    }
    // Only while the port is still being read: a cycle that reads
    // nothing must not be repeated at once.
    if (m_conn.m_tRxDrain == 0 && m_conn.m_nPortPending > 0 && m_conn.m_tx.Space() > 0)
        wait.Cap(0);
    // A release of the application is due once few bytes wait; the
    // throttle is set from the owner thread, so look again soon.
    if (((dwFlow & FLOW_CTS) && line.m_bCtsRaised == 0) || ((dwFlow & FLOW_XIN) && line.m_bXonSent == 0))
        wait.Cap(CConnection::CYCLE_MS);
}

void CSocketCtrl::WaitDrain(CPollSet& wait)
{
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET && m_conn.m_tx.Count() > 0)
        wait.Add(m_conn.m_hSocket, POLLOUT);
    // What the closed application left is in the port already: no need
    // to wait for it (and a hung-up pty would report ready forever).
    // The rest of what it wrote is looked for at the plain cycle.
    if (m_conn.m_state != EWorkerState::RestartDrain && m_portSide.GetLeftInPort() > 0 && m_conn.m_tx.Space() > 0)
        wait.Cap(0);
    wait.Cap(CConnection::CYCLE_MS);
}

bool CSocketCtrl::LoopPrepareWait(CPollSet& wait)
{
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_conn.m_bStop && !IsDraining())
        return false;
    BuildWait(wait);
    m_nKeptBeforeWait = m_portSide.GetKeptSessions();
    // The cycle left work it can do at once: the wait is skipped, for a
    // few cycles in a row, and what the last one saw still holds.
    if (m_conn.m_nQuickCycles < CConnection::QUICK_CYCLES && HasWorkAtOnce())
    {
        ++m_conn.m_nQuickCycles;
        return false;
    }
    m_conn.m_nQuickCycles = 0;
    // Also with no time to wait the wait is made: the readiness it reports
    // spares the next cycle some calls (the peer check, the pty's hang-up
    // test).
    return true;
}

void CSocketCtrl::LoopTakeWait(CPollSet& wait)
{
    struct pollfd* fds = wait.GetFds();
    const int nCount = wait.GetCount();
    std::lock_guard<std::mutex> lock(m_cs);
    const unsigned nKeptBefore = m_nKeptBeforeWait;
    m_conn.m_bSocketQuiet = 0;
    m_portSide.SetPtySeen(CConnection::PTY_UNKNOWN);
    m_conn.m_eSocketInput = CConnection::EInput::Unknown;
    m_portSide.SetPtyInput(CConnection::EInput::Unknown);
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
        // Asked for input: whether there is some, or anything a read would
        // report.
        const CConnection::EInput eInput = (fds[k].events & POLLIN) == 0 ? CConnection::EInput::Unknown
                                           : (fds[k].revents & (POLLIN | POLLRDHUP)) != 0 || nBad != 0
                                               ? CConnection::EInput::Ready
                                               : CConnection::EInput::None;
        if (fds[k].fd == m_conn.m_hSocket)
        {
            m_conn.m_bSocketQuiet = (nBad == 0 && (fds[k].revents & POLLRDHUP) == 0) ? 1 : 0;
            m_conn.m_eSocketInput = eInput;
        }
        else if (fds[k].fd == m_conn.Port().GetPollHandle() && nKeptBefore == m_portSide.GetKeptSessions())
        {
            m_portSide.SetPtySeen(nBad != 0 ? CConnection::PTY_HUNG : CConnection::PTY_OPEN);
            m_portSide.SetPtyInput(eInput);
        }
    }
}

bool CSocketCtrl::HasWorkAtOnce() const
{
    if (m_conn.m_state != EWorkerState::Data || m_conn.m_tRxDrain != 0 || m_conn.m_bStop)
        return false;
    // Bytes the port holds already, with room to take them (a Telnet byte
    // may go out doubled).
    const int nRoom = m_conn.IsTelnet() ? 2 : 1;
    if (!m_portSide.IsAppGone() && m_conn.m_nPortPending > 0 && m_conn.m_tx.Space() >= nRoom)
        return true;
    // A whole block came in: more is likely waiting, and there is room for it.
    return m_conn.m_bReceiveFull && m_conn.m_rx.Space() >= CConnection::BLOCK_SIZE && !m_portSide.ReceiveGated();
}

void CSocketCtrl::DoDrain(EWorkerState nextState)
{
    if (CConnection::Now() > m_conn.m_tDrain || m_conn.m_bSendFailed)
    {
        m_conn.SetState(nextState);
        return;
    }
    // What the application wrote just before it closed still goes out.
    if (nextState != EWorkerState::Restart && m_conn.m_tx.IsAllocated() &&
        m_conn.m_hSocket != CConnection::INVALID_SOCKET)
        m_portSide.DrainPort();
    if (m_conn.m_tx.Count() == 0)
    {
        m_conn.SetState(nextState);
        return;
    }
    if (nextState == EWorkerState::UdpClose)
        m_udp.SendUdp();
    else
        m_stream.SendTcp();
}

// ---- the owner's and the tests' views ----

int CSocketCtrl::SawApplicationGo()
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_portSide.IsAppGone() ? 1 : 0;
}

int CSocketCtrl::KeepSessionForReopen()
{
    // Under the worker's lock, so that it cannot latch the hang-up between
    // the look at the port and the decision.
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_conn.m_state == EWorkerState::Idle)
        return 0;
    return m_portSide.KeepSessionForReopen() ? 1 : 0;
}

int CSocketCtrl::GetSocketHandle()
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_conn.m_hSocket;
}

int CSocketCtrl::GetListenHandle()
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_listener.GetHandle();
}
