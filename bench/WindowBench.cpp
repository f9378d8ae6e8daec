// SPDX-License-Identifier: Apache-2.0
// The window's own costs, measured on the real window (COmbraCtrlDlg, its
// port list and model) over 256 real virtual ports:
//   burst  every port reports "Connecting", then "Connected" (or "Not
//          Connect") and a peer, from 256 worker-like threads through the
//          core's PostStatus/PostPeer; the time from the first post until
//          the list has repainted the changes;
//   start  Start and Stop of 256 enabled client ports (127.0.0.1 port 1:
//          a client dials only when a program opens its port, so nothing
//          leaves the machine), pressed on the button, until the button is
//          back; and the longest the window's event loop was held meanwhile;
//   monitorburst  the bursts again while a monitor window shows COM1's
//          capture at more than a port's full speed (a writer thread fills
//          COM1's ring with 1600-byte bursts, about 100 MB/s);
//   idle   the process's CPU time, the window thread's, and every thread's
//          wake-ups (voluntary context switches) while the window sits over
//          256 started ports; the timers running in the window.
// Prints one line per measurement, its figures as key=value.
//
// Usage: nimbrel_bench_window [--bursts N] [--cycles N] [--idle-seconds S]
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include "core/engine/CCaptureRing.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/widgets/CMonitorView.h"
#include "gui/window/CMonitorDlg.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "core/service/COmbraCtrlCore.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListCtrl.h"

namespace
{

constexpr int PORTS = COmbraCtrlCore::PORT_COUNT;

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Ms(double dSeconds)
{
    return dSeconds * 1000.0;
}

double Median(std::vector<double> vec)
{
    if (vec.empty())
        return 0.0;
    std::sort(vec.begin(), vec.end());
    const size_t n = vec.size();
    return n % 2 == 1 ? vec[n / 2] : (vec[n / 2 - 1] + vec[n / 2]) / 2.0;
}

// The value that 95 of every 100 stay at or below (nearest rank).
double P95(std::vector<double> vec)
{
    if (vec.empty())
        return 0.0;
    std::sort(vec.begin(), vec.end());
    const size_t nRank = (vec.size() * 95 + 99) / 100;
    return vec[std::max<size_t>(nRank, 1) - 1];
}

double Max(const std::vector<double>& vec)
{
    return vec.empty() ? 0.0 : *std::max_element(vec.begin(), vec.end());
}

double ThreadCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double CpuSeconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Context switches of one thread (voluntary ones are its wake-ups from a
// wait), from /proc/self/task/TID/status.
long Switches(const std::string& strTid, bool bVoluntary)
{
    std::ifstream in("/proc/self/task/" + strTid + "/status");
    const std::string strKey = bVoluntary ? "voluntary_ctxt_switches:" : "nonvoluntary_ctxt_switches:";
    std::string strLine;
    while (std::getline(in, strLine))
        if (strLine.rfind(strKey, 0) == 0)
            return std::atol(strLine.c_str() + strKey.size());
    return 0;
}

std::vector<std::string> Threads()
{
    std::vector<std::string> vec;
    if (DIR* pDir = opendir("/proc/self/task"))
    {
        while (dirent* pEnt = readdir(pDir))
            if (pEnt->d_name[0] != '.')
                vec.emplace_back(pEnt->d_name);
        closedir(pDir);
    }
    return vec;
}

// Nanoseconds each thread has run, by thread id (/proc/self/task/TID/schedstat).
std::map<std::string, long long> ThreadsRunTime()
{
    std::map<std::string, long long> times;
    for (const std::string& strTid : Threads())
    {
        std::ifstream in("/proc/self/task/" + strTid + "/schedstat");
        long long nNs = 0;
        if (in >> nNs)
            times[strTid] = nNs;
    }
    return times;
}

// The threads other than the two named that ran 0.05 ms or more between two
// looks, with their time.
std::string BusyThreads(const std::map<std::string, long long>& before, const std::map<std::string, long long>& after,
                        const std::string& strSkip1, const std::string& strSkip2)
{
    std::string str;
    for (const auto& [strTid, nNs] : after)
    {
        if (strTid == strSkip1 || strTid == strSkip2)
            continue;
        const auto it = before.find(strTid);
        const long long nDelta = nNs - (it == before.end() ? 0 : it->second);
        if (nDelta >= 50000)
        {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "%s:%.2fms ", strTid.c_str(), nDelta / 1e6);
            str += sz;
        }
    }
    return str;
}

// Voluntary switches of every thread but the main one and strSkip, by
// thread id.
std::map<std::string, long> OtherThreadsSwitches(const std::string& strMain, const std::string& strSkip)
{
    std::map<std::string, long> counts;
    for (const std::string& strTid : Threads())
        if (strTid != strMain && strTid != strSkip)
            counts[strTid] = Switches(strTid, true);
    return counts;
}

// Wake-ups between two looks, summed over the threads seen both times;
// threads that came or went in between are counted apart.
long WakeupsBetween(const std::map<std::string, long>& before, const std::map<std::string, long>& after,
                    int* pnCame, int* pnWent, std::string* pstrWho)
{
    long nSum = 0;
    *pnCame = 0;
    *pnWent = 0;
    for (const auto& [strTid, nCount] : after)
    {
        const auto it = before.find(strTid);
        if (it == before.end())
        {
            ++*pnCame;
            continue;
        }
        if (nCount != it->second)
        {
            std::ifstream comm("/proc/self/task/" + strTid + "/comm");
            std::string strName;
            std::getline(comm, strName);
            *pstrWho += strTid + "(" + strName + ")+" + std::to_string(nCount - it->second) + " ";
        }
        nSum += nCount - it->second;
    }
    for (const auto& entry : before)
        *pnWent += after.count(entry.first) == 0 ? 1 : 0;
    return nSum;
}

int CountLinks(const std::string& strDir)
{
    int n = 0;
    if (DIR* pDir = opendir(strDir.c_str()))
    {
        while (dirent* pEnt = readdir(pDir))
            n += std::string(pEnt->d_name).rfind("COM", 0) == 0 ? 1 : 0;
        closedir(pDir);
    }
    return n;
}

// Counts the paint events of the list's viewport and notes the last one.
class CPaintWatch : public QObject
{
public:
    bool eventFilter(QObject* pObj, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint)
        {
            ++m_nPaints;
            m_dLastPaint = Now();
        }
        return QObject::eventFilter(pObj, pEvent);
    }
    int m_nPaints = 0;
    double m_dLastPaint = 0.0;
};

