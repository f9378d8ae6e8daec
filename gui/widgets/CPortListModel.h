// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QAbstractTableModel>

#include "core/model/CPortRows.h"

class CPortService;

// The port list's item model: follows the core's rows (inserts, removals,
// resets, cell texts) and the port table's enable flags, for the port list
// and for assistive technology. Owner (GUI) thread only.
class CPortListModel : public QAbstractTableModel, public CPortRowsListener
{
    Q_OBJECT

public:
    // The port index of a row (its item data).
    static constexpr int PortRole = Qt::UserRole + 1;
    // The lamp of the Create and Connection cells, an ELamp as int.
    static constexpr int LampRole = Qt::UserRole + 2;

    // Becomes the rows' listener; gives it up when destroyed.
    explicit CPortListModel(CPortService* pService, QObject* pParent = nullptr);
    ~CPortListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The port cell's CheckStateRole switches the port's enable flag, as
    // its check box does for a click (the list) or for assistive
    // technology; refused (false) while the ports run or a Start/Stop
    // sequence runs, and for a state the port has already.
    bool setData(const QModelIndex& index, const QVariant& value, int nRole = Qt::EditRole) override;

    // Port nPort's enable flag changed: its check box is drawn anew.
    void OnEnableChanged(int nPort);

    CPortService* GetService() const { return m_pService; }

    // CPortRowsListener
    void OnBeforeInsert(int nRow) override;
    void OnAfterInsert(int nRow) override;
    void OnBeforeRemove(int nRow) override;
    void OnAfterRemove(int nRow) override;
    void OnBeforeReset() override;
    void OnAfterReset() override;
    void OnCellChanged(int nRow, int nCol, const std::string& strText) override;
    void OnEnsureVisible(int nRow) override;

signals:
    // setData switched port nPort's enable flag; the settings want saving.
    void EnableToggled(int nPort);
    // The row of index should be brought into view (Start and Stop, row by row).
    void EnsureVisibleRequested(const QModelIndex& index);

private:
    CPortService* m_pService;
};
