// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
struct x509_st;
class COptionSet;
class CPortEntry;

// What a TLS port trusts and which files it shows, shared by the workers and
// the connection test so that a test checks exactly what the port will.

// The certificate and private key a port uses (PEM paths).
struct STlsKeyFiles
{
    std::string strCertificate;
    std::string strPrivateKey;
};

// What a client port checks and offers. Nothing set: anything is accepted
// and nothing is offered, as before these checks existed.
struct STlsClientTrust
{
    bool bVerify = false;        // chain against strCaFile, and the name
    std::string strPin;          // CPortEntry::ParsePin's form; decides alone
    std::string strCaFile;       // empty: the system's store
    std::string strHost;         // the peer as IPAddress names it
    STlsKeyFiles ownFiles;       // offered when asked; empty: none

    bool ChecksPeer() const { return bVerify || !strPin.empty(); }
};

// The directory of the running program, with a trailing slash; empty when
// it cannot be found (the bare names are then relative to the current one).
std::string TlsProgramDirectory();

// The key files of options: those set, else public.key and private.key in
// the settings file's directory when the certificate is there, else in
// strProgramDir.
STlsKeyFiles TlsKeyFilesOf(const COptionSet& options, const std::string& strProgramDir);

// A client port's trust from its entry and the options.
STlsClientTrust TlsClientTrustOf(const CPortEntry& entry, const COptionSet& options);

// false with a reason when the private key at strFile may be read by group
// or others (as OpenSSH refuses such a key); true when it is the owner's
// alone or cannot be examined (its loading then says why).
bool TlsKeyModeIsPrivate(const std::string& strFile, std::string* pReason);

// Loads the certificate and key into ctx; false with the first reason.
bool TlsUseKeyFiles(struct ssl_ctx_st* pCtx, const STlsKeyFiles& files, std::string* pReason);

// A client context's part of trust: the CA store when verifying (the chain
// is verified during the handshake but judged only by TlsCheckPeer), and
// the own certificate. false with a reason when a file is unusable.
bool TlsSetUpClientContext(struct ssl_ctx_st* pCtx, const STlsClientTrust& trust, std::string* pReason);
// A client session's part: the name or address to match, SNI for names.
bool TlsSetUpClientSession(struct ssl_st* pSSL, const STlsClientTrust& trust, std::string* pReason);
// After the handshake: whether the peer is trusted. With a pin the pin
// decides; with verification the chain and the name. false with a reason
// ("certificate verify failed: self-signed certificate",
// "certificate pin mismatch: got AA:BB:...").
bool TlsCheckPeer(struct ssl_st* pSSL, const STlsClientTrust& trust, std::string* pReason);

// A server context that requires a client certificate signed by a CA of
// strCaFile. false with a reason when the file is unusable.
bool TlsRequireClientCertificate(struct ssl_ctx_st* pCtx, const std::string& strCaFile, std::string* pReason);
// Why a server handshake with a required client certificate failed, when
// the certificate was the cause; empty otherwise.
std::string TlsClientCertificateFailure(struct ssl_st* pSSL);

// The SHA-256 fingerprint of a certificate, as the pin holds it.
std::string TlsFingerprint(struct x509_st* pCert);
// The peer's certificate in lines: subject, issuer, expiry, fingerprint.
// Empty when the peer showed none.
std::vector<std::string> TlsDescribePeer(struct ssl_st* pSSL);
// The peer certificate's fingerprint; empty when none was shown.
std::string TlsPeerFingerprint(struct ssl_st* pSSL);
