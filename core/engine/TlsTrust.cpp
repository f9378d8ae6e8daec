// SPDX-License-Identifier: Apache-2.0
#include "core/engine/TlsTrust.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/engine/CErrorText.h"
#include "core/model/COptionSet.h"
#include "core/model/CPortEntry.h"

namespace
{

// An address literal as X509_VERIFY_PARAM_set1_ip_asc takes it (no
// brackets); empty for a host name.
std::string AddressLiteral(const std::string& strHost)
{
    std::string str = strHost;
    if (str.size() > 2 && str.front() == '[' && str.back() == ']')
        str = str.substr(1, str.size() - 2);
    unsigned char buf[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, str.c_str(), buf) == 1 || inet_pton(AF_INET6, str.c_str(), buf) == 1)
        return str;
    // inet_aton's short forms ("127.1") name an address too.
    struct in_addr addr;
    if (str.find_first_not_of("0123456789.") == std::string::npos && inet_aton(str.c_str(), &addr) != 0)
    {
        char sz[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, &addr, sz, sizeof(sz)) != nullptr ? std::string(sz) : std::string();
    }
    return std::string();
}

std::string BioText(BIO* pBio)
{
    char* pData = nullptr;
    const long n = BIO_get_mem_data(pBio, &pData);
    std::string str = n > 0 && pData != nullptr ? std::string(pData, static_cast<size_t>(n)) : std::string();
    BIO_free(pBio);
    return str;
}

std::string NameText(const X509_NAME* pName)
{
    BIO* pBio = BIO_new(BIO_s_mem());
    if (pBio == nullptr)
        return std::string();
    X509_NAME_print_ex(pBio, pName, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    return BioText(pBio);
}

std::string TimeText(const ASN1_TIME* pTime)
{
    BIO* pBio = BIO_new(BIO_s_mem());
    if (pBio == nullptr)
        return std::string();
    ASN1_TIME_print(pBio, pTime);
    return BioText(pBio);
}

}  // namespace

std::string TlsProgramDirectory()
{
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n <= 0)
        return std::string();
    szExe[n] = '\0';
    std::string strDir = szExe;
    strDir.erase(strDir.rfind('/') + 1);
    return strDir;
}

STlsKeyFiles TlsKeyFilesOf(const COptionSet& options, const std::string& strProgramDir)
{
    // Both defaults from one place: a certificate from one directory and a
    // key from another would never match.
    std::string strDir = strProgramDir;
    if (!options.m_strSettingsDir.empty())
    {
        const std::string strSettings = options.m_strSettingsDir + "/";
        if (access((strSettings + "public.key").c_str(), F_OK) == 0)
            strDir = strSettings;
    }
    STlsKeyFiles files;
    files.strCertificate = !options.m_strTlsCertificate.empty() ? options.m_strTlsCertificate : strDir + "public.key";
    files.strPrivateKey = !options.m_strTlsPrivateKey.empty() ? options.m_strTlsPrivateKey : strDir + "private.key";
    return files;
}

STlsClientTrust TlsClientTrustOf(const CPortEntry& entry, const COptionSet& options)
{
    STlsClientTrust trust;
    trust.bVerify = entry.m_bTlsVerify;
    trust.strPin = entry.m_strTlsPin;
    trust.strCaFile = options.m_strTlsCaFile;
    trust.strHost = entry.m_strIPAddress;
    // A client offers a certificate only when one is configured: a port
    // that never was keeps showing none.
    if (!options.m_strTlsCertificate.empty())
        trust.ownFiles = TlsKeyFilesOf(options, std::string());
    return trust;
}

bool TlsKeyModeIsPrivate(const std::string& strFile, std::string* pReason)
{
    struct stat st;
    if (stat(strFile.c_str(), &st) != 0 || (st.st_mode & 077) == 0)
        return true;
    char szMode[8];
    std::snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (pReason != nullptr)
        *pReason = "private key " + strFile + " is readable by others (mode " + szMode + "); chmod 600 it";
    return false;
}

