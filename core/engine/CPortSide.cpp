#include "core/engine/CPortSide.h"

#include <algorithm>
#include <poll.h>

#include "core/bridge/COmbraPortAx.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CSocketCtrl.h"
#include "core/engine/CTelnetCtrl.h"
#include "core/model/CPortOwner.h"

long CPortSide::ReadPort(long nMost)
{
    if (!m_w.m_tx.IsAllocated())
        return 0;
    const int i = m_w.m_nPort;
    COmbraPortAx& port = m_w.Port();
    const int bTelnet = m_w.IsTelnet();
    if (bTelnet && m_w.m_state == EWorkerState::Data)
        m_w.m_telnet.PutNegotiation(m_w.m_tx);
    long n = port.BytesToRead();
    m_nPortPending = n;
    const uint32_t dwFlow = m_w.m_pDlg->m_line[i].m_dwFlowCtrl;
    if ((dwFlow & FLOW_CTS) && m_w.m_pDlg->m_line[i].m_bCtsRaised == 0 && n < CSocketCtrl::RELEASE_LEVEL)
    {
        port.SetCTS(1);
        m_w.m_pDlg->m_line[i].m_bCtsRaised = 1;
    }
    if ((dwFlow & FLOW_XIN) && m_w.m_pDlg->m_line[i].m_bXonSent == 0 && n < CSocketCtrl::RELEASE_LEVEL)
    {
        const unsigned char chXon = m_w.m_pDlg->m_line[i].m_chXon;
        if (port.WriteData(&chXon, 1) == 1)
            m_w.m_pDlg->m_line[i].m_bXonSent = 1;
    }
    if (n <= 0)
        return 0;
    // On a Telnet port every data byte 255 goes out doubled: read no more
    // than fits even if all of them are.
    const long nFree = bTelnet ? (m_w.m_tx.Space()) / 2 : m_w.m_tx.Space();
    n = std::min({n, nFree, nMost, static_cast<long>(CSocketCtrl::BLOCK_SIZE)});
    if (n < 1)
        return 0;
    unsigned char buf[CSocketCtrl::BLOCK_SIZE];
    const long nRead = port.ReadData(buf, n);
    if (nRead <= 0)
    {
        // Counted but not readable: leave it to the port's readiness.
        m_nPortPending = 0;
        return 0;
    }
    m_nPortPending -= nRead;
    int nData = static_cast<int>(nRead);
    if (dwFlow & FLOW_XOUT)
    {
        const unsigned char chXon = m_w.m_pDlg->m_line[i].m_chXon;
        const unsigned char chXoff = m_w.m_pDlg->m_line[i].m_chXoff;
        int nKept = 0;
        for (int k = 0; k < nData; ++k)
        {
            if (buf[k] == chXon)
                m_w.m_pDlg->m_line[i].m_bXonState = 1;
            else if (buf[k] == chXoff)
                m_w.m_pDlg->m_line[i].m_bXonState = 0;
            else
                buf[nKept++] = buf[k];
        }
        nData = nKept;
    }
    if (!bTelnet)
    {
        m_w.m_tx.Put(buf, nData);
        return nRead;
    }
    unsigned char escaped[2 * CSocketCtrl::BLOCK_SIZE];
    const int nEscaped = CTelnetCtrl::EscapeIac(buf, nData, escaped, sizeof(escaped), nullptr);
    m_w.m_tx.Put(escaped, nEscaped);
    return nRead;
}

void CPortSide::Deliver()
{
    if (!m_w.m_rx.IsAllocated() || m_w.m_rx.Count() == 0)
        return;
    unsigned char buf[CSocketCtrl::BLOCK_SIZE];
    const int n = m_w.m_rx.Peek(buf, CSocketCtrl::BLOCK_SIZE);
    const long nTaken = m_w.Port().WriteData(buf, n);
    if (nTaken > 0)
        m_w.m_rx.Consume(static_cast<int>(nTaken));
}

int CPortSide::ReceiveGated() const
{
    const int i = m_w.m_nPort;
    const uint32_t dwFlow = m_w.m_pDlg->m_line[i].m_dwFlowCtrl;
    return ((dwFlow & FLOW_RTS) && m_w.m_pDlg->m_line[i].m_bRtsLine == 0) ||
           ((dwFlow & FLOW_DTR) && m_w.m_pDlg->m_line[i].m_bDtrLine == 0) ||
           ((dwFlow & FLOW_XOUT) && m_w.m_pDlg->m_line[i].m_bXonState == 0);
}

void CPortSide::NoteHangUp()
{
    // The wait before this cycle saw the application hang up: whatever the
    // port holds from now on may be the next one's, so it is not read until
    // the close is handled. Opened again already: the reads go on, and so
    // will the session.
    if (!m_bAppGone && m_nPtySeen == CSocketCtrl::PTY_HUNG && !m_w.IsServer())
    {
        NoteApplicationGone(1);
    }
}

int CPortSide::NoteApplicationGone(int bTellWatcher)
{
    // Counted between two looks that both find the port closed, so that no
    // byte of a next application can be among them.
    COmbraPortAx& port = m_w.Port();
    if (port.IsSlaveOpen())
        return 0;
    const long nLeft = port.BytesToRead();
    if (port.IsSlaveOpen())
        return 0;
    m_nLeftInPort = nLeft;
    // From the worker: the watcher may have been too late to see this close.
    if (!m_bAppGone && bTellWatcher)
        port.ReportHangUp();
    m_bAppGone = 1;
    return 1;
}

void CPortSide::RefreshLine()
{
    const int bConnected = (m_w.m_state == EWorkerState::Data || m_w.m_state == EWorkerState::UdpData) ? 1 : 0;
    if (bConnected != m_w.m_pDlg->m_line[m_w.m_nPort].m_bLineOn)
    {
        m_w.Port().SetLinkSignalA(bConnected);
        m_w.Port().SetLinkSignalB(bConnected);
        m_w.m_pDlg->m_line[m_w.m_nPort].m_bLineOn = bConnected;
    }
}

bool CPortSide::WaitOnPty(CPollSet& wait, short nEvents)
{
    // The pty is watched only while an application holds it open: a hung-up
    // master reports ready forever.
    const int hPty = m_w.Port().GetPollHandle();
    if (hPty < 0)
        return false;
    // The last wait tells, when the pty was in it; else ask.
    const int bOpen =
        m_nPtySeen == CSocketCtrl::PTY_UNKNOWN ? m_w.Port().IsSlaveOpen() : m_nPtySeen == CSocketCtrl::PTY_OPEN;
    if (!bOpen)
        return false;
    wait.Add(hPty, nEvents);
    return true;
}
