#include "core/engine/CTcpListener.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CResolver.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/PortStatus.h"

void CTcpListener::DoListen()
{
    const CCOMData& data = m_w.m_pDlg->m_comData;
    if (data.GetUse(m_w.m_nPort) != 1 || data.GetEnable(m_w.m_nPort) != 1 ||
        data.GetMode(m_w.m_nPort) != MODE_TCP_SERVER)
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
        m_hListen = CSocketCtrl::INVALID_SOCKET;
        m_w.NoteReason(CErrorText::Errno("socket", errno));
        m_w.Post(STATUS_CREATE_ERROR);
        return;
    }
    // Without it the port could not be listened on again while the last
    // connection lingers in TIME_WAIT; a port another program listens on
    // still fails.
    int nOn = 1;
    setsockopt(m_hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    struct sockaddr_storage addr;
    const socklen_t nLength = CSocketCtrl::AnyAddress(nFamily, data.GetLocPort(m_w.m_nPort), &addr);
    if (nFamily == AF_INET6)
    {
        int nOff = 0;
        setsockopt(m_hListen, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof(nOff));
    }
    const std::string strLocal = "0.0.0.0:" + std::to_string(data.GetLocPort(m_w.m_nPort));
    const char* pszFailed = bind(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0 ? "bind "
                            : listen(m_hListen, 0) != 0                                              ? "listen "
                            : !m_w.SetKeepAlive(m_hListen)                                           ? "keep-alive "
                                                                                                     : nullptr;
    if (pszFailed != nullptr)
    {
        m_w.NoteReason(CErrorText::Errno(pszFailed + strLocal, errno));
        CSocketCtrl::CloseSocket(m_hListen);
        m_w.Post(STATUS_CREATE_ERROR);
        return;
    }
    m_w.ReportLocalPort(m_hListen);
    m_w.SetState(EWorkerState::Accept);
}

void CTcpListener::DoAccept()
{
    if (m_hListen == CSocketCtrl::INVALID_SOCKET)
    {
        m_w.SetState(EWorkerState::Listen);
        return;
    }
    struct sockaddr_storage addr;
    socklen_t nLen = sizeof(addr);
    // The options of the listening socket (keep-alive) carry over; the
    // non-blocking mode does not on Linux, hence the flag.
    const int hNew = accept4(m_hListen, reinterpret_cast<struct sockaddr*>(&addr), &nLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (hNew < 0)
        return;
    if (m_w.m_hSocket != CSocketCtrl::INVALID_SOCKET)
    {
        shutdown(hNew, SHUT_RDWR);
        close(hNew);
        return;
    }
    m_w.m_pDlg->PostPeer(CResolver::AddressText(reinterpret_cast<struct sockaddr*>(&addr)), m_w.m_nPort);
    m_w.m_hSocket = hNew;
    // One peer at a time: while it is connected, others are refused. Closed
    // before the reports go out, so the row never reads connected while a second
    // peer could still get in.
    CSocketCtrl::CloseSocket(m_hListen);
    OnAccepted();
}

void CTcpListener::OnAccepted()
{
    if (m_w.m_pDlg->m_comData.GetSSL(m_w.m_nPort) == 1)
    {
        m_w.m_tls.StartTlsServer();
        return;
    }
    if (!m_w.AllocRings())
    {
        // Like a socket that cannot be made: drop the peer, listen again.
        m_w.Post(STATUS_CREATE_ERROR);
        m_w.SetState(EWorkerState::Close);
        return;
    }
    m_w.m_transport.OpenPlain(m_w.m_hSocket);
    m_w.m_tRxDrain = 0;
    m_w.m_dialogue.StartDialogue(1);
}

void CTcpListener::WaitListen(CPollSet& wait)
{
    // A failed listen is tried again every cycle; an entry that may not
    // listen has nothing to wait for.
    if (m_w.IsServer() && m_w.m_pDlg->m_comData.GetUse(m_w.m_nPort) == 1 &&
        m_w.m_pDlg->m_comData.GetEnable(m_w.m_nPort) == 1)
        wait.Cap(CSocketCtrl::CYCLE_MS);
}

void CTcpListener::WaitAccept(CPollSet& wait)
{
    if (m_hListen != CSocketCtrl::INVALID_SOCKET)
        wait.Add(m_hListen, POLLIN);
    else
        wait.Cap(CSocketCtrl::CYCLE_MS);
}

void CTcpListener::Close()
{
    CSocketCtrl::CloseSocket(m_hListen);
}
