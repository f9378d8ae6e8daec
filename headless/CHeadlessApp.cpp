// SPDX-License-Identifier: Apache-2.0
#include "headless/CHeadlessApp.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <NimbrelVersion.h>

#include "core/engine/TlsTrust.h"
#include "core/service/CPortService.h"
#include "core/service/CPortServiceEvents.h"
#include "core/service/CInstanceLock.h"
#include "core/service/CStartup.h"
#include "core/service/CSettingsFile.h"
#include "core/service/CTaskLoop.h"
#include "headless/CMonitorPrinter.h"

namespace
{

void PrintLine(const std::string& str)
{
    std::fputs((str + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& str)
{
    std::fputs(("nimbreld: " + str + "\n").c_str(), stderr);
    std::fflush(stderr);
}

// Prints every changed cell as "COMn Column: text".
// Messages go to standard error, Wine links to the log.
class CPrintEvents : public CPortServiceEvents
{
public:
    void OnMessage(const std::string& strCaption, const std::string& strText) override
    {
        PrintError(strCaption + ": " + strText);
    }
    void OnWineLink(int nPort, bool /*bLinked*/, const std::string& strText) override
    {
        PrintLine("COM" + std::to_string(nPort + 1) + " Wine: " + strText);
    }
};

class CPrintListener : public CPortRowsListener
{
public:
    explicit CPrintListener(const CPortRows& rows) : m_rows(rows) {}
    void OnCellChanged(int nRow, int nCol, const std::string& strText) override
    {
        if (nCol == COL_REASON || nCol == COL_COMPORT)
        {
            // A cleared text says nothing new: the state line says it.
            if (!strText.empty())
                PrintLine(m_rows.GetItemText(nRow, COL_PORT) + " " + (nCol == COL_REASON ? REASON_TITLE : COMPORT_TITLE) +
                          ": " + strText);
            return;
        }
        PrintLine(m_rows.GetItemText(nRow, COL_PORT) + " " + COL_TITLES[static_cast<size_t>(nCol)] + ": " + strText);
    }

    // Every row's configuration as the list shows it, once at start.
    void PrintRows() const
    {
        for (int nRow = 0; nRow < m_rows.GetRowCount(); ++nRow)
        {
            for (int nCol : {COL_MODE, COL_PEER, COL_LOCAL})
                PrintLine(m_rows.GetItemText(nRow, COL_PORT) + " " + COL_TITLES[static_cast<size_t>(nCol)] + ": " +
                          m_rows.GetItemText(nRow, nCol));
            if (const std::string str = m_rows.GetItemText(nRow, COL_COMPORT); !str.empty())
                PrintLine(m_rows.GetItemText(nRow, COL_PORT) + " " + COMPORT_TITLE + ": " + str);
        }
    }

private:
    const CPortRows& m_rows;
};

// Which TLS files the configured ports use, so that a user sees where to
// put a key; nothing when no port uses TLS.
void PrintTlsFiles(const CPortService& service)
{
    bool bServer = false;
    bool bVerify = false;
    for (int i = 0; i < CPortService::PORT_COUNT; ++i)
    {
        const CPortEntry entry = service.Entry(i);
        if (entry.m_bUse != 1 || entry.m_bSSL != 1 || entry.m_nMode == MODE_UDP)
            continue;
        bServer = bServer || entry.m_nMode == MODE_TCP_SERVER;
        bVerify = bVerify || (entry.m_nMode == MODE_TCP_CLIENT && entry.m_bTlsVerify && entry.m_strTlsPin.empty());
    }
    const COptionSet& options = service.Options();
    if (bServer || !options.m_strTlsCertificate.empty())
    {
        const STlsKeyFiles files = TlsKeyFilesOf(options, TlsProgramDirectory());
        PrintLine("TLS certificate: " + files.strCertificate);
        PrintLine("TLS private key: " + files.strPrivateKey);
    }
    if (bServer && !options.m_strTlsClientCaFile.empty())
        PrintLine("TLS client CA: " + options.m_strTlsClientCaFile);
    if (bVerify)
        PrintLine("TLS CA: " + (options.m_strTlsCaFile.empty() ? std::string("the system's store") : options.m_strTlsCaFile));
}

}  // namespace

std::string CHeadlessApp::Usage()
{
    return "Usage: nimbreld [--config FILE] [--port-dir DIR] [--monitor COMn|all]... [--monitor-file FILE]\n"
           "\n"
           "Bridges virtual serial ports (pseudo-terminals linked as COM1..COM256 in the\n"
           "port directory) to TCP and UDP connections, as configured in FILE, and runs\n"
           "until SIGINT, SIGTERM or SIGHUP, which remove every port again.\n"
           "\n"
           "  --config FILE   settings file (default: $XDG_CONFIG_HOME/nimbrel/nimbrel.ini,\n"
           "                  else ~/.config/nimbrel/nimbrel.ini; the desktop program uses\n"
           "                  the same file). A missing default file means no ports.\n"
           "  --port-dir DIR  where the COMn links are made (default: PortDirectory of the\n"
           "                  settings, else /run/nimbrel for root, else\n"
           "                  $XDG_RUNTIME_DIR/nimbrel, else /tmp/nimbrel-<uid>)\n"
           "  --print-port-dir  print the port directory these arguments give, and exit\n"
           "  --monitor COMn  print what crosses port COMn, one line per burst or event\n"
           "                  (repeatable; 'all' for every port in use)\n"
           "  --monitor-file FILE  append the monitor's lines to FILE, not standard output\n"
           "  --help          this text\n"
           "  --version       the version\n"
           "\n"
           "Every port's Mode, Peer and Local are printed at start, then every change\n"
           "of a port's row as one line, and why a port failed, for example\n"
           "  COM1 Create: Created\n"
           "  COM1 Connection: Connected\n"
           "  COM1 BaudRate: 9600\n"
           "  COM2 Connection: Connect Error\n"
           "  COM2 Reason: connect 127.0.0.1:7001: Connection refused\n"
           "and, for a monitored port, time, direction, hex and text of its bytes:\n"
           "  COM1 12:04:31.250  to peer    41 54 0D  AT.\n"
           "  COM1 12:04:31.262  from peer  4F 4B 0D  OK.\n"
           "  COM1 12:04:32.001  lost       1,204 bytes not shown\n"
           "\n"
           "Exit status: 0 after a signal, 1 when another copy runs or the port\n"
           "directory cannot be used, 2 for a bad command line or settings file.\n";
}

int CHeadlessApp::Run(int argc, char** argv)
{
    const CStartup::SArgs args = CStartup::Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc), true);
    switch (args.action)
    {
    case CStartup::EAction::Help:
        std::fputs(Usage().c_str(), stdout);
        return EXIT_OK;
    case CStartup::EAction::Version:
        PrintLine("nimbreld (Nimbrel) " NIMBREL_VERSION);
        return EXIT_OK;
    case CStartup::EAction::BadArgument:
        PrintError("unknown argument '" + args.strBadArgument + "'\n\n" + Usage());
        return EXIT_USAGE;
    case CStartup::EAction::Run:
    case CStartup::EAction::PrintPortDir:
        break;
    }

