// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <QObject>
#include <QStringList>

#include "core/service/CInstanceLock.h"
#include "gui/window/COmbraCtrlDlg.h"

class CShowWindowServer;
class QSocketNotifier;

// The application object: the single-instance lock (and the answer to a
// second start), the one-time TLS set-up, the main window, and the ways the
// program ends (Exit, a signal, the end of the session). Lives on the GUI
// thread next to the QApplication.
class COmbraCtrlApp : public QObject
{
    Q_OBJECT

public:
    static constexpr int EXIT_OK = 0;
    static constexpr int EXIT_RUNNING = 1;  // another copy runs, or the ports cannot be made
    static constexpr int EXIT_USAGE = 2;

    COmbraCtrlApp();
    ~COmbraCtrlApp() override;

    // 1: the window exists (hidden where there is a tray) and its list is
    // built once the event loop runs. 0: end at once with GetExitCode(),
    // also when another copy runs (EXIT_OK when that copy showed its window).
    int InitInstance(const QStringList& args);
    // After the event loop: the window and the lock go. Returns the exit code.
    int ExitInstance();

    COmbraCtrlDlg* GetMainWnd() const { return m_pMainWnd.get(); }
    int GetExitCode() const { return m_nExitCode; }

    static QString Usage();
    // The command line: 1 with pStartup filled when the program is to run;
    // 0 when it ends at once with *pnExitCode (--help, --version, a bad
    // argument; the text has been printed). Needs no QApplication, so that
    // --help and --version work without a display.
    static int ParseArgs(const QStringList& args, CStartup::SArgs* pArgs, int* pnExitCode);

signals:
    // The main window has been torn down: the event loop is to end.
    void Finished(int nExitCode);

private:
    // SIGTERM, SIGHUP and SIGINT arrive through a pipe on the event loop.
    void InstallSignalPipe();
    void OnSignal();

    CInstanceLock m_lock;
    std::unique_ptr<CShowWindowServer> m_pShowServer;
    std::unique_ptr<COmbraCtrlDlg> m_pMainWnd;
    QSocketNotifier* m_pSignalNotifier = nullptr;
    int m_nExitCode = EXIT_OK;
};
