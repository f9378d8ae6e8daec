// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CTraceListCtrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include "core/model/CPortTexts.h"
#include "core/service/CPortService.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListAccessible.h"
#include "gui/widgets/NimbrelImages.h"
#include "gui/widgets/ThemeColors.h"

namespace
{
// Space left and right of a cell's text.
constexpr int TEXT_MARGIN = 4;

// The picture of a lamp; 0 for none.
int LampIcon(ELamp lamp)
{
    switch (lamp)
    {
    case ELamp::Idle:
        return IDI_LAMP_IDLE;
    case ELamp::Ok:
        return IDI_LAMP_OK;
    case ELamp::Error:
        return IDI_LAMP_ERROR;
    case ELamp::None:
        break;
    }
    return 0;
}
}  // namespace

int CTraceListDelegate::IconSize(const QWidget* pView)
{
    const QStyle* pStyle = pView != nullptr ? pView->style() : QApplication::style();
    return pStyle->pixelMetric(QStyle::PM_SmallIconSize, nullptr, pView);
}

int CTraceListDelegate::CellWidth(const QWidget* pView, const QFontMetrics& fm, const QString& strText, bool bIcon)
{
    return (bIcon ? IconArea(pView) : 0) + fm.horizontalAdvance(strText) + 2 * TEXT_MARGIN;
}

void CTraceListDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const bool bSelected = (option.state & QStyle::State_Selected) != 0;
    const int nCol = index.column();
    const QString strText = index.data(Qt::DisplayRole).toString();
    const QPalette& pal = option.palette;
    QRect rcCell = option.rect;

    pPainter->save();
    pPainter->fillRect(rcCell, pal.color(bSelected ? QPalette::Highlight : QPalette::Base));

    QColor colorText = pal.color(bSelected ? QPalette::HighlightedText : QPalette::Text);
    int nIcon = 0;
    if (nCol == COL_PORT)
        nIcon = index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? IDI_CHECK_ON : IDI_CHECK_OFF;
    else
    {
        const auto lamp = static_cast<ELamp>(index.data(CPortListModel::LampRole).toInt());
        nIcon = LampIcon(lamp);
        if (lamp == ELamp::Error)
            colorText = bSelected ? SelectedErrorTextColor(pal) : ErrorTextColor(pal);
    }
    if (nIcon != 0)
    {
        const int nSize = IconSize(option.widget);
        pPainter->drawPixmap(rcCell.left(), rcCell.top() + (rcCell.height() - nSize) / 2,
                             NimbrelPixmap(nIcon, nSize, nSize));
        rcCell.setLeft(rcCell.left() + IconArea(option.widget));
    }

    pPainter->setFont(option.font);
    pPainter->setPen(colorText);
    const QString strShown = option.fontMetrics.elidedText(strText, Qt::ElideRight, rcCell.width());
    pPainter->drawText(rcCell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, strShown);
    pPainter->restore();
}

QSize CTraceListDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // What paint() needs: a double click on a divider fits the column to it.
    const bool bIcon = index.column() == COL_PORT ||
                       static_cast<ELamp>(index.data(CPortListModel::LampRole).toInt()) != ELamp::None;
    const int nWidth = CellWidth(option.widget, option.fontMetrics, index.data(Qt::DisplayRole).toString(), bIcon);
    const auto* pList = qobject_cast<const CTraceListCtrl*>(option.widget);
    return QSize(nWidth, pList != nullptr ? pList->RowHeight() : option.fontMetrics.height() + 2);
}

CTraceListCtrl::CTraceListCtrl(QWidget* pParent) : QTreeView(pParent)
{
    CTraceListAccessible::Install();
    setItemDelegate(new CTraceListDelegate(this));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setIndentation(0);
    setUniformRowHeights(true);
    // No focus frame over the row: the selection bar is the only mark.
    setAllColumnsShowFocus(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setSortingEnabled(false);
    // The strip is measured in content pixels: scroll by pixels, not cells.
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setFocusPolicy(Qt::StrongFocus);

    header()->setSectionsClickable(false);
    header()->setSortIndicatorShown(false);
    header()->setHighlightSections(false);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // A column dragged narrow still shows the start of its heading.
    header()->setMinimumSectionSize(fontMetrics().averageCharWidth() * 3);
}

int CTraceListCtrl::RowHeight() const
{
    return qMax(fontMetrics().height() + 2, CTraceListDelegate::IconSize(this) + 1);
}

void CTraceListCtrl::FitColumns()
{
    if (model() == nullptr)
        return;
    for (int nCol = 0; nCol < COL_COUNT; ++nCol)
    {
        const bool bIcon = nCol == COL_PORT || nCol == COL_CREATE || nCol == COL_CONNECTION;
        const int nCell = CTraceListDelegate::CellWidth(this, fontMetrics(),
                                                        QString::fromLatin1(CPortTexts::WidestCell(nCol)), bIcon);
        setColumnWidth(nCol, qMax(nCell, header()->sectionSizeHint(nCol)));
    }
}

int CTraceListCtrl::ColumnsWidth() const
{
    int nWidth = 2 * frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    for (int nCol = 0; nCol < header()->count(); ++nCol)
        nWidth += header()->isSectionHidden(nCol) ? 0 : columnWidth(nCol);
    return nWidth;
}

QSize CTraceListCtrl::sizeHint() const
{
    const int nHeader = header()->isHidden() ? 0 : header()->sizeHint().height();
    return QSize(ColumnsWidth(), 2 * frameWidth() + nHeader + START_ROWS * RowHeight());
}

int CTraceListCtrl::sizeHintForColumn(int nColumn) const
{
    // The rows shown and the column's widest everyday text, so that a fit
    // to an empty or uniform list still leaves room for what will come.
    const bool bIcon = nColumn == COL_PORT || nColumn == COL_CREATE || nColumn == COL_CONNECTION;
    const int nWidest = CTraceListDelegate::CellWidth(this, fontMetrics(),
                                                      QString::fromLatin1(CPortTexts::WidestCell(nColumn)), bIcon);
    return qMax(QTreeView::sizeHintForColumn(nColumn), nWidest);
}

void CTraceListCtrl::changeEvent(QEvent* pEvent)
{
    QTreeView::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange || pEvent->type() == QEvent::StyleChange)
    {
        header()->setMinimumSectionSize(fontMetrics().averageCharWidth() * 3);
        FitColumns();
        updateGeometry();
    }
}

