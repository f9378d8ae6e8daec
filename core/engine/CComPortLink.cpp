// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CComPortLink.h"

#include "core/engine/CConnection.h"
#include "core/engine/CLoginCtrl.h"
#include "core/engine/CPollSet.h"
#include "core/model/CLineState.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

using SSettings = CComPortSession::SSettings;
using EComPort = CTelnetCtrl::EComPort;

void CComPortLink::Start()
{
    m_nSessionSeen = m_conn.m_nTelnetSessions;
    m_vecOut.clear();
    m_strReported.clear();
    m_bGaveUp = false;
    m_nDropped = 0;
    m_bActive = m_conn.m_telnet.ComPortState() != EComPort::Off;
    if (!m_bActive)
        return;
    const bool bServer = m_conn.IsServer() == 1;
    m_session.Reset(bServer ? CComPortSession::ERole::Server : CComPortSession::ERole::Client);
    m_nSettingsSeq = m_conn.Line().m_nSettingsSeq.load();
    m_conn.Port().TakeFlushes();  // what was flushed before belongs to no one
    if (bServer)
    {
        m_session.SetSignature("Nimbrel COM" + std::to_string(m_conn.m_nPort + 1));
        m_session.SetApplier([this](const SSettings& wanted) {
            SSettings now = m_conn.Port().ApplySerialSettings(wanted);
            now.flow = wanted.flow;  // nothing on a pty to set it on
            return now;
        });
        m_session.SetCurrent(FromLine());
        ReportIf("waiting for the client");
    }
    else
    {
        m_session.SetWanted(Wanted());
        m_tOffer = CConnection::Now() + m_conn.Options().m_nConnectTimeout;
        ReportIf("offered to the peer");
    }
}

void CComPortLink::Service()
{
    if (m_conn.m_nTelnetSessions != m_nSessionSeen)
        Start();
    if (!m_bActive)
        return;
    CTelnetCtrl& telnet = m_conn.m_telnet;
    const EComPort state = telnet.ComPortState();
    if (state == EComPort::Agreed && !m_session.IsAgreed())
        m_session.OnAgreed();

    for (const std::vector<uint8_t>& payload : telnet.TakeComPortMessages())
    {
        CComPortOption::SMessage message;
        if (CComPortOption::Decode(payload, &message))
            m_session.OnMessage(message);
    }
    const unsigned nDropped = telnet.TakeDroppedSubNegotiations();

    CLineState& line = m_conn.Line();
    const uint32_t nSeq = line.m_nSettingsSeq.load();
    if (nSeq != m_nSettingsSeq)
    {
        m_nSettingsSeq = nSeq;
        if (m_session.Role() == CComPortSession::ERole::Client)
        {
            m_session.SetWanted(Wanted());
        }
        else
        {
            SSettings now = FromLine();
            now.flow = m_session.Current().flow;
            m_session.SetCurrent(now);
        }
    }
    if (m_session.Role() == CComPortSession::ERole::Client)
    {
        const unsigned nFlushes = m_conn.Port().TakeFlushes();
        const bool bReceive = (nFlushes & CWorkerPort::FLUSH_RECEIVE) != 0;
        const bool bTransmit = (nFlushes & CWorkerPort::FLUSH_TRANSMIT) != 0;
        if (bReceive || bTransmit)
            m_session.Purge(bReceive && bTransmit ? CComPortOption::EPurge::Both
                            : bReceive            ? CComPortOption::EPurge::Receive
                                                  : CComPortOption::EPurge::Transmit);
        if (state == EComPort::Pending && !m_bGaveUp && CConnection::Now() > m_tOffer)
            m_bGaveUp = true;
    }
    Flush();

    m_nDropped += nDropped;
    // The drops stay in the text: they explain what the peer meant and
    // did not get.
    const std::string strDropped =
        m_nDropped == 0 ? std::string()
                        : "; " + std::to_string(m_nDropped) + " malformed subnegotiation" + (m_nDropped == 1 ? "" : "s") +
                              " from the peer dropped";
    if (state == EComPort::Refused || (state == EComPort::Pending && m_bGaveUp))
        ReportIf(REFUSED + strDropped);
    else if (state == EComPort::Agreed)
        ReportIf(Summary(m_session) + strDropped);
}

