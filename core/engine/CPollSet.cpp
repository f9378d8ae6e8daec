// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CPollSet.h"

void CPollSet::Add(int hFd, short nEvents)
{
    if (m_nCount < MAX_FDS)
        m_fds[m_nCount++] = {hFd, nEvents, 0};
}

void CPollSet::Cap(int nMs)
{
    if (m_nTimeout < 0 || nMs < m_nTimeout)
        m_nTimeout = nMs;
}
