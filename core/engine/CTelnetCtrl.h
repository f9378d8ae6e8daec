// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/engine/CLoginCtrl.h"
#include "core/engine/TelnetCodes.h"

// The Telnet side of one connection: option negotiation, the receive filter
// that takes Telnet commands out of the peer's bytes, and the data of the
// Telnet login (the same dialogue as CLoginCtrl's, with its own banner).
//
// Byte 255 follows the Telnet standard: IAC IAC received is one data byte
// 255 (Filter), and data sent to the peer doubles every 255 (EscapeIac).
//
// The rings are the worker's.
// Used only on the worker thread with the worker's lock held.
class CTelnetCtrl
{
public:
    static constexpr int TELNET_OPTIONS = 255;  // options 0..254 are tracked

    // Column of a command in m_bySent and m_nToSend.
    static constexpr int SLOT_WILL = 0;
    static constexpr int SLOT_WONT = 1;
    static constexpr int SLOT_DO = 2;
    static constexpr int SLOT_DONT = 3;

    // Values of m_nToSend.
    static constexpr int QUEUE_NONE = 0;
    static constexpr int QUEUE_REQUEST = 1;
    static constexpr int QUEUE_REPLY = 2;

    // Where the COM port control option stands on this connection.
    enum class EComPort
    {
        Off,       // not asked for on this port
        Pending,   // offered or allowed, no answer yet
        Agreed,
        Refused,
    };

    // Subnegotiations of the COM port control option kept at most between
    // two takes; more in one received block are dropped and counted.
    static constexpr size_t MAX_COM_PORT_MESSAGES = 64;

    CTelnetCtrl() = default;
    virtual ~CTelnetCtrl() = default;

    // Whether this port speaks COM port control; set before Init. A client
    // then offers WILL COM-PORT-OPTION, a server accepts the client's.
    void EnableComPortControl(bool bOn) { m_bComPortEnabled = bOn; }
    EComPort ComPortState() const { return m_comPort; }
    // The payloads received between IAC SB 44 and IAC SE since the last
    // take, 255s undoubled; empties the queue.
    std::vector<std::vector<uint8_t>> TakeComPortMessages();
    // Subnegotiations dropped since the last take: too long (see
    // CComPortOption::MAX_PAYLOAD) or past MAX_COM_PORT_MESSAGES.
    unsigned TakeDroppedSubNegotiations();

    // nRole 1 server, 0 client. Clears the filter, the tries and the tables,
    // then queues this side's opening requests. Login strings stay.
    void Init(int nRole);

    // Writes queued commands and subnegotiations into the transmit ring,
    // options 0..254 in order, each piece only when it fits whole; stops at
    // the first that does not fit, leaving it and the rest queued. Returns 1.
    int PutNegotiation(CRing& tx);

    // Takes the Telnet commands out of a received block in place and handles
    // the negotiation they carry; nCount becomes the number of data bytes.
    // A command split across blocks is carried over.
    void Filter(unsigned char* pBytes, int& nCount);

    // Handles a received WILL, WONT, DO or DONT for nOption.
    void OnCommand(int nCommand, int nOption);

    // 1 when nothing is queued, no request is unanswered and no
    // subnegotiation is pending, else 0.
    int IsNegotiated() const;
    // True once the peer answered one of this side's requests.
    bool HeardAnswer() const { return m_bHeardAnswer; }
    // The requests still unanswered count as refused, and no subnegotiation
    // is awaited any more.
    void GiveUpUnanswered();

    // Copies pIn to pOut doubling every 255, as far as nOutRoom allows
    // without cutting a doubled pair. Returns the bytes written; sets
    // *pnConsumed (when given) to the input bytes taken.
    static int EscapeIac(const unsigned char* pIn, int nIn, unsigned char* pOut, int nOutRoom, int* pnConsumed);

    // The Telnet login: as CLoginCtrl's, on m_login.
    void SetLogin(const std::string& strUser, const std::string& strPassword);
    int PutBanner(CRing& tx);
    int PutLoginPrompt(CRing& tx);
    int PutPasswordPrompt(CRing& tx);
    int PutIncorrect(CRing& tx);
    int PutTimeout(CRing& tx);
    int ReadUser(CRing& rx);
    int ReadPassword(CRing& rx);

private:
    int IsSupported(int nOption) const;
    void OnComPortAnswer(bool bYes);
    // One byte of a subnegotiation's content (after its option byte).
    void CollectSub(unsigned char by);
    void EndSub();
    // The subnegotiation this role sends for nOption; 0 bytes when none.
    int SubNegotiation(int nOption, unsigned char* pOut) const;

public:
    int m_nRole = 0;
    bool m_bHeardAnswer = false;
    unsigned char m_bySent[TELNET_OPTIONS][4] = {};
    int m_nToSend[TELNET_OPTIONS][4] = {};
    unsigned char m_bySubPending[TELNET_OPTIONS] = {};
    int m_bIAC = 0;
    unsigned char m_byCommand = 0;
    int m_bInSB = 0;
    // The subnegotiation being received: its option (-1: not yet read),
    // and for COM port control its payload, bounded.
    int m_nSubOption = -1;
    std::vector<uint8_t> m_vecSub;
    bool m_bSubTooLong = false;
    std::vector<std::vector<uint8_t>> m_vecComPortIn;
    unsigned m_nSubDropped = 0;
    bool m_bComPortEnabled = false;
    EComPort m_comPort = EComPort::Off;
    // The Telnet login's own login data; m_login.m_nTries counts its tries.
    CLoginCtrl m_login;
    // Told of every option command the peer sends (the port's monitor).
    std::function<void(int nCommand, int nOption)> m_fnCommandSeen;
};
