// SPDX-License-Identifier: Apache-2.0
// A second start of the window: it brings up the running window and ends
// quietly; beside a copy that has no window to show (nimbreld) it is
// refused as before. Both copies run in this process, as two programs of
// the same user would: the lock and the socket are the real ones.

#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QStringList>
#include <QTest>

#include "core/service/CInstanceLock.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/window/COmbraCtrlApp.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "gui/window/CShowWindowServer.h"
#include "tests/TestSupport.h"

using namespace testsupport;

namespace
{

bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

// A socket file nobody listens on, as a copy that was killed leaves behind.
bool LeaveStaleSocket(const std::string& strPath)
{
    const int h = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (h < 0 || strPath.size() >= sizeof(addr.sun_path))
        return false;
    strPath.copy(addr.sun_path, strPath.size());
    const bool bBound = bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(h);
    return bBound;
}

}  // namespace

class CShowWindowServerQTest : public QObject
{
    Q_OBJECT

private:
    QStringList m_listBoxes;
    const std::string m_strLock = CInstanceLock::DefaultPath();
    const std::string m_strSocket = CInstanceLock::SocketPath(m_strLock);

    static std::string WriteSettings(const CTempDir& dir)
    {
        const std::string strPath = dir.File("nimbrel.ini");
        std::ofstream(strPath) << "[Options]\nPortDirectory=" << dir.File("ports") << "\n";
        return strPath;
    }

    static QStringList Args(const std::string& strConfig)
    {
        return {"nimbrel", "--config", QString::fromStdString(strConfig)};
    }

private slots:
    void init()
    {
        m_listBoxes.clear();
        CMessageBox::s_fnAnswer = [this](const QString&, const QString& strText) { m_listBoxes << strText; };
        unlink(m_strSocket.c_str());
    }

    void cleanup()
    {
        CMessageBox::s_fnAnswer = nullptr;
        unlink(m_strSocket.c_str());
    }

    // The first copy is nimbreld (it holds the lock, listens nowhere) and
    // a killed window left its socket: the second start is refused.
    // The first copy is a window, hidden behind its icon: the second start
    // shows it and ends without a word; a socket left over from before is
    // no obstacle, and the window's own goes when it ends.
    void SecondStartShowsTheRunningWindowElseIsRefused()
    {
        CTempDir dir;
        const std::string strConfig = WriteSettings(dir);
        QVERIFY(LeaveStaleSocket(m_strSocket));
        {
            CInstanceLock headless;
            QVERIFY(headless.Acquire(m_strLock) == CInstanceLock::EResult::Acquired);
            COmbraCtrlApp second;
            QCOMPARE(second.InitInstance(Args(strConfig)), 0);
            QCOMPARE(second.GetExitCode(), int(COmbraCtrlApp::EXIT_RUNNING));
            QCOMPARE(m_listBoxes, QStringList{QStringLiteral("Application already executed.")});
        }
        m_listBoxes.clear();

        COmbraCtrlApp first;
        QCOMPARE(first.InitInstance(Args(strConfig)), 1);
        COmbraCtrlDlg* pWnd = first.GetMainWnd();
        QCoreApplication::processEvents();
        pWnd->hide();
        QVERIFY(!pWnd->isVisible());

        COmbraCtrlApp second;
        QCOMPARE(second.InitInstance(Args(strConfig)), 0);
        QCOMPARE(second.GetExitCode(), int(COmbraCtrlApp::EXIT_OK));
        QVERIFY(second.GetMainWnd() == nullptr);
        QVERIFY(pWnd->isVisible());
        QCOMPARE(m_listBoxes, QStringList{});

        first.ExitInstance();
        QVERIFY(!Exists(m_strSocket));
    }

    // Something at the socket's path that is no socket is not ours to
    // remove: the window runs without answering second starts.
    void ListenLeavesAFileThatIsNoSocketAlone()
    {
        CTempDir dir;
        const std::string strPath = dir.File("nimbrel.sock");
        std::ofstream(strPath) << "keep";
        CShowWindowServer server;
        QString strError;
        QVERIFY(!server.Listen(QString::fromStdString(strPath), &strError));
        QVERIFY2(strError.contains(QString::fromStdString(strPath)), qPrintable(strError));
        QVERIFY(!CShowWindowServer::RequestShow(QString::fromStdString(strPath)));
        std::ifstream in(strPath);
        std::string strKept;
        in >> strKept;
        QCOMPARE(strKept, std::string("keep"));
    }
};

QTEST_MAIN(CShowWindowServerQTest)
#include "CShowWindowServerQTest.moc"
