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

constexpr std::array<const char*, COL_COUNT> COL_TITLES = {
    "Ombra", "Create", "Mode", "Peer", "Local", "Connection", "BaudRate", "Data", "Parity", "Stop",
};
