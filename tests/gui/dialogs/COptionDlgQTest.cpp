// SPDX-License-Identifier: Apache-2.0
// The Option dialog as a user drives it: typing into its fields, ticking its
// check boxes and pressing OK or CANCEL; message boxes are answered through
// CMessageBox's hook.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTimer>

#include "gui/widgets/CMessageBox.h"
#include "gui/dialogs/COptionDlg.h"

namespace
{

// The numeric fields in the order OK checks them.
const char* const FIELDS[] = {"m_editKeepAliveTime",  "m_editKeepAliveInterval", "m_editConnectTimeout",
                              "m_editReconnectTime",  "m_editLoginChallenge",    "m_editLoginTimeout"};

}  // namespace

class COptionDlgQTest : public QObject
{
    Q_OBJECT

private:
    QStringList m_boxes;  // "caption|text" of every message box

    static QLineEdit* Edit(COptionDlg& dlg, const char* pszName)
    {
        return dlg.findChild<QLineEdit*>(QString::fromLatin1(pszName));
    }
    static QPushButton* Button(COptionDlg& dlg, const char* pszName)
    {
        return dlg.findChild<QPushButton*>(QString::fromLatin1(pszName));
    }
    static QCheckBox* Check(COptionDlg& dlg, const char* pszName)
    {
        return dlg.findChild<QCheckBox*>(QString::fromLatin1(pszName));
    }
    // Replaces a field's text the way a user does: select all, type.
    static void Type(QLineEdit* pEdit, const QString& strText)
    {
        pEdit->setFocus();
        pEdit->selectAll();
        QTest::keyClick(pEdit, Qt::Key_Delete);
        QTest::keyClicks(pEdit, strText);
    }

private slots:
    void init()
    {
        m_boxes.clear();
        CMessageBox::s_fnAnswer = [this](const QString& strCaption, const QString& strText) {
            m_boxes << strCaption + QLatin1Char('|') + strText;
        };
    }

    void cleanup() { CMessageBox::s_fnAnswer = nullptr; }

    void ShowsTheValuesItIsGiven()
    {
        COptionSet options;
        options.m_nKeepAliveTime = 5000;
        options.m_nConnectTimeout = 7;
        options.m_strUser = "alice";
        options.m_strPassword = "secret";
        COptionDlg dlg(options, false);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Option"));
        QCOMPARE(Edit(dlg, "m_editKeepAliveTime")->text(), QStringLiteral("5000"));
        QCOMPARE(Edit(dlg, "m_editConnectTimeout")->text(), QStringLiteral("7"));
        QCOMPARE(Edit(dlg, "m_editUser")->text(), QStringLiteral("alice"));
        QCOMPARE(Edit(dlg, "m_editPassword")->echoMode(), QLineEdit::Password);
        QCOMPARE(Edit(dlg, "m_editPassword")->displayText().contains(QStringLiteral("secret")), false);
        // Re-connection is off: its time cannot be edited.
        QVERIFY(!Edit(dlg, "m_editReconnectTime")->isEnabled());
        for (const char* pszGroup : {"m_grpCommon", "m_grpClient", "m_grpServer"})
            QVERIFY(dlg.findChild<QWidget*>(QString::fromLatin1(pszGroup)) != nullptr);
        for (QLineEdit* pEdit : dlg.findChildren<QLineEdit*>())
            QVERIFY2(!pEdit->accessibleName().isEmpty(), qPrintable(pEdit->objectName()));
    }

    void OkChecksTheFieldsItsOwnWay_data()
    {
        QTest::addColumn<int>("nField");
        QTest::addColumn<QString>("strText");
        QTest::addColumn<QString>("strMessage");  // empty: accepted
        QTest::newRow("KeepAliveTime 0") << 0 << "0" << "KeepAliveTime : Range(1 - 99999999)";
        QTest::newRow("KeepAliveTime 99999999") << 0 << "99999999" << "";
        QTest::newRow("KeepAliveTime 100000000") << 0 << "100000000" << "KeepAliveTime : Range(1 - 99999999)";
        QTest::newRow("KeepAliveInterval empty") << 1 << "" << "KeepAliveInterval : Range(1 - 99999999)";
        QTest::newRow("Connection Timeout 100") << 2 << "100" << "Connection Timeout : Range(1 - 99)";
        QTest::newRow("Connection Timeout 99") << 2 << "99" << "";
        // Checked although re-connection is off and the field disabled.
        QTest::newRow("Re-connection Time empty") << 3 << "" << "Re-connection Time : Range(1 - 9999)";
        QTest::newRow("Login Challenge 0") << 4 << "0" << "Login Challenge : Range(1 - 9999)";
        QTest::newRow("Login Timeout 10000") << 5 << "10000" << "Login Timeout : Range(1 - 9999)";
    }

