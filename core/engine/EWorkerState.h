// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

// The states of a connection worker (CSocketCtrl). Beside each: what moves
// it on, and where to. Besides these, from any state: the application's
// close -> Drain (UDP: UdpDrain); a reopen before the close was handled ->
// RestartDrain; the worker's stop -> Idle (a server: Listen).
enum class EWorkerState : uint8_t
{
    Idle,            // application opens: client -> Connect, UDP -> UdpBind
    Connect,         // connected at once -> Data (TLS: TlsStart); under way -> Connecting; fails -> RetryWait
    Connecting,      // connected -> Data (TLS: TlsStart); fails, timeout -> RetryWait; stop -> Idle
    Data,            // peer gone: server -> Close, client -> LostWait (reconnect) or RetryWait
    Drain,           // sent, failed or 10 s over -> Close
    Close,           // closed: server -> Listen, client -> Idle
    RetryWait,       // reconnect on and its time over -> Reconnect
    Reconnect,       // as Connect, but -> Reconnecting, TlsRestart
    Reconnecting,    // as Connecting, but -> TlsRestart
    TlsStart,        // session made -> TlsHandshake
    TlsHandshake,    // done -> Data; rejected -> Connect (older version) or RetryWait; timeout -> RetryWait
    TlsRestart,      // session made -> TlsRehandshake
    TlsRehandshake,  // as TlsHandshake, but rejected -> Reconnect
    TlsAccept,       // done -> Data, Login or TelnetLogin; fails, timeout -> Close
    Login,           // logged in -> Data; wrong too often, silent -> Drain; peer gone -> Close
    TelnetLogin,     // as Login
    UdpBind,         // bound -> UdpData; fails -> UdpRetryWait
    UdpData,         // (left only by the application's close)
    UdpDrain,        // sent or 10 s over -> UdpClose
    UdpClose,        // closed -> Idle
    UdpRetryWait,    // reconnect on and its time over -> UdpBind
    LostWait,        // 300 ms over -> Reconnect
    Listen,          // listening -> Accept; fails: again next cycle
    Accept,          // peer in -> Data, Login, TelnetLogin (TLS: TlsAccept); no rings -> Close; no socket -> Listen
    RestartDrain,    // sent, failed or 10 s over -> Restart
    Restart,         // closed -> Connect
};

constexpr int WORKER_STATE_COUNT = static_cast<int>(EWorkerState::Restart) + 1;

// For traces and test messages.
constexpr const char* WorkerStateName(EWorkerState state)
{
    constexpr const char* NAMES[WORKER_STATE_COUNT] = {
        "Idle",         "Connect",      "Connecting",   "Data",      "Drain",    "Close",     "RetryWait",
        "Reconnect",    "Reconnecting", "TlsStart",     "TlsHandshake", "TlsRestart", "TlsRehandshake",
        "TlsAccept",    "Login",        "TelnetLogin",  "UdpBind",   "UdpData",  "UdpDrain",  "UdpClose",
        "UdpRetryWait", "LostWait",     "Listen",       "Accept",    "RestartDrain", "Restart"};
    return NAMES[static_cast<int>(state)];
}

// Whether the worker may go from one state to the other: the moves listed
// above, and those open to every state.
constexpr bool WorkerTransitionAllowed(EWorkerState from, EWorkerState to)
{
    using S = EWorkerState;
    if (to == S::Drain || to == S::UdpDrain || to == S::Idle || to == S::Listen || from == to)
        return true;
    if (to == S::RestartDrain)
        return from != S::Idle;
    switch (from)
    {
    case S::Idle: return to == S::Connect || to == S::UdpBind;
    case S::Connect: return to == S::Data || to == S::TlsStart || to == S::Connecting || to == S::RetryWait;
    case S::Connecting: return to == S::Data || to == S::TlsStart || to == S::RetryWait;
    case S::Reconnect: return to == S::Data || to == S::TlsRestart || to == S::Reconnecting || to == S::RetryWait;
    case S::Reconnecting: return to == S::Data || to == S::TlsRestart || to == S::RetryWait;
    case S::Data: return to == S::Close || to == S::LostWait || to == S::RetryWait;
    case S::Drain: return to == S::Close;
    case S::Close: return false;
    case S::RetryWait: return to == S::Reconnect;
    case S::TlsStart: return to == S::TlsHandshake;
    case S::TlsHandshake: return to == S::Data || to == S::Connect || to == S::RetryWait;
    case S::TlsRestart: return to == S::TlsRehandshake;
    case S::TlsRehandshake: return to == S::Data || to == S::Reconnect || to == S::RetryWait;
    case S::TlsAccept: return to == S::Data || to == S::Login || to == S::TelnetLogin || to == S::Close;
    case S::Login:
    case S::TelnetLogin: return to == S::Data || to == S::Close;
    case S::UdpBind: return to == S::UdpData || to == S::UdpRetryWait;
    case S::UdpData: return false;
    case S::UdpDrain: return to == S::UdpClose;
    case S::UdpClose: return false;
    case S::UdpRetryWait: return to == S::UdpBind;
    case S::LostWait: return to == S::Reconnect;
    case S::Listen: return to == S::Accept;
    case S::Accept:
        return to == S::Data || to == S::Login || to == S::TelnetLogin || to == S::TlsAccept || to == S::Close;
    case S::RestartDrain: return to == S::Restart;
    case S::Restart: return to == S::Connect;
    }
    return false;
}
