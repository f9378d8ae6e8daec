// SPDX-License-Identifier: Apache-2.0
#include "core/service/CConnectTest.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

#include "core/engine/CErrorText.h"
#include "core/engine/CResolver.h"
#include "core/engine/TlsClient.h"
#include "core/engine/TlsTrust.h"

namespace
{

int64_t ThreadCpuMicros()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0)
        return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t WallMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CConnectTest::CConnectTest()
{
    m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // A peer that vanishes during the handshake must fail a write, not end
    // the process: the TLS library writes without MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);
}

CConnectTest::~CConnectTest()
{
    Stop();
    if (m_hWake >= 0)
        close(m_hWake);
}

void CConnectTest::SetNotify(std::function<void()> fnNotify)
{
    m_fnNotify = std::move(fnNotify);
}

int CConnectTest::Start(const std::string& strIPAddress, int nPeerPort, int bSSL, int nTimeout,
                        const STlsClientTrust& trust)
{
    if (m_bThreadRunning.load())
        return 0;
    if (m_thread.joinable())
        m_thread.join();
    if (m_hWake >= 0)
    {
        uint64_t nCount = 0;
        while (read(m_hWake, &nCount, sizeof(nCount)) > 0)
        {
        }
    }
    m_strIPAddress = strIPAddress;
    m_nPeerPort = nPeerPort;
    m_bSSL = bSSL;
    m_nTimeout = nTimeout;
    m_trust = trust;
    m_bTesting = 1;
    m_bThreadRunning = 1;
    try
    {
        m_thread = std::thread(&CConnectTest::ThreadProc, this);
    }
    catch (const std::system_error&)
    {
        m_bTesting = 0;
        m_bThreadRunning = 0;
        return 0;
    }
    return 1;
}

void CConnectTest::Cancel()
{
    m_bTesting = 0;
    if (m_hWake >= 0)
    {
        const uint64_t nOne = 1;
        ssize_t n;
        do
            n = write(m_hWake, &nOne, sizeof(nOne));
        while (n < 0 && errno == EINTR);
    }
}

void CConnectTest::Stop()
{
    Cancel();
    if (m_thread.joinable())
        m_thread.join();
}

