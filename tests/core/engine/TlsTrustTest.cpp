// SPDX-License-Identifier: Apache-2.0
#include "core/engine/TlsTrust.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/engine/TlsClient.h"
#include "core/model/COptionSet.h"
#include "core/model/CPortEntry.h"
#include "tests/TestSupport.h"
#include "tests/core/engine/TestPki.h"

using namespace testsupport;

namespace
{

// A client session made as the port makes it, against a server session of
// the test, both over one socket pair and driven in turn on this thread.
class TlsTrustTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_ca = MakeIdentity("Nimbrel Test CA", "", nullptr, -1, 30, true);
        ASSERT_TRUE(WriteCert(m_ca.cert.get(), m_dir.File("ca.pem")));
    }

    struct SOutcome
    {
        bool bClientDone = false;   // the client's handshake completed
        bool bServerDone = false;   // the server's too
        bool bTrusted = false;      // and TlsCheckPeer took the peer
        std::string strReason;      // the client's reason
        std::string strServerReason;
        std::string strFingerprint;  // of the certificate the client saw
        std::string strServerName;   // SNI as the server got it
    };

    // nullptr strClientCa: the server asks for no client certificate.
    SOutcome Handshake(const SIdentity& server, const STlsClientTrust& trust, const char* pszClientCa = nullptr)
    {
        SOutcome out;
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(pCtx, server.cert.get());
        SSL_CTX_use_PrivateKey(pCtx, server.key.get());
        if (pszClientCa != nullptr)
        {
            EXPECT_TRUE(TlsRequireClientCertificate(pCtx, pszClientCa, &out.strServerReason));
        }
        SSL* pServer = SSL_new(pCtx);
        SSL_CTX_free(pCtx);
        SSL_set_fd(pServer, fds[1]);
        SSL_set_accept_state(pServer);
        SSL* pClient = NewTlsClientSession(0, fds[0], &trust, &out.strReason);
        EXPECT_NE(pClient, nullptr) << out.strReason;
        bool bClientFailed = pClient == nullptr;
        bool bServerFailed = false;
        for (int n = 0; n < 200 && !(bServerFailed && (out.bClientDone || bClientFailed)) &&
                        !(out.bClientDone && out.bServerDone) && !(bClientFailed && out.bServerDone);
             ++n)
        {
            if (!out.bClientDone && !bClientFailed)
            {
                const int nRet = SSL_connect(pClient);
                if (nRet == 1)
                    out.bClientDone = true;
                else if (SSL_get_error(pClient, nRet) != SSL_ERROR_WANT_READ &&
                         SSL_get_error(pClient, nRet) != SSL_ERROR_WANT_WRITE)
                    bClientFailed = true;
                ERR_clear_error();
            }
            if (!out.bServerDone && !bServerFailed)
            {
                const int nRet = SSL_accept(pServer);
                if (nRet == 1)
                    out.bServerDone = true;
                else if (SSL_get_error(pServer, nRet) != SSL_ERROR_WANT_READ &&
                         SSL_get_error(pServer, nRet) != SSL_ERROR_WANT_WRITE)
                {
                    bServerFailed = true;
                    out.strServerReason = TlsClientCertificateFailure(pServer);
                }
                ERR_clear_error();
            }
        }
        // TLS 1.3 lets the server refuse a client certificate after the
        // client is done: a read shows it.
        if (out.bClientDone && bServerFailed)
            out.bServerDone = false;
        if (out.bClientDone)
        {
            out.bTrusted = TlsCheckPeer(pClient, trust, &out.strReason) || (!trust.ChecksPeer() && out.strReason.empty());
            out.strFingerprint = TlsPeerFingerprint(pClient);
        }
        const char* pszName = SSL_get_servername(pServer, TLSEXT_NAMETYPE_host_name);
        out.strServerName = pszName != nullptr ? pszName : "";
        SSL_free(pClient);
        SSL_free(pServer);
        close(fds[0]);
        close(fds[1]);
        return out;
    }

    STlsClientTrust Verifying(const std::string& strHost) const
    {
        STlsClientTrust trust;
        trust.bVerify = true;
        trust.strCaFile = m_dir.File("ca.pem");
        trust.strHost = strHost;
        return trust;
    }

    CTempDir m_dir;
    SIdentity m_ca;
};

}  // namespace

TEST_F(TlsTrustTest, CaSignedCertificateIsVerifiedByAddressAndByName)
{
    const SIdentity server = MakeIdentity("device", "IP:127.0.0.1,DNS:localhost", &m_ca);
    SOutcome byAddress = Handshake(server, Verifying("127.0.0.1"));
    EXPECT_TRUE(byAddress.bTrusted) << byAddress.strReason;
    EXPECT_EQ(byAddress.strServerName, "") << "no SNI for an address";

    SOutcome byName = Handshake(server, Verifying("localhost"));
    EXPECT_TRUE(byName.bTrusted) << byName.strReason;
    EXPECT_EQ(byName.strServerName, "localhost");
}

