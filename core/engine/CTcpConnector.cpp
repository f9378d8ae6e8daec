#include "core/engine/CTcpConnector.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/PortStatus.h"

void CTcpConnector::DoConnect(int bReconnect)
{
    const int nResolve = m_w.ResolvePeer(SOCK_STREAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        // Like a refused connect.
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    m_w.m_hSocket = socket(m_w.m_resolver.GetFamily(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_w.m_hSocket < 0)
    {
        m_w.m_hSocket = CSocketCtrl::INVALID_SOCKET;
        m_w.NoteReason(CErrorText::Errno("socket", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    if (!m_w.SetKeepAlive(m_w.m_hSocket))
    {
        m_w.NoteReason(CErrorText::Errno("keep-alive", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    int nResult;
    do
        nResult = connect(m_w.m_hSocket, m_w.m_resolver.GetAddress(), m_w.m_resolver.GetLength());
    while (nResult != 0 && errno == EINTR);
    if (nResult == 0)
    {
        OnConnected(bReconnect);
        return;
    }
    if (errno == EINPROGRESS || errno == EAGAIN)
    {
        m_tConnect = CSocketCtrl::Now() + m_w.m_pDlg->m_options.m_nConnectTimeout;
        m_w.SetState(bReconnect ? EWorkerState::Reconnecting : EWorkerState::Connecting);
        return;
    }
    m_w.NoteReason(CErrorText::Errno("connect " + m_w.PeerText(), errno));
    FailToRetry(STATUS_CONNECT_ERROR);
}

void CTcpConnector::DoConnectWait(int bReconnect)
{
    if (CSocketCtrl::Now() >= m_tConnect)
    {
        m_w.NoteReason("connect " + m_w.PeerText() + ": no answer within " +
                       std::to_string(m_w.m_pDlg->m_options.m_nConnectTimeout) + " s");
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_w.m_cs);
        if (m_w.m_bStop)
        {
            CSocketCtrl::CloseSocket(m_w.m_hSocket);
            m_w.SetState(EWorkerState::Idle);
            return;
        }
    }
    struct pollfd p = {m_w.m_hSocket, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
        return;
    // Writable also means "failed": only a clear SO_ERROR is a connection.
    int nError = 0;
    socklen_t nLen = sizeof(nError);
    if (getsockopt(m_w.m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0)
    {
        m_w.NoteReason(CErrorText::Errno("connect " + m_w.PeerText(), nError != 0 ? nError : errno));
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    OnConnected(bReconnect);
}

void CTcpConnector::OnConnected(int bReconnect)
{
    if (m_w.m_pDlg->m_comData.GetSSL(m_w.m_nPort) == 1)
    {
        m_w.m_tRetry = 0;
        m_w.SetState(bReconnect ? EWorkerState::TlsRestart : EWorkerState::TlsStart);
        return;
    }
    if (!m_w.AllocRings())
    {
        m_w.NoteReason("no memory for the connection's buffers");
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    m_w.m_transport.OpenPlain(m_w.m_hSocket);
    m_w.Post(bReconnect ? STATUS_RECONNECTED : STATUS_CONNECTED);
    m_w.SetState(EWorkerState::Data);
    m_w.m_tRxDrain = 0;
    if (m_w.IsTelnet())
    {
        m_w.m_telnet.Init(0);
        m_w.m_telnet.PutNegotiation(m_w.m_tx);
    }
    m_w.m_tRetry = 0;
}

void CTcpConnector::FailToRetry(int nCode)
{
    CSocketCtrl::CloseSocket(m_w.m_hSocket);
    m_w.m_tRetry = CSocketCtrl::Now() + m_w.m_pDlg->m_options.m_nReconnectTime;
    m_w.SetState(EWorkerState::RetryWait);
    m_w.Post(m_w.m_tls.IsFallingBack() ? STATUS_SSL_ERROR : nCode);
}

void CTcpConnector::DoRetryWait()
{
    if (m_w.IsServer() || m_w.m_pDlg->m_options.m_bReconnect != 1)
        return;
    if (CSocketCtrl::Now() > m_w.m_tRetry)
    {
        m_w.m_tls.ResetLadder();
        m_w.SetState(EWorkerState::Reconnect);
        m_w.Post(STATUS_CONNECTING);
    }
}

void CTcpConnector::DoLostWait()
{
    if (!CSocketCtrl::LostWaitOver(m_dwLostTick, m_w.Tick()))
        return;
    m_w.m_tls.ResetLadder();
    m_w.SetState(EWorkerState::Reconnect);
    m_w.Post(STATUS_CONNECTING);
}

void CTcpConnector::WaitConnecting(CPollSet& wait)
{
    if (m_w.m_hSocket != CSocketCtrl::INVALID_SOCKET)
        wait.Add(m_w.m_hSocket, POLLOUT);
    wait.Cap(CSocketCtrl::CYCLE_MS);  // the connect deadline, the stop flag
}

void CTcpConnector::WaitRetry(CPollSet& wait)
{
    if (!m_w.IsServer() && m_w.m_pDlg->m_options.m_bReconnect == 1)
        wait.Cap(CSocketCtrl::CYCLE_MS);
}

void CTcpConnector::StartLostWait()
{
    m_dwLostTick = m_w.Tick() + CSocketCtrl::LOST_REDIAL_MS;
    m_w.SetState(EWorkerState::LostWait);
}
