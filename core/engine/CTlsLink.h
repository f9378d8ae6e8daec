// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "core/engine/TlsTrust.h"

class CConnection;
class CLoginDialogue;
class CPollSet;

// TLS on a worker's connection: the client's handshake with its fallback
// ladder, and the server's accept with the key files, after which its peer
// goes on to the login. Owned by its worker (CSocketCtrl),
// used on the worker's thread with its lock held.
class CTlsLink
{
public:
    CTlsLink(CConnection& conn, CLoginDialogue& dialogue) : m_conn(conn), m_dialogue(dialogue) {}

    void DoTlsStart(int bReconnect);
    void DoTlsHandshake(int bReconnect);
    void StartTlsServer();
    void DoTlsAccept();
    // After a completed handshake or accept: rings, reports, next state.
    void OnSecured(int bServer, int bReconnect);
    void WaitHandshake(CPollSet& wait);

    // The ladder back to its first, best attempt.
    void ResetLadder()
    {
        m_nSSLTry = 0;
        m_bSSLRetry = 0;
    }
    // A connect of an older version's attempt is under way.
    bool IsFallingBack() const { return m_bSSLRetry == 1; }
    // Key files fixed here rather than found from the options (tests).
    void SetKeyFiles(const std::string& strPublicKey, const std::string& strPrivateKey)
    {
        m_strPublicKey = strPublicKey;
        m_strPrivateKey = strPrivateKey;
        m_bKeyFilesSet = true;
    }
    // Where the key files are looked for last (with a trailing slash).
    void SetProgramDirectory(const std::string& strDir) { m_strProgramDir = strDir; }
    // The files a server port's next accept loads.
    STlsKeyFiles KeyFiles() const;

private:
    CConnection& m_conn;
    CLoginDialogue& m_dialogue;
    int m_nSSLTry = 0;    // the ladder's attempt
    int m_bSSLRetry = 0;  // 1 from the first fallback on
    int64_t m_tHandshake = 0;
    std::string m_strPublicKey;
    std::string m_strPrivateKey;
    bool m_bKeyFilesSet = false;
    std::string m_strProgramDir;
    // What the client attempt under way checks once its handshake is done.
    STlsClientTrust m_trust;
};
