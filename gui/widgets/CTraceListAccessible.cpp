// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CTraceListAccessible.h"

#include <utility>

#include <QHeaderView>
#include <QTreeView>

#include "core/model/CPortRows.h"

namespace
{

// Makes index's row the current and selected one, as a click on it does.
void SelectRowOf(QTreeView* pList, const QModelIndex& index)
{
    if (pList == nullptr || !index.isValid() || pList->selectionModel() == nullptr)
        return;
    pList->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// What every cell of the list shares: no object and no children of its
// own, the list's interface as parent, no text to set.
class CLeafCell : public QAccessibleInterface
{
public:
    explicit CLeafCell(QTreeView* pList) : m_pList(pList) {}

    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_pList.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}

protected:
    QPointer<QTreeView> m_pList;
};

// A column header of the list.
class CHeaderCell : public CLeafCell
{
public:
    CHeaderCell(QTreeView* pList, int nColumn) : CLeafCell(pList), m_nColumn(nColumn) {}

    int Column() const { return m_nColumn; }

    bool isValid() const override
    {
        return m_pList != nullptr && m_pList->model() != nullptr && m_nColumn < m_pList->model()->columnCount();
    }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid() || t != QAccessible::Name)
            return QString();
        return m_pList->model()->headerData(m_nColumn, Qt::Horizontal, Qt::AccessibleTextRole).toString();
    }
    QRect rect() const override
    {
        if (!isValid())
            return QRect();
        const QHeaderView* pHeader = m_pList->header();
        const QPoint ptTop = pHeader->mapToGlobal(QPoint(pHeader->sectionViewportPosition(m_nColumn), 0));
        return QRect(ptTop, QSize(pHeader->sectionSize(m_nColumn), pHeader->height()));
    }
    QAccessible::Role role() const override { return QAccessible::ColumnHeader; }
    QAccessible::State state() const override
    {
        QAccessible::State st;
        if (isValid())
            st.invisible = m_pList->header()->isHidden();
        return st;
    }

private:
    const int m_nColumn;
};

// One cell of a port's row.
class CCell : public CLeafCell, public QAccessibleTableCellInterface, public QAccessibleActionInterface
{
public:
    CCell(QTreeView* pList, const QModelIndex& index) : CLeafCell(pList), m_index(index) {}

    const QPersistentModelIndex& Index() const { return m_index; }