uint32_t CConnectTest::Tick()
{
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void CConnectTest::PostTest(int nKind, int nStep, std::string strText)
{
    // Only this burst's first poster notifies, outside the mailbox's lock.
    if (m_progress.Post({nKind, nStep, std::move(strText)}) && m_fnNotify)
        m_fnNotify();
}

void CConnectTest::ThreadProc()
{
    const int64_t nCpuStart = ThreadCpuMicros();
    const int64_t nWallStart = WallMicros();

    PostTest(TEST_BANNER, 0);
    if (TestConnect() == 1 && m_bSSL == 1)
    {
        PostTest(TEST_SSL, 0);
        // A fallback that fails too keeps the first attempt's reason, as a
        // client port does: the older versions seldom tell more.
        std::string strReason;
        auto sslError = [this, &strReason] {
            PostTest(TEST_SSL, 6);
            PostTest(TEST_SSL, 5);
            if (!strReason.empty())
                PostTest(TEST_REASON, 0, strReason);
        };
        for (int nTry = 0; nTry <= 2; ++nTry)
        {
            std::string strVersion;
            std::string strTry;
            SPeerReport report;
            const int nResult = TestHandshake(nTry, &strVersion, &strTry, &report);
            if (strReason.empty())
                strReason = strTry;
            if (nResult == RESULT_DONE)
            {
                PostTest(TEST_SSL, 6);
                PostTest(TEST_SSL, 2 + nTry, strVersion);
                PostPeerReport(report);
                break;
            }
            if (nResult == RESULT_REFUSED)
            {
                // The port would drop this peer: no older version either.
                PostTest(TEST_SSL, 6);
                PostTest(TEST_SSL, 5);
                PostPeerReport(report);
                break;
            }
            if (nResult == RESULT_TIMEOUT)
            {
                // A peer that never answers gets no older protocol.
                sslError();
                break;
            }
            if (nResult == RESULT_CANCELLED)
            {
                PostTest(TEST_SSL, 6);
                PostTest(TEST_BANNER, 2);
                break;
            }
            // Rejected: the next attempt over a new connection.
            std::string strReconnect;
            const int nReconnect = nTry < 2 ? TestReconnect(&strReconnect) : RESULT_FAILED;
            if (strReason.empty())
                strReason = strReconnect;
            if (nReconnect == RESULT_FAILED)
            {
                sslError();
                break;
            }
            if (nReconnect == RESULT_CANCELLED)
            {
                PostTest(TEST_SSL, 6);
                PostTest(TEST_BANNER, 2);
                break;
            }
        }
    }
    CloseSocket();

    m_nCpuMicros = ThreadCpuMicros() - nCpuStart;
    m_nWallMicros = WallMicros() - nWallStart;
    // Finished before the end banner is seen: when the dialog handles it, a
    // new test may start at once (Start joins what is left of this thread).
    m_bTesting = 0;
    m_bThreadRunning = 0;
    PostTest(TEST_BANNER, 1);
}

int CConnectTest::TestConnect()
{
    int bCreated = 0;
    std::string strReason;
    const int nResult = Dial(1, &bCreated, &strReason);
    // The reason goes on a line of its own, after the step that failed.
    auto explain = [this, &strReason] {
        if (!strReason.empty())
            PostTest(TEST_REASON, 0, strReason);
    };
    if (!bCreated)
    {
        explain();
        return 0;
    }
    if (m_bTesting.load() == 0)
    {
        PostTest(TEST_BANNER, 2);
        return 0;
    }
    if (nResult == RESULT_DONE)
    {
        PostTest(TEST_CONNECT, 2);
        return 1;
    }
    PostTest(TEST_CONNECT, 3);
    explain();
    return 0;
}

int CConnectTest::TestReconnect(std::string* pReason)
{
    // The connection of the failed handshake goes; a new one is made
    // without lines of its own (its dots lengthen "SSL Connect .").
    CloseSocket();
    int bCreated = 0;
    const int nResult = Dial(0, &bCreated, pReason);
    if (!bCreated)
        return RESULT_FAILED;
    if (nResult == RESULT_CANCELLED || m_bTesting.load() == 0)
        return RESULT_CANCELLED;
    return nResult == RESULT_DONE ? RESULT_DONE : RESULT_FAILED;
}

int CConnectTest::Dial(int bLines, int* pCreated, std::string* pReason)
{
    *pCreated = 0;
    pReason->clear();
    const std::string strNoAnswer = "no answer within " + std::to_string(m_nTimeout) + " s";
    // The peer's address as a client port finds it (CResolver): a literal
    // at once, a name looked up within the Connection Timeout, a cancel
    // noticed meanwhile.
    CResolver resolver;
    resolver.Start(m_strIPAddress, m_nPeerPort & 0xFFFF, SOCK_STREAM);
    const uint32_t dwResolveStart = Tick();
    int nResolve;
    std::string strResolveError;
    while ((nResolve = resolver.Poll(&strResolveError)) == CResolver::RESOLVE_BUSY && m_bTesting.load() != 0 &&
           Tick() - dwResolveStart < static_cast<uint32_t>(m_nTimeout) * 1000u)
    {
        struct pollfd p = {m_hWake, POLLIN, 0};
        poll(&p, 1, 10);
    }
    resolver.Cancel();
    const int bAddress = nResolve == CResolver::RESOLVE_DONE;
    if (nResolve == CResolver::RESOLVE_FAILED)
        *pReason = strResolveError;
    else if (nResolve == CResolver::RESOLVE_BUSY && m_bTesting.load() != 0)
        *pReason = "resolve " + m_strIPAddress + ": " + strNoAnswer;

    m_hSocket = socket(bAddress ? resolver.GetFamily() : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0)
    {
        *pReason = CErrorText::SystemText(errno);
        m_hSocket = -1;
        if (bLines)
            PostTest(TEST_SOCKET, 2);
        return RESULT_FAILED;
    }
    if (bLines)
        PostTest(TEST_SOCKET, 1);
    const int nFlags = fcntl(m_hSocket, F_GETFL);
    if (nFlags < 0 || fcntl(m_hSocket, F_SETFL, nFlags | O_NONBLOCK) != 0)
    {
        CloseSocket();
        return RESULT_FAILED;
    }
    *pCreated = 1;
    if (m_bTesting.load() == 0)
        return RESULT_CANCELLED;
    // A text that is no address, or a name that does not resolve, fails
    // like a peer that refuses.
    if (!bAddress)
        return RESULT_FAILED;

    if (connect(m_hSocket, resolver.GetAddress(), resolver.GetLength()) == 0)
        return RESULT_DONE;
    // An interrupted connect goes on in the background like one in progress.
    if (errno != EINPROGRESS && errno != EINTR)
    {
        *pReason = CErrorText::SystemText(errno);
        return RESULT_FAILED;
    }

    if (bLines)
        PostTest(TEST_CONNECT, 0);
    const uint32_t dwStart = Tick();
    uint32_t dwLastDot = dwStart;
    auto leave = [this, bLines](int nResult) {
        if (bLines)
            PostTest(TEST_CONNECT, 4);
        return nResult;
    };
    for (;;)
    {
        WaitFor(m_hSocket, POLLOUT, dwLastDot);
        DotIfDue(TEST_CONNECT, &dwLastDot);
        struct pollfd p = {m_hSocket, POLLOUT, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0)
        {
            // Writable also means "failed" (a refusal on Linux): only a clear
            // SO_ERROR is a connection.
            int nError = 0;
            socklen_t nLen = sizeof(nError);
            if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0)
                nError = errno;
            if (nError != 0)
                *pReason = CErrorText::SystemText(nError);
            return leave(nError == 0 ? RESULT_DONE : RESULT_FAILED);
        }
        if (m_bTesting.load() == 0)
            return leave(RESULT_CANCELLED);
        if (dwLastDot - dwStart >= static_cast<uint32_t>(m_nTimeout) * 1000u)
        {
            *pReason = strNoAnswer;
            return leave(RESULT_FAILED);
        }
    }
}