    void OkChecksTheFieldsItsOwnWay()
    {
        QFETCH(int, nField);
        QFETCH(QString, strText);
        QFETCH(QString, strMessage);
        COptionDlg dlg(COptionSet(), false);
        dlg.show();
        // The disabled Re-connection Time cannot be typed into: the user
        // ticks re-connection, clears it, and unticks again.
        QCheckBox* pReconnect = Check(dlg, "m_chkReconnect");
        if (nField == 3)
            QTest::mouseClick(pReconnect, Qt::LeftButton, {}, QPoint(5, pReconnect->height() / 2));
        Type(Edit(dlg, FIELDS[nField]), strText);
        if (nField == 3)
        {
            QTest::mouseClick(pReconnect, Qt::LeftButton, {}, QPoint(5, pReconnect->height() / 2));
            QVERIFY(!Edit(dlg, FIELDS[nField])->isEnabled());
        }
        QCOMPARE(Edit(dlg, FIELDS[nField])->text(), strText);
        const COptionSet before = dlg.Options();

        QTest::mouseClick(Button(dlg, "m_btnOk"), Qt::LeftButton);
        if (strMessage.isEmpty())
        {
            QVERIFY(m_boxes.isEmpty());
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(dlg.Options().GetFields()[static_cast<size_t>(nField)], strText.toStdString());
        }
        else
        {
            QCOMPARE(m_boxes, QStringList{QStringLiteral("Nimbrel|") + strMessage});
            QVERIFY(dlg.isVisible());
            QVERIFY(dlg.Options() == before);
            QCOMPARE(Edit(dlg, FIELDS[nField])->text(), strText);
        }
    }

    void OnlyTheFirstOfSeveralErrorsIsShown()
    {
        COptionDlg dlg(COptionSet(), false);
        dlg.show();
        // An out-of-range field comes before an empty one, but every empty
        // field is reported before any range.
        Type(Edit(dlg, "m_editKeepAliveTime"), QStringLiteral("0"));
        Type(Edit(dlg, "m_editConnectTimeout"), QStringLiteral("100"));
        Type(Edit(dlg, "m_editLoginTimeout"), QString());
        Type(Edit(dlg, "m_editLoginChallenge"), QString());
        QTest::mouseClick(Button(dlg, "m_btnOk"), Qt::LeftButton);
        QCOMPARE(m_boxes, QStringList{QStringLiteral("Nimbrel|Login Challenge : Range(1 - 9999)")});

        Type(Edit(dlg, "m_editLoginTimeout"), QStringLiteral("5"));
        Type(Edit(dlg, "m_editLoginChallenge"), QStringLiteral("5"));
        QTest::mouseClick(Button(dlg, "m_btnOk"), Qt::LeftButton);
        QCOMPARE(m_boxes.size(), 2);
        QCOMPARE(m_boxes[1], QStringLiteral("Nimbrel|KeepAliveTime : Range(1 - 99999999)"));
        QVERIFY(dlg.isVisible());
    }

