// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "core/engine/CLoginCtrl.h"

class CConnection;
class CPollSet;
class CTcpStream;

// The login a server port asks of its peer, plain (Secure Connection Port)
// or after the Telnet negotiation. Until it succeeds the application sees
// nothing. Owned by its worker (CSocketCtrl), used on the worker's thread
// with its lock held.
class CLoginDialogue
{
public:
    // A Telnet peer that answered some of the server's requests and then
    // says nothing for this long will not answer the rest (seconds).
    static constexpr int NEGOTIATION_QUIET_SECONDS = 2;

    CLoginDialogue(CConnection& conn, CTcpStream& stream) : m_conn(conn), m_stream(stream) {}

    // A peer was accepted (and secured): Data, or the login its type asks.
    void StartDialogue(int bPostConnected);
    void DoLogin();
    void DoTelnetLogin();
    void WaitLogin(CPollSet& wait);

private:
    // One step of the login dialogue (the plain or the Telnet one); bTelnet
    // picks the banner.
    void RunLoginStep(int& nStep, int bTelnet);
    void GiveUpLogin(std::string strReason);

    CConnection& m_conn;
    CTcpStream& m_stream;
    CLoginCtrl m_login;
    int m_nLoginStep = 0;
    int m_nTelnetStep = 0;
    int64_t m_tLogin = 0;  // the longest silence allowed ends
    int64_t m_tHeard = 0;  // the peer last sent something
};
