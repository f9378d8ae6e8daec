// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortTexts.h"

#include "core/model/PortColumns.h"

CPortView CPortView::FromEntry(int nPort, const CPortEntry& entry)
{
    CPortView view;
    view.nPort = nPort;
    view.bEnabled = entry.m_bEnable == 1;
    view.nMode = entry.m_nMode;
    view.strAddress = entry.m_strIPAddress;
    view.nPeerPort = entry.m_nPeerPort;
    view.nLocalPort = entry.m_nLocPort;
    if (entry.UsesComPortControl())
        view.strComPort = "on";
    return view;
}

const char* CPortTexts::CreateText(ECreateState state)
{
    switch (state)
    {
    case ECreateState::Created:
        return "Created";
    case ECreateState::Error:
        return "Create Error";
    case ECreateState::None:
        break;
    }
    return "None";
}

const char* CPortTexts::ConnectionText(EConnectionState state)
{
    switch (state)
    {
    case EConnectionState::NotConnect:
        return "Not Connect";
    case EConnectionState::CreateError:
        return "Create Error";
    case EConnectionState::ConnectError:
        return "Connect Error";
    case EConnectionState::NotSupport:
        return "Not support device";
    case EConnectionState::Connected:
        return "Connected";
    case EConnectionState::Connecting:
        return "Connecting";
    case EConnectionState::SslError:
        return "SSL Error";
    case EConnectionState::SslConnecting:
        return "SSL Connecting";
    case EConnectionState::LoginProcess:
        return "Login Process";
    case EConnectionState::UdpStarted:
        return "UDP Started";
    case EConnectionState::UdpError:
        return "UDP Error";
    }
    return "Not Connect";
}

ELamp CPortTexts::ConnectionLamp(EConnectionState state)
{
    switch (state)
    {
    case EConnectionState::Connected:
    case EConnectionState::UdpStarted:
        return ELamp::Ok;
    case EConnectionState::CreateError:
    case EConnectionState::ConnectError:
    case EConnectionState::NotSupport:
    case EConnectionState::SslError:
    case EConnectionState::UdpError:
        return ELamp::Error;
    default:
        return ELamp::Idle;
    }
}

std::string CPortTexts::PeerText(const std::string& strAddress, int nPort)
{
    if (strAddress.find(':') != std::string::npos && strAddress.front() != '[')
        return "[" + strAddress + "]:" + std::to_string(nPort);
    return strAddress + ":" + std::to_string(nPort);
}

std::string CPortTexts::ParityText(long nParity)
{
    static const char* const s_texts[] = {"None", "Odd", "Even", "Mark", "Space"};
    if (nParity >= 0 && nParity <= 4)
        return s_texts[nParity];
    return std::to_string(nParity);
}

std::string CPortTexts::StopBitsText(long nStopBits)
{
    static const char* const s_texts[] = {"1", "1.5", "2"};
    if (nStopBits >= 0 && nStopBits <= 2)
        return s_texts[nStopBits];
    return std::to_string(nStopBits);
}

std::string CPortTexts::Cell(const CPortView& view, int nCol)
{
    const bool bServer = view.nMode == MODE_TCP_SERVER;
    const bool bClient = view.nMode == MODE_TCP_CLIENT;
    switch (nCol)
    {
    case COL_PORT:
        return PortName(view.nPort);
    case COL_CREATE:
        return CreateText(view.create);
    case COL_MODE:
        // UDP also for any value the dialogs never store.
        return bClient ? "Client" : bServer ? "Server" : "UDP";
    case COL_PEER:
        if (bServer)
            return view.strAcceptedPeer.empty() ? "----------" : view.strAcceptedPeer;
        return PeerText(view.strAddress, view.nPeerPort);
    case COL_LOCAL:
        return bClient ? "-----" : std::to_string(view.nLocalPort);
    case COL_CONNECTION:
        return ConnectionText(view.connection);
    case COL_BAUDRATE:
        return view.nBaudRate ? std::to_string(*view.nBaudRate) : "--------";
    case COL_DATA:
        return view.line ? std::to_string(view.line->nDataBits) : "-----";
    case COL_PARITY:
        return view.line ? ParityText(view.line->nParity) : "-----";
    case COL_STOP:
        return view.line ? StopBitsText(view.line->nStopBits) : "-----";
    case COL_REASON:
        return view.strReason;
    case COL_COMPORT:
        return view.strComPort;
    default:
        return std::string();
    }
}

ELamp CPortTexts::Lamp(const CPortView& view, int nCol)
{
    if (nCol == COL_CREATE)
        return view.create == ECreateState::Created ? ELamp::Ok
               : view.create == ECreateState::Error ? ELamp::Error
                                                    : ELamp::Idle;
    if (nCol == COL_CONNECTION)
        return ConnectionLamp(view.connection);
    return ELamp::None;
}

std::string CPortTexts::PortName(int nPort)
{
    return "COM" + std::to_string(nPort + 1);
}

const char* CPortTexts::WidestCell(int nCol)
{
    switch (nCol)
    {
    case COL_PORT:
        return "COM256";
    case COL_CREATE:
        return "Create Error";
    case COL_MODE:
        return "Server";
    case COL_PEER:
        return "255.255.255.255:65535";
    case COL_LOCAL:
        return "65535";
    case COL_CONNECTION:
        return "Not support device";
    case COL_BAUDRATE:
        return "115200";
    case COL_DATA:
        return "-----";
    case COL_PARITY:
        return "Space";
    case COL_STOP:
        return "-----";
    default:
        return "";
    }
}

std::string CPortTexts::StatusLine(const CPortView* pSelected, int nPorts, int nConnected)
{
    if (pSelected != nullptr && !pSelected->strReason.empty())
        return Cell(*pSelected, COL_PORT) + ": " + pSelected->strReason;
    if (nPorts == 0)
        return "No ports";
    return std::to_string(nPorts) + (nPorts == 1 ? " port, " : " ports, ") + std::to_string(nConnected) +
           " connected";
}

namespace
{
// 1234567 as "1,234,567": byte counts grow long.
std::string Grouped(uint64_t n)
{
    std::string str = std::to_string(n);
    for (int k = static_cast<int>(str.size()) - 3; k > 0; k -= 3)
        str.insert(static_cast<size_t>(k), ",");
    return str;
}
}  // namespace

std::string CPortTexts::TrafficText(uint64_t nSent, uint64_t nReceived)
{
    return "Since Start: " + Grouped(nSent) + (nSent == 1 ? " byte sent, " : " bytes sent, ") + Grouped(nReceived) +
           " received";
}