bool TlsUseKeyFiles(SSL_CTX* pCtx, const STlsKeyFiles& files, std::string* pReason)
{
    auto fail = [pReason](const std::string& strReason) {
        if (pReason != nullptr)
            *pReason = strReason;
        ERR_clear_error();
        return false;
    };
    for (const std::string* pFile : {&files.strCertificate, &files.strPrivateKey})
        if (access(pFile->c_str(), R_OK) != 0)
            return fail(CErrorText::Errno(*pFile, errno));
    std::string strReason;
    if (!TlsKeyModeIsPrivate(files.strPrivateKey, &strReason))
        return fail(strReason);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(pCtx, files.strCertificate.c_str()) != 1)
        return fail(files.strCertificate + ": not a PEM certificate");
    if (SSL_CTX_use_PrivateKey_file(pCtx, files.strPrivateKey.c_str(), SSL_FILETYPE_PEM) != 1)
    {
        // A key that reads but is another certificate's is the likelier slip.
        for (unsigned long nError; (nError = ERR_get_error()) != 0;)
            if (ERR_GET_LIB(nError) == ERR_LIB_X509 && (ERR_GET_REASON(nError) == X509_R_KEY_VALUES_MISMATCH ||
                                                         ERR_GET_REASON(nError) == X509_R_KEY_TYPE_MISMATCH))
                return fail(files.strPrivateKey + ": not the key of the certificate " + files.strCertificate);
        return fail(files.strPrivateKey + ": not a PEM private key");
    }
    if (SSL_CTX_check_private_key(pCtx) != 1)
        return fail(files.strPrivateKey + ": not the key of the certificate " + files.strCertificate);
    return true;
}

bool TlsSetUpClientContext(SSL_CTX* pCtx, const STlsClientTrust& trust, std::string* pReason)
{
    // The chain is verified in the handshake but judged after it, so that
    // a pin can overrule it and every failure gets the same kind of reason.
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_NONE, nullptr);
    if (trust.bVerify)
    {
        ERR_clear_error();
        if (trust.strCaFile.empty())
            SSL_CTX_set_default_verify_paths(pCtx);
        else if (SSL_CTX_load_verify_locations(pCtx, trust.strCaFile.c_str(), nullptr) != 1)
        {
            if (pReason != nullptr)
                *pReason = access(trust.strCaFile.c_str(), R_OK) != 0
                               ? CErrorText::Errno(trust.strCaFile, errno)
                               : trust.strCaFile + ": no PEM CA certificate in it";
            ERR_clear_error();
            return false;
        }
    }
    if (!trust.ownFiles.strCertificate.empty())
        return TlsUseKeyFiles(pCtx, trust.ownFiles, pReason);
    return true;
}

bool TlsSetUpClientSession(SSL* pSSL, const STlsClientTrust& trust, std::string* pReason)
{
    if (!trust.ChecksPeer() || trust.strHost.empty())
        return true;
    const std::string strAddress = AddressLiteral(trust.strHost);
    int bSet = 0;
    if (!strAddress.empty())
        bSet = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSSL), strAddress.c_str());
    else
    {
        std::string strName = trust.strHost;
        if (strName.back() == '.')
            strName.pop_back();
        // SNI carries names only, never addresses.
        bSet = SSL_set1_host(pSSL, strName.c_str()) == 1 && SSL_set_tlsext_host_name(pSSL, strName.c_str()) == 1;
    }
    if (bSet != 1 && pReason != nullptr)
        *pReason = "TLS: " + trust.strHost + " cannot be matched against a certificate";
    ERR_clear_error();
    return bSet == 1;
}

std::string TlsFingerprint(X509* pCert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    if (pCert == nullptr || X509_digest(pCert, EVP_sha256(), md, &nLen) != 1)
        return std::string();
    static const char HEX[] = "0123456789ABCDEF";
    std::string str;
    for (unsigned int k = 0; k < nLen; ++k)
    {
        if (k > 0)
            str += ':';
        str += HEX[md[k] >> 4];
        str += HEX[md[k] & 0xf];
    }
    return str;
}