    bool isValid() const override { return m_pList != nullptr && m_pList->model() != nullptr && m_index.isValid(); }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface*>(this);
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return QString();
        if (t == QAccessible::Name)
        {
            const QString str = m_index.data(Qt::AccessibleTextRole).toString();
            return str.isEmpty() ? m_index.data(Qt::DisplayRole).toString() : str;
        }
        if (t == QAccessible::Description)
            return m_index.data(Qt::AccessibleDescriptionRole).toString();
        return QString();
    }
    QRect rect() const override
    {
        if (!isValid())
            return QRect();
        const QRect rc = m_pList->visualRect(m_index);
        return rc.isNull() ? rc : QRect(m_pList->viewport()->mapToGlobal(rc.topLeft()), rc.size());
    }
    QAccessible::Role role() const override { return QAccessible::TreeItem; }
    QAccessible::State state() const override
    {
        QAccessible::State st;
        if (!isValid())
            return st;
        const QItemSelectionModel* pSelection = m_pList->selectionModel();
        st.invisible = !m_pList->viewport()->rect().intersects(m_pList->visualRect(m_index));
        st.disabled = !m_pList->isEnabled();
        st.selectable = true;
        st.focusable = true;
        st.selected = pSelection != nullptr && pSelection->isSelected(m_index);
        st.focused = pSelection != nullptr && pSelection->currentIndex() == m_index;
        if (IsCheckBox())
        {
            st.checkable = true;
            st.checked = m_index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        }
        return st;
    }

    // QAccessibleTableCellInterface
    bool isSelected() const override
    {
        return isValid() && m_pList->selectionModel() != nullptr && m_pList->selectionModel()->isSelected(m_index);
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override
    {
        QAccessibleInterface* pTable = table();
        QAccessibleInterface* pHeader = pTable != nullptr && isValid() ? pTable->child(m_index.column()) : nullptr;
        return pHeader != nullptr ? QList<QAccessibleInterface*>{pHeader} : QList<QAccessibleInterface*>{};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return isValid() ? m_index.column() : -1; }
    int rowIndex() const override { return isValid() ? m_index.row() : -1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    // QAccessibleActionInterface
    QStringList actionNames() const override { return {toggleAction(), setFocusAction()}; }
    void doAction(const QString& strAction) override
    {
        if (!isValid())
            return;
        if (strAction == toggleAction() && IsCheckBox())
        {
            const bool bChecked = m_index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            m_pList->model()->setData(m_index, bChecked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
        else if (strAction == toggleAction() || strAction == setFocusAction())
        {
            SelectRowOf(m_pList, m_index);
            if (strAction == setFocusAction())
                m_pList->setFocus(Qt::OtherFocusReason);
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    bool IsCheckBox() const
    {
        return m_index.column() == COL_PORT && (m_index.flags() & Qt::ItemIsUserCheckable) &&
               m_index.data(Qt::CheckStateRole).isValid();
    }

    const QPersistentModelIndex m_index;
};

QAccessibleInterface* TraceListFactory(const QString& strClass, QObject* pObject)
{
    // By name: the list includes this file, not the other way round.
    if (strClass != QLatin1String("CTraceListCtrl"))
        return nullptr;
    QTreeView* pList = qobject_cast<QTreeView*>(pObject);
    return pList != nullptr ? new CTraceListAccessible(pList) : nullptr;
}

}  // namespace

void CTraceListAccessible::Install()
{
    static const bool s_bInstalled = [] {
        QAccessible::installFactory(&TraceListFactory);
        return true;
    }();
    (void)s_bInstalled;
}

CTraceListAccessible::CTraceListAccessible(QTreeView* pList) : QAccessibleWidget(pList, QAccessible::Tree) {}

CTraceListAccessible::~CTraceListAccessible()
{
    DropCells();
}

QTreeView* CTraceListAccessible::List() const
{
    return static_cast<QTreeView*>(widget());
}

void CTraceListAccessible::DropCells()
{
    for (const QAccessible::Id id : std::as_const(m_cells))
        QAccessible::deleteAccessibleInterface(id);
    m_cells.clear();
}

void* CTraceListAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

int CTraceListAccessible::columnCount() const
{
    const QAbstractItemModel* pModel = List()->model();
    return pModel != nullptr ? pModel->columnCount() : 0;
}

int CTraceListAccessible::rowCount() const
{
    const QAbstractItemModel* pModel = List()->model();
    return pModel != nullptr ? pModel->rowCount() : 0;
}

int CTraceListAccessible::childCount() const
{
    return (rowCount() + 1) * columnCount();
}

QAccessibleInterface* CTraceListAccessible::child(int nIndex) const
{
    if (nIndex < 0 || nIndex >= childCount())
        return nullptr;
    const auto it = m_cells.constFind(nIndex);
    if (it != m_cells.constEnd())
    {
        // A cell still standing at its number; else the rows have moved
        // under it and it is made anew.
        QAccessibleInterface* pKnown = QAccessible::accessibleInterface(it.value());
        if (pKnown != nullptr && pKnown->isValid() && indexOfChild(pKnown) == nIndex)
            return pKnown;
        if (pKnown != nullptr)
            QAccessible::deleteAccessibleInterface(it.value());
        m_cells.erase(it);
    }
    const int nColumns = columnCount();
    QAccessibleInterface* pNew = nullptr;
    if (nIndex < nColumns)
        pNew = new CHeaderCell(List(), nIndex);
    else
        pNew = new CCell(List(), List()->model()->index(nIndex / nColumns - 1, nIndex % nColumns));
    m_cells.insert(nIndex, QAccessible::registerAccessibleInterface(pNew));
    return pNew;
}

int CTraceListAccessible::indexOfChild(const QAccessibleInterface* pChild) const
{
    if (const auto* pCell = dynamic_cast<const CCell*>(pChild))
        return pCell->Index().isValid() ? ChildIndex(pCell->Index().row(), pCell->Index().column()) : -1;
    if (const auto* pHeader = dynamic_cast<const CHeaderCell*>(pChild))
        return pHeader->Column() < columnCount() ? pHeader->Column() : -1;
    return -1;
}

QAccessibleInterface* CTraceListAccessible::childAt(int nX, int nY) const
{
    const QPoint ptGlobal(nX, nY);
    const QHeaderView* pHeader = List()->header();
    const QPoint ptHeader = pHeader->mapFromGlobal(ptGlobal);
    if (pHeader->isVisible() && pHeader->rect().contains(ptHeader))
    {
        const int nColumn = pHeader->logicalIndexAt(ptHeader);
        return nColumn >= 0 ? child(nColumn) : nullptr;
    }
    const QModelIndex index = List()->indexAt(List()->viewport()->mapFromGlobal(ptGlobal));
    return index.isValid() ? child(ChildIndex(index.row(), index.column())) : nullptr;
}

QAccessibleInterface* CTraceListAccessible::focusChild() const
{
    const QModelIndex current = List()->currentIndex();
    return current.isValid() ? child(ChildIndex(current.row(), current.column())) : nullptr;
}

QAccessibleInterface* CTraceListAccessible::cellAt(int nRow, int nColumn) const
{
    if (nRow < 0 || nRow >= rowCount() || nColumn < 0 || nColumn >= columnCount())
        return nullptr;
    return child(ChildIndex(nRow, nColumn));
}

int CTraceListAccessible::selectedCellCount() const
{
    const QItemSelectionModel* pSelection = List()->selectionModel();
    return pSelection != nullptr ? static_cast<int>(pSelection->selectedIndexes().size()) : 0;
}

QList<QAccessibleInterface*> CTraceListAccessible::selectedCells() const
{
    QList<QAccessibleInterface*> cells;
    if (const QItemSelectionModel* pSelection = List()->selectionModel())
        for (const QModelIndex& index : pSelection->selectedIndexes())
            cells.append(child(ChildIndex(index.row(), index.column())));
    return cells;
}

QString CTraceListAccessible::columnDescription(int nColumn) const
{
    const QAbstractItemModel* pModel = List()->model();
    return pModel != nullptr ? pModel->headerData(nColumn, Qt::Horizontal).toString() : QString();
}

int CTraceListAccessible::selectedRowCount() const
{
    return static_cast<int>(selectedRows().size());
}

QList<int> CTraceListAccessible::selectedRows() const
{
    QList<int> rows;
    if (const QItemSelectionModel* pSelection = List()->selectionModel())
        for (const QModelIndex& index : pSelection->selectedRows())
            rows.append(index.row());
    return rows;
}

bool CTraceListAccessible::isRowSelected(int nRow) const
{
    const QItemSelectionModel* pSelection = List()->selectionModel();
    return pSelection != nullptr && pSelection->isRowSelected(nRow, QModelIndex());
}

bool CTraceListAccessible::selectRow(int nRow)
{
    if (nRow < 0 || nRow >= rowCount())
        return false;
    SelectRowOf(List(), List()->model()->index(nRow, 0));
    return true;
}

void CTraceListAccessible::modelChange(QAccessibleTableModelChangeEvent* pEvent)
{
    // Rows came, went or were reset: the cells made so far may stand for
    // other rows now. A changed text leaves every cell where it is.
    if (pEvent->modelChangeType() != QAccessibleTableModelChangeEvent::DataChanged)
        DropCells();
}
