// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortEvents.h"

#include "core/bridge/CDispatcher.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/CPortTexts.h"
#include "core/model/OwnerCheck.h"

namespace
{

// The flow control a monitor line names: "RTS CTS XON/XOFF", "none".
std::string FlowText(uint32_t dwFlow)
{
    std::string str;
    const auto add = [&](uint32_t dwBit, const char* pName) {
        if (dwFlow & dwBit)
            str += (str.empty() ? "" : " ") + std::string(pName);
    };
    add(FLOW_RTS, "RTS");
    add(FLOW_CTS, "CTS");
    add(FLOW_DTR, "DTR");
    add(FLOW_XOUT, "XON/XOFF out");
    add(FLOW_XIN, "XON/XOFF in");
    return str.empty() ? "none" : str;
}

std::string LineText(long nDataBits, long nParity, long nStopBits)
{
    return std::to_string(nDataBits) + " data bits, parity " + CPortTexts::ParityText(nParity) + ", " +
           CPortTexts::StopBitsText(nStopBits) + " stop bits";
}

}  // namespace

int CPortEvents::PortOf(int nId)
{
    const int nPort = nId - COmbraPortAx::PORT_ID_BASE;
    return CCOMData::IsPortIndex(nPort) ? nPort : -1;
}

void CPortEvents::OnDataQueued(int nId, long nCount)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnDataQueued(nId, nCount); }))
        return;
    CPortOwner& core = *m_pCore;
    const uint32_t dwFlow = core.Line(i).m_dwFlowCtrl;
    int bHeld = 0;
    if ((dwFlow & FLOW_CTS) && core.Line(i).m_bCtsRaised == 1 && nCount >= CSocketCtrl::THROTTLE_LEVEL)
    {
        core.GetPort(i).SetCTS(0);
        core.Line(i).m_bCtsRaised = 0;
        core.GetWorker(i).CaptureEvent("CTS dropped: the application is held back");
        bHeld = 1;
    }
    if ((dwFlow & FLOW_XIN) && core.Line(i).m_bXonSent == 1 && nCount >= CSocketCtrl::THROTTLE_LEVEL)
    {
        const unsigned char chXoff = core.Line(i).m_chXoff;
        if (core.GetPort(i).WriteData(&chXoff, 1) == 1)
        {
            core.Line(i).m_bXonSent = 0;
            core.GetWorker(i).CaptureEvent("XOFF sent to the application");
            bHeld = 1;
        }
    }
    // The worker releases the application again; let it look from now on.
    if (bHeld)
        core.GetWorker(i).Wake();
}

void CPortEvents::OnDtrChanged(int nId, int bLevel)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnDtrChanged(nId, bLevel); }))
        return;
    m_pCore->Line(i).m_bDtrLine = bLevel ? 1 : 0;
}

void CPortEvents::OnRtsChanged(int nId, int bLevel)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnRtsChanged(nId, bLevel); }))
        return;
    m_pCore->Line(i).m_bRtsLine = bLevel ? 1 : 0;
}

void CPortEvents::OnOpenChanged(int nId, int bOpen)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0)
        return;
    CPortOwner& core = *m_pCore;
    // The flag follows the application at once, also while the event
    // itself waits for a close to complete: Stop and Exit read it.
    core.m_comData.SetOpen(i, bOpen ? 1 : 0);
    if (DeferWhileClosing(i, [this, nId, bOpen] { OnOpenChanged(nId, bOpen); }))
        return;
    CSocketCtrl& sock = core.GetWorker(i);
    const int nMode = core.m_comData.GetMode(i);
    sock.CaptureEvent(bOpen ? "The application opened the port" : "The application closed the port");

    if (bOpen)
    {
        if (m_bSessionGoesOn[static_cast<size_t>(i)])
        {
            m_bSessionGoesOn[static_cast<size_t>(i)] = 0;
            // The connection still carries this application's bytes, unless
            // the one it was kept for has left since, unseen by the watcher
            // (opened and closed between two of its looks): that one's
            // session ends first, and this one starts its own.
            if (!sock.SawApplicationGo())
                return;
            EndSession(i);
            core.m_comData.SetOpen(i, 1);
            if (DeferWhileClosing(i, [this, nId] { OnOpenChanged(nId, 1); }))
                return;
        }
        if (nMode == MODE_TCP_CLIENT)
        {
            core.ChangePort(i, [](CPortView& view) { view.connection = EConnectionState::Connecting; });
            sock.OnPortOpen();
        }
        else if (nMode == MODE_UDP)
        {
            sock.OnPortOpen();
        }
        return;
    }

    if ((nMode == MODE_TCP_CLIENT || nMode == MODE_UDP) && sock.KeepSessionForReopen())
    {
        // Closed and opened again between two reads of the worker: what the
        // new application wrote is on this connection already. Ending it
        // now would lose that; the session goes on.
        m_bSessionGoesOn[static_cast<size_t>(i)] = 1;
        return;
    }
    EndSession(i);
}