TEST_F(TlsTrustTest, RefusalsSayWhy)
{
    const SIdentity self = MakeIdentity("device", "IP:127.0.0.1", nullptr);
    const SIdentity expired = MakeIdentity("device", "IP:127.0.0.1", &m_ca, -10, -1);
    const SIdentity other = MakeIdentity("device", "DNS:other.example", &m_ca);
    struct SCase
    {
        const SIdentity* pServer;
        std::string strHost;
        std::string strReason;
    };
    const SCase cases[] = {
        {&self, "127.0.0.1", "certificate verify failed: self-signed certificate"},
        {&expired, "127.0.0.1", "certificate verify failed: certificate has expired"},
        {&other, "127.0.0.1", "certificate name mismatch: the certificate is not for 127.0.0.1"},
        {&other, "localhost", "certificate name mismatch: the certificate is not for localhost"},
    };
    for (const SCase& c : cases)
    {
        const SOutcome out = Handshake(*c.pServer, Verifying(c.strHost));
        EXPECT_TRUE(out.bClientDone) << "judged after the handshake";
        EXPECT_FALSE(out.bTrusted) << c.strReason;
        EXPECT_EQ(out.strReason, c.strReason);
    }
}

TEST_F(TlsTrustTest, ThePinDecidesAlone)
{
    const SIdentity self = MakeIdentity("device", "", nullptr);
    STlsClientTrust trust = Verifying("127.0.0.1");
    // The fingerprint as a first connection shows it.
    const std::string strPin = Handshake(self, STlsClientTrust()).strFingerprint;
    ASSERT_EQ(strPin.size(), 95u);
    trust.strPin = strPin;
    SOutcome out = Handshake(self, trust);
    EXPECT_TRUE(out.bTrusted) << "pinned, the self-signed chain and missing name do not count: " << out.strReason;

    const SIdentity signedOne = MakeIdentity("device", "IP:127.0.0.1", &m_ca);
    out = Handshake(signedOne, trust);
    EXPECT_FALSE(out.bTrusted) << "a valid chain does not overrule the pin";
    EXPECT_EQ(out.strReason, "certificate pin mismatch: got " + out.strFingerprint);
    EXPECT_NE(out.strFingerprint, strPin);
}

TEST_F(TlsTrustTest, WithoutVerificationOrPinAnyCertificateIsTaken)
{
    const SIdentity expired = MakeIdentity("x", "DNS:other.example", nullptr, -10, -1);
    STlsClientTrust trust;
    trust.strHost = "127.0.0.1";
    const SOutcome out = Handshake(expired, trust);
    EXPECT_TRUE(out.bTrusted);
    EXPECT_EQ(out.strReason, "");
    EXPECT_EQ(out.strServerName, "") << "no SNI where none was sent before";
}

TEST_F(TlsTrustTest, FingerprintIsTheOneOpensslPrints)
{
    const SIdentity id = MakeIdentity("device", "", nullptr);
    ASSERT_TRUE(WriteCert(id.cert.get(), m_dir.File("c.pem")));
    FILE* pPipe = popen(("openssl x509 -noout -fingerprint -sha256 -in " + m_dir.File("c.pem")).c_str(), "r");
    ASSERT_NE(pPipe, nullptr);
    char szLine[256] = {};
    ASSERT_NE(fgets(szLine, sizeof(szLine), pPipe), nullptr);
    pclose(pPipe);
    std::string strLine = szLine;
    strLine.erase(strLine.find_last_not_of("\r\n") + 1);
    const std::string strFingerprint = TlsFingerprint(id.cert.get());
    // "sha256 Fingerprint=..." (the prefix's case varies by version).
    ASSERT_NE(strLine.find('='), std::string::npos);
    EXPECT_EQ(strLine.substr(strLine.find('=') + 1), strFingerprint);
    std::string strParsed;
    ASSERT_TRUE(CPortEntry::ParsePin(strLine, &strParsed)) << "the command's line pasted whole";
    EXPECT_EQ(strParsed, strFingerprint);
}

