// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CUdpLink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

#include "core/engine/CConnection.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CPortSide.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

void CUdpLink::DoUdpBind()
{
    auto fail = [this](std::string strReason) {
        m_conn.NoteReason(std::move(strReason));
        CConnection::CloseSocket(m_conn.m_hSocket);
        m_conn.m_tRetry = CConnection::Now() + m_conn.Options().m_nReconnectTime;
        m_conn.SetState(EWorkerState::UdpRetryWait);
        m_conn.Post(STATUS_UDP_ERROR);
    };
    const int nResolve = m_conn.ResolvePeer(SOCK_DGRAM);
    if (nResolve == CResolver::RESOLVE_BUSY)
        return;
    if (nResolve == CResolver::RESOLVE_FAILED)
    {
        fail(m_conn.m_strReason);
        return;
    }
    // The peer's address for every datagram; the socket is of its family.
    memcpy(&m_udpPeer, m_conn.m_resolver.GetAddress(), m_conn.m_resolver.GetLength());
    m_nUdpPeerLength = m_conn.m_resolver.GetLength();
    m_conn.m_hSocket = socket(m_udpPeer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // A new socket, perhaps under an old number: nothing seen of the last
    // one holds for it.
    m_conn.m_eSocketInput = CConnection::EInput::Unknown;
    m_conn.m_bSocketReadEmpty = false;
    if (m_conn.m_hSocket < 0)
    {
        m_conn.m_hSocket = CConnection::INVALID_SOCKET;
        fail(CErrorText::Errno("socket", errno));
        return;
    }
    if (m_conn.Entry().m_strIPAddress.find("255") != std::string::npos)
    {
        int nOn = 1;
        setsockopt(m_conn.m_hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof(nOn));
    }
    struct sockaddr_storage addr;
    const socklen_t nLength =
        CConnection::AnyAddress(m_udpPeer.ss_family, m_conn.Entry().m_nLocPort, &addr);
    if (bind(m_conn.m_hSocket, reinterpret_cast<struct sockaddr*>(&addr), nLength) != 0)
    {
        fail(CErrorText::Errno("bind 0.0.0.0:" + std::to_string(m_conn.Entry().m_nLocPort), errno));
        return;
    }
    Reset();
    m_pDatagram.reset(new (std::nothrow) unsigned char[MAX_DATAGRAM]);
    if (!m_pDatagram || !m_conn.AllocRings())
    {
        m_pDatagram.reset();
        fail("no memory for the connection's buffers");
        return;
    }
    m_conn.ReportLocalPort(m_conn.m_hSocket);
    m_conn.SetState(EWorkerState::UdpData);
    m_conn.Post(STATUS_UDP_STARTED);
}

void CUdpLink::DoUdpData()
{
    // In the order of the TCP pump: one cycle carries a byte across.
    m_portSide.NoteHangUp();
    if (!m_portSide.IsAppGone())
        m_portSide.ReadPort(CConnection::BLOCK_SIZE);
    SendUdp();
    if (!m_portSide.ReceiveGated())
        ReceiveUdp();
    m_portSide.Deliver();
}

void CUdpLink::Reset()
{
    m_pDatagram.reset();
    m_nUdpHeld = 0;
    m_nUdpHeldOut = 0;
}

void CUdpLink::MoveHeldDatagram()
{
    const int n = std::min(m_nUdpHeld, m_conn.m_rx.Space());
    if (n <= 0)
        return;
    m_conn.m_rx.Put(m_pDatagram.get() + m_nUdpHeldOut, n);
    m_nUdpHeldOut += n;
    m_nUdpHeld -= n;
    if (m_nUdpHeld == 0)
        m_nUdpHeldOut = 0;
}

void CUdpLink::ReceiveUdp()
{
    if (!m_conn.m_rx.IsAllocated() || !m_pDatagram)
        return;
    if (m_nUdpHeld > 0)
    {
        MoveHeldDatagram();
        return;
    }
    const int nFree = m_conn.m_rx.Space();
    if (nFree <= 0)
        return;
    // The last receive found nothing and the wait since saw no input: this
    // one would find nothing either.
    if (m_conn.m_eSocketInput == CConnection::EInput::None && m_conn.m_bSocketReadEmpty)
        return;
    struct sockaddr_storage from;
    socklen_t nLen = sizeof(from);
    // Datagrams from any sender are taken, not only the peer's. The buffer
    // holds the largest one, so one call takes each whole.
    const ssize_t n = recvfrom(m_conn.m_hSocket, m_pDatagram.get(), MAX_DATAGRAM, MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr*>(&from), &nLen);
    m_conn.m_bSocketReadEmpty = n < 0;
    if (n <= 0)
        return;
    m_conn.CountReceived(static_cast<int>(n));
    m_nUdpHeld = static_cast<int>(n);
    m_nUdpHeldOut = 0;
    MoveHeldDatagram();
}

void CUdpLink::SendUdp()
{
    if (!m_conn.m_tx.IsAllocated() || m_conn.m_tx.Count() == 0 || m_conn.m_hSocket == CConnection::INVALID_SOCKET)
        return;
    unsigned char buf[CConnection::BLOCK_SIZE];
    const int n = m_conn.m_tx.Peek(buf, CConnection::BLOCK_SIZE);
    const ssize_t nSent = sendto(m_conn.m_hSocket, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL,
                                 reinterpret_cast<struct sockaddr*>(&m_udpPeer), m_nUdpPeerLength);
    if (nSent > 0)
    {
        m_conn.m_tx.Consume(static_cast<int>(nSent));
        m_conn.CountSent(static_cast<int>(nSent));
    }
}

void CUdpLink::DoUdpClose()
{
    if (m_conn.m_state == EWorkerState::Idle)
        return;
    m_conn.m_resolver.Cancel();
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET)
    {
        shutdown(m_conn.m_hSocket, SHUT_RDWR);
        CConnection::CloseSocket(m_conn.m_hSocket);
    }
    m_conn.FreeRings();
    Reset();
    m_conn.SetState(EWorkerState::Idle);
    m_conn.Post(STATUS_NOT_CONNECT);
}

void CUdpLink::DoUdpRetryWait()
{
    if (m_conn.Options().m_bReconnect == 1 && CConnection::Now() > m_conn.m_tRetry)
        m_conn.SetState(EWorkerState::UdpBind);
}

void CUdpLink::WaitUdpRetry(CPollSet& wait)
{
    if (m_conn.Options().m_bReconnect == 1)
        wait.Cap(CConnection::CYCLE_MS);
}
