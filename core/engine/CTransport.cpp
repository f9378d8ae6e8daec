// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTransport.h"

#include <cerrno>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "core/engine/CErrorText.h"

namespace
{

// What a failed TLS call means here; the reason for a close or failure.
ETransportIo TlsOutcome(struct ssl_st* pSSL, int nRet, const char* pszWhat, std::string* pReason)
{
    std::string strReason;
    switch (CErrorText::Tls(pSSL, nRet, pszWhat, &strReason))
    {
    case CErrorText::TLS_WANT_READ: return ETransportIo::WantRead;
    case CErrorText::TLS_WANT_WRITE: return ETransportIo::WantWrite;
    case CErrorText::TLS_CLOSED:
        *pReason = std::move(strReason);
        return ETransportIo::Closed;
    default:
        *pReason = std::move(strReason);
        return ETransportIo::Failed;
    }
}

}  // namespace

void CTransport::OpenPlain(int hSocket)
{
    m_hSocket = hSocket;
    m_pSSL = nullptr;
}

void CTransport::OpenTls(int hSocket, struct ssl_st* pSSL)
{
    m_hSocket = hSocket;
    m_pSSL = pSSL;
}

void CTransport::Close()
{
    m_hSocket = -1;
    m_pSSL = nullptr;
}

int CTransport::Receive(unsigned char* pData, int nMax, ETransportIo* pIo, std::string* pReason)
{
    *pIo = ETransportIo::Again;
    if (m_pSSL != nullptr)
    {
        ERR_clear_error();
        const int n = SSL_read(m_pSSL, pData, nMax);
        if (n <= 0)
            *pIo = TlsOutcome(m_pSSL, n, "TLS read", pReason);
        return n > 0 ? n : 0;
    }
    // An end of stream or an error is left to the worker's peer check.
    const ssize_t n = recv(m_hSocket, pData, static_cast<size_t>(nMax), MSG_DONTWAIT);
    return n > 0 ? static_cast<int>(n) : 0;
}

int CTransport::Send(const unsigned char* pData, int n, ETransportIo* pIo, std::string* pReason)
{
    *pIo = ETransportIo::Again;
    if (m_pSSL != nullptr)
    {
        ERR_clear_error();
        const int nSent = SSL_write(m_pSSL, pData, n);
        if (nSent <= 0)
            *pIo = TlsOutcome(m_pSSL, nSent, "TLS write", pReason);
        return nSent > 0 ? nSent : 0;
    }
    const ssize_t nSent = send(m_hSocket, pData, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
    // A connection that cannot take bytes any more will never: a drain
    // must not wait for it (a dead socket is always "writable").
    if (nSent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOBUFS)
        *pIo = ETransportIo::Broken;
    return nSent > 0 ? static_cast<int>(nSent) : 0;
}

bool CTransport::HasPending() const
{
    return m_pSSL != nullptr && (SSL_pending(m_pSSL) > 0 || SSL_has_pending(m_pSSL));
}