    // Anything that is no settings file is refused before anything starts.
    CSettingsFile settings;
    std::string strError;
    const std::string strConfig = CStartup::SettingsPath(args);
    const CStartup::ELoad eLoad = CStartup::LoadSettings(args, &settings, &strError);
    if (eLoad == CStartup::ELoad::Refused)
    {
        PrintError(strError);
        return EXIT_USAGE;
    }
    std::string strPortDir;
    const bool bAbsolute = CStartup::PortDirectory(args, settings, &strPortDir);
    if (args.action == CStartup::EAction::PrintPortDir)
    {
        PrintLine(strPortDir.empty() ? CPortService::DefaultPortDirectory() : strPortDir);
        return EXIT_OK;
    }
    if (!bAbsolute)
    {
        PrintError("--port-dir: an absolute path is needed, not '" + strPortDir + "'");
        return EXIT_USAGE;
    }

    // Signals are taken by one thread with sigwait, so every other thread
    // (workers included) must have them blocked from the start. That thread
    // runs from here on, so a signal ends the program at any moment of its
    // start-up too: the loop, once quit, does not run at all.
    sigset_t setSignals;
    sigemptyset(&setSignals);
    sigaddset(&setSignals, SIGINT);
    sigaddset(&setSignals, SIGTERM);
    sigaddset(&setSignals, SIGHUP);
    // SIGUSR1 only wakes the signal thread at the end, so that it can sleep
    // without a time limit: an idle program then makes no wake-up at all.
    sigaddset(&setSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &setSignals, nullptr);
    // Writes to a vanished peer fail with EPIPE instead of killing us.
    signal(SIGPIPE, SIG_IGN);
    CTaskLoop loop;
    std::atomic<bool> bDone{false};
    std::thread signals([&loop, &bDone, setSignals] {
        while (!bDone)
        {
            const int nSignal = sigwaitinfo(&setSignals, nullptr);
            if (nSignal > 0 && nSignal != SIGUSR1)
                loop.Quit();
        }
    });
    struct SJoin
    {
        std::atomic<bool>& bDone;
        std::thread& thread;
        ~SJoin()
        {
            bDone = true;
            pthread_kill(thread.native_handle(), SIGUSR1);
            thread.join();
        }
    } joinSignals{bDone, signals};