void CTraceListCtrl::SetPortModel(CPortListModel* pModel)
{
    disconnect(m_ensureVisible);
    disconnect(m_enableToggled);
    m_pModel = pModel;
    setModel(pModel);
    FitColumns();
    if (m_pModel != nullptr)
    {
        m_ensureVisible =
            connect(m_pModel, &CPortListModel::EnsureVisibleRequested, this, &CTraceListCtrl::EnsureVisible);
        // Whoever switched the port (a click, Space, assistive technology),
        // the list reports it.
        m_enableToggled = connect(m_pModel, &CPortListModel::EnableToggled, this, &CTraceListCtrl::EnableToggled);
    }
}

void CTraceListCtrl::EnsureVisible(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const QRect rcRow = visualRect(index);
    if (rcRow.bottom() >= 0 && rcRow.top() < viewport()->height())
        return;
    const int nX = horizontalScrollBar()->value();
    scrollTo(index, QAbstractItemView::EnsureVisible);
    horizontalScrollBar()->setValue(nX);
}

CPortService* CTraceListCtrl::Service() const
{
    return m_pModel != nullptr ? m_pModel->GetService() : nullptr;
}

bool CTraceListCtrl::Toggle(int nRow)
{
    if (m_pModel == nullptr || nRow < 0 || nRow >= m_pModel->rowCount())
        return false;
    const QModelIndex cell = m_pModel->index(nRow, COL_PORT);
    const bool bChecked = cell.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    if (!m_pModel->setData(cell, bChecked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole))
        return false;
    // Repaint the box now, as the click is felt.
    const QRect rcRow = visualRect(cell);
    viewport()->repaint(QRect(rcRow.left(), rcRow.top(), CTraceListDelegate::IconArea(this), rcRow.height()));
    return true;
}

bool CTraceListCtrl::OnStripPress(const QPoint& pos)
{
    CPortService* pService = Service();
    if (pService == nullptr || pos.x() + horizontalScrollBar()->value() >= CTraceListDelegate::IconArea(this))
        return false;
    // Started: the strip is locked, and the click is not an ordinary one either.
    if (pService->IsRunning())
        return true;
    const QModelIndex index = indexAt(pos);
    if (!index.isValid())
        return false;
    // The row clicked becomes the one the keyboard works on, and shows it:
    // a Space after the click must switch this port, not another. The row
    // is under the pointer already; the list must not scroll away from it.
    const bool bAutoScroll = hasAutoScroll();
    setAutoScroll(false);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setAutoScroll(bAutoScroll);
    Toggle(index.row());
    return true;
}

bool CTraceListCtrl::TakeStripPress(QMouseEvent* pEvent)
{
    m_bStripPress = pEvent->button() == Qt::LeftButton && OnStripPress(pEvent->position().toPoint());
    if (m_bStripPress)
        pEvent->accept();
    return m_bStripPress;
}

void CTraceListCtrl::mousePressEvent(QMouseEvent* pEvent)
{
    if (!TakeStripPress(pEvent))
        QTreeView::mousePressEvent(pEvent);
}

void CTraceListCtrl::mouseDoubleClickEvent(QMouseEvent* pEvent)
{
    // The second click of a quick pair in the strip switches again.
    if (TakeStripPress(pEvent))
        return;
    QTreeView::mouseDoubleClickEvent(pEvent);
    if (pEvent->button() == Qt::LeftButton)
        if (const QModelIndex index = indexAt(pEvent->position().toPoint()); index.isValid())
            emit RowDoubleClicked(index.row());
}

void CTraceListCtrl::mouseMoveEvent(QMouseEvent* pEvent)
{
    if (m_bStripPress)
        pEvent->accept();
    else
        QTreeView::mouseMoveEvent(pEvent);
}

void CTraceListCtrl::mouseReleaseEvent(QMouseEvent* pEvent)
{
    if (m_bStripPress)
    {
        m_bStripPress = false;
        pEvent->accept();
        return;
    }
    QTreeView::mouseReleaseEvent(pEvent);
}

void CTraceListCtrl::keyPressEvent(QKeyEvent* pEvent)
{
    // Space is the keyboard's way to the check box of the current row. The
    // current row carries no mark of its own: until it is selected the user
    // cannot see it, so Space then selects it and switches nothing.
    const QModelIndex current = currentIndex();
    if (pEvent->key() == Qt::Key_Space && pEvent->modifiers() == Qt::NoModifier && current.isValid())
    {
        EnsureVisible(current);
        if (!selectionModel()->isRowSelected(current.row(), current.parent()))
        {
            selectionModel()->select(current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
        else
        {
            CPortService* pService = Service();
            if (pService != nullptr && !pService->IsRunning())
                Toggle(current.row());
        }
        pEvent->accept();
        return;
    }
    QTreeView::keyPressEvent(pEvent);
}
