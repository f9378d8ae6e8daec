#pragma once


class CPollSet;
class CSocketCtrl;

// The application's side of a worker: reading what it wrote, delivering
// to it, the flow control towards it, and noticing when it leaves. Owned by
// its worker (CSocketCtrl), used on the worker's thread with its lock held.
class CPortSide
{
public:
    explicit CPortSide(CSocketCtrl& w) : m_w(w) {}

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

    bool IsAppGone() const { return m_bAppGone != 0; }

private:
    friend class CSocketCtrl;

    CSocketCtrl& m_w;
    // What the last wait saw of the pty: open or hung up (or not in the wait).
    int m_nPtySeen = 0;
    // Counts the sessions kept across a reopen: a wait that began before
    // one may have seen the hang-up of the application that left.
    unsigned m_nKeptSessions = 0;
    // A client or UDP port's application was seen closing: until its close
    // is handled, what the port holds may already be the next one's.
    int m_bAppGone = 0;
    // What the port held when its application was seen gone, counted while
    // nobody had it open: the close's drain takes that much in any case.
    long m_nLeftInPort = 0;
    // Bytes the port still held after the last read of it: a pty does not
    // report ready for what the port object has already taken in.
    long m_nPortPending = 0;
};
