// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CPortSide.h"

#include <algorithm>
#include <poll.h>

#include "core/engine/CConnection.h"
#include "core/engine/CPollSet.h"
#include "core/engine/CTelnetCtrl.h"
#include "core/model/CLineState.h"

long CPortSide::ReadPort(long nMost)
{
    if (!m_conn.m_tx.IsAllocated())
        return 0;
    CWorkerPort& port = m_conn.Port();
    CLineState& line = m_conn.Line();
    const int bTelnet = m_conn.IsTelnet();
    if (bTelnet && m_conn.m_state == EWorkerState::Data)
        m_conn.m_telnet.PutNegotiation(m_conn.m_tx);
    // Nothing there at the last look and no input reported since: asking
    // the port again would only find nothing.
    long n = m_ePtyInput == CConnection::EInput::None && m_bPortReadEmpty ? 0 : port.BytesToRead();
    m_bPortReadEmpty = n <= 0;
    m_conn.m_nPortPending = n;
    const uint32_t dwFlow = line.m_dwFlowCtrl;
    if ((dwFlow & FLOW_CTS) && line.m_bCtsRaised == 0 && n < CConnection::RELEASE_LEVEL)
    {
        port.SetCTS(1);
        line.m_bCtsRaised = 1;
    }
    if ((dwFlow & FLOW_XIN) && line.m_bXonSent == 0 && n < CConnection::RELEASE_LEVEL)
    {
        const unsigned char chXon = line.m_chXon;
        if (port.WriteData(&chXon, 1) == 1)
        {
            line.m_bXonSent = 1;
            m_conn.CaptureEvent("XON sent to the application");
        }
    }
    if (n <= 0)
        return 0;
    // On a Telnet port every data byte 255 goes out doubled: read no more
    // than fits even if all of them are.
    const long nFree = bTelnet ? (m_conn.m_tx.Space()) / 2 : m_conn.m_tx.Space();
    n = std::min({n, nFree, nMost, static_cast<long>(CConnection::BLOCK_SIZE)});
    if (n < 1)
        return 0;
    // Plain data is read into the ring itself when the room lies in one
    // piece (the flow characters are taken out in place); Telnet's is
    // escaped on its way in.
    unsigned char bufCopy[CConnection::BLOCK_SIZE];
    unsigned char* buf = nullptr;
    const bool bInPlace = !bTelnet && m_conn.m_tx.WritableRun(&buf) >= n;
    if (!bInPlace)
        buf = bufCopy;
    const long nRead = port.ReadData(buf, n);
    if (nRead <= 0)
    {
        // Counted but not readable: leave it to the port's readiness.
        m_conn.m_nPortPending = 0;
        return 0;
    }
    m_conn.m_nPortPending -= nRead;
    int nData = static_cast<int>(nRead);
    if (dwFlow & FLOW_XOUT)
    {
        const unsigned char chXon = line.m_chXon;
        const unsigned char chXoff = line.m_chXoff;
        int nKept = 0;
        for (int k = 0; k < nData; ++k)
        {
            if (buf[k] == chXon || buf[k] == chXoff)
            {
                const int bOn = buf[k] == chXon ? 1 : 0;
                if (bOn != line.m_bXonState)
                    m_conn.CaptureEvent(bOn ? "XON: the application released the peer's data"
                                            : "XOFF: the application holds the peer's data");
                line.m_bXonState = bOn;
            }
            else
                buf[nKept++] = buf[k];
        }
        nData = nKept;
    }
    m_conn.Capture(ECapture::ToPeer, buf, nData);
    if (bInPlace)
    {
        m_conn.m_tx.Commit(nData);
        return nRead;
    }
    if (!bTelnet)
    {
        m_conn.m_tx.Put(buf, nData);
        return nRead;
    }
    unsigned char escaped[2 * CConnection::BLOCK_SIZE];
    const int nEscaped = CTelnetCtrl::EscapeIac(buf, nData, escaped, sizeof(escaped), nullptr);
    m_conn.m_tx.Put(escaped, nEscaped);
    return nRead;
}

