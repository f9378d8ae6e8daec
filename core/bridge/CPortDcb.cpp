// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortDcb.h"

#include <termios.h>

CPortDcb CPortDcb::FromTermios(const struct termios& t, unsigned int nBaud)
{
    CPortDcb dcb;
    dcb.BaudRate = nBaud;
    switch (t.c_cflag & CSIZE)
    {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0)
        dcb.Parity = 0;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? 1 : 2;
    // Two stop bits with five data bits is one and a half on a UART.
    if (t.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? 1 : 2;
    else
        dcb.StopBits = 0;
    const bool bRtsCts = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = bRtsCts ? 1 : 0;
    dcb.fRtsControl = bRtsCts ? 2 : 1;
    dcb.fDtrControl = 1;
    // Seen from the bridge: an application with IXON lets the bridge stop it
    // with XOFF (the bridge's input flow control), one with IXOFF sends
    // XON/XOFF that the bridge must honour and take out of the data.
    dcb.fInX = (t.c_iflag & IXON) ? 1 : 0;
    dcb.fOutX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}
