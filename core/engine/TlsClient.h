// SPDX-License-Identifier: Apache-2.0
#pragma once

struct ssl_st;

// The client side of the TLS fallback ladder, shared by the client port's
// worker and the connection test so that the test tries exactly what the
// port will do (DESIGN.md section 4).
//
// A new client session over the connected socket hSocket for attempt nTry:
// attempt 0 negotiates the highest version both sides support
// (TLS_client_method); attempt 1 offers TLS 1.0 only and attempt 2 (and any
// other value) SSL 3.0 only, below the default security level, where the
// library still has them. The session is in connect state with partial
// writes allowed; nothing is verified. nullptr when the library cannot offer
// the attempt's version (the attempt then fails like a rejected handshake)
// or has no memory. Any thread; free it with SSL_free.
struct ssl_st* NewTlsClientSession(int nTry, int hSocket);
