// SPDX-License-Identifier: Apache-2.0
// The program as a user meets it: the real window over real virtual ports,
// started from a settings file, driven through its buttons, its list and its
// tray menu; message boxes are answered through CMessageBox's hook.

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QRadioButton>
#include <QLabel>
#include <QLineEdit>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include "core/service/CInstanceLock.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/window/COmbraCtrlApp.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "core/service/CSettingsFile.h"
#include "gui/dialogs/CAboutDlg.h"
#include "gui/dialogs/CAddDlg.h"
#include "gui/dialogs/COptionDlg.h"
#include "tests/QtTestSupport.h"
#include "tests/TestSupport.h"
#include "gui/widgets/CLogListBox.h"
#include "gui/widgets/CMsgWnd.h"
#include "core/service/COmbraCtrlCore.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListCtrl.h"
#include "core/model/CPortTexts.h"
#include <QHeaderView>
#include <QScrollBar>

using namespace testsupport;

namespace
{

using qttestsupport::RunUntil;

// The Stop and Exit refusal while a program holds COM2 open.
const QString COM2_STILL_USED = QStringLiteral("Virtual Serial Port is still used by other application.\nOpen: COM2");

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
    // Where each test's window keeps its size: never the user's file.
    std::unique_ptr<CTempDir> m_pStateDir;

    // COM1..COM256, clients of 127.0.0.1 port 1 that are not enabled.
    static std::string WriteAllPorts(const CTempDir& dir)
    {
        const std::string strPath = dir.File("nimbrel.ini");
        std::ofstream out(strPath);
        out << "[Options]\nPortDirectory=" << dir.File("ports") << "\n";
        for (int k = 1; k <= 256; ++k)
            out << "[COM" << k << "]\nEnable=0\nMode=client\nIPAddress=127.0.0.1\nPeerPort=1\n";
        return strPath;
    }

    static QRect GeometryIn(QWidget* pWnd, QWidget* pChild)
    {
        return QRect(pChild->mapTo(pWnd, QPoint(0, 0)), pChild->size());
    }

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

    // Clicks the window's button and runs fn on the dialog it opens; fn
    // must end the dialog. False when no dialog came or it stayed open.
    static bool WithDialog(COmbraCtrlDlg* pWnd, const char* pszButton, const std::function<void(CAddDlg*)>& fn)
    {
        QTest::mouseClick(Button(pWnd, pszButton), Qt::LeftButton);
        CAddDlg* pDlg = pWnd->GetAddDlg();
        if (pDlg == nullptr || !QTest::qWaitForWindowExposed(pDlg))
            return false;
        fn(pDlg);
        return pWnd->GetAddDlg() == nullptr;
    }

    template <typename T>
    static T* Child(QWidget* pParent, const char* pszName)
    {
        return pParent->findChild<T*>(QString::fromLatin1(pszName));
    }

    // Selects a row as a click on its Mode cell does.
    static void SelectRow(COmbraCtrlDlg* pWnd, int nRow)
    {
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        const QRect rc = pList->visualRect(pWnd->GetModel()->index(nRow, COL_MODE));
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, rc.center());
    }

    static QStringList RowTexts(COmbraCtrlDlg* pWnd, int nRow)
    {
        QStringList list;
        for (int nCol = 0; nCol < COL_COUNT; ++nCol)
            list << Cell(pWnd, nRow, nCol);
        return list;
    }

