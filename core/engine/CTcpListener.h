#pragma once


class CPollSet;
class CSocketCtrl;

// The TCP server's side of a worker: listening, and taking one peer at a
// time. Owned by its worker (CSocketCtrl), used on the worker's thread with
// its lock held (GetHandle from tests, under the lock too).
class CTcpListener
{
public:
    explicit CTcpListener(CSocketCtrl& w) : m_w(w) {}

    void DoListen();
    void DoAccept();
    void OnAccepted();
    void WaitListen(CPollSet& wait);
    void WaitAccept(CPollSet& wait);

    int GetHandle() const { return m_hListen; }
    void Close();

private:
    CSocketCtrl& m_w;
    int m_hListen = -1;
};
