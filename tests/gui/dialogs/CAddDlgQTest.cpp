// SPDX-License-Identifier: Apache-2.0
// The Add/Config dialog as a user meets it, offscreen, through its widgets:
// the free COM numbers, the enabling table and its fix-ups, the field checks
// with their messages, and the connection test against loopback peers.

#include <fstream>
#include <sys/stat.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "gui/widgets/CMessageBox.h"
#include "gui/dialogs/CAddDlg.h"
#include "core/model/CCOMData.h"
#include "tests/QtTestSupport.h"
#include "tests/TestSupport.h"
#include "gui/widgets/CLogListBox.h"
#include "gui/widgets/NimbrelImages.h"

using namespace testsupport;

namespace
{

using qttestsupport::RunUntil;

}  // namespace

class CAddDlgQTest : public QObject
{
    Q_OBJECT

private:
    QStringList m_boxes;

    // The dialog's controls by their object names.
    struct SControls
    {
        QComboBox* pCombo;
        QRadioButton *pClient, *pServer, *pUdp, *pRaw, *pSecure, *pTelnet;
        QCheckBox *pSSL, *pKeepAlive;
        QLineEdit *pIP, *pPeer, *pLocal;
        QPushButton *pTest, *pOk, *pCancel;
        CLogListBox* pLog;
    };

    static SControls Controls(CAddDlg& dlg)
    {
        auto f = [&](const char* psz) { return QString::fromLatin1(psz); };
        return {dlg.findChild<QComboBox*>(f("m_comboPort")),
                dlg.findChild<QRadioButton*>(f("m_radioTcpClient")),
                dlg.findChild<QRadioButton*>(f("m_radioTcpServer")),
                dlg.findChild<QRadioButton*>(f("m_radioUdp")),
                dlg.findChild<QRadioButton*>(f("m_radioRaw")),
                dlg.findChild<QRadioButton*>(f("m_radioSecure")),
                dlg.findChild<QRadioButton*>(f("m_radioTelnet")),
                dlg.findChild<QCheckBox*>(f("m_checkSSL")),
                dlg.findChild<QCheckBox*>(f("m_checkKeepAlive")),
                dlg.findChild<QLineEdit*>(f("m_editIPAddress")),
                dlg.findChild<QLineEdit*>(f("m_editPeerPort")),
                dlg.findChild<QLineEdit*>(f("m_editLocPort")),
                dlg.findChild<QPushButton*>(f("m_btnConnectTest")),
                dlg.findChild<QPushButton*>(f("m_btnOk")),
                dlg.findChild<QPushButton*>(f("m_btnCancel")),
                dlg.findChild<CLogListBox*>(f("m_ctlLog"))};
    }

    // The dialog as the window makes it from data: Add offers the free
    // numbers and shows the first one's entry, Config port nPort's.
    static std::unique_ptr<CAddDlg> Make(const CCOMData& data, CAddDlg::EKind kind, int nPort = 0, int nTimeout = 10)
    {
        const std::vector<int> vecPorts = kind == CAddDlg::EKind::Config ? std::vector<int>{nPort} : data.FreeNumbers();
        const int nShown = vecPorts.empty() ? -1 : vecPorts.front();
        return std::make_unique<CAddDlg>(kind, vecPorts, data.GetEntry(nShown), nTimeout);
    }

    // Opens a dialog (not modal: the test drives it) over data.
    std::unique_ptr<CAddDlg> Open(const CCOMData& data, CAddDlg::EKind kind, int nPort = 0, int nTimeout = 10)
    {
        auto pDlg = Make(data, kind, nPort, nTimeout);
        pDlg->show();
        if (!QTest::qWaitForWindowExposed(pDlg.get()))
            return nullptr;
        return pDlg;
    }

    static void SetText(QLineEdit* pEdit, const QString& str)
    {
        pEdit->selectAll();
        QTest::keyClick(pEdit, Qt::Key_Delete);
        QTest::keyClicks(pEdit, str);
    }

    static void Click(QAbstractButton* pButton)
    {
        QTest::mouseClick(pButton, Qt::LeftButton);
    }

