// SPDX-License-Identifier: Apache-2.0
// The dialogs' layouts at the usual font and at 1.5 times it (and, run a
// second time with QT_SCALE_FACTOR=2, at a device pixel ratio of 2): no
// control overlaps another, none is cut, every group's controls sit inside
// its frame below its title, and the tab order is the one of the templates.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionGroupBox>
#include <QTest>

#include "gui/dialogs/CAboutDlg.h"
#include "gui/dialogs/CAddDlg.h"
#include "gui/dialogs/COptionDlg.h"

namespace
{

QRect GeometryIn(const QWidget* pTop, const QWidget* pChild)
{
    return QRect(pChild->mapTo(pTop, QPoint(0, 0)), pChild->size());
}

// The controls of the template: its named widgets, without the groups
// (checked on their own) and without a container's own parts.
QList<QWidget*> Controls(QWidget* pDlg)
{
    QList<QWidget*> list;
    for (QWidget* pWidget : pDlg->findChildren<QWidget*>())
        if (pWidget->objectName().startsWith(QStringLiteral("m_")) && qobject_cast<QGroupBox*>(pWidget) == nullptr &&
            pWidget->isVisible())
            list << pWidget;
    return list;
}

// The width a control's text needs; 0 for one without text.
int TextWidth(const QWidget* pWidget)
{
    if (const auto* pLabel = qobject_cast<const QLabel*>(pWidget))
        return pLabel->pixmap().isNull() ? pLabel->fontMetrics().horizontalAdvance(pLabel->text()) : 0;
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(pWidget))
        return pButton->fontMetrics().horizontalAdvance(pButton->text());
    return 0;
}

QString Names(const QWidget* pA, const QWidget* pB)
{
    return pA->objectName() + QStringLiteral(" / ") + pB->objectName();
}

void CheckLayout(QDialog* pDlg)
{
    pDlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(pDlg));
    const QList<QWidget*> controls = Controls(pDlg);
    QVERIFY(controls.size() > 3);
    for (QWidget* pControl : controls)
    {
        const QRect rc = GeometryIn(pDlg, pControl);
        QVERIFY2(pDlg->rect().contains(rc), qPrintable(pControl->objectName()));
        // Nothing cut: each control at least as large as it asks to be.
        QVERIFY2(pControl->width() >= pControl->minimumSizeHint().width() &&
                     pControl->height() >= pControl->minimumSizeHint().height(),
                 qPrintable(pControl->objectName()));
        QVERIFY2(pControl->width() >= TextWidth(pControl), qPrintable(pControl->objectName()));
        for (QWidget* pOther : controls)
            if (pOther != pControl)
                QVERIFY2(!rc.intersects(GeometryIn(pDlg, pOther)), qPrintable(Names(pControl, pOther)));
        // A label keeps a gap to the field it names.
        if (const auto* pLabel = qobject_cast<QLabel*>(pControl); pLabel != nullptr && pLabel->buddy() != nullptr)
        {
            const QRect rcBuddy = GeometryIn(pDlg, pLabel->buddy());
            QVERIFY2(rc.right() < rcBuddy.left() || rc.bottom() < rcBuddy.top(),
                     qPrintable(Names(pControl, pLabel->buddy())));
        }
    }
    for (QGroupBox* pGroup : pDlg->findChildren<QGroupBox*>())
    {
        QStyleOptionGroupBox option;
        option.initFrom(pGroup);
        option.text = pGroup->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect rcTitle =
            pGroup->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, pGroup);
        const QRect rcFrame =
            pGroup->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, pGroup);
        QVERIFY2(rcTitle.width() >= pGroup->fontMetrics().horizontalAdvance(pGroup->title()),
                 qPrintable(pGroup->objectName()));
        const QList<QWidget*> children = pGroup->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        QVERIFY(!children.isEmpty());
        for (QWidget* pChild : children)
        {
            QVERIFY2(pChild->geometry().top() > rcTitle.bottom(), qPrintable(Names(pGroup, pChild)));
            QVERIFY2(rcFrame.contains(pChild->geometry()), qPrintable(Names(pGroup, pChild)));
        }
    }
}

QStringList TabOrder(QDialog* pDlg)
{
    QStringList names;
    for (QWidget* p = pDlg->nextInFocusChain(); p != nullptr && p != pDlg; p = p->nextInFocusChain())
        if (p->objectName().startsWith(QStringLiteral("m_")) && (p->focusPolicy() & Qt::TabFocus) != 0)
            names << p->objectName();
    return names;
}

}  // namespace

class CWindowLayoutsQTest : public QObject
{
    Q_OBJECT

private:
    QFont m_fontBefore;

private slots:
    void init()
    {
        QFETCH_GLOBAL(double, dScale);
        m_fontBefore = QApplication::font();
        QFont font = m_fontBefore;
        font.setPointSizeF(font.pointSizeF() * dScale);
        QApplication::setFont(font);
    }

    void cleanup()
    {
        QApplication::setFont(m_fontBefore);
    }

    void initTestCase_data()
    {
        QTest::addColumn<double>("dScale");
        QTest::newRow("default font") << 1.0;
        QTest::newRow("1.5 x font") << 1.5;
    }

    void OptionDialogFits()
    {
        COptionDlg dlg(COptionSet(), false);
        CheckLayout(&dlg);
        QCOMPARE(TabOrder(&dlg),
                 QStringList({"m_editKeepAliveTime", "m_editKeepAliveInterval", "m_editConnectTimeout", "m_chkReconnect",
                              "m_editReconnectTime", "m_editUser", "m_editPassword", "m_editLoginChallenge",
                              "m_editLoginTimeout", "m_editTlsCertificate", "m_btnTlsCertificate",
                              "m_editTlsPrivateKey", "m_btnTlsPrivateKey", "m_editTlsCaFile", "m_btnTlsCaFile",
                              "m_editTlsClientCaFile", "m_btnTlsClientCaFile", "m_chkWineDosDevices", "m_btnOk",
                              "m_btnCancel"}));
    }

    void AddDialogFits()
    {
        CAddDlg dlg(CAddDlg::EKind::Add, {0, 1, 255}, CPortEntry(), 1);
        CheckLayout(&dlg);
        // Radio buttons of a group take one tab stop in Qt; the order of
        // the stops is the template's.
        const QStringList order = TabOrder(&dlg);
        const QStringList wanted = {"m_comboPort", "m_radioTcpClient", "m_checkSSL",     "m_checkKeepAlive",
                                    "m_editIPAddress", "m_editPeerPort", "m_editLocPort", "m_btnConnectTest",
                                    "m_ctlLog",        "m_btnOk",        "m_btnCancel"};
        int nAt = -1;
        for (const QString& strName : wanted)
        {
            const int nNext = order.indexOf(strName);
            QVERIFY2(nNext > nAt, qPrintable(strName + QStringLiteral(" in ") + order.join(QLatin1Char(' '))));
            nAt = nNext;
        }
    }

    void AboutDialogFits()
    {
        CAboutDlg dlg;
        CheckLayout(&dlg);
    }
};

QTEST_MAIN(CWindowLayoutsQTest)
#include "CWindowLayoutsQTest.moc"
