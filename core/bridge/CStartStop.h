// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class CPortOwner;
struct CPortView;
class CPortTable;

// The Start/Stop command: a short-lived sequencing thread walks the ports
// in the list's order and has the owner thread open (or close) each used
// and enabled one: its virtual port and its worker. It talks to the owner
// thread only by sent tasks and reports its end with a posted one.
class CStartStop
{
public:
    static constexpr int SEQUENCE_START = 0;
    static constexpr int SEQUENCE_STOP = 1;

    CStartStop(CPortOwner* pCore, CPortTable* pPorts) : m_pCore(pCore), m_pPorts(pPorts) {}
    ~CStartStop();

    CStartStop(const CStartStop&) = delete;
    CStartStop& operator=(const CStartStop&) = delete;

    // Owner thread: the Start/Stop button. Starts when stopped, stops when
    // started. Returns 0 when it did nothing (no enabled port, a sequence
    // already running) or refused (an enabled port is open: the refusal is
    // shown through the core's message box).
    int OnStartStop();

    // Owner thread: the sent and posted tasks of the sequence, for port
    // nPort: 1 when it was opened, its name is taken in the port
    // directory, the removal's result.
    int OnCreatePort(int nPort);
    int OnCheckPort(int nPort);
    int OnDeletePort(int nPort, int bSkipRelease);
    int OnSequenceDone(int nWhich);

    // Owner thread: waits for the sequencing thread, if any.
    void WaitSequence();
    // Any thread: a running sequence stops after the row it is on; used at
    // teardown.
    void Cancel() { m_bCancel = 1; }

    // Pause after a failed create attempt; tests shorten it.
    int m_nRetryPauseMs = 1000;

private:
    int StartSequence();
    void SequenceThread();
    void StartPort(int nPort);
    void StopPort(int nPort);
    // Owner thread: port nPort's row changed, and brought into view.
    void ShowChange(int nPort, const std::function<void(CPortView&)>& fnChange);

    CPortOwner* m_pCore;
    CPortTable* m_pPorts;
    std::thread m_hSeqThread;
    std::atomic<int> m_bCancel{0};
};
