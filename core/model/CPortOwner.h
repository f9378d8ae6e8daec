// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "core/model/CCOMData.h"
#include "core/model/CLineState.h"
#include "core/model/COptionSet.h"
#include "core/model/CPortRows.h"
#include "core/model/PortStatus.h"

class CDispatcher;
class COmbraPortAx;
class CSocketCtrl;

// What the port event handlers, the Start/Stop sequence and the workers'
// links to their ports (CPortLink) share with the owner of the ports, and
// the owner's few operations they call. The workers themselves never see
// it. COmbraCtrlCore is the program's one implementation; tests stand in
// small ones. Declared here, below the engine and the bridge, so that they
// never reach up to the front ends.
class CPortOwner
{
public:
    static constexpr int PORT_COUNT = 256;

    CPortOwner();
    virtual ~CPortOwner();

    CPortOwner(const CPortOwner&) = delete;
    CPortOwner& operator=(const CPortOwner&) = delete;

    // Any thread: one report for the port list: a status code with the
    // reason of a failure (empty: none; the reason shown stays or goes as
    // StatusClearsReason says), or STATUS_PEER with the peer's text.
    virtual int PostReport(int nCode, int nPort, std::string strText) = 0;
    int PostStatus(int nCode, int nPort, std::string strReason = {})
    {
        return PostReport(nCode, nPort, std::move(strReason));
    }
    int PostPeer(std::string strPeer, int nPort) { return PostReport(STATUS_PEER, nPort, std::move(strPeer)); }

    // The virtual port and the worker of port nPort: owner thread; the
    // port's link also calls GetPort for its worker.
    virtual COmbraPortAx& GetPort(int nPort) = 0;
    virtual CSocketCtrl& GetWorker(int nPort) = 0;
    // Any thread: port nPort's line state, shared by its event handlers
    // and its worker (see CLineState); the port owns it.
    virtual CLineState& Line(int nPort) = 0;
    // Runs work on the owner thread.
    virtual CDispatcher& GetDispatcher() = 0;

    // Owner thread. A message box with an OK button.
    virtual void ShowMessage(const std::string& strCaption, const std::string& strText) = 0;
    // Owner thread. m_bRunning or m_bBusy changed: buttons, progress window.
    virtual void NotifyRunState() = 0;
    // Owner thread. Port nPort was created with the Wine option on: whether
    // it got its comN link, in words ("linked as ...", "not linked: ...").
    virtual void ReportWineLink(int /*nPort*/, int /*bLinked*/, const std::string& /*strText*/) {}

    // Owner thread. Changes port nPort's row, when it has one.
    void ChangePort(int nPort, const std::function<void(CPortView&)>& fnChange);

    // The port table; its configuration changes only while stopped.
    CCOMData m_comData;
    // Options, written only while the ports are stopped.
    COptionSet m_options;
    // The port list's rows; owner thread only.
    CPortRows m_rows;


    // 1 while a Start or Stop sequence runs; read from any thread.
    std::atomic<int> m_bBusy{0};
    // 1 while the Start/Stop refusal is shown; owner thread.
    int m_bErrorBox = 0;
};
