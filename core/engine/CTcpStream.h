// SPDX-License-Identifier: Apache-2.0
#pragma once

class CComPortLink;
class CConnection;
class CPortSide;

// The data path of a TCP connection, plain or TLS: one cycle of moving
// bytes between the port and the peer, the check that the peer is still
// there, and the connection's close. The login runs over it too. Owned by
// its worker (CSocketCtrl), used on the worker's thread with its lock held.
class CTcpStream
{
public:
    CTcpStream(CConnection& conn, CPortSide& portSide, CComPortLink& comPort)
        : m_conn(conn), m_portSide(portSide), m_comPort(comPort)
    {
    }

    // One cycle of the Data state.
    void DoTcpData();
    // 1 while the peer is there or what it sent is still handed on; else
    // the connection is closed, reported and the next state set.
    int PeerCheck();
    // Returns the bytes taken from the connection (before Telnet filtering).
    int ReceiveTcp();
    void SendTcp();
    // Closes the connection: a server listens again, a client goes idle.
    void DoTcpClose();

private:
    CConnection& m_conn;
    CPortSide& m_portSide;
    CComPortLink& m_comPort;
};
