// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/model/CCOMData.h"
#include "core/model/COptionSet.h"
#include "core/model/CPortEntry.h"
#include "core/model/CPortRows.h"

class CDispatcher;
class CMonitorTap;
class COmbraCtrlCore;
class CPortMonitor;
class CPortServiceEvents;

// The one door of the front ends (the window, its dialogs and nimbreld) to
// the ports: commands that change them and read-only looks at their state.
// The core behind it (the 256 virtual ports, their workers, the status
// queue, Start and Stop) stays private, so a front end cannot change a
// port table or an option set the workers read without the checks here.
// Owner thread throughout, but where marked.
class CPortService
{
public:
    static constexpr int PORT_COUNT = 256;

    // pDispatcher runs work on the owner thread; it outlives the service.
    explicit CPortService(CDispatcher* pDispatcher);
    ~CPortService();

    CPortService(const CPortService&) = delete;
    CPortService& operator=(const CPortService&) = delete;

    // Who hears messages and run-state changes (none: they are dropped),
    // and who shows the rows.
    void SetEvents(CPortServiceEvents* pEvents) { m_pEvents = pEvents; }
    void SetRowsListener(CPortRowsListener* pListener);

    // Starts watching the port directory (empty: the default one).
    bool Init(const std::string& strPortDir, std::string* pError);
    // The end: a running Start/Stop is cancelled, the workers ended and the
    // virtual ports removed. Call it once the dispatcher runs no more tasks.
    void Teardown();

    // The options and all entries back to their defaults.
    void ResetSettings();
    // The whole configuration at once; false and nothing changed while the
    // ports run or a Start/Stop runs.
    bool ApplyConfig(const COptionSet& options, const std::array<CPortEntry, PORT_COUNT>& entries);
    // The rows of the used entries; once, after the configuration.
    void ShowRows();

    // The port commands. Each is refused (false, nothing changed) while the
    // ports run or a Start/Stop runs, and as said for each.
    // A new port nPort (refused when it is used) from entry's configuration.
    bool AddPort(int nPort, const CPortEntry& entry);
    // The configuration of used port nPort.
    bool ConfigPort(int nPort, const CPortEntry& entry);
    // Used port nPort becomes unused and loses its row.
    bool DeletePort(int nPort);
    // Flips used port nPort's enable tick.
    bool ToggleEnable(int nPort);
    // New options.
    bool SetOptions(const COptionSet& options);
    // Start when stopped, Stop when started; ignored while one runs.
    void StartStop();
    // The machine's own serial ports into the table's system-port marks,
    // so that Add offers only free numbers.
    void ScanSystemPorts();

    const CPortRows& Rows() const;
    const CCOMData& Ports() const;
    const COptionSet& Options() const;
    CPortEntry Entry(int nPort) const;
    bool IsRunning() const;
    // Any thread.
    bool IsBusy() const;
    // The Start/Stop refusal is shown: the tray ignores its menu meanwhile.
    bool IsRefusalShown() const;
    // Any thread: the ports an application holds open, in ascending order.
    std::vector<int> OpenPorts() const;
    const std::string& PortDirectory() const;
    // Any thread: what port nPort's connection carried since Start, or
    // nothing when the port is not started.
    struct STraffic
    {
        uint64_t nSent = 0;
        uint64_t nReceived = 0;
    };
    std::optional<STraffic> Traffic(int nPort) const;
    // Any thread: a monitor of port nPort (null for no port number): what
    // crosses the port, as PollMonitors hands it on. The port captures
    // while a monitor of it is open.
    std::shared_ptr<CMonitorTap> OpenMonitor(int nPort);
    void CloseMonitor(const std::shared_ptr<CMonitorTap>& pTap);
    // Any thread, a reader's own (the window's timer, nimbreld's printer):
    // moves what the watched ports captured to their monitors.
    void PollMonitors();

    // Where the ports go when no directory is given.
    static std::string DefaultPortDirectory();

    // Tests and measurements only: the core behind the door.
    COmbraCtrlCore& CoreForTest() { return *m_pCore; }

private:
    std::unique_ptr<COmbraCtrlCore> m_pCore;
    // After the core: it lets go of the ports' rings first.
    std::unique_ptr<CPortMonitor> m_pMonitor;
    CPortServiceEvents* m_pEvents = nullptr;
};
