#include "app/CSettingsFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include "app/COmbraCtrlCore.h"

namespace
{

const char* const MODE_NAMES[] = {"client", "server", "udp"};
const char* const TYPE_NAMES[] = {"raw", "secure", "telnet"};

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

    CSettingsFile& s = p.settings;
    if (strSection == "Options")
    {
        struct SRange
        {
            const char* pszKey;
            int* pn;
            long nMin;
            long nMax;
        };
        const SRange ranges[] = {
            {"ConnectTimeout", &s.m_nConnectTimeout, 1, 99},
            {"Reconnect", &s.m_bReconnect, 0, 1},
            {"ReconnectTime", &s.m_nReconnectTime, 1, 9999},
            {"LoginChallenge", &s.m_nLoginChallenge, 1, 9999},
            {"LoginTimeout", &s.m_nLoginTimeout, 1, 9999},
            {"KeepAliveTime", &s.m_nKeepAliveTime, 1, 99999999},
            {"KeepAliveInterval", &s.m_nKeepAliveInterval, 1, 99999999},
        };
        for (const SRange& r : ranges)
        {
            if (strKey != r.pszKey)
                continue;
            if (!ParseInt(pszValue, r.nMin, r.nMax, r.pn))
                return fail("accepted values are " + std::to_string(r.nMin) + " to " + std::to_string(r.nMax));
            return 1;
        }
        if (strKey == "User" || strKey == "Password")
        {
            if (strlen(pszValue) > 20)
                return fail("at most 20 characters");
            (strKey == "User" ? s.m_strUser : s.m_strPassword) = pszValue;
            return 1;
        }
        if (strKey == "PortDirectory")
        {
            if (pszValue[0] != '\0' && pszValue[0] != '/')
                return fail("an absolute path, or empty for the default");
            s.m_strPortDirectory = pszValue;
            return 1;
        }
        return fail("unknown key; [Options] takes ConnectTimeout, Reconnect, ReconnectTime, User, Password, "
                    "LoginChallenge, LoginTimeout, KeepAliveTime, KeepAliveInterval, PortDirectory");
    }

    const int nPort = PortOfSection(strSection);
    if (nPort < 0)
        return fail("unknown section; sections are [Options] and [COM1] to [COM256]");
    CSettingsFile::SPort& port = s.m_ports[static_cast<size_t>(nPort)];
    port.bUse = 1;
    if (strKey == "Enable" || strKey == "SSL" || strKey == "KeepAlive")
    {
        int* pn = strKey == "Enable" ? &port.bEnable : strKey == "SSL" ? &port.bSSL : &port.bKeepAlive;
        if (!ParseInt(pszValue, 0, 1, pn))
            return fail("accepted values are 0 and 1");
        return 1;
    }
    if (strKey == "Mode")
    {
        if (!ParseName(pszValue, MODE_NAMES, 3, &port.nMode))
            return fail("accepted values are client, server, udp");
        return 1;
    }
    if (strKey == "ConnectType")
    {
        if (!ParseName(pszValue, TYPE_NAMES, 3, &port.nConnectType))
            return fail("accepted values are raw, secure, telnet");
        return 1;
    }
    if (strKey == "IPAddress")
    {
        if (pszValue[0] == '\0')
            return fail("an IPv4 address such as 127.0.0.1; it must not be empty");
        port.strIPAddress = pszValue;
        return 1;
    }
    if (strKey == "PeerPort" || strKey == "LocalPort")
    {
        if (!ParseInt(pszValue, 0, 65535, strKey == "PeerPort" ? &port.nPeerPort : &port.nLocPort))
            return fail("accepted values are 0 to 65535");
        return 1;
    }
    return fail("unknown key; a port section takes Enable, Mode, ConnectType, SSL, KeepAlive, IPAddress, PeerPort, "
                "LocalPort");
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

int CSettingsFile::Load(const std::string& strPath, std::string* pError)
{
    FILE* pFile = fopen(strPath.c_str(), "r");
    if (pFile == nullptr)
    {
        if (pError != nullptr)
            *pError = strPath + ": cannot be read: " + strerror(errno);
        return 0;
    }
    // A value is taken as it stands: a ';' inside a password is no comment,
    // and an indented line does not continue the one before.
    ini_allow_inline_comments = false;
    ini_allow_multiline = false;
    ini_stop_on_first_error = true;
    SParse parse;
    const int nLine = ini_parse_file(pFile, OnKey, &parse);
    fclose(pFile);
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
    for (SPort& port : parse.settings.m_ports)
    {
        if (port.nMode == MODE_UDP)
        {
            port.bSSL = 0;
            port.nConnectType = CONNECT_RAW;
        }
        else if (port.nMode == MODE_TCP_CLIENT && port.nConnectType == CONNECT_SECURE)
        {
            port.nConnectType = CONNECT_RAW;
        }
    }
    *this = parse.settings;
    return 1;
}

int CSettingsFile::Save(const std::string& strPath, std::string* pError) const
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
    str += "ConnectTimeout=" + std::to_string(m_nConnectTimeout) + "\n";
    str += "Reconnect=" + std::to_string(m_bReconnect) + "\n";
    str += "ReconnectTime=" + std::to_string(m_nReconnectTime) + "\n";
    str += "User=" + m_strUser + "\n";
    str += "Password=" + m_strPassword + "\n";
    str += "LoginChallenge=" + std::to_string(m_nLoginChallenge) + "\n";
    str += "LoginTimeout=" + std::to_string(m_nLoginTimeout) + "\n";
    str += "KeepAliveTime=" + std::to_string(m_nKeepAliveTime) + "\n";
    str += "KeepAliveInterval=" + std::to_string(m_nKeepAliveInterval) + "\n";
    str += "PortDirectory=" + m_strPortDirectory + "\n";
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        const SPort& port = m_ports[static_cast<size_t>(i)];
        if (port.bUse != 1)
            continue;
        str += "\n[COM" + std::to_string(i + 1) + "]\n";
        str += "Enable=" + std::to_string(port.bEnable) + "\n";
        str += std::string("Mode=") + MODE_NAMES[port.nMode >= 0 && port.nMode <= 2 ? port.nMode : 2] + "\n";
        str += std::string("ConnectType=") +
               TYPE_NAMES[port.nConnectType >= 0 && port.nConnectType <= 2 ? port.nConnectType : 2] + "\n";
        str += "SSL=" + std::to_string(port.bSSL) + "\n";
        str += "KeepAlive=" + std::to_string(port.bKeepAlive) + "\n";
        str += "IPAddress=" + port.strIPAddress + "\n";
        str += "PeerPort=" + std::to_string(port.nPeerPort) + "\n";
        str += "LocalPort=" + std::to_string(port.nLocPort) + "\n";
    }

    const std::string strTemp = strPath + ".tmp";
    const int h = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
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
            close(h);
            unlink(strTemp.c_str());
            return fail("cannot be written");
        }
        nDone += static_cast<size_t>(n);
    }
    if (fsync(h) != 0 || close(h) != 0 || rename(strTemp.c_str(), strPath.c_str()) != 0)
    {
        unlink(strTemp.c_str());
        return fail("cannot be written");
    }
    return 1;
}

