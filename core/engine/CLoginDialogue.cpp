#include "core/engine/CLoginDialogue.h"

#include "core/engine/CPollSet.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/PortStatus.h"

void CLoginDialogue::StartDialogue(int bPostConnected)
{
    const int nType = m_w.m_pDlg->m_comData.GetConnectType(m_w.m_nPort);
    if (bPostConnected || nType == CONNECT_RAW)
        m_w.Post(STATUS_CONNECTED);
    if (nType == CONNECT_TELNET)
    {
        m_w.m_telnet.Init(1);
        m_w.m_telnet.SetLogin(m_w.m_pDlg->m_options.m_strUser, m_w.m_pDlg->m_options.m_strPassword);
        m_w.Post(STATUS_LOGIN_PROCESS);
        m_nTelnetStep = 0;
        m_tLogin = CSocketCtrl::Now() + m_w.m_pDlg->m_options.m_nLoginTimeout;
        m_w.SetState(EWorkerState::TelnetLogin);
    }
    else if (nType == CONNECT_SECURE)
    {
        m_login.Reset();
        m_login.SetLogin(m_w.m_pDlg->m_options.m_strUser, m_w.m_pDlg->m_options.m_strPassword);
        m_w.Post(STATUS_LOGIN_PROCESS);
        m_nLoginStep = 1;
        m_w.SetState(EWorkerState::Login);
    }
    else
    {
        m_w.SetState(EWorkerState::Data);
    }
}

void CLoginDialogue::GiveUpLogin(std::string strReason)
{
    m_w.NoteReason(std::move(strReason));
    // The last text still reaches the peer: drain, close, listen again.
    m_w.m_tDrain = CSocketCtrl::Now() + CSocketCtrl::DRAIN_SECONDS;
    m_w.SetState(EWorkerState::Drain);
}

void CLoginDialogue::RunLoginStep(int& nStep, int bTelnet)
{
    CLoginCtrl& login = bTelnet ? m_w.m_telnet.m_login : m_login;
    const int64_t tNow = CSocketCtrl::Now();
    switch (nStep)
    {
    case 1:
    {
        const int bBanner = bTelnet ? m_w.m_telnet.PutBanner(m_w.m_tx) : login.PutBanner(m_w.m_tx);
        if (!bBanner)
            break;
        if (login.PutLoginPrompt(m_w.m_tx))
        {
            m_tLogin = tNow + m_w.m_pDlg->m_options.m_nLoginTimeout;
            nStep = 3;
        }
        else
        {
            nStep = 2;
        }
        break;
    }
    case 2:
        if (login.PutLoginPrompt(m_w.m_tx))
        {
            m_tLogin = tNow + m_w.m_pDlg->m_options.m_nLoginTimeout;
            nStep = 3;
        }
        break;
    case 3:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_w.m_rx.Count() > 0)
        {
            const int bDone = login.ReadUser(m_w.m_rx);
            m_tLogin = tNow + m_w.m_pDlg->m_options.m_nLoginTimeout;
            if (bDone)
                nStep = 4;
        }
        break;
    case 4:
        if (login.PutPasswordPrompt(m_w.m_tx))
            nStep = 5;
        break;
    case 5:
        if (tNow > m_tLogin)
        {
            nStep = 7;
            break;
        }
        if (m_w.m_rx.Count() > 0)
        {
            const int nResult = login.ReadPassword(m_w.m_rx);
            m_tLogin = tNow + m_w.m_pDlg->m_options.m_nLoginTimeout;
            if (nResult == 1)
            {
                m_w.Post(STATUS_CONNECTED);
                m_w.SetState(EWorkerState::Data);
            }
            else if (nResult == 2)
            {
                nStep = 6;
            }
        }
        break;
    case 6:
        if (login.PutIncorrect(m_w.m_tx))
        {
            if (login.m_nTries < static_cast<uint32_t>(m_w.m_pDlg->m_options.m_nLoginChallenge))
                nStep = 2;
            else
                GiveUpLogin("login incorrect (" + std::to_string(login.m_nTries) + " attempts)");
        }
        break;
    case 7:
        if (login.PutTimeout(m_w.m_tx))
            GiveUpLogin("login timeout: " + std::to_string(m_w.m_pDlg->m_options.m_nLoginTimeout) + " s of silence");
        break;
    default: break;
    }
}

void CLoginDialogue::DoLogin()
{
    if (!m_w.PeerCheck())
        return;
    // The application sees nothing of the dialogue.
    m_w.ReceiveTcp();
    m_w.SendTcp();
    RunLoginStep(m_nLoginStep, 0);
}

void CLoginDialogue::DoTelnetLogin()
{
    if (!m_w.PeerCheck())
        return;
    m_w.m_telnet.PutNegotiation(m_w.m_tx);
    const int nReceived = m_w.ReceiveTcp();
    m_w.SendTcp();
    if (m_nTelnetStep == 0)
    {
        // Until the peer has answered every request, Login Timeout is the
        // longest silence allowed, as later in the login: an idle
        // connection would otherwise hold the port, which serves one peer
        // at a time, for good.
        if (nReceived > 0)
            m_tLogin = CSocketCtrl::Now() + m_w.m_pDlg->m_options.m_nLoginTimeout;
        if (m_w.m_telnet.IsNegotiated())
        {
            m_nTelnetStep = 1;
            return;
        }
        if (CSocketCtrl::Now() <= m_tLogin)
            return;
        m_nTelnetStep = 7;
    }
    RunLoginStep(m_nTelnetStep, 1);
}

void CLoginDialogue::WaitLogin(CPollSet& wait)
{
    if (m_w.m_hSocket != CSocketCtrl::INVALID_SOCKET && m_w.m_tRxDrain == 0)
    {
        short nEvents = static_cast<short>(POLLRDHUP | (m_w.m_rx.Space() > 0 ? POLLIN : 0));
        if (m_w.m_tx.Count() > 0)
            nEvents |= POLLOUT;
        wait.Add(m_w.m_hSocket, nEvents);
    }
    wait.Cap(CSocketCtrl::CYCLE_MS);  // the login timeout, prompts waiting for room
}