// 256 threads that stand in for the workers: released together, each
// reports for its own port.
class CPosters
{
public:
    explicit CPosters(COmbraCtrlCore* pCore) : m_pCore(pCore)
    {
        for (int i = 0; i < PORTS; ++i)
            m_vecThreads.emplace_back([this, i] { Run(i); });
        // Every thread waits for the first release before the first one comes.
        while (m_nReady.load() < PORTS)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~CPosters()
    {
        m_bStop = 1;
        m_nGeneration.fetch_add(1);
        m_nGeneration.notify_all();
        for (std::thread& t : m_vecThreads)
            t.join();
    }

    // Releases every thread for one burst; bConnected picks its reports.
    void Release(int bConnected)
    {
        m_bConnected = bConnected;
        m_nPosted = 0;
        m_dFirstPost = 0.0;
        m_nGeneration.fetch_add(1);
        m_nGeneration.notify_all();
    }

    int Posted() const { return m_nPosted.load(); }
    double FirstPost() const { return m_dFirstPost.load(); }

private:
    void Run(int nPort)
    {
        int nSeen = m_nGeneration.load();
        m_nReady.fetch_add(1);
        for (;;)
        {
            m_nGeneration.wait(nSeen);
            nSeen = m_nGeneration.load();
            if (m_bStop)
                return;
            double dZero = 0.0;
            m_dFirstPost.compare_exchange_strong(dZero, Now());
            m_pCore->PostStatus(STATUS_CONNECTING, nPort);
            if (m_bConnected)
            {
                m_pCore->PostStatus(STATUS_CONNECTED, nPort);
                m_pCore->PostPeer("10.0." + std::to_string(nPort / 100) + "." + std::to_string(nPort % 100) + ":" +
                                      std::to_string(40000 + nPort),
                                  nPort);
            }
            else
            {
                m_pCore->PostStatus(STATUS_NOT_CONNECT, nPort);
                m_pCore->PostPeer("", nPort);
            }
            m_nPosted.fetch_add(3);
        }
    }

    COmbraCtrlCore* m_pCore;
    std::vector<std::thread> m_vecThreads;
    std::atomic<int> m_nGeneration{0};
    std::atomic<int> m_nReady{0};
    std::atomic<int> m_bStop{0};
    std::atomic<int> m_bConnected{0};
    std::atomic<int> m_nPosted{0};
    std::atomic<double> m_dFirstPost{0.0};
};

bool QueueIdle(COmbraCtrlCore& core)
{
    return core.m_statusList.IsIdle();
}

// Runs the event loop until pred holds or nMs pass; notes the longest time
// the loop spent in one round (the window held up) in *pdLongest.
bool RunUntil(const std::function<bool()>& pred, int nMs, double* pdLongest = nullptr)
{
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(nMs);
    while (!pred() && guard.isActive())
    {
        const double d0 = Now();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (pdLongest != nullptr)
            *pdLongest = std::max(*pdLongest, Now() - d0);
    }
    return pred();
}

}  // namespace

