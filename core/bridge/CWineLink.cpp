// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CWineLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The target of the link at strPath; empty when it is no link.
std::string ReadLink(const std::string& strPath)
{
    char szTarget[4096];
    const ssize_t n = readlink(strPath.c_str(), szTarget, sizeof(szTarget) - 1);
    return n > 0 ? std::string(szTarget, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string CWineLink::DosDevicesDirectory()
{
    const char* pszPrefix = getenv("WINEPREFIX");
    if (pszPrefix != nullptr && pszPrefix[0] != '\0')
        return std::string(pszPrefix) + "/dosdevices";
    const char* pszHome = getenv("HOME");
    return std::string(pszHome != nullptr ? pszHome : "") + "/.wine/dosdevices";
}

std::string CWineLink::DosName(const std::string& strName)
{
    if (strName.size() < 4 || strName.compare(0, 3, "COM") != 0 || strName[3] == '0')
        return std::string();
    for (size_t k = 3; k < strName.size(); ++k)
        if (strName[k] < '0' || strName[k] > '9')
            return std::string();
    return "com" + strName.substr(3);
}

int CWineLink::Create(const std::string& strName, const std::string& strTarget)
{
    Remove();
    const std::string strDosName = DosName(strName);
    if (strDosName.empty())
        return m_nState;
    const std::string strDir = DosDevicesDirectory();
    m_strPath = strDir + "/" + strDosName;
    m_strTarget = strTarget;
    auto fail = [this](int nState, const std::string& strWhy) {
        m_nState = nState;
        m_strReport = "not linked: " + strWhy;
        return m_nState;
    };

    struct stat st;
    if (stat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(LINK_FAILED, "no Wine prefix at " + strDir);
    for (int nTry = 0; nTry < 2; ++nTry)
    {
        if (symlink(strTarget.c_str(), m_strPath.c_str()) == 0)
        {
            m_nState = LINK_MADE;
            m_strReport = "linked as " + m_strPath;
            return m_nState;
        }
        if (errno != EEXIST)
            return fail(LINK_FAILED, m_strPath + ": " + strerror(errno));
        const std::string strOld = ReadLink(m_strPath);
        const int bDangling = !strOld.empty() && stat(m_strPath.c_str(), &st) != 0 && errno == ENOENT;
        if (nTry > 0 || !bDangling || strOld.compare(0, 9, "/dev/pts/") != 0 || unlink(m_strPath.c_str()) != 0)
            break;
    }
    const std::string strOther = ReadLink(m_strPath);
    return fail(LINK_FOREIGN,
                m_strPath + " exists and is not ours (" + (strOther.empty() ? "no link" : "-> " + strOther) + ")");
}

void CWineLink::Remove()
{
    if (m_nState == LINK_MADE && ReadLink(m_strPath) == m_strTarget)
        unlink(m_strPath.c_str());
    m_nState = LINK_NONE;
    m_strPath.clear();
    m_strTarget.clear();
    m_strReport.clear();
}
