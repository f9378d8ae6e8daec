// SPDX-License-Identifier: Apache-2.0
// The port monitor as a user meets it: the real window over real virtual
// ports, its Monitor button and a double click on a row, the monitor
// window's lines and controls.

#include <fstream>
#include <sstream>
#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "core/service/CMonitorTap.h"
#include "core/service/COmbraCtrlCore.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/widgets/CMonitorView.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListCtrl.h"
#include "gui/window/CMonitorDlg.h"
#include "gui/window/COmbraCtrlApp.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "tests/QtTestSupport.h"
#include "tests/TestSupport.h"

using namespace testsupport;
using qttestsupport::RunUntil;

namespace
{

// The bytes of one direction's lines ("time  kind  hex  text"), in order.
std::string BytesOf(const QString& strLines, const char* pszDirection)
{
    std::string bytes;
    bool bMine = false;
    for (const QString& strLine : strLines.split(QLatin1Char('\n')))
    {
        // A row that continues a burst is blank where the time stands.
        if (!strLine.startsWith(QLatin1Char(' ')))
            bMine = strLine.mid(14, 9).trimmed() == QLatin1String(pszDirection);
        if (!bMine)
            continue;
        for (const QString& strHex : strLine.mid(25).split(QStringLiteral("  ")).first().split(QLatin1Char(' ')))
            bytes += static_cast<char>(strHex.toInt(nullptr, 16));
    }
    return bytes;
}

std::string AllByteValues()
{
    std::string str;
    for (int k = 0; k < 256; ++k)
        str += static_cast<char>(k);
    return str;
}

}  // namespace

class CMonitorDlgQTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<CTempDir> m_pStateDir;

    // COM1: a TCP server on a free loopback port; COM2: a TCP client to it.
    static std::string WriteTwoPorts(const CTempDir& dir)
    {
        const int nPort = UnusedTcpPort();
        const std::string strPath = dir.File("nimbrel.ini");
        std::ofstream out(strPath);
        out << "[Options]\nPortDirectory=" << dir.File("ports") << "\n"
            << "[COM1]\nEnable=1\nMode=server\nLocalPort=" << nPort << "\n"
            << "[COM2]\nEnable=1\nMode=client\nIPAddress=127.0.0.1\nPeerPort=" << nPort << "\n";
        return strPath;
    }

    static std::unique_ptr<COmbraCtrlApp> Start(const std::string& strConfig)
    {
        auto pApp = std::make_unique<COmbraCtrlApp>();
        if (!pApp->InitInstance(QStringList{"nimbrel", "--config", QString::fromStdString(strConfig)}))
            return nullptr;
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        if (!RunUntil([&] { return pWnd->GetModel()->rowCount() == 2; }))
            return nullptr;
        return pApp;
    }

    static QPushButton* Button(QWidget* pWnd, const char* pszName)
    {
        return pWnd->findChild<QPushButton*>(QString::fromLatin1(pszName));
    }

    static QRect RowRect(COmbraCtrlDlg* pWnd, int nRow)
    {
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        return pList->visualRect(pWnd->GetModel()->index(nRow, COL_MODE));
    }

    static void SelectRow(COmbraCtrlDlg* pWnd, int nRow)
    {
        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, RowRect(pWnd, nRow).center());
    }

    static void Start(COmbraCtrlDlg* pWnd)
    {
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        QVERIFY(RunUntil([&] { return core.m_comData.m_bRunning == 1 && core.m_bBusy == 0; }));
    }

    // Records straight into the port's ring, as its worker writes them.
    static void Capture(COmbraCtrlDlg* pWnd, int nPort, ECapture kind, const std::string& str)
    {
        pWnd->GetService().CoreForTest().m_ports[nPort].CaptureRing()->Put(
            kind, reinterpret_cast<const unsigned char*>(str.data()), str.size());
    }

