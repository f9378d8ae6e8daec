#include "core/bridge/CStartStop.h"

#include <chrono>
#include <vector>

#include "core/bridge/CDispatcher.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/engine/CSocketCtrl.h"
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

    // Rows belong to the owner thread: every look at them is a sent task.
    for (int nRow = 0; !m_bCancel; ++nRow)
    {
        const int nPort = dispatcher.Send([&core, nRow] {
            return nRow < core.m_rows.GetRowCount() ? core.m_rows.GetItemData(nRow) : -1;
        });
        if (nPort < 0)
            break;
        if (core.m_comData.GetUse(nPort) != 1 || core.m_comData.GetEnable(nPort) != 1)
            continue;
        if (nWhich == SEQUENCE_START)
            StartRow(nRow);
        else
            StopRow(nRow);
    }
    dispatcher.Post([this, nWhich] { OnSequenceDone(nWhich); });
}

void CStartStop::StartRow(int nRow)
{
    CPortOwner& core = *m_pCore;
    CDispatcher& dispatcher = core.GetDispatcher();
    int bCreated = 0;
    for (int nTry = 0; nTry < core.m_options.m_nCreateRetry && !m_bCancel; ++nTry)
    {
        bCreated = dispatcher.Send([this, nRow] { return OnCreatePort(nRow); });
        if (bCreated == 1)
            break;
        // A failure that waiting cannot mend ends this row now: the rows
        // after it should not wait out its attempts.
        if (dispatcher.Send([&core, nRow] {
                const int nPort = core.m_rows.GetItemData(nRow);
                return nPort >= 0 && core.GetPort(nPort).IsLastErrorFinal() ? 1 : 0;
            }) == 1)
            break;
        if (dispatcher.Send([this, nRow] { return OnCheckPort(nRow); }) == 1)
        {
            dispatcher.Send([this, &core, nRow] {
                const int nPort = core.m_rows.GetItemData(nRow);
                return nPort >= 0 ? OnDeletePort(nPort, 1) : 0;
            });
        }
        // Sleep in small steps so that a teardown is not held up.
        for (int nMs = 0; nMs < m_nRetryPauseMs && !m_bCancel; nMs += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, m_nRetryPauseMs - nMs)));
    }
    // The row's new state, in view: a long start shows its progress.
    dispatcher.Send([&core, nRow, bCreated] {
        const int nPort = core.m_rows.GetItemData(nRow);
        core.m_rows.Change(nRow, [&](CPortView& view) {
            view.create = bCreated == 1 ? ECreateState::Created : ECreateState::Error;
            // A created port's worker runs already and reports for itself.
            if (bCreated != 1 && nPort >= 0)
                view.strReason = core.GetPort(nPort).GetLastError();
        });
        core.m_rows.EnsureVisible(nRow);
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void CStartStop::StopRow(int nRow)
{
    CPortOwner& core = *m_pCore;
    CDispatcher& dispatcher = core.GetDispatcher();
    dispatcher.Send([this, &core, nRow] {
        const int nPort = core.m_rows.GetItemData(nRow);
        if (nPort >= 0)
            OnDeletePort(nPort, 0);
        core.m_rows.Change(nRow, [](CPortView& view) { view.create = ECreateState::None; });
        core.m_rows.EnsureVisible(nRow);
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int CStartStop::OnCreatePort(int nRow)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    const int nPort = core.m_rows.GetItemData(nRow);
    if (nPort < 0)
        return 0;
    COmbraPortAx& port = core.GetPort(nPort);
    port.SetWineLink(core.m_options.m_bWineDosDevices);
    if (!port.CreatePort(core.m_rows.GetItemText(nRow, COL_PORT)))
        return 0;
    // Created: whatever failed in an earlier run is over; the worker about
    // to start reports its own failures.
    core.m_rows.Change(nRow, [](CPortView& view) { view.strReason.clear(); });
    port.ConfigurePort(32, 16, 0, 0);
    port.SetLinkSignalB(0);
    port.SetLinkSignalA(0);
    port.SetAuxSignal(0);
    core.m_line[nPort].m_bLineOn = 0;
    if (!core.GetWorker(nPort).StartThread())
    {
        // A port whose worker does not run would leave an application's
        // close waiting forever: do not offer it.
        port.DeletePort();
        return 0;
    }
    const CWineLink& wine = port.GetWineLink();
    if (wine.GetState() != CWineLink::LINK_NONE)
        core.ReportWineLink(nPort, wine.GetState() == CWineLink::LINK_MADE ? 1 : 0, wine.GetReport());
    return 1;
}

int CStartStop::OnCheckPort(int nRow)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    const int nPort = core.m_rows.GetItemData(nRow);
    if (nPort < 0)
        return 0;
    return core.GetPort(nPort).PortExists(core.m_rows.GetItemText(nRow, COL_PORT)) ? 1 : 0;
}

int CStartStop::OnDeletePort(int nPort, int bSkipRelease)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    CPortOwner& core = *m_pCore;
    COmbraPortAx& port = core.GetPort(nPort);
    if (bSkipRelease != 1)
        port.ReleasePort();
    const int nResult = port.DeletePort();
    core.GetWorker(nPort).StopThread();
    return nResult;
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
