#pragma once

#include <atomic>
#include <cstdint>
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <sys/socket.h>

#include "core/engine/CLoginDialogue.h"
#include "core/engine/CPortSide.h"
#include "core/engine/CResolver.h"
#include "core/engine/CRing.h"
#include "core/engine/CTcpConnector.h"
#include "core/engine/CTcpListener.h"
#include "core/engine/CTelnetCtrl.h"
#include "core/engine/CTlsLink.h"
#include "core/engine/CTransport.h"
#include "core/engine/CUdpLink.h"
#include "core/engine/EWorkerState.h"

class CPollSet;
class CPortOwner;
class COmbraPortAx;
struct pollfd;
struct ssl_st;

// The connection worker of one port: owns the port's sockets, runs the
// connection state machine on a thread of its own and moves bytes between
// the virtual port and the network through two rings.
//
// The worker keeps the thread, the cycle, the wait, the state and the TCP
// data path; each role (TCP client, TCP server, UDP, TLS, the login, the
// application's side) is a part of it with its own fields.
//
// One cycle runs the current state's procedure once under m_cs and
// refreshes the line indication. Between cycles the thread waits in poll for
// what the next cycle can act on, at most 10 ms while something timed is
// pending and without limit when nothing is.
class CSocketCtrl
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

    CSocketCtrl();
    virtual ~CSocketCtrl();

    CSocketCtrl(const CSocketCtrl&) = delete;
    CSocketCtrl& operator=(const CSocketCtrl&) = delete;

    // Owner thread, once.
    void Bind(CPortOwner* pDlg, int nPort);
    // Owner thread. 1 when the thread was started.
    int StartThread();
    // Owner thread, never with m_cs held: ends the thread and waits for it;
    // a drain under way finishes first (it is bounded by DRAIN_SECONDS), so
    // a stop loses nothing an application wrote before it closed. 0 when no
    // thread was running.
    int StopThread();
    // Owner thread: an application opened / closed the virtual port. After
    // a close the worker drains what the application left and closes the
    // connection on its own thread; fnIdle, when given, is then called once
    // on the worker thread with m_cs held, as soon as the worker is back to
    // idle (also when the thread is stopped first). It may only post.
    int OnPortOpen();
    int OnPortClose(std::function<void()> fnIdle = {});
    // Any thread: the flow state changed outside the worker; run a cycle.
    void Wake();
    // Owner thread: 1 when the worker saw its application leave and waits
    // for that close to be handled (it no longer reads the port).
    int SawApplicationGo();
    // Owner thread, on a close: 1 when the connection is to carry on for the
    // application that has the port open again by now. That holds when a
    // close and reopen went by between two of the worker's reads, so the
    // connection may already carry the new application's bytes; a hang-up
    // the worker saw before this call is then forgotten. 0 when the port is
    // closed, the worker is idle or it already stopped reading for the close.
    int KeepSessionForReopen();

    // Any thread.
    EWorkerState GetState() const;
    // Tests, while the thread does not run: puts the worker into a state
    // without the way there.
    void SetStateForTest(EWorkerState state);
    int IsThreadRunning() const { return m_thread.joinable() ? 1 : 0; }
    // Cycles run so far: shows that an idle worker sleeps.
    uint64_t GetCycleCount() const { return m_nCycles; }

    // Where a TLS server port finds its certificate and key (PEM); Bind
    // sets them beside the executable. Owner thread, while stopped.
    void SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey);

    // Tests: the data socket and the listening socket (-1: none).
    int GetSocketHandle();
    int GetListenHandle();

    // Tests: a stand-in for the millisecond tick counter.
    void SetTickSource(std::function<uint32_t()> fnTick);

    // Whether the lost-connection wait begun at dwLostTick is over at tick t,
    // with the counter wrapping at 2^32.
    static bool LostWaitOver(uint32_t dwLostTick, uint32_t t);

    // Seconds of a monotonic clock (deadlines) and the 32-bit millisecond tick.
    static int64_t Now();
    static uint32_t RealTick();

