// SPDX-License-Identifier: Apache-2.0
#include "core/service/COmbraCtrlCore.h"

#include <csignal>
#include <sys/resource.h>

#include "core/bridge/CDispatcher.h"
#include "core/model/OwnerCheck.h"

namespace
{

// 256 ports hold a pty master each, the watcher's duplicate of it, a wake-up
// descriptor per worker and the sockets: more than the usual soft limit.
void RaiseFileLimit()
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max)
    {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

}  // namespace

COmbraCtrlCore::COmbraCtrlCore(CDispatcher* pDispatcher)
    : m_pDispatcher(pDispatcher), m_events(this), m_watcher(pDispatcher, &m_events)
{
    RaiseFileLimit();
    // A peer that vanished must fail a write, not end the process: the TLS
    // library writes to its sockets without MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);
    m_rows.SetOwnerCheck([pDispatcher] { return pDispatcher->IsOwnerThread(); });
}

COmbraCtrlCore::~COmbraCtrlCore()
{
    Teardown();
    m_watcher.Stop();
}

int COmbraCtrlCore::Init(const std::string& strPortDir, std::string* pError)
{
    return m_watcher.Start(strPortDir, pError);
}

void COmbraCtrlCore::ResetSettings()
{
    m_options = COptionSet();
    for (int i = 0; i < PORT_COUNT; ++i)
        m_comData.SetEntry(i, CPortEntry());
}

int COmbraCtrlCore::ApplyConfig(const COptionSet& options, const std::array<CPortEntry, PORT_COUNT>& entries)
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    if (m_comData.m_bRunning == 1 || m_bBusy)
        return 0;
    m_options = options;
    for (int i = 0; i < PORT_COUNT; ++i)
        m_comData.SetEntry(i, entries[static_cast<size_t>(i)]);
    m_comData.RecountEnabled();
    return 1;
}

void COmbraCtrlCore::InitList()
{
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        if (m_comData.GetUse(i) != 1)
            continue;
        m_rows.InsertRow(m_rows.GetRowCount(), CPortView::FromEntry(i, m_comData.GetEntry(i)));
    }
    m_comData.RecountEnabled();
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        Line(i).Reset();
        Line(i).m_bLineOn = 1;
    }
    for (int i = 0; i < PORT_COUNT; ++i)
        m_ports[i].Bind();
}

void COmbraCtrlCore::Teardown()
{
    m_startStop.Cancel();
    m_startStop.WaitSequence();
    for (int i = 0; i < PORT_COUNT; ++i)
        m_ports[i].Shut();
    m_comData.m_bRunning = 0;
    m_bBusy = 0;
}

int COmbraCtrlCore::ToggleEnable(int nPort)
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    if (m_comData.m_bRunning == 1 || m_bBusy || m_comData.GetUse(nPort) != 1)
        return 0;
    if (m_comData.GetEnable(nPort) == 1)
    {
        m_comData.SetEnable(nPort, 0);
        --m_comData.m_nEnableCount;
    }
    else
    {
        m_comData.SetEnable(nPort, 1);
        ++m_comData.m_nEnableCount;
    }
    ChangePort(nPort, [&](CPortView& view) { view.bEnabled = m_comData.GetEnable(nPort) == 1; });
    return 1;
}

int COmbraCtrlCore::AddPort(int nPort, const CPortEntry& entry)
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    if (m_comData.m_bRunning == 1 || m_bBusy || !CCOMData::IsPortIndex(nPort) || m_comData.GetUse(nPort) == 1)
        return 0;
    CPortEntry added = entry;
    added.m_bUse = 1;
    added.m_bEnable = 1;
    m_comData.SetEntry(nPort, added);
    ++m_comData.m_nEnableCount;
    m_rows.InsertRow(m_rows.GetRowCount(), CPortView::FromEntry(nPort, m_comData.GetEntry(nPort)));
    return 1;
}

int COmbraCtrlCore::ConfigPort(int nPort, const CPortEntry& entry)
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    if (m_comData.m_bRunning == 1 || m_bBusy || m_comData.GetUse(nPort) != 1)
        return 0;
    CPortEntry changed = entry;
    changed.m_bUse = m_comData.GetUse(nPort);
    changed.m_bEnable = m_comData.GetEnable(nPort);
    m_comData.SetEntry(nPort, changed);
    ChangePort(nPort, [&](CPortView& view) {
        const CPortView fresh = CPortView::FromEntry(nPort, changed);
        view.nMode = fresh.nMode;
        view.strAddress = fresh.strAddress;
        view.nPeerPort = fresh.nPeerPort;
        view.nLocalPort = fresh.nLocalPort;
    });
    return 1;
}

int COmbraCtrlCore::DeletePort(int nPort)
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    if (m_comData.m_bRunning == 1 || m_bBusy || m_comData.GetUse(nPort) != 1)
        return 0;
    const int bWasEnabled = m_comData.GetEnable(nPort);
    m_comData.SetUse(nPort, 0);
    m_comData.SetEnable(nPort, 0);
    if (bWasEnabled == 1)
        --m_comData.m_nEnableCount;
    m_rows.DeleteRow(m_rows.FindRow(nPort));
    return 1;
}

void COmbraCtrlCore::ScanSystemPorts()
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    m_comData.ScanSystemPorts(m_strSysRoot, GetPortDirectory(), [this](int nPort) {
        return m_ports[nPort].VirtualPort().IsCreated() == 1;
    });
}

int COmbraCtrlCore::IsAnyPortOpen() const
{
    for (int i = 0; i < PORT_COUNT; ++i)
        if (m_comData.GetOpen(i) == 1)
            return 1;
    return 0;
}

std::vector<int> COmbraCtrlCore::OpenPorts() const
{
    std::vector<int> vecOpen;
    for (int i = 0; i < PORT_COUNT; ++i)
        if (m_comData.GetOpen(i) == 1)
            vecOpen.push_back(i);
    return vecOpen;
}

void COmbraCtrlCore::ShowMessage(const std::string& strCaption, const std::string& strText)
{
    if (m_fnMessageBox)
        m_fnMessageBox(strCaption, strText);
}

void COmbraCtrlCore::NotifyRunState()
{
    if (m_fnRunStateChanged)
        m_fnRunStateChanged();
}

void COmbraCtrlCore::ReportWineLink(int nPort, int bLinked, const std::string& strText)
{
    if (m_fnWineLink)
        m_fnWineLink(nPort, bLinked, strText);
}

void COmbraCtrlCore::ReplacePort(int nPort, std::unique_ptr<COmbraPortAx> pPort)
{
    m_ports[nPort].ReplaceVirtualPort(std::move(pPort));
}

int COmbraCtrlCore::PostReport(int nCode, int nPort, std::string strText)
{
    return PostEntry({nCode, nPort, std::move(strText)});
}

int COmbraCtrlCore::PostEntry(_tag_postmsglist entry)
{
    return m_statusList.PostTo(std::move(entry), *m_pDispatcher, m_rows);
}

void COmbraCtrlCore::OnStatusNotify()
{
    NIMBREL_ASSERT_OWNER(m_pDispatcher->IsOwnerThread());
    m_statusList.DrainInto(m_rows);
}
