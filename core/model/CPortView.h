// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "core/model/CPortEntry.h"

// Where a port's virtual serial port stands.
enum class ECreateState
{
    None,     // not created (stopped)
    Created,
    Error,    // the last Start could not create it
};

// Where a port's connection stands, as its worker reports it.
enum class EConnectionState
{
    NotConnect,
    CreateError,   // no socket could be made
    ConnectError,
    NotSupport,
    Connected,
    Connecting,
    SslError,
    SslConnecting,
    LoginProcess,
    UdpStarted,
    UdpError,
};

// What a lamp beside a state shows; the view picks the picture.
enum class ELamp
{
    None,  // the cell has no lamp
    Idle,
    Ok,
    Error,
};

// The serial line settings a program chose, as far as they are known.
struct SLineControl
{
    long nDataBits = 8;
    long nParity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    long nStopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool operator==(const SLineControl&) const = default;
};

// Everything the port list shows of one port, typed: the list's cells,
// nimbreld's lines and the tool tips are all made from this by CPortTexts,
// never stored as words.
struct CPortView
{
    int nPort = 0;  // 0..255: COM1..COM256
    bool bEnabled = false;
    int nMode = MODE_TCP_CLIENT;
    std::string strAddress;  // the configured peer
    int nPeerPort = 0;
    int nLocalPort = 0;      // configured, or what the system gave for 0
    ECreateState create = ECreateState::None;
    EConnectionState connection = EConnectionState::NotConnect;
    std::string strReason;         // why the last failure happened; empty: none
    std::string strAcceptedPeer;   // a server's peer now served; empty: none
    // Where COM port control stands ("on" before a connection); empty on a
    // port without it.
    std::string strComPort;
    std::optional<long> nBaudRate;       // while a program has the port open
    std::optional<SLineControl> line;

    // A port's view from its configuration, as it stands before Start.
    static CPortView FromEntry(int nPort, const CPortEntry& entry);

    bool operator==(const CPortView&) const = default;
};
