// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

struct ssl_st;

// What a read or write on a connection came to, when it moved no bytes.
enum class ETransportIo
{
    Again,      // nothing now; readiness (or the peer check) tells when
    WantRead,   // TLS: the call waits for the socket to be readable
    WantWrite,  // TLS: the call waits for the socket to be writable
    Closed,     // TLS: the peer sent its close notify
    Failed,     // TLS: the session failed for good (with a reason)
    Broken,     // the socket takes no more bytes, and never will
};

// The byte stream of one TCP connection: a plain socket or a TLS session
// over it, so that the data path reads and writes either the same way. It
// owns neither; the worker opens and closes both.
//
// Not locked: used by one worker under its lock only.
class CTransport
{
public:
    // A plain connection over hSocket, or a TLS session pSSL over it.
    void OpenPlain(int hSocket);
    void OpenTls(int hSocket, struct ssl_st* pSSL);
    // No connection any more.
    void Close();
    bool IsTls() const { return m_pSSL != nullptr; }

    // Reads up to nMax bytes; returns how many. When none: *pIo says why,
    // and for Closed and Failed *pReason says what happened.
    int Receive(unsigned char* pData, int nMax, ETransportIo* pIo, std::string* pReason);
    // Writes up to n bytes; returns how many went. As Receive when none.
    int Send(const unsigned char* pData, int n, ETransportIo* pIo, std::string* pReason);
    // Plaintext the TLS library already holds: it never shows on the socket.
    bool HasPending() const;

private:
    int m_hSocket = -1;
    struct ssl_st* m_pSSL = nullptr;
};
