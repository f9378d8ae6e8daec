// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>

// Columns of the port list.
constexpr int COL_PORT = 0;
constexpr int COL_CREATE = 1;
constexpr int COL_MODE = 2;
constexpr int COL_PEER = 3;
constexpr int COL_LOCAL = 4;
constexpr int COL_CONNECTION = 5;
constexpr int COL_BAUDRATE = 6;
constexpr int COL_DATA = 7;
constexpr int COL_PARITY = 8;
constexpr int COL_STOP = 9;
constexpr int COL_COUNT = 10;
// Not a column: why the row's last failure happened ("connect
// 127.0.0.1:7001: Connection refused"), empty when there is none. Views
// show it beside the row (a tool tip); nimbreld prints it as "Reason".
constexpr int COL_REASON = COL_COUNT;
constexpr const char* REASON_TITLE = "Reason";
// Not a column either: where COM port control stands on a port that has
// it ("device server: 19200 7E2, flow none; CD DSR CTS"), empty on one
// without. Views show it in the tool tip; nimbreld prints every change.
constexpr int COL_COMPORT = COL_COUNT + 1;
constexpr const char* COMPORT_TITLE = "COM port control";
// The last text a row has, column or not.
constexpr int COL_LAST_TEXT = COL_COMPORT;

constexpr std::array<const char*, COL_COUNT> COL_TITLES = {
    "Ombra", "Create", "Mode", "Peer", "Local", "Connection", "BaudRate", "Data", "Parity", "Stop",
};
