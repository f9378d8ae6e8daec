// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CStartStop.h"

#include <chrono>
#include <vector>

#include "core/bridge/CDispatcher.h"
#include "core/bridge/CPortTable.h"
#include "core/model/CPortOwner.h"
#include "core/model/OwnerCheck.h"
#include "core/model/PortsInUse.h"

CStartStop::~CStartStop()
{
    m_bCancel = 1;
    if (m_hSeqThread.joinable())
        m_hSeqThread.join();
}

int CStartStop::OnStartStop()
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    if (core.m_bBusy)
        return 0;
    if (core.m_comData.m_bRunning == 0)
    {
        if (core.m_comData.m_nEnableCount == 0)
            return 0;
    }
    else
    {
        std::vector<int> vecOpen;
        for (int i = 0; i < CPortOwner::PORT_COUNT; ++i)
            if (core.m_comData.GetEnable(i) == 1 && core.m_comData.GetOpen(i) == 1)
                vecOpen.push_back(i);
        if (!vecOpen.empty())
        {
            core.m_bErrorBox = 1;
            core.ShowMessage("Error", PortsInUseMessage(vecOpen));
            core.m_bErrorBox = 0;
            return 0;
        }
    }
    core.m_bBusy = 1;
    core.NotifyRunState();
    if (!StartSequence())
    {
        core.m_bBusy = 0;
        core.NotifyRunState();
        return 0;
    }
    return 1;
}

int CStartStop::StartSequence()
{
    if (m_hSeqThread.joinable())
        return 0;
    m_bCancel = 0;
    try
    {
        m_hSeqThread = std::thread([this] { SequenceThread(); });
    }
    catch (const std::system_error&)
    {
        return 0;
    }
    return 1;
}

void CStartStop::WaitSequence()
{
    if (m_hSeqThread.joinable())
        m_hSeqThread.join();
}

void CStartStop::SequenceThread()
{
    CPortOwner& core = *m_pCore;
    CDispatcher& dispatcher = core.GetDispatcher();
    const int nWhich = core.m_comData.m_bRunning == 0 ? SEQUENCE_START : SEQUENCE_STOP;

    // The rows belong to the owner thread, so their order is taken there;
    // it cannot change while a sequence runs (the commands are refused).
    std::vector<int> vecOrder;
    dispatcher.Send([&core, &vecOrder] {
        for (int nRow = 0; nRow < core.m_rows.GetRowCount(); ++nRow)
            vecOrder.push_back(core.m_rows.GetItemData(nRow));
        return 0;
    });
    for (const int nPort : vecOrder)
    {
        if (m_bCancel)
            break;
        if (nPort < 0 || core.m_comData.GetUse(nPort) != 1 || core.m_comData.GetEnable(nPort) != 1)
            continue;
        if (nWhich == SEQUENCE_START)
            StartPort(nPort);
        else
            StopPort(nPort);
    }
    dispatcher.Post([this, nWhich] { OnSequenceDone(nWhich); });
}

void CStartStop::ShowChange(int nPort, const std::function<void(CPortView&)>& fnChange)
{
    CPortRows& rows = m_pCore->m_rows;
    const int nRow = rows.FindRow(nPort);
    if (nRow < 0)
        return;
    rows.Change(nRow, fnChange);
    rows.EnsureVisible(nRow);
}

void CStartStop::StartPort(int nPort)
{
    CPortOwner& core = *m_pCore;
    CDispatcher& dispatcher = core.GetDispatcher();
    CPort& port = (*m_pPorts)[nPort];
    int bCreated = 0;
    for (int nTry = 0; nTry < core.m_options.m_nCreateRetry && !m_bCancel; ++nTry)
    {
        bCreated = dispatcher.Send([this, nPort] { return OnCreatePort(nPort); });
        if (bCreated == 1)
            break;
        // A failure that waiting cannot mend ends this port now: the ports
        // after it should not wait out its attempts.
        if (dispatcher.Send([&port] { return port.VirtualPort().IsLastErrorFinal() ? 1 : 0; }) == 1)
            break;
        if (dispatcher.Send([this, nPort] { return OnCheckPort(nPort); }) == 1)
            dispatcher.Send([this, nPort] { return OnDeletePort(nPort, 1); });
        // Sleep in small steps so that a teardown is not held up.
        for (int nMs = 0; nMs < m_nRetryPauseMs && !m_bCancel; nMs += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, m_nRetryPauseMs - nMs)));
    }
    // The row's new state, in view: a long start shows its progress.
    dispatcher.Send([this, &port, nPort, bCreated] {
        ShowChange(nPort, [&](CPortView& view) {
            view.create = bCreated == 1 ? ECreateState::Created : ECreateState::Error;
            // A created port's worker runs already and reports for itself.
            if (bCreated != 1)
                view.strReason = port.VirtualPort().GetLastError();
        });
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void CStartStop::StopPort(int nPort)
{
    m_pCore->GetDispatcher().Send([this, nPort] {
        OnDeletePort(nPort, 0);
        ShowChange(nPort, [](CPortView& view) { view.create = ECreateState::None; });
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int CStartStop::OnCreatePort(int nPort)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    if (!CCOMData::IsPortIndex(nPort))
        return 0;
    CPort& port = (*m_pPorts)[nPort];
    core.Line(nPort).m_bLineOn = 0;
    if (!port.Open(core.m_options.m_bWineDosDevices == 1))
        return 0;
    // Opened: whatever failed in an earlier run is over; the worker now
    // running reports its own failures.
    core.ChangePort(nPort, [](CPortView& view) { view.strReason.clear(); });
    const CWineLink& wine = port.VirtualPort().GetWineLink();
    if (wine.GetState() != CWineLink::LINK_NONE)
        core.ReportWineLink(nPort, wine.GetState() == CWineLink::LINK_MADE ? 1 : 0, wine.GetReport());
    return 1;
}

int CStartStop::OnCheckPort(int nPort)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    return CCOMData::IsPortIndex(nPort) && (*m_pPorts)[nPort].NameTaken() ? 1 : 0;
}

int CStartStop::OnDeletePort(int nPort, int bSkipRelease)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    return (*m_pPorts)[nPort].Close(bSkipRelease != 1);
}

int CStartStop::OnSequenceDone(int nWhich)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    WaitSequence();
    core.m_comData.m_bRunning = nWhich == SEQUENCE_START ? 1 : 0;
    core.m_bBusy = 0;
    core.NotifyRunState();
    return 0;
}
