#pragma once

#include <string>

#include "core/model/CPortView.h"

// Every word the port list shows, in one place: the cells of a row, the
// lamps beside them, and the texts of the worker's status codes. The
// window's list and nimbreld's lines both go through here, so they cannot
// disagree.
class CPortTexts
{
public:
    // The text of column nCol (COL_PORT..COL_STOP, or COL_REASON) of the
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
    static std::string StopBitsText(long nStopBits);
};
