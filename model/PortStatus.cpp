#include "model/PortStatus.h"

#include <iterator>

const char* StatusText(int nCode)
{
    static const char* const s_texts[] = {
        "Not Connect",         // STATUS_NOT_CONNECT
        "Create Error",        // STATUS_CREATE_ERROR
        "Connect Error",       // STATUS_CONNECT_ERROR
        "Not support device",  // STATUS_NOT_SUPPORT
        "Connected",           // STATUS_CONNECTED
        "Connecting",          // STATUS_CONNECTING
        "Connected",           // STATUS_RECONNECTED
        "SSL Error",           // STATUS_SSL_ERROR
        "SSL Connecting",      // STATUS_SSL_CONNECTING
        "Login Process",       // STATUS_LOGIN_PROCESS
        "UDP Started",         // STATUS_UDP_STARTED
        "UDP Error",           // STATUS_UDP_ERROR
    };
    static_assert(std::size(s_texts) == STATUS_UDP_ERROR + 1);

    if (static_cast<unsigned>(nCode) >= std::size(s_texts))
        return nullptr;
    return s_texts[nCode];
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