void CSettingsFile::ApplyTo(COmbraCtrlCore& core) const
{
    core.m_nConnectTimeout = m_nConnectTimeout;
    core.m_bReconnect = m_bReconnect;
    core.m_nReconnectTime = m_nReconnectTime;
    core.m_strUser = m_strUser;
    core.m_strPassword = m_strPassword;
    core.m_nLoginChallenge = m_nLoginChallenge;
    core.m_nLoginTimeout = m_nLoginTimeout;
    core.m_nKeepAliveTime = m_nKeepAliveTime;
    core.m_nKeepAliveInterval = m_nKeepAliveInterval;
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        const SPort& port = m_ports[static_cast<size_t>(i)];
        if (port.bUse != 1)
            continue;
        core.m_comData.SetUse(i, 1);
        core.m_comData.SetEnable(i, port.bEnable);
        core.m_comData.SetIPAddress(i, port.strIPAddress);
        core.m_comData.SetPeerPort(i, port.nPeerPort);
        core.m_comData.SetLocPort(i, port.nLocPort);
        core.m_comData.SetMode(i, port.nMode);
        core.m_comData.SetSSL(i, port.bSSL);
        core.m_comData.SetKeepAlive(i, port.bKeepAlive);
        core.m_comData.SetConnectType(i, port.nConnectType);
    }
}

void CSettingsFile::ReadFrom(const COmbraCtrlCore& core)
{
    m_nConnectTimeout = core.m_nConnectTimeout;
    m_bReconnect = core.m_bReconnect;
    m_nReconnectTime = core.m_nReconnectTime;
    m_strUser = core.m_strUser;
    m_strPassword = core.m_strPassword;
    m_nLoginChallenge = core.m_nLoginChallenge;
    m_nLoginTimeout = core.m_nLoginTimeout;
    m_nKeepAliveTime = core.m_nKeepAliveTime;
    m_nKeepAliveInterval = core.m_nKeepAliveInterval;
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        SPort& port = m_ports[static_cast<size_t>(i)];
        port.bUse = core.m_comData.GetUse(i);
        port.bEnable = core.m_comData.GetEnable(i);
        port.strIPAddress = core.m_comData.GetIPAddress(i);
        port.nPeerPort = core.m_comData.GetPeerPort(i);
        port.nLocPort = core.m_comData.GetLocPort(i);
        port.nMode = core.m_comData.GetMode(i);
        port.bSSL = core.m_comData.GetSSL(i);
        port.bKeepAlive = core.m_comData.GetKeepAlive(i);
        port.nConnectType = core.m_comData.GetConnectType(i);
    }
}
