// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class QTreeView;

// What assistive technology sees of the port list: a tree of rows of named
// cells under the column headers, numbered as Qt numbers a tree view's cells
// (header row first), so the view's focus and selection events point here.
//
// Qt's own cells answer "Toggle" by selecting their row, so a screen reader
// user could not switch a port. Here the port cell's "Toggle" switches the
// port's enable flag through the model's check state, as a click on its box
// does (saved, and refused while started); the other cells' "Toggle", and
// every cell's "SetFocus", make the row current and selected.
//
// GUI thread only. Install() once makes Qt ask here for every CTraceListCtrl.
class CTraceListAccessible : public QAccessibleWidget, public QAccessibleTableInterface
{
public:
    // pList: a CTraceListCtrl.
    explicit CTraceListAccessible(QTreeView* pList);

    static void Install();

    QTreeView* List() const;

    // QAccessibleInterface
    void* interface_cast(QAccessible::InterfaceType type) override;
    int childCount() const override;
    QAccessibleInterface* child(int nIndex) const override;
    int indexOfChild(const QAccessibleInterface* pChild) const override;
    QAccessibleInterface* childAt(int nX, int nY) const override;
    QAccessibleInterface* focusChild() const override;

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int nRow, int nColumn) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int nColumn) const override;
    QString rowDescription(int) const override { return QString(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override;
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int nRow) const override;
    bool selectRow(int nRow) override;
    bool selectColumn(int) override { return false; }
    // A single-selection list always keeps its selected row.
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* pEvent) override;

protected:
    ~CTraceListAccessible() override;

private:
    // The child number of a cell; the header row's cells are 0 .. columns-1.
    int ChildIndex(int nRow, int nColumn) const { return (nRow + 1) * columnCount() + nColumn; }
    // Forgets every cell made so far (rows came or went).
    void DropCells();

    // Child number -> registered cell. Made on demand, dropped with the
    // rows they stood for.
    mutable QHash<int, QAccessible::Id> m_cells;
};
