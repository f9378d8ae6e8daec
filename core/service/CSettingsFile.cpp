// SPDX-License-Identifier: Apache-2.0
#include "core/service/CSettingsFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include "core/service/CPortService.h"
#include "core/engine/CErrorText.h"

namespace
{

constexpr const char* MODE_NAMES[] = {"client", "server", "udp"};
constexpr const char* TYPE_NAMES[] = {"raw", "secure", "telnet"};
// By ELineParity: empty is the program's own.
constexpr const char* PARITY_NAMES[] = {"", "none", "odd", "even", "mark", "space"};
// Far more than 256 ports' worth of settings.
constexpr long MAX_FILE_SIZE = 1024 * 1024;

// What the parser callback collects.
struct SParse
{
    CSettingsFile settings;
    std::string strError;
    std::string strSection;  // the section the last key was in
    std::set<std::string> setSections;
    std::set<std::string> setKeys;  // "section/key"
};

// "COM1".."COM256" to 0..255; -1 otherwise.
int PortOfSection(const std::string& str)
{
    if (str.size() < 4 || str.size() > 6 || str.compare(0, 3, "COM") != 0 || str[3] == '0')
        return -1;
    int n = 0;
    for (size_t k = 3; k < str.size(); ++k)
    {
        if (str[k] < '0' || str[k] > '9')
            return -1;
        n = n * 10 + (str[k] - '0');
    }
    return (n >= 1 && n <= 256) ? n - 1 : -1;
}

bool ParseInt(const char* psz, long nMin, long nMax, int* pn)
{
    if (*psz == '\0')
        return false;
    char* pEnd = nullptr;
    errno = 0;
    const long n = strtol(psz, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax)
        return false;
    *pn = static_cast<int>(n);
    return true;
}

bool ParseName(const char* psz, const char* const* ppNames, int nCount, int* pn)
{
    for (int k = 0; k < nCount; ++k)
        if (strcmp(psz, ppNames[k]) == 0)
        {
            *pn = k;
            return true;
        }
    return false;
}

// One key of the file, spelled once: how its value is read (false, with
// the accepted values in *pAccepted, when it does not check out) and how it
// is written. The tables below are the file's order and its help texts.
struct SOptionKey
{
    const char* pszKey;
    bool (*pfnRead)(CSettingsFile& s, const char* pszValue, std::string* pAccepted);
    std::string (*pfnWrite)(const CSettingsFile& s);
    // As SPortKey's.
    bool bOnlyWhenSet = false;
};
struct SPortKey
{
    const char* pszKey;
    bool (*pfnRead)(CPortEntry& port, const char* pszValue, std::string* pAccepted);
    std::string (*pfnWrite)(const CPortEntry& port);
    // A key added after the first files: written only when it differs from
    // its default, so a file that uses none of it reads as before in every
    // version of the program.
    bool bOnlyWhenSet = false;
};

std::string RangeText(long nMin, long nMax)
{
    return "accepted values are " + std::to_string(nMin) + " to " + std::to_string(nMax);
}

// A numeric option, with its range from COptionSet::RANGES.
template <int COptionSet::*pnMember>
constexpr SOptionKey RangedOption(const char* pszKey)
{
    return {pszKey,
            [](CSettingsFile& s, const char* pszValue, std::string* pAccepted) {
                for (const COptionSet::SRange& r : COptionSet::RANGES)
                    if (r.pnMember == pnMember)
                    {
                        *pAccepted = RangeText(r.nMin, r.nMax);
                        return ParseInt(pszValue, r.nMin, r.nMax, &(s.m_options.*pnMember));
                    }
                return false;
            },
            [](const CSettingsFile& s) { return std::to_string(s.m_options.*pnMember); }};
}

// The user name or the password: quoted where needed, at most TEXT_MAX.
template <std::string COptionSet::*pstrMember>
constexpr SOptionKey TextOption(const char* pszKey)
{
    return {pszKey,
            [](CSettingsFile& s, const char* pszValue, std::string* pAccepted) {
                std::string strValue = CSettingsFile::UnquoteValue(pszValue);
                *pAccepted = "at most " + std::to_string(COptionSet::TEXT_MAX) + " characters";
                if (strValue.size() > COptionSet::TEXT_MAX)
                    return false;
                s.m_options.*pstrMember = std::move(strValue);
                return true;
            },
            [](const CSettingsFile& s) { return CSettingsFile::QuoteValue(s.m_options.*pstrMember); }};
}

// A file's path: absolute, or empty for the default.
template <std::string COptionSet::*pstrMember>
constexpr SOptionKey PathOption(const char* pszKey)
{
    return {pszKey,
            [](CSettingsFile& s, const char* pszValue, std::string* pAccepted) {
                std::string strValue = CSettingsFile::UnquoteValue(pszValue);
                *pAccepted = "an absolute path, or empty for the default";
                if (!COptionSet::IsPathValue(strValue))
                    return false;
                s.m_options.*pstrMember = std::move(strValue);
                return true;
            },
            [](const CSettingsFile& s) { return CSettingsFile::QuoteValue(s.m_options.*pstrMember); }, true};
}

const SOptionKey OPTION_KEYS[] = {
    RangedOption<&COptionSet::m_nConnectTimeout>("ConnectTimeout"),
    RangedOption<&COptionSet::m_bReconnect>("Reconnect"),
    RangedOption<&COptionSet::m_nReconnectTime>("ReconnectTime"),
    TextOption<&COptionSet::m_strUser>("User"),
    TextOption<&COptionSet::m_strPassword>("Password"),
    RangedOption<&COptionSet::m_nLoginChallenge>("LoginChallenge"),
    RangedOption<&COptionSet::m_nLoginTimeout>("LoginTimeout"),
    RangedOption<&COptionSet::m_nKeepAliveTime>("KeepAliveTime"),
    RangedOption<&COptionSet::m_nKeepAliveInterval>("KeepAliveInterval"),
    {"PortDirectory",
     [](CSettingsFile& s, const char* pszValue, std::string* pAccepted) {
         std::string strValue = CSettingsFile::UnquoteValue(pszValue);
         *pAccepted = "an absolute path, or empty for the default";
         if (!strValue.empty() && strValue[0] != '/')
             return false;
         s.m_strPortDirectory = std::move(strValue);
         return true;
     },
     [](const CSettingsFile& s) { return CSettingsFile::QuoteValue(s.m_strPortDirectory); }},
    RangedOption<&COptionSet::m_bWineDosDevices>("WineDosDevices"),
    PathOption<&COptionSet::m_strTlsCertificate>("TlsCertificate"),
    PathOption<&COptionSet::m_strTlsPrivateKey>("TlsPrivateKey"),
    PathOption<&COptionSet::m_strTlsCaFile>("TlsCaFile"),
    PathOption<&COptionSet::m_strTlsClientCaFile>("TlsClientCaFile"),
};

// A 0/1 switch of a port.
template <int CPortEntry::*pnMember>
constexpr SPortKey PortFlag(const char* pszKey)
{
    return {pszKey,
            [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
                *pAccepted = "accepted values are 0 and 1";
                return ParseInt(pszValue, 0, 1, &(port.*pnMember));
            },
            [](const CPortEntry& port) { return std::to_string(port.*pnMember); }};
}

template <int CPortEntry::*pnMember>
constexpr SPortKey PortNumber(const char* pszKey)
{
    return {pszKey,
            [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
                *pAccepted = RangeText(CPortEntry::PORT_MIN, CPortEntry::PORT_MAX);
                return ParseInt(pszValue, CPortEntry::PORT_MIN, CPortEntry::PORT_MAX, &(port.*pnMember));
            },
            [](const CPortEntry& port) { return std::to_string(port.*pnMember); }};
}

// One of a list of names, stored as its index.
template <int CPortEntry::*pnMember, const char* const* ppNames, int nCount>
constexpr SPortKey PortName(const char* pszKey)
{
    return {pszKey,
            [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
                *pAccepted = "accepted values are ";
                for (int k = 0; k < nCount; ++k)
                    *pAccepted += std::string(k > 0 ? ", " : "") + ppNames[k];
                return ParseName(pszValue, ppNames, nCount, &(port.*pnMember));
            },
            [](const CPortEntry& port) {
                const int n = port.*pnMember;
                return std::string(ppNames[n >= 0 && n < nCount ? n : nCount - 1]);
            }};
}

const SPortKey PORT_KEYS[] = {
    PortFlag<&CPortEntry::m_bEnable>("Enable"),
    PortName<&CPortEntry::m_nMode, MODE_NAMES, 3>("Mode"),
    PortName<&CPortEntry::m_nConnectType, TYPE_NAMES, 3>("ConnectType"),
    PortFlag<&CPortEntry::m_bSSL>("SSL"),
    PortFlag<&CPortEntry::m_bKeepAlive>("KeepAlive"),
    {"IPAddress",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "an IPv4 address such as 127.0.0.1, an IPv6 address such as ::1, or a host name";
         if (!CPortEntry::IsAddress(pszValue))
             return false;
         port.m_strIPAddress = pszValue;
         return true;
     },
     [](const CPortEntry& port) { return port.m_strIPAddress; }},
    PortNumber<&CPortEntry::m_nPeerPort>("PeerPort"),
    PortNumber<&CPortEntry::m_nLocPort>("LocalPort"),
    {"ComPortControl",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "accepted values are 0 and 1";
         int nValue = 0;
         if (!ParseInt(pszValue, 0, 1, &nValue))
             return false;
         port.m_bComPortControl = nValue == 1;
         return true;
     },
     [](const CPortEntry& port) { return std::string(port.m_bComPortControl ? "1" : "0"); }, true},
    {"ComPortDataBits",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "accepted values are " + std::to_string(CPortEntry::COM_DATA_BITS_MIN) + " to " +
                      std::to_string(CPortEntry::COM_DATA_BITS_MAX) + ", or empty for the program's";
         if (*pszValue == '\0')
         {
             port.m_nComPortDataBits = 0;
             return true;
         }
         return ParseInt(pszValue, CPortEntry::COM_DATA_BITS_MIN, CPortEntry::COM_DATA_BITS_MAX,
                         &port.m_nComPortDataBits);
     },
     [](const CPortEntry& port) {
         return port.m_nComPortDataBits == 0 ? std::string() : std::to_string(port.m_nComPortDataBits);
     },
     true},
    {"ComPortParity",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "accepted values are none, odd, even, mark, space, or empty for the program's";
         int nIndex = 0;
         if (!ParseName(pszValue, PARITY_NAMES, 6, &nIndex))
             return false;
         port.m_comPortParity = static_cast<ELineParity>(nIndex);
         return true;
     },
     [](const CPortEntry& port) {
         const auto n = static_cast<size_t>(port.m_comPortParity);
         return std::string(n < std::size(PARITY_NAMES) ? PARITY_NAMES[n] : "");
     },
     true},
    {"TlsVerify",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "accepted values are 0 and 1";
         int nValue = 0;
         if (!ParseInt(pszValue, 0, 1, &nValue))
             return false;
         port.m_bTlsVerify = nValue == 1;
         return true;
     },
     [](const CPortEntry& port) { return std::string(port.m_bTlsVerify ? "1" : "0"); }, true},
    {"TlsPin",
     [](CPortEntry& port, const char* pszValue, std::string* pAccepted) {
         *pAccepted = "a SHA-256 fingerprint (64 hex digits, with or without colons), or empty for none";
         return CPortEntry::ParsePin(pszValue, &port.m_strTlsPin);
     },
     [](const CPortEntry& port) { return port.m_strTlsPin; }, true},
};

