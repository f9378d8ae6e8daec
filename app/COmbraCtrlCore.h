#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "model/CPortRows.h"
#include "app/CPostMsgList.h"
#include "bridge/COmbraPortAx.h"
#include "bridge/CPortEvents.h"
#include "bridge/CPortWatcher.h"
#include "bridge/CStartStop.h"
#include "engine/CSocketCtrl.h"
#include "model/CCOMData.h"

class CDispatcher;

// Flow-control bits of m_dwFlowCtrl.
constexpr uint32_t FLOW_RTS = 0x01;   // the application's RTS gates data to it
constexpr uint32_t FLOW_CTS = 0x02;   // the bridge drops CTS to hold it back
constexpr uint32_t FLOW_DTR = 0x08;   // the application's DTR gates data to it
constexpr uint32_t FLOW_XOUT = 0x10;  // its XON/XOFF gate data to it
constexpr uint32_t FLOW_XIN = 0x20;   // the bridge sends it XON/XOFF

// The owner of all state of the running program and of the logic that runs
// on the owner thread: the port table and options, the 256 virtual ports
// and workers, the per-port line state, the status queue and the port list
// rows. The Qt window and the headless front end each own one and show its
// rows. Everything not marked otherwise is for the owner thread.
class COmbraCtrlCore
{
public:
    static constexpr int PORT_COUNT = 256;

    explicit COmbraCtrlCore(CDispatcher* pDispatcher);
    virtual ~COmbraCtrlCore();

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
    // Any thread: 1 when an application holds any virtual port open (Exit
    // is refused then).
    int IsAnyPortOpen() const;

    // Front-end hooks, owner thread. A message box with an OK button.
    std::function<void(const std::string& strCaption, const std::string& strText)> m_fnMessageBox;
    // m_bRunning or m_bBusy changed: buttons, progress window.
    std::function<void()> m_fnRunStateChanged;
    void ShowMessage(const std::string& strCaption, const std::string& strText);
    void NotifyRunState();

    // Any thread: queue a report for the port list.
    int PostStatus(int nCode, int nPort);
    int PostPeer(std::string strPeer, int nPort);
    // Drains the status queue into the rows.
    void OnStatusNotify();
    // Any thread: appends a report; the first of a burst posts the drain.
    int PostEntry(_tag_postmsglist entry);

    COmbraPortAx& GetPort(int nPort) { return *m_port[static_cast<size_t>(nPort)]; }
    // Tests: stand a port of their own in for port nPort.
    void ReplacePort(int nPort, std::unique_ptr<COmbraPortAx> pPort);
    CDispatcher* GetDispatcher() const { return m_pDispatcher; }
    const std::string& GetPortDirectory() const { return m_watcher.GetPortDirectory(); }
    // The characters and the five line flags back to their defaults (an
    // application closed the port); flow bits and line indication stay.
    void ResetLineState(int i);
    // Sets column nCol of port nPort's row, when it has one.
    void SetPortText(int nPort, int nCol, const std::string& strText);

    CDispatcher* m_pDispatcher;
    CCOMData m_comData;
    CPostMsgList m_statusList;

    // Options, written only while the ports are stopped.
    int m_nConnectTimeout = 10;
    int m_bReconnect = 0;
    int m_nReconnectTime = 0;
    std::string m_strUser;
    std::string m_strPassword;
    int m_nLoginChallenge = 3;
    int m_nLoginTimeout = 10;
    int m_nKeepAliveTime = 7200000;
    int m_nKeepAliveInterval = 1000;
    int m_nCreateRetry = 40;

    // Per-port line state, shared by the event handlers and the worker
    // without a common lock: every entry is one value written whole.
    template <typename T>
    using PerPort = std::array<std::atomic<T>, PORT_COUNT>;
    PerPort<uint32_t> m_dwFlowCtrl{};
    PerPort<unsigned char> m_chXon{};
    PerPort<unsigned char> m_chXoff{};
    PerPort<int> m_bXonState{};
    PerPort<int> m_bXonSent{};
    PerPort<int> m_bCtsRaised{};
    PerPort<int> m_bRtsLine{};
    PerPort<int> m_bDtrLine{};
    PerPort<int> m_bLineOn{};

    // 1 while a Start or Stop sequence runs.
    std::atomic<int> m_bBusy{0};
    // 1 while the Start/Stop refusal is shown.
    int m_bErrorBox = 0;

    CPortRows m_rows;
    CPortEvents m_events;
    CPortWatcher m_watcher;
    std::array<std::unique_ptr<COmbraPortAx>, PORT_COUNT> m_port;
    std::array<CSocketCtrl, PORT_COUNT> m_sock;
    CStartStop m_startStop{this};
};