void CConnectTest::PostPeerReport(const SPeerReport& report)
{
    for (const std::string& strLine : report.vecLines)
        PostTest(TEST_CERT, 0, strLine);
    if (!report.strFingerprint.empty())
        PostTest(TEST_CERT, 1, report.strFingerprint);
    if (report.bChecked)
        PostTest(TEST_CERT, report.bPassed ? 2 : 3, report.strCheck);
}

CConnectTest::SPeerReport CConnectTest::JudgePeer(SSL* pSSL) const
{
    SPeerReport report;
    report.vecLines = TlsDescribePeer(pSSL);
    report.strFingerprint = TlsPeerFingerprint(pSSL);
    // The fingerprint has a line of its own (kind 1).
    if (!report.vecLines.empty())
        report.vecLines.pop_back();
    report.bChecked = true;
    std::string strReason;
    if (!m_trust.strPin.empty())
    {
        report.bTrusted = TlsCheckPeer(pSSL, m_trust, &strReason);
        report.bPassed = report.bTrusted;
        report.strCheck = report.bTrusted ? "certificate pin matches" : strReason;
        return report;
    }
    STlsClientTrust chain = m_trust;
    chain.bVerify = true;
    const bool bChain = TlsCheckPeer(pSSL, chain, &strReason);
    report.bTrusted = bChain || !m_trust.bVerify;
    report.bPassed = bChain;
    if (bChain)
        report.strCheck = "certificate verified";
    else
        report.strCheck = m_trust.bVerify ? strReason : strReason + " (not checked by the port: Verify certificate is off)";
    return report;
}

int CConnectTest::TestHandshake(int nTry, std::string* pVersion, std::string* pReason, SPeerReport* pReport)
{
    static const std::string s_strWhat = "TLS handshake";
    pReason->clear();
    const uint32_t dwStart = Tick();
    uint32_t dwLastDot = dwStart;
    // The chain is examined for the log even when the port would not check
    // it; when that cannot be set up (an unusable CA file), as the port does.
    STlsClientTrust examine = m_trust;
    examine.bVerify = true;
    SSL* pSSL = NewTlsClientSession(nTry, m_hSocket, &examine, pReason);
    if (pSSL == nullptr && !m_trust.bVerify)
    {
        pReason->clear();
        pSSL = NewTlsClientSession(nTry, m_hSocket, &m_trust, pReason);
    }
    int nResult = RESULT_FAILED;
    if (pSSL == nullptr && pReason->empty())
        *pReason = s_strWhat + ": this TLS library does not offer the version tried";
    while (pSSL != nullptr)
    {
        ERR_clear_error();
        const int nConnect = SSL_connect(pSSL);
        if (nConnect > 0)
        {
            *pVersion = SSL_get_version(pSSL);
            *pReport = JudgePeer(pSSL);
            nResult = pReport->bTrusted ? RESULT_DONE : RESULT_REFUSED;
            break;
        }
        const int nTls = CErrorText::Tls(pSSL, nConnect, s_strWhat, pReason);
        if (nTls != CErrorText::TLS_WANT_READ && nTls != CErrorText::TLS_WANT_WRITE)
            break;
        DotIfDue(TEST_SSL, &dwLastDot);
        if (m_bTesting.load() == 0)
        {
            nResult = RESULT_CANCELLED;
            break;
        }
        if (dwLastDot - dwStart >= static_cast<uint32_t>(HANDSHAKE_MS))
        {
            *pReason = s_strWhat + ": no answer within " + std::to_string(HANDSHAKE_MS / 1000) + " s";
            nResult = RESULT_TIMEOUT;
            break;
        }
        WaitFor(m_hSocket, nTls == CErrorText::TLS_WANT_READ ? POLLIN : POLLOUT, dwLastDot);
    }
    if (pSSL != nullptr)
    {
        // A close notify for a finished handshake only; one that is not
        // finished has nothing to close.
        if (SSL_is_init_finished(pSSL))
            SSL_shutdown(pSSL);
        SSL_free(pSSL);
    }
    ERR_clear_error();
    return nResult;
}

void CConnectTest::WaitFor(int hWait, short nEvents, uint32_t dwLastDot)
{
    const uint32_t dwSince = Tick() - dwLastDot;
    const int nTimeout = dwSince >= static_cast<uint32_t>(DOT_MS) ? 0 : DOT_MS - static_cast<int>(dwSince);
    struct pollfd fds[2] = {{hWait, nEvents, 0}, {m_hWake, POLLIN, 0}};
    // An interruption only ends this wait early; the caller looks again.
    poll(fds, 2, nTimeout);
}

void CConnectTest::DotIfDue(int nKind, uint32_t* pdwLastDot)
{
    const uint32_t dwNow = Tick();
    if (dwNow - *pdwLastDot >= static_cast<uint32_t>(DOT_MS))
    {
        PostTest(nKind, 1);
        *pdwLastDot = dwNow;
    }
}

void CConnectTest::CloseSocket()
{
    if (m_hSocket >= 0)
    {
        close(m_hSocket);
        m_hSocket = -1;
    }
}
