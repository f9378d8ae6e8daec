// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

// What a worker waits for between two cycles: a few descriptors with their
// events, and the time limit the states ask for (the shortest wins; -1:
// none). Filled and used on the worker thread only.
class CPollSet
{
public:
    static constexpr int MAX_FDS = 4;

    // Watches hFd for nEvents (also with none: an error or hang-up still
    // reports).
    void Add(int hFd, short nEvents);
    // Waits at most nMs.
    void Cap(int nMs);

    int GetTimeout() const { return m_nTimeout; }
    int GetCount() const { return m_nCount; }
    struct pollfd* GetFds() { return m_fds; }

private:
    struct pollfd m_fds[MAX_FDS] = {};
    int m_nCount = 0;
    int m_nTimeout = -1;
};
