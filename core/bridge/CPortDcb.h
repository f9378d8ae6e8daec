// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

struct termios;

// The part of a Win32 serial settings record (DCB) that the port event
// handlers read, filled from the application's termios.
struct CPortDcb
{
    uint32_t BaudRate = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint32_t fOutxCtsFlow = 0;
    uint32_t fOutxDsrFlow = 0;
    uint32_t fDtrControl = 1;  // 0 disable, 1 enable, 2 handshake
    uint32_t fRtsControl = 1;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    uint32_t fOutX = 0;
    uint32_t fInX = 0;
    char XonChar = 0x11;
    char XoffChar = 0x13;

    bool operator==(const CPortDcb&) const = default;

    // The record the handlers read, from an application's termios and its
    // baud rate.
    static CPortDcb FromTermios(const struct termios& t, unsigned int nBaud);
};
