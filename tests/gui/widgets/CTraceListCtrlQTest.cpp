// SPDX-License-Identifier: Apache-2.0
// The port list: its model as views and screen readers see it, its row
// drawing, its check-box strip; and the progress panel.

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QHeaderView>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CPortService.h"
#include "gui/window/CQtDispatcher.h"
#include "gui/widgets/CMsgWnd.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListCtrl.h"
#include "gui/widgets/NimbrelImages.h"

namespace
{

const QRgb WHITE = qRgb(255, 255, 255);
const QRgb RED = qRgb(255, 0, 0);
const QRgb YELLOW = qRgb(255, 255, 0);
const QRgb BLACK = qRgb(0, 0, 0);

int CountPixels(const QImage& image, const QRect& rc, QRgb rgb)
{
    int n = 0;
    const QRect rcIn = rc.intersected(image.rect());
    for (int y = rcIn.top(); y <= rcIn.bottom(); ++y)
        for (int x = rcIn.left(); x <= rcIn.right(); ++x)
            n += image.pixel(x, y) == rgb ? 1 : 0;
    return n;
}

}  // namespace

class CTraceListCtrlQTest : public QObject
{
    Q_OBJECT

private:
    // Ports 0 (client), 3 (server, not enabled) and 7 (UDP), in that order.
    void Configure(COmbraCtrlCore& core)
    {
        core.ResetSettings();
        for (int i : {0, 3, 7})
        {
            core.m_comData.SetUse(i, 1);
            core.m_comData.SetEnable(i, i == 3 ? 0 : 1);
            core.m_comData.SetMode(i, i == 0 ? MODE_TCP_CLIENT : i == 3 ? MODE_TCP_SERVER : MODE_UDP);
            core.m_comData.SetIPAddress(i, "127.0.0.1");
            core.m_comData.SetPeerPort(i, 4000 + i);
            core.m_comData.SetLocPort(i, 5000 + i);
        }
    }

    struct SList
    {
        CQtDispatcher dispatcher;
        CPortService service{&dispatcher};
        COmbraCtrlCore& core{service.CoreForTest()};
        CPortListModel model{&service};
        CTraceListCtrl list;
    };

    // A shown list over the three ports; nWidth small enough to scroll.
    std::unique_ptr<SList> MakeList(int nWidth = 611)
    {
        auto p = std::make_unique<SList>();
        Configure(p->core);
        p->core.InitList();
        p->list.SetPortModel(&p->model);
        // Exact colours: no blended glyph edges.
        QFont font(QStringLiteral("Arial"));
        font.setPointSize(9);
        font.setStyleStrategy(QFont::NoAntialias);
        p->list.setFont(font);
        p->list.resize(nWidth, 218);
        p->list.show();
        if (!QTest::qWaitForWindowExposed(&p->list))
            return nullptr;
        return p;
    }

    QPoint CellPoint(SList& s, int nRow, int nContentX)
    {
        const QRect rc = s.list.visualRect(s.model.index(nRow, COL_PORT));
        return QPoint(nContentX - s.list.horizontalScrollBar()->value(), rc.center().y());
    }

private slots:
    void ModelFollowsTheRows()
    {
        CQtDispatcher dispatcher;
        CPortService service(&dispatcher);
        COmbraCtrlCore& core = service.CoreForTest();
        Configure(core);
        CPortListModel model(&service);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

        core.InitList();
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.columnCount(), COL_COUNT);
        QCOMPARE(model.headerData(COL_CONNECTION, Qt::Horizontal).toString(), QStringLiteral("Connection"));

        QSignalSpy spyChanged(&model, &QAbstractItemModel::dataChanged);
        core.ChangePort(7, [](CPortView& view) { view.connection = EConnectionState::UdpStarted; });
        QCOMPARE(spyChanged.count(), 1);
        QCOMPARE(spyChanged[0][0].toModelIndex(), model.index(2, COL_CONNECTION));
        QCOMPARE(model.index(2, COL_CONNECTION).data().toString(), QStringLiteral("UDP Started"));