// "ConnectTimeout, Reconnect, ..." for the unknown-key message.
template <typename TKeys>
std::string KeyList(const TKeys& keys)
{
    std::string str;
    for (const auto& key : keys)
        str += std::string(str.empty() ? "" : ", ") + key.pszKey;
    return str;
}

int OnKey(void* pUser, const char* pszSection, const char* pszKey, const char* pszValue)
{
    SParse& p = *static_cast<SParse*>(pUser);
    const std::string strSection = pszSection;
    const std::string strKey = pszKey;
    const std::string strWhere = "[" + strSection + "] " + strKey + "=" + pszValue;
    auto fail = [&](const std::string& strAccepted) {
        if (p.strError.empty())
            p.strError = strWhere + ": " + strAccepted;
        return 0;
    };

    if (strSection != p.strSection)
    {
        if (p.setSections.count(strSection) != 0)
            return fail("section [" + strSection + "] appears twice");
        p.setSections.insert(strSection);
        p.strSection = strSection;
    }
    if (!p.setKeys.insert(strSection + "/" + strKey).second)
        return fail("key " + strKey + " appears twice in [" + strSection + "]");

    std::string strAccepted;
    if (strSection == "Options")
    {
        for (const SOptionKey& key : OPTION_KEYS)
            if (strKey == key.pszKey)
                return key.pfnRead(p.settings, pszValue, &strAccepted) ? 1 : fail(strAccepted);
        return fail("unknown key; [Options] takes " + KeyList(OPTION_KEYS));
    }

    const int nPort = PortOfSection(strSection);
    if (nPort < 0)
        return fail("unknown section; sections are [Options] and [COM1] to [COM256]");
    CPortEntry& port = p.settings.m_ports[static_cast<size_t>(nPort)];
    port.m_bUse = 1;
    for (const SPortKey& key : PORT_KEYS)
        if (strKey == key.pszKey)
            return key.pfnRead(port, pszValue, &strAccepted) ? 1 : fail(strAccepted);
    return fail("unknown key; a port section takes " + KeyList(PORT_KEYS));
}

