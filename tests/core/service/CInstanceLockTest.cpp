// SPDX-License-Identifier: Apache-2.0
// The single-instance lock: one per user, in a place no other user can
// reach, so that nobody else can hold it or slip a file of their own in.

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/service/CInstanceLock.h"
#include "tests/TestSupport.h"

using testsupport::CTempDir;

namespace
{

constexpr uid_t NOBODY = 65534;

std::string Mode(const std::string& strPath)
{
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0)
        return "missing";
    char sz[8];
    std::snprintf(sz, sizeof(sz), "%04o", static_cast<unsigned int>(st.st_mode & 07777));
    return sz;
}

// What Acquire did, with the reason when it failed.
std::string Try(CInstanceLock& lock, const std::string& strPath)
{
    std::string strError;
    switch (lock.Acquire(strPath, &strError))
    {
    case CInstanceLock::EResult::Acquired:
        return "acquired";
    case CInstanceLock::EResult::Held:
        return "held";
    case CInstanceLock::EResult::Failed:
        return "failed: " + strError;
    }
    return "?";
}

// Runs fn in a child process as nobody, with no umask and no lock file of
// the environment, and returns what it reported.
std::vector<std::string> AsNobody(const std::function<std::vector<std::string>()>& fn)
{
    int h[2];
    if (pipe(h) != 0)
        return {"no pipe"};
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(h[0]);
        std::string strOut;
        if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
            strOut = std::string("cannot become nobody") + '\0';
        else
        {
            umask(0);
            unsetenv("NIMBREL_LOCK_FILE");
            for (const std::string& str : fn())
                strOut += str + '\0';
        }
        for (size_t nDone = 0; nDone < strOut.size();)
        {
            const ssize_t n = write(h[1], strOut.data() + nDone, strOut.size() - nDone);
            if (n <= 0)
                break;
            nDone += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(h[1]);
    std::string strIn;
    char buf[4096];
    ssize_t n;
    while ((n = read(h[0], buf, sizeof(buf))) > 0)
        strIn.append(buf, static_cast<size_t>(n));
    close(h[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    std::vector<std::string> vec;
    for (size_t nStart = 0, nEnd; (nEnd = strIn.find('\0', nStart)) != std::string::npos; nStart = nEnd + 1)
        vec.push_back(strIn.substr(nStart, nEnd - nStart));
    return vec;
}

// A directory (bFile: an empty file) of uid's own with mode nMode; "" when
// it cannot be made.
std::string Make(const std::string& strPath, uid_t nUid, mode_t nMode, bool bFile = false)
{
    const int nMade = bFile ? open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : mkdir(strPath.c_str(), 0700);
    if (nMade < 0 || (bFile && close(nMade) != 0))
        return "";
    if (chown(strPath.c_str(), nUid, nUid) != 0 || chmod(strPath.c_str(), nMode) != 0)
        return "";
    return strPath;
}

// A temporary tree that other users may pass through.
bool OpenToAll(const CTempDir& dir)
{
    return !dir.Path().empty() && chmod(dir.Path().c_str(), 0755) == 0;
}

class CScopedEnv
{
public:
    CScopedEnv(const char* pszName, const char* pszValue) : m_strName(pszName)
    {
        const char* pszOld = getenv(pszName);
        m_bHad = pszOld != nullptr;
        if (m_bHad)
            m_strOld = pszOld;
        if (pszValue != nullptr)
            setenv(pszName, pszValue, 1);
        else
            unsetenv(pszName);
    }
    ~CScopedEnv()
    {
        if (m_bHad)
            setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            unsetenv(m_strName.c_str());
    }

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHad = false;
};

}  // namespace

// A user's lock is in that user's runtime directory (a private 0700
// directory made for it, the file 0600), so two runtime directories are
// two locks, each with its socket beside it; without one it is in
// /tmp/nimbrel-<uid>; root's (the service's) is in /run/nimbrel.
TEST(CInstanceLockTest, EachUserHasALockOfTheirOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "plays a second user: needs root";
    CTempDir dir;
    ASSERT_TRUE(OpenToAll(dir));
    const std::string strA = Make(dir.File("a"), NOBODY, 0700);
    const std::string strB = Make(dir.File("b"), NOBODY, 0700);
    ASSERT_FALSE(strA.empty() || strB.empty());
    const std::vector<std::string> vec = AsNobody([&] {
        CInstanceLock lockA;
        CInstanceLock lockB;
        setenv("XDG_RUNTIME_DIR", strA.c_str(), 1);
        const std::string strPathA = CInstanceLock::DefaultPath();
        const std::string strTryA = Try(lockA, strPathA);
        setenv("XDG_RUNTIME_DIR", strB.c_str(), 1);
        const std::string strPathB = CInstanceLock::DefaultPath();
        const std::string strTryB = Try(lockB, strPathB);
        unsetenv("XDG_RUNTIME_DIR");
        return std::vector<std::string>{strPathA,
                                        strTryA,
                                        strPathB,
                                        strTryB,
                                        Mode(strA + "/nimbrel"),
                                        Mode(strPathA),
                                        CInstanceLock::SocketPath(strPathA),
                                        CInstanceLock::DefaultPath()};
    });
    EXPECT_EQ(vec, (std::vector<std::string>{strA + "/nimbrel/nimbrel.lock", "acquired",
                                             strB + "/nimbrel/nimbrel.lock", "acquired", "0700", "0600",
                                             strA + "/nimbrel/nimbrel.sock", "/tmp/nimbrel-65534/nimbrel.lock"}));

    CScopedEnv lockFile("NIMBREL_LOCK_FILE", nullptr);
    CScopedEnv runtime("XDG_RUNTIME_DIR", strA.c_str());
    EXPECT_EQ(CInstanceLock::DefaultPath(), "/run/nimbrel/nimbrel.lock");
}

// A runtime directory the user cannot use for it is refused, with the
// reason: another user's (XDG_RUNTIME_DIR left from su), a "nimbrel" in it
// that another user made, one the user opened to others.
TEST(CInstanceLockTest, RefusesARuntimeDirectoryThatIsNotTheUsersAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "plays a second user: needs root";
    CTempDir dir;
    ASSERT_TRUE(OpenToAll(dir));
    const std::string strRoots = Make(dir.File("roots"), 0, 0700);
    const std::string strPlanted = Make(dir.File("planted"), NOBODY, 0700);
    const std::string strOpen = Make(dir.File("open"), NOBODY, 0700);
    ASSERT_FALSE(strRoots.empty() || strPlanted.empty() || strOpen.empty());
    ASSERT_FALSE(Make(strPlanted + "/nimbrel", 0, 0700).empty());
    ASSERT_FALSE(Make(strOpen + "/nimbrel", NOBODY, 0750).empty());
    const std::vector<std::string> vec = AsNobody([&] {
        std::vector<std::string> vecOut;
        for (const std::string& strRuntime : {strRoots, strPlanted, strOpen})
        {
            setenv("XDG_RUNTIME_DIR", strRuntime.c_str(), 1);
            CInstanceLock lock;
            vecOut.push_back(Try(lock, CInstanceLock::DefaultPath()));
        }
        return vecOut;
    });
    EXPECT_EQ(vec, (std::vector<std::string>{
                       "failed: lock file " + strRoots + "/nimbrel/nimbrel.lock: directory " + strRoots +
                           "/nimbrel: Permission denied",
                       "failed: lock file " + strPlanted + "/nimbrel/nimbrel.lock: directory " + strPlanted +
                           "/nimbrel is owned by another user",
                       "failed: lock file " + strOpen + "/nimbrel/nimbrel.lock: directory " + strOpen +
                           "/nimbrel is open to other users (mode 0750)"}));
    EXPECT_EQ(Mode(strPlanted + "/nimbrel/nimbrel.lock"), "missing");
    EXPECT_EQ(Mode(strOpen + "/nimbrel/nimbrel.lock"), "missing");
}

// Any lock file ($NIMBREL_LOCK_FILE too) must be a regular file of the user
// in a directory of the user's that no one else may write to; a file of
// ours that others could open is closed to them. A second copy of the same
// user then finds it held.
TEST(CInstanceLockTest, RefusesAFileOthersCouldHoldOrReplace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "plays a second user: needs root";
    CTempDir dir;
    const std::string strShared = Make(dir.File("shared"), 0, 01777);
    const std::string strTheirs = Make(dir.File("theirs"), NOBODY, 0755);
    const std::string strOurs = Make(dir.File("ours"), 0, 0755);
    ASSERT_FALSE(strShared.empty() || strTheirs.empty() || strOurs.empty());
    const std::string strTheirFile = Make(strOurs + "/their.lock", NOBODY, 0644, true);
    const std::string strLoose = Make(strOurs + "/loose.lock", 0, 0666, true);
    ASSERT_FALSE(strTheirFile.empty() || strLoose.empty());
    const std::string strFifo = strOurs + "/fifo.lock";
    ASSERT_EQ(mkfifo(strFifo.c_str(), 0600), 0);
    const std::string strLink = strOurs + "/link.lock";
    ASSERT_EQ(symlink((strOurs + "/target").c_str(), strLink.c_str()), 0);

    CInstanceLock lock;
    EXPECT_EQ(Try(lock, strShared + "/nimbrel.lock"), "failed: lock file " + strShared +
                                                          "/nimbrel.lock: directory " + strShared +
                                                          " is open to other users (mode 1777)");
    EXPECT_EQ(Mode(strShared + "/nimbrel.lock"), "missing");
    EXPECT_EQ(Try(lock, strTheirs + "/nimbrel.lock"),
              "failed: lock file " + strTheirs + "/nimbrel.lock: directory " + strTheirs + " is owned by another user");
    EXPECT_EQ(Try(lock, strTheirFile), "failed: lock file " + strTheirFile + ": owned by another user");
    EXPECT_EQ(Mode(strTheirFile), "0644");
    EXPECT_EQ(Try(lock, strFifo), "failed: lock file " + strFifo + ": not a regular file");
    EXPECT_EQ(Try(lock, strLink), "failed: lock file " + strLink + ": Too many levels of symbolic links");
    EXPECT_EQ(Mode(strOurs + "/target"), "missing");

    EXPECT_EQ(Try(lock, strLoose), "acquired");
    EXPECT_EQ(Mode(strLoose), "0600");
    CInstanceLock second;
    EXPECT_EQ(Try(second, strLoose), "held");
}