private slots:
    void init()
    {
        m_pStateDir = std::make_unique<CTempDir>();
        qputenv("NIMBREL_WINDOW_STATE", QByteArray::fromStdString(m_pStateDir->File("window.ini")));
        CMessageBox::s_fnAnswer = [](const QString&, const QString&) {};
    }

    void cleanup()
    {
        CMessageBox::s_fnAnswer = nullptr;
        CMessageBox::s_fnSavePath = nullptr;
        qunsetenv("NIMBREL_WINDOW_STATE");
        m_pStateDir.reset();
    }

    void ButtonAndDoubleClickOpenOneWindowPerPort()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir));
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        QPushButton* pMonitor = Button(pWnd, "m_btnMonitor");
        QVERIFY(pMonitor);
        QVERIFY2(!pMonitor->isEnabled(), "no row selected");
        SelectRow(pWnd, 1);
        QVERIFY(pMonitor->isEnabled());
        QTest::mouseClick(pMonitor, Qt::LeftButton);
        QCOMPARE(pWnd->GetMonitorDlgs().size(), 1);
        CMonitorDlg* pCom2 = pWnd->GetMonitorDlgs().first();
        QCOMPARE(pCom2->windowTitle(), QStringLiteral("Monitor COM2"));
        QVERIFY(!pCom2->isModal());
        QVERIFY(QTest::qWaitForWindowExposed(pCom2));
        // The main window goes on taking input meanwhile.
        QVERIFY(pWnd->isEnabled() && Button(pWnd, "m_btnStartStop")->isEnabled());
        QTest::mouseClick(pMonitor, Qt::LeftButton);
        // The port's window again, not a second one.
        QCOMPARE(pWnd->GetMonitorDlgs().size(), 1);

        auto* pList = pWnd->findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
        QSignalSpy spyDouble(pList, &CTraceListCtrl::RowDoubleClicked);
        QTest::mouseDClick(pList->viewport(), Qt::LeftButton, {}, RowRect(pWnd, 0).center());
        QCOMPARE(spyDouble.count(), 1);
        QCOMPARE(pWnd->GetMonitorDlgs().size(), 2);
        QCOMPARE(pWnd->GetMonitorDlgs().last()->windowTitle(), QStringLiteral("Monitor COM1"));

        // Started, the button still opens monitors.
        Start(pWnd);
        SelectRow(pWnd, 1);
        QVERIFY(pMonitor->isEnabled());

        // Every control is named; the lines are a read-only text.
        for (QAbstractButton* pButton : pCom2->findChildren<QAbstractButton*>())
            QVERIFY2(!pButton->text().isEmpty() || !pButton->accessibleName().isEmpty(),
                     qPrintable(pButton->objectName()));
        QCOMPARE(Button(pCom2, "m_btnSave")->text(), QStringLiteral("Save..."));
        QVERIFY(pCom2->View()->isReadOnly());
        QCOMPARE(pCom2->View()->accessibleName(), QStringLiteral("Monitor COM2"));

        // Closing a window ends its port's monitor.
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        QVERIFY(core.m_ports[1].Worker().GetCapture() != nullptr);
        pCom2->close();
        QVERIFY(RunUntil([&] { return pWnd->GetMonitorDlgs().size() == 1; }));
        QVERIFY(core.m_ports[1].Worker().GetCapture() == nullptr);
        QVERIFY(core.m_ports[0].Worker().GetCapture() != nullptr);
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return core.m_comData.m_bRunning == 0 && core.m_bBusy == 0; }));
    }

    void ShowsWhatCrossesThePortBothWays()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir));
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        Start(pWnd);
        pWnd->OpenMonitor(1);
        CMonitorDlg* pDlg = pWnd->GetMonitorDlgs().first();
        const int hServerApp = OpenApp(dir.File("ports") + "/COM1");
        const int hApp = OpenApp(dir.File("ports") + "/COM2");
        QVERIFY(hServerApp >= 0 && hApp >= 0);
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        QVERIFY(RunUntil([&] { return core.m_rows.GetItemText(1, COL_CONNECTION) == "Connected"; }));
        const std::string strAll = AllByteValues();
        const std::string strBack(strAll.rbegin(), strAll.rend());
        QVERIFY(WriteAll(hApp, strAll));
        QCOMPARE(ReadFor(hServerApp, 256), strAll);
        QVERIFY(WriteAll(hServerApp, strBack));
        QCOMPARE(ReadFor(hApp, 256), strBack);
        QVERIFY(RunUntil([&] { return BytesOf(pDlg->View()->Lines(), "from peer").size() >= 256; }));
        QCOMPARE(BytesOf(pDlg->View()->Lines(), "to peer"), strAll);
        QCOMPARE(BytesOf(pDlg->View()->Lines(), "from peer"), strBack);
        QVERIFY(pDlg->View()->Lines().contains(QStringLiteral("  event      The application opened the port")));
        QVERIFY(pDlg->View()->Lines().contains(QStringLiteral("  event      Connected")));

        // Text only, then hex only: the kept lines again in the new form.
        auto* pHex = pDlg->findChild<QCheckBox*>(QStringLiteral("m_chkHex"));
        auto* pText = pDlg->findChild<QCheckBox*>(QStringLiteral("m_chkText"));
        pHex->setChecked(false);
        QVERIFY(pDlg->View()->Lines().contains(QString::fromLatin1(strAll.substr(32, 32).c_str())));
        QVERIFY(!pDlg->View()->Lines().contains(QStringLiteral("00 01 02")));
        pText->setChecked(false);
        QVERIFY2(pText->isChecked() || pHex->isChecked(), "one of them stays");
        pHex->setChecked(true);
        pText->setChecked(false);
        QCOMPARE(BytesOf(pDlg->View()->Lines(), "to peer"), strAll);
        QVERIFY(!pDlg->View()->Lines().contains(QString::fromLatin1(strAll.substr(32, 32).c_str())));

        close(hApp);
        close(hServerApp);
        QVERIFY(RunUntil([&] { return core.IsAnyPortOpen() == 0; }));
        QTest::mouseClick(Button(pWnd, "m_btnStartStop"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return core.m_comData.m_bRunning == 0 && core.m_bBusy == 0; }));
    }

    void PauseClearSaveAndFollowingTheEnd()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir));
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->OpenMonitor(0);
        CMonitorDlg* pDlg = pWnd->GetMonitorDlgs().first();
        CMonitorView* pView = pDlg->View();
        Capture(pWnd, 0, ECapture::Event, "first");
        QVERIFY(RunUntil([&] { return pView->LineCount() == 1; }));

        // Paused, nothing is added; afterwards it comes.
        QTest::mouseClick(Button(pDlg, "m_btnPause"), Qt::LeftButton);
        Capture(pWnd, 0, ECapture::ToPeer, "AB");
        QTest::qWait(5 * CMonitorDlg::FRAME_MS);
        QCOMPARE(pView->LineCount(), 1);
        QTest::mouseClick(Button(pDlg, "m_btnPause"), Qt::LeftButton);
        QVERIFY(RunUntil([&] { return pView->LineCount() == 2; }));
        QVERIFY(pView->Lines().endsWith(QStringLiteral("  to peer    41 42  AB")));

        // Save... writes the lines as they show.
        const std::string strSaved = dir.File("saved.txt");
        CMessageBox::s_fnSavePath = [&](const QString& strSuggested) {
            return strSuggested == QStringLiteral("COM1-monitor.txt") ? QString::fromStdString(strSaved) : QString();
        };
        QTest::mouseClick(Button(pDlg, "m_btnSave"), Qt::LeftButton);
        std::ifstream in(strSaved);
        std::stringstream ss;
        ss << in.rdbuf();
        QCOMPARE(QString::fromStdString(ss.str()), pView->Lines() + QStringLiteral("\n"));
        QVERIFY(!pDlg->SaveTo(QString::fromStdString(dir.File("no/such/dir/file.txt"))));

        QTest::mouseClick(Button(pDlg, "m_btnClear"), Qt::LeftButton);
        QCOMPARE(pView->LineCount(), 0);
        QVERIFY(pView->Lines().isEmpty());

        // It follows new lines at the end, and stays where the user scrolled.
        for (int k = 0; k < 300; ++k)
            Capture(pWnd, 0, ECapture::Event, "line " + std::to_string(k));
        QVERIFY(RunUntil([&] { return pView->LineCount() == 300; }));
        QScrollBar* pBar = pView->verticalScrollBar();
        QVERIFY(pBar->maximum() > 0);
        QCOMPARE(pBar->value(), pBar->maximum());
        pBar->setValue(3);
        for (int k = 0; k < 50; ++k)
            Capture(pWnd, 0, ECapture::Event, "more " + std::to_string(k));
        QVERIFY(RunUntil([&] { return pView->LineCount() == 350; }));
        QCOMPARE(pBar->value(), 3);
        pBar->setValue(pBar->maximum());
        Capture(pWnd, 0, ECapture::Event, "last");
        QVERIFY(RunUntil([&] { return pView->LineCount() == 351; }));
        QCOMPARE(pBar->value(), pBar->maximum());
    }

    // However much arrives, one frame adds at most its budget; the rest
    // waits, or is lost and said to be.
    void AFrameAddsNoMoreThanItsBudget()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir));
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->OpenMonitor(0);
        CMonitorDlg* pDlg = pWnd->GetMonitorDlgs().first();
        QTest::mouseClick(Button(pDlg, "m_btnPause"), Qt::LeftButton);
        const std::string strBurst(1600, 'x');
        for (int k = 0; k < 1000; ++k)  // 1.6 MB: more than the ring holds
            Capture(pWnd, 0, ECapture::FromPeer, strBurst);
        pDlg->OnFrame();
        QTest::mouseClick(Button(pDlg, "m_btnPause"), Qt::LeftButton);
        const int nBefore = pDlg->View()->LineCount();
        pDlg->OnFrame();
        const int nAdded = pDlg->View()->LineCount() - nBefore;
        QVERIFY(nAdded > 0);
        // The last line may cross the budget; none comes after it.
        QVERIFY(static_cast<size_t>(nAdded - 1) * strBurst.size() < CMonitorDlg::FRAME_BUDGET);
        QVERIFY(RunUntil([&] { return pDlg->View()->Lines().contains(QStringLiteral("bytes not shown")); }));
    }

    void ExitWithAMonitorOpenLeavesNothingBehind()
    {
        CTempDir dir;
        auto pApp = Start(WriteTwoPorts(dir));
        QVERIFY(pApp);
        COmbraCtrlDlg* pWnd = pApp->GetMainWnd();
        pWnd->OpenMonitor(0);
        pWnd->OpenMonitor(1);
        QPointer<CMonitorDlg> pDlg = pWnd->GetMonitorDlgs().first();
        COmbraCtrlCore& core = pWnd->GetService().CoreForTest();
        QVERIFY(core.m_ports[0].Worker().GetCapture() != nullptr);
        pWnd->OnMenuExit();
        QVERIFY(pWnd->IsDestroyed());
        QVERIFY(pDlg.isNull());
        QVERIFY(core.m_ports[0].Worker().GetCapture() == nullptr);
        QVERIFY(core.m_ports[1].Worker().GetCapture() == nullptr);
    }
};

QTEST_MAIN(CMonitorDlgQTest)
#include "CMonitorDlgQTest.moc"
