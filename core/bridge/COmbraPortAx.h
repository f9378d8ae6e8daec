// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "core/bridge/CWineLink.h"
#include "core/engine/CComPortOption.h"

class CPortHost;

// One virtual serial port: a pseudo-terminal whose slave is linked as
// "<port directory>/COMn". Applications open the link; the bridge reads
// and writes the master side. The watcher reports what the application does
// (open, close, termios changes) as port events.
//
// The methods are virtual so that tests can stand in a port of their own.
class COmbraPortAx
{
public:
    static constexpr int PORT_ID_BASE = 10001;
    static constexpr int STAGE_SIZE = 8192;
    // A worker takes at most this much a cycle (its block).
    static constexpr int REFILL_LEVEL = 1600;
    // DataQueued is reported from this count on: below it the handlers have
    // nothing to do, and a report per write would cost the owner thread a
    // task per cycle of every busy port.
    static constexpr long QUEUED_REPORT_LEVEL = 4096;

    COmbraPortAx();
    virtual ~COmbraPortAx();

    COmbraPortAx(const COmbraPortAx&) = delete;
    COmbraPortAx& operator=(const COmbraPortAx&) = delete;

    // Owner thread, once before any other call: the control id
    // (port index + 10001) and the watcher that reports this port's events.
    void Attach(int nId, CPortHost* pWatcher);
    int GetId() const { return m_nId; }

    // Owner thread. Creates the pty and its link; 0 when the name is taken
    // or the pty cannot be made. A link of that name left by an earlier run
    // of ours (see IsStaleLink) is replaced at once; any other entry of that
    // name is the user's and is never touched. The name is remembered either
    // way so that DeletePort can remove a leftover link of ours.
    virtual int CreatePort(const std::string& strName);
    // Owner thread: why the last CreatePort failed (empty after a success).
    const std::string& GetLastError() const { return m_strError; }
    // Owner thread: the last CreatePort failed for a reason that another
    // attempt cannot change (the name is taken by an entry not ours, no
    // port directory, a bad name), so retrying it only holds up the rest.
    bool IsLastErrorFinal() const { return m_bErrorFinal; }
    // Owner thread. Closes the pty and removes its link, and a leftover
    // link of ours of the last name given to CreatePort. What is not ours
    // stays.
    virtual int DeletePort();
    // Owner thread, before CreatePort: whether the port is also linked into
    // the Wine prefix (CWineLink), and how that went.
    void SetWineLink(int bOn) { m_bWineLink = bOn; }
    const CWineLink& GetWineLink() const { return m_wineLink; }

    // Owner thread. 1 when an entry of that name is in the port directory.
    virtual int PortExists(const std::string& strName);

    // Any thread. Hands bytes to the application; returns how many it took.
    virtual long WriteData(const unsigned char* pData, long nLength);
    // Worker thread. Takes up to nRoom bytes the application wrote.
    virtual long ReadData(unsigned char* pData, long nRoom);
    // Worker thread. Bytes the application wrote that are not yet taken:
    // all of them while its flow control is reported (SetQueuedReports),
    // else at least a worker's block of them when there are that many.
    virtual long BytesToRead();

    // A pty has no modem lines: these only record the level.
    virtual void SetLinkSignalA(int bOn) { m_bLinkA = bOn; }
    virtual void SetLinkSignalB(int bOn) { m_bLinkB = bOn; }
    virtual void SetCTS(int bOn) { m_bCts = bOn; }
    virtual void SetAuxSignal(int bOn) { m_bAux = bOn; }
    int GetLinkSignalA() const { return m_bLinkA; }
    int GetLinkSignalB() const { return m_bLinkB; }
    int GetCTS() const { return m_bCts; }

    // Worker thread: it saw the application hang up (see CPortWatcher).
    virtual void ReportHangUp();
    int GetAuxSignal() const { return m_bAux; }

    // Owner thread: whether DataQueued is wanted at all. Only a port whose
    // application can be held back (CTS or XON/XOFF towards it) acts on it;
    // for the others each report would only cost the owner thread a wake-up
    // in every cycle of a busy stream. On by default.
    void SetQueuedReports(int bOn);
    int GetQueuedReports() const { return m_bQueuedReports; }

