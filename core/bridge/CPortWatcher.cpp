// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortWatcher.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core/bridge/CDispatcher.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/bridge/CPortEventSink.h"

CPortWatcher::CPortWatcher(CDispatcher* pDispatcher, CPortEventSink* pSink)
    : m_pDispatcher(pDispatcher), m_pSink(pSink)
{
    m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_hNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

CPortWatcher::~CPortWatcher()
{
    Stop();
    std::lock_guard<std::mutex> lock(m_csPorts);
    for (auto& [pPort, pW] : m_ports)
        if (pW->hPoll >= 0)
            close(pW->hPoll);
    m_ports.clear();
    for (int h : m_vecToClose)
        close(h);
    m_vecToClose.clear();
    if (m_hWake >= 0)
        close(m_hWake);
    if (m_hNotify >= 0)
        close(m_hNotify);
}

std::string CPortWatcher::DefaultPortDirectory()
{
    if (geteuid() == 0)
        return "/run/nimbrel";
    const char* pszRuntime = getenv("XDG_RUNTIME_DIR");
    if (pszRuntime != nullptr && pszRuntime[0] == '/')
        return std::string(pszRuntime) + "/nimbrel";
    return "/tmp/nimbrel-" + std::to_string(geteuid());
}

int CPortWatcher::PrepareDirectory(const std::string& strDir, std::string* pError)
{
    auto fail = [&](const std::string& strWhy) {
        if (pError != nullptr)
            *pError = "Port directory " + strDir + ": " + strWhy;
        return 0;
    };
    if (strDir.empty() || strDir[0] != '/')
        return fail("must be an absolute path");
    // Create missing parents as well; the last level is private unless it
    // is root's shared one.
    for (size_t nPos = 1; nPos <= strDir.size(); ++nPos)
    {
        if (nPos != strDir.size() && strDir[nPos] != '/')
            continue;
        const std::string strPart = strDir.substr(0, nPos);
        const mode_t mode = (nPos == strDir.size() && !(geteuid() == 0 && strDir == "/run/nimbrel")) ? 0700 : 0755;
        if (mkdir(strPart.c_str(), mode) != 0 && errno != EEXIST)
            return fail(strerror(errno));
    }
    struct stat st;
    if (lstat(strDir.c_str(), &st) != 0)
        return fail(strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return fail("not a directory");
    // A directory another user owns (say a planted /tmp/nimbrel-<uid>) could
    // redirect our links.
    if (st.st_uid != geteuid())
        return fail("owned by another user");
    if (access(strDir.c_str(), W_OK | X_OK) != 0)
        return fail(strerror(errno));
    return 1;
}

int CPortWatcher::Start(const std::string& strPortDir, std::string* pError)
{
    if (m_bRunning)
        return 1;
    if (m_hWake < 0 || m_hNotify < 0)
    {
        if (pError != nullptr)
            *pError = "Cannot watch ports: " + std::string(strerror(errno));
        return 0;
    }
    std::string strDir = strPortDir.empty() ? DefaultPortDirectory() : strPortDir;
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    if (!PrepareDirectory(strDir, pError))
        return 0;
    m_strPortDir = strDir;
    m_bQuit = 0;
    m_bRunning = 1;
    m_thread = std::thread([this] { Run(); });
    return 1;
}

void CPortWatcher::Stop()
{
    if (!m_bRunning)
        return;
    m_bQuit = 1;
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    m_bRunning = 0;
}

void CPortWatcher::Wake()
{
    uint64_t nOne = 1;
    ssize_t n;
    do
        n = write(m_hWake, &nOne, sizeof(nOne));
    while (n < 0 && errno == EINTR);
}

void CPortWatcher::AddPort(COmbraPortAx* pPort, const std::string& strSlavePath, int hMaster)
{
    auto pW = std::make_unique<SWatched>();
    pW->pPort = pPort;
    pW->strSlave = strSlavePath;
    pW->hPoll = fcntl(hMaster, F_DUPFD_CLOEXEC, 0);
    pW->nWd = inotify_add_watch(m_hNotify, strSlavePath.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    {
        std::lock_guard<std::mutex> lock(m_csPorts);
        m_ports[pPort] = std::move(pW);
    }
    Wake();
}

void CPortWatcher::RemovePort(COmbraPortAx* pPort)
{
    std::lock_guard<std::mutex> lock(m_csPorts);
    auto it = m_ports.find(pPort);
    if (it == m_ports.end())
        return;
    if (it->second->nWd >= 0)
        inotify_rm_watch(m_hNotify, it->second->nWd);
    // The thread may be inside poll with this descriptor: it closes it
    // itself between two polls.
    if (it->second->hPoll >= 0)
    {
        if (m_bRunning)
            m_vecToClose.push_back(it->second->hPoll);
        else
            close(it->second->hPoll);
    }
    m_ports.erase(it);
    if (m_bRunning)
        Wake();
}

bool CPortWatcher::IsOurSlave(const std::string& strSlavePath)
{
    std::lock_guard<std::mutex> lock(m_csPorts);
    for (const auto& entry : m_ports)
        if (entry.second->strSlave == strSlavePath)
            return true;
    return false;
}

void CPortWatcher::ReportHangUp(COmbraPortAx* pPort)
{
    std::lock_guard<std::mutex> lock(m_csPorts);
    auto it = m_ports.find(pPort);
    if (it == m_ports.end())
        return;
    SWatched& w = *it->second;
    // A worker saw its application leave. When this watcher never saw that
    // application (it opened and closed between two looks), nothing else
    // would have the close handled: it is reported anyway. A close handled
    // already makes this one find nothing to end.
    if (!w.bOpen && !pPort->IsSlaveOpen())
        PostOpen(pPort->GetId(), 0);
    else
        CheckOpen(w, 1);
}

void CPortWatcher::SettingsMayHaveChanged(COmbraPortAx* pPort)
{
    pPort->m_bSettingsDirty = 1;
    Wake();
}

void CPortWatcher::PostDataQueued(COmbraPortAx* pPort)
{
    if (m_pDispatcher == nullptr || m_pSink == nullptr || pPort->m_bQueuedPosted.exchange(1) != 0)
        return;
    CPortEventSink* pSink = m_pSink;
    m_pDispatcher->Post([pPort, pSink] {
        pPort->m_bQueuedPosted = 0;
        const long nCount = pPort->QueuedCount();
        if (nCount > 0)
            pSink->OnDataQueued(pPort->GetId(), nCount);
    });
}

void CPortWatcher::PostOpen(int nId, int bOpen)
{
    if (m_pDispatcher == nullptr || m_pSink == nullptr)
        return;
    CPortEventSink* pSink = m_pSink;
    m_pDispatcher->Post([pSink, nId, bOpen] { pSink->OnOpenChanged(nId, bOpen); });
}

void CPortWatcher::CheckOpen(SWatched& w, int bHangUpSeen)
{
    const int bOpen = w.pPort->IsSlaveOpen();
    // A hang-up seen on an open port is a close, even when another
    // application has opened the port again by now: each gets its events.
    if (bHangUpSeen && w.bOpen && bOpen)
    {
        w.bOpen = 0;
        PostOpen(w.pPort->GetId(), 0);
    }
    if (bOpen == w.bOpen)
        return;
    w.bOpen = bOpen;
    PostOpen(w.pPort->GetId(), bOpen);
    if (bOpen)
    {
        // Report the settings the application found, so the list shows them
        // also for one that never changes them.
        CheckSettings(w, 1);
    }
    else
    {
        w.bHaveDcb = 0;
        w.bSlow = 0;
    }
}

void CPortWatcher::CheckSettings(SWatched& w, int bForce)
{
    struct termios t;
    if (!w.pPort->GetTermios(&t))
        return;
    const CPortDcb dcb = CPortDcb::FromTermios(t, w.pPort->GetBaudRate());
    if (bForce || !w.bHaveDcb || !(dcb == w.dcb))
    {
        w.dcb = dcb;
        w.bHaveDcb = 1;
        if (m_pDispatcher != nullptr && m_pSink != nullptr)
        {
            CPortEventSink* pSink = m_pSink;
            const int nId = w.pPort->GetId();
            m_pDispatcher->Post([pSink, nId, dcb] { pSink->OnCommStateChanged(nId, dcb); });
        }
    }
    // EXTPROC reports changes but bypasses the line discipline's XON/XOFF;
    // keep it on exactly while the application does not use IXON.
    const bool bIxon = (t.c_iflag & IXON) != 0;
    const bool bExtproc = (t.c_lflag & EXTPROC) != 0;
    if (bIxon == bExtproc)
    {
        if (bIxon)
            t.c_lflag &= ~EXTPROC;
        else
            t.c_lflag |= EXTPROC;
        w.pPort->SetTermios(&t);
    }
    w.bSlow = bIxon ? 1 : 0;
}

void CPortWatcher::Run()
{
    std::vector<struct pollfd> vecFds;
    std::vector<COmbraPortAx*> vecPolled;
    for (;;)
    {
        int bSlow = 0;
        vecFds.clear();
        vecPolled.clear();
        vecFds.push_back({m_hWake, POLLIN, 0});
        vecFds.push_back({m_hNotify, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(m_csPorts);
            for (int h : m_vecToClose)
                close(h);
            m_vecToClose.clear();
            for (auto& [pPort, pW] : m_ports)
            {
                // A closed slave leaves the master hung up, ready forever:
                // only an open port is polled, for status and hang-up.
                if (pW->bOpen && pW->hPoll >= 0)
                {
                    vecFds.push_back({pW->hPoll, POLLPRI, 0});
                    vecPolled.push_back(pPort);
                }
                bSlow |= pW->bSlow;
            }
        }
        if (m_bQuit)
            return;

        int nReady = poll(vecFds.data(), vecFds.size(), bSlow ? SLOW_CHECK_MS : -1);
        if (nReady < 0 && errno != EINTR)
            nReady = 0;
        if (m_bQuit)
            return;

        if (vecFds[0].revents & POLLIN)
        {
            uint64_t nCount;
            while (read(m_hWake, &nCount, sizeof(nCount)) > 0)
            {
            }
        }
        std::vector<int> vecWds;
        if (vecFds[1].revents & POLLIN)
        {
            alignas(struct inotify_event) char buf[4096];
            ssize_t n;
            while ((n = read(m_hNotify, buf, sizeof(buf))) > 0)
            {
                for (char* p = buf; p < buf + n;)
                {
                    auto* pEv = reinterpret_cast<struct inotify_event*>(p);
                    vecWds.push_back(pEv->wd);
                    p += sizeof(struct inotify_event) + pEv->len;
                }
            }
        }

        std::lock_guard<std::mutex> lock(m_csPorts);
        for (size_t i = 0; i < vecPolled.size(); ++i)
        {
            auto it = m_ports.find(vecPolled[i]);
            if (it == m_ports.end())
                continue;
            const short nRev = vecFds[i + 2].revents;
            if (nRev & POLLPRI)
            {
                if (it->second->pPort->ReadControl() != 0)
                    it->second->pPort->m_bSettingsDirty = 1;
            }
            if (nRev & (POLLHUP | POLLERR | POLLNVAL))
                CheckOpen(*it->second, (nRev & POLLHUP) ? 1 : 0);
        }
        for (int nWd : vecWds)
        {
            for (auto& [pPort, pW] : m_ports)
                if (pW->nWd == nWd)
                    CheckOpen(*pW, 0);
        }
        for (auto& [pPort, pW] : m_ports)
        {
            if (!pW->bOpen)
            {
                pPort->m_bSettingsDirty = 0;
                continue;
            }
            if (pPort->m_bSettingsDirty.exchange(0) || pW->bSlow)
                CheckSettings(*pW, 0);
        }
    }
}
