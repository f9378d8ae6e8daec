// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CErrorText.h"

#include <cerrno>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>

std::string CErrorText::SystemText(int nErrno)
{
    char szText[256];
    // The GNU strerror_r: thread-safe, returns the text (not always szText).
    return strerror_r(nErrno, szText, sizeof(szText));
}

std::string CErrorText::Errno(const std::string& strWhat, int nErrno)
{
    return strWhat + ": " + SystemText(nErrno);
}

int CErrorText::Tls(struct ssl_st* pSSL, int nRet, const std::string& strWhat, std::string* pReason)
{
    const int nErrno = errno;
    const int nError = pSSL != nullptr ? SSL_get_error(pSSL, nRet) : SSL_ERROR_SSL;
    auto fail = [&](int nResult, const std::string& strText) {
        if (pReason != nullptr)
            *pReason = strWhat + ": " + strText;
        return nResult;
    };
    switch (nError)
    {
    case SSL_ERROR_NONE:
        return TLS_DONE;
    case SSL_ERROR_WANT_READ:
        return TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        return TLS_WANT_WRITE;
    case SSL_ERROR_ZERO_RETURN:
        return fail(TLS_CLOSED, "closed by the peer");
    case SSL_ERROR_SYSCALL:
    {
        const unsigned long nLib = ERR_get_error();
        if (nLib != 0)
            return fail(TLS_FAILED, ERR_reason_error_string(nLib) != nullptr ? ERR_reason_error_string(nLib)
                                                                               : "TLS library error");
        if (nErrno != 0)
            return fail(TLS_FAILED, SystemText(nErrno));
        return fail(TLS_FAILED, "the peer closed the connection");
    }
    default:
    {
        // The oldest error is the cause; later ones only report its effect.
        const unsigned long nLib = ERR_get_error();
        const char* pszReason = nLib != 0 ? ERR_reason_error_string(nLib) : nullptr;
        return fail(TLS_FAILED, pszReason != nullptr ? pszReason : "the handshake failed");
    }
    }
}
