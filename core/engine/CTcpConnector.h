// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

class CConnection;
class CPollSet;
class CTlsLink;

// The TCP client's side of a worker: dialling the peer, the connect wait,
// the retry and lost-connection waits; TLS follows on the connection it
// makes. Owned by its worker (CSocketCtrl), used on the worker's thread
// with its lock held.
class CTcpConnector
{
public:
    CTcpConnector(CConnection& conn, CTlsLink& tls) : m_conn(conn), m_tls(tls) {}

    void DoConnect(int bReconnect);
    void DoConnectWait(int bReconnect);
    void OnConnected(int bReconnect);
    void DoRetryWait();
    void DoLostWait();
    void WaitConnecting(CPollSet& wait);
    void WaitRetry(CPollSet& wait);

private:
    // The socket closed, a retry due after the Reconnect time; reports the
    // failure (an SSL Error while falling back to an older TLS version).
    void FailToRetry(int nCode);

    CConnection& m_conn;
    CTlsLink& m_tls;
    int64_t m_tConnect = 0;  // the connect's deadline
};
