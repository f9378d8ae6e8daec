// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>

#include "core/model/CPortView.h"

// Status codes a worker reports for its port (nType of an entry).
constexpr int STATUS_NOT_CONNECT = 0;
constexpr int STATUS_CREATE_ERROR = 1;
constexpr int STATUS_CONNECT_ERROR = 2;
constexpr int STATUS_NOT_SUPPORT = 3;
constexpr int STATUS_CONNECTED = 4;
constexpr int STATUS_CONNECTING = 5;
constexpr int STATUS_RECONNECTED = 6;
constexpr int STATUS_SSL_ERROR = 7;
constexpr int STATUS_SSL_CONNECTING = 8;
constexpr int STATUS_LOGIN_PROCESS = 9;
constexpr int STATUS_UDP_STARTED = 10;
constexpr int STATUS_UDP_ERROR = 11;
// The entry's text is the accepted peer ("a.b.c.d:port"; empty: none now).
constexpr int STATUS_PEER = 20;
// The entry's text is the local port the system gave a port configured
// with local port 0.
constexpr int STATUS_LOCAL = 21;
// The entry's text is where COM port control stands on the connection
// ("device server: 19200 7E2, ..."); see CPortView::strComPort.
constexpr int STATUS_COM_PORT = 22;

// The connection state a status code 0..11 reports; none for every other
// code (STATUS_PEER and STATUS_LOCAL carry a text of their own).
std::optional<EConnectionState> ConnectionOfStatus(int nCode);
// Its "Connection" column text; nullptr for every other code. Any thread.
const char* StatusText(int nCode);

// Whether a report of status nCode that comes without a reason clears the
// reason shown beside the port. A success (connected, UDP started) ends the
// failure, and a failure must not show an older failure's reason; an idle
// port (the program closed it, the ports stopped) or an attempt under way
// keeps it, so the user can still read why the last attempt failed.
bool StatusClearsReason(int nCode);