        // Rows in the middle come and go; the model follows the item data.
        core.m_rows.InsertRow(1, CPortView::FromEntry(5, core.m_comData.GetEntry(5)));
        QCOMPARE(model.index(1, COL_PORT).data().toString(), QStringLiteral("COM6"));
        QCOMPARE(model.index(2, COL_PORT).data(CPortListModel::PortRole).toInt(), 3);
        QVERIFY(core.m_rows.DeleteRow(0));
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.index(0, COL_PORT).data().toString(), QStringLiteral("COM6"));
        core.m_rows.DeleteAll();
        QCOMPARE(model.rowCount(), 0);
    }

    void ScreenReaderReadsTheCheckBoxAndCells()
    {
        CQtDispatcher dispatcher;
        CPortService service(&dispatcher);
        COmbraCtrlCore& core = service.CoreForTest();
        Configure(core);
        CPortListModel model(&service);
        core.InitList();

        const QModelIndex port0 = model.index(0, COL_PORT);
        QCOMPARE(port0.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(port0.data(Qt::AccessibleTextRole).toString(), QStringLiteral("Ombra: COM1, enabled"));
        QCOMPARE(model.index(1, COL_PORT).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(model.index(0, COL_PEER).data(Qt::AccessibleTextRole).toString(),
                 QStringLiteral("Peer: 127.0.0.1:4000"));

        QSignalSpy spyChanged(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(core.ToggleEnable(0));
        model.OnEnableChanged(0);
        QCOMPARE(spyChanged.count(), 1);
        QCOMPARE(port0.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(port0.data(Qt::AccessibleTextRole).toString(), QStringLiteral("Ombra: COM1, not enabled"));
    }

    void AFailuresReasonIsTheRowsToolTip()
    {
        CQtDispatcher dispatcher;
        CPortService service(&dispatcher);
        COmbraCtrlCore& core = service.CoreForTest();
        Configure(core);
        CPortListModel model(&service);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        core.InitList();
        QCOMPARE(model.index(0, COL_CONNECTION).data(Qt::ToolTipRole).toString(), QStringLiteral("Not Connect"));

        QSignalSpy spyChanged(&model, &QAbstractItemModel::dataChanged);
        core.ChangePort(0, [](CPortView& view) { view.connection = EConnectionState::ConnectError; });
        core.ChangePort(0, [](CPortView& view) { view.strReason = "connect 127.0.0.1:4000: Connection refused"; });
        QCOMPARE(spyChanged.count(), 2);
        QCOMPARE(spyChanged[1][0].toModelIndex(), model.index(0, 0));
        QCOMPARE(spyChanged[1][1].toModelIndex(), model.index(0, COL_COUNT - 1));
        for (int nCol : {COL_PORT, COL_CONNECTION, COL_STOP})
            QCOMPARE(model.index(0, nCol).data(Qt::ToolTipRole).toString(),
                     QStringLiteral("connect 127.0.0.1:4000: Connection refused"));
        QCOMPARE(model.index(0, COL_CONNECTION).data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("connect 127.0.0.1:4000: Connection refused"));
        QCOMPARE(model.index(1, COL_CONNECTION).data(Qt::ToolTipRole).toString(), QStringLiteral("Not Connect"));
        core.ChangePort(0, [](CPortView& view) { view.strReason.clear(); });
        QCOMPARE(model.index(0, COL_CONNECTION).data(Qt::ToolTipRole).toString(), QStringLiteral("Connect Error"));
    }

    // Where COM port control stands is part of every cell's tool tip,
    // and a change of it repaints the tips.
    void ComPortControlIsInTheRowsToolTip()
    {
        CQtDispatcher dispatcher;
        CPortService service(&dispatcher);
        COmbraCtrlCore& core = service.CoreForTest();
        Configure(core);
        CPortListModel model(&service);
        core.InitList();
        QSignalSpy spyChanged(&model, &QAbstractItemModel::dataChanged);
        core.ChangePort(0, [](CPortView& view) { view.strComPort = "device server: 19200 7E2, flow none; CD"; });
        QCOMPARE(spyChanged.count(), 1);
        QCOMPARE(spyChanged[0][1].toModelIndex(), model.index(0, COL_COUNT - 1));
        QCOMPARE(model.index(0, COL_CONNECTION).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Not Connect\nCOM port control: device server: 19200 7E2, flow none; CD"));
        QVERIFY(!model.index(1, COL_CONNECTION).data(Qt::ToolTipRole).toString().contains(QStringLiteral("COM port")));
    }

    void ErrorTextsAreRedAndYellowOnTheSelection()
    {
        auto p = MakeList();
        QVERIFY(p);
        SList& s = *p;
        s.core.ChangePort(0, [](CPortView& view) { view.create = ECreateState::Error; });
        s.core.ChangePort(3, [](CPortView& view) { view.connection = EConnectionState::CreateError; });  // column 5 too
        s.core.ChangePort(7, [](CPortView& view) { view.connection = EConnectionState::NotConnect; });

        // The theme's colours: the offscreen platform's light one, whose
        // selection bar is dark enough for yellow.
        const QPalette pal = s.list.palette();
        const QRgb BAR = pal.color(QPalette::Highlight).rgb();
        const QRgb FACE = pal.color(QPalette::Base).rgb();
        const QRgb TEXT = pal.color(QPalette::Text).rgb();
        const QRgb BAR_TEXT = pal.color(QPalette::HighlightedText).rgb();
        QCOMPARE(FACE, WHITE);
        QCOMPARE(TEXT, BLACK);
        auto textRect = [&](int nRow, int nCol) {
            QRect rc = s.list.visualRect(s.model.index(nRow, nCol));
            rc.setLeft(rc.left() + CTraceListDelegate::IconArea(&s.list));
            return rc;
        };
        auto rowRect = [&](int nRow) {
            const QRect rc = s.list.visualRect(s.model.index(nRow, COL_PORT));
            return QRect(0, rc.top(), s.list.viewport()->width(), rc.height());
        };

        QImage image = s.list.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(CountPixels(image, textRect(0, COL_CREATE), RED) > 10);
        QVERIFY(CountPixels(image, textRect(1, COL_CONNECTION), RED) > 10);
        QCOMPARE(CountPixels(image, textRect(2, COL_CONNECTION), RED), 0);
        QVERIFY(CountPixels(image, textRect(2, COL_CONNECTION), TEXT) > 10);
        QCOMPARE(CountPixels(image, rowRect(0), BAR), 0);

        s.list.setCurrentIndex(s.model.index(0, COL_MODE));
        image = s.list.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        // The bar spans the row; the error is yellow, the rest the bar's text colour.
        const QRect rcRow0 = rowRect(0);
        QVERIFY(CountPixels(image, rcRow0, BAR) > rcRow0.width() * rcRow0.height() / 2);
        QVERIFY(CountPixels(image, textRect(0, COL_CREATE), YELLOW) > 10);
        QCOMPARE(CountPixels(image, textRect(0, COL_CREATE), RED), 0);
        QVERIFY(CountPixels(image, textRect(0, COL_PORT), BAR_TEXT) > 10);
        QCOMPARE(CountPixels(image, textRect(0, COL_PORT), TEXT), 0);
        // The other rows keep their look.
        QVERIFY(CountPixels(image, textRect(1, COL_CONNECTION), RED) > 10);
        QCOMPARE(CountPixels(image, rowRect(1), BAR), 0);
    }

    // The lamps come from the port's state, not from its words.
    void LampsFollowTheState()
    {
        CQtDispatcher dispatcher;
        CPortService service(&dispatcher);
        COmbraCtrlCore& core = service.CoreForTest();
        Configure(core);
        CPortListModel model(&service);
        core.InitList();
        auto lamp = [&](int nCol) { return static_cast<ELamp>(model.index(0, nCol).data(CPortListModel::LampRole).toInt()); };
        QCOMPARE(lamp(COL_CREATE), ELamp::Idle);
        QCOMPARE(lamp(COL_CONNECTION), ELamp::Idle);
        QCOMPARE(lamp(COL_MODE), ELamp::None);
        core.ChangePort(0, [](CPortView& view) {
            view.create = ECreateState::Created;
            view.connection = EConnectionState::SslError;
        });
        QCOMPARE(lamp(COL_CREATE), ELamp::Ok);
        QCOMPARE(lamp(COL_CONNECTION), ELamp::Error);
        core.ChangePort(0, [](CPortView& view) { view.connection = EConnectionState::Connected; });
        QCOMPARE(lamp(COL_CONNECTION), ELamp::Ok);
    }

    void StripClickSwitchesThePortAndSelectsItsRow()
    {
        auto p = MakeList();
        QVERIFY(p);
        SList& s = *p;
        QSignalSpy spyToggled(&s.list, &CTraceListCtrl::EnableToggled);

        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, CellPoint(s, 1, 17));
        QCOMPARE(s.core.m_comData.GetEnable(3), 1);
        QCOMPARE(s.core.m_comData.m_nEnableCount, 3);
        QCOMPARE(spyToggled.count(), 1);
        QCOMPARE(spyToggled[0][0].toInt(), 3);
        QVERIFY(s.list.selectionModel()->isRowSelected(1, QModelIndex()));
        QCOMPARE(s.list.currentIndex().row(), 1);

        // One pixel further is an ordinary click: it selects, nothing more.
        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, CellPoint(s, 0, 18));
        QCOMPARE(s.core.m_comData.GetEnable(0), 1);
        QVERIFY(s.list.selectionModel()->isRowSelected(0, QModelIndex()));
        QCOMPARE(spyToggled.count(), 1);

        // Below the last row the strip is no strip.
        const QRect rcLast = s.list.visualRect(s.model.index(2, COL_PORT));
        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, QPoint(5, rcLast.bottom() + 20));
        QCOMPARE(spyToggled.count(), 1);

        // The keyboard's way: Space on the current row.
        s.list.setCurrentIndex(s.model.index(2, COL_MODE));
        QTest::keyClick(&s.list, Qt::Key_Space);
        QCOMPARE(s.core.m_comData.GetEnable(7), 0);
        QCOMPARE(spyToggled.count(), 2);
    }

    // The window opens with row 0 current but nothing selected, so nothing
    // shows which row is current. A tick clicked on another row, then Space,
    // switch that row twice; the unmarked row 0 is never touched.
    void SpaceSwitchesOnlyTheRowTheUserPicked()
    {
        auto p = MakeList();
        QVERIFY(p);
        SList& s = *p;
        s.list.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&s.list));
        s.list.setCurrentIndex(s.model.index(0, COL_PORT));
        s.list.clearSelection();
        QSignalSpy spyToggled(&s.list, &CTraceListCtrl::EnableToggled);

        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, CellPoint(s, 2, 5));
        QCOMPARE(s.core.m_comData.GetEnable(7), 0);
        QTest::keyClick(&s.list, Qt::Key_Space);
        QCOMPARE(s.core.m_comData.GetEnable(7), 1);
        QCOMPARE(s.core.m_comData.GetEnable(0), 1);
        QCOMPARE(spyToggled.count(), 2);
        QCOMPARE(spyToggled[1][0].toInt(), 7);

        // A current row nobody can see is first shown, not switched.
        s.list.clearSelection();
        QTest::keyClick(&s.list, Qt::Key_Space);
        QCOMPARE(s.core.m_comData.GetEnable(7), 1);
        QVERIFY(s.list.selectionModel()->isRowSelected(2, QModelIndex()));
        QTest::keyClick(&s.list, Qt::Key_Space);
        QCOMPARE(s.core.m_comData.GetEnable(7), 0);
        QCOMPARE(spyToggled.count(), 3);
    }

    // Assistive technology: "Toggle" on a port's check box cell switches the
    // port as a click does (reported, so the window saves; refused while
    // started); on another cell it selects the row. Cells keep their
    // numbers as the view counts them, header row first.
    void AssistiveTechnologyTogglesThePort()
    {
        auto p = MakeList();
        QVERIFY(p);
        SList& s = *p;
        QSignalSpy spyToggled(&s.list, &CTraceListCtrl::EnableToggled);
        QAccessibleInterface* pList = QAccessible::queryAccessibleInterface(&s.list);
        QVERIFY(pList != nullptr && pList->tableInterface() != nullptr);
        QAccessibleInterface* pCell = pList->tableInterface()->cellAt(1, COL_PORT);
        QVERIFY(pCell != nullptr && pCell->actionInterface() != nullptr);
        QCOMPARE(pCell->text(QAccessible::Name), QStringLiteral("Ombra: COM4, not enabled"));
        QVERIFY(pCell->state().checkable);
        QVERIFY(!pCell->state().checked);
        QVERIFY(pCell->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));

        pCell->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(s.core.m_comData.GetEnable(3), 1);
        QCOMPARE(s.core.m_comData.m_nEnableCount, 3);
        QCOMPARE(spyToggled.count(), 1);
        QCOMPARE(spyToggled[0][0].toInt(), 3);
        QVERIFY(pCell->state().checked);
        QCOMPARE(pCell->text(QAccessible::Name), QStringLiteral("Ombra: COM4, enabled"));

        // The model's check state is the same switch, for any view.
        const QModelIndex port3 = s.model.index(1, COL_PORT);
        QVERIFY(s.model.setData(port3, Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(s.core.m_comData.GetEnable(3), 0);
        QCOMPARE(spyToggled.count(), 2);
        QVERIFY(!s.model.setData(port3, Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!s.model.setData(s.model.index(1, COL_MODE), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(spyToggled.count(), 2);

        // Another cell's Toggle selects its row and switches nothing.
        QAccessibleInterface* pMode = pList->tableInterface()->cellAt(2, COL_MODE);
        QVERIFY(pMode != nullptr);
        pMode->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(s.list.selectionModel()->isRowSelected(2, QModelIndex()));
        QCOMPARE(s.core.m_comData.GetEnable(7), 1);
        QCOMPARE(pList->indexOfChild(pMode), (2 + 1) * COL_COUNT + COL_MODE);
        QCOMPARE(pList->child((2 + 1) * COL_COUNT + COL_MODE), pMode);
        QCOMPARE(pList->focusChild(), pMode);
        QCOMPARE(pList->child(COL_PEER)->text(QAccessible::Name), QStringLiteral("Peer"));

        // A row inserted above: the cells read the rows where they are now.
        s.core.m_rows.InsertRow(0, CPortView::FromEntry(5, s.core.m_comData.GetEntry(5)));
        QCOMPARE(pList->tableInterface()->cellAt(2, COL_PORT)->text(QAccessible::Name).left(11),
                 QStringLiteral("Ombra: COM4"));

        // Started: the box is locked for assistive technology too.
        s.core.m_comData.m_bRunning = 1;
        pList->tableInterface()->cellAt(2, COL_PORT)->actionInterface()->doAction(
            QAccessibleActionInterface::toggleAction());
        QCOMPARE(s.core.m_comData.GetEnable(3), 0);
        QCOMPARE(spyToggled.count(), 2);
    }

    void StripIsLockedWhileStarted()
    {
        auto p = MakeList();
        QVERIFY(p);
        SList& s = *p;
        QSignalSpy spyToggled(&s.list, &CTraceListCtrl::EnableToggled);
        s.core.m_comData.m_bRunning = 1;

        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, CellPoint(s, 0, 5));
        QCOMPARE(s.core.m_comData.GetEnable(0), 1);
        QVERIFY(!s.list.selectionModel()->hasSelection());
        s.list.setCurrentIndex(s.model.index(0, COL_MODE));
        s.list.clearSelection();
        QTest::keyClick(&s.list, Qt::Key_Space);
        QCOMPARE(s.core.m_comData.GetEnable(0), 1);
        QCOMPARE(spyToggled.count(), 0);

        // The rest of the row still selects.
        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, CellPoint(s, 0, 40));
        QVERIFY(s.list.selectionModel()->isRowSelected(0, QModelIndex()));
    }

    void StripFollowsTheHorizontalScroll()
    {
        auto p = MakeList(200);
        QVERIFY(p);
        SList& s = *p;
        QVERIFY(s.list.horizontalScrollBar()->maximum() > 10);
        s.list.horizontalScrollBar()->setValue(10);

        // Window x 7 is content x 17: the strip.
        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, QPoint(7, CellPoint(s, 1, 0).y()));
        QCOMPARE(s.core.m_comData.GetEnable(3), 1);
        // Window x 8 is content x 18: an ordinary click.
        QTest::mouseClick(s.list.viewport(), Qt::LeftButton, {}, QPoint(8, CellPoint(s, 2, 0).y()));
        QCOMPARE(s.core.m_comData.GetEnable(7), 1);
        QVERIFY(s.list.selectionModel()->isRowSelected(2, QModelIndex()));
    }

    // Start and Stop bring the row they handled into view: the list scrolls
    // only vertically, and not at all for a row that already shows in part.
    void EnsureVisibleScrollsOnlyToAHiddenRow()
    {
        auto p = MakeList(200);
        QVERIFY(p);
        SList& s = *p;
        // Room for row 0 and half of row 1; row 2 is out of view.
        s.list.resize(s.list.width(), s.list.height() - s.list.viewport()->height() + s.list.RowHeight() + 8);
        QTRY_COMPARE(s.list.viewport()->height(), s.list.RowHeight() + 8);
        s.list.horizontalScrollBar()->setValue(10);
        QSignalSpy spyScrolled(s.list.verticalScrollBar(), &QScrollBar::valueChanged);

        QVERIFY(s.core.m_rows.EnsureVisible(1));
        QCOMPARE(spyScrolled.count(), 0);
        QVERIFY(s.core.m_rows.EnsureVisible(2));
        const QRect rcRow2 = s.list.visualRect(s.model.index(2, COL_PORT));
        QVERIFY(rcRow2.top() >= 0 && rcRow2.bottom() < s.list.viewport()->height());
        QCOMPARE(s.list.horizontalScrollBar()->value(), 10);
        QVERIFY(s.core.m_rows.EnsureVisible(0));
        QCOMPARE(s.list.verticalScrollBar()->value(), 0);
        QCOMPARE(s.list.horizontalScrollBar()->value(), 10);
    }

    // At the usual font a row is 17 pixels, as many as its 16-pixel icons
    // need; a larger font makes the rows and the columns grow with it.
    void RowsAndColumnsFitTheirFont()
    {
        auto p = MakeList();
        QVERIFY(p);
        QCOMPARE(p->list.visualRect(p->model.index(0, COL_MODE)).height(), p->list.RowHeight());
        QCOMPARE(p->list.RowHeight(), 17);
        QCOMPARE(p->list.visualRect(p->model.index(1, 0)).top() - p->list.visualRect(p->model.index(0, 0)).top(), 17);
        QCOMPARE(p->list.header()->sectionsClickable(), false);
        auto fits = [&](int nCol, const QString& strText, bool bIcon) {
            return CTraceListDelegate::CellWidth(&p->list, p->list.fontMetrics(), strText, bIcon) <=
                   p->list.columnWidth(nCol);
        };
        QVERIFY(fits(COL_PEER, QStringLiteral("255.255.255.255:65535"), false));
        QVERIFY(fits(COL_CONNECTION, QStringLiteral("Not support device"), true));
        // A heading wider than its texts sets the width.
        QVERIFY(p->list.columnWidth(COL_BAUDRATE) >= p->list.header()->sectionSizeHint(COL_BAUDRATE));
        QVERIFY(p->list.columnWidth(COL_BAUDRATE) > p->list.fontMetrics().horizontalAdvance(QStringLiteral("BaudRate")));
        const int nPeer = p->list.columnWidth(COL_PEER);

        QFont big = p->list.font();
        big.setPointSizeF(big.pointSizeF() * 1.5);
        p->list.setFont(big);
        QVERIFY(p->list.RowHeight() >= p->list.fontMetrics().height() + 2);
        QCOMPARE(p->list.visualRect(p->model.index(0, COL_MODE)).height(), p->list.RowHeight());
        QVERIFY(p->list.columnWidth(COL_PEER) > nPeer);
        QVERIFY(fits(COL_PEER, QStringLiteral("255.255.255.255:65535"), false));
        QVERIFY(fits(COL_CONNECTION, QStringLiteral("Not support device"), true));
    }

    // A double click on the divider right of a column fits it to its rows
    // and its widest everyday text.
    void DividerDoubleClickFitsTheColumn()
    {
        auto p = MakeList(900);
        QVERIFY(p);
        SList& s = *p;
        s.core.ChangePort(3, [](CPortView& view) { view.strAcceptedPeer = "192.168.100.200:54321"; });
        s.list.setColumnWidth(COL_PEER, 20);
        QHeaderView* pHeader = s.list.header();
        const int nDivider = pHeader->sectionViewportPosition(COL_PEER) + pHeader->sectionSize(COL_PEER) - 1;
        QTest::mouseDClick(pHeader->viewport(), Qt::LeftButton, {}, QPoint(nDivider, pHeader->height() / 2));
        QVERIFY(s.list.columnWidth(COL_PEER) >=
                CTraceListDelegate::CellWidth(&s.list, s.list.fontMetrics(), QStringLiteral("192.168.100.200:54321"), false));
        QVERIFY(s.list.columnWidth(COL_PEER) >=
                CTraceListDelegate::CellWidth(&s.list, s.list.fontMetrics(), QStringLiteral("255.255.255.255:65535"), false));
    }

    // The lamps differ in shape, not only in colour: drawn in grey they
    // still differ.
    void LampsDifferWithoutColour()
    {
        auto grey = [](int nId) {
            QImage image = NimbrelPixmap(nId, 16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                {
                    const QRgb rgb = image.pixel(x, y);
                    // Light or dark, as a colour-blind eye still tells them.
                    image.setPixel(x, y, qAlpha(rgb) < 128 ? 0 : qGray(rgb) < 160 ? 1 : 2);
                }
            return image;
        };
        auto differ = [](const QImage& a, const QImage& b) {
            int n = 0;
            for (int y = 0; y < a.height(); ++y)
                for (int x = 0; x < a.width(); ++x)
                    n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
            return n;
        };
        const QImage ok = grey(IDI_LAMP_OK);
        const QImage error = grey(IDI_LAMP_ERROR);
        const QImage idle = grey(IDI_LAMP_IDLE);
        QVERIFY(differ(ok, error) > 20);
        QVERIFY(differ(ok, idle) > 20);
        QVERIFY(differ(error, idle) > 20);
    }

    void MsgWndDrawsItsTwoLinesOnAWhiteFace()
    {
        QWidget parent;
        parent.resize(400, 200);
        CMsgWnd wnd(&parent);
        wnd.setGeometry(10, 10, 280, 50);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));

        QImage image = wnd.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.pixel(140, 25), WHITE);
        // Raised: the lower right edge is darker than the face.
        QVERIFY(qGray(image.pixel(279, 49)) < 128);
        QCOMPARE(CountPixels(image, QRect(60, 3, 200, 40), BLACK), 0);

        wnd.SetLine1(QStringLiteral("Virtual Serial Port Create."));
        wnd.SetLine2(QStringLiteral("Just a moment, please."));
        image = wnd.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(CountPixels(image, QRect(70, 5, 200, 18), WHITE) < 200 * 18);
        QVERIFY(CountPixels(image, QRect(75, 25, 200, 18), WHITE) < 200 * 18);
        // Nothing left of the lines' start.
        QCOMPARE(CountPixels(image, QRect(3, 3, 60, 44), WHITE), 60 * 44);
        QCOMPARE(wnd.accessibleName(), QStringLiteral("Virtual Serial Port Create. Just a moment, please."));
    }
};

QTEST_MAIN(CTraceListCtrlQTest)
#include "CTraceListCtrlQTest.moc"