TEST_F(TlsTrustTest, ServerRequiresAClientCertificateOfItsCa)
{
    const SIdentity server = MakeIdentity("device", "IP:127.0.0.1", &m_ca);
    const SIdentity client = MakeIdentity("client", "", &m_ca);
    const SIdentity stranger = MakeIdentity("stranger", "", nullptr);
    ASSERT_TRUE(WriteCert(client.cert.get(), m_dir.File("client.pem")));
    ASSERT_TRUE(WriteKey(client.key.get(), m_dir.File("client.key")));
    ASSERT_TRUE(WriteCert(stranger.cert.get(), m_dir.File("stranger.pem")));
    ASSERT_TRUE(WriteKey(stranger.key.get(), m_dir.File("stranger.key")));
    const std::string strCa = m_dir.File("ca.pem");

    SOutcome out = Handshake(server, STlsClientTrust(), strCa.c_str());
    EXPECT_FALSE(out.bServerDone);
    EXPECT_EQ(out.strServerReason, "client certificate required: the peer sent none");

    STlsClientTrust trust;
    trust.ownFiles = {m_dir.File("stranger.pem"), m_dir.File("stranger.key")};
    out = Handshake(server, trust, strCa.c_str());
    EXPECT_FALSE(out.bServerDone);
    EXPECT_EQ(out.strServerReason, "client certificate refused: self-signed certificate");

    trust.ownFiles = {m_dir.File("client.pem"), m_dir.File("client.key")};
    out = Handshake(server, trust, strCa.c_str());
    EXPECT_TRUE(out.bServerDone) << out.strServerReason;
    EXPECT_TRUE(out.bClientDone);
}

TEST_F(TlsTrustTest, UnusableFilesAreNamed)
{
    STlsClientTrust trust = Verifying("127.0.0.1");
    trust.strCaFile = m_dir.File("missing.pem");
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string strReason;
    EXPECT_EQ(NewTlsClientSession(0, fds[0], &trust, &strReason), nullptr);
    EXPECT_EQ(strReason, m_dir.File("missing.pem") + ": No such file or directory");

    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    EXPECT_FALSE(TlsRequireClientCertificate(pCtx, m_dir.File("missing.pem"), &strReason));
    EXPECT_EQ(SSL_CTX_get_verify_mode(pCtx), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT)
        << "an unusable CA file still refuses every peer";
    SSL_CTX_free(pCtx);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(TlsTrustTest, PrivateKeyReadableByOthersIsRefused)
{
    const SIdentity id = MakeIdentity("device", "", nullptr);
    const std::string strCert = m_dir.File("public.key");
    const std::string strKey = m_dir.File("private.key");
    ASSERT_TRUE(WriteCert(id.cert.get(), strCert));
    for (mode_t nMode : {0644, 0640, 0604})
    {
        ASSERT_TRUE(WriteKey(id.key.get(), strKey, nMode));
        std::string strReason;
        SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
        EXPECT_FALSE(TlsUseKeyFiles(pCtx, {strCert, strKey}, &strReason));
        char szMode[8];
        std::snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(nMode));
        EXPECT_EQ(strReason, "private key " + strKey + " is readable by others (mode " + szMode + "); chmod 600 it");
        SSL_CTX_free(pCtx);
    }
    ASSERT_TRUE(WriteKey(id.key.get(), strKey, 0600));
    std::string strReason;
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    EXPECT_TRUE(TlsUseKeyFiles(pCtx, {strCert, strKey}, &strReason)) << strReason;
    SSL_CTX_free(pCtx);

    // A key that is not the certificate's.
    const SIdentity other = MakeIdentity("other", "", nullptr);
    ASSERT_TRUE(WriteKey(other.key.get(), strKey, 0600));
    pCtx = SSL_CTX_new(TLS_server_method());
    EXPECT_FALSE(TlsUseKeyFiles(pCtx, {strCert, strKey}, &strReason));
    EXPECT_EQ(strReason, strKey + ": not the key of the certificate " + strCert);
    SSL_CTX_free(pCtx);
}

TEST_F(TlsTrustTest, KeyFilesAreFoundWithTheSettingsThenBesideTheProgram)
{
    COptionSet options;
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strCertificate, "/usr/bin/public.key");
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strPrivateKey, "/usr/bin/private.key");
    options.m_strSettingsDir = m_dir.Path();
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strCertificate, "/usr/bin/public.key")
        << "no certificate with the settings yet";
    ASSERT_TRUE(WriteCert(m_ca.cert.get(), m_dir.File("public.key")));
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strCertificate, m_dir.File("public.key"));
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strPrivateKey, m_dir.File("private.key"));
    options.m_strTlsCertificate = "/etc/nimbrel/cert.pem";
    options.m_strTlsPrivateKey = "/etc/nimbrel/key.pem";
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strCertificate, "/etc/nimbrel/cert.pem");
    EXPECT_EQ(TlsKeyFilesOf(options, "/usr/bin/").strPrivateKey, "/etc/nimbrel/key.pem");

    // A client offers its own certificate only when one is set.
    CPortEntry entry;
    EXPECT_TRUE(TlsClientTrustOf(entry, COptionSet()).ownFiles.strCertificate.empty());
    EXPECT_EQ(TlsClientTrustOf(entry, options).ownFiles.strCertificate, "/etc/nimbrel/cert.pem");
}
