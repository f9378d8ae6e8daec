// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTelnetCtrl.h"

#include <cstring>

#include "core/engine/CComPortOption.h"

namespace
{

constexpr char TELNET_BANNER[] = "Nimbrel Telnet Service\r\n\r\n";

// Subnegotiation codes.
constexpr unsigned char TELQUAL_IS = 0;
constexpr unsigned char TELQUAL_SEND = 1;

// The window size we announce: 80 columns, 24 rows.
constexpr unsigned char NAWS_COLUMNS = 80;
constexpr unsigned char NAWS_ROWS = 24;

// Command byte of each column of the negotiation tables.
constexpr unsigned char SLOT_COMMAND[4] = {TELNET_WILL, TELNET_WONT, TELNET_DO, TELNET_DONT};

}  // namespace

void CTelnetCtrl::Init(int nRole)
{
    m_nRole = nRole;
    m_bHeardAnswer = false;
    m_bIAC = 0;
    m_byCommand = 0;
    m_bInSB = 0;
    m_nSubOption = -1;
    m_vecSub.clear();
    m_bSubTooLong = false;
    m_vecComPortIn.clear();
    m_nSubDropped = 0;
    m_comPort = m_bComPortEnabled ? EComPort::Pending : EComPort::Off;
    m_login.m_nTries = 0;
    memset(m_bySent, 0, sizeof(m_bySent));
    memset(m_nToSend, 0, sizeof(m_nToSend));
    memset(m_bySubPending, 0, sizeof(m_bySubPending));

    m_nToSend[TELOPT_SGA][SLOT_WILL] = QUEUE_REQUEST;
    if (m_nRole == 1)
    {
        m_nToSend[TELOPT_BINARY][SLOT_WILL] = QUEUE_REQUEST;
        m_nToSend[TELOPT_BINARY][SLOT_DO] = QUEUE_REQUEST;
        m_nToSend[TELOPT_ECHO][SLOT_WILL] = QUEUE_REQUEST;
        m_nToSend[TELOPT_NAWS][SLOT_DO] = QUEUE_REQUEST;
        m_nToSend[TELOPT_NEW_ENVIRON][SLOT_DO] = QUEUE_REQUEST;
    }
    else if (m_bComPortEnabled)
    {
        m_nToSend[TELOPT_COM_PORT][SLOT_WILL] = QUEUE_REQUEST;
    }
}

std::vector<std::vector<uint8_t>> CTelnetCtrl::TakeComPortMessages()
{
    std::vector<std::vector<uint8_t>> vec;
    vec.swap(m_vecComPortIn);
    return vec;
}

unsigned CTelnetCtrl::TakeDroppedSubNegotiations()
{
    const unsigned n = m_nSubDropped;
    m_nSubDropped = 0;
    return n;
}

void CTelnetCtrl::CollectSub(unsigned char by)
{
    if (m_nSubOption < 0)
    {
        m_nSubOption = by;
        return;
    }
    // Only COM port control's content is kept, and never more than its
    // longest message: an endless subnegotiation costs no memory.
    if (m_nSubOption != TELOPT_COM_PORT || m_comPort == EComPort::Off || m_bSubTooLong)
        return;
    if (m_vecSub.size() >= CComPortOption::MAX_PAYLOAD)
    {
        m_bSubTooLong = true;
        m_vecSub.clear();
        return;
    }
    m_vecSub.push_back(by);
}

void CTelnetCtrl::EndSub()
{
    if (m_nSubOption == TELOPT_COM_PORT && m_comPort != EComPort::Off)
    {
        if (m_bSubTooLong || m_vecComPortIn.size() >= MAX_COM_PORT_MESSAGES)
            ++m_nSubDropped;
        else
            m_vecComPortIn.push_back(std::move(m_vecSub));
    }
    m_nSubOption = -1;
    m_vecSub.clear();
    m_bSubTooLong = false;
}

int CTelnetCtrl::PutNegotiation(CRing& tx)
{
    for (int o = 0; o < TELNET_OPTIONS; ++o)
    {
        for (int s = 0; s < 4; ++s)
        {
            const int nQueued = m_nToSend[o][s];
            if (nQueued == QUEUE_NONE)
                continue;
            const unsigned char byCommand[3] = {TELNET_IAC, SLOT_COMMAND[s], static_cast<unsigned char>(o)};
            // No room: the rest waits for a later cycle, from option 0 again.
            if (CLoginCtrl::PutText(tx, byCommand, 3) == 0)
                return 1;
            if (nQueued == QUEUE_REQUEST)
                m_bySent[o][s] = 1;
            else if (s == SLOT_WILL || s == SLOT_DO)
                m_bySubPending[o] = 1;
            m_nToSend[o][s] = QUEUE_NONE;
        }
        if (m_bySubPending[o] == 1)
        {
            unsigned char bySub[16];
            const int n = SubNegotiation(o, bySub);
            if (n > 0 && CLoginCtrl::PutText(tx, bySub, n) == 0)
                return 1;
            m_bySubPending[o] = 0;
        }
    }
    return 1;
}

