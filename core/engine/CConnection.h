// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/socket.h>

#include "core/engine/CCaptureRing.h"
#include "core/engine/CResolver.h"
#include "core/engine/CRing.h"
#include "core/engine/CTelnetCtrl.h"
#include "core/engine/CTransport.h"
#include "core/engine/CWorkerPort.h"
#include "core/engine/EWorkerState.h"
#include "core/model/CPortEntry.h"

class CLineState;
class COptionSet;
struct ssl_st;

// The part of one port's connection that every role of its worker shares:
// the state, the socket with its byte stream, the reason of the failure
// about to be reported, the peer's address, the rings, the Telnet side,
// the deadlines and the link to the port. The roles (CTcpConnector,
// CTcpListener, CUdpLink, CTlsLink, CLoginDialogue, CTcpStream, CPortSide)
// take it by reference; the worker (CSocketCtrl) owns it.
//
// Not locked: used on the worker's thread with the worker's lock held, or
// by its owner while the thread does not run. GetState is for any thread.
class CConnection
{
public:
    static constexpr int RING_SIZE = CRing::CAPACITY;
    static constexpr int BLOCK_SIZE = 1600;       // per direction and cycle
    static constexpr int THROTTLE_LEVEL = 4096;   // bytes waiting in the port
    static constexpr int RELEASE_LEVEL = 1600;
    static constexpr int DRAIN_SECONDS = 10;
    static constexpr uint32_t LOST_REDIAL_MS = 300;
    static constexpr int CYCLE_MS = 10;
    static constexpr int INVALID_SOCKET = -1;
    // What the last wait saw of the pty: nothing (not in the wait), open or
    // hung up.
    static constexpr int PTY_UNKNOWN = 0;
    static constexpr int PTY_OPEN = 1;
    static constexpr int PTY_HUNG = 2;
    // Cycles in a row that may skip their wait, each having left work it
    // can do at once: the next wait still comes soon enough for the other
    // direction, the owner's commands and a hang-up.
    static constexpr int QUICK_CYCLES = 4;

    // What the last wait said of a descriptor's input: not asked, input
    // there (or a hang-up or error, which a read reports), or none.
    enum class EInput
    {
        Unknown,
        Ready,
        None,
    };

    CConnection() = default;
    ~CConnection() = default;

    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Owner thread, once: the port link and the number the diagnostics name.
    void Bind(CWorkerPort* pPort, int nPort);
    bool IsBound() const { return m_pPort != nullptr; }
    // Owner thread, while the thread does not run or with the worker's lock
    // held: takes the port's entry afresh. The configuration changes only
    // while the ports are stopped, so the copy holds for a whole run.
    void ReadEntry();

    CWorkerPort& Port() const { return *m_pPort; }
    const CPortEntry& Entry() const { return m_entry; }
    const COptionSet& Options() const;
    CLineState& Line() const;

    // Any thread.
    EWorkerState GetState() const { return m_state; }
    // Every change goes through it; checks the move in test builds.
    void SetState(EWorkerState state);
    // Tests: a state without the way there.
    void ForceState(EWorkerState state) { m_state = state; }

    int IsServer() const { return m_entry.m_nMode == MODE_TCP_SERVER ? 1 : 0; }
    int IsUdp() const { return m_entry.m_nMode == MODE_UDP ? 1 : 0; }
    int IsTelnet() const { return m_entry.m_nConnectType == CONNECT_TELNET && !IsUdp() ? 1 : 0; }

    // A Telnet session begins on the connection: nRole 1 server, 0 client.
    // Queues this side's opening requests (COM port control among them
    // when the port has it) and, for a client, sends them at once.
    void StartTelnet(int nRole);

    // Reports a state; a failure takes the reason noted for it along.
    void Post(int nCode);
    // Why the failure about to be reported happened (see CErrorText).
    void NoteReason(std::string strReason);
    // A server's peer ("address:port"; empty: none now).
    void PostPeer(std::string strPeer);
    // "address:port" of the configured peer.
    std::string PeerText() const;
    // A socket bound to local port 0: report the port the system gave.
    void ReportLocalPort(int hSocket);

    int SetKeepAlive(int hSocket);
    // The peer's address (m_resolver): RESOLVE_BUSY while a name is looked
    // up; RESOLVE_FAILED with the reason noted.
    int ResolvePeer(int nSockType);
    // The any-address of nFamily with port nPort; returns its length.
    // Sockets closed so far by every worker: a descriptor number seen before
    // may stand for another socket once this moved.
    static uint64_t SocketsClosed() { return s_nSocketsClosed.load(std::memory_order_relaxed); }
    static socklen_t AnyAddress(int nFamily, int nPort, struct sockaddr_storage* pAddr);
    static void CloseSocket(int& hSocket);

    // Both rings, empty; 0 when there is no memory for them.
    int AllocRings();
    void FreeRings();
    // Ends the TLS session (one close notify) and the byte stream.
    void FreeTls();
    // The socket, the session, the rings and a lookup under way: all gone.
    void CloseConnection();
    // The socket closed, a retry due after the Reconnect time; reports nCode.
    void FailToRetry(int nCode);
    // The connection was lost: dial again after LOST_REDIAL_MS.
    void StartLostWait();