    // Owner thread, after an application's close was handled.
    virtual void ResetPort();
    virtual void ReleasePort() {}
    void SetActive(int bActive) { m_bActive = bActive; }
    void ConfigurePort(long, long, long, long) {}

    // Worker thread: a descriptor to poll for the application's data
    // (POLLIN) and for room towards it (POLLOUT); -1 when there is none.
    // Valid until DeletePort.
    virtual int GetPollHandle() const;

    // Where applications open the port; empty while not created.
    std::string GetLinkPath() const;
    std::string GetSlavePath() const;
    int IsCreated() const;

    // Watcher thread. 1 while some application holds the slave open.
    virtual int IsSlaveOpen();
    // Watcher thread. Consumes a pending packet-mode status byte; returns
    // it (0 when there was none).
    int ReadControl();
    // Watcher thread. The application's termios; 0 when not created.
    int GetTermios(struct termios* pTermios);
    int SetTermios(const struct termios* pTermios);
    // Watcher thread. The application's baud rate as a number (also the
    // rates outside the B-constants); 0 when not created.
    unsigned int GetBaudRate();
    // Any thread. What DataQueued reports: bytes taken into the stage plus
    // what waits in the pty.
    long QueuedCount();

    // Worker thread. The flushes (CWorkerPort::FLUSH_...) the application
    // made since the last take, as the status bytes told them.
    unsigned TakeFlushes() { return m_nFlushes.exchange(0); }
    // Any thread: called (with the port's I/O lock held) when the watcher
    // finds a flush, so the worker hears of it without waiting for data.
    void SetFlushWake(std::function<void()> fnWake);
    // Worker thread. Sets the application's baud rate, data size, parity
    // and stop bits, as far as the pseudo-terminal keeps them, and tells
    // the watcher; returns the settings it has then (flow: none).
    CComPortOption::SSettings ApplySerialSettings(const CComPortOption::SSettings& settings);

private:
    friend class CPortWatcher;

    // A status byte other than data: settings may have changed, or the
    // application flushed.
    void NoteStatus(unsigned char byStatus);
    // m_csIo held. Pulls what the application wrote into the stage.
    void FillLocked();
    long KernelQueuedLocked() const;

    // Sets the reason of a failed create; returns 0.
    int Fail(std::string strReason, bool bFinal = false);
    // A symbolic link at strLink that an earlier run of ours left: it points
    // at a pseudo-terminal slave that no longer exists, or at one that a
    // port of this program holds now (the number was handed out again).
    bool IsStaleLink(const std::string& strLink) const;
    // strLink is a link to strTarget: removes it.
    static bool RemoveLinkTo(const std::string& strLink, const std::string& strTarget);

    int m_nId = 0;
    CPortHost* m_pWatcher = nullptr;
    std::string m_strError;  // owner thread: why the last create failed
    bool m_bErrorFinal = false;
    int m_bWineLink = 0;
    CWineLink m_wineLink;

    // Guards the master descriptor, the names and the stage: the worker
    // reads, the owner writes flow characters and deletes, the watcher
    // consumes status bytes.
    mutable std::mutex m_csIo;
    int m_hMaster = -1;
    std::string m_strName;
    std::string m_strLinkPath;
    std::string m_strSlavePath;
    // One byte ahead of the stage's bytes, for the status byte of a read.
    unsigned char m_stage[1 + STAGE_SIZE];
    int m_nStageOut = 0;
    int m_nStageCount = 0;
    long m_nLastReported = 0;

    std::atomic<int> m_bLinkA{0};
    std::atomic<int> m_bLinkB{0};
    std::atomic<int> m_bCts{1};
    std::atomic<int> m_bAux{0};
    std::atomic<int> m_bActive{0};

    // Set without the watcher's lock, since the worker sets them while it
    // holds m_csIo.
    std::atomic<int> m_bSettingsDirty{0};
    std::atomic<int> m_bQueuedPosted{0};
    std::atomic<int> m_bQueuedReports{1};
    std::atomic<unsigned> m_nFlushes{0};
    std::function<void()> m_fnFlushWake;  // m_csIo
};
