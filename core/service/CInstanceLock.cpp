// SPDX-License-Identifier: Apache-2.0
#include "core/service/CInstanceLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/bridge/CPortWatcher.h"
#include "core/engine/CErrorText.h"

namespace
{

// The directory part of strPath ("." for a bare name) and, in *pName, the rest.
std::string SplitPath(const std::string& strPath, std::string* pName)
{
    const size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos)
    {
        *pName = strPath;
        return ".";
    }
    *pName = strPath.substr(nSlash + 1);
    return nSlash == 0 ? "/" : strPath.substr(0, nSlash);
}

std::string Mode(mode_t nMode)
{
    char sz[8];
    std::snprintf(sz, sizeof(sz), "%04o", static_cast<unsigned int>(nMode & 07777));
    return sz;
}

}  // namespace

CInstanceLock::~CInstanceLock()
{
    Release();
}

std::string CInstanceLock::DefaultPath()
{
    const char* psz = getenv("NIMBREL_LOCK_FILE");
    if (psz != nullptr && psz[0] != '\0')
        return psz;
    return CPortWatcher::DefaultPortDirectory() + "/nimbrel.lock";
}

std::string CInstanceLock::SocketPath(const std::string& strLockPath)
{
    static const std::string strLock = ".lock";
    if (strLockPath.size() > strLock.size() &&
        strLockPath.compare(strLockPath.size() - strLock.size(), strLock.size(), strLock) == 0)
        return strLockPath.substr(0, strLockPath.size() - strLock.size()) + ".sock";
    return strLockPath + ".sock";
}

CInstanceLock::EResult CInstanceLock::Acquire(const std::string& strPath, std::string* pError)
{
    Release();
    auto fail = [&](const std::string& strWhy) {
        if (pError != nullptr)
            *pError = "lock file " + strPath + ": " + strWhy;
        return EResult::Failed;
    };
    const uid_t nUid = geteuid();
    std::string strName;
    const std::string strDir = SplitPath(strPath, &strName);
    const bool bDefaultDir = strDir == CPortWatcher::DefaultPortDirectory();
    // Made with the port directory's own modes; whatever went wrong there
    // shows in the checks below.
    if (bDefaultDir)
        CPortWatcher::PrepareDirectory(strDir, nullptr);

    // The checks are made on the opened directory and the file is opened
    // in it, so neither can be swapped in between.
    const int hDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (hDir < 0)
    {
        const int nErrno = errno;
        // One we may not open is most likely someone else's: say so.
        if (nErrno == EACCES && lstat(strDir.c_str(), &st) == 0 && st.st_uid != nUid)
            return fail("directory " + strDir + " is owned by another user");
        return fail(CErrorText::Errno("directory " + strDir, nErrno));
    }
    if (fstat(hDir, &st) != 0)
    {
        const int nErrno = errno;
        close(hDir);
        return fail(CErrorText::Errno("directory " + strDir, nErrno));
    }
    // root's /run/nimbrel is 0755 (the service's RuntimeDirectoryMode), so
    // that other users may look at its ports; a user's own is private.
    const mode_t nForbidden = bDefaultDir && nUid != 0 ? 077 : 022;
    if (st.st_uid != nUid || (st.st_mode & nForbidden) != 0)
    {
        close(hDir);
        return fail("directory " + strDir +
                    (st.st_uid != nUid ? " is owned by another user"
                                       : " is open to other users (mode " + Mode(st.st_mode) + ")"));
    }

    const int h = openat(hDir, strName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    const int nOpenErrno = errno;
    struct stat stFile;
    // Likewise a file.
    const bool bForeign = h < 0 && nOpenErrno == EACCES &&
                          fstatat(hDir, strName.c_str(), &stFile, AT_SYMLINK_NOFOLLOW) == 0 && stFile.st_uid != nUid;
    close(hDir);
    if (h < 0)
        return fail(bForeign ? "owned by another user" : CErrorText::SystemText(nOpenErrno));
    std::string strWhy;
    if (fstat(h, &stFile) != 0)
        strWhy = CErrorText::SystemText(errno);
    else if (!S_ISREG(stFile.st_mode))
        strWhy = "not a regular file";
    else if (stFile.st_uid != nUid)
        strWhy = "owned by another user";
    if (!strWhy.empty())
    {
        close(h);
        return fail(strWhy);
    }
    if ((stFile.st_mode & 077) != 0 && fchmod(h, 0600) != 0)
    {
        const int nErrno = errno;
        close(h);
        return fail(CErrorText::SystemText(nErrno));
    }
    if (flock(h, LOCK_EX | LOCK_NB) != 0)
    {
        const int nErrno = errno;
        close(h);
        // Only a lock that someone holds means another copy runs.
        return nErrno == EWOULDBLOCK ? EResult::Held : fail(CErrorText::SystemText(nErrno));
    }
    m_hFile = h;
    return EResult::Acquired;
}

void CInstanceLock::Release()
{
    if (m_hFile >= 0)
    {
        close(m_hFile);
        m_hFile = -1;
    }
}