    // The enabled state of the table's controls, in the table's order.
    static QString Enabling(const SControls& c)
    {
        QString str;
        for (QWidget* p : std::initializer_list<QWidget*>{c.pRaw, c.pSecure, c.pTelnet, c.pSSL, c.pKeepAlive, c.pIP,
                                                         c.pPeer, c.pLocal, c.pTest})
            str += p->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
        return str;
    }

    static QStringList Lines(CLogListBox* pLog)
    {
        QStringList list;
        for (int i = 0; i < pLog->GetCount(); ++i)
            list << QStringLiteral("%1|%2").arg(pLog->GetItemData(i)).arg(pLog->GetText(i));
        return list;
    }

    // A TCP client entry at port nPort to 127.0.0.1:nPeer.
    static void Client(CCOMData& data, int nPort, int nPeer, int bSSL = 0)
    {
        data.SetUse(nPort, 1);
        data.SetEnable(nPort, 1);
        data.SetMode(nPort, MODE_TCP_CLIENT);
        data.SetIPAddress(nPort, "127.0.0.1");
        data.SetPeerPort(nPort, nPeer);
        data.SetSSL(nPort, bSSL);
    }

private slots:
    void init()
    {
        m_boxes.clear();
        CMessageBox::s_fnAnswer = [this](const QString& strCaption, const QString& strText) {
            QCOMPARE(strCaption, QStringLiteral("Nimbrel"));
            m_boxes << strText;
        };
    }

    void cleanup()
    {
        CMessageBox::s_fnAnswer = nullptr;
    }

    // A made-up machine: ttyS0 and ttyS2 with UARTs, ttyS1 without one, a
    // foreign COM12 link; COM5 configured. Neither COM1, COM3, COM5 nor
    // COM12 is offered, and the dialog opens on COM2.
    void AddOffersOnlyFreeNumbers()
    {
        CTempDir dir;
        for (const char* psz : {"ttyS0:4", "ttyS1:0", "ttyS2:4"})
        {
            const QStringList parts = QString::fromLatin1(psz).split(QLatin1Char(':'));
            const std::string strTty = dir.File("sys/class/tty/" + parts[0].toStdString());
            QCOMPARE(RunCommand({"mkdir", "-p", strTty}), 0);
            std::ofstream(strTty + "/type") << parts[1].toStdString() << "\n";
        }
        mkdir(dir.File("ports").c_str(), 0700);
        QCOMPARE(symlink("/dev/pts/0", dir.File("ports/COM12").c_str()), 0);
        CCOMData data;
        Client(data, 4, 23);
        data.ScanSystemPorts(dir.File("sys"), dir.File("ports"));
        auto pDlg = Make(data, CAddDlg::EKind::Add);
        QCOMPARE(pDlg->windowTitle(), QStringLiteral("Add"));
        const SControls c = Controls(*pDlg);
        QStringList items;
        for (int i = 0; i < c.pCombo->count(); ++i)
        {
            items << c.pCombo->itemText(i);
            QCOMPARE(c.pCombo->itemData(i).toInt() + 1, c.pCombo->itemText(i).mid(3).toInt());
        }
        QCOMPARE(items.size(), 256 - 4);
        for (const char* psz : {"COM1", "COM3", "COM5", "COM12"})
            QVERIFY2(!items.contains(QLatin1String(psz)), psz);
        QCOMPARE(c.pCombo->currentText(), QStringLiteral("COM2"));
        QCOMPARE(pDlg->Port(), 1);
        QVERIFY(c.pCombo->isEnabled());
        QVERIFY(c.pOk->isEnabled());
    }