bool CPortEvents::DeferWhileClosing(int i, std::function<void()> fnEvent)
{
    if (!m_bClosing[static_cast<size_t>(i)])
        return false;
    m_vecDeferred[static_cast<size_t>(i)].push_back(std::move(fnEvent));
    return true;
}

void CPortEvents::EndSession(int i)
{
    CPortOwner& core = *m_pCore;
    CSocketCtrl& sock = core.GetWorker(i);
    const int nMode = core.m_comData.GetMode(i);
    // Whatever was kept is over with this close.
    m_bSessionGoesOn[static_cast<size_t>(i)] = 0;
    core.m_comData.SetOpen(i, 0);
    if ((nMode == MODE_TCP_CLIENT || nMode == MODE_UDP) && sock.GetState() != EWorkerState::Idle)
    {
        // Without a running thread nobody would ever bring the worker back
        // to idle: then the session ends here and now.
        if (sock.IsThreadRunning())
        {
            m_bClosing[static_cast<size_t>(i)] = 1;
            CDispatcher& dispatcher = core.GetDispatcher();
            sock.OnPortClose([this, i, &dispatcher] { dispatcher.Post([this, i] { OnCloseDone(i); }); });
            return;
        }
        sock.OnPortClose();
    }
    ClearSession(i);
}

void CPortEvents::OnCloseDone(int i)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    m_bClosing[static_cast<size_t>(i)] = 0;
    ClearSession(i);
    // The events that came meanwhile, in their order; one of them may start
    // the next close, and those after it wait again.
    std::vector<std::function<void()>> vecEvents;
    vecEvents.swap(m_vecDeferred[static_cast<size_t>(i)]);
    // A port deleted meanwhile (Stop, teardown) has no application left to
    // serve.
    if (!m_pCore->GetPort(i).IsCreated())
        return;
    for (const std::function<void()>& fnEvent : vecEvents)
        fnEvent();
}

void CPortEvents::ClearSession(int i)
{
    CPortOwner& core = *m_pCore;
    const int nMode = core.m_comData.GetMode(i);
    // The session is over, but not the reason of its failure, if any: the
    // user reads it after the program has given up and closed the port.
    if (nMode == MODE_TCP_CLIENT || nMode == MODE_UDP)
        core.ChangePort(i, [](CPortView& view) { view.connection = EConnectionState::NotConnect; });
    core.ChangePort(i, [](CPortView& view) {
        view.nBaudRate.reset();
        view.line.reset();
    });

    core.Line(i).Reset();
    core.GetPort(i).ResetPort();
}

void CPortEvents::ShowLineControl(int nPort, long nStopBits, long nParity, long nDataBits)
{
    m_pCore->ChangePort(nPort, [&](CPortView& view) { view.line = SLineControl{nDataBits, nParity, nStopBits}; });
}

void CPortEvents::OnLineControlChanged(int nId, long nStopBits, long nParity, long nDataBits)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnLineControlChanged(nId, nStopBits, nParity, nDataBits); }))
        return;
    m_pCore->GetWorker(i).CaptureEventOf([&] { return "Line control: " + LineText(nDataBits, nParity, nStopBits); });
    ShowLineControl(i, nStopBits, nParity, nDataBits);
}

