// SPDX-License-Identifier: Apache-2.0
#pragma once

// A small owner for worker tests: the shared state, a few real virtual
// ports with their watcher and event handlers, and the production Start
// step, without the program's core and its 256 workers. Reports go straight
// to the rows through the test's task loop.

#include <array>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/service/CPostMsgList.h"
#include "core/service/CTaskLoop.h"
#include "core/bridge/COmbraPortAx.h"
#include "core/bridge/CPortEvents.h"
#include "core/bridge/CPortTable.h"
#include "core/bridge/CPortWatcher.h"
#include "core/bridge/CStartStop.h"
#include "core/engine/CSocketCtrl.h"
#include "core/model/CPortOwner.h"
#include "core/model/PortStatus.h"

class CTestPortOwner : public CPortOwner
{
public:
    // Ports 0..TEST_PORTS-1 exist; a test uses no others.
    static constexpr int TEST_PORTS = 32;

    explicit CTestPortOwner(CTaskLoop* pLoop) : m_pLoop(pLoop)
    {
        // As the program does: a vanished peer must fail a TLS write, not
        // end the process.
        signal(SIGPIPE, SIG_IGN);
        for (int i = 0; i < TEST_PORTS; ++i)
        {
            m_ports[i].Bind();
        }
        m_rows.SetOwnerCheck([pLoop] { return pLoop->IsOwnerThread(); });
    }

    ~CTestPortOwner() override
    {
        Teardown();
        m_watcher.Stop();
    }

    int Init(const std::string& strPortDir, std::string* pError) { return m_watcher.Start(strPortDir, pError); }

    // Every worker ended before its port goes.
    void Teardown()
    {
        for (int i = 0; i < TEST_PORTS; ++i)
        {
            m_ports[i].Worker().StopThread();
            if (m_ports[i].VirtualPort().IsCreated())
                m_ports[i].VirtualPort().DeletePort();
        }
    }

    int PostReport(int nCode, int nPort, std::string strText) override
    {
        return m_statusList.PostTo({nCode, nPort, std::move(strText)}, *m_pLoop, m_rows);
    }

    COmbraPortAx& GetPort(int nPort) override { return m_ports[Index(nPort)].VirtualPort(); }
    CSocketCtrl& GetWorker(int nPort) override { return m_ports[Index(nPort)].Worker(); }
    CLineState& Line(int nPort) override { return m_ports[Index(nPort)].Line(); }
    CDispatcher& GetDispatcher() override { return *m_pLoop; }
    void ShowMessage(const std::string& strCaption, const std::string& strText) override
    {
        m_vecMessages.push_back(strCaption + ": " + strText);
    }
    void NotifyRunState() override {}

    CTaskLoop* m_pLoop;
    std::vector<std::string> m_vecMessages;
    // The program's own status queue, so that reports arrive in the same
    // bursts as in the program.
    CPostMsgList m_statusList;
    CPortEvents m_events{this};
    CPortWatcher m_watcher{m_pLoop, &m_events};
    // All 256, as the program has them; only the first TEST_PORTS are bound.
    CPortTable m_ports{&m_watcher, *this};
    CStartStop m_startStop{this, &m_ports};

private:
    static int Index(int nPort)
    {
        // A port the test did not provide is a broken test, not a fault to
        // survive.
        if (nPort < 0 || nPort >= TEST_PORTS)
            std::abort();
        return nPort;
    }
};
