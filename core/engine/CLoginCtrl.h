// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "core/engine/CRing.h"

// The login data of one accepted peer and the texts and line readers of the
// login dialogue. The dialogue itself (steps, deadlines, giving up) is the
// worker's; this class only writes whole texts into the transmit ring and
// consumes the peer's typing from the receive ring.
//
// The rings are the worker's: texts go into its transmit ring, the peer's
// typing is taken from its receive ring.
//
// Used only on the worker thread with the worker's lock held.
class CLoginCtrl
{
public:
    static constexpr int LOGIN_MAX_INPUT = 20;  // characters kept per typed line
    static constexpr int LOGIN_CR = 13;
    static constexpr int LOGIN_LF = 10;

    CLoginCtrl() = default;
    virtual ~CLoginCtrl() = default;

    // Tries back to 0; the expected user name and password emptied.
    void Reset();
    void SetLogin(const std::string& strUser, const std::string& strPassword);

    // Each writes its whole text when it fits into the free room of the
    // transmit ring and returns 1; otherwise writes nothing and returns 0.
    int PutBanner(CRing& tx);
    // Also starts a new attempt: typed user name and password emptied, the
    // password's line end back to CR.
    int PutLoginPrompt(CRing& tx);
    int PutPasswordPrompt(CRing& tx);
    int PutIncorrect(CRing& tx);
    int PutTimeout(CRing& tx);

    // 1 when the user name line is complete, else 0 (the ring ran empty).
    int ReadUser(CRing& rx);
    // 0 while the password line is incomplete; on a complete line counts a
    // try and returns 1 when user name and password both match, else 2.
    int ReadPassword(CRing& rx);

    // Writes n bytes into the ring only when all of them fit; 1 when written.
    static int PutText(CRing& tx, const unsigned char* pData, int n);

public:
    int m_chEnd = LOGIN_CR;  // line end expected for the password
    std::string m_strLoginUser;
    std::string m_strLoginPassword;
    std::string m_strInUser;
    std::string m_strInPassword;
    uint32_t m_nTries = 0;  // completed password lines since the accept
};
