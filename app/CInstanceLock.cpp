#include "app/CInstanceLock.h"

#include <cerrno>

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/CErrorText.h"

CInstanceLock::~CInstanceLock()
{
    Release();
}

std::string CInstanceLock::DefaultPath()
{
    const char* psz = getenv("NIMBREL_LOCK_FILE");
    if (psz != nullptr && psz[0] != '\0')
        return psz;
    return "/tmp/Qor-Nimbrel.lock";
}

int CInstanceLock::Acquire(const std::string& strPath, std::string* pError)
{
    Release();
    auto fail = [&](int nErrno) {
        if (pError != nullptr)
            *pError = "lock file " + CErrorText::Errno(strPath, nErrno);
        return LOCK_FAILED;
    };
    // Never through a link: in a shared /tmp it could point anywhere.
    int h = open(strPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (h < 0)
        h = open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (h < 0)
        return fail(errno);
    // Other users' copies must be able to open it too.
    fchmod(h, 0666);
    if (flock(h, LOCK_EX | LOCK_NB) != 0)
    {
        const int nErrno = errno;
        close(h);
        // Only a lock that someone holds means another copy runs.
        return nErrno == EWOULDBLOCK ? LOCK_HELD : fail(nErrno);
    }
    m_hFile = h;
    return LOCK_ACQUIRED;
}

void CInstanceLock::Release()
{
    if (m_hFile >= 0)
    {
        close(m_hFile);
        m_hFile = -1;
    }
}
