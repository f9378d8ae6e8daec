// The program as a user meets it: the real window over real virtual ports,
// started from a settings file, driven through its buttons, its list and its
// tray menu; message boxes are answered through CMessageBox's hook.

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include "app/CInstanceLock.h"
#include "app/CMessageBox.h"
#include "app/COmbraCtrlApp.h"
#include "app/COmbraCtrlDlg.h"
#include "app/CSettingsFile.h"
#include "dialogs/CAboutDlg.h"
#include "tests/TestSupport.h"
#include "widgets/CMsgWnd.h"
#include "widgets/CPortListModel.h"
#include "widgets/CTraceListCtrl.h"

using namespace testsupport;

namespace
{

bool RunUntil(const std::function<bool()>& pred, int nMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pred();
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

}  // namespace

class COmbraCtrlDlgQTest : public QObject
{
    Q_OBJECT

private:
    struct SBox
    {
        QString strCaption;
        QString strText;
    };
    std::vector<SBox> m_vecBoxes;

    // COM1: a TCP server on a free loopback port; COM2: a TCP client to it.
    std::string WriteTwoPorts(const CTempDir& dir)
    {
        const int nPort = UnusedTcpPort();
        const std::string strPath = dir.File("nimbrel.ini");
        std::ofstream out(strPath);
        out << "[Options]\nPortDirectory=" << dir.File("ports") << "\n"
            << "[COM1]\nEnable=1\nMode=server\nLocalPort=" << nPort << "\n"
            << "[COM2]\nEnable=1\nMode=client\nIPAddress=127.0.0.1\nPeerPort=" << nPort << "\n";
        return strPath;
    }

    // Starts the program on strConfig and waits for its list.
    std::unique_ptr<COmbraCtrlApp> Start(const std::string& strConfig, int nRows, const QStringList& extra = {})
    {
        auto pApp = std::make_unique<COmbraCtrlApp>();
        if (!pApp->InitInstance(QStringList{"nimbrel", "--config", QString::fromStdString(strConfig)} + extra))
            return nullptr;
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        if (!RunUntil([&] { return pWnd->GetModel()->rowCount() == nRows; }))
            return nullptr;
        return pApp;
    }

    static QPushButton* Button(COmbraCtrlDlg* pWnd, const char* pszName)
    {
        return pWnd->findChild<QPushButton*>(QString::fromLatin1(pszName));
    }

    static QString Cell(COmbraCtrlDlg* pWnd, int nRow, int nCol)
    {
        return pWnd->GetModel()->index(nRow, nCol).data().toString();
    }

    static void ClickStrip(COmbraCtrlDlg* pWnd, int nRow)
    {
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        const QRect rc = pList->visualRect(pWnd->GetModel()->index(nRow, COL_PORT));
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, QPoint(rc.left() + 9, rc.center().y()));
    }

private slots:
    void init()
    {
        m_vecBoxes.clear();
        CMessageBox::s_fnAnswer = [this](const QString& strCaption, const QString& strText) {
            m_vecBoxes.push_back({strCaption, strText});
        };
    }

    void cleanup()
    {
        CMessageBox::s_fnAnswer = nullptr;
    }

    void StartsTheSavedPortsAndConnects()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetCore();
        QPushButton* pStart = Button(pWnd, "m_btnStartStop");
        QAction* pExit = pWnd->findChild<QAction*>(QStringLiteral("actionExit"));
        QVERIFY(pStart && pExit);
        QCOMPARE(Cell(pWnd, 0, COL_PORT), QStringLiteral("COM1"));
        QCOMPARE(Cell(pWnd, 1, COL_PEER).endsWith(QStringLiteral(":") + QString::number(core.m_comData.GetLocPort(0))),
                 true);

