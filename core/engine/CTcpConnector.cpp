// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTcpConnector.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

#include "core/engine/CConnection.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CTlsLink.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

void CTcpConnector::DoConnect(int bReconnect)
{
    const int nResolve = m_conn.ResolvePeer(SOCK_STREAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        // Like a refused connect.
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    m_conn.m_hSocket = socket(m_conn.m_resolver.GetFamily(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_conn.m_hSocket < 0)
    {
        m_conn.m_hSocket = CConnection::INVALID_SOCKET;
        m_conn.NoteReason(CErrorText::Errno("socket", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    if (!m_conn.SetKeepAlive(m_conn.m_hSocket))
    {
        m_conn.NoteReason(CErrorText::Errno("keep-alive", errno));
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    int nResult;
    do
        nResult = connect(m_conn.m_hSocket, m_conn.m_resolver.GetAddress(), m_conn.m_resolver.GetLength());
    while (nResult != 0 && errno == EINTR);
    if (nResult == 0)
    {
        OnConnected(bReconnect);
        return;
    }
    if (errno == EINPROGRESS || errno == EAGAIN)
    {
        m_tConnect = CConnection::Now() + m_conn.Options().m_nConnectTimeout;
        m_conn.SetState(bReconnect ? EWorkerState::Reconnecting : EWorkerState::Connecting);
        return;
    }
    m_conn.NoteReason(CErrorText::Errno("connect " + m_conn.PeerText(), errno));
    FailToRetry(STATUS_CONNECT_ERROR);
}

void CTcpConnector::DoConnectWait(int bReconnect)
{
    if (CConnection::Now() >= m_tConnect)
    {
        m_conn.NoteReason("connect " + m_conn.PeerText() + ": no answer within " +
                       std::to_string(m_conn.Options().m_nConnectTimeout) + " s");
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    // Set under the worker's lock, which this cycle holds.
    if (m_conn.m_bStop)
    {
        CConnection::CloseSocket(m_conn.m_hSocket);
        m_conn.SetState(EWorkerState::Idle);
        return;
    }
    struct pollfd p = {m_conn.m_hSocket, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
        return;
    // Writable also means "failed": only a clear SO_ERROR is a connection.
    int nError = 0;
    socklen_t nLen = sizeof(nError);
    if (getsockopt(m_conn.m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0 || nError != 0)
    {
        m_conn.NoteReason(CErrorText::Errno("connect " + m_conn.PeerText(), nError != 0 ? nError : errno));
        FailToRetry(STATUS_CONNECT_ERROR);
        return;
    }
    OnConnected(bReconnect);
}

void CTcpConnector::OnConnected(int bReconnect)
{
    if (m_conn.Entry().m_bSSL == 1)
    {
        m_conn.m_tRetry = 0;
        m_conn.SetState(bReconnect ? EWorkerState::TlsRestart : EWorkerState::TlsStart);
        return;
    }
    if (!m_conn.AllocRings())
    {
        m_conn.NoteReason("no memory for the connection's buffers");
        FailToRetry(STATUS_CREATE_ERROR);
        return;
    }
    m_conn.m_transport.OpenPlain(m_conn.m_hSocket);
    m_conn.Post(bReconnect ? STATUS_RECONNECTED : STATUS_CONNECTED);
    m_conn.SetState(EWorkerState::Data);
    m_conn.m_tRxDrain = 0;
    if (m_conn.IsTelnet())
    {
        m_conn.StartTelnet(0);
    }
    m_conn.m_tRetry = 0;
}

void CTcpConnector::FailToRetry(int nCode)
{
    m_conn.FailToRetry(m_tls.IsFallingBack() ? STATUS_SSL_ERROR : nCode);
}

void CTcpConnector::DoRetryWait()
{
    if (m_conn.IsServer() || m_conn.Options().m_bReconnect != 1)
        return;
    if (CConnection::Now() > m_conn.m_tRetry)
    {
        m_tls.ResetLadder();
        m_conn.SetState(EWorkerState::Reconnect);
        m_conn.Post(STATUS_CONNECTING);
    }
}

void CTcpConnector::DoLostWait()
{
    if (!CConnection::LostWaitOver(m_conn.m_dwLostTick, m_conn.Tick()))
        return;
    m_tls.ResetLadder();
    m_conn.SetState(EWorkerState::Reconnect);
    m_conn.Post(STATUS_CONNECTING);
}

void CTcpConnector::WaitConnecting(CPollSet& wait)
{
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET)
        wait.Add(m_conn.m_hSocket, POLLOUT);
    wait.Cap(CConnection::CYCLE_MS);  // the connect deadline, the stop flag
}

void CTcpConnector::WaitRetry(CPollSet& wait)
{
    if (!m_conn.IsServer() && m_conn.Options().m_bReconnect == 1)
        wait.Cap(CConnection::CYCLE_MS);
}
