// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CComPortSession.h"

using ECommand = CComPortOption::ECommand;
using EParity = CComPortOption::EParity;
using EStopBits = CComPortOption::EStopBits;
using EFlow = CComPortOption::EFlow;

namespace
{

// SET-CONTROL values past the outbound flow control: the states of break,
// DTR, RTS and inbound flow, which a pseudo-terminal cannot carry.
constexpr uint8_t CONTROL_BREAK_OFF = 6;
constexpr uint8_t CONTROL_DTR_REQUEST = 7;
constexpr uint8_t CONTROL_DTR_ON = 8;
constexpr uint8_t CONTROL_RTS_REQUEST = 10;
constexpr uint8_t CONTROL_RTS_ON = 11;
constexpr uint8_t CONTROL_INBOUND_REQUEST = 13;
constexpr uint8_t CONTROL_INBOUND_NONE = 14;
constexpr uint8_t CONTROL_LAST = 19;

}  // namespace

void CComPortSession::Reset(ERole role)
{
    std::function<SSettings(const SSettings&)> fnApply = std::move(m_fnApply);
    std::string strSignature = std::move(m_strSignature);
    *this = CComPortSession(role);
    m_fnApply = std::move(fnApply);
    m_strSignature = std::move(strSignature);
}

void CComPortSession::Queue(const std::vector<uint8_t>& bytes)
{
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> CComPortSession::TakeOutput()
{
    std::vector<uint8_t> out;
    out.swap(m_out);
    return out;
}

void CComPortSession::OnAgreed()
{
    if (m_bAgreed)
        return;
    m_bAgreed = true;
    if (m_role != ERole::Client)
        return;
    Queue(CComPortOption::BuildMasks(LINE_MASK, MODEM_MASK));
    if (m_bHaveWanted)
    {
        Queue(CComPortOption::BuildSettings(m_wanted));
        m_sent = m_wanted;
        m_bSentAny = true;
    }
}

void CComPortSession::SetWanted(const SSettings& settings)
{
    m_wanted = settings;
    m_bHaveWanted = true;
    if (!m_bAgreed || m_role != ERole::Client)
        return;
    if (!m_bSentAny)
    {
        Queue(CComPortOption::BuildSettings(settings));
        m_sent = settings;
        m_bSentAny = true;
        return;
    }
    // Only what changed: a server may reset a line on every SET.
    if (settings.nBaudRate != m_sent.nBaudRate)
        Queue(CComPortOption::Build(static_cast<int>(ECommand::SetBaudRate),
                                    CComPortOption::Bytes32(settings.nBaudRate)));
    if (settings.nDataBits != m_sent.nDataBits)
        Queue(CComPortOption::Build(static_cast<int>(ECommand::SetDataSize), {settings.nDataBits}));
    if (settings.parity != m_sent.parity)
        Queue(CComPortOption::Build(static_cast<int>(ECommand::SetParity), {static_cast<uint8_t>(settings.parity)}));
    if (settings.stopBits != m_sent.stopBits)
        Queue(CComPortOption::Build(static_cast<int>(ECommand::SetStopSize),
                                    {static_cast<uint8_t>(settings.stopBits)}));
    if (settings.flow != m_sent.flow)
        Queue(CComPortOption::Build(static_cast<int>(ECommand::SetControl), {static_cast<uint8_t>(settings.flow)}));
    m_sent = settings;
}

void CComPortSession::Purge(CComPortOption::EPurge purge)
{
    if (m_bAgreed && m_role == ERole::Client)
        Queue(CComPortOption::BuildPurge(purge));
}

bool CComPortSession::TakeSettingsChange()
{
    const bool bChanged = m_bSettingsChanged;
    m_bSettingsChanged = false;
    return bChanged;
}

std::string CComPortSession::ModemText() const
{
    std::string str;
    auto add = [&](uint8_t nBit, const char* pszName) {
        if (m_nModemState & nBit)
            str += str.empty() ? pszName : std::string(" ") + pszName;
    };
    add(0x80, "CD");
    add(0x40, "RI");
    add(0x20, "DSR");
    add(0x10, "CTS");
    return str.empty() ? "-" : str;
}

std::string CComPortSession::OnMessage(const SMessage& message)
{
    // A message of the wrong direction (a server's reply sent to a server)
    // is a confused peer: ignored, never answered, so no loop can start.
    if (m_role == ERole::Client)
        return message.bFromServer ? OnServerMessage(message) : std::string();
    return message.bFromServer ? std::string() : OnClientMessage(message);
}

std::string CComPortSession::OnServerMessage(const SMessage& message)
{
    const uint8_t nValue = message.value.empty() ? 0 : message.value[0];
    switch (message.command)
    {
    case ECommand::Signature:
        return "device server signature: " + std::string(message.value.begin(), message.value.end());
    case ECommand::SetBaudRate:
        m_acked.nBaudRate = CComPortOption::Value32(message.value);
        return "device server baud rate: " + std::to_string(m_acked.nBaudRate);
    case ECommand::SetDataSize:
        m_acked.nDataBits = nValue;
        return "device server data bits: " + std::to_string(nValue);
    case ECommand::SetParity:
        if (nValue > static_cast<uint8_t>(EParity::Space))
            return {};
        m_acked.parity = static_cast<EParity>(nValue);
        return std::string("device server parity: ") + CComPortOption::ParityName(m_acked.parity);
    case ECommand::SetStopSize:
        if (nValue > static_cast<uint8_t>(EStopBits::OneAndHalf))
            return {};
        m_acked.stopBits = static_cast<EStopBits>(nValue);
        return std::string("device server stop bits: ") + CComPortOption::StopBitsName(m_acked.stopBits);
    case ECommand::SetControl:
        // Only the outbound flow control is ours to keep; the other
        // control answers are of lines a pseudo-terminal has not got.
        if (nValue > static_cast<uint8_t>(EFlow::RtsCts))
            return {};
        m_acked.flow = static_cast<EFlow>(nValue);
        return std::string("device server flow control: ") + CComPortOption::FlowName(m_acked.flow);
    case ECommand::NotifyLineState:
        m_nLineState = nValue;
        return {};
    case ECommand::NotifyModemState:
    {
        const bool bChanged = (m_nModemState & 0xf0) != (nValue & 0xf0);
        m_nModemState = nValue;
        return bChanged ? "device server modem state: " + ModemText() : std::string();
    }
    case ECommand::FlowControlSuspend:
    case ECommand::FlowControlResume:
    case ECommand::SetLineStateMask:
    case ECommand::SetModemStateMask:
    case ECommand::PurgeData:
        break;
    }
    return {};
}

std::string CComPortSession::OnClientMessage(const SMessage& message)
{
    const uint8_t nValue = message.value.empty() ? 0 : message.value[0];
    auto reply = [this, &message](const std::vector<uint8_t>& value) {
        Queue(CComPortOption::BuildReply(message.command, value));
    };
    const SSettings before = m_current;
    // The port takes what it can; the reply tells what it has.
    auto apply = [this, &before] {
        if (m_fnApply && !(m_current == before))
            m_current = m_fnApply(m_current);
    };
    std::string strLine;
    switch (message.command)
    {
    case ECommand::Signature:
        if (message.value.empty())
        {
            reply(std::vector<uint8_t>(m_strSignature.begin(), m_strSignature.end()));
            return {};
        }
        return "client signature: " + std::string(message.value.begin(), message.value.end());
    case ECommand::SetBaudRate:
    {
        const uint32_t nBaud = CComPortOption::Value32(message.value);
        if (nBaud != 0)
            m_current.nBaudRate = nBaud;
        apply();
        reply(CComPortOption::Bytes32(m_current.nBaudRate));
        strLine = "client set baud rate: " + std::to_string(m_current.nBaudRate);
        break;
    }
    case ECommand::SetDataSize:
        if (nValue >= 5 && nValue <= 8)
            m_current.nDataBits = nValue;
        apply();
        reply({m_current.nDataBits});
        strLine = "client set data bits: " + std::to_string(m_current.nDataBits);
        break;
    case ECommand::SetParity:
        if (nValue >= static_cast<uint8_t>(EParity::None) && nValue <= static_cast<uint8_t>(EParity::Space))
            m_current.parity = static_cast<EParity>(nValue);
        apply();
        reply({static_cast<uint8_t>(m_current.parity)});
        strLine = std::string("client set parity: ") + CComPortOption::ParityName(m_current.parity);
        break;
    case ECommand::SetStopSize:
        if (nValue >= static_cast<uint8_t>(EStopBits::One) && nValue <= static_cast<uint8_t>(EStopBits::OneAndHalf))
            m_current.stopBits = static_cast<EStopBits>(nValue);
        apply();
        reply({static_cast<uint8_t>(m_current.stopBits)});
        strLine = std::string("client set stop bits: ") + CComPortOption::StopBitsName(m_current.stopBits);
        break;
    case ECommand::SetControl:
        if (nValue >= static_cast<uint8_t>(EFlow::None) && nValue <= static_cast<uint8_t>(EFlow::RtsCts))
            m_current.flow = static_cast<EFlow>(nValue);
        if (nValue <= static_cast<uint8_t>(EFlow::RtsCts))
        {
            apply();
            reply({static_cast<uint8_t>(m_current.flow)});
            strLine = std::string("client set flow control: ") + CComPortOption::FlowName(m_current.flow);
            break;
        }
        if (nValue > CONTROL_LAST)
            return {};
        // Break, DTR, RTS and inbound flow: a pseudo-terminal carries none
        // of them, so the answer is the state it always has.
        reply({nValue < CONTROL_DTR_REQUEST       ? CONTROL_BREAK_OFF
               : nValue < CONTROL_RTS_REQUEST     ? CONTROL_DTR_ON
               : nValue < CONTROL_INBOUND_REQUEST ? CONTROL_RTS_ON
                                                  : CONTROL_INBOUND_NONE});
        return {};
    case ECommand::SetLineStateMask:
    case ECommand::SetModemStateMask:
    case ECommand::PurgeData:
        // Acknowledged with the value asked for (the masks are kept by no
        // one: a pseudo-terminal has no line or modem events to notify).
        reply({nValue});
        return {};
    case ECommand::NotifyLineState:
    case ECommand::NotifyModemState:
    case ECommand::FlowControlSuspend:
    case ECommand::FlowControlResume:
        return {};
    }
    if (!(m_current == before))
        m_bSettingsChanged = true;
    return strLine;
}
