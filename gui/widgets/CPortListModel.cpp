// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CPortListModel.h"

#include "core/service/CPortService.h"
#include "core/model/CPortTexts.h"

CPortListModel::CPortListModel(CPortService* pService, QObject* pParent) : QAbstractTableModel(pParent), m_pService(pService)
{
    m_pService->SetRowsListener(this);
}

CPortListModel::~CPortListModel()
{
    m_pService->SetRowsListener(nullptr);
}

int CPortListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_pService->Rows().GetRowCount();
}

int CPortListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : COL_COUNT;
}

QVariant CPortListModel::data(const QModelIndex& index, int nRole) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const CPortRows& rows = m_pService->Rows();
    const int nPort = rows.GetItemData(index.row());
    switch (nRole)
    {
    case Qt::DisplayRole:
        return QString::fromStdString(rows.GetItemText(index.row(), index.column()));
    case Qt::ToolTipRole:
    {
        // Why the port failed, when it did; else the port cell tells where
        // programs find the port, and any other cell its whole text.
        // A started port adds what its connection carried since Start.
        const std::string strReason = rows.GetItemText(index.row(), COL_REASON);
        std::string strTip;
        if (!strReason.empty())
            strTip = strReason;
        else if (index.column() == COL_PORT && !m_pService->PortDirectory().empty())
            strTip = m_pService->PortDirectory() + "/" + rows.GetItemText(index.row(), COL_PORT);
        else
            strTip = rows.GetItemText(index.row(), index.column());
        const std::string strComPort = rows.GetItemText(index.row(), COL_COMPORT);
        if (!strComPort.empty())
            strTip += std::string("\n") + COMPORT_TITLE + ": " + strComPort;
        if (const auto traffic = m_pService->Traffic(nPort))
            strTip += "\n" + CPortTexts::TrafficText(traffic->nSent, traffic->nReceived);
        return QString::fromStdString(strTip);
    }
    case Qt::AccessibleTextRole:
    {
        // A screen reader reads a cell as "Title: text", the port cell with
        // its check box state.
        QString str = QString::fromUtf8(COL_TITLES[static_cast<size_t>(index.column())]) + QStringLiteral(": ") +
                      QString::fromStdString(rows.GetItemText(index.row(), index.column()));
        if (index.column() == COL_PORT)
            str += m_pService->Ports().GetEnable(nPort) == 1 ? QStringLiteral(", enabled") : QStringLiteral(", not enabled");
        return str;
    }
    case Qt::AccessibleDescriptionRole:
        if (index.column() == COL_PORT)
            return m_pService->Ports().GetEnable(nPort) == 1 ? QStringLiteral("Enabled; Space switches it off")
                                                           : QStringLiteral("Not enabled; Space switches it on");
        if (index.column() == COL_CREATE || index.column() == COL_CONNECTION)
        {
            // A screen reader gets the reason a sighted user finds in the tip.
            const std::string strReason = rows.GetItemText(index.row(), COL_REASON);
            if (!strReason.empty())
                return QString::fromStdString(strReason);
        }
        return QVariant();
    case Qt::CheckStateRole:
        if (index.column() == COL_PORT)
            return m_pService->Ports().GetEnable(nPort) == 1 ? Qt::Checked : Qt::Unchecked;
        return QVariant();
    case PortRole:
        return nPort;
    case LampRole:
        return static_cast<int>(CPortTexts::Lamp(*rows.GetView(index.row()), index.column()));
    default:
        return QVariant();
    }
}

QVariant CPortListModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const
{
    if (orientation != Qt::Horizontal || nSection < 0 || nSection >= COL_COUNT)
        return QVariant();
    if (nRole == Qt::DisplayRole || nRole == Qt::AccessibleTextRole)
        return QString::fromUtf8(COL_TITLES[static_cast<size_t>(nSection)]);
    if (nRole == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return QVariant();
}

Qt::ItemFlags CPortListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    // The check box is the one thing a user changes here (setData); the
    // texts take no edits.
    if (index.column() == COL_PORT)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

bool CPortListModel::setData(const QModelIndex& index, const QVariant& value, int nRole)
{
    if (nRole != Qt::CheckStateRole || index.column() != COL_PORT ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const int nPort = m_pService->Rows().GetItemData(index.row());
    const bool bWanted = value.toInt() == Qt::Checked;
    if (bWanted == (m_pService->Ports().GetEnable(nPort) == 1) || !m_pService->ToggleEnable(nPort))
        return false;
    OnEnableChanged(nPort);
    emit EnableToggled(nPort);
    return true;
}

void CPortListModel::OnEnableChanged(int nPort)
{
    const int nRow = m_pService->Rows().FindRow(nPort);
    if (nRow < 0)
        return;
    const QModelIndex cell = index(nRow, COL_PORT);
    emit dataChanged(cell, cell, {Qt::CheckStateRole, Qt::AccessibleTextRole, Qt::AccessibleDescriptionRole});
}

void CPortListModel::OnBeforeInsert(int nRow)
{
    beginInsertRows(QModelIndex(), nRow, nRow);
}

void CPortListModel::OnAfterInsert(int /*nRow*/)
{
    endInsertRows();
}

void CPortListModel::OnBeforeRemove(int nRow)
{
    beginRemoveRows(QModelIndex(), nRow, nRow);
}

void CPortListModel::OnAfterRemove(int /*nRow*/)
{
    endRemoveRows();
}

void CPortListModel::OnBeforeReset()
{
    beginResetModel();
}

void CPortListModel::OnAfterReset()
{
    endResetModel();
}

void CPortListModel::OnCellChanged(int nRow, int nCol, const std::string& /*strText*/)
{
    if (nCol >= COL_COUNT)
    {
        // No column of its own: the tool tip of every cell of the row.
        emit dataChanged(index(nRow, 0), index(nRow, COL_COUNT - 1), {Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
        return;
    }
    const QModelIndex cell = index(nRow, nCol);
    emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::ToolTipRole, Qt::AccessibleTextRole});
}

void CPortListModel::OnEnsureVisible(int nRow)
{
    emit EnsureVisibleRequested(index(nRow, COL_PORT));
}