    void DigitsOnlyAndTwentyCharacters()
    {
        COptionDlg dlg(COptionSet(), false);
        dlg.show();
        Type(Edit(dlg, "m_editConnectTimeout"), QStringLiteral("-4a2"));
        QCOMPARE(Edit(dlg, "m_editConnectTimeout")->text(), QStringLiteral("42"));
        const QString strLong = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
        for (const char* pszName : {"m_editUser", "m_editPassword"})
        {
            Type(Edit(dlg, pszName), strLong);
            QCOMPARE(Edit(dlg, pszName)->text(), strLong.left(20));
            QTest::keyClick(Edit(dlg, pszName), Qt::Key_End);
            QTest::keyClicks(Edit(dlg, pszName), QStringLiteral("U"));
            QCOMPARE(Edit(dlg, pszName)->text(), strLong.left(20));
        }
        QCheckBox* pWine = Check(dlg, "m_chkWineDosDevices");
        QTest::mouseClick(pWine, Qt::LeftButton, {}, QPoint(5, pWine->height() / 2));
        QTest::mouseClick(Button(dlg, "m_btnOk"), Qt::LeftButton);
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Options().m_nConnectTimeout, 42);
        QCOMPARE(dlg.Options().m_strUser, strLong.left(20).toStdString());
        QCOMPARE(dlg.Options().m_strPassword, strLong.left(20).toStdString());
        QCOMPARE(dlg.Options().m_bWineDosDevices, 1);
    }

    void ReconnectEnablesItsTimeAtOnce()
    {
        COptionSet options;
        options.m_nReconnectTime = 30;
        COptionDlg dlg(options, false);
        dlg.show();
        QCheckBox* pReconnect = Check(dlg, "m_chkReconnect");
        QLineEdit* pTime = Edit(dlg, "m_editReconnectTime");
        QVERIFY(!pTime->isEnabled());
        QTest::mouseClick(pReconnect, Qt::LeftButton, {}, QPoint(5, pReconnect->height() / 2));
        QVERIFY(pTime->isEnabled());
        QTest::keyClick(pReconnect, Qt::Key_Space);
        QVERIFY(!pReconnect->isChecked());
        QVERIFY(!pTime->isEnabled());
        QTest::keyClick(pReconnect, Qt::Key_Space);
        QTest::mouseClick(Button(dlg, "m_btnOk"), Qt::LeftButton);
        QCOMPARE(dlg.Options().m_bReconnect, 1);
        QCOMPARE(dlg.Options().m_nReconnectTime, 30);

        // Opened with re-connection on: editable from the start.
        COptionSet on;
        on.m_bReconnect = 1;
        COptionDlg dlgOn(on, false);
        QVERIFY(Edit(dlgOn, "m_editReconnectTime")->isEnabled());
    }

    void ReadOnlyShowsAndChangesNothing()
    {
        COptionSet before;
        before.m_bReconnect = 1;
        COptionDlg dlg(before, true);
        QTimer::singleShot(0, &dlg, [&] {
            for (QLineEdit* pEdit : dlg.findChildren<QLineEdit*>())
                QVERIFY2(!pEdit->isEnabled(), qPrintable(pEdit->objectName()));
            for (QCheckBox* pCheck : dlg.findChildren<QCheckBox*>())
                QVERIFY2(!pCheck->isEnabled(), qPrintable(pCheck->objectName()));
            QVERIFY(!Button(dlg, "m_btnOk")->isEnabled());
            QVERIFY(Button(dlg, "m_btnCancel")->isEnabled());
            // Nothing gets past the disabled OK.
            dlg.accept();
            QVERIFY(dlg.isVisible());
            QTest::mouseClick(Button(dlg, "m_btnCancel"), Qt::LeftButton);
        });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(dlg.Options() == before);
        QVERIFY(m_boxes.isEmpty());
    }

    // A field that takes no input is drawn on the window's face, not on
    // an editable field's: User and Password as much as the numbers.
    void ReadOnlyFieldsLookReadOnly()
    {
        COptionSet options;
        options.m_strUser = "admin";
        options.m_strPassword = "secret";
        COptionDlg dlgEdit(options, false);
        COptionDlg dlgShow(options, true);
        dlgEdit.show();
        dlgShow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlgEdit) && QTest::qWaitForWindowExposed(&dlgShow));
        // The field's face well inside its frame, right of its short text.
        auto face = [](QLineEdit* pEdit) {
            return pEdit->grab().toImage().pixel(pEdit->width() - 10, pEdit->height() / 2);
        };
        for (const char* pszName : {"m_editUser", "m_editPassword", "m_editKeepAliveTime", "m_editLoginTimeout"})
        {
            const QRgb rgbEditable = face(Edit(dlgEdit, pszName));
            const QRgb rgbShown = face(Edit(dlgShow, pszName));
            QCOMPARE(rgbEditable, dlgEdit.palette().color(QPalette::Active, QPalette::Base).rgb());
            QVERIFY2(rgbShown != rgbEditable, pszName);
            QCOMPARE(rgbShown, dlgShow.palette().color(QPalette::Active, QPalette::Window).rgb());
        }
    }

    // The TLS group: the files shown, their defaults as placeholders, an
    // absolute path or nothing taken at OK, every control named.
    void TlsFilesAreShownCheckedAndTaken()
    {
        COptionSet options;
        options.m_strTlsCaFile = "/etc/ssl/ca.pem";
        options.m_strSettingsDir = "/nonexistent/settings";
        COptionDlg dlg(options, false);
        QVERIFY(dlg.findChild<QWidget*>(QStringLiteral("m_grpTls")) != nullptr);
        QCOMPARE(Edit(dlg, "m_editTlsCaFile")->text(), QStringLiteral("/etc/ssl/ca.pem"));
        QCOMPARE(Edit(dlg, "m_editTlsCertificate")->text(), QString());
        QVERIFY2(Edit(dlg, "m_editTlsCertificate")->placeholderText().endsWith(QStringLiteral("/public.key")),
                 qPrintable(Edit(dlg, "m_editTlsCertificate")->placeholderText()));
        for (QToolButton* pButton : dlg.findChildren<QToolButton*>())
            QVERIFY2(pButton->accessibleName().startsWith(QStringLiteral("Choose ")), qPrintable(pButton->objectName()));
        QCOMPARE(dlg.findChildren<QToolButton*>().size(), 4);

        Type(Edit(dlg, "m_editTlsClientCaFile"), QStringLiteral("clients.pem"));
        dlg.accept();
        QCOMPARE(m_boxes, QStringList{QStringLiteral("Nimbrel|TlsClientCaFile : an absolute path, or empty for the default")});
        QVERIFY(dlg.Options() == options);

        Type(Edit(dlg, "m_editTlsClientCaFile"), QStringLiteral("/etc/nimbrel/clients.pem"));
        Type(Edit(dlg, "m_editTlsCaFile"), QString());
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.Options().m_strTlsClientCaFile, std::string("/etc/nimbrel/clients.pem"));
        QCOMPARE(dlg.Options().m_strTlsCaFile, std::string());
        QCOMPARE(dlg.Options().m_strSettingsDir, std::string("/nonexistent/settings"));

        COptionDlg shown(options, true);
        for (QToolButton* pButton : shown.findChildren<QToolButton*>())
            QVERIFY2(!pButton->isEnabled(), qPrintable(pButton->objectName()));
    }
};

QTEST_MAIN(COptionDlgQTest)
#include "COptionDlgQTest.moc"
