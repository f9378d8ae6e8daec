#pragma once

#include <QStyledItemDelegate>
#include <QTreeView>

class CPortService;
class CPortListModel;

// Draws the port list's rows: the check box of column 0, the lamps of the
// "Create" and "Connection" columns, error texts in red (yellow on the
// selection), white text on the blue selection bar.
class CTraceListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Width of the icon area at the left of a cell, and of the click strip.
    static constexpr int CHECK_WIDTH = 18;

    using QStyledItemDelegate::QStyledItemDelegate;

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
// the first 18 pixels of column 0 (the strip) selects its row and switches
// that port's enable flag; Space switches the current row's, once that row
// is selected (visible as such). While the ports are started the strip does
// nothing at all. A flat tree view rather than a
// table: assistive technology then reads it as rows of named cells, without
// the table's nameless row headers and corner.
class CTraceListCtrl : public QTreeView
{
    Q_OBJECT

public:
    static constexpr int ROW_HEIGHT = 17;

    explicit CTraceListCtrl(QWidget* pParent = nullptr);

    // Shows pModel (not owned) and takes the columns from it.
    void SetPortModel(CPortListModel* pModel);

    // Scrolls vertically until the row of index is at least partly in view;
    // the horizontal position stays.
    void EnsureVisible(const QModelIndex& index);

signals:
    // The user switched port nPort's enable flag (through the list or the
    // model's check state).
    void EnableToggled(int nPort);

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

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
