// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/engine/CComPortLink.h"
#include "core/engine/CConnection.h"
#include "core/engine/CLoginDialogue.h"
#include "core/engine/CLoopWorker.h"
#include "core/engine/CPortSide.h"
#include "core/engine/CTcpConnector.h"
#include "core/engine/CTcpListener.h"
#include "core/engine/CTcpStream.h"
#include "core/engine/CTlsLink.h"
#include "core/engine/CUdpLink.h"
#include "core/engine/EWorkerState.h"

class CPollSet;
class CWorkerLoop;
class CWorkerPort;

// The connection worker of one port: owns the port's sockets, runs the
// connection state machine on the event loop it shares with other ports
// (CWorkerLoop) and moves bytes between the virtual port and the network
// through two rings.
//
// The worker keeps the cycle, the wait and the table of the states; the
// connection's shared part (CConnection) and each role (TCP client, TCP
// server, UDP, TLS, the login, the TCP data path, the application's side)
// are parts of it with their own fields. The worker reaches its port only
// through the link it is bound to (CWorkerPort).
//
// One cycle runs the current state's procedure once under m_cs and
// refreshes the line indication. Between cycles the worker waits, in its
// loop's epoll set, for what the next cycle can act on, at most 10 ms while
// something timed is pending and without limit when nothing is. "Thread"
// in the names below is the worker's run on its loop.
class CSocketCtrl
{
public:
    // Bytes waiting in the port from which its event handlers hold the
    // application back; the worker releases it below RELEASE_LEVEL.
    static constexpr int THROTTLE_LEVEL = CConnection::THROTTLE_LEVEL;

    CSocketCtrl();
    virtual ~CSocketCtrl();

    CSocketCtrl(const CSocketCtrl&) = delete;
    CSocketCtrl& operator=(const CSocketCtrl&) = delete;

    // Owner thread, once: the link to the port (it outlives the worker) and
    // the port's number, which the diagnostics name.
    void Bind(CWorkerPort& port, int nPort);
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
    int IsThreadRunning() const { return m_pLoop != nullptr ? 1 : 0; }
    // Cycles run so far: shows that an idle worker sleeps.
    uint64_t GetCycleCount() const { return m_nCycles; }
    // Any thread: bytes sent to and received from the peer since the
    // thread was last started.
    uint64_t BytesSent() const { return m_conn.m_nBytesSent.load(std::memory_order_relaxed); }
    uint64_t BytesReceived() const { return m_conn.m_nBytesReceived.load(std::memory_order_relaxed); }

    // Any thread: the ring the port's monitor reads (null: none). The ring
    // must outlive the worker's thread; its port owns it.
    void SetCapture(CCaptureRing* pRing) { m_conn.m_pCapture.store(pRing, std::memory_order_release); }
    CCaptureRing* GetCapture() const { return m_conn.m_pCapture.load(std::memory_order_acquire); }
    // Owner thread: an event of the port (opened, settings) for its monitor,
    // when one watches; costs one load when none does.
    template <typename F>
    void CaptureEventOf(F&& fnText)
    {
        if (CCaptureRing* pRing = GetCapture(); pRing != nullptr)
            pRing->PutEvent(fnText());
    }
    void CaptureEvent(const char* pszText)
    {
        CaptureEventOf([pszText] { return std::string(pszText); });
    }

    // Where a TLS server port finds its certificate and key (PEM), instead
    // of the options' files (tests). Owner thread, while stopped.
    void SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey);

    // Tests: the data socket and the listening socket (-1: none).
    int GetSocketHandle();
    int GetListenHandle();

    // Tests: a stand-in for the millisecond tick counter.
    void SetTickSource(std::function<uint32_t()> fnTick);

private:
    // Its loop's (CWorkerLoop, through m_loopClient), on the loop's thread;
    // see CLoopWorker.
    void LoopBegin();
    bool LoopCycle();
    bool LoopPrepareWait(CPollSet& wait);
    void LoopTakeWait(CPollSet& wait);
    void LoopFinish();

    void RunState();
    // m_cs held: a close's drain is under way.
    int IsDraining() const;
    // m_cs held: the close is complete; tell whoever waits for it.
    void ReportIdle();
    // m_cs held: what to wait for before the next cycle: the wake-up and
    // what the current state's step waits for.
    void BuildWait(CPollSet& wait);
    // The last cycle left work the next can do without waiting.
    bool HasWorkAtOnce() const;

    // One state's procedure (one cycle of it) and its wait; see Step().
    struct SStep;
    static const SStep& Step(EWorkerState state);
    // The waits of the states the worker itself runs, m_cs held; each adds
    // to wait what its state's next cycle can act on and the time limit it
    // needs. The roles have theirs.
    void WaitResolve(CPollSet& wait);
    void WaitData(CPollSet& wait);
    void WaitDrain(CPollSet& wait);

    // A close's drain (TCP or UDP), then nextState.
    void DoDrain(EWorkerState nextState);

    // What its loop runs. A member rather than a base, so that the loop
    // never calls through an object whose destructor has begun: the
    // destructor stops the worker before its members go.
    class CLoopClient final : public CLoopWorker
    {
    public:
        explicit CLoopClient(CSocketCtrl& worker) : m_worker(worker) {}
        void LoopBegin() override { m_worker.LoopBegin(); }
        bool LoopCycle() override { return m_worker.LoopCycle(); }
        bool LoopPrepareWait(CPollSet& wait) override { return m_worker.LoopPrepareWait(wait); }
        void LoopTakeWait(CPollSet& wait) override { m_worker.LoopTakeWait(wait); }
        void LoopFinish() override { m_worker.LoopFinish(); }

    private:
        CSocketCtrl& m_worker;
    };
    CLoopClient m_loopClient{*this};
    // The loop the worker runs on while started (null: not started).
    CWorkerLoop* m_pLoop = nullptr;
    // The sessions kept across a reopen before the last wait began.
    unsigned m_nKeptBeforeWait = 0;
    // Called once the worker is idle after a close (OnPortClose).
    std::function<void()> m_fnIdle;

    // The shared part first: the roles hold on to it, and those above to
    // those below.
    CConnection m_conn;
    CPortSide m_portSide{m_conn};
    CUdpLink m_udp{m_conn, m_portSide};
    CComPortLink m_comPort{m_conn};
    CTcpStream m_stream{m_conn, m_portSide, m_comPort};
    CLoginDialogue m_dialogue{m_conn, m_stream};
    CTlsLink m_tls{m_conn, m_dialogue};
    CTcpConnector m_connector{m_conn, m_tls};
    CTcpListener m_listener{m_conn, m_tls, m_dialogue};

    // The worker's lock: held for a whole cycle.
    std::mutex m_cs;
    int m_hWake = -1;  // eventfd: open, close and stop wake the wait
    std::atomic<uint64_t> m_nCycles{0};
};
