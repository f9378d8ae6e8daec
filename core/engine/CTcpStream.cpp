// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTcpStream.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "core/engine/CComPortLink.h"
#include "core/engine/CConnection.h"
#include "core/engine/CPortSide.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

void CTcpStream::DoTcpData()
{
    if (!PeerCheck())
        return;
    m_portSide.NoteHangUp();
    // The port is read first and the network delivered last, so a byte
    // crosses in one cycle instead of waiting for the next.
    if (m_conn.m_tRxDrain == 0)
    {
        if (!m_portSide.IsAppGone())
            m_portSide.ReadPort(CConnection::BLOCK_SIZE);
        // After the port's read, which is where a flush shows.
        m_comPort.Service();
        SendTcp();
        if (!m_portSide.ReceiveGated())
            ReceiveTcp();
    }
    m_portSide.Deliver();
}

int CTcpStream::PeerCheck()
{
    int nGone = 0;  // 1 closed by the peer, 2 failed
    // The last wait saw neither a hang-up nor an error nor the peer's end of
    // stream: the peek could only say "alive".
    if (m_conn.m_tRxDrain == 0 && m_conn.m_bSocketQuiet && m_conn.m_nTlsGone == 0)
        return 1;
    if (m_conn.m_tRxDrain == 0)
    {
        unsigned char ch;
        ssize_t n = recv(m_conn.m_hSocket, &ch, 1, MSG_PEEK | MSG_DONTWAIT);
        const int bAlive = n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
        if (bAlive && m_conn.m_nTlsGone == 0)
            return 1;
        nGone = bAlive ? m_conn.m_nTlsGone : (n == 0 ? 1 : 2);
        // What was received before the peer went is still handed on, for
        // at most the drain time; only then is the connection given up.
        if (m_conn.m_rx.Count() > 0)
        {
            m_conn.m_tRxDrain = CConnection::Now() + CConnection::DRAIN_SECONDS;
            m_conn.m_nRxGone = nGone;
            return 1;
        }
    }
    else
    {
        if (m_conn.m_rx.Count() > 0 && CConnection::Now() <= m_conn.m_tRxDrain)
            return 1;
        nGone = m_conn.m_nRxGone;
        m_conn.m_tRxDrain = 0;
    }

    if (nGone == 1 && m_conn.IsServer())
    {
        m_conn.SetState(EWorkerState::Close);
        m_conn.Post(STATUS_NOT_CONNECT);
        return 0;
    }
    m_conn.CloseConnection();
    if (m_conn.IsServer())
    {
        m_conn.PostPeer("");  // no peer now
        m_conn.SetState(EWorkerState::Close);
        m_conn.Post(STATUS_NOT_CONNECT);
        return 0;
    }
    if (m_conn.Options().m_bReconnect == 1)
    {
        m_conn.StartLostWait();
    }
    else
    {
        m_conn.SetState(EWorkerState::RetryWait);
    }
    if (m_conn.m_strReason.empty())
        m_conn.NoteReason("connection to " + m_conn.PeerText() + (nGone == 1 ? " closed by the peer" : " lost"));
    m_conn.Post(STATUS_CONNECT_ERROR);
    return 0;
}

