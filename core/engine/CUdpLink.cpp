#include "core/engine/CUdpLink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/PortStatus.h"

void CUdpLink::DoUdpBind()
{
    auto fail = [this](std::string strReason) {
        m_w.NoteReason(std::move(strReason));
        CSocketCtrl::CloseSocket(m_w.m_hSocket);
        m_w.m_tRetry = CSocketCtrl::Now() + m_w.m_pDlg->m_options.m_nReconnectTime;
        m_w.SetState(EWorkerState::UdpRetryWait);
        m_w.Post(STATUS_UDP_ERROR);
    };
    const int nResolve = m_w.ResolvePeer(SOCK_DGRAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        fail(m_w.m_strReason);
        return;
    }
    // The peer's address for every datagram; the socket is of its family.
    memcpy(&m_udpPeer, m_w.m_resolver.GetAddress(), m_w.m_resolver.GetLength());
    m_nUdpPeerLength = m_w.m_resolver.GetLength();
    m_w.m_hSocket = socket(m_udpPeer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_w.m_hSocket < 0)
    {
        m_w.m_hSocket = CSocketCtrl::INVALID_SOCKET;
        fail(CErrorText::Errno("socket", errno));
        return;
    }
    if (m_w.m_pDlg->m_comData.GetIPAddress(m_w.m_nPort).find("255") != std::string::npos)
    {
        int nOn = 1;
        setsockopt(m_w.m_hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof(nOn));
    }
    struct sockaddr_storage addr;
    const socklen_t nLength =
        CSocketCtrl::AnyAddress(m_udpPeer.ss_family, m_w.m_pDlg->m_comData.GetLocPort(m_w.m_nPort), &addr);
    if (bind(m_w.m_hSocket, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0)
    {
        fail(CErrorText::Errno("bind 0.0.0.0:" + std::to_string(m_w.m_pDlg->m_comData.GetLocPort(m_w.m_nPort)), errno));
        return;
    }
    if (!m_w.AllocRings())
    {
        fail("no memory for the connection's buffers");
        return;
    }
    m_w.ReportLocalPort(m_w.m_hSocket);
    m_nUdpWaiting = 0;
    m_w.SetState(EWorkerState::UdpData);
    m_w.Post(STATUS_UDP_STARTED);
}

void CUdpLink::DoUdpData()
{
    // In the order of the TCP pump: one cycle carries a byte across.
    m_w.m_portSide.NoteHangUp();
    if (!m_w.m_portSide.IsAppGone())
        m_w.m_portSide.ReadPort(CSocketCtrl::BLOCK_SIZE);
    SendUdp();
    if (!m_w.m_portSide.ReceiveGated())
        ReceiveUdp();
    m_w.m_portSide.Deliver();
}

void CUdpLink::MoveHeldDatagram()
{
    const int n = std::min(m_nUdpHeld, m_w.m_rx.Space());
    if (n <= 0)
        return;
    m_w.m_rx.Put(m_pUdpHeld + m_nUdpHeldOut, n);
    m_nUdpHeldOut += n;
    m_nUdpHeld -= n;
    if (m_nUdpHeld == 0)
        FreeHeldDatagram();
}

void CUdpLink::FreeHeldDatagram()
{
    delete[] m_pUdpHeld;
    m_pUdpHeld = nullptr;
    m_nUdpHeld = 0;
    m_nUdpHeldOut = 0;
}

void CUdpLink::ReceiveUdp()
{
    if (!m_w.m_rx.IsAllocated())
        return;
    if (m_nUdpHeld > 0)
    {
        MoveHeldDatagram();
        return;
    }
    const int nFree = m_w.m_rx.Space();
    if (nFree <= 0)
        return;
    // Look at the size first: a datagram is taken only whole.
    unsigned char ch;
    const ssize_t nSize = recv(m_w.m_hSocket, &ch, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (nSize < 0)
        return;
    if (nSize > CSocketCtrl::RING_SIZE)
    {
        // Larger than the whole ring: hold it and hand it on in parts.
        m_pUdpHeld = new (std::nothrow) unsigned char[static_cast<size_t>(nSize)];
        if (m_pUdpHeld == nullptr)
            return;
        const ssize_t n =
            recvfrom(m_w.m_hSocket, m_pUdpHeld, static_cast<size_t>(nSize), MSG_DONTWAIT, nullptr, nullptr);
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
    unsigned char buf[CSocketCtrl::RING_SIZE];
    struct sockaddr_storage from;
    socklen_t nLen = sizeof(from);
    // Datagrams from any sender are taken, not only the peer's.
    const ssize_t n = recvfrom(m_w.m_hSocket, buf, static_cast<size_t>(nFree), MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr*>(&from), &nLen);
    m_nUdpWaiting = 0;
    if (n <= 0)
        return;
    m_w.m_rx.Put(buf, static_cast<int>(n));
}

void CUdpLink::SendUdp()
{
    if (!m_w.m_tx.IsAllocated() || m_w.m_tx.Count() == 0 || m_w.m_hSocket == CSocketCtrl::INVALID_SOCKET)
        return;
    unsigned char buf[CSocketCtrl::BLOCK_SIZE];
    const int n = m_w.m_tx.Peek(buf, CSocketCtrl::BLOCK_SIZE);
    const ssize_t nSent = sendto(m_w.m_hSocket, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL,
                                 reinterpret_cast<struct sockaddr*>(&m_udpPeer), m_nUdpPeerLength);
    if (nSent > 0)
        m_w.m_tx.Consume(static_cast<int>(nSent));
}

void CUdpLink::DoUdpClose()
{
    if (m_w.m_state == EWorkerState::Idle)
        return;
    m_w.m_resolver.Cancel();
    if (m_w.m_hSocket != CSocketCtrl::INVALID_SOCKET)
    {
        shutdown(m_w.m_hSocket, SHUT_RDWR);
        CSocketCtrl::CloseSocket(m_w.m_hSocket);
    }
    m_w.FreeRings();
    m_w.SetState(EWorkerState::Idle);
    m_w.Post(STATUS_NOT_CONNECT);
}

void CUdpLink::DoUdpRetryWait()
{
    if (m_w.m_pDlg->m_options.m_bReconnect == 1 && CSocketCtrl::Now() > m_w.m_tRetry)
        m_w.SetState(EWorkerState::UdpBind);
}

void CUdpLink::WaitUdpRetry(CPollSet& wait)
{
    if (m_w.m_pDlg->m_options.m_bReconnect == 1)
        wait.Cap(CSocketCtrl::CYCLE_MS);
}
