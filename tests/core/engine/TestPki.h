// SPDX-License-Identifier: Apache-2.0
#pragma once

// Certificates made at test time with the OpenSSL API: a test CA, certificates
// it signs (for names and addresses, expired or not), self-signed ones.

#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <string>
#include <sys/stat.h>

namespace testsupport
{

struct SFreeKey
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SFreeCert
{
    void operator()(X509* p) const { X509_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, SFreeKey>;
using CertPtr = std::unique_ptr<X509, SFreeCert>;

struct SIdentity
{
    KeyPtr key;
    CertPtr cert;
};

inline void AddExtension(X509* pCert, X509* pIssuer, int nNid, const std::string& strValue)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, strValue.c_str());
    X509_add_ext(pCert, pExt, -1);
    X509_EXTENSION_free(pExt);
}

// A P-256 certificate for strCN with the subjectAltName strSan ("" for
// none), valid from nFromDays to nToDays around now; signed by pIssuer
// (nullptr: self-signed). bCa makes it a CA.
inline SIdentity MakeIdentity(const std::string& strCN, const std::string& strSan, const SIdentity* pIssuer,
                              long nFromDays = -1, long nToDays = 30, bool bCa = false)
{
    static long s_nSerial = 1;
    SIdentity id;
    id.key.reset(EVP_EC_gen("P-256"));
    id.cert.reset(X509_new());
    X509* pCert = id.cert.get();
    X509_set_version(pCert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), s_nSerial++);
    X509_gmtime_adj(X509_getm_notBefore(pCert), nFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(pCert), nToDays * 86400);
    X509_set_pubkey(pCert, id.key.get());
    X509_NAME* pName = X509_get_subject_name(pCert);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(strCN.c_str()), -1,
                               -1, 0);
    X509* pIssuerCert = pIssuer != nullptr ? pIssuer->cert.get() : pCert;
    X509_set_issuer_name(pCert, X509_get_subject_name(pIssuerCert));
    if (bCa)
    {
        AddExtension(pCert, pIssuerCert, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(pCert, pIssuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (!strSan.empty())
        AddExtension(pCert, pIssuerCert, NID_subject_alt_name, strSan);
    X509_sign(pCert, pIssuer != nullptr ? pIssuer->key.get() : id.key.get(), EVP_sha256());
    return id;
}

inline bool WriteCert(const X509* pCert, const std::string& strPath)
{
    FILE* pFile = std::fopen(strPath.c_str(), "w");
    if (pFile == nullptr)
        return false;
    const bool bOk = PEM_write_X509(pFile, pCert) == 1;
    std::fclose(pFile);
    return bOk;
}

inline bool WriteKey(EVP_PKEY* pKey, const std::string& strPath, mode_t nMode = 0600)
{
    FILE* pFile = std::fopen(strPath.c_str(), "w");
    if (pFile == nullptr)
        return false;
    const bool bOk = PEM_write_PrivateKey(pFile, pKey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(pFile);
    return bOk && chmod(strPath.c_str(), nMode) == 0;
}

}  // namespace testsupport