void CPortSide::Deliver()
{
    if (!m_conn.m_rx.IsAllocated() || m_conn.m_rx.Count() == 0)
        return;
    // From the ring itself when the block lies in one piece, as in a send.
    unsigned char buf[CConnection::BLOCK_SIZE];
    const unsigned char* pBlock = nullptr;
    const int n = m_conn.m_rx.PeekBlock(&pBlock, buf, CConnection::BLOCK_SIZE);
    const long nTaken = m_conn.Port().WriteData(pBlock, n);
    if (nTaken > 0)
    {
        m_conn.Capture(ECapture::FromPeer, pBlock, static_cast<int>(nTaken));
        m_conn.m_rx.Consume(static_cast<int>(nTaken));
    }
}

int CPortSide::ReceiveGated() const
{
    const CLineState& line = m_conn.Line();
    const uint32_t dwFlow = line.m_dwFlowCtrl;
    return ((dwFlow & FLOW_RTS) && line.m_bRtsLine == 0) ||
           ((dwFlow & FLOW_DTR) && line.m_bDtrLine == 0) ||
           ((dwFlow & FLOW_XOUT) && line.m_bXonState == 0);
}

void CPortSide::NoteHangUp()
{
    // The wait before this cycle saw the application hang up: whatever the
    // port holds from now on may be the next one's, so it is not read until
    // the close is handled. Opened again already: the reads go on, and so
    // will the session.
    if (!m_bAppGone && m_nPtySeen == CConnection::PTY_HUNG && !m_conn.IsServer())
    {
        NoteApplicationGone(1);
    }
}

int CPortSide::NoteApplicationGone(int bTellWatcher)
{
    // Counted between two looks that both find the port closed, so that no
    // byte of a next application can be among them.
    CWorkerPort& port = m_conn.Port();
    if (port.IsSlaveOpen())
        return 0;
    const long nLeft = port.BytesQueued();
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
    const int bConnected = (m_conn.m_state == EWorkerState::Data || m_conn.m_state == EWorkerState::UdpData) ? 1 : 0;
    CLineState& line = m_conn.Line();
    if (bConnected != line.m_bLineOn)
    {
        m_conn.Port().SetLinkSignals(bConnected);
        line.m_bLineOn = bConnected;
    }
}

bool CPortSide::WaitOnPty(CPollSet& wait, short nEvents)
{
    // The pty is watched only while an application holds it open: a hung-up
    // master reports ready forever.
    const int hPty = m_conn.Port().GetPollHandle();
    if (hPty < 0)
        return false;
    // The last wait tells, when the pty was in it; else ask.
    const int bOpen =
        m_nPtySeen == CConnection::PTY_UNKNOWN ? m_conn.Port().IsSlaveOpen() : m_nPtySeen == CConnection::PTY_OPEN;
    if (!bOpen)
        return false;
    wait.Add(hPty, nEvents);
    return true;
}

void CPortSide::OnClose()
{
    // Unless counted while the port was surely closed, nothing in it is
    // known to be the leaving application's.
    if (!m_bAppGone && !NoteApplicationGone(0))
        m_nLeftInPort = 0;
    m_bAppGone = 0;
}

bool CPortSide::KeepSessionForReopen()
{
    if (m_bAppGone || NoteApplicationGone(0))
        return false;
    ++m_nKeptSessions;
    m_nPtySeen = CConnection::PTY_UNKNOWN;
    m_ePtyInput = CConnection::EInput::Unknown;
    return true;
}

void CPortSide::DrainPort()
{
    // The bytes counted at its close are surely its own; what was still on
    // its way through the pty then is taken only while no other application
    // has the port open, as from then on it may be that one's.
    if (m_nLeftInPort > 0)
        m_nLeftInPort -= ReadPort(m_nLeftInPort);
    else if (m_conn.Port().IsSlaveOpen() == 0)
        ReadPort(CConnection::BLOCK_SIZE);
}
