// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

struct ssl_st;

// Why a port failed, as the user reads it beside the port's state: one place
// turns errno, and one turns the result of a TLS call, into such a reason.
class CErrorText
{
public:
    // What the result of a TLS call means to the worker.
    static constexpr int TLS_DONE = 0;
    static constexpr int TLS_WANT_READ = 1;
    static constexpr int TLS_WANT_WRITE = 2;
    static constexpr int TLS_CLOSED = 3;  // the peer sent its close notify
    static constexpr int TLS_FAILED = 4;

    // The system's text for nErrno ("Connection refused").
    static std::string SystemText(int nErrno);
    // "<strWhat>: <the system's text for nErrno>".
    static std::string Errno(const std::string& strWhat, int nErrno);

    // Maps nRet, the result of a TLS call on pSSL, with SSL_get_error and
    // the library's error queue; call it right after that call. For
    // TLS_FAILED (and TLS_CLOSED) *pReason, when given, becomes
    // "<strWhat>: <what went wrong>".
    static int Tls(struct ssl_st* pSSL, int nRet, const std::string& strWhat, std::string* pReason);
};
