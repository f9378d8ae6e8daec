// SPDX-License-Identifier: Apache-2.0
#include "gui/window/COmbraCtrlApp.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <QApplication>
#include <QMetaObject>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTextStream>

#include <NimbrelVersion.h>

#include "gui/widgets/CMessageBox.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "gui/window/CShowWindowServer.h"

namespace
{

// The self-pipe: written by the signal handler, read on the event loop.
int s_hSignalPipe[2] = {-1, -1};

extern "C" void OnSignalCaught(int /*nSignal*/)
{
    const int nSavedErrno = errno;
    const char ch = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = write(s_hSignalPipe[1], &ch, 1);
    errno = nSavedErrno;
}

void Print(const QString& str)
{
    QTextStream(stdout) << str;
}

}  // namespace

COmbraCtrlApp::COmbraCtrlApp() = default;

COmbraCtrlApp::~COmbraCtrlApp()
{
    ExitInstance();
}

QString COmbraCtrlApp::Usage()
{
    return QStringLiteral(
        "Usage: nimbrel [--config FILE] [--port-dir DIR]\n"
        "\n"
        "The desktop program: a window (normally behind an icon in the notification\n"
        "area) that lists the virtual serial ports, starts and stops them.\n"
        "\n"
        "  --config FILE   settings file (default: $XDG_CONFIG_HOME/nimbrel/nimbrel.ini,\n"
        "                  else ~/.config/nimbrel/nimbrel.ini; nimbreld reads the same)\n"
        "  --port-dir DIR  where the COMn links are made (default: PortDirectory of the\n"
        "                  settings, else /run/nimbrel for root, else\n"
        "                  $XDG_RUNTIME_DIR/nimbrel, else /tmp/nimbrel-<uid>)\n"
        "  --help          this text\n"
        "  --version       the version\n");
}

int COmbraCtrlApp::ParseArgs(const QStringList& args, CStartup::SArgs* pArgs, int* pnExitCode)
{
    std::vector<std::string> vecArgs;
    for (qsizetype k = 1; k < args.size(); ++k)
        vecArgs.push_back(args[k].toStdString());
    *pArgs = CStartup::Parse(vecArgs, false);
    switch (pArgs->action)
    {
    case CStartup::EAction::Help:
        Print(Usage());
        *pnExitCode = EXIT_OK;
        return 0;
    case CStartup::EAction::Version:
        Print(QStringLiteral("Nimbrel " NIMBREL_VERSION "\n"));
        *pnExitCode = EXIT_OK;
        return 0;
    case CStartup::EAction::BadArgument:
    case CStartup::EAction::PrintPortDir:
        QTextStream(stderr) << "nimbrel: unknown argument '" << QString::fromStdString(pArgs->strBadArgument)
                            << "'\n\n"
                            << Usage();
        *pnExitCode = EXIT_USAGE;
        return 0;
    case CStartup::EAction::Run:
        break;
    }
    return 1;
}

int COmbraCtrlApp::InitInstance(const QStringList& args)
{
    CStartup::SArgs startup;
    if (!ParseArgs(args, &startup, &m_nExitCode))
        return 0;

    // Once, before the first TLS session.
    OPENSSL_init_ssl(0, nullptr);

    const std::string strLockPath = CInstanceLock::DefaultPath();
    const QString strSocketPath = QString::fromStdString(CInstanceLock::SocketPath(strLockPath));
    std::string strLockError;
    const CInstanceLock::EResult eLock = m_lock.Acquire(strLockPath, &strLockError);
    if (eLock != CInstanceLock::EResult::Acquired)
    {
        // Starting the program again asks for its window: when the running
        // copy is a window and shows itself, that is all the user wanted.
        // nimbreld, or a window that does not answer, still gets the refusal.
        if (eLock == CInstanceLock::EResult::Held && CShowWindowServer::RequestShow(strSocketPath))
        {
            m_nExitCode = EXIT_OK;
            return 0;
        }
        CMessageBox::Show(nullptr, QStringLiteral("Nimbrel"),
                          eLock == CInstanceLock::EResult::Held ? QStringLiteral("Application already executed.")
                                                                : QString::fromStdString(strLockError),
                          QMessageBox::Critical);
        m_nExitCode = EXIT_RUNNING;
        return 0;
    }

    m_pMainWnd = std::make_unique<COmbraCtrlDlg>();
    if (!m_pMainWnd->OnInitDialog(startup))
    {
        m_pMainWnd.reset();
        m_lock.Release();
        m_nExitCode = EXIT_RUNNING;
        return 0;
    }
    COmbraCtrlDlg* pWnd = m_pMainWnd.get();
    connect(pWnd, &COmbraCtrlDlg::Destroyed, this, [this] { emit Finished(m_nExitCode); });
    if (qGuiApp != nullptr)
    {
        // The session ends, or the program is asked to quit from outside:
        // everything is stopped without a question.
        connect(qGuiApp, &QGuiApplication::commitDataRequest, pWnd, [pWnd](QSessionManager&) { pWnd->OnEndSession(); },
                Qt::DirectConnection);
        connect(qGuiApp, &QCoreApplication::aboutToQuit, pWnd, [pWnd] { pWnd->OnEndSession(); },
                Qt::DirectConnection);
    }
    InstallSignalPipe();

    // Without the socket a second start is refused as before; nothing else needs it.
    m_pShowServer = std::make_unique<CShowWindowServer>();
    m_pShowServer->Listen(strSocketPath);
    connect(m_pShowServer.get(), &CShowWindowServer::ShowRequested, pWnd, &COmbraCtrlDlg::OnMenuShowWindow);
    // Once the window is torn down there is nothing left to show.
    connect(pWnd, &COmbraCtrlDlg::Destroyed, m_pShowServer.get(), &CShowWindowServer::Close);

    // With a tray the window starts hidden behind its icon; without one it
    // is the only way in.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        pWnd->show();
    QMetaObject::invokeMethod(pWnd, [pWnd] { pWnd->OnInitList(); }, Qt::QueuedConnection);
    return 1;
}

int COmbraCtrlApp::ExitInstance()
{
    m_pMainWnd.reset();
    delete m_pSignalNotifier;
    m_pSignalNotifier = nullptr;
    // Its socket goes before the lock, so that it never removes the next copy's.
    m_pShowServer.reset();
    m_lock.Release();
    return m_nExitCode;
}

void COmbraCtrlApp::InstallSignalPipe()
{
    if (s_hSignalPipe[0] < 0 && pipe2(s_hSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_pSignalNotifier = new QSocketNotifier(s_hSignalPipe[0], QSocketNotifier::Read);
    connect(m_pSignalNotifier, &QSocketNotifier::activated, this, &COmbraCtrlApp::OnSignal);
    struct sigaction sa = {};
    sa.sa_handler = OnSignalCaught;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void COmbraCtrlApp::OnSignal()
{
    char buf[64];
    while (read(s_hSignalPipe[0], buf, sizeof(buf)) > 0)
    {
    }
    if (m_pMainWnd)
        m_pMainWnd->OnEndSession();
}
