// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "core/bridge/COmbraPortAx.h"
#include "core/bridge/CPortLink.h"
#include "core/engine/CCaptureRing.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CLineState.h"

class CPortHost;
class CPortOwner;

// One port of the program: its virtual serial port, its connection worker
// and the worker's link to the port, with the steps Start and Stop take on
// them. The port table holds
// 256 of these; the list's row shows the port's view. Owner thread, but
// where the parts say otherwise.
class CPort
{
public:
    CPort(int nPort, CPortHost* pHost, CPortOwner& owner);
    ~CPort();

    CPort(const CPort&) = delete;
    CPort& operator=(const CPort&) = delete;

    int Number() const { return m_nPort; }
    // "COMn": the name it takes in the port directory.
    std::string Name() const;

    COmbraPortAx& VirtualPort() { return *m_pVirtual; }
    const COmbraPortAx& VirtualPort() const { return *m_pVirtual; }
    CSocketCtrl& Worker() { return m_worker; }
    // Any thread: shared by the port's event handlers and its worker.
    CLineState& Line() { return m_line; }

    // Owner thread, once: the worker is joined to its link; until then it
    // does not start.
    void Bind();
    // Tests: a virtual port of their own in place of this one.
    void ReplaceVirtualPort(std::unique_ptr<COmbraPortAx> pVirtual);

    // Start's step: creates the virtual port (with the Wine link when
    // bWineLink) with its lines low and starts the worker. False when
    // either fails; the virtual port is not left behind without a worker,
    // since an application's close would then wait forever.
    bool Open(bool bWineLink);
    // Stop's step: the worker ends (after its drain) and the virtual port
    // goes; bRelease first lets go of an application that holds it.
    // Returns the removal's result.
    int Close(bool bRelease);
    // The end of the program: as Close, for a port in any state.
    void Shut();
    // Whether a COMn entry stands in the port directory now.
    bool NameTaken();

    // The ring the port's monitors read, made at the first call; the port
    // keeps it for its life, so its worker may hold on to it at any time.
    // Called by one caller at a time (CPortMonitor, under its lock).
    const std::shared_ptr<CCaptureRing>& CaptureRing();

private:
    const int m_nPort;
    CPortHost* m_pHost;
    std::unique_ptr<COmbraPortAx> m_pVirtual;
    // Before the worker: they outlive the worker's thread.
    std::shared_ptr<CCaptureRing> m_pCapture;
    CLineState m_line;
    CPortLink m_link;
    CSocketCtrl m_worker;
};