void CTelnetCtrl::Filter(unsigned char* pBytes, int& nCount)
{
    int nData = 0;
    for (int k = 0; k < nCount; ++k)
    {
        const unsigned char by = pBytes[k];
        if (m_bIAC == 1)
        {
            m_bIAC = 0;
            if (by == TELNET_SE)
            {
                if (m_bInSB == 1)
                    EndSub();
                m_bInSB = 0;
            }
            else if (by == TELNET_SB)
            {
                m_bInSB = 1;
                m_nSubOption = -1;
                m_vecSub.clear();
                m_bSubTooLong = false;
            }
            else if (by >= TELNET_WILL && by <= TELNET_DONT)
                m_byCommand = by;
            else if (by == TELNET_IAC && m_bInSB == 0)
                pBytes[nData++] = by;  // IAC IAC: one data byte 255
            else if (by == TELNET_IAC)
                CollectSub(by);  // an escaped 255 inside a subnegotiation
            // Anything else (NOP, GA) is dropped.
        }
        else if (m_byCommand != 0)
        {
            OnCommand(m_byCommand, by);
            m_byCommand = 0;
        }
        else if (by == TELNET_IAC)
        {
            m_bIAC = 1;
        }
        else if (m_bInSB == 0)
        {
            pBytes[nData++] = by;
        }
        else
        {
            CollectSub(by);
        }
    }
    nCount = nData;
}

void CTelnetCtrl::OnCommand(int nCommand, int nOption)
{
    if (m_fnCommandSeen)
        m_fnCommandSeen(nCommand, nOption);
    if (nOption < 0 || nOption >= TELNET_OPTIONS)
        return;
    unsigned char* pSent = m_bySent[nOption];
    int* pToSend = m_nToSend[nOption];
    const int bSupported = IsSupported(nOption);
    const bool bAnswers = ((nCommand == TELNET_WILL || nCommand == TELNET_WONT) &&
                           (pSent[SLOT_DO] != 0 || pSent[SLOT_DONT] != 0)) ||
                          ((nCommand == TELNET_DO || nCommand == TELNET_DONT) &&
                           (pSent[SLOT_WILL] != 0 || pSent[SLOT_WONT] != 0));
    if (bAnswers)
        m_bHeardAnswer = true;
    if (nOption == TELOPT_COM_PORT && m_comPort != EComPort::Off)
    {
        // A client's offer is answered by the server's DO, a server's
        // offer (or its request) by the client's WILL: either side's
        // positive answer or offer agrees, a refusal refuses.
        if (nCommand == (m_nRole == 1 ? TELNET_WILL : TELNET_DO))
            OnComPortAnswer(true);
        else if (nCommand == (m_nRole == 1 ? TELNET_WONT : TELNET_DONT))
            OnComPortAnswer(false);
    }
    switch (nCommand)
    {
    case TELNET_WILL:
        if (pSent[SLOT_DO] == 1)
        {
            pSent[SLOT_DO] = 0;
            if (bSupported == 1)
                m_bySubPending[nOption] = 1;
        }
        else
        {
            pToSend[bSupported == 1 ? SLOT_DO : SLOT_DONT] = QUEUE_REPLY;
        }
        break;
    case TELNET_WONT:
        if (pSent[SLOT_DO] == 1)
            pSent[SLOT_DO] = 0;
        else if (pSent[SLOT_DONT] == 1)
            pSent[SLOT_DONT] = 0;
        else
            pToSend[SLOT_DONT] = QUEUE_REPLY;
        break;
    case TELNET_DO:
        if (pSent[SLOT_WILL] == 1)
        {
            pSent[SLOT_WILL] = 0;
            if (bSupported == 1)
                m_bySubPending[nOption] = 1;
        }
        else
        {
            pToSend[bSupported == 1 ? SLOT_WILL : SLOT_WONT] = QUEUE_REPLY;
        }
        break;
    case TELNET_DONT:
        if (pSent[SLOT_WILL] == 1)
            pSent[SLOT_WILL] = 0;
        else if (pSent[SLOT_WONT] == 1)
            pSent[SLOT_WONT] = 0;
        else
            pToSend[SLOT_WONT] = QUEUE_REPLY;
        break;
    default:
        break;
    }
}