int main(int argc, char** argv)
{
    int nBursts = 200;
    int nCycles = 3;
    int nIdleSeconds = 10;
    for (int k = 1; k + 1 < argc; k += 2)
    {
        const std::string strArg = argv[k];
        const int nValue = std::atoi(argv[k + 1]);
        if (strArg == "--bursts")
            nBursts = std::max(1, nValue);
        else if (strArg == "--cycles")
            nCycles = std::max(1, nValue);
        else if (strArg == "--idle-seconds")
            nIdleSeconds = std::max(1, nValue);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    char szDir[] = "/tmp/nimbrel-bench-window-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    const std::string strDir = szDir;
    const std::string strConfig = strDir + "/nimbrel.ini";
    const std::string strPorts = strDir + "/ports";
    // The window at its start size, the user's saved one left alone.
    qputenv("NIMBREL_WINDOW_STATE", QByteArray::fromStdString(strDir + "/window.ini"));
    {
        std::ofstream out(strConfig);
        for (int i = 0; i < PORTS; ++i)
            out << "[COM" << i + 1 << "]\nEnable=1\nMode=client\nIPAddress=127.0.0.1\nPeerPort=1\n";
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int nResult = 0;
    std::string strBoxes;
    CMessageBox::s_fnAnswer = [&strBoxes](const QString&, const QString& strText) {
        strBoxes += strText.toStdString() + "; ";
    };
    {
        COmbraCtrlDlg dlg;
        if (!dlg.OnInitDialog(CStartup::Parse({"--config", strConfig, "--port-dir", strPorts}, false)))
        {
            std::fprintf(stderr, "the window did not start: %s\n", strBoxes.c_str());
            return 1;
        }
        dlg.OnInitList();
        dlg.show();
        COmbraCtrlCore& core = dlg.GetService().CoreForTest();
        auto* pList = dlg.findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        auto* pStart = dlg.findChild<QPushButton*>(QStringLiteral("m_btnStartStop"));
        RunUntil([&] { return dlg.windowHandle() != nullptr && dlg.windowHandle()->isExposed(); }, 5000);
        RunUntil([] { return false; }, 200);
        std::printf("setup platform=%s rows=%d visible_rows=%d\n", qPrintable(QGuiApplication::platformName()),
                    dlg.GetModel()->rowCount(), pList->viewport()->height() / pList->RowHeight());

        // ---- Bursts of reports ----
        CPaintWatch paints;
        pList->viewport()->installEventFilter(&paints);
        // The last change of any cell, and of a cell on screen (only those
        // need painting).
        double dLastChange = 0.0;
        double dLastShownChange = 0.0;
        int nChanges = 0;
        QObject::connect(dlg.GetModel(), &QAbstractItemModel::dataChanged,
                         [&](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                             dLastChange = Now();
                             ++nChanges;
                             const QRect rc = pList->visualRect(topLeft).united(pList->visualRect(bottomRight));
                             if (rc.intersects(pList->viewport()->rect()))
                                 dLastShownChange = dLastChange;
                         });
        std::vector<double> vecTotal, vecDrained, vecFullPaint, vecSignals, vecPaints;
        int nFailed = 0;
        {
            CPosters posters(&core);
            for (int nBurst = 0; nBurst < nBursts + 5; ++nBurst)
            {
                const int bConnected = nBurst % 2 == 0;
                const QString strWant = bConnected ? QStringLiteral("Connected") : QStringLiteral("Not Connect");
                nChanges = 0;
                const int nPaints0 = paints.m_nPaints;
                posters.Release(bConnected);
                const bool bDone = RunUntil(
                    [&] {
                        if (posters.Posted() != 3 * PORTS || !QueueIdle(core))
                            return false;
                        // What an update() left pending is painted now.
                        QCoreApplication::sendPostedEvents();
                        return paints.m_dLastPaint >= dLastShownChange;
                    },
                    10000);
                const double dEnd = Now();
                const bool bRight = dlg.GetModel()->index(PORTS - 1, COL_CONNECTION).data().toString() == strWant &&
                                    dlg.GetModel()->index(0, COL_CONNECTION).data().toString() == strWant;
                if (!bDone || !bRight)
                {
                    std::printf("error burst=%d done=%d right=%d posted=%d idle=%d last_paint=%.6f last_shown_change=%.6f\n",
                                nBurst, bDone, bRight, posters.Posted(), QueueIdle(core), paints.m_dLastPaint,
                                dLastShownChange);
                    ++nFailed;
                    continue;
                }
                // The first five warm up (the pictures are rendered once).
                if (nBurst < 5)
                    continue;
                vecTotal.push_back(Ms(dEnd - posters.FirstPost()));
                vecDrained.push_back(Ms(dLastChange - posters.FirstPost()));
                vecSignals.push_back(nChanges);
                vecPaints.push_back(paints.m_nPaints - nPaints0);
                // The cost of painting the whole visible list once.
                const double dPaint0 = Now();
                pList->viewport()->repaint();
                vecFullPaint.push_back(Ms(Now() - dPaint0));
            }
        }

        // The same burst queued whole before the window looks (as when the
        // window thread was busy): the window's own share, the drain of 768
        // reports into the list and the repaint.
        std::vector<double> vecQueued, vecQueuedDrain;
        for (int nBurst = 0; nBurst < nBursts + 5; ++nBurst)
        {
            const int bConnected = nBurst % 2 == 0;
            for (int nPort = 0; nPort < PORTS; ++nPort)
            {
                core.PostStatus(STATUS_CONNECTING, nPort);
                core.PostStatus(bConnected ? STATUS_CONNECTED : STATUS_NOT_CONNECT, nPort);
                core.PostPeer(bConnected ? "10.0.0." + std::to_string(nPort) + ":4000" : "", nPort);
            }
            const double d0 = Now();
            const bool bDone = RunUntil(
                [&] {
                    if (!QueueIdle(core))
                        return false;
                    QCoreApplication::sendPostedEvents();
                    return paints.m_dLastPaint >= dLastShownChange;
                },
                10000);
            const double dEnd = Now();
            if (!bDone)
            {
                ++nFailed;
                continue;
            }
            if (nBurst < 5)
                continue;
            vecQueued.push_back(Ms(dEnd - d0));
            vecQueuedDrain.push_back(Ms(dLastChange - d0));
        }

        // The bursts again while a monitor shows a stream faster than any
        // port's: its repaints must not stretch the list's.
        std::vector<double> vecMonitor;
        int nMonitorLines = 0;
        double dFedMb = 0.0;
        double dFedSeconds = 0.0;
        {
            dlg.OpenMonitor(0);
            CMonitorDlg* pMonitor = dlg.GetMonitorDlgs().first();
            const std::shared_ptr<CCaptureRing> pRing = core.m_ports[0].CaptureRing();
            std::atomic<bool> bStop{false};
            std::atomic<uint64_t> nFed{0};
            const double dFed0 = Now();
            std::thread feeder([&] {
                unsigned char buf[1600];
                for (size_t k = 0; k < sizeof(buf); ++k)
                    buf[k] = static_cast<unsigned char>(k * 7);
                while (!bStop)
                {
                    for (int k = 0; k < 64; ++k)
                        pRing->PutNoWait(k % 2 ? ECapture::FromPeer : ECapture::ToPeer, buf, sizeof(buf));
                    nFed += 64 * sizeof(buf);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            RunUntil([] { return false; }, 300);
            CPosters posters(&core);
            for (int nBurst = 0; nBurst < nBursts + 5; ++nBurst)
            {
                const int bConnected = nBurst % 2 == 0;
                posters.Release(bConnected);
                const bool bDone = RunUntil(
                    [&] {
                        if (posters.Posted() != 3 * PORTS || !QueueIdle(core))
                            return false;
                        QCoreApplication::sendPostedEvents();
                        return paints.m_dLastPaint >= dLastShownChange;
                    },
                    10000);
                const double dEnd = Now();
                if (!bDone)
                {
                    ++nFailed;
                    continue;
                }
                if (nBurst >= 5)
                    vecMonitor.push_back(Ms(dEnd - posters.FirstPost()));
            }
            bStop = true;
            feeder.join();
            dFedSeconds = Now() - dFed0;
            dFedMb = static_cast<double>(nFed.load()) / 1e6;
            nMonitorLines = pMonitor->View()->LineCount();
            pMonitor->close();
            RunUntil([&] { return dlg.GetMonitorDlgs().isEmpty(); }, 5000);
        }
        std::printf("monitorburst reports=%d bursts=%zu repainted_ms_p50=%.2f repainted_ms_p95=%.2f "
                    "repainted_ms_max=%.2f fed_mb_per_s=%.0f monitor_lines=%d\n",
                    3 * PORTS, vecMonitor.size(), Median(vecMonitor), P95(vecMonitor), Max(vecMonitor),
                    dFedSeconds > 0 ? dFedMb / dFedSeconds : 0.0, nMonitorLines);

        pList->viewport()->removeEventFilter(&paints);
        std::printf("queued reports=%d bursts=%zu repainted_ms_p50=%.3f repainted_ms_p95=%.3f "
                    "repainted_ms_max=%.3f drain_ms_p50=%.3f drain_ms_p95=%.3f drain_ms_max=%.3f\n",
                    3 * PORTS, vecQueued.size(), Median(vecQueued), P95(vecQueued), Max(vecQueued),
                    Median(vecQueuedDrain), P95(vecQueuedDrain), Max(vecQueuedDrain));
        std::printf("burst reports=%d bursts=%zu failed=%d repainted_ms_p50=%.2f repainted_ms_p95=%.2f "
                    "repainted_ms_max=%.2f last_cell_ms_p50=%.2f last_cell_ms_p95=%.2f last_cell_ms_max=%.2f "
                    "full_list_repaint_ms_p50=%.2f full_list_repaint_ms_max=%.2f datachanged_per_burst=%.0f "
                    "paints_per_burst_p50=%.0f paints_per_burst_max=%.0f\n",
                    3 * PORTS, vecTotal.size(), nFailed, Median(vecTotal), P95(vecTotal), Max(vecTotal),
                    Median(vecDrained), P95(vecDrained), Max(vecDrained), Median(vecFullPaint), Max(vecFullPaint),
                    Median(vecSignals), Median(vecPaints), Max(vecPaints));
        if (nFailed > 0)
            nResult = 1;

        // ---- Start and Stop ----
        std::vector<double> vecStart, vecStop, vecStartHeld, vecStopHeld;
        for (int nCycle = 0; nCycle <= nCycles && nResult == 0; ++nCycle)
        {
            double dHeld = 0.0;
            double d0 = Now();
            pStart->click();
            bool bOk = RunUntil([&] { return pStart->isEnabled() && pStart->text() == QStringLiteral("Stop"); }, 60000,
                                &dHeld);
            const double dStart = Now() - d0;
            int nCreated = 0;
            for (int nRow = 0; nRow < PORTS; ++nRow)
                nCreated += dlg.GetModel()->index(nRow, COL_CREATE).data().toString() == QStringLiteral("Created");
            const int nLinks = CountLinks(strPorts);
            if (!bOk || nCreated != PORTS || nLinks != PORTS)
            {
                std::printf("error start created=%d links=%d boxes=%s\n", nCreated, nLinks, strBoxes.c_str());
                nResult = 1;
                break;
            }
            vecStart.push_back(dStart);
            vecStartHeld.push_back(Ms(dHeld));
            if (nCycle == nCycles)
                break;  // stays started for the idle measurement

            dHeld = 0.0;
            d0 = Now();
            pStart->click();
            bOk = RunUntil([&] { return pStart->isEnabled() && pStart->text() == QStringLiteral("Start"); }, 60000,
                           &dHeld);
            vecStop.push_back(Now() - d0);
            vecStopHeld.push_back(Ms(dHeld));
            if (!bOk || CountLinks(strPorts) != 0)
            {
                std::printf("error stop links=%d\n", CountLinks(strPorts));
                nResult = 1;
                break;
            }
        }
        std::printf("startstop ports=%d starts=%zu start_s_p50=%.3f start_s_max=%.3f start_loop_held_ms_max=%.1f "
                    "stops=%zu stop_s_p50=%.3f stop_s_max=%.3f stop_loop_held_ms_max=%.1f\n",
                    PORTS, vecStart.size(), Median(vecStart), Max(vecStart), Max(vecStartHeld), vecStop.size(),
                    Median(vecStop), Max(vecStop), Max(vecStopHeld));

        // ---- Idle with 256 started ports ----
        if (nResult == 0)
        {
            RunUntil([] { return false; }, 1000);
            const std::string strMain = std::to_string(syscall(SYS_gettid));
            // Timers of the window and everything in it.
            int nTimers = 0;
            std::string strTimers;
            QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance();
            QList<QObject*> objects = dlg.findChildren<QObject*>();
            objects.append(&dlg);
            objects.append(&app);
            for (QObject* pObj : objects)
                for (const auto& timer : pDispatcher->registeredTimers(pObj))
                {
                    ++nTimers;
                    strTimers += std::string(pObj->metaObject()->className()) + "/" + std::to_string(timer.interval) + "ms ";
                }

            // The end comes from a thread of the measurement's own, as one
            // posted event: a timer of the window's thread can wake it twice
            // (its wait is rounded to whole milliseconds).
            QEventLoop loop;
            std::atomic<long> nStopperTid{0};
            std::atomic<int> bGo{0};
            std::thread stopper([&] {
                nStopperTid = syscall(SYS_gettid);
                bGo.wait(0);
                std::this_thread::sleep_for(std::chrono::seconds(nIdleSeconds));
                QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
            });
            while (nStopperTid == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::string strStopper = std::to_string(nStopperTid.load());
            // Reading /proc costs CPU time of its own: outside the measurement.
            const long nMain0 = Switches(strMain, true);
            const std::map<std::string, long> other0 = OtherThreadsSwitches(strMain, strStopper);
            const std::map<std::string, long long> run0 = ThreadsRunTime();
            const double dCpu0 = CpuSeconds();
            const double dGuiCpu0 = ThreadCpuSeconds();
            const double d0 = Now();
            bGo = 1;
            bGo.notify_all();
            loop.exec();
            const double dGuiCpu = ThreadCpuSeconds() - dGuiCpu0;
            const double dCpu = CpuSeconds() - dCpu0;
            const double dWall = Now() - d0;
            const std::string strBusy = BusyThreads(run0, ThreadsRunTime(), strMain, strStopper);
            // One of the main thread's wake-ups is the end of the measurement.
            const long nMain = Switches(strMain, true) - nMain0 - 1;
            int nCame = 0;
            int nWent = 0;
            std::string strWho;
            const long nOther =
                WakeupsBetween(other0, OtherThreadsSwitches(strMain, strStopper), &nCame, &nWent, &strWho);
            stopper.join();
            std::printf("idle ports=%d seconds=%.1f cpu_percent=%.3f cpu_ms=%.1f gui_thread_cpu_ms=%.2f "
                        "gui_thread_wakeups=%ld other_threads=%zu other_wakeups=%ld threads_started=%d threads_ended=%d window_timers=%d "
                        "timers=[%s] woken=[%s] others_ran=[%s]\n",
                        CountLinks(strPorts), dWall, 100.0 * dCpu / dWall, Ms(dCpu), Ms(dGuiCpu), std::max(0L, nMain),
                        other0.size(), nOther, nCame, nWent, nTimers, strTimers.c_str(), strWho.c_str(), strBusy.c_str());

            pStart->click();
            RunUntil([&] { return pStart->isEnabled() && pStart->text() == QStringLiteral("Start"); }, 60000);
        }
    }
    CMessageBox::s_fnAnswer = nullptr;
    std::system(("rm -rf '" + strDir + "'").c_str());
    return nResult;
}
