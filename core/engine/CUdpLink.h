// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

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
    // The largest datagram UDP carries (IPv6 without jumbograms).
    static constexpr int MAX_DATAGRAM = 65535;

    CUdpLink(CConnection& conn, CPortSide& portSide) : m_conn(conn), m_portSide(portSide) {}
    ~CUdpLink() = default;

    CUdpLink(const CUdpLink&) = delete;
    CUdpLink& operator=(const CUdpLink&) = delete;

    void DoUdpBind();
    void DoUdpData();
    void ReceiveUdp();
    void SendUdp();
    void DoUdpClose();
    void DoUdpRetryWait();
    void WaitUdpRetry(CPollSet& wait);
    // Nothing held: the connection's rings are freed.
    void Reset();
    int HeldBytes() const { return m_nUdpHeld; }

private:
    void MoveHeldDatagram();

    CConnection& m_conn;
    CPortSide& m_portSide;
    struct sockaddr_storage m_udpPeer = {};
    socklen_t m_nUdpPeerLength = 0;
    // Every datagram is received here whole, in one call; one that does
    // not fit into the receive ring yet stays here (never cut) and is
    // handed on as room appears. Allocated with the rings, once per
    // connection.
    std::unique_ptr<unsigned char[]> m_pDatagram;
    int m_nUdpHeld = 0;
    int m_nUdpHeldOut = 0;
};