int CTcpStream::ReceiveTcp()
{
    if (!m_conn.m_rx.IsAllocated())
        return 0;
    const int nFree = m_conn.m_rx.Space();
    if (nFree <= 0)
        return 0;
    ETransportIo io;
    std::string strReason;
    const int nMost = nFree < CConnection::BLOCK_SIZE ? nFree : CConnection::BLOCK_SIZE;
    // The last receive found nothing and the wait since saw no input: this
    // one would find nothing either. A TLS session may hold what the socket
    // no longer shows, or wait for a write before it reads.
    if (m_conn.m_eSocketInput == CConnection::EInput::None && m_conn.m_bSocketReadEmpty &&
        m_conn.m_nSSLWant == 0 && !m_conn.m_transport.HasPending())
    {
        m_conn.m_bReceiveFull = false;
        return 0;
    }
    // Plain data lands in the ring itself when the room lies in one piece;
    // Telnet's is filtered on its way in.
    unsigned char buf[CConnection::BLOCK_SIZE];
    unsigned char* pInto = nullptr;
    const bool bInPlace = !m_conn.IsTelnet() && m_conn.m_rx.WritableRun(&pInto) >= nMost;
    if (!bInPlace)
        pInto = buf;
    const int n = m_conn.m_transport.Receive(pInto, nMost, &io, &strReason);
    m_conn.m_bSocketReadEmpty = n <= 0;
    m_conn.m_bReceiveFull = n == CConnection::BLOCK_SIZE;
    if (n <= 0)
    {
        switch (io)
        {
        case ETransportIo::WantRead: m_conn.m_nSSLWant = 0; break;
        case ETransportIo::WantWrite: m_conn.m_nSSLWant = POLLOUT; break;
        case ETransportIo::Closed: m_conn.m_nTlsGone = 1; break;
        case ETransportIo::Failed:
            m_conn.m_nTlsGone = 2;
            m_conn.NoteReason(strReason);
            break;
        default: break;
        }
        return 0;
    }
    m_conn.m_nSSLWant = 0;
    m_conn.CountReceived(n);
    if (bInPlace)
    {
        m_conn.m_rx.Commit(n);
        return n;
    }
    int nData = n;
    if (m_conn.IsTelnet())
    {
        m_conn.m_telnet.Filter(buf, nData);
        // Answer at once: nothing else may wake the worker for it. The
        // option's answer goes before what is said under the option.
        if (m_conn.m_state == EWorkerState::Data || m_conn.m_state == EWorkerState::TelnetLogin)
            m_conn.m_telnet.PutNegotiation(m_conn.m_tx);
        m_comPort.Service();
    }
    m_conn.m_rx.Put(buf, nData);
    return n;
}

void CTcpStream::ServiceComPort()
{
    m_comPort.Service();
}

void CTcpStream::SendTcp()
{
    if (!m_conn.m_tx.IsAllocated() || m_conn.m_tx.Count() == 0 || m_conn.m_hSocket == CConnection::INVALID_SOCKET)
        return;
    // A block that lies in one piece goes out from the ring itself; only
    // one across its end is copied, so that it still goes in one send.
    unsigned char buf[CConnection::BLOCK_SIZE];
    const unsigned char* pBlock = nullptr;
    const int n = m_conn.m_tx.PeekBlock(&pBlock, buf, CConnection::BLOCK_SIZE);
    ETransportIo io;
    std::string strReason;
    const int nSent = m_conn.m_transport.Send(pBlock, n, &io, &strReason);
    if (nSent > 0)
    {
        m_conn.m_tx.Consume(nSent);
        m_conn.CountSent(nSent);
        return;
    }
    switch (io)
    {
    case ETransportIo::WantRead: m_conn.m_nSSLWant = POLLIN; break;
    case ETransportIo::Closed:
    case ETransportIo::Failed:
        m_conn.m_nTlsGone = 2;
        m_conn.m_bSendFailed = 1;
        m_conn.NoteReason(strReason);
        break;
    case ETransportIo::Broken: m_conn.m_bSendFailed = 1; break;
    default: break;
    }
}

void CTcpStream::DoTcpClose()
{
    if (m_conn.m_state == EWorkerState::Idle)
        return;
    m_conn.CloseConnection();
    m_conn.m_tRxDrain = 0;
    if (m_conn.IsServer())
    {
        m_conn.PostPeer("");  // no peer now
        m_conn.SetState(EWorkerState::Listen);
    }
    else
    {
        m_conn.SetState(EWorkerState::Idle);
    }
    m_conn.Post(STATUS_NOT_CONNECT);
}