        // During the sequence: the panel, everything disabled, Exit greyed.
        QTest::mouseClick(pStart, Qt::LeftButton);
        QCOMPARE(core.m_bBusy.load(), 1);
        QVERIFY(pWnd->GetMsgWnd() != nullptr && pWnd->GetMsgWnd()->isVisible());
        QCOMPARE(pWnd->GetMsgWnd()->GetLine1(), QStringLiteral("Virtual Serial Port Create."));
        QCOMPARE(pWnd->GetMsgWnd()->GetLine2(), QStringLiteral("Just a moment, please."));
        QVERIFY(!pStart->isEnabled());
        QVERIFY(!Button(pWnd, "m_btnOption")->isEnabled());
        QVERIFY(!pExit->isEnabled());

        QVERIFY(RunUntil([&] { return core.m_comData.m_bRunning == 1 && core.m_bBusy == 0; }));
        QCOMPARE(Cell(pWnd, 0, COL_CREATE), QStringLiteral("Created"));
        QCOMPARE(Cell(pWnd, 1, COL_CREATE), QStringLiteral("Created"));
        QCOMPARE(pStart->text(), QStringLiteral("Stop"));
        QVERIFY(pStart->isEnabled());
        QVERIFY(!Button(pWnd, "m_btnAdd")->isEnabled());
        QVERIFY(Button(pWnd, "m_btnOption")->isEnabled());
        QVERIFY(pExit->isEnabled());
        QVERIFY(pWnd->GetMsgWnd() == nullptr);

        // An application opens the client port: it dials the server port.
        const std::string strCom2 = dir.File("ports") + "/COM2";
        const int hApp = OpenApp(strCom2);
        QVERIFY(hApp >= 0);
        QVERIFY(RunUntil([&] { return Cell(pWnd, 1, COL_CONNECTION) == QStringLiteral("Connected"); }));