void CPortEvents::OnHandFlowChanged(int nId, long nControlHandShake, long nFlowReplace, long, long)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnHandFlowChanged(nId, nControlHandShake, nFlowReplace, 0, 0); }))
        return;
    uint32_t dwFlow = 0;
    if (nControlHandShake & 0x03)
        dwFlow |= FLOW_DTR;
    if (nControlHandShake & 0x08)
        dwFlow |= FLOW_CTS;
    if (nFlowReplace & 0x01)
        dwFlow |= FLOW_XOUT;
    if (nFlowReplace & 0x02)
        dwFlow |= FLOW_XIN;
    if (nFlowReplace & 0xC0)
        dwFlow |= FLOW_RTS;
    m_pCore->Line(i).m_dwFlowCtrl = dwFlow;
    m_pCore->GetWorker(i).CaptureEventOf([&] { return "Flow control: " + FlowText(dwFlow); });
    m_pCore->GetPort(i).SetQueuedReports((dwFlow & (FLOW_CTS | FLOW_XIN)) != 0);
    m_pCore->GetWorker(i).Wake();
}

void CPortEvents::OnSpecialCharsChanged(int nId, long, long, long, long, long nXon, long nXoff)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnSpecialCharsChanged(nId, 0, 0, 0, 0, nXon, nXoff); }))
        return;
    m_pCore->Line(i).m_chXon = static_cast<unsigned char>(nXon & 0xFF);
    m_pCore->Line(i).m_chXoff = static_cast<unsigned char>(nXoff & 0xFF);
    m_pCore->GetWorker(i).CaptureEventOf(
        [&] { return "XON/XOFF characters: " + std::to_string(nXon & 0xFF) + "/" + std::to_string(nXoff & 0xFF); });
}

void CPortEvents::OnBaudRateChanged(int nId, long nBaudRate)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnBaudRateChanged(nId, nBaudRate); }))
        return;
    m_pCore->GetWorker(i).CaptureEventOf([&] { return "Baud rate: " + std::to_string(nBaudRate); });
    m_pCore->ChangePort(i, [&](CPortView& view) { view.nBaudRate = nBaudRate; });
}

void CPortEvents::OnCommStateChanged(int nId, const CPortDcb& dcb)
{
    NIMBREL_ASSERT_OWNER(m_pCore->GetDispatcher().IsOwnerThread());
    std::lock_guard<std::recursive_mutex> lock(m_csEvent);
    const int i = PortOf(nId);
    if (i < 0 || DeferWhileClosing(i, [=, this] { OnCommStateChanged(nId, dcb); }))
        return;
    CPortOwner& core = *m_pCore;
    core.ChangePort(i, [&](CPortView& view) { view.nBaudRate = static_cast<long>(dcb.BaudRate); });
    ShowLineControl(i, dcb.StopBits, dcb.Parity, dcb.ByteSize);

    uint32_t dwFlow = 0;
    if (dcb.fDtrControl == 1 || dcb.fDtrControl == 2)
        dwFlow |= FLOW_DTR;
    if (dcb.fOutxCtsFlow)
        dwFlow |= FLOW_CTS;
    if (dcb.fOutX)
        dwFlow |= FLOW_XOUT;
    if (dcb.fInX)
        dwFlow |= FLOW_XIN;
    if (dcb.fRtsControl == 1 || dcb.fRtsControl == 2)
        dwFlow |= FLOW_RTS;
    core.Line(i).m_dwFlowCtrl = dwFlow;
    core.GetPort(i).SetQueuedReports((dwFlow & (FLOW_CTS | FLOW_XIN)) != 0);
    core.Line(i).m_chXon = static_cast<unsigned char>(dcb.XonChar);
    core.Line(i).m_chXoff = static_cast<unsigned char>(dcb.XoffChar);
    CLineState& line = core.Line(i);
    line.m_nBaudRate = dcb.BaudRate;
    line.m_nDataBits = dcb.ByteSize;
    line.m_nParity = dcb.Parity;
    line.m_nStopBits = dcb.StopBits;
    line.m_nSettingsSeq.fetch_add(1);
    core.GetWorker(i).CaptureEventOf([&] {
        return "Serial settings: " + std::to_string(dcb.BaudRate) + " baud, " +
               LineText(dcb.ByteSize, dcb.Parity, dcb.StopBits) + ", flow control " + FlowText(dwFlow);
    });
    core.GetWorker(i).Wake();
}