CSettingsFile::SStamp StampOf(const struct stat& st)
{
    CSettingsFile::SStamp stamp;
    stamp.bExists = true;
    stamp.nDevice = st.st_dev;
    stamp.nInode = st.st_ino;
    stamp.nSize = st.st_size;
    stamp.nModifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return stamp;
}

// The whole file, when it is one: a FIFO, a device or a directory given
// as the settings would block, never end or read as empty. NUL bytes have
// no place in the text either.
int ReadText(const std::string& strPath, std::string* pText, std::string* pError, CSettingsFile::SStamp* pStamp)
{
    auto fail = [&](const std::string& strWhy) {
        if (pError != nullptr)
            *pError = strPath + ": " + strWhy;
        return 0;
    };
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int h = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (h < 0)
        return fail("cannot be read: " + CErrorText::SystemText(errno));
    struct stat st;
    if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(h);
        return fail("not a regular file");
    }
    if (pStamp != nullptr)
        *pStamp = StampOf(st);
    if (st.st_size > MAX_FILE_SIZE)
    {
        close(h);
        return fail("too large for a settings file (more than " + std::to_string(MAX_FILE_SIZE) + " bytes)");
    }
    std::string strText;
    char buf[65536];
    for (;;)
    {
        const ssize_t n = read(h, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            const int nErrno = errno;
            close(h);
            return fail("cannot be read: " + CErrorText::SystemText(nErrno));
        }
        if (n == 0)
            break;
        strText.append(buf, static_cast<size_t>(n));
        if (strText.size() > MAX_FILE_SIZE)
        {
            close(h);
            return fail("too large for a settings file");
        }
    }
    close(h);
    const size_t nNul = strText.find('\0');
    if (nNul != std::string::npos)
    {
        const long nLine = 1 + std::count(strText.begin(), strText.begin() + static_cast<long>(nNul), '\n');
        if (pError != nullptr)
            *pError = strPath + ":" + std::to_string(nLine) + ": a NUL byte; this is no text file";
        return 0;
    }
    *pText = std::move(strText);
    return 1;
}

}  // namespace

