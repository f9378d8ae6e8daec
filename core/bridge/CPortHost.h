// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

class COmbraPortAx;

// What a virtual port needs of the one that watches it (CPortWatcher):
// where ports are linked, and where it reports what it saw. Declared apart
// so that a port and its watcher do not include each other.
class CPortHost
{
public:
    virtual ~CPortHost() = default;

    // Empty until the watcher has started.
    virtual const std::string& GetPortDirectory() const = 0;

    // Owner thread (COmbraPortAx::CreatePort / DeletePort).
    virtual void AddPort(COmbraPortAx* pPort, const std::string& strSlavePath, int hMaster) = 0;
    virtual void RemovePort(COmbraPortAx* pPort) = 0;
    // Any thread: whether a pseudo-terminal slave of that path belongs to a
    // port of this program that is created now.
    virtual bool IsOurSlave(const std::string& strSlavePath) = 0;

    // Worker thread (with the worker's lock, never the port's): the worker
    // saw the application hang up.
    virtual void ReportHangUp(COmbraPortAx* pPort) = 0;
    // Any thread, never blocks: the application's settings may have changed.
    virtual void SettingsMayHaveChanged(COmbraPortAx* pPort) = 0;
    // Any thread: the port's queued byte count grew.
    virtual void PostDataQueued(COmbraPortAx* pPort) = 0;
};
