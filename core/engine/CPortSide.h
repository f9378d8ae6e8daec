// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "core/engine/CConnection.h"

class CPollSet;

// The application's side of a worker: reading what it wrote, delivering
// to it, the flow control towards it, and noticing when it leaves. Owned by
// its worker (CSocketCtrl), used on the worker's thread with its lock held.
class CPortSide
{
public:
    explicit CPortSide(CConnection& conn) : m_conn(conn) {}

    // Reads at most nMost bytes of what the application wrote; returns how
    // many were taken from the port.
    long ReadPort(long nMost);
    void Deliver();
    int ReceiveGated() const;
    void NoteHangUp();
    int NoteApplicationGone(int bTellWatcher);
    void RefreshLine();
    // Adds the pty while an application holds it open; false when not.
    bool WaitOnPty(CPollSet& wait, short nEvents);

    // An application opened the port.
    void OnOpen()
    {
        m_bAppGone = 0;
        m_ePtyInput = CConnection::EInput::Unknown;
    }
    // Its close is being handled: what it left in the port is counted.
    void OnClose();
    // A close and reopen went by unseen: the session goes on for the new
    // application (see CSocketCtrl::KeepSessionForReopen); false when the
    // port is closed or its application was already seen leaving.
    bool KeepSessionForReopen();
    // One cycle of a close's drain: what the leaving application wrote.
    void DrainPort();

    bool IsAppGone() const { return m_bAppGone != 0; }
    long GetLeftInPort() const { return m_nLeftInPort; }
    unsigned GetKeptSessions() const { return m_nKeptSessions; }
    // What the last wait saw of the pty (CConnection::PTY_...).
    void SetPtySeen(int nSeen) { m_nPtySeen = nSeen; }
    // What the last wait said of the pty's input.
    void SetPtyInput(CConnection::EInput eInput) { m_ePtyInput = eInput; }

private:
    CConnection& m_conn;
    // What the last wait saw of the pty: open or hung up (or not in the wait).
    int m_nPtySeen = 0;
    // What the last wait said of the pty's input, and whether the last look
    // at the port found nothing: after an empty look the port is read again
    // only once a wait reports input.
    CConnection::EInput m_ePtyInput = CConnection::EInput::Unknown;
    bool m_bPortReadEmpty = false;
    // Counts the sessions kept across a reopen: a wait that began before
    // one may have seen the hang-up of the application that left.
    unsigned m_nKeptSessions = 0;
    // A client or UDP port's application was seen closing: until its close
    // is handled, what the port holds may already be the next one's.
    int m_bAppGone = 0;
    // What the port held when its application was seen gone, counted while
    // nobody had it open: the close's drain takes that much in any case.
    long m_nLeftInPort = 0;
};