CSettingsFile::CSettingsFile() = default;

std::string CSettingsFile::DefaultPath()
{
    const char* pszConfig = getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && pszConfig[0] == '/')
        return std::string(pszConfig) + "/nimbrel/nimbrel.ini";
    const char* pszHome = getenv("HOME");
    return std::string(pszHome != nullptr ? pszHome : "") + "/.config/nimbrel/nimbrel.ini";
}

std::string CSettingsFile::DirectoryOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    char szReal[PATH_MAX];
    return realpath(strDir.c_str(), szReal) != nullptr ? std::string(szReal) : strDir;
}

CSettingsFile::SStamp CSettingsFile::Stamp(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? StampOf(st) : SStamp();
}

std::string CSettingsFile::QuoteValue(const std::string& strValue)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    const bool bControl = std::any_of(strValue.begin(), strValue.end(),
                                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
    if (strValue.empty() ||
        (!bControl && strValue[0] != '"' && !isSpace(strValue.front()) && !isSpace(strValue.back())))
        return strValue;
    static const char HEX[] = "0123456789abcdef";
    std::string str = "\"";
    for (char c : strValue)
    {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
        {
            str += '\\';
            str += c;
        }
        else if (u < 0x20 || u == 0x7f)
        {
            str += "\\x";
            str += HEX[u >> 4];
            str += HEX[u & 0xf];
        }
        else
            str += c;
    }
    return str + "\"";
}