    CInstanceLock lock;
    std::string strLockError;
    const CInstanceLock::EResult eLock = lock.Acquire(CInstanceLock::DefaultPath(), &strLockError);
    if (eLock != CInstanceLock::EResult::Acquired)
    {
        if (eLock == CInstanceLock::EResult::Held)
            std::fputs("Application already executed.\n", stderr);
        else
            PrintError(strLockError);
        return EXIT_RUNNING;
    }
    if (eLoad == CStartup::ELoad::None)
        PrintLine("No settings file at " + strConfig + "; no ports to start.");

    {
        CPortService service(&loop);
        if (!service.Init(strPortDir, &strError))
        {
            PrintError(strError);
            return EXIT_RUNNING;
        }
        service.ResetSettings();
        settings.ApplyTo(service);
        CPrintEvents events;
        service.SetEvents(&events);
        CPrintListener printer(service.Rows());
        service.SetRowsListener(&printer);
        service.ShowRows();
        PrintLine("Port directory: " + service.PortDirectory());
        printer.PrintRows();
        for (int i = 0; i < CPortService::PORT_COUNT; ++i)
        {
            const CPortEntry entry = service.Entry(i);
            if (entry.m_bUse == 1 && entry.m_bEnable == 1 && entry.m_nMode == MODE_TCP_SERVER &&
                entry.m_nConnectType != CONNECT_RAW &&
                (service.Options().m_strUser.empty() || service.Options().m_strPassword.empty()))
                PrintError("warning: COM" + std::to_string(i + 1) +
                           " asks for a login, but User or Password is empty: an empty line matches an empty "
                           "setting, so anyone who presses Enter there gets in");
        }
        PrintTlsFiles(service);
        if (service.Ports().m_nEnableCount == 0)
            PrintLine("No enabled port in " + strConfig + ".");

        CMonitorPrinter monitor(service);
        std::vector<int> vecMonitor = args.vecMonitorPorts;
        for (int i = 0; args.bMonitorAll && i < CPortService::PORT_COUNT; ++i)
            if (service.Entry(i).m_bUse == 1 && std::find(vecMonitor.begin(), vecMonitor.end(), i) == vecMonitor.end())
                vecMonitor.push_back(i);
        if (!monitor.OpenFile(args.strMonitorFile, &strError))
        {
            PrintError(strError);
            service.Teardown();
            return EXIT_USAGE;
        }
        monitor.Start(vecMonitor);

        if (!loop.IsQuit())
            service.StartStop();
        loop.Run();

        PrintLine("Stopping.");
        service.Teardown();
        // The workers' last reports.
        loop.RunPending();
        monitor.Stop();
    }
    PrintLine("Stopped.");
    return EXIT_OK;
}
