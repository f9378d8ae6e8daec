// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/engine/TelnetCodes.h"

// The Telnet COM port control option (RFC 2217): the messages a client
// sends to set a device server's real serial port, the server's replies
// and notifications, and their decoding. No sockets here: the Telnet side
// frames and carries what this class builds and hands it what arrived
// between IAC SB 44 and IAC SE.
//
// Built messages are whole Telnet subnegotiations (IAC SB 44 ... IAC SE)
// with every 255 inside doubled, as RFC 855 asks.
class CComPortOption
{
public:
    // A server's reply carries the client's command plus this.
    static constexpr int SERVER_OFFSET = 100;
    // The longest payload kept: the longest real message is a signature
    // text; anything longer is dropped, never stored.
    static constexpr size_t MAX_PAYLOAD = 256;

    enum class ECommand : uint8_t
    {
        Signature = 0,
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        NotifyLineState = 6,
        NotifyModemState = 7,
        FlowControlSuspend = 8,
        FlowControlResume = 9,
        SetLineStateMask = 10,
        SetModemStateMask = 11,
        PurgeData = 12,
    };

    // The values on the wire (0 asks the other side for its current value).
    enum class EParity : uint8_t
    {
        Request = 0,
        None = 1,
        Odd = 2,
        Even = 3,
        Mark = 4,
        Space = 5,
    };
    enum class EStopBits : uint8_t
    {
        Request = 0,
        One = 1,
        Two = 2,
        OneAndHalf = 3,
    };
    // The SET-CONTROL values for outbound flow control.
    enum class EFlow : uint8_t
    {
        Request = 0,
        None = 1,
        XonXoff = 2,
        RtsCts = 3,
    };
    enum class EPurge : uint8_t
    {
        Receive = 1,
        Transmit = 2,
        Both = 3,
    };

    // A serial line's settings as this option carries them.
    struct SSettings
    {
        uint32_t nBaudRate = 9600;
        uint8_t nDataBits = 8;
        EParity parity = EParity::None;
        EStopBits stopBits = EStopBits::One;
        EFlow flow = EFlow::None;
        bool operator==(const SSettings&) const = default;
    };

    // One decoded message: its command (a server's reply has its offset
    // taken off, see bFromServer) and its value bytes.
    struct SMessage
    {
        bool bFromServer = false;
        ECommand command = ECommand::Signature;
        std::vector<uint8_t> value;
    };

    // --- building (either side) ---
    // IAC SB 44 <code> <value...> IAC SE, 255s doubled.
    static std::vector<uint8_t> Build(int nCode, const std::vector<uint8_t>& value);
    // What a client sends for settings: baud rate, data size, parity,
    // stop size and flow control, in that order, as one byte run.
    static std::vector<uint8_t> BuildSettings(const SSettings& settings);
    static std::vector<uint8_t> BuildPurge(EPurge purge);
    // The line and modem state a client asks to hear about.
    static std::vector<uint8_t> BuildMasks(uint8_t nLineMask, uint8_t nModemMask);
    // A server's answer to a client's request, with the values in effect.
    static std::vector<uint8_t> BuildReply(ECommand command, const std::vector<uint8_t>& value);

    // --- decoding ---
    // The payload between IAC SB 44 and IAC SE, 255s already undoubled:
    // false for one too short to be a message or with an unknown code.
    static bool Decode(const std::vector<uint8_t>& payload, SMessage* pMessage);
    // A value of 4 bytes, big-endian (baud rate); 0 when it is not 4 long.
    static uint32_t Value32(const std::vector<uint8_t>& value);
    static std::vector<uint8_t> Bytes32(uint32_t n);

    // "19200 7E2": how the settings read in a log line; "?" for a value
    // not known.
    static std::string Describe(const SSettings& settings);
    // "none", "odd", "even", "mark", "space" and back; false for others.
    static const char* ParityName(EParity parity);
    // "1", "2", "1.5"; "?" for a value not known.
    static const char* StopBitsName(EStopBits stopBits);
    // "none", "XON/XOFF", "RTS/CTS"; "?" for a value not known.
    static const char* FlowName(EFlow flow);
    static bool ParseParity(const std::string& strName, EParity* pParity);
};