    void AddWithoutAFreeNumberKeepsOkOff()
    {
        CCOMData data;
        for (int i = 0; i < CCOMData::PORT_COUNT; ++i)
            data.SetUse(i, 1);
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        QCOMPARE(c.pCombo->count(), 0);
        QVERIFY(!c.pOk->isEnabled());
        // Not after a test either.
        SetText(c.pPeer, QString::number(UnusedTcpPort()));
        SetText(c.pIP, QStringLiteral("127.0.0.1"));
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return !pDlg->IsTestMode(); }));
        QVERIFY(!c.pOk->isEnabled());
        Click(c.pCancel);
        QCOMPARE(pDlg->result(), int(QDialog::Rejected));
    }

    void ConfigShowsTheChosenPortOnly()
    {
        CCOMData data;
        data.SetUse(6, 1);
        data.SetMode(6, MODE_UDP);
        data.SetIPAddress(6, "10.1.2.3");
        data.SetPeerPort(6, 7000);
        data.SetLocPort(6, 7001);
        data.SetKeepAlive(6, 1);
        auto pDlg = Open(data, CAddDlg::EKind::Config, 6);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        QCOMPARE(pDlg->windowTitle(), QStringLiteral("Config"));
        QCOMPARE(c.pCombo->count(), 1);
        QCOMPARE(c.pCombo->currentText(), QStringLiteral("COM7"));
        QVERIFY(!c.pCombo->isEnabled());
        QVERIFY(c.pUdp->isChecked());
        QCOMPARE(c.pIP->text(), QStringLiteral("10.1.2.3"));
        QCOMPARE(c.pPeer->text(), QStringLiteral("7000"));
        QCOMPARE(c.pLocal->text(), QStringLiteral("7001"));
        QVERIFY(c.pKeepAlive->isChecked());
        QCOMPARE(Enabling(c), QStringLiteral("000001110"));

        Click(c.pOk);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        QCOMPARE(pDlg->Port(), 6);
        QCOMPARE(pDlg->Entry().m_nMode, MODE_UDP);
        QCOMPARE(pDlg->Entry().m_strIPAddress, std::string("10.1.2.3"));
        QCOMPARE(pDlg->Entry().m_nPeerPort, 7000);
        QCOMPARE(pDlg->Entry().m_nLocPort, 7001);
        QCOMPARE(pDlg->Entry().m_bKeepAlive, 1);
    }

    // The entry given is shown with its mode's fix-ups (a stored value out
    // of range counts as the last choice), and OK at once hands it back
    // without its use and enable flags.
    void OpensOnTheEntryGivenWithItsFixUps_data()
    {
        QTest::addColumn<int>("nMode");
        QTest::addColumn<int>("nType");
        QTest::addColumn<int>("bSSL");
        QTest::addColumn<int>("nShownMode");
        QTest::addColumn<int>("nShownType");
        QTest::addColumn<int>("bShownSSL");
        QTest::newRow("UDP has no TLS and is raw") << MODE_UDP << CONNECT_TELNET << 1 << MODE_UDP << CONNECT_RAW << 0;
        QTest::newRow("a client is never secure")
            << MODE_TCP_CLIENT << CONNECT_SECURE << 1 << MODE_TCP_CLIENT << CONNECT_RAW << 1;
        QTest::newRow("a secure server stays")
            << MODE_TCP_SERVER << CONNECT_SECURE << 1 << MODE_TCP_SERVER << CONNECT_SECURE << 1;
        QTest::newRow("client telnet stays")
            << MODE_TCP_CLIENT << CONNECT_TELNET << 0 << MODE_TCP_CLIENT << CONNECT_TELNET << 0;
        QTest::newRow("a mode out of range is UDP") << 7 << CONNECT_SECURE << 1 << MODE_UDP << CONNECT_RAW << 0;
        QTest::newRow("a type out of range is telnet")
            << MODE_TCP_SERVER << -3 << 0 << MODE_TCP_SERVER << CONNECT_TELNET << 0;
    }

    void OpensOnTheEntryGivenWithItsFixUps()
    {
        QFETCH(int, nMode);
        QFETCH(int, nType);
        QFETCH(int, bSSL);
        QFETCH(int, nShownMode);
        QFETCH(int, nShownType);
        QFETCH(int, bShownSSL);
        CPortEntry given;
        given.m_bUse = 1;
        given.m_bEnable = 1;
        given.m_nMode = nMode;
        given.m_nConnectType = nType;
        given.m_bSSL = bSSL;
        given.m_bKeepAlive = 1;
        given.m_strIPAddress = "host.example";
        given.m_nPeerPort = 2101;
        given.m_nLocPort = 2102;
        CAddDlg dlg(CAddDlg::EKind::Config, {41}, given, 10);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const SControls c = Controls(dlg);
        QCOMPARE(c.pCombo->currentText(), QStringLiteral("COM42"));
        QCOMPARE(dlg.Port(), 41);
        const QRadioButton* const modes[] = {c.pClient, c.pServer, c.pUdp};
        const QRadioButton* const types[] = {c.pRaw, c.pSecure, c.pTelnet};
        for (int i = 0; i < 3; ++i)
        {
            QCOMPARE(modes[i]->isChecked(), i == nShownMode);
            QCOMPARE(types[i]->isChecked(), i == nShownType);
        }
        QCOMPARE(c.pSSL->isChecked(), bShownSSL == 1);
        QVERIFY(c.pKeepAlive->isChecked());
        QCOMPARE(c.pIP->text(), QStringLiteral("host.example"));
        QCOMPARE(c.pPeer->text(), QStringLiteral("2101"));
        QCOMPARE(c.pLocal->text(), QStringLiteral("2102"));
        const QString strRows[] = {QStringLiteral("101111101"), QStringLiteral("111110010"),
                                   QStringLiteral("000001110")};
        QCOMPARE(Enabling(c), strRows[nShownMode]);

        Click(c.pOk);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        CPortEntry expected = given;
        expected.m_bUse = 0;
        expected.m_bEnable = 0;
        expected.m_nMode = nShownMode;
        expected.m_nConnectType = nShownType;
        expected.m_bSSL = bShownSSL;
        QVERIFY(dlg.Entry() == expected);
        QCOMPARE(dlg.Port(), 41);
        QVERIFY(m_boxes.isEmpty());
    }

    // Add lists exactly the numbers given, in their order, opens on the
    // first and hands back the one chosen.
    void AddOffersTheNumbersGiven()
    {
        CAddDlg dlg(CAddDlg::EKind::Add, {3, 7, 200}, CPortEntry(), 10);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const SControls c = Controls(dlg);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Add"));
        QCOMPARE(c.pCombo->count(), 3);
        QCOMPARE(c.pCombo->itemText(0), QStringLiteral("COM4"));
        QCOMPARE(c.pCombo->itemText(1), QStringLiteral("COM8"));
        QCOMPARE(c.pCombo->itemText(2), QStringLiteral("COM201"));
        QCOMPARE(dlg.Port(), 3);
        QVERIFY(c.pCombo->isEnabled() && c.pOk->isEnabled());
        QCOMPARE(c.pIP->text(), QStringLiteral("0.0.0.0"));
        c.pCombo->setCurrentIndex(2);
        Click(c.pOk);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Port(), 200);
        QVERIFY(dlg.Entry() == CPortEntry());
    }

    void ModeButtonsApplyTheEnablingTable()
    {
        CCOMData data;
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        QVERIFY(c.pClient->isChecked());
        QCOMPARE(Enabling(c), QStringLiteral("101111101"));
        Click(c.pServer);
        QCOMPARE(Enabling(c), QStringLiteral("111110010"));
        Click(c.pUdp);
        QCOMPARE(Enabling(c), QStringLiteral("000001110"));
        Click(c.pClient);
        QCOMPARE(Enabling(c), QStringLiteral("101111101"));
        // The mode already selected changes nothing.
        c.pTelnet->setChecked(true);
        Click(c.pClient);
        QCOMPARE(Enabling(c), QStringLiteral("101111101"));
        QVERIFY(c.pTelnet->isChecked());
    }

    // Assistive technology checks a mode button with its Toggle action, no
    // click: the enabling table and the fix-ups follow all the same.
    void ModeToggledByAssistiveTechnologyAppliesTheTable()
    {
        CCOMData data;
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        auto toggle = [](QAbstractButton* pButton) {
            QAccessibleInterface* pIface = QAccessible::queryAccessibleInterface(pButton);
            QVERIFY(pIface != nullptr && pIface->actionInterface() != nullptr);
            QVERIFY(pIface->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
            pIface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        };
        c.pSSL->setChecked(true);
        toggle(c.pUdp);
        QVERIFY(c.pUdp->isChecked());
        QCOMPARE(Enabling(c), QStringLiteral("000001110"));
        QVERIFY2(!c.pSSL->isChecked(), "a UDP port has no TLS");
        toggle(c.pServer);
        QVERIFY(c.pServer->isChecked());
        QCOMPARE(Enabling(c), QStringLiteral("111110010"));
        Click(c.pOk);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        QCOMPARE(pDlg->Entry().m_nMode, MODE_TCP_SERVER);
    }

    // An entry stored as TCP server with "Secure Connection Port" and TLS.
    void FixUpsOfTheSecureServerEntry()
    {
        CCOMData data;
        data.SetUse(2, 1);
        data.SetMode(2, MODE_TCP_SERVER);
        data.SetConnectType(2, CONNECT_SECURE);
        data.SetSSL(2, 1);
        data.SetLocPort(2, 2323);

        auto pDlg = Open(data, CAddDlg::EKind::Config, 2);
        QVERIFY(pDlg);
        SControls c = Controls(*pDlg);
        QVERIFY(c.pServer->isChecked());
        QVERIFY(c.pSecure->isChecked() && c.pSecure->isEnabled());
        QVERIFY(c.pSSL->isChecked());
        Click(c.pClient);
        QVERIFY(c.pRaw->isChecked());
        QVERIFY(!c.pSecure->isEnabled());
        QVERIFY2(c.pSSL->isChecked(), "a client keeps TLS");

        pDlg = Open(data, CAddDlg::EKind::Config, 2);
        QVERIFY(pDlg);
        c = Controls(*pDlg);
        Click(c.pUdp);
        QVERIFY(!c.pSSL->isChecked());
        QVERIFY(c.pRaw->isChecked());
        Click(c.pServer);
        QVERIFY2(!c.pSSL->isChecked(), "not restored");
        QVERIFY(c.pRaw->isChecked());
        QVERIFY(!c.pSecure->isChecked());
        QVERIFY(c.pSecure->isEnabled());
        Click(c.pOk);
        QCOMPARE(pDlg->Entry().m_nConnectType, CONNECT_RAW);
        QCOMPARE(pDlg->Entry().m_bSSL, 0);
        QCOMPARE(pDlg->Entry().m_nMode, MODE_TCP_SERVER);
    }

    void FieldsAreCheckedInOrder()
    {
        CCOMData data;
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        c.pIP->clear();
        c.pPeer->clear();
        Click(c.pOk);
        QCOMPARE(m_boxes, QStringList{QStringLiteral("IPAddress : Empty Error")});
        QVERIFY(pDlg->isVisible());

        // A mode click refills the emptied fields, disabled ones included.
        Click(c.pClient);
        QCOMPARE(c.pIP->text(), QStringLiteral("0.0.0.0"));
        QCOMPARE(c.pPeer->text(), QStringLiteral("0"));

        c.pLocal->clear();
        Click(c.pOk);
        QCOMPARE(m_boxes.last(), QStringLiteral("Port : Empty Error"));
        Click(c.pServer);
        QCOMPARE(c.pLocal->text(), QStringLiteral("0"));

        Click(c.pClient);
        SetText(c.pPeer, QStringLiteral("65536"));
        Click(c.pOk);
        QCOMPARE(m_boxes.last(), QStringLiteral("Port : Range Error (0 - 65535)"));
        QVERIFY(pDlg->isVisible());
        QCOMPARE(c.pPeer->text(), QStringLiteral("65536"));

        // Digits only go in.
        SetText(c.pPeer, QStringLiteral("6x5-535"));
        QCOMPARE(c.pPeer->text(), QStringLiteral("65535"));
        // The address's syntax is the port entry's business, not the dialog's.
        SetText(c.pIP, QStringLiteral("peer.example"));
        const int nBoxes = m_boxes.size();
        Click(c.pOk);
        QCOMPARE(m_boxes.size(), nBoxes);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        QCOMPARE(pDlg->Entry().m_nPeerPort, 65535);
        QCOMPARE(pDlg->Entry().m_strIPAddress, std::string("peer.example"));
        QCOMPARE(pDlg->Port(), 0);
    }

    void OkStoresTheChosenNumber()
    {
        CCOMData data;
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        c.pCombo->setCurrentIndex(c.pCombo->findText(QStringLiteral("COM9")));
        Click(c.pServer);
        SetText(c.pLocal, QStringLiteral("5000"));
        c.pTelnet->click();
        Click(c.pOk);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        QCOMPARE(pDlg->Port(), 8);
        QCOMPARE(pDlg->Entry().m_nMode, MODE_TCP_SERVER);
        QCOMPARE(pDlg->Entry().m_nConnectType, CONNECT_TELNET);
        QCOMPARE(pDlg->Entry().m_nLocPort, 5000);
    }

    // COM port control: on only with Telnet, its values only with the
    // switch, and an entry goes in and out unchanged.
    void ComPortControlGoesWithTelnet()
    {
        CCOMData data;
        Client(data, 2, 2217);
        CPortEntry entry = data.GetEntry(2);
        entry.m_nConnectType = CONNECT_TELNET;
        entry.m_bComPortControl = true;
        entry.m_nComPortDataBits = 7;
        entry.m_comPortParity = ELineParity::Even;
        data.SetEntry(2, entry);
        auto pDlg = Open(data, CAddDlg::EKind::Config, 2);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        auto* pCheck = pDlg->findChild<QCheckBox*>(QStringLiteral("m_checkComPort"));
        auto* pBits = pDlg->findChild<QComboBox*>(QStringLiteral("m_comboComPortDataBits"));
        auto* pParity = pDlg->findChild<QComboBox*>(QStringLiteral("m_comboComPortParity"));
        QVERIFY(pCheck && pBits && pParity);
        QCOMPARE(pCheck->text(), QStringLiteral("RFC 2217 (COM Port Control)"));
        QVERIFY(pCheck->isChecked() && pCheck->isEnabled());
        QCOMPARE(pBits->currentText(), QStringLiteral("7"));
        QCOMPARE(pParity->currentText(), QStringLiteral("Even"));
        QVERIFY(pBits->isEnabled() && pParity->isEnabled());

        c.pRaw->click();
        QVERIFY(!pCheck->isEnabled() && !pBits->isEnabled() && !pParity->isEnabled());
        c.pTelnet->click();
        QVERIFY(pCheck->isEnabled());
        c.pUdp->click();
        QVERIFY2(!pCheck->isEnabled(), "UDP has no Telnet");
        c.pServer->click();
        c.pTelnet->click();
        QVERIFY(pCheck->isEnabled());
        pCheck->click();
        QVERIFY(!pBits->isEnabled());
        pCheck->click();
        pBits->setCurrentIndex(0);
        pParity->setCurrentIndex(pParity->findText(QStringLiteral("Mark")));
        SetText(c.pLocal, QStringLiteral("2217"));
        Click(c.pOk);
        QCOMPARE(pDlg->result(), int(QDialog::Accepted));
        QVERIFY(pDlg->Entry().m_bComPortControl);
        QCOMPARE(pDlg->Entry().m_nComPortDataBits, 0);
        QCOMPARE(pDlg->Entry().m_comPortParity, ELineParity::Mark);
        QVERIFY(pDlg->Entry().UsesComPortControl());
    }

    // ---- the connection test ----

    void TestAgainstALocalListener()
    {
        int nPeer = 0;
        const int hListen = ListenTcp(&nPeer);
        QVERIFY(hListen >= 0);
        CCOMData data;
        Client(data, 0, nPeer);
        auto pDlg = Open(data, CAddDlg::EKind::Config, 0);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        QCOMPARE(c.pTest->text(), QStringLiteral("Connect Test"));
        Click(c.pTest);
        QCOMPARE(c.pTest->text(), QStringLiteral("Test Cancel"));
        for (QWidget* p : std::initializer_list<QWidget*>{c.pOk, c.pCancel, c.pClient, c.pServer, c.pUdp, c.pRaw,
                                                         c.pTelnet, c.pSSL, c.pKeepAlive, c.pIP, c.pPeer})
            QVERIFY2(!p->isEnabled(), qPrintable(p->objectName()));
        QVERIFY(c.pTest->isEnabled());

        QVERIFY(RunUntil([&] { return !pDlg->IsTestMode(); }));
        const QString strPeer = QStringLiteral("Socket Connect (127.0.0.1:%1)").arg(nPeer);
        QCOMPARE(Lines(c.pLog), (QStringList{"0|----- Socket Test Start -----", "1|Socket Create", "1|" + strPeer,
                                             "0|----- Socket Test End -----"}));
        // Success lines carry the blue lamp.
        QCOMPARE(CLogListDelegate::LampOf(c.pLog->GetItemData(1)), IDI_LAMP_OK);
        QCOMPARE(CLogListDelegate::LampOf(c.pLog->GetItemData(2)), IDI_LAMP_OK);
        QCOMPARE(CLogListDelegate::LampOf(c.pLog->GetItemData(0)), 0);
        QCOMPARE(c.pTest->text(), QStringLiteral("Connect Test"));
        QVERIFY(c.pOk->isEnabled() && c.pCancel->isEnabled() && c.pIP->isEnabled());
        QVERIFY(!c.pLocal->isEnabled() && !c.pSecure->isEnabled());
        QVERIFY(m_boxes.isEmpty());

        // A second test starts from an empty log; a refused port is red,
        // and the next line says why.
        SetText(c.pPeer, QString::number(UnusedTcpPort()));
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return !pDlg->IsTestMode(); }));
        QStringList lines = Lines(c.pLog);
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines[2].startsWith(QStringLiteral("2|Socket Connect (127.0.0.1:")), qPrintable(lines[2]));
        QCOMPARE(CLogListDelegate::LampOf(c.pLog->GetItemData(2)), IDI_LAMP_ERROR);
        QCOMPARE(lines[3], QStringLiteral("%1|Connection refused").arg(LOG_REASON));
        QCOMPARE(lines[4], QStringLiteral("0|----- Socket Test End -----"));
        close(hListen);
    }

    void TestChecksTheAddressAndPeerPortOnly()
    {
        CCOMData data;
        Client(data, 0, 1);
        auto pDlg = Open(data, CAddDlg::EKind::Config, 0);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        SetText(c.pPeer, QStringLiteral("70000"));
        Click(c.pTest);
        QCOMPARE(m_boxes, QStringList{QStringLiteral("Port : Range Error (0 - 65535)")});
        QVERIFY(!pDlg->IsTestMode());
        QCOMPARE(c.pLog->GetCount(), 0);
        c.pPeer->clear();
        Click(c.pTest);
        QCOMPARE(m_boxes.last(), QStringLiteral("Port : Empty Error"));
        c.pIP->clear();
        Click(c.pTest);
        QCOMPARE(m_boxes.last(), QStringLiteral("IPAddress : Empty Error"));
        QCOMPARE(c.pLog->GetCount(), 0);
    }

    void TlsTestNamesTheVersion()
    {
        CTempDir dir;
        QVERIFY(MakeKeyPair(dir.File("cert.pem"), dir.File("key.pem")));
        const int nPeer = UnusedTcpPort();
        CChild server({"openssl", "s_server", "-accept", std::to_string(nPeer), "-cert", dir.File("cert.pem"), "-key",
                       dir.File("key.pem"), "-quiet"});
        QVERIFY(server.Running());
        QVERIFY(RunUntil([&] {
            const int h = ConnectTcp(nPeer, 100);
            if (h >= 0)
                close(h);
            return h >= 0;
        }));
        CCOMData data;
        Client(data, 0, nPeer, 1);
        auto pDlg = Open(data, CAddDlg::EKind::Config, 0);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        QVERIFY(c.pSSL->isChecked());
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return !pDlg->IsTestMode(); }));
        QCOMPARE(Lines(c.pLog),
                 (QStringList{"0|----- Socket Test Start -----", "1|Socket Create",
                              QStringLiteral("1|Socket Connect (127.0.0.1:%1)").arg(nPeer), "1|SSL Success(TLSv1.3)",
                              "0|----- Socket Test End -----"}));
    }

    // Cancel while "Connecting ." grows: the progress line goes, "Test
    // Cancel" and the end banner come, the controls are back.
    void CancelWhileConnecting()
    {
        CFullListener listener;
        QVERIFY(listener.IsFull());
        CCOMData data;
        Client(data, 0, listener.Port());
        auto pDlg = Open(data, CAddDlg::EKind::Config, 0);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return c.pLog->GetCount() == 3 && c.pLog->GetText(2) == "Connecting ."; }, 3000));
        QCOMPARE(c.pLog->GetItemData(2), LOG_PROGRESS);
        QVERIFY2(RunUntil([&] { return c.pLog->GetText(2) == "Connecting .."; }, 3000), "a dot after 2 s");
        QCOMPARE(c.pLog->GetCount(), 3);

        // Escape and the close box do nothing while the test runs.
        QTest::keyClick(pDlg.get(), Qt::Key_Escape);
        pDlg->close();
        QVERIFY(pDlg->isVisible());

        QElapsedTimer timer;
        timer.start();
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return !pDlg->IsTestMode(); }, 2000));
        QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(Lines(c.pLog), (QStringList{"0|----- Socket Test Start -----", "1|Socket Create", "3|Test Cancel",
                                             "0|----- Socket Test End -----"}));
        QVERIFY(c.pOk->isEnabled() && c.pCancel->isEnabled());
        QCOMPARE(c.pTest->text(), QStringLiteral("Connect Test"));
        QCOMPARE(pDlg->GetTest().IsThreadRunning(), 0);
    }

    // Ended from outside during a test (the main window's Exit): the thread
    // is stopped and waited for before the dialog goes.
    void EndedFromOutsideDuringATest()
    {
        CFullListener listener;
        QVERIFY(listener.IsFull());
        CCOMData data;
        Client(data, 0, listener.Port());
        auto pDlg = Open(data, CAddDlg::EKind::Config, 0);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        Click(c.pTest);
        QVERIFY(RunUntil([&] { return c.pLog->GetCount() == 3; }, 3000));
        QVERIFY(pDlg->GetTest().IsThreadRunning());
        pDlg->done(QDialog::Rejected);
        QCOMPARE(pDlg->GetTest().IsThreadRunning(), 0);
        QVERIFY(!pDlg->isVisible());
        QCOMPARE(pDlg->result(), int(QDialog::Rejected));
        pDlg.reset();
        // Whatever the thread queued for the dialog is dropped with it.
        QCoreApplication::processEvents();
    }

    void ControlsAreNamedForAssistiveTechnology()
    {
        CCOMData data;
        auto pDlg = Open(data, CAddDlg::EKind::Add);
        QVERIFY(pDlg);
        const SControls c = Controls(*pDlg);
        for (QWidget* p : std::initializer_list<QWidget*>{c.pCombo, c.pIP, c.pPeer, c.pLocal, c.pLog})
            QVERIFY2(!p->accessibleName().isEmpty(), qPrintable(p->objectName()));
        QCOMPARE(c.pClient->text(), QStringLiteral("TCP(Client)"));
        QCOMPARE(c.pSecure->text(), QStringLiteral("Secure Connection Port"));
        QCOMPARE(c.pOk->text(), QStringLiteral("OK"));
        QCOMPARE(c.pCancel->text(), QStringLiteral("CANCEL"));
    }
};

QTEST_MAIN(CAddDlgQTest)
#include "CAddDlgQTest.moc"
