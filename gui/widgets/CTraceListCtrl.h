// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QStyledItemDelegate>
#include <QTreeView>

class CPortService;
class CPortListModel;

// Draws the port list's rows in the desktop theme's colours: the check box
// of column 0, the lamps of the "Create" and "Connection" columns (each
// lamp its own shape, not only its own colour), error texts in red (a
// contrasting colour on the selection bar).
class CTraceListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The side of the check box and the lamps: the style's small icon size.
    static int IconSize(const QWidget* pView);
    // Width of the icon area at the left of a cell, and of the click strip.
    static int IconArea(const QWidget* pView) { return IconSize(pView) + 2; }
    // Room a cell needs beyond its text: the icon area, when it has an
    // icon, and a margin either side.
    static int CellWidth(const QWidget* pView, const QFontMetrics& fm, const QString& strText, bool bIcon);

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;


protected:
    // Switching the check box is the list's business, not the delegate's.
    bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override
    {
        return false;
    }
};

// The port list: one row per configured port over CPortListModel. A click in
// the icon area of column 0 (the strip) selects its row and switches
// that port's enable flag; Space switches the current row's, once that row
// is selected (visible as such). While the ports are started the strip does
// nothing at all. A flat tree view rather than a
// table: assistive technology then reads it as rows of named cells, without
// the table's nameless row headers and corner.
//
// Its columns start as wide as their headings and their widest everyday
// texts in the list's font; a double click on a column divider fits that
// column to the rows shown. Its size hint is as wide as all the columns
// with room for the vertical scroll bar, so a window that starts at it
// shows every column without a horizontal one.
class CTraceListCtrl : public QTreeView
{
    Q_OBJECT

public:
    // Rows shown at the start size.
    static constexpr int START_ROWS = 12;

    explicit CTraceListCtrl(QWidget* pParent = nullptr);

    // Shows pModel (not owned) and takes the columns from it.
    void SetPortModel(CPortListModel* pModel);

    // A row's height: a line of the font or an icon, whichever is taller.
    int RowHeight() const;
    // Each column as wide as its heading and CPortTexts::WidestCell.
    void FitColumns();
    // All columns, the frame and the vertical scroll bar.
    int ColumnsWidth() const;
    QSize sizeHint() const override;

    // Scrolls vertically until the row of index is at least partly in view;
    // the horizontal position stays.
    void EnsureVisible(const QModelIndex& index);

signals:
    // The user switched port nPort's enable flag (through the list or the
    // model's check state).
    void EnableToggled(int nPort);
    // A double click on row nRow outside the check-box strip.
    void RowDoubleClicked(int nRow);

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    // A new font or style: the rows and the columns follow it.
    void changeEvent(QEvent* pEvent) override;
    int sizeHintForColumn(int nColumn) const override;

private:
    // A press at pos (viewport coordinates): true when the strip took it.
    bool OnStripPress(const QPoint& pos);
    // A press or double click: true when the strip took it (and the event).
    bool TakeStripPress(QMouseEvent* pEvent);
    // Switches the port of row nRow; true when it changed.
    bool Toggle(int nRow);
    CPortService* Service() const;

    CPortListModel* m_pModel = nullptr;
    QMetaObject::Connection m_ensureVisible;  // m_pModel's requests to show a row
    QMetaObject::Connection m_enableToggled;  // m_pModel's switched ports, passed on
    // The last press went to the strip: its move and release are not passed on.
    bool m_bStripPress = false;
};
