// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/model/CPortRows.h"
#include "core/service/CPostMsgList.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/bridge/CPortTable.h"
#include "core/bridge/CPortEvents.h"
#include "core/bridge/CPortWatcher.h"
#include "core/bridge/CStartStop.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"

// The owner of all state of the running program and of the logic that runs
// on the owner thread: the port table and options, the 256 virtual ports
// and workers, the per-port line state, the status queue and the port list
// rows. The Qt window and the headless front end each own one and show its
// rows. Everything not marked otherwise is for the owner thread.
class COmbraCtrlCore : public CPortOwner
{
public:
    explicit COmbraCtrlCore(CDispatcher* pDispatcher);
    ~COmbraCtrlCore() override;

    COmbraCtrlCore(const COmbraCtrlCore&) = delete;
    COmbraCtrlCore& operator=(const COmbraCtrlCore&) = delete;

    // Starts watching the port directory (empty: the default one).
    int Init(const std::string& strPortDir, std::string* pError);
    // The options and all 256 entries take their defaults.
    void ResetSettings();
    // Builds the rows of the used entries, sets the line state to its
    // defaults and binds every worker to its port.
    void InitList();
    // The end of the program or of the session: a running Start/Stop
    // sequence is cancelled, every worker ended and every virtual port
    // removed. Call it once the dispatcher no longer runs tasks (a sequence
    // thread may be waiting for one).
    void Teardown();

    // Owner thread: a click on the check box of port nPort's row. Flips its
    // enable flag and the enabled count; 0 and nothing changed while the
    // ports run or a Start/Stop sequence runs, or for an unused entry.
    int ToggleEnable(int nPort);
    // Owner thread, while stopped: the port table's changes of the Add,
    // Config and Delete commands, with their rows. Each returns 1, or 0 and
    // changes nothing while the ports run or a Start/Stop sequence runs, for
    // an index outside 0..255, and as below.
    // AddPort: a new port nPort from entry's configuration (its use and
    // enable flags are ignored): used, enabled, counted, and a row appended.
    // 0 when nPort is used already.
    int AddPort(int nPort, const CPortEntry& entry);
    // ConfigPort: the configuration of used port nPort from entry (not its
    // use and enable flags), and its row's Mode, Peer and Local cells.
    int ConfigPort(int nPort, const CPortEntry& entry);
    // DeletePort: used port nPort becomes unused and not enabled (the count
    // drops when it was enabled) and loses its row; the rest of its entry
    // stays in the table.
    int DeletePort(int nPort);

    // Owner thread: the machine's serial ports into m_comData's system-port
    // marks (CCOMData::ScanSystemPorts), from m_strSysRoot and the port
    // directory; the ports this program created are not counted.
    void ScanSystemPorts();
    // Where the machine's devices are described; tests give a tree of
    // their own.
    std::string m_strSysRoot = "/sys";

    // Any thread: 1 when an application holds any virtual port open (Exit
    // is refused then).
    int IsAnyPortOpen() const;
    // Any thread: the ports an application holds open, in ascending order.
    std::vector<int> OpenPorts() const;

    // Front-end hooks, owner thread. A message box with an OK button.
    std::function<void(const std::string& strCaption, const std::string& strText)> m_fnMessageBox;
    // m_bRunning or m_bBusy changed: buttons, progress window.
    std::function<void()> m_fnRunStateChanged;
    // A created port's Wine link, linked or not (nimbreld prints it).
    std::function<void(int nPort, int bLinked, const std::string& strText)> m_fnWineLink;
    void ShowMessage(const std::string& strCaption, const std::string& strText) override;
    void NotifyRunState() override;
    void ReportWineLink(int nPort, int bLinked, const std::string& strText) override;

    // Owner thread, while stopped: the whole configuration at once. 0 and
    // nothing changed while the ports run or a sequence runs.
    int ApplyConfig(const COptionSet& options, const std::array<CPortEntry, PORT_COUNT>& entries);

    int PostReport(int nCode, int nPort, std::string strText) override;
    // Drains the status queue into the rows.
    void OnStatusNotify();
    // Any thread: appends a report; the first of a burst posts the drain.
    int PostEntry(_tag_postmsglist entry);

    COmbraPortAx& GetPort(int nPort) override { return m_ports[nPort].VirtualPort(); }
    CSocketCtrl& GetWorker(int nPort) override { return m_ports[nPort].Worker(); }
    CLineState& Line(int nPort) override { return m_ports[nPort].Line(); }
    CDispatcher& GetDispatcher() override { return *m_pDispatcher; }
    // Tests: stand a port of their own in for port nPort.
    void ReplacePort(int nPort, std::unique_ptr<COmbraPortAx> pPort);
    const std::string& GetPortDirectory() const { return m_watcher.GetPortDirectory(); }
    CDispatcher* m_pDispatcher;
    CPostMsgList m_statusList;

    CPortEvents m_events;
    CPortWatcher m_watcher;
    // After the watcher: every port's virtual port reports to it.
    CPortTable m_ports{&m_watcher, *this};
    CStartStop m_startStop{this, &m_ports};
};