void CComPortLink::AddWait(CPollSet& wait) const
{
    if (!m_bActive || m_bGaveUp || m_session.Role() != CComPortSession::ERole::Client ||
        m_conn.m_telnet.ComPortState() != EComPort::Pending)
        return;
    const int64_t nLeft = m_tOffer - CConnection::Now() + 1;
    wait.Cap(nLeft > 0 ? static_cast<int>(nLeft * 1000) : 0);
}

std::string CComPortLink::Summary(const CComPortSession& session)
{
    if (session.Role() == CComPortSession::ERole::Server)
    {
        const SSettings& now = session.Current();
        return "client set " + CComPortOption::Describe(now) + ", flow " + CComPortOption::FlowName(now.flow);
    }
    const SSettings& acked = session.Acknowledged();
    const bool bAnyAck = acked.nBaudRate != 0 || acked.nDataBits != 0 ||
                         acked.parity != CComPortOption::EParity::Request ||
                         acked.stopBits != CComPortOption::EStopBits::Request;
    if (!bAnyAck)
    {
        if (!session.HasSent())
            return "agreed";
        const SSettings& sent = session.Sent();
        return "sent " + CComPortOption::Describe(sent) + ", flow " + CComPortOption::FlowName(sent.flow);
    }
    return "device server: " + CComPortOption::Describe(acked) + ", flow " + CComPortOption::FlowName(acked.flow) +
           "; " + session.ModemText();
}

SSettings CComPortLink::FromLine() const
{
    const CLineState& line = m_conn.Line();
    SSettings settings;
    const uint32_t nBaud = line.m_nBaudRate.load();
    if (nBaud != 0)
        settings.nBaudRate = nBaud;
    const int nBits = line.m_nDataBits.load();
    settings.nDataBits = static_cast<uint8_t>(nBits >= 5 && nBits <= 8 ? nBits : 8);
    const int nParity = line.m_nParity.load();
    settings.parity = nParity >= 0 && nParity <= 4 ? static_cast<CComPortOption::EParity>(nParity + 1)
                                                   : CComPortOption::EParity::None;
    switch (line.m_nStopBits.load())
    {
    case 1: settings.stopBits = CComPortOption::EStopBits::OneAndHalf; break;
    case 2: settings.stopBits = CComPortOption::EStopBits::Two; break;
    default: settings.stopBits = CComPortOption::EStopBits::One; break;
    }
    const uint32_t dwFlow = line.m_dwFlowCtrl.load();
    settings.flow = (dwFlow & FLOW_CTS)                 ? CComPortOption::EFlow::RtsCts
                    : (dwFlow & (FLOW_XIN | FLOW_XOUT)) ? CComPortOption::EFlow::XonXoff
                                                        : CComPortOption::EFlow::None;
    return settings;
}

SSettings CComPortLink::Wanted() const
{
    SSettings settings = FromLine();
    // A pty carries no data size or parity: the port's own say wins.
    const CPortEntry& entry = m_conn.Entry();
    if (entry.m_nComPortDataBits >= 5 && entry.m_nComPortDataBits <= 8)
        settings.nDataBits = static_cast<uint8_t>(entry.m_nComPortDataBits);
    if (entry.m_comPortParity != ELineParity::Program)
        settings.parity = static_cast<CComPortOption::EParity>(entry.m_comPortParity);
    return settings;
}

void CComPortLink::Flush()
{
    if (m_session.HasOutput())
    {
        const std::vector<uint8_t> out = m_session.TakeOutput();
        // A peer that never reads its answers gets no more of them.
        if (m_vecOut.size() + out.size() <= MAX_WAITING)
            m_vecOut.insert(m_vecOut.end(), out.begin(), out.end());
    }
    // Whole or not at all: the application's bytes must not land inside a
    // subnegotiation.
    if (!m_vecOut.empty() &&
        CLoginCtrl::PutText(m_conn.m_tx, m_vecOut.data(), static_cast<int>(m_vecOut.size())) != 0)
        m_vecOut.clear();
}

void CComPortLink::ReportIf(const std::string& strText)
{
    if (strText == m_strReported)
        return;
    m_strReported = strText;
    m_conn.Port().Report(STATUS_COM_PORT, strText);
}
