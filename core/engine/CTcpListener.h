// SPDX-License-Identifier: Apache-2.0
#pragma once

class CConnection;
class CLoginDialogue;
class CPollSet;
class CTlsLink;

// The TCP server's side of a worker: listening, and taking one peer at a
// time, who goes on to TLS or the login. Owned by its worker (CSocketCtrl),
// used on the worker's thread with its lock held (GetHandle from tests,
// under the lock too).
class CTcpListener
{
public:
    CTcpListener(CConnection& conn, CTlsLink& tls, CLoginDialogue& dialogue)
        : m_conn(conn), m_tls(tls), m_dialogue(dialogue)
    {
    }

    void DoListen();
    void DoAccept();
    void OnAccepted();
    void WaitListen(CPollSet& wait);
    void WaitAccept(CPollSet& wait);

    int GetHandle() const { return m_hListen; }
    void Close();

private:
    CConnection& m_conn;
    CTlsLink& m_tls;
    CLoginDialogue& m_dialogue;
    int m_hListen = -1;
};