        // While it is open neither Stop nor Exit stops anything.
        QTest::mouseClick(pStart, Qt::LeftButton);
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strCaption, QStringLiteral("Error"));
        QCOMPARE(m_vecBoxes[0].strText, QStringLiteral("Virtual Serial Port is still used by other application."));
        QCOMPARE(core.m_comData.m_bRunning.load(), 1);
        QCOMPARE(core.m_bBusy.load(), 0);
        pExit->trigger();
        QCOMPARE(int(m_vecBoxes.size()), 2);
        QCOMPARE(m_vecBoxes[1].strText, QStringLiteral("Virtual Serial Port is still used by other application."));
        QVERIFY(!pWnd->IsDestroyed());
        QVERIFY(Exists(strCom2));

        // Started: the check boxes are locked and the file stays as it is.
        const std::string strBefore = ReadFile(strConfig);
        ClickStrip(pWnd, 0);
        QCOMPARE(core.m_comData.GetEnable(0), 1);
        QCOMPARE(ReadFile(strConfig), strBefore);

        close(hApp);
        QVERIFY(RunUntil([&] { return core.IsAnyPortOpen() == 0; }));
        QTest::mouseClick(pStart, Qt::LeftButton);
        QVERIFY(RunUntil([&] { return core.m_comData.m_bRunning == 0 && core.m_bBusy == 0; }));
        QCOMPARE(Cell(pWnd, 0, COL_CREATE), QStringLiteral("None"));
        QCOMPARE(pStart->text(), QStringLiteral("Start"));
        QVERIFY(!Exists(strCom2));

        // Stopped: a strip click switches COM1 off and is saved at once.
        ClickStrip(pWnd, 0);
        QCOMPARE(core.m_comData.GetEnable(0), 0);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_ports[0].m_bEnable, 0);
        QCOMPARE(saved.m_ports[1].m_bEnable, 1);
        QCOMPARE(saved.m_strPortDirectory, dir.File("ports"));
        struct stat st;
        QCOMPARE(stat(strConfig.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);

        pExit->trigger();
        QVERIFY(pWnd->IsDestroyed());
        QCOMPARE(int(m_vecBoxes.size()), 2);
    }

    void SignalTearsDownWithoutAsking()
    {
        CTempDir dir;
        // --port-dir wins over the settings' directory.
        auto pApp = Start(WriteTwoPorts(dir), 2, {"--port-dir", QString::fromStdString(dir.File("elsewhere"))});
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QCOMPARE(pWnd->GetCore().GetPortDirectory(), dir.File("elsewhere"));
        QSignalSpy spyFinished(pApp.get(), &COmbraCtrlApp::Finished);
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetCore().m_comData.m_bRunning == 1; }));
        const std::string strCom1 = dir.File("elsewhere") + "/COM1";
        const int hApp = OpenApp(strCom1);
        QVERIFY(hApp >= 0);
        QVERIFY(RunUntil([&] { return pWnd->GetCore().IsAnyPortOpen() == 1; }));

        raise(SIGTERM);
        QVERIFY(RunUntil([&] { return pWnd->IsDestroyed() == 1; }));
        QCOMPARE(spyFinished.count(), 1);
        QVERIFY(m_vecBoxes.empty());
        QVERIFY(!Exists(strCom1));
        close(hApp);
    }

    void ExitClosesTheAboutDialogFirst()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QString strCaption;
        QTimer::singleShot(0, pWnd, [&] {
            if (CAboutDlg* pAbout = pWnd->GetAboutDlg())
                strCaption = pAbout->windowTitle();
            pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
        });
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QTest::keyClick(pWnd, Qt::Key_F1);  // returns once the dialog is closed
        QCOMPARE(strCaption, QStringLiteral("About Nimbrel"));
        QVERIFY(pWnd->GetAboutDlg() == nullptr);
        QVERIFY(pWnd->IsDestroyed());
    }

    // The desktop may have no notification area (as here): then the window
    // is shown from the start and Escape or the close box only minimise it.
    // The tray icon's double-click shows it again, except while the
    // Start/Stop refusal is up.
    void WindowStaysReachable()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QCOMPARE(pWnd->isVisible(), !QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(pWnd->GetTrayIcon() != nullptr);
        QCOMPARE(pWnd->GetTrayIcon()->toolTip(), QStringLiteral("Nimbrel"));

        pWnd->show();
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QTest::keyClick(pWnd, Qt::Key_Escape);
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable() ? !pWnd->isVisible() : pWnd->isMinimized());
        QVERIFY(!pWnd->IsDestroyed());

        pWnd->GetCore().m_bErrorBox = 1;
        emit pWnd->GetTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable() ? !pWnd->isVisible() : pWnd->isMinimized());
        pWnd->GetCore().m_bErrorBox = 0;
        emit pWnd->GetTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(pWnd->isVisible() && !pWnd->isMinimized());
    }

    // Where the desktop has no notification area there is no icon menu: the
    // window's own menu offers Exit, with the same refusal while a program
    // holds a port open.
    void ExitFromTheWindowsMenu()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->show();
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetCore().m_comData.m_bRunning == 1 && pWnd->GetCore().m_bBusy == 0; }));
        const std::string strCom2 = dir.File("ports") + "/COM2";
        const int hApp = OpenApp(strCom2);
        QVERIFY(hApp >= 0);
        QVERIFY(RunUntil([&] { return pWnd->GetCore().IsAnyPortOpen() == 1; }));

        // Opens the window's menu and clicks its entry strText; returns the
        // menu's entries.
        auto chooseFromMenu = [pWnd](const QString& strText) {
            QStringList entries;
            QTimer::singleShot(0, pWnd, [&] {
                QMenu* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                if (pMenu == nullptr)
                    return;
                QAction* pChosen = nullptr;
                for (QAction* pAction : pMenu->actions())
                {
                    entries << (pAction->isSeparator() ? QStringLiteral("-") : pAction->text());
                    if (pAction->text() == strText)
                        pChosen = pAction;
                }
                if (pChosen != nullptr && pChosen->isEnabled())
                    QTest::mouseClick(pMenu, Qt::LeftButton, {}, pMenu->actionGeometry(pChosen).center());
                else
                    pMenu->close();
            });
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), pWnd->mapToGlobal(QPoint(20, 20)));
            QApplication::sendEvent(pWnd, &event);  // returns once the menu is closed
            return entries;
        };

        QCOMPARE(chooseFromMenu(QStringLiteral("Exit")),
                 QStringList({QStringLiteral("Nimbrel About(&A)..."), QStringLiteral("-"), QStringLiteral("Exit")}));
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strText, QStringLiteral("Virtual Serial Port is still used by other application."));
        QVERIFY(!pWnd->IsDestroyed());
        QVERIFY(Exists(strCom2));

        close(hApp);
        QVERIFY(RunUntil([&] { return pWnd->GetCore().IsAnyPortOpen() == 0; }));
        chooseFromMenu(QStringLiteral("Exit"));
        QVERIFY(pWnd->IsDestroyed());
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QVERIFY(!Exists(strCom2));
        QVERIFY(!Exists(dir.File("ports") + "/COM1"));
    }

    // The port cell's tip tells where programs open the port.
    void PortCellTellsWhereThePortIs()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        CPortListModel* pModel = pApp->GetMainWnd()->GetModel();
        QCOMPARE(pModel->index(1, COL_PORT).data(Qt::ToolTipRole).toString(),
                 QString::fromStdString(dir.File("ports") + "/COM2"));
        QCOMPARE(pModel->index(1, COL_MODE).data(Qt::ToolTipRole).toString(), QStringLiteral("Client"));
    }

    void SecondCopyIsRefused()
    {
        CInstanceLock running;
        QVERIFY(running.Acquire(CInstanceLock::DefaultPath()));
        CTempDir dir;
        COmbraCtrlApp app;
        QCOMPARE(app.InitInstance({"nimbrel", "--config", QString::fromStdString(WriteTwoPorts(dir))}), 0);
        QCOMPARE(app.GetExitCode(), int(COmbraCtrlApp::EXIT_RUNNING));
        QVERIFY(app.GetMainWnd() == nullptr);
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strCaption, QStringLiteral("Nimbrel"));
        QCOMPARE(m_vecBoxes[0].strText, QStringLiteral("Application already executed."));
    }

    void BadSettingsAreShownAndLeftAlone()
    {
        CTempDir dir;
        const std::string strConfig = dir.File("nimbrel.ini");
        const std::string strBad = "[COM1]\nEnable=1\nMode=modem\n";
        std::ofstream(strConfig) << strBad;
        auto pApp = Start(strConfig, 0);
        QVERIFY(pApp);
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strCaption, QStringLiteral("Error"));
        QVERIFY2(m_vecBoxes[0].strText.contains(QStringLiteral("Mode")), qPrintable(m_vecBoxes[0].strText));
        // Start with nothing enabled does nothing.
        QTest::mouseClick(Button(pApp->GetMainWnd(), "m_btnStartStop"), Qt::LeftButton);
        QCOMPARE(pApp->GetMainWnd()->GetCore().m_bBusy.load(), 0);
        pApp->ExitInstance();
        QCOMPARE(ReadFile(strConfig), strBad);
    }

    void ControlsAreNamedForAssistiveTechnology()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QCOMPARE(pWnd->windowTitle(), QStringLiteral("Nimbrel"));
        const QStringList names = {"m_btnAdd", "m_btnConfig", "m_btnDelete", "m_btnStartStop", "m_btnOption"};
        const QStringList texts = {"Ombra Add", "Ombra Config", "Ombra Delete", "Start", "Option"};
        for (int k = 0; k < names.size(); ++k)
        {
            QPushButton* pButton = Button(pWnd, qPrintable(names[k]));
            QVERIFY(pButton);
            QCOMPARE(pButton->text(), texts[k]);
            QVERIFY(pButton->focusPolicy() & Qt::TabFocus);
        }
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        QVERIFY(!pList->accessibleName().isEmpty());
        QVERIFY(pList->focusPolicy() & Qt::TabFocus);
        QCOMPARE(pWnd->GetModel()->index(1, COL_MODE).data(Qt::AccessibleTextRole).toString(),
                 QStringLiteral("Mode: Client"));
    }
};

QTEST_MAIN(COmbraCtrlDlgQTest)
#include "COmbraCtrlDlgQTest.moc"
