#pragma once

#include <cstdint>

class CPollSet;
class CSocketCtrl;

// The TCP client's side of a worker: dialling the peer, the connect wait,
// the retry and lost-connection waits. Owned by its worker (CSocketCtrl),
// used on the worker's thread with its lock held.
class CTcpConnector
{
public:
    explicit CTcpConnector(CSocketCtrl& w) : m_w(w) {}

    void DoConnect(int bReconnect);
    void DoConnectWait(int bReconnect);
    void OnConnected(int bReconnect);
    // The socket closed, a retry due after the Reconnect time; reports the
    // failure (an SSL Error while falling back to an older TLS version).
    void FailToRetry(int nCode);
    void DoRetryWait();
    void DoLostWait();
    // The connection was lost: dial again after LOST_REDIAL_MS.
    void StartLostWait();
    void WaitConnecting(CPollSet& wait);
    void WaitRetry(CPollSet& wait);

private:
    CSocketCtrl& m_w;
    int64_t m_tConnect = 0;     // the connect's deadline
    uint32_t m_dwLostTick = 0;  // when a lost connection is dialled again
};
