// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/CPortDcb.h"
#include "core/bridge/CPortHost.h"

class CDispatcher;
class CPortEventSink;
class COmbraPortAx;
struct termios;

// Watches every created virtual port on one thread and turns what the
// applications do into port events, delivered to the sink on the owner
// thread through the dispatcher:
// - open: inotify reports an open of the slave node; the master then no
//   longer reads as hung up;
// - close: the master hangs up (polled only while the slave is open, since a
//   hung-up master would report ready forever);
// - settings: packet mode reports a termios change of the application
//   (TIOCPKT_IOCTL, which needs EXTPROC on the slave). EXTPROC also turns off
//   the line discipline's own XON/XOFF handling, so while an application has
//   IXON set it is taken off and that port's termios is read every 500 ms.
class CPortWatcher : public CPortHost
{
public:
    static constexpr int SLOW_CHECK_MS = 500;

    // The dispatcher and the sink must outlive the watcher, and no task the
    // watcher posted may run after it is destroyed.
    CPortWatcher(CDispatcher* pDispatcher, CPortEventSink* pSink);
    ~CPortWatcher() override;

    CPortWatcher(const CPortWatcher&) = delete;
    CPortWatcher& operator=(const CPortWatcher&) = delete;

    // Owner thread. Prepares the port directory (empty: the default one)
    // and starts the thread. 0 with pError filled on failure.
    int Start(const std::string& strPortDir, std::string* pError);
    // Owner thread. Ends the thread; the ports stay as they are.
    void Stop();

    const std::string& GetPortDirectory() const override { return m_strPortDir; }

    // /run/nimbrel for root, else $XDG_RUNTIME_DIR/nimbrel, else
    // /tmp/nimbrel-<uid>.
    static std::string DefaultPortDirectory();
    // Creates the directory when missing; refuses a path that is not a
    // directory of ours.
    static int PrepareDirectory(const std::string& strDir, std::string* pError);

    // Owner thread (COmbraPortAx::CreatePort / DeletePort).
    void AddPort(COmbraPortAx* pPort, const std::string& strSlavePath, int hMaster) override;
    void RemovePort(COmbraPortAx* pPort) override;
    // Any thread: whether a pseudo-terminal slave of that path belongs to a
    // port of this program that is created now.
    bool IsOurSlave(const std::string& strSlavePath) override;

    // Worker thread (with the worker's lock, never the port's): the worker
    // saw the application hang up. Reported as a close (and an open when
    // the port is open again by now) unless already reported, so that a
    // close the watcher itself was too late to see still ends the session.
    void ReportHangUp(COmbraPortAx* pPort) override;

    // Any thread, never blocks on the watcher: the port saw a packet-mode
    // status byte, so the application's settings may have changed.
    void SettingsMayHaveChanged(COmbraPortAx* pPort) override;
    // Any thread: the port's queued byte count grew; posts one DataQueued
    // at a time.
    void PostDataQueued(COmbraPortAx* pPort) override;


private:
    struct SWatched
    {
        COmbraPortAx* pPort = nullptr;
        std::string strSlave;
        int nWd = -1;        // inotify watch of the slave node
        int hPoll = -1;      // our own duplicate of the master, for poll
        int bOpen = 0;       // open as last reported
        int bHaveDcb = 0;
        CPortDcb dcb;
        int bSlow = 0;       // IXON set: EXTPROC is off, poll termios
    };

    void Run();
    void Wake();
    // m_csPorts held.
    // bHangUpSeen: poll reported the master hung up, i.e. the slave was
    // closed, whatever its state now.
    void CheckOpen(SWatched& w, int bHangUpSeen);
    void CheckSettings(SWatched& w, int bForce);
    void PostOpen(int nId, int bOpen);

    CDispatcher* m_pDispatcher;
    CPortEventSink* m_pSink;
    std::string m_strPortDir;

    int m_hWake = -1;     // eventfd
    int m_hNotify = -1;   // inotify

    // Guards m_ports and m_vecToClose. Taken before a port's own I/O lock,
    // never after it.
    std::mutex m_csPorts;
    std::map<COmbraPortAx*, std::unique_ptr<SWatched>> m_ports;
    std::vector<int> m_vecToClose;

    std::thread m_thread;
    std::atomic<int> m_bQuit{0};
    std::atomic<int> m_bRunning{0};
};
