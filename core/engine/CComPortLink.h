// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/engine/CComPortSession.h"

class CConnection;
class CPollSet;

// COM port control on a Telnet connection, between the Telnet side and the
// port: hands the peer's messages to the session, sends the application's
// settings and flushes to a device server (client) or applies a client's
// requests to the port (server), and reports where it stands. Does nothing
// on a port without the switch. Owned by its worker (CSocketCtrl), used on
// the worker's thread with its lock held.
class CComPortLink
{
public:
    explicit CComPortLink(CConnection& conn) : m_conn(conn) {}

    // After the peer's bytes went through the Telnet filter, and once a
    // cycle of the Data state: takes what arrived, sends what changed.
    void Service();
    // The wait of the Data state: until an offer is given up.
    void AddWait(CPollSet& wait) const;

    const CComPortSession& Session() const { return m_session; }

    // The texts reported (STATUS_COM_PORT), for tests and the README.
    static constexpr const char* REFUSED = "peer refused COM port control";
    // What a session reports, from what it knows.
    static std::string Summary(const CComPortSession& session);

private:
    static constexpr size_t MAX_WAITING = 4096;

    void Start();
    // The application's settings with the port's own data size and parity.
    CComPortSession::SSettings Wanted() const;
    CComPortSession::SSettings FromLine() const;
    void Flush();
    void ReportIf(const std::string& strText);

    CConnection& m_conn;
    CComPortSession m_session;
    unsigned m_nSessionSeen = 0;  // CConnection::m_nTelnetSessions
    bool m_bActive = false;
    uint32_t m_nSettingsSeq = 0;
    int64_t m_tOffer = 0;         // a client gives its offer up then
    bool m_bGaveUp = false;
    unsigned m_nDropped = 0;
    std::vector<uint8_t> m_vecOut;  // whole messages waiting for room
    std::string m_strReported;
};