std::string CSettingsFile::UnquoteValue(const std::string& strValue)
{
    if (strValue.size() < 2 || strValue.front() != '"' || strValue.back() != '"')
        return strValue;
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    std::string str;
    for (size_t k = 1; k + 1 < strValue.size(); ++k)
    {
        const char c = strValue[k];
        if (c == '"')
            return strValue;  // an unescaped quote inside: not ours
        if (c != '\\')
        {
            str += c;
            continue;
        }
        if (k + 2 >= strValue.size())
            return strValue;
        const char e = strValue[++k];
        if (e == '"' || e == '\\')
            str += e;
        else if (e == 'x' && k + 3 < strValue.size() && hex(strValue[k + 1]) >= 0 && hex(strValue[k + 2]) >= 0)
        {
            str += static_cast<char>(hex(strValue[k + 1]) * 16 + hex(strValue[k + 2]));
            k += 2;
        }
        else
            return strValue;
    }
    return str;
}

int CSettingsFile::KeepAside(const std::string& strPath, std::string* pKeptAs, std::string* pError)
{
    const time_t t = time(nullptr);
    struct tm tmNow;
    localtime_r(&t, &tmNow);
    char szTime[32];
    strftime(szTime, sizeof(szTime), "%Y%m%d-%H%M%S", &tmNow);
    const std::string strBase = strPath + ".bad-" + szTime;
    for (int n = 0; n < 100; ++n)
    {
        const std::string strTo = n == 0 ? strBase : strBase + "-" + std::to_string(n);
        // A hard link first: an earlier copy of that name is never replaced.
        if (link(strPath.c_str(), strTo.c_str()) == 0)
        {
            if (unlink(strPath.c_str()) != 0)
            {
                const int nErrno = errno;
                unlink(strTo.c_str());
                if (pError != nullptr)
                    *pError = CErrorText::Errno(strPath, nErrno);
                return 0;
            }
            if (pKeptAs != nullptr)
                *pKeptAs = strTo;
            return 1;
        }
        if (errno != EEXIST)
        {
            if (pError != nullptr)
                *pError = CErrorText::Errno(strTo, errno);
            return 0;
        }
    }
    if (pError != nullptr)
        *pError = strBase + ": too many kept copies";
    return 0;
}

