// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTcpListener.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "core/engine/CConnection.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CLoginDialogue.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CResolver.h"
#include "core/engine/CTlsLink.h"
#include "core/model/PortStatus.h"

void CTcpListener::DoListen()
{
    const CPortEntry& entry = m_conn.Entry();
    if (entry.m_bUse != 1 || entry.m_bEnable != 1 || entry.m_nMode != MODE_TCP_SERVER)
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
        m_hListen = CConnection::INVALID_SOCKET;
        m_conn.NoteReason(CErrorText::Errno("socket", errno));
        m_conn.Post(STATUS_CREATE_ERROR);
        return;
    }
    // Without it the port could not be listened on again while the last
    // connection lingers in TIME_WAIT; a port another program listens on
    // still fails.
    int nOn = 1;
    setsockopt(m_hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    struct sockaddr_storage addr;
    const socklen_t nLength = CConnection::AnyAddress(nFamily, entry.m_nLocPort, &addr);
    if (nFamily == AF_INET6)
    {
        int nOff = 0;
        setsockopt(m_hListen, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof(nOff));
    }
    const std::string strLocal = "0.0.0.0:" + std::to_string(entry.m_nLocPort);
    const char* pszFailed = bind(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0 ? "bind "
                            : listen(m_hListen, 0) != 0                                              ? "listen "
                            : !m_conn.SetKeepAlive(m_hListen)                                           ? "keep-alive "
                                                                                                     : nullptr;
    if (pszFailed != nullptr)
    {
        m_conn.NoteReason(CErrorText::Errno(pszFailed + strLocal, errno));
        CConnection::CloseSocket(m_hListen);
        m_conn.Post(STATUS_CREATE_ERROR);
        return;
    }
    m_conn.ReportLocalPort(m_hListen);
    m_conn.SetState(EWorkerState::Accept);
}

void CTcpListener::DoAccept()
{
    if (m_hListen == CConnection::INVALID_SOCKET)
    {
        m_conn.SetState(EWorkerState::Listen);
        return;
    }
    struct sockaddr_storage addr;
    socklen_t nLen = sizeof(addr);
    // The options of the listening socket (keep-alive) carry over; the
    // non-blocking mode does not on Linux, hence the flag.
    const int hNew = accept4(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), &nLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (hNew < 0)
        return;
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET)
    {
        shutdown(hNew, SHUT_RDWR);
        close(hNew);
        return;
    }
    m_conn.PostPeer(CResolver::AddressText(reinterpret_cast<struct sockaddr*>(&addr)));
    m_conn.m_hSocket = hNew;
    // One peer at a time: while it is connected, others are refused. Closed
    // before the reports go out, so the row never reads connected while a second
    // peer could still get in.
    CConnection::CloseSocket(m_hListen);
    OnAccepted();
}

void CTcpListener::OnAccepted()
{
    if (m_conn.Entry().m_bSSL == 1)
    {
        m_tls.StartTlsServer();
        return;
    }
    if (!m_conn.AllocRings())
    {
        // Like a socket that cannot be made: drop the peer, listen again.
        m_conn.Post(STATUS_CREATE_ERROR);
        m_conn.SetState(EWorkerState::Close);
        return;
    }
    m_conn.m_transport.OpenPlain(m_conn.m_hSocket);
    m_conn.m_tRxDrain = 0;
    m_dialogue.StartDialogue(1);
}

void CTcpListener::WaitListen(CPollSet& wait)
{
    // A failed listen is tried again every cycle; an entry that may not
    // listen has nothing to wait for.
    if (m_conn.IsServer() && m_conn.Entry().m_bUse == 1 &&
        m_conn.Entry().m_bEnable == 1)
        wait.Cap(CConnection::CYCLE_MS);
}

void CTcpListener::WaitAccept(CPollSet& wait)
{
    if (m_hListen != CConnection::INVALID_SOCKET)
        wait.Add(m_hListen, POLLIN);
    else
        wait.Cap(CConnection::CYCLE_MS);
}

void CTcpListener::Close()
{
    CConnection::CloseSocket(m_hListen);
}
