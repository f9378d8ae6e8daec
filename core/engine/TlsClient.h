// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

struct ssl_st;
struct STlsClientTrust;

// The client side of the TLS fallback ladder, shared by the client port's
// worker and the connection test so that the test tries exactly what the
// port will do (DESIGN.md section 4).
//
// A new client session over the connected socket hSocket for attempt nTry:
// attempt 0 negotiates the highest version both sides support
// (TLS_client_method); attempt 1 offers TLS 1.0 only and attempt 2 (and any
// other value) SSL 3.0 only, where the library still offers them at its
// default security level (OpenSSL 3 does not: those attempts then fail like
// a rejected handshake). The session is in connect state with partial
// writes allowed. pTrust (when given) sets up what TlsCheckPeer judges after
// the handshake and the certificate offered; nullptr: nothing is verified.
// nullptr when the library cannot make the session, with *pReason (when
// given) filled when a trust file was the cause. Any thread; free it with
// SSL_free.
struct ssl_st* NewTlsClientSession(int nTry, int hSocket, const STlsClientTrust* pTrust = nullptr,
                                   std::string* pReason = nullptr);
