// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "core/model/CPortView.h"


// Every word the port list shows, in one place: the cells of a row, the
// lamps beside them, and the texts of the worker's status codes. The
// window's list and nimbreld's lines both go through here, so they cannot
// disagree.
class CPortTexts
{
public:
    // The text of column nCol (COL_PORT..COL_STOP, or COL_REASON or COL_COMPORT) of the
    // row of view.
    static std::string Cell(const CPortView& view, int nCol);
    // The lamp beside column nCol: Create and Connection have one.
    static ELamp Lamp(const CPortView& view, int nCol);

    // "COMn" of port index nPort (0-based): also its name in the port directory.
    static std::string PortName(int nPort);
    static const char* CreateText(ECreateState state);
    static const char* ConnectionText(EConnectionState state);
    static ELamp ConnectionLamp(EConnectionState state);
    // "address:port" as the list shows a peer; an IPv6 address in brackets.
    static std::string PeerText(const std::string& strAddress, int nPort);
    static std::string ParityText(long nParity);
    // "Since Start: 1,234 bytes sent, 56 received": a started port's
    // traffic, the second line of its tool tip.
    static std::string TrafficText(uint64_t nSent, uint64_t nReceived);
    static std::string StopBitsText(long nStopBits);
    // The longest text column nCol shows in everyday use (a host name or an
    // IPv6 peer can be longer and is cut), for sizing the column to it.
    static const char* WidestCell(int nCol);
    // The line under the list: the selected row's reason when it has one
    // ("COM3: connect 127.0.0.1:7001: Connection refused"), else the counts
    // ("12 ports, 3 connected"). pSelected null: none selected.
    static std::string StatusLine(const CPortView* pSelected, int nPorts, int nConnected);
    // Whether a row counts as connected there (a started UDP port does).
    static bool IsConnected(const CPortView& view) { return ConnectionLamp(view.connection) == ELamp::Ok; }
};
