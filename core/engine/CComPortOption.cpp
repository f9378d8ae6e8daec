// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CComPortOption.h"

#include "core/engine/TelnetCodes.h"

std::vector<uint8_t> CComPortOption::Build(int nCode, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> out = {TELNET_IAC, TELNET_SB, TELOPT_COM_PORT, static_cast<uint8_t>(nCode)};
    if (nCode == TELNET_IAC)
        out.push_back(TELNET_IAC);
    for (const uint8_t by : value)
    {
        out.push_back(by);
        if (by == TELNET_IAC)
            out.push_back(TELNET_IAC);
    }
    out.push_back(TELNET_IAC);
    out.push_back(TELNET_SE);
    return out;
}

std::vector<uint8_t> CComPortOption::Bytes32(uint32_t n)
{
    return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n)};
}

uint32_t CComPortOption::Value32(const std::vector<uint8_t>& value)
{
    if (value.size() != 4)
        return 0;
    return static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
           static_cast<uint32_t>(value[2]) << 8 | static_cast<uint32_t>(value[3]);
}

std::vector<uint8_t> CComPortOption::BuildSettings(const SSettings& settings)
{
    std::vector<uint8_t> out;
    auto add = [&out](ECommand command, const std::vector<uint8_t>& value) {
        const std::vector<uint8_t> msg = Build(static_cast<int>(command), value);
        out.insert(out.end(), msg.begin(), msg.end());
    };
    add(ECommand::SetBaudRate, Bytes32(settings.nBaudRate));
    add(ECommand::SetDataSize, {settings.nDataBits});
    add(ECommand::SetParity, {static_cast<uint8_t>(settings.parity)});
    add(ECommand::SetStopSize, {static_cast<uint8_t>(settings.stopBits)});
    add(ECommand::SetControl, {static_cast<uint8_t>(settings.flow)});
    return out;
}

std::vector<uint8_t> CComPortOption::BuildPurge(EPurge purge)
{
    return Build(static_cast<int>(ECommand::PurgeData), {static_cast<uint8_t>(purge)});
}

std::vector<uint8_t> CComPortOption::BuildMasks(uint8_t nLineMask, uint8_t nModemMask)
{
    std::vector<uint8_t> out = Build(static_cast<int>(ECommand::SetLineStateMask), {nLineMask});
    const std::vector<uint8_t> modem = Build(static_cast<int>(ECommand::SetModemStateMask), {nModemMask});
    out.insert(out.end(), modem.begin(), modem.end());
    return out;
}

std::vector<uint8_t> CComPortOption::BuildReply(ECommand command, const std::vector<uint8_t>& value)
{
    return Build(static_cast<int>(command) + SERVER_OFFSET, value);
}

bool CComPortOption::Decode(const std::vector<uint8_t>& payload, SMessage* pMessage)
{
    if (payload.empty())
        return false;
    int nCode = payload[0];
    const bool bFromServer = nCode >= SERVER_OFFSET;
    if (bFromServer)
        nCode -= SERVER_OFFSET;
    if (nCode > static_cast<int>(ECommand::PurgeData))
        return false;
    const ECommand command = static_cast<ECommand>(nCode);
    const size_t nValue = payload.size() - 1;
    // Every command but the signature has a fixed value size.
    const size_t nWant = command == ECommand::Signature ? nValue
                         : command == ECommand::SetBaudRate ? 4
                         : command == ECommand::FlowControlSuspend || command == ECommand::FlowControlResume ? 0
                                                                                                               : 1;
    if (nValue != nWant)
        return false;
    pMessage->bFromServer = bFromServer;
    pMessage->command = command;
    pMessage->value.assign(payload.begin() + 1, payload.end());
    return true;
}

const char* CComPortOption::ParityName(EParity parity)
{
    switch (parity)
    {
    case EParity::None:
        return "none";
    case EParity::Odd:
        return "odd";
    case EParity::Even:
        return "even";
    case EParity::Mark:
        return "mark";
    case EParity::Space:
        return "space";
    case EParity::Request:
        break;
    }
    return "";
}

bool CComPortOption::ParseParity(const std::string& strName, EParity* pParity)
{
    for (const EParity parity : {EParity::None, EParity::Odd, EParity::Even, EParity::Mark, EParity::Space})
    {
        if (strName == ParityName(parity))
        {
            *pParity = parity;
            return true;
        }
    }
    return false;
}

std::string CComPortOption::Describe(const SSettings& settings)
{
    static const char PARITY_LETTER[] = {'?', 'N', 'O', 'E', 'M', 'S'};
    const auto nParity = static_cast<size_t>(settings.parity);
    std::string str = settings.nBaudRate != 0 ? std::to_string(settings.nBaudRate) : "?";
    str += ' ';
    str += settings.nDataBits >= 5 && settings.nDataBits <= 8 ? static_cast<char>('0' + settings.nDataBits) : '?';
    str += nParity < sizeof PARITY_LETTER ? PARITY_LETTER[nParity] : '?';
    str += StopBitsName(settings.stopBits);
    return str;
}

const char* CComPortOption::StopBitsName(EStopBits stopBits)
{
    switch (stopBits)
    {
    case EStopBits::One:
        return "1";
    case EStopBits::Two:
        return "2";
    case EStopBits::OneAndHalf:
        return "1.5";
    case EStopBits::Request:
        break;
    }
    return "?";
}

const char* CComPortOption::FlowName(EFlow flow)
{
    switch (flow)
    {
    case EFlow::None:
        return "none";
    case EFlow::XonXoff:
        return "XON/XOFF";
    case EFlow::RtsCts:
        return "RTS/CTS";
    case EFlow::Request:
        break;
    }
    return "?";
}