int CSettingsFile::Load(const std::string& strPath, std::string* pError, SStamp* pStamp)
{
    std::string strText;
    if (!ReadText(strPath, &strText, pError, pStamp))
        return 0;
    // A value is taken as it stands: a ';' inside a password is no comment,
    // and an indented line does not continue the one before.
    ini_allow_inline_comments = false;
    ini_allow_multiline = false;
    ini_stop_on_first_error = true;
    SParse parse;
    const int nLine = ini_parse_string(strText.c_str(), OnKey, &parse);
    if (nLine != 0)
    {
        if (pError != nullptr)
        {
            if (nLine < 0)
                *pError = strPath + ": cannot be read";
            else if (parse.strError.empty())
                *pError = strPath + ":" + std::to_string(nLine) +
                          ": not a setting; lines are [Section], Key=Value or comments starting with ; or #";
            else
                *pError = strPath + ":" + std::to_string(nLine) + ": " + parse.strError;
        }
        return 0;
    }
    // The same normalisations as the port dialog.
    for (CPortEntry& port : parse.settings.m_ports)
        port.Normalise();
    parse.settings.m_options.m_strSettingsDir = DirectoryOf(strPath);
    *this = parse.settings;
    return 1;
}

int CSettingsFile::Save(const std::string& strPath, std::string* pError, SStamp* pStamp) const
{
    auto fail = [&](const std::string& strWhat) {
        if (pError != nullptr)
            *pError = strPath + ": " + strWhat + ": " + strerror(errno);
        return 0;
    };
    const size_t nSlash = strPath.rfind('/');
    if (nSlash != std::string::npos && nSlash > 0)
    {
        const std::string strDir = strPath.substr(0, nSlash);
        for (size_t nPos = 1; nPos <= strDir.size(); ++nPos)
            if (nPos == strDir.size() || strDir[nPos] == '/')
                if (mkdir(strDir.substr(0, nPos).c_str(), 0700) != 0 && errno != EEXIST)
                    return fail("cannot create its directory");
    }

    std::string str = "[Options]\n";
    const CSettingsFile defaults;
    for (const SOptionKey& key : OPTION_KEYS)
    {
        const std::string strValue = key.pfnWrite(*this);
        if (!key.bOnlyWhenSet || strValue != key.pfnWrite(defaults))
            str += std::string(key.pszKey) + "=" + strValue + "\n";
    }
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        const CPortEntry& port = m_ports[static_cast<size_t>(i)];
        if (port.m_bUse != 1)
            continue;
        str += "\n[COM" + std::to_string(i + 1) + "]\n";
        for (const SPortKey& key : PORT_KEYS)
        {
            const std::string strValue = key.pfnWrite(port);
            if (!key.bOnlyWhenSet || strValue != key.pfnWrite(CPortEntry()))
                str += std::string(key.pszKey) + "=" + strValue + "\n";
        }
    }

    // A temporary name of its own: two writers never share one half-written file.
    std::string strTemp = strPath + ".tmp-XXXXXX";
    const int h = mkostemp(strTemp.data(), O_CLOEXEC);
    if (h < 0)
        return fail("cannot be written");
    fchmod(h, 0600);
    size_t nDone = 0;
    while (nDone < str.size())
    {
        const ssize_t n = write(h, str.data() + nDone, str.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            const int nErrno = n < 0 ? errno : ENOSPC;
            close(h);
            unlink(strTemp.c_str());
            errno = nErrno;
            return fail("cannot be written");
        }
        nDone += static_cast<size_t>(n);
    }
    struct stat st;
    if (fsync(h) != 0 || fstat(h, &st) != 0 || close(h) != 0 || rename(strTemp.c_str(), strPath.c_str()) != 0)
    {
        const int nErrno = errno;
        unlink(strTemp.c_str());
        errno = nErrno;
        return fail("cannot be written");
    }
    // The rename itself survives a crash only once the directory is synced.
    const std::string strDir = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    const int hDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hDir >= 0)
    {
        fsync(hDir);
        close(hDir);
    }
    if (pStamp != nullptr)
        *pStamp = StampOf(st);
    return 1;
}

int CSettingsFile::ApplyTo(CPortService& service) const
{
    return service.ApplyConfig(m_options, m_ports) ? 1 : 0;
}

void CSettingsFile::ReadFrom(const CPortService& service)
{
    m_options = service.Options();
    for (int i = 0; i < PORT_COUNT; ++i)
        m_ports[static_cast<size_t>(i)] = service.Entry(i);
}
