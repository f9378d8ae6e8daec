#pragma once

#include <string>

// Only one copy of the program per machine: an exclusive flock on a lock
// file that both front ends share. A copy that dies releases it with its
// descriptors.
class CInstanceLock
{
public:
    CInstanceLock() = default;
    ~CInstanceLock();

    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // /tmp/Qor-Nimbrel.lock, or $NIMBREL_LOCK_FILE when set (to run
    // separate copies side by side, as the tests do).
    static std::string DefaultPath();

    // 1 when this process now holds the lock; 0 when another copy does or
    // the file cannot be opened.
    int Acquire(const std::string& strPath);
    void Release();

private:
    int m_hFile = -1;
};
