#pragma once

#include <atomic>
#include <string>
#include <thread>

class CPortOwner;

// The Start/Stop command: a short-lived sequencing thread walks the port
// list and has the owner thread create (or delete) each used and enabled
// port's virtual port and start (or end) its worker. It talks to the owner
// thread only by sent tasks and reports its end with a posted one.
class CStartStop
{
public:
    static constexpr int SEQUENCE_START = 0;
    static constexpr int SEQUENCE_STOP = 1;

    explicit CStartStop(CPortOwner* pCore) : m_pCore(pCore) {}
    ~CStartStop();

    CStartStop(const CStartStop&) = delete;
    CStartStop& operator=(const CStartStop&) = delete;

    // Owner thread: the Start/Stop button. Starts when stopped, stops when
    // started. Returns 0 when it did nothing (no enabled port, a sequence
    // already running) or refused (an enabled port is open: the refusal is
    // shown through the core's message box).
    int OnStartStop();

    // Owner thread: the sent and posted tasks of the sequence.
    int OnCreatePort(int nRow);
    int OnCheckPort(int nRow);
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
    void StartRow(int nRow);
    void StopRow(int nRow);

    CPortOwner* m_pCore;
    std::thread m_hSeqThread;
    std::atomic<int> m_bCancel{0};
};
