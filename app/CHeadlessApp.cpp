#include "app/CHeadlessApp.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <NimbrelVersion.h>

#include "app/COmbraCtrlCore.h"
#include "app/CInstanceLock.h"
#include "app/CSettingsFile.h"
#include "app/CTaskLoop.h"

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
class CPrintListener : public CPortRowsListener
{
public:
    explicit CPrintListener(const CPortRows& rows) : m_rows(rows) {}
    void OnCellChanged(int nRow, int nCol, const std::string& strText) override
    {
        PrintLine(m_rows.GetItemText(nRow, COL_PORT) + " " + COL_TITLES[static_cast<size_t>(nCol)] + ": " + strText);
    }

private:
    const CPortRows& m_rows;
};

}  // namespace

std::string CHeadlessApp::Usage()
{
    return "Usage: nimbreld [--config FILE] [--port-dir DIR]\n"
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
           "  --help          this text\n"
           "  --version       the version\n"
           "\n"
           "Every change of a port's row is printed as one line, for example\n"
           "  COM1 Create: Created\n"
           "  COM1 Connection: Connected\n"
           "  COM1 BaudRate: 9600\n"
           "\n"
           "Exit status: 0 after a signal, 1 when another copy runs or the port\n"
           "directory cannot be used, 2 for a bad command line or settings file.\n";
}

int CHeadlessApp::Run(int argc, char** argv)
{
    std::string strConfig;
    std::string strPortDir;
    int bConfigGiven = 0;
    int bPrintPortDir = 0;
    for (int k = 1; k < argc; ++k)
    {
        const std::string strArg = argv[k];
        if (strArg == "--help" || strArg == "-h")
        {
            std::fputs(Usage().c_str(), stdout);
            return EXIT_OK;
        }
        if (strArg == "--version")
        {
            PrintLine("nimbreld (Nimbrel) " NIMBREL_VERSION);
            return EXIT_OK;
        }
        if (strArg == "--print-port-dir")
        {
            bPrintPortDir = 1;
            continue;
        }
        if ((strArg == "--config" || strArg == "--port-dir") && k + 1 < argc)
        {
            (strArg == "--config" ? strConfig : strPortDir) = argv[++k];
            bConfigGiven |= strArg == "--config" ? 1 : 0;
            continue;
        }
        if (strArg.rfind("--config=", 0) == 0 || strArg.rfind("--port-dir=", 0) == 0)
        {
            const size_t nEq = strArg.find('=');
            (strArg[2] == 'c' ? strConfig : strPortDir) = strArg.substr(nEq + 1);
            bConfigGiven |= strArg[2] == 'c' ? 1 : 0;
            continue;
        }
        PrintError("unknown argument '" + strArg + "'\n\n" + Usage());
        return EXIT_USAGE;
    }

    if (bPrintPortDir)
    {
        std::string strError;
        CSettingsFile settings;
        struct stat stConfig;
        if (!bConfigGiven)
            strConfig = CSettingsFile::DefaultPath();
        if ((bConfigGiven || stat(strConfig.c_str(), &stConfig) == 0) && !settings.Load(strConfig, &strError))
        {
            PrintError(strError);
            return EXIT_USAGE;
        }
        if (strPortDir.empty())
            strPortDir = settings.m_strPortDirectory;
        PrintLine(strPortDir.empty() ? CPortWatcher::DefaultPortDirectory() : strPortDir);
        return EXIT_OK;
    }

    // Signals are taken by one thread with sigwait, so every other thread
    // (workers included) must have them blocked from the start.
    sigset_t setSignals;
    sigemptyset(&setSignals);
    sigaddset(&setSignals, SIGINT);
    sigaddset(&setSignals, SIGTERM);
    sigaddset(&setSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &setSignals, nullptr);
    // Writes to a vanished peer fail with EPIPE instead of killing us.
    signal(SIGPIPE, SIG_IGN);

    CInstanceLock lock;
    if (!lock.Acquire(CInstanceLock::DefaultPath()))
    {
        std::fputs("Application already executed.\n", stderr);
        return EXIT_RUNNING;
    }

    CSettingsFile settings;
    if (!bConfigGiven)
        strConfig = CSettingsFile::DefaultPath();
    struct stat st;
    if (bConfigGiven || stat(strConfig.c_str(), &st) == 0)
    {
        std::string strError;
        if (!settings.Load(strConfig, &strError))
        {
            PrintError(strError);
            return EXIT_USAGE;
        }
    }
    else
    {
        PrintLine("No settings file at " + strConfig + "; no ports to start.");
    }
    if (strPortDir.empty())
        strPortDir = settings.m_strPortDirectory;
    if (!strPortDir.empty() && strPortDir[0] != '/')
    {
        PrintError("--port-dir: an absolute path is needed, not '" + strPortDir + "'");
        return EXIT_USAGE;
    }

    CTaskLoop loop;
    int nResult = EXIT_OK;
    {
        COmbraCtrlCore core(&loop);
        std::string strError;
        if (!core.Init(strPortDir, &strError))
        {
            PrintError(strError);
            return EXIT_RUNNING;
        }
        core.ResetSettings();
        settings.ApplyTo(core);
        core.m_fnMessageBox = [](const std::string& strCaption, const std::string& strText) {
            PrintError(strCaption + ": " + strText);
        };
        core.m_fnWineLink = [](int nPort, int, const std::string& strText) {
            PrintLine("COM" + std::to_string(nPort + 1) + " Wine: " + strText);
        };
        CPrintListener printer(core.m_rows);
        core.m_rows.SetListener(&printer);
        core.InitList();
        PrintLine("Port directory: " + core.GetPortDirectory());
        if (core.m_comData.m_nEnableCount == 0)
            PrintLine("No enabled port in " + strConfig + ".");

        // The first signal ends the loop; later ones are taken here too,
        // so they cannot disturb the teardown.
        std::atomic<int> bDone{0};
        std::thread signals([&loop, &bDone, setSignals] {
            const struct timespec tsPoll = {0, 100 * 1000 * 1000};
            while (!bDone)
            {
                if (sigtimedwait(&setSignals, nullptr, &tsPoll) > 0)
                    loop.Quit();
            }
        });

        core.m_startStop.OnStartStop();
        loop.Run();

        PrintLine("Stopping.");
        core.Teardown();
        // The workers' last reports.
        loop.RunPending();
        bDone = 1;
        signals.join();
    }
    PrintLine("Stopped.");
    return nResult;
}