    // Whether the lost-connection wait begun at dwLostTick is over at tick t,
    // with the counter wrapping at 2^32.
    static bool LostWaitOver(uint32_t dwLostTick, uint32_t t);
    // Seconds of a monotonic clock (deadlines) and the 32-bit millisecond tick.
    static int64_t Now();
    static uint32_t RealTick();
    // The tick source's tick (tests stand one in).
    uint32_t Tick() const;

    CWorkerPort* m_pPort = nullptr;
    int m_nPort = 0;
    // The port's entry as ReadEntry took it.
    CPortEntry m_entry;
    // Read from any thread (GetState).
    std::atomic<EWorkerState> m_state{EWorkerState::Idle};
    // Bytes that crossed the network since the worker started (the data,
    // before TLS and after Telnet's own bytes are added): read from any
    // thread for the port's tool tip, so relaxed atomics and no lock.
    std::atomic<uint64_t> m_nBytesSent{0};
    std::atomic<uint64_t> m_nBytesReceived{0};
    void CountSent(int n) { m_nBytesSent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed); }
    void CountReceived(int n) { m_nBytesReceived.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed); }
    // The port's monitor, or null when none watches: looked at once per move
    // of bytes, so an unwatched port pays one load. Set from any thread; the
    // ring outlives the worker (its port owns it).
    std::atomic<CCaptureRing*> m_pCapture{nullptr};
    // Worker thread: a burst, or an event, for the monitor when one watches.
    void Capture(ECapture kind, const unsigned char* pData, int nLength)
    {
        if (CCaptureRing* pRing = m_pCapture.load(std::memory_order_acquire); pRing != nullptr && nLength > 0)
            pRing->PutNoWait(kind, pData, static_cast<size_t>(nLength));
    }
    bool IsCaptured() const { return m_pCapture.load(std::memory_order_relaxed) != nullptr; }
    // An event's text is made only when a monitor watches.
    void CaptureEvent(const char* pszText)
    {
        if (CCaptureRing* pRing = m_pCapture.load(std::memory_order_acquire); pRing != nullptr)
            pRing->PutEventNoWait(pszText);
    }
    template <typename F>
    void CaptureEventOf(F&& fnText)
    {
        if (CCaptureRing* pRing = m_pCapture.load(std::memory_order_acquire); pRing != nullptr)
            pRing->PutEventNoWait(fnText());
    }
    // The worker was asked to stop; set by its owner under the worker's lock.
    int m_bStop = 0;

    int m_hSocket = INVALID_SOCKET;
    // The data path's byte stream: the socket, or the TLS session over it.
    CTransport m_transport;
    // The TLS session being made or in use (CTlsLink makes it).
    struct ssl_st* m_pSSL = nullptr;
    // The reason of the failure about to be reported (Post takes it).
    std::string m_strReason;
    // The peer's address of client and UDP ports, and when looking up its
    // name is given up.
    CResolver m_resolver;
    int64_t m_tResolve = 0;
    // Application to network, and network to application.
    CRing m_tx;
    CRing m_rx;
    // Bytes the port still held after the last read of it: a pty does not
    // report ready for what the port object has already taken in.
    long m_nPortPending = 0;
    // The Telnet side of the whole connection (negotiation, filter).
    CTelnetCtrl m_telnet;
    // Telnet sessions begun: COM port control starts afresh on each.
    unsigned m_nTelnetSessions = 0;

    // Deadlines: the next retry, the end of a close's drain, and when a
    // lost connection is dialled again (a tick).
    int64_t m_tRetry = 0;
    int64_t m_tDrain = 0;
    uint32_t m_dwLostTick = 0;
    // When the peer went away while received bytes still waited for the
    // application: they are handed on until this deadline (0: not so).
    int64_t m_tRxDrain = 0;
    int m_nRxGone = 0;  // how it went: 1 closed, 2 failed
    // The TLS session saw the peer's close notify (1) or failed (2); the
    // socket may still look alive.
    int m_nTlsGone = 0;
    // The last send failed for good: the connection is gone.
    int m_bSendFailed = 0;
    // What the last TLS call waits for (POLLIN or POLLOUT), 0 when nothing.
    short m_nSSLWant = 0;
    // What the last wait saw: the socket without hang-up, error or end of
    // stream.
    int m_bSocketQuiet = 0;
    // What the last wait said of the socket's input, and whether the last
    // receive found nothing: after an empty one the socket is read again
    // only once a wait reports input.
    EInput m_eSocketInput = EInput::Unknown;
    bool m_bSocketReadEmpty = false;
    // The last receive took a whole block: more is likely waiting.
    bool m_bReceiveFull = false;
    // Cycles run in a row without a wait.
    int m_nQuickCycles = 0;

    std::function<uint32_t()> m_fnTick;

private:
    static std::atomic<uint64_t> s_nSocketsClosed;
};