private:
    friend class CTcpConnector;
    friend class CTlsLink;
    friend class CTcpListener;
    friend class CUdpLink;
    friend class CLoginDialogue;
    friend class CPortSide;

    void Run();
    void RunState();
    // m_cs held: a close's drain is under way.
    int IsDraining() const;
    // m_cs held: the close is complete; tell whoever waits for it.
    void ReportIdle();
    // m_cs held: what to wait for before the next cycle: the wake-up and
    // what the current state's step waits for.
    void BuildWait(CPollSet& wait);
    void WaitForWork();

    // One state's procedure (one cycle of it) and its wait; see Step().
    struct SStep;
    static const SStep& Step(EWorkerState state);
    // The waits of the states the worker itself runs, m_cs held; each adds
    // to wait what its state's next cycle can act on and the time limit it
    // needs. The roles have theirs.
    void WaitResolve(CPollSet& wait);
    void WaitData(CPollSet& wait);
    void WaitDrain(CPollSet& wait);

    // The peer's address (m_resolver): RESOLVE_BUSY while a name is looked
    // up; RESOLVE_FAILED with the reason noted.
    int ResolvePeer(int nSockType);
    // The any-address of nFamily with port nPort; returns its length.
    static socklen_t AnyAddress(int nFamily, int nPort, struct sockaddr_storage* pAddr);

    int SetKeepAlive(int hSocket);
    static void CloseSocket(int& hSocket);

    // Data path
    void DoTcpData();
    int PeerCheck();
    // Returns the bytes taken from the connection (before Telnet filtering).
    int ReceiveTcp();
    void SendTcp();
    void DoDrain(EWorkerState nextState);
    void CloseConnection();
    void DoTcpClose();

    int IsTelnet() const;

    // Rings
    int AllocRings();
    void FreeRings();

    int IsServer() const;
    int IsUdp() const;
    COmbraPortAx& Port() const;
    // Reports a state; a failure takes the reason noted for it along.
    void Post(int nCode);
    // Why the failure about to be reported happened (see CErrorText).
    void NoteReason(std::string strReason);
    // "address:port" of the configured peer.
    std::string PeerText() const;
    // A socket bound to local port 0: report the port the system gave.
    void ReportLocalPort(int hSocket);
    uint32_t Tick() const;

public:
    CPortOwner* m_pDlg = nullptr;
    int m_nPort = 0;

private:
    // Every change goes through it (m_cs held); checks the move in test builds.
    void SetState(EWorkerState state);

    // Read from any thread (GetState); written under m_cs.
    std::atomic<EWorkerState> m_state{EWorkerState::Idle};
    std::thread m_thread;
    int m_hSocket = INVALID_SOCKET;
    // The data path's byte stream: the socket, or the TLS session over it.
    CTransport m_transport;
    int m_bStop = 0;
    // The reason of the failure about to be reported (Post takes it).
    std::string m_strReason;
    // The peer's address of client and UDP ports, and when looking up its
    // name is given up.
    CResolver m_resolver;
    int64_t m_tResolve = 0;
    // Called once the worker is idle after a close (OnPortClose).
    std::function<void()> m_fnIdle;
    // Application to network, and network to application.
    CRing m_tx;
    CRing m_rx;
    int64_t m_tRetry = 0;
    int64_t m_tDrain = 0;
    // The Telnet side of the whole connection (negotiation, filter).
    CTelnetCtrl m_telnet;
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
    // stream; the pty open or hung up (or not in the wait, CPortSide).
    static constexpr int PTY_UNKNOWN = 0;
    static constexpr int PTY_OPEN = 1;
    static constexpr int PTY_HUNG = 2;
    int m_bSocketQuiet = 0;

    // The roles, each with its own fields; they run on this thread under
    // m_cs and reach the shared connection through the worker.
    CTcpConnector m_connector;
    CTlsLink m_tls;
    CTcpListener m_listener;
    CUdpLink m_udp;
    CLoginDialogue m_dialogue;
    CPortSide m_portSide;

    // The worker's lock: held for a whole cycle; re-entrant because the
    // connect wait reads the stop flag under it.
    std::recursive_mutex m_cs;
    int m_hWake = -1;  // eventfd: open, close and stop wake the wait
    std::function<uint32_t()> m_fnTick;
    std::atomic<uint64_t> m_nCycles{0};
};
