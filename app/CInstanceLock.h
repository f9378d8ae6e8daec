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

    static constexpr int LOCK_ACQUIRED = 1;  // this process holds it now
    static constexpr int LOCK_HELD = 0;      // another copy holds it
    static constexpr int LOCK_FAILED = -1;   // the file cannot be used

    // One of the three above; with LOCK_FAILED, pError (when given) names
    // the file and the system's error.
    int Acquire(const std::string& strPath, std::string* pError = nullptr);
    void Release();

private:
    int m_hFile = -1;
};
