// SPDX-License-Identifier: Apache-2.0
#include "core/engine/TlsClient.h"

#include <openssl/ssl.h>

#include "core/engine/TlsTrust.h"

SSL* NewTlsClientSession(int nTry, int hSocket, const STlsClientTrust* pTrust, std::string* pReason)
{
    static const int s_nFallbackVersion[] = {0, TLS1_VERSION, SSL3_VERSION};
    const int nVersion = s_nFallbackVersion[nTry >= 0 && nTry <= 2 ? nTry : 2];
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    if (pCtx == nullptr)
        return nullptr;
    // The fallbacks stay at the default security level: a version it
    // forbids is never offered, and the attempt fails in its handshake.
    bool bUsable = nVersion == 0 || (SSL_CTX_set_min_proto_version(pCtx, nVersion) == 1 &&
                                     SSL_CTX_set_max_proto_version(pCtx, nVersion) == 1);
    if (bUsable && pTrust != nullptr)
        bUsable = TlsSetUpClientContext(pCtx, *pTrust, pReason);
    SSL* pSSL = bUsable ? SSL_new(pCtx) : nullptr;
    // The session keeps what it needs of the context.
    SSL_CTX_free(pCtx);
    if (pSSL == nullptr)
        return nullptr;
    if (SSL_set_fd(pSSL, hSocket) != 1 || (pTrust != nullptr && !TlsSetUpClientSession(pSSL, *pTrust, pReason)))
    {
        SSL_free(pSSL);
        return nullptr;
    }
    SSL_set_connect_state(pSSL);
    SSL_set_mode(pSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return pSSL;
}
