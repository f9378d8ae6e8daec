// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/TlsTrust.h"
#include "core/service/CPostMsgList.h"

// Kinds of the connection test's progress entries (nType of an entry) with
// their steps (nParam); the dialog turns each into a log line.
constexpr int TEST_BANNER = 0;   // 0 start banner, 1 end banner, 2 "Test Cancel"
constexpr int TEST_SOCKET = 1;   // 1 "Socket Create" succeeded, 2 failed
constexpr int TEST_CONNECT = 2;  // 0 "Connecting ." begins, 1 a dot, 2 connected,
                                 // 3 not connected, 4 the progress line goes
constexpr int TEST_SSL = 3;      // 0 "SSL Connect ." begins, 1 a dot, 2/3/4 success
                                 // of attempt 0/1/2 (strText: the version
                                 // negotiated, as SSL_get_version names it),
                                 // 5 "SSL Error", 6 the progress line goes
constexpr int TEST_REASON = 4;   // 0 why the step just reported failed (strText:
                                 // "Connection refused", "no answer within 3 s",
                                 // the resolver's or the TLS library's words)
constexpr int TEST_CERT = 5;     // after a handshake, the peer's certificate
                                 // (strText): 0 a line about it (subject,
                                 // issuer, expiry), 1 its SHA-256 fingerprint,
                                 // 2 the checks passed, 3 they failed (strText:
                                 // what was checked, or why it failed)

// The connection test of the Add/Config dialog without the dialog: one
// thread that dials the peer, optionally runs the TLS client ladder over it,
// and reports its progress as entries the dialog takes (TakeProgress) when
// told. It never touches a window.
//
// The timing a user sees: a dot every 2 s
// while a step waits, the connect given up at the first 2-second tick at or
// after the Connection Timeout, a handshake at the first tick at or after
// 10 s. Rather than polling without pause, the thread sleeps in poll()
// on the socket and a wake-up descriptor, so a cancel is noticed at once and
// a waiting test costs no processor time.
//
// Threads: Start, Stop and the destructor belong to the owner (the dialog's
// thread); Cancel and the getters are safe from any thread.
class CConnectTest
{
public:
    static constexpr int DOT_MS = 2000;
    static constexpr int HANDSHAKE_MS = 10000;

    CConnectTest();
    // Cancels a running test and waits for its thread.
    ~CConnectTest();

    CConnectTest(const CConnectTest&) = delete;
    CConnectTest& operator=(const CConnectTest&) = delete;

    // Owner, before Start. Called on the test thread, with no lock held,
    // when an entry begins a burst (the dialog's WM_TEST_NOTIFY). It may
    // only post.
    void SetNotify(std::function<void()> fnNotify);

    // Owner. Starts a test of the peer strIPAddress:nPeerPort (its low 16
    // bits), with the TLS ladder when bSSL is 1; nTimeout is the connect
    // time-out in seconds. 1 when started; 0 while the previous test's
    // thread has not finished (one test at a time), or when no thread can
    // be started. The address is taken as the client port's worker takes it
    // (an IPv4 address as inet_addr reads it); change both together.
    // trust: what the port would check and offer after its handshake; a
    // peer it would refuse ends the test with "SSL Error" and the reason.
    // The chain is checked (and shown) even when the port would not.
    int Start(const std::string& strIPAddress, int nPeerPort, int bSSL, int nTimeout,
              const STlsClientTrust& trust = STlsClientTrust());

    // Any thread. Asks a running test to stop; it reports "Test Cancel"
    // and the end banner.
    void Cancel();
    // Owner. Cancels and waits until the thread has ended.
    void Stop();

    // Any thread. 1 from Start until the thread has posted its end banner
    // or a cancel was asked for (m_bTesting).
    int IsTesting() const { return m_bTesting.load(); }
    // Any thread. 1 from Start until the thread has finished its work.
    int IsThreadRunning() const { return m_bThreadRunning.load(); }

    // Tests: processor time and wall time the last finished test's thread
    // used, in microseconds (as the thread measured itself).
    int64_t GetLastCpuMicros() const { return m_nCpuMicros.load(); }
    int64_t GetLastWallMicros() const { return m_nWallMicros.load(); }

    // Owner. The progress entries posted since the last call, in order;
    // the dialog takes them when notified.
    std::vector<_tag_postmsglist> TakeProgress() { return m_progress.TakeAll(); }

private:
    // Results of Handshake and Reconnect.
    static constexpr int RESULT_FAILED = -1;
    static constexpr int RESULT_TIMEOUT = 0;
    static constexpr int RESULT_DONE = 1;
    static constexpr int RESULT_CANCELLED = 2;
    static constexpr int RESULT_REFUSED = 3;  // done, but the peer is not trusted

    // What a finished handshake showed of the peer, for the log.
    struct SPeerReport
    {
        std::vector<std::string> vecLines;
        std::string strFingerprint;
        std::string strCheck;  // what was checked, or why it failed
        bool bChecked = false;
        bool bPassed = false;  // the check shown passed
        bool bTrusted = true;  // the port would carry data
    };
    void PostPeerReport(const SPeerReport& report);
    // The peer of pSSL as the port would judge it.
    SPeerReport JudgePeer(struct ssl_st* pSSL) const;

    void ThreadProc();
    // The three steps of a test: connect, connect again for a fallback, handshake.
    // Each fills *pReason with why it failed (a cancel has no reason).
    int TestConnect();
    int TestReconnect(std::string* pReason);
    int TestHandshake(int nTry, std::string* pVersion, std::string* pReason, SPeerReport* pReport);
    // Creates the socket and starts the connect; then waits for it with
    // dots every 2 s. bLines: TestConnect's progress lines. Returns
    // RESULT_DONE, RESULT_FAILED (refused, unreachable, bad address, timed
    // out) or RESULT_CANCELLED; *pCreated tells whether a socket was made,
    // *pReason why it failed.
    int Dial(int bLines, int* pCreated, std::string* pReason);
    // Waits until hWait reports nEvents (0: only the wake-up), a dot is due
    // or the wake-up descriptor fires; at most until the next dot.
    void WaitFor(int hWait, short nEvents, uint32_t dwLastDot);
    // Posts a dot (nKind, 1) when one is due and moves *pdwLastDot.
    void DotIfDue(int nKind, uint32_t* pdwLastDot);
    void CloseSocket();
    void PostTest(int nKind, int nStep, std::string strText = std::string());
    static uint32_t Tick();

    // Set by Start before the thread runs; read-only meanwhile.
    std::string m_strIPAddress;
    int m_nPeerPort = 0;
    int m_bSSL = 0;
    int m_nTimeout = 1;
    STlsClientTrust m_trust;

    std::function<void()> m_fnNotify;
    CMailbox<_tag_postmsglist> m_progress;
    std::thread m_thread;
    int m_hSocket = -1;  // test thread only
    int m_hWake = -1;    // eventfd: Cancel wakes the thread's waits
    std::atomic<int> m_bTesting{0};
    std::atomic<int> m_bThreadRunning{0};
    std::atomic<int64_t> m_nCpuMicros{0};
    std::atomic<int64_t> m_nWallMicros{0};
};
