// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CLoginDialogue.h"

#include "core/engine/CConnection.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CTcpStream.h"
#include "core/model/COptionSet.h"
#include "core/model/PortStatus.h"

void CLoginDialogue::StartDialogue(int bPostConnected)
{
    const int nType = m_conn.Entry().m_nConnectType;
    if (bPostConnected || nType == CONNECT_RAW)
        m_conn.Post(STATUS_CONNECTED);
    if (nType == CONNECT_TELNET)
    {
        m_conn.StartTelnet(1);
        m_conn.m_telnet.SetLogin(m_conn.Options().m_strUser, m_conn.Options().m_strPassword);
        m_conn.Post(STATUS_LOGIN_PROCESS);
        m_nTelnetStep = 0;
        m_tLogin = CConnection::Now() + m_conn.Options().m_nLoginTimeout;
        m_tHeard = CConnection::Now();
        m_conn.SetState(EWorkerState::TelnetLogin);
    }
    else if (nType == CONNECT_SECURE)
    {
        m_login.Reset();
        m_login.SetLogin(m_conn.Options().m_strUser, m_conn.Options().m_strPassword);
        m_conn.Post(STATUS_LOGIN_PROCESS);
        m_nLoginStep = 1;
        m_conn.SetState(EWorkerState::Login);
    }
    else
    {
        m_conn.SetState(EWorkerState::Data);
    }
}

void CLoginDialogue::GiveUpLogin(std::string strReason)
{
    m_conn.CaptureEventOf([&] { return "Login given up: " + strReason; });
    m_conn.NoteReason(std::move(strReason));
    // The last text still reaches the peer: drain, close, listen again.
    m_conn.m_tDrain = CConnection::Now() + CConnection::DRAIN_SECONDS;
    m_conn.SetState(EWorkerState::Drain);
}

void CLoginDialogue::RunLoginStep(int& nStep, int bTelnet)
{
    CLoginCtrl& login = bTelnet ? m_conn.m_telnet.m_login : m_login;
    const int64_t tNow = CConnection::Now();
    switch (nStep)
    {
    case 1:
    {
        const int bBanner = bTelnet ? m_conn.m_telnet.PutBanner(m_conn.m_tx) : login.PutBanner(m_conn.m_tx);
        if (!bBanner)
            break;
        if (login.PutLoginPrompt(m_conn.m_tx))
        {
            m_tLogin = tNow + m_conn.Options().m_nLoginTimeout;
            nStep = 3;
        }
        else
        {
            nStep = 2;
        }
        break;
    }
    case 2:
        if (login.PutLoginPrompt(m_conn.m_tx))
        {
            m_tLogin = tNow + m_conn.Options().m_nLoginTimeout;
            nStep = 3;
        }
        break;
    case 3:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_conn.m_rx.Count() > 0)
        {
            const int bDone = login.ReadUser(m_conn.m_rx);
            m_tLogin = tNow + m_conn.Options().m_nLoginTimeout;
            if (bDone)
            {
                m_conn.CaptureEvent("Login: user name received");
                nStep = 4;
            }
        }
        break;
    case 4:
        if (login.PutPasswordPrompt(m_conn.m_tx))
            nStep = 5;
        break;
    case 5:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_conn.m_rx.Count() > 0)
        {
            const int nResult = login.ReadPassword(m_conn.m_rx);
            m_tLogin = tNow + m_conn.Options().m_nLoginTimeout;
            if (nResult == 1)
            {
                m_conn.CaptureEvent("Login: accepted");
                m_conn.Post(STATUS_CONNECTED);
                m_conn.SetState(EWorkerState::Data);
            }
            else if (nResult == 2)
            {
                m_conn.CaptureEvent("Login: incorrect");
                nStep = 6;
            }
        }
        break;
    case 6:
        if (login.PutIncorrect(m_conn.m_tx))
        {
            if (login.m_nTries < static_cast<uint32_t>(m_conn.Options().m_nLoginChallenge))
                nStep = 2;
            else
                GiveUpLogin("login incorrect (" + std::to_string(login.m_nTries) + " attempts)");
        }
        break;
    case 7:
        if (login.PutTimeout(m_conn.m_tx))
            GiveUpLogin("login timeout: " + std::to_string(m_conn.Options().m_nLoginTimeout) + " s of silence");
        break;
    default: break;
    }
}

void CLoginDialogue::DoLogin()
{
    if (!m_stream.PeerCheck())
        return;
    // The application sees nothing of the dialogue.
    m_stream.ReceiveTcp();
    m_stream.SendTcp();
    RunLoginStep(m_nLoginStep, 0);
}

void CLoginDialogue::DoTelnetLogin()
{
    if (!m_stream.PeerCheck())
        return;
    m_conn.m_telnet.PutNegotiation(m_conn.m_tx);
    const int nReceived = m_stream.ReceiveTcp();
    // A client may set the port before it logs in.
    m_stream.ServiceComPort();
    m_stream.SendTcp();
    if (m_nTelnetStep == 0)
    {
        // Until the peer has answered every request, Login Timeout is the
        // longest silence allowed, as later in the login: an idle
        // connection would otherwise hold the port, which serves one peer
        // at a time, for good.
        const int64_t tNow = CConnection::Now();
        if (nReceived > 0)
        {
            m_tLogin = tNow + m_conn.Options().m_nLoginTimeout;
            m_tHeard = tNow;
        }
        // Requests may cross: a client that sent its own request for an
        // option and takes this side's request for the answer never
        // answers it (pyserial does so when the server is quick). A peer
        // that answered others and then went quiet has said all it will:
        // the rest count as refused and the login goes on.
        if (!m_conn.m_telnet.IsNegotiated() && m_conn.m_telnet.HeardAnswer() &&
            tNow >= m_tHeard + NEGOTIATION_QUIET_SECONDS)
        {
            m_conn.CaptureEvent("Telnet: requests left unanswered taken as refused");
            m_conn.m_telnet.GiveUpUnanswered();
        }
        if (m_conn.m_telnet.IsNegotiated())
        {
            m_conn.CaptureEvent("Telnet: negotiation done");
            m_nTelnetStep = 1;
            return;
        }
        if (tNow <= m_tLogin)
            return;
        m_nTelnetStep = 7;
    }
    RunLoginStep(m_nTelnetStep, 1);
}

void CLoginDialogue::WaitLogin(CPollSet& wait)
{
    if (m_conn.m_hSocket != CConnection::INVALID_SOCKET && m_conn.m_tRxDrain == 0)
    {
        short nEvents = static_cast<short>(POLLRDHUP | (m_conn.m_rx.Space() > 0 ? POLLIN : 0));
        if (m_conn.m_tx.Count() > 0)
            nEvents |= POLLOUT;
        wait.Add(m_conn.m_hSocket, nEvents);
    }
    wait.Cap(CConnection::CYCLE_MS);  // the login timeout, prompts waiting for room
}