int CTelnetCtrl::IsNegotiated() const
{
    for (int o = 0; o < TELNET_OPTIONS; ++o)
    {
        if (m_bySubPending[o] != 0)
            return 0;
        for (int s = 0; s < 4; ++s)
        {
            if (m_nToSend[o][s] != QUEUE_NONE || m_bySent[o][s] != 0)
                return 0;
        }
    }
    return 1;
}

void CTelnetCtrl::GiveUpUnanswered()
{
    memset(m_bySent, 0, sizeof(m_bySent));
    memset(m_bySubPending, 0, sizeof(m_bySubPending));
}

int CTelnetCtrl::EscapeIac(const unsigned char* pIn, int nIn, unsigned char* pOut, int nOutRoom, int* pnConsumed)
{
    int nWritten = 0;
    int k = 0;
    for (; k < nIn; ++k)
    {
        const int nNeed = pIn[k] == TELNET_IAC ? 2 : 1;
        if (nWritten + nNeed > nOutRoom)
            break;
        pOut[nWritten++] = pIn[k];
        if (nNeed == 2)
            pOut[nWritten++] = TELNET_IAC;
    }
    if (pnConsumed != nullptr)
        *pnConsumed = k;
    return nWritten;
}

void CTelnetCtrl::OnComPortAnswer(bool bYes)
{
    // The last word counts: a peer may change its mind.
    m_comPort = bYes ? EComPort::Agreed : EComPort::Refused;
}

int CTelnetCtrl::IsSupported(int nOption) const
{
    if (nOption == TELOPT_COM_PORT)
        return m_bComPortEnabled ? 1 : 0;
    switch (nOption)
    {
    case TELOPT_BINARY:
    case TELOPT_SGA:
    case TELOPT_TTYPE:
    case TELOPT_NAWS:
    case TELOPT_NEW_ENVIRON:
        return 1;
    default:
        return 0;
    }
}

int CTelnetCtrl::SubNegotiation(int nOption, unsigned char* pOut) const
{
    const int bServer = m_nRole == 1 ? 1 : 0;
    int n = 0;
    pOut[n++] = TELNET_IAC;
    pOut[n++] = TELNET_SB;
    pOut[n++] = static_cast<unsigned char>(nOption);
    switch (nOption)
    {
    case TELOPT_TTYPE:
        if (bServer == 1)
        {
            pOut[n++] = TELQUAL_SEND;
        }
        else
        {
            pOut[n++] = TELQUAL_IS;
            for (const char ch : {'A', 'N', 'S', 'I'})
                pOut[n++] = static_cast<unsigned char>(ch);
        }
        break;
    case TELOPT_NAWS:
        pOut[n++] = 0;
        pOut[n++] = NAWS_COLUMNS;
        pOut[n++] = 0;
        pOut[n++] = NAWS_ROWS;
        break;
    case TELOPT_NEW_ENVIRON:
        pOut[n++] = bServer == 1 ? TELQUAL_SEND : TELQUAL_IS;
        break;
    default:
        return 0;  // nothing to say for this option
    }
    pOut[n++] = TELNET_IAC;
    pOut[n++] = TELNET_SE;
    return n;
}

void CTelnetCtrl::SetLogin(const std::string& strUser, const std::string& strPassword)
{
    m_login.SetLogin(strUser, strPassword);
}

int CTelnetCtrl::PutBanner(CRing& tx)
{
    return CLoginCtrl::PutText(tx, reinterpret_cast<const unsigned char*>(TELNET_BANNER),
                               static_cast<int>(sizeof(TELNET_BANNER) - 1));
}

int CTelnetCtrl::PutLoginPrompt(CRing& tx)
{
    return m_login.PutLoginPrompt(tx);
}

int CTelnetCtrl::PutPasswordPrompt(CRing& tx)
{
    return m_login.PutPasswordPrompt(tx);
}

int CTelnetCtrl::PutIncorrect(CRing& tx)
{
    return m_login.PutIncorrect(tx);
}

int CTelnetCtrl::PutTimeout(CRing& tx)
{
    return m_login.PutTimeout(tx);
}

int CTelnetCtrl::ReadUser(CRing& rx)
{
    return m_login.ReadUser(rx);
}

int CTelnetCtrl::ReadPassword(CRing& rx)
{
    return m_login.ReadPassword(rx);
}