std::string TlsPeerFingerprint(SSL* pSSL)
{
    X509* pCert = SSL_get1_peer_certificate(pSSL);
    const std::string str = TlsFingerprint(pCert);
    X509_free(pCert);
    return str;
}

std::vector<std::string> TlsDescribePeer(SSL* pSSL)
{
    std::vector<std::string> vecLines;
    X509* pCert = SSL_get1_peer_certificate(pSSL);
    if (pCert == nullptr)
        return vecLines;
    vecLines.push_back("Certificate subject: " + NameText(X509_get_subject_name(pCert)));
    vecLines.push_back("Certificate issuer: " + NameText(X509_get_issuer_name(pCert)));
    vecLines.push_back("Certificate expires: " + TimeText(X509_get0_notAfter(pCert)));
    vecLines.push_back("Certificate SHA-256: " + TlsFingerprint(pCert));
    X509_free(pCert);
    return vecLines;
}

bool TlsCheckPeer(SSL* pSSL, const STlsClientTrust& trust, std::string* pReason)
{
    auto fail = [pReason](const std::string& strReason) {
        if (pReason != nullptr)
            *pReason = strReason;
        return false;
    };
    if (!trust.strPin.empty())
    {
        const std::string strGot = TlsPeerFingerprint(pSSL);
        if (strGot.empty())
            return fail("certificate pin mismatch: the peer showed no certificate");
        if (strGot != trust.strPin)
            return fail("certificate pin mismatch: got " + strGot);
        return true;
    }
    if (!trust.bVerify)
        return true;
    X509* pCert = SSL_get1_peer_certificate(pSSL);
    if (pCert == nullptr)
        return fail("certificate verify failed: the peer showed no certificate");
    X509_free(pCert);
    const long nResult = SSL_get_verify_result(pSSL);
    if (nResult == X509_V_OK)
        return true;
    if (nResult == X509_V_ERR_HOSTNAME_MISMATCH || nResult == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return fail("certificate name mismatch: the certificate is not for " + trust.strHost);
    return fail(std::string("certificate verify failed: ") + X509_verify_cert_error_string(nResult));
}

bool TlsRequireClientCertificate(SSL_CTX* pCtx, const std::string& strCaFile, std::string* pReason)
{
    // Required even when the file is unusable: an empty store then refuses
    // every peer, rather than the requirement quietly falling away.
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    ERR_clear_error();
    bool bLoaded = SSL_CTX_load_verify_locations(pCtx, strCaFile.c_str(), nullptr) == 1;
    if (bLoaded)
    {
        // The names a peer is told to pick its certificate by.
        STACK_OF(X509_NAME)* pNames = SSL_load_client_CA_file(strCaFile.c_str());
        if (pNames != nullptr)
            SSL_CTX_set_client_CA_list(pCtx, pNames);
    }
    else if (pReason != nullptr)
        *pReason = access(strCaFile.c_str(), R_OK) != 0 ? CErrorText::Errno(strCaFile, errno)
                                                         : strCaFile + ": no PEM CA certificate in it";
    ERR_clear_error();
    return bLoaded;
}

std::string TlsClientCertificateFailure(SSL* pSSL)
{
    const unsigned long nError = ERR_peek_error();
    if (ERR_GET_LIB(nError) == ERR_LIB_SSL && ERR_GET_REASON(nError) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
        return "client certificate required: the peer sent none";
    const bool bVerify = ERR_GET_LIB(nError) == ERR_LIB_SSL && ERR_GET_REASON(nError) == SSL_R_CERTIFICATE_VERIFY_FAILED;
    if ((bVerify || SSL_get0_peer_certificate(pSSL) != nullptr) && SSL_get_verify_result(pSSL) != X509_V_OK)
        return std::string("client certificate refused: ") +
               X509_verify_cert_error_string(SSL_get_verify_result(pSSL));
    return std::string();
}
