// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// One copy of the program per user: an exclusive flock on a lock file that
// both front ends share. A copy that dies releases it with its descriptors.
//
// The file lives where only its user can reach it, so no one else can hold
// it (and stop every copy) or swap it: its directory must belong to the
// user and let nobody else write to it; the user's own runtime directory
// (below) must be private, 0700, as it is made. The file itself must be a
// regular file of the user, opened without following a link, kept 0600.
class CInstanceLock
{
public:
    enum class EResult
    {
        Acquired,  // this process holds it now
        Held,      // another copy holds it
        Failed     // the file cannot be used
    };

    CInstanceLock() = default;
    ~CInstanceLock();

    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // $NIMBREL_LOCK_FILE when set (to run separate copies side by side, as
    // the tests do), else nimbrel.lock in the user's default port
    // directory: /run/nimbrel for root, else $XDG_RUNTIME_DIR/nimbrel, else
    // /tmp/nimbrel-<uid>.
    static std::string DefaultPath();
    // Where the window that holds the lock at strLockPath listens for a
    // second start: beside it, "nimbrel.sock" for "nimbrel.lock".
    static std::string SocketPath(const std::string& strLockPath);

    // The default port directory is made (as the port watcher makes it)
    // when the lock is in it; any other directory must exist. With Failed,
    // pError (when given) names the file and why it cannot be used.
    EResult Acquire(const std::string& strPath, std::string* pError = nullptr);
    void Release();

private:
    int m_hFile = -1;
};