private slots:
    void init()
    {
        m_pStateDir = std::make_unique<CTempDir>();
        qputenv("NIMBREL_WINDOW_STATE", QByteArray::fromStdString(m_pStateDir->File("window.ini")));
        m_vecBoxes.clear();
        CMessageBox::s_fnAnswer = [this](const QString& strCaption, const QString& strText) {
            m_vecBoxes.push_back({strCaption, strText});
        };
    }

    void cleanup()
    {
        CMessageBox::s_fnAnswer = nullptr;
        CMessageBox::s_fnChoose = nullptr;
        CMessageBox::s_fnSavePath = nullptr;
        qunsetenv("NIMBREL_WINDOW_STATE");
        m_pStateDir.reset();
    }

    void StartsTheSavedPortsAndConnects()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
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
        // A started row's tool tip adds what its connection carried.
        QVERIFY(write(hApp, "abc", 3) == 3);
        const QModelIndex mode = pWnd->GetModel()->index(1, COL_MODE);
        QVERIFY(RunUntil([&] {
            return mode.data(Qt::ToolTipRole).toString() ==
                   Cell(pWnd, 1, COL_MODE) + QStringLiteral("\nSince Start: 3 bytes sent, 0 received");
        }));

        // While it is open neither Stop nor Exit stops anything.
        QTest::mouseClick(pStart, Qt::LeftButton);
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strCaption, QStringLiteral("Error"));
        QCOMPARE(m_vecBoxes[0].strText, COM2_STILL_USED);
        QCOMPARE(core.m_comData.m_bRunning.load(), 1);
        QCOMPARE(core.m_bBusy.load(), 0);
        pExit->trigger();
        QCOMPARE(int(m_vecBoxes.size()), 2);
        QCOMPARE(m_vecBoxes[1].strText, COM2_STILL_USED);
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
        QCOMPARE(pWnd->GetService().CoreForTest().GetPortDirectory(), dir.File("elsewhere"));
        QSignalSpy spyFinished(pApp.get(), &COmbraCtrlApp::Finished);
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().m_comData.m_bRunning == 1; }));
        const std::string strCom1 = dir.File("elsewhere") + "/COM1";
        const int hApp = OpenApp(strCom1);
        QVERIFY(hApp >= 0);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().IsAnyPortOpen() == 1; }));

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
        QString strVersion;
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QTest::keyClick(pWnd, Qt::Key_F1);
        CAboutDlg* pAbout = pWnd->GetAboutDlg();
        QVERIFY(pAbout != nullptr && pAbout->isVisible());
        strCaption = pAbout->windowTitle();
        strVersion = pAbout->findChild<QLabel*>(QStringLiteral("m_version"))->text();
        const QString strLibraries = pAbout->findChild<QLabel*>(QStringLiteral("m_libraries"))->text();
        const QString strLicence = pAbout->findChild<QLabel*>(QStringLiteral("m_licence"))->text();
        // The libraries the program runs with, and its licence.
        QVERIFY2(strLibraries.startsWith(QStringLiteral("Qt ") + QString::fromLatin1(qVersion()) + QStringLiteral(", OpenSSL ")),
                 qPrintable(strLibraries));
        QVERIFY2(strLicence.contains(QStringLiteral("Apache License, Version 2.0")), qPrintable(strLicence));
        pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
        QCOMPARE(strCaption, QStringLiteral("About Nimbrel"));
        QCOMPARE(strVersion, QStringLiteral("Nimbrel 1.41"));
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

        pWnd->GetService().CoreForTest().m_bErrorBox = 1;
        emit pWnd->GetTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable() ? !pWnd->isVisible() : pWnd->isMinimized());
        pWnd->GetService().CoreForTest().m_bErrorBox = 0;
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
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().m_comData.m_bRunning == 1 && pWnd->GetService().CoreForTest().m_bBusy == 0; }));
        const std::string strCom2 = dir.File("ports") + "/COM2";
        const int hApp = OpenApp(strCom2);
        QVERIFY(hApp >= 0);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().IsAnyPortOpen() == 1; }));

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
                 QStringList({QStringLiteral("&About Nimbrel"), QStringLiteral("-"), QStringLiteral("Exit")}));
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strText, COM2_STILL_USED);
        QVERIFY(!pWnd->IsDestroyed());
        QVERIFY(Exists(strCom2));

        close(hApp);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().IsAnyPortOpen() == 0; }));
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
        QVERIFY(running.Acquire(CInstanceLock::DefaultPath()) == CInstanceLock::EResult::Acquired);
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
        QCOMPARE(pApp->GetMainWnd()->GetService().CoreForTest().m_bBusy.load(), 0);
        pApp->ExitInstance();
        QCOMPARE(ReadFile(strConfig), strBad);
    }

    // Whether a saved file holds a port listening on nLocalPort.
    static bool HasServerPort(const CSettingsFile& saved, int nLocalPort)
    {
        return std::any_of(saved.m_ports.begin(), saved.m_ports.end(), [&](const CPortEntry& port) {
            return port.m_bUse == 1 && port.m_nMode == MODE_TCP_SERVER && port.m_nLocPort == nLocalPort;
        });
    }

    // Adds a server port on the first free number through the Add dialog.
    static bool AddServerPort(COmbraCtrlDlg* pWnd, const QString& strLocalPort)
    {
        return WithDialog(pWnd, "m_btnAdd", [&](CAddDlg* pDlg) {
            QTest::mouseClick(Child<QRadioButton>(pDlg, "m_radioTcpServer"), Qt::LeftButton);
            auto* pLocal = Child<QLineEdit>(pDlg, "m_editLocPort");
            pLocal->selectAll();
            QTest::keyClicks(pLocal, strLocalPort);
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnOk"), Qt::LeftButton);
        });
    }

    // A refused file holds the user's ports: a change in the window never
    // writes over it unasked, and each answer keeps it whole.
    void RefusedSettingsAreNeverWrittenOver()
    {
        CTempDir dir;
        const std::string strConfig = dir.File("nimbrel.ini");
        const std::string strBad = "[Options]\nPortDirectory=" + dir.File("ports") +
                                   "\n[COM1]\nEnable=1\nMode=client\nIPAddress=10.0.0.1\nPeerPort=23\n"
                                   "[COM2]\nEnable=1\nMode=modem\n[COM3]\nEnable=1\nMode=server\nLocalPort=9\n";
        std::ofstream(strConfig) << strBad;
        auto pApp = Start(strConfig, 0);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QCOMPARE(int(m_vecBoxes.size()), 1);

        std::vector<QStringList> vecAsked;
        std::vector<int> vecAnswers = {2, 1, 0};  // Cancel, Save Elsewhere, Keep It and Write New
        CMessageBox::s_fnChoose = [&](const QString&, const QString& strText, const QStringList& answers) {
            vecAsked.push_back(QStringList{strText} + answers);
            const int n = vecAnswers.front();
            vecAnswers.erase(vecAnswers.begin());
            return n;
        };
        const std::string strElsewhere = dir.File("elsewhere.ini");
        CMessageBox::s_fnSavePath = [&](const QString&) { return QString::fromStdString(strElsewhere); };

        // Cancel: nothing written.
        QVERIFY(AddServerPort(pWnd, QStringLiteral("5000")));
        QCOMPARE(int(vecAsked.size()), 1);
        QVERIFY2(vecAsked[0][0].contains(QString::fromStdString(strConfig)), qPrintable(vecAsked[0][0]));
        QCOMPARE(ReadFile(strConfig), strBad);

        // Save Elsewhere: the refused file stays as it is, the new one has the port.
        QVERIFY(AddServerPort(pWnd, QStringLiteral("5001")));
        QCOMPARE(int(vecAsked.size()), 2);
        QCOMPARE(ReadFile(strConfig), strBad);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strElsewhere, &strError), strError.c_str());
        QVERIFY(HasServerPort(saved, 5000) && HasServerPort(saved, 5001));
        QCOMPARE(pWnd->GetSettingsPath(), strElsewhere);
        // That file is the window's now: later changes go there unasked.
        QVERIFY(AddServerPort(pWnd, QStringLiteral("5002")));
        QCOMPARE(int(vecAsked.size()), 2);
        QVERIFY2(saved.Load(strElsewhere, &strError), strError.c_str());
        QVERIFY(HasServerPort(saved, 5002));
        pApp->ExitInstance();
        pApp.reset();

        // Keep It and Write New: the refused file moves aside whole.
        m_vecBoxes.clear();
        pApp = Start(strConfig, 0);
        QVERIFY(pApp);
        pWnd = pApp->GetMainWnd();
        QVERIFY(AddServerPort(pWnd, QStringLiteral("5003")));
        QCOMPARE(int(vecAsked.size()), 3);
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QVERIFY(HasServerPort(saved, 5003));
        const QStringList kept = QDir(QString::fromStdString(dir.Path()))
                                     .entryList({QStringLiteral("nimbrel.ini.bad-*")}, QDir::Files);
        QCOMPARE(kept.size(), 1);
        QCOMPARE(ReadFile(dir.File(kept[0].toStdString())), strBad);
        pApp->ExitInstance();
    }

    // Another program's edit since the window read the file is not
    // replaced without asking.
    void ChangedSettingsAreNotSilentlyReplaced()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        int nAnswer = 2;
        int nAsked = 0;
        CMessageBox::s_fnChoose = [&](const QString&, const QString& strText, const QStringList&) {
            ++nAsked;
            [&] { QVERIFY2(strText.contains(QStringLiteral("changed by another program")), qPrintable(strText)); }();
            return nAnswer;
        };

        // Saves of the window's own do not ask.
        ClickStrip(pWnd, 0);
        ClickStrip(pWnd, 0);
        QCOMPARE(nAsked, 0);

        std::ofstream(strConfig, std::ios::app) << "[COM9]\nEnable=0\nMode=udp\n";
        const std::string strEdited = ReadFile(strConfig);
        ClickStrip(pWnd, 1);  // Cancel
        QCOMPARE(nAsked, 1);
        QCOMPARE(ReadFile(strConfig), strEdited);
        nAnswer = 0;  // Write Over It
        ClickStrip(pWnd, 1);
        QCOMPARE(nAsked, 2);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_ports[8].m_bUse, 0);
        QCOMPARE(saved.m_ports[1].m_bEnable, pWnd->GetService().CoreForTest().m_comData.GetEnable(1));
        ClickStrip(pWnd, 1);
        QCOMPARE(nAsked, 2);
        pApp->ExitInstance();
    }

    // A made-up machine (ttyS0 and ttyS2 with UARTs, ttyS1 without one, a
    // foreign COM12 link) with COM2 configured: Add offers neither COM1,
    // COM2, COM3 nor COM12, opens on COM4, and the new server port is
    // listed, counted and saved.
    void AddSkipsSystemPortsAndSaves()
    {
        CTempDir dir;
        const std::string strConfig = dir.File("nimbrel.ini");
        std::ofstream(strConfig) << "[Options]\nPortDirectory=" << dir.File("ports") << "\n"
                                 << "[COM2]\nEnable=1\nMode=client\nIPAddress=127.0.0.1\nPeerPort=7\n";
        for (const char* psz : {"ttyS0:4", "ttyS1:0", "ttyS2:4"})
        {
            const QStringList parts = QString::fromLatin1(psz).split(QLatin1Char(':'));
            const std::string strTty = dir.File("sys/class/tty/" + parts[0].toStdString());
            QCOMPARE(RunCommand({"mkdir", "-p", strTty}), 0);
            std::ofstream(strTty + "/type") << parts[1].toStdString() << "\n";
        }
        auto pApp = Start(strConfig, 1);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        core.m_strSysRoot = dir.File("sys");
        QCOMPARE(symlink("/dev/null", (dir.File("ports") + "/COM12").c_str()), 0);
        QCOMPARE(core.m_comData.m_nEnableCount, 1);

        QStringList items;
        QVERIFY(WithDialog(pWnd, "m_btnAdd", [&](CAddDlg* pDlg) {
            QCOMPARE(pDlg->windowTitle(), QStringLiteral("Add"));
            auto* pCombo = Child<QComboBox>(pDlg, "m_comboPort");
            for (int i = 0; i < pCombo->count(); ++i)
                items << pCombo->itemText(i);
            QTest::mouseClick(Child<QRadioButton>(pDlg, "m_radioTcpServer"), Qt::LeftButton);
            auto* pLocal = Child<QLineEdit>(pDlg, "m_editLocPort");
            pLocal->selectAll();
            QTest::keyClicks(pLocal, QStringLiteral("5000"));
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnOk"), Qt::LeftButton);
        }));
        QCOMPARE(items.first(), QStringLiteral("COM4"));
        for (const char* psz : {"COM1", "COM2", "COM3", "COM12"})
            QVERIFY2(!items.contains(QLatin1String(psz)), psz);
        QCOMPARE(items.size(), 252);

        QCOMPARE(pWnd->GetModel()->rowCount(), 2);
        QCOMPARE(RowTexts(pWnd, 1), (QStringList{"COM4", "None", "Server", "----------", "5000", "Not Connect",
                                                 "--------", "-----", "-----", "-----"}));
        QCOMPARE(pWnd->GetModel()->index(1, COL_PORT).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(core.m_comData.m_nEnableCount, 2);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_ports[3].m_bUse, 1);
        QCOMPARE(saved.m_ports[3].m_nMode, MODE_TCP_SERVER);
        QCOMPARE(saved.m_ports[3].m_nLocPort, 5000);

        // CANCEL stores nothing.
        const std::string strBefore = ReadFile(strConfig);
        QVERIFY(WithDialog(pWnd, "m_btnAdd", [&](CAddDlg* pDlg) {
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnCancel"), Qt::LeftButton);
        }));
        QCOMPARE(pWnd->GetModel()->rowCount(), 2);
        QCOMPARE(ReadFile(strConfig), strBefore);
        QVERIFY(m_vecBoxes.empty());
    }

    // All 256 numbers configured: Add says so instead of opening a dialog
    // with nothing to choose.
    void AddWithoutAFreeNumberSaysSo()
    {
        CTempDir dir;
        const std::string strConfig = dir.File("nimbrel.ini");
        {
            std::ofstream out(strConfig);
            out << "[Options]\nPortDirectory=" << dir.File("ports") << "\n";
            for (int i = 1; i <= 256; ++i)
                out << "[COM" << i << "]\nMode=server\n";
        }
        auto pApp = Start(strConfig, 256);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        bool bOpened = false;
        {
            // Ends a dialog that should not have come, so the test goes on.
            QObject guard;
            QTimer::singleShot(0, &guard, [&] {
                if (CAddDlg* pDlg = pWnd->GetAddDlg())
                {
                    bOpened = true;
                    pDlg->done(QDialog::Rejected);
                }
            });
            QTest::mouseClick(Button(pWnd, "m_btnAdd"), Qt::LeftButton);
            QCoreApplication::processEvents();
        }
        QVERIFY(!bOpened);
        QCOMPARE(int(m_vecBoxes.size()), 1);
        QCOMPARE(m_vecBoxes[0].strCaption, QStringLiteral("Nimbrel"));
        QCOMPARE(m_vecBoxes[0].strText,
                 QStringLiteral("No free COM number: COM1 to COM256 are all configured or present on this machine."));
        QCOMPARE(pWnd->GetModel()->rowCount(), 256);
    }

    // The dialog opens on the table's values: Config on the selected port's,
    // Add on the first free number's, which a deleted port leaves behind.
    void AddAndConfigShowTheTableEntries()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        // No serial port of the machine takes COM1.
        core.m_strSysRoot = dir.File("sys");
        const QString strServerPort = QString::number(core.m_comData.GetLocPort(0));
        const QString strClientPeer = QString::number(core.m_comData.GetPeerPort(1));

        SelectRow(pWnd, 1);
        QVERIFY(WithDialog(pWnd, "m_btnConfig", [&](CAddDlg* pDlg) {
            QCOMPARE(Child<QComboBox>(pDlg, "m_comboPort")->currentText(), QStringLiteral("COM2"));
            QVERIFY(Child<QRadioButton>(pDlg, "m_radioTcpClient")->isChecked());
            QCOMPARE(Child<QLineEdit>(pDlg, "m_editIPAddress")->text(), QStringLiteral("127.0.0.1"));
            QCOMPARE(Child<QLineEdit>(pDlg, "m_editPeerPort")->text(), strClientPeer);
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnCancel"), Qt::LeftButton);
        }));

        SelectRow(pWnd, 0);
        QTest::mouseClick(Button(pWnd, "m_btnDelete"), Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 1);
        QVERIFY(WithDialog(pWnd, "m_btnAdd", [&](CAddDlg* pDlg) {
            QCOMPARE(Child<QComboBox>(pDlg, "m_comboPort")->currentText(), QStringLiteral("COM1"));
            QVERIFY(Child<QRadioButton>(pDlg, "m_radioTcpServer")->isChecked());
            QCOMPARE(Child<QLineEdit>(pDlg, "m_editLocPort")->text(), strServerPort);
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnOk"), Qt::LeftButton);
        }));
        QCOMPARE(pWnd->GetModel()->rowCount(), 2);
        QCOMPARE(Cell(pWnd, 1, COL_PORT), QStringLiteral("COM1"));
        QCOMPARE(Cell(pWnd, 1, COL_LOCAL), strServerPort);
        QCOMPARE(core.m_comData.GetMode(0), MODE_TCP_SERVER);
        QVERIFY(m_vecBoxes.empty());
    }

    // Config on a row changes columns 2 to 4 only; Delete needs no answer
    // and lowers the enabled count only for an enabled entry.
    void ConfigAndDeleteTheSelectedRow()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();

        // Nothing selected: neither does anything (nor can be clicked).
        pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"))->clearSelection();
        QTest::mouseClick(Button(pWnd, "m_btnConfig"), Qt::LeftButton);
        QVERIFY(pWnd->GetAddDlg() == nullptr);
        QTest::mouseClick(Button(pWnd, "m_btnDelete"), Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 2);

        core.ChangePort(1, [](CPortView& view) { view.connection = EConnectionState::ConnectError; });
        const QStringList before = RowTexts(pWnd, 1);
        SelectRow(pWnd, 1);
        QVERIFY(WithDialog(pWnd, "m_btnConfig", [&](CAddDlg* pDlg) {
            QCOMPARE(pDlg->windowTitle(), QStringLiteral("Config"));
            QCOMPARE(Child<QComboBox>(pDlg, "m_comboPort")->currentText(), QStringLiteral("COM2"));
            QTest::mouseClick(Child<QRadioButton>(pDlg, "m_radioUdp"), Qt::LeftButton);
            auto* pIP = Child<QLineEdit>(pDlg, "m_editIPAddress");
            pIP->selectAll();
            QTest::keyClicks(pIP, QStringLiteral("192.168.0.10"));
            auto* pPeer = Child<QLineEdit>(pDlg, "m_editPeerPort");
            pPeer->selectAll();
            QTest::keyClicks(pPeer, QStringLiteral("23"));
            auto* pLocal = Child<QLineEdit>(pDlg, "m_editLocPort");
            pLocal->selectAll();
            QTest::keyClicks(pLocal, QStringLiteral("24"));
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnOk"), Qt::LeftButton);
        }));
        QStringList after = RowTexts(pWnd, 1);
        QCOMPARE(after.mid(COL_MODE, 3), (QStringList{"UDP", "192.168.0.10:23", "24"}));
        after.replace(COL_MODE, before[COL_MODE]);
        after.replace(COL_PEER, before[COL_PEER]);
        after.replace(COL_LOCAL, before[COL_LOCAL]);
        QCOMPARE(after, before);
        QCOMPARE(core.m_comData.GetUse(1), 1);
        QCOMPARE(core.m_comData.GetEnable(1), 1);
        QCOMPARE(core.m_comData.m_nEnableCount, 2);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_ports[1].m_nMode, MODE_UDP);
        QCOMPARE(saved.m_ports[1].m_nLocPort, 24);

        // COM1 unticked, then deleted: the count stays; COM2 enabled: it drops.
        ClickStrip(pWnd, 0);
        QCOMPARE(core.m_comData.m_nEnableCount, 1);
        SelectRow(pWnd, 0);
        QTest::mouseClick(Button(pWnd, "m_btnDelete"), Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 1);
        QCOMPARE(Cell(pWnd, 0, COL_PORT), QStringLiteral("COM2"));
        QCOMPARE(core.m_comData.m_nEnableCount, 1);
        SelectRow(pWnd, 0);
        QTest::mouseClick(Button(pWnd, "m_btnDelete"), Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
        QCOMPARE(core.m_comData.m_nEnableCount, 0);
        QVERIFY(m_vecBoxes.empty());
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_ports[0].m_bUse, 0);
        QCOMPARE(saved.m_ports[1].m_bUse, 0);
    }

    // Config and Delete act on the selected row: off until one is selected,
    // off again when none is (the last row deleted), and off while the
    // ports are started.
    void ConfigAndDeleteNeedASelectedRow()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        QPushButton* pConfig = Button(pWnd, "m_btnConfig");
        QPushButton* pDelete = Button(pWnd, "m_btnDelete");
        QVERIFY(!pConfig->isEnabled() && !pDelete->isEnabled());
        QVERIFY(Button(pWnd, "m_btnAdd")->isEnabled());

        SelectRow(pWnd, 0);
        QVERIFY(pConfig->isEnabled() && pDelete->isEnabled());
        pList->clearSelection();
        QVERIFY(!pConfig->isEnabled() && !pDelete->isEnabled());

        // The list selects the row after a deleted one: that one is next.
        SelectRow(pWnd, 0);
        QTest::mouseClick(pDelete, Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 1);
        QCOMPARE(pList->selectionModel()->isRowSelected(0, QModelIndex()), pDelete->isEnabled());

        SelectRow(pWnd, 0);
        QVERIFY(pConfig->isEnabled());
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().m_comData.m_bRunning == 1 && !pWnd->GetService().CoreForTest().m_bBusy; }));
        QVERIFY(!pConfig->isEnabled() && !pDelete->isEnabled());
        SelectRow(pWnd, 0);
        QVERIFY(!pConfig->isEnabled() && !pDelete->isEnabled());
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().m_comData.m_bRunning == 0 && !pWnd->GetService().CoreForTest().m_bBusy; }));
        QVERIFY(pConfig->isEnabled() && pDelete->isEnabled());
        QTest::mouseClick(pDelete, Qt::LeftButton);
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
        QVERIFY(!pConfig->isEnabled() && !pDelete->isEnabled());
        QVERIFY(m_vecBoxes.empty());
    }

    // Exit while a connection test waits for a silent peer: the test ends
    // first, its thread is waited for, then the program ends.
    void ExitDuringAConnectionTest()
    {
        CFullListener listener;
        QVERIFY(listener.IsFull());
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        int bThreadWasRunning = 0;
        int bThreadRunsAfter = 1;
        SelectRow(pWnd, 1);
        QVERIFY(WithDialog(pWnd, "m_btnConfig", [&](CAddDlg* pDlg) {
            auto* pPeer = Child<QLineEdit>(pDlg, "m_editPeerPort");
            pPeer->selectAll();
            QTest::keyClicks(pPeer, QString::number(listener.Port()));
            QTest::mouseClick(Child<QPushButton>(pDlg, "m_btnConnectTest"), Qt::LeftButton);
            CLogListBox* pLog = pDlg->GetLog();
            RunUntil([&] { return pLog->GetCount() == 3; }, 3000);
            bThreadWasRunning = pDlg->GetTest().IsThreadRunning();
            pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
            bThreadRunsAfter = pDlg->GetTest().IsThreadRunning();
        }));
        QCOMPARE(bThreadWasRunning, 1);
        QCOMPARE(bThreadRunsAfter, 0);
        QVERIFY(pWnd->IsDestroyed());
        QVERIFY(m_vecBoxes.empty());
    }

    // Option while stopped: the values go to the core and the settings file
    // after OK, never after CANCEL.
    void OptionDialogEditsAndSaves()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        auto drive = [pWnd](const QString& strTimeout, const char* pszButton) {
            QTest::mouseClick(Button(pWnd, "m_btnOption"), Qt::LeftButton);
            COptionDlg* pDlg = pWnd->GetOptionDlg();
            QVERIFY(pDlg != nullptr && pDlg->isVisible());
            // One dialog at a time.
            QTest::mouseClick(Button(pWnd, "m_btnOption"), Qt::LeftButton);
            QCOMPARE(pWnd->GetOptionDlg(), pDlg);
            const QList<COptionDlg*> dialogs = pWnd->findChildren<COptionDlg*>();
            QCOMPARE(int(std::count_if(dialogs.begin(), dialogs.end(), [](COptionDlg* p) { return p->isVisible(); })), 1);
            auto* pEdit = pDlg->findChild<QLineEdit*>(QStringLiteral("m_editConnectTimeout"));
            pEdit->selectAll();
            QTest::keyClicks(pEdit, strTimeout);
            QTest::mouseClick(pDlg->findChild<QPushButton*>(QString::fromLatin1(pszButton)), Qt::LeftButton);
        };
        drive(QStringLiteral("42"), "m_btnCancel");
        QVERIFY(pWnd->GetOptionDlg() == nullptr);
        QCOMPARE(pWnd->GetService().CoreForTest().m_options.m_nConnectTimeout, 10);
        QVERIFY(ReadFile(strConfig).find("ConnectTimeout") == std::string::npos);

        drive(QStringLiteral("42"), "m_btnOk");
        QVERIFY(pWnd->GetOptionDlg() == nullptr);
        QCOMPARE(pWnd->GetService().CoreForTest().m_options.m_nConnectTimeout, 42);
        CSettingsFile saved;
        std::string strError;
        QVERIFY2(saved.Load(strConfig, &strError), strError.c_str());
        QCOMPARE(saved.m_options.m_nConnectTimeout, 42);
        QVERIFY(m_vecBoxes.empty());
    }

    // While the ports run the dialog only shows the values; Exit ends it
    // before anything else.
    void OptionDialogIsReadOnlyWhileStarted()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pWnd->GetService().CoreForTest().m_comData.m_bRunning == 1 && !pWnd->GetService().CoreForTest().m_bBusy; }));
        QVERIFY(Button(pWnd, "m_btnOption")->isEnabled());
        int nEnabledEdits = -1;
        int bOkEnabled = -1;
        QTest::mouseClick(Button(pWnd, "m_btnOption"), Qt::LeftButton);
        COptionDlg* pDlg = pWnd->GetOptionDlg();
        QVERIFY(pDlg != nullptr);
        nEnabledEdits = 0;
        for (QLineEdit* pEdit : pDlg->findChildren<QLineEdit*>())
            nEnabledEdits += pEdit->isEnabled() ? 1 : 0;
        bOkEnabled = pDlg->findChild<QPushButton*>(QStringLiteral("m_btnOk"))->isEnabled() ? 1 : 0;
        pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
        QCOMPARE(nEnabledEdits, 0);
        QCOMPARE(bOkEnabled, 0);
        QVERIFY(pWnd->GetOptionDlg() == nullptr);
        QVERIFY(pWnd->IsDestroyed());
        QVERIFY(ReadFile(strConfig).find("ConnectTimeout") == std::string::npos);
    }

    // The window starts wide enough for all ten columns with 256 rows (and
    // so the vertical scroll bar), at the usual font and at 1.5 times it;
    // the list, the status line and the buttons do not overlap.
    void StartSizeShowsEveryColumn_data()
    {
        QTest::addColumn<double>("dScale");
        QTest::newRow("default font") << 1.0;
        QTest::newRow("1.5 x font") << 1.5;
    }

    void StartSizeShowsEveryColumn()
    {
        QFETCH(double, dScale);
        const QFont fontBefore = QApplication::font();
        QFont font = fontBefore;
        font.setPointSizeF(font.pointSizeF() * dScale);
        QApplication::setFont(font);
        CTempDir dir;
        auto pApp = Start(WriteAllPorts(dir), 256);
        QApplication::setFont(fontBefore);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->show();
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        QVERIFY(RunUntil([&] { return pList->verticalScrollBar()->isVisible(); }));
        QVERIFY(!pList->horizontalScrollBar()->isVisible());
        for (int nCol = 0; nCol < COL_COUNT; ++nCol)
        {
            const int nRight = pList->header()->sectionViewportPosition(nCol) + pList->columnWidth(nCol);
            QVERIFY2(nRight <= pList->viewport()->width(), qPrintable(QString::number(nCol)));
            const bool bIcon = nCol == COL_PORT || nCol == COL_CREATE || nCol == COL_CONNECTION;
            QVERIFY2(CTraceListDelegate::CellWidth(pList, pList->fontMetrics(),
                                                   QString::fromLatin1(CPortTexts::WidestCell(nCol)), bIcon) <=
                         pList->columnWidth(nCol),
                     qPrintable(QString::number(nCol)));
        }
        QVERIFY(pList->viewport()->height() >= 10 * pList->RowHeight());

        auto* pStatus = pWnd->findChild<QLabel*>(QStringLiteral("m_status"));
        QVERIFY(pStatus != nullptr);
        QVERIFY(RunUntil([&] { return pWnd->GetStatusLine() == QStringLiteral("256 ports, 0 connected"); }));
        const QRect rcList = GeometryIn(pWnd, pList);
        const QRect rcStatus = GeometryIn(pWnd, pStatus);
        QVERIFY(!rcList.intersects(rcStatus));
        QVERIFY(rcStatus.height() >= pStatus->fontMetrics().height());
        for (QPushButton* pButton : pWnd->findChildren<QPushButton*>())
        {
            const QRect rc = GeometryIn(pWnd, pButton);
            QVERIFY2(!rc.intersects(rcList) && !rc.intersects(rcStatus), qPrintable(pButton->objectName()));
            QVERIFY2(pButton->width() >= pButton->fontMetrics().horizontalAdvance(pButton->text()),
                     qPrintable(pButton->objectName()));
            QVERIFY(pWnd->rect().contains(rc));
        }
        pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
    }

    // Size and column widths come back at the next start, from a file of
    // their own: the ports' settings file (nimbreld's too) never has them.
    void WindowKeepsItsSizeAndColumns()
    {
        CTempDir dir;
        const std::string strConfig = WriteTwoPorts(dir);
        QSize sizeWanted;
        {
            auto pApp = Start(strConfig, 2);
            QVERIFY(pApp);
            COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
            pWnd->show();
            QVERIFY(QTest::qWaitForWindowExposed(pWnd));
            sizeWanted = pWnd->size() + QSize(150, 80);
            pWnd->resize(sizeWanted);
            pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"))->setColumnWidth(COL_PEER, 230);
            QVERIFY(RunUntil([&] { return pWnd->size() == sizeWanted; }));
            // A change saves the ports' file, so it would show up there.
            ClickStrip(pWnd, 0);
            pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
            QVERIFY(pWnd->IsDestroyed());
        }
        QVERIFY(Exists(m_pStateDir->File("window.ini")));
        QVERIFY(ReadFile(strConfig).find("Geometry") == std::string::npos);
        QVERIFY(ReadFile(strConfig).find("Columns") == std::string::npos);

        auto pApp = Start(strConfig, 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->show();
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QCOMPARE(pWnd->size(), sizeWanted);
        QCOMPARE(pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"))->columnWidth(COL_PEER), 230);
        pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
    }

    // Under the list: the selected row's reason when it has one, otherwise
    // the counts; it follows the rows as they change.
    void StatusLineShowsTheReasonOrTheCounts()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        pWnd->show();
        QVERIFY(QTest::qWaitForWindowExposed(pWnd));
        QVERIFY(RunUntil([&] { return pWnd->GetStatusLine() == QStringLiteral("2 ports, 0 connected"); }));

        core.ChangePort(1, [](CPortView& view) {
            view.connection = EConnectionState::ConnectError;
            view.strReason = "connect 127.0.0.1:9: Connection refused";
        });
        core.ChangePort(0, [](CPortView& view) { view.connection = EConnectionState::Connected; });
        QVERIFY(RunUntil([&] { return pWnd->GetStatusLine() == QStringLiteral("2 ports, 1 connected"); }));
        SelectRow(pWnd, 1);
        QVERIFY(RunUntil(
            [&] { return pWnd->GetStatusLine() == QStringLiteral("COM2: connect 127.0.0.1:9: Connection refused"); }));
        // A row without a reason shows the counts again.
        SelectRow(pWnd, 0);
        QVERIFY(RunUntil([&] { return pWnd->GetStatusLine() == QStringLiteral("2 ports, 1 connected"); }));
        pWnd->findChild<QAction*>(QStringLiteral("actionExit"))->trigger();
    }

    void ControlsAreNamedForAssistiveTechnology()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir), 2);
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QCOMPARE(pWnd->windowTitle(), QStringLiteral("Nimbrel"));
        const QStringList names = {"m_btnAdd",       "m_btnConfig", "m_btnDelete",
                                   "m_btnStartStop", "m_btnOption", "m_btnMonitor"};
        const QStringList texts = {"Ombra Add", "Ombra Config", "Ombra Delete", "Start", "Option", "Monitor"};
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
