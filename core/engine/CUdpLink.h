// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/socket.h>

class CConnection;
class CPollSet;
class CPortSide;

// A UDP port's side of a worker: the bound socket, datagrams to the peer
// and from anyone, never cut. Owned by its worker (CSocketCtrl), used on
// the worker's thread with its lock held.
class CUdpLink
{
public:
    CUdpLink(CConnection& conn, CPortSide& portSide) : m_conn(conn), m_portSide(portSide) {}
    ~CUdpLink() { FreeHeldDatagram(); }

    CUdpLink(const CUdpLink&) = delete;
    CUdpLink& operator=(const CUdpLink&) = delete;

    void DoUdpBind();
    void DoUdpData();
    void ReceiveUdp();
    void SendUdp();
    void DoUdpClose();
    void DoUdpRetryWait();
    void WaitUdpRetry(CPollSet& wait);
    // Nothing waiting or held: the connection's rings are freed.
    void Reset()
    {
        FreeHeldDatagram();
        m_nUdpWaiting = 0;
    }
    int WaitingSize() const { return m_nUdpWaiting; }
    int HeldBytes() const { return m_nUdpHeld; }

private:
    void MoveHeldDatagram();
    void FreeHeldDatagram();

    CConnection& m_conn;
    CPortSide& m_portSide;
    struct sockaddr_storage m_udpPeer = {};
    socklen_t m_nUdpPeerLength = 0;
    // The size of the next datagram when it did not fit into the receive
    // ring yet (it waits in the socket, never cut), and a datagram larger
    // than the whole ring, held here and handed on in parts.
    int m_nUdpWaiting = 0;
    unsigned char* m_pUdpHeld = nullptr;
    int m_nUdpHeld = 0;
    int m_nUdpHeldOut = 0;
};
