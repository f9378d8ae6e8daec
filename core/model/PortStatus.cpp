// SPDX-License-Identifier: Apache-2.0
#include "core/model/PortStatus.h"

#include <iterator>

#include "core/model/CPortTexts.h"

std::optional<EConnectionState> ConnectionOfStatus(int nCode)
{
    static const EConnectionState s_states[] = {
        EConnectionState::NotConnect,     // STATUS_NOT_CONNECT
        EConnectionState::CreateError,    // STATUS_CREATE_ERROR
        EConnectionState::ConnectError,   // STATUS_CONNECT_ERROR
        EConnectionState::NotSupport,     // STATUS_NOT_SUPPORT
        EConnectionState::Connected,      // STATUS_CONNECTED
        EConnectionState::Connecting,     // STATUS_CONNECTING
        EConnectionState::Connected,      // STATUS_RECONNECTED
        EConnectionState::SslError,       // STATUS_SSL_ERROR
        EConnectionState::SslConnecting,  // STATUS_SSL_CONNECTING
        EConnectionState::LoginProcess,   // STATUS_LOGIN_PROCESS
        EConnectionState::UdpStarted,     // STATUS_UDP_STARTED
        EConnectionState::UdpError,       // STATUS_UDP_ERROR
    };
    static_assert(std::size(s_states) == STATUS_UDP_ERROR + 1);
    if (static_cast<unsigned>(nCode) >= std::size(s_states))
        return std::nullopt;
    return s_states[nCode];
}

const char* StatusText(int nCode)
{
    const std::optional<EConnectionState> state = ConnectionOfStatus(nCode);
    return state ? CPortTexts::ConnectionText(*state) : nullptr;
}

bool StatusClearsReason(int nCode)
{
    switch (nCode)
    {
    case STATUS_CONNECTED:
    case STATUS_RECONNECTED:
    case STATUS_UDP_STARTED:
    case STATUS_CREATE_ERROR:
    case STATUS_CONNECT_ERROR:
    case STATUS_NOT_SUPPORT:
    case STATUS_SSL_ERROR:
    case STATUS_UDP_ERROR:
        return true;
    default:
        return false;
    }
}
