// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTlsLink.h"

#include <cerrno>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include "core/engine/CConnection.h"
#include "core/engine/CErrorText.h"
#include "core/engine/CLoginDialogue.h"
#include "core/engine/CPollSet.h"
#include "core/engine/TlsClient.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

void CTlsLink::DoTlsStart(int bReconnect)
{
    // Attempt 0 negotiates the best version both sides have; the fallbacks
    // offer one older version each, where the library still has it.
    m_conn.m_pSSL = NewTlsClientSession(m_nSSLTry, m_conn.m_hSocket);
    m_conn.SetState(bReconnect ? EWorkerState::TlsRehandshake : EWorkerState::TlsHandshake);
    m_tHandshake = CConnection::Now() + 10;
    m_conn.m_nSSLWant = 0;
    if (m_nSSLTry == 0)
        m_conn.Post(STATUS_SSL_CONNECTING);
}

void CTlsLink::DoTlsHandshake(int bReconnect)
{
    auto giveUp = [this] {
        m_conn.FreeTls();
        m_conn.FailToRetry(STATUS_SSL_ERROR);
    };
    if (CConnection::Now() >= m_tHandshake)
    {
        m_conn.NoteReason("TLS handshake with " + m_conn.PeerText() + ": no answer within 10 s");
        giveUp();
        return;
    }
    const std::string strWhat = "TLS handshake with " + m_conn.PeerText();
    if (m_conn.m_pSSL == nullptr)
    {
        // No session: a version the library lacks counts as rejected.
        if (m_conn.m_strReason.empty())
            m_conn.NoteReason(strWhat + ": this TLS library does not offer the version tried");
    }
    else
    {
        ERR_clear_error();
        const int nResult = SSL_connect(m_conn.m_pSSL);
        if (nResult > 0)
        {
            OnSecured(0, bReconnect);
            return;
        }
        std::string strReason;
        const int nTls = CErrorText::Tls(m_conn.m_pSSL, nResult, strWhat, &strReason);
        if (nTls == CErrorText::TLS_WANT_READ || nTls == CErrorText::TLS_WANT_WRITE)
        {
            m_conn.m_nSSLWant = nTls == CErrorText::TLS_WANT_READ ? POLLIN : POLLOUT;
            return;
        }
        // A fallback that fails too keeps the first attempt's reason: the
        // versions tried later are older and seldom tell more.
        if (m_nSSLTry == 0 || m_conn.m_strReason.empty())
            m_conn.NoteReason(strReason);
    }
    if (m_nSSLTry < 2)
    {
        m_conn.FreeTls();
        CConnection::CloseSocket(m_conn.m_hSocket);
        ++m_nSSLTry;
        m_bSSLRetry = 1;
        m_conn.SetState(bReconnect ? EWorkerState::Reconnect : EWorkerState::Connect);
        return;
    }
    giveUp();
}

void CTlsLink::StartTlsServer()
{
    // First, so that a reason noted below is kept for the failure.
    m_conn.Post(STATUS_SSL_CONNECTING);
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx != nullptr)
        m_conn.m_pSSL = SSL_new(pCtx);
    if (m_conn.m_pSSL != nullptr)
    {
        SSL_set_fd(m_conn.m_pSSL, m_conn.m_hSocket);
        SSL_set_accept_state(m_conn.m_pSSL);
        SSL_set_mode(m_conn.m_pSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Read at every connection; a missing or unusable file makes the
        // handshake fail, and says so.
        for (const std::string* pFile : {&m_strPublicKey, &m_strPrivateKey})
            if (access(pFile->c_str(), R_OK) != 0 && m_conn.m_strReason.empty())
                m_conn.NoteReason(CErrorText::Errno(*pFile, errno));
        ERR_clear_error();
        if (SSL_use_certificate_file(m_conn.m_pSSL, m_strPublicKey.c_str(), SSL_FILETYPE_PEM) != 1 && m_conn.m_strReason.empty())
            m_conn.NoteReason(m_strPublicKey + ": not a PEM certificate");
        if (SSL_use_PrivateKey_file(m_conn.m_pSSL, m_strPrivateKey.c_str(), SSL_FILETYPE_PEM) != 1 && m_conn.m_strReason.empty())
            m_conn.NoteReason(m_strPrivateKey + ": not a PEM private key");
        ERR_clear_error();
    }
    m_conn.SetState(EWorkerState::TlsAccept);
    SSL_CTX_free(pCtx);
    m_conn.m_nSSLWant = 0;
    m_tHandshake = CConnection::Now() + 10;
}

void CTlsLink::DoTlsAccept()
{
    if (CConnection::Now() >= m_tHandshake || m_conn.m_pSSL == nullptr)
    {
        if (m_conn.m_strReason.empty())
            m_conn.NoteReason(m_conn.m_pSSL == nullptr ? "TLS: no session could be made"
                                             : "TLS handshake: no answer within 10 s");
        m_conn.SetState(EWorkerState::Close);
        return;
    }
    ERR_clear_error();
    const int nResult = SSL_accept(m_conn.m_pSSL);
    if (nResult > 0)
    {
        m_conn.m_strReason.clear();
        OnSecured(1, 0);
        return;
    }
    std::string strReason;
    const int nTls = CErrorText::Tls(m_conn.m_pSSL, nResult, "TLS handshake", &strReason);
    if (nTls == CErrorText::TLS_WANT_READ || nTls == CErrorText::TLS_WANT_WRITE)
    {
        m_conn.m_nSSLWant = nTls == CErrorText::TLS_WANT_READ ? POLLIN : POLLOUT;
        return;
    }
    // A missing key file explains the failure better than the handshake.
    if (m_conn.m_strReason.empty())
        m_conn.NoteReason(strReason);
    m_conn.SetState(EWorkerState::Close);
}

void CTlsLink::OnSecured(int bServer, int bReconnect)
{
    m_conn.m_nSSLWant = 0;
    if (!m_conn.AllocRings())
    {
        if (bServer)
        {
            m_conn.Post(STATUS_CREATE_ERROR);
            m_conn.SetState(EWorkerState::Close);
        }
        else
        {
            m_conn.FreeTls();
            m_conn.FailToRetry(IsFallingBack() ? STATUS_SSL_ERROR : STATUS_CREATE_ERROR);
        }
        return;
    }
    m_conn.m_transport.OpenTls(m_conn.m_hSocket, m_conn.m_pSSL);
    m_conn.m_tRxDrain = 0;
    if (bServer)
    {
        m_dialogue.StartDialogue(0);
        return;
    }
    m_conn.Post(bReconnect ? STATUS_RECONNECTED : STATUS_CONNECTED);
    m_conn.SetState(EWorkerState::Data);
    if (m_conn.IsTelnet())
    {
        m_conn.StartTelnet(0);
    }
}

void CTlsLink::WaitHandshake(CPollSet& wait)
{
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET)
        wait.Add(m_conn.m_hSocket, m_conn.m_nSSLWant != 0 ? m_conn.m_nSSLWant : static_cast<short>(POLLIN | POLLOUT));
    wait.Cap(CConnection::CYCLE_MS);  // the handshake deadline
}
