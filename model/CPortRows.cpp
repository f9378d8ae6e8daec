#include "model/CPortRows.h"

#include <algorithm>

#include "model/CCOMData.h"
#include "model/OwnerCheck.h"
#include "model/PortStatus.h"

int CPortRows::InsertRow(int nRow, int nItemData, const RowTexts& texts)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (nRow < 0)
        return -1;
    const int nAt = std::min(nRow, GetRowCount());
    if (m_pListener != nullptr)
        m_pListener->OnBeforeInsert(nAt);
    m_rows.insert(m_rows.begin() + nAt, SRow{nItemData, texts, {}});
    if (m_pListener != nullptr)
        m_pListener->OnAfterInsert(nAt);
    return nAt;
}

int CPortRows::FindRow(int nItemData) const
{
    const auto it = std::find_if(m_rows.begin(), m_rows.end(),
                                 [nItemData](const SRow& row) { return row.nItemData == nItemData; });
    return it == m_rows.end() ? -1 : static_cast<int>(it - m_rows.begin());
}

int CPortRows::GetItemData(int nRow) const
{
    if (nRow < 0 || nRow >= GetRowCount())
        return -1;
    return m_rows[nRow].nItemData;
}

bool CPortRows::IsCell(int nRow, int nCol) const
{
    return nRow >= 0 && nRow < GetRowCount() && nCol >= 0 && nCol < COL_COUNT;
}

std::string* CPortRows::Cell(int nRow, int nCol)
{
    if (nRow < 0 || nRow >= GetRowCount())
        return nullptr;
    if (nCol == COL_REASON)
        return &m_rows[nRow].strReason;
    return IsCell(nRow, nCol) ? &m_rows[nRow].texts[nCol] : nullptr;
}

std::string CPortRows::GetItemText(int nRow, int nCol) const
{
    const std::string* pCell = const_cast<CPortRows*>(this)->Cell(nRow, nCol);
    return pCell != nullptr ? *pCell : std::string();
}

bool CPortRows::SetItemText(int nRow, int nCol, const std::string& strText)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    std::string* pCell = Cell(nRow, nCol);
    if (pCell == nullptr)
        return false;
    std::string& strCell = *pCell;
    // Unchanged texts are common (a retry reports "Connecting" again); a
    // view must not repaint for them.
    if (strCell == strText)
        return false;
    strCell = strText;
    if (m_pListener != nullptr)
    {
        // A copy: the listener may change the rows under the reference.
        const std::string strNew = strCell;
        m_pListener->OnCellChanged(nRow, nCol, strNew);
    }
    return true;
}

bool CPortRows::EnsureVisible(int nRow)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (nRow < 0 || nRow >= GetRowCount())
        return false;
    if (m_pListener != nullptr)
        m_pListener->OnEnsureVisible(nRow);
    return true;
}

bool CPortRows::DeleteRow(int nRow)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (nRow < 0 || nRow >= GetRowCount())
        return false;
    if (m_pListener != nullptr)
        m_pListener->OnBeforeRemove(nRow);
    m_rows.erase(m_rows.begin() + nRow);
    if (m_pListener != nullptr)
        m_pListener->OnAfterRemove(nRow);
    return true;
}

void CPortRows::DeleteAll()
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (m_pListener != nullptr)
        m_pListener->OnBeforeReset();
    m_rows.clear();
    if (m_pListener != nullptr)
        m_pListener->OnAfterReset();
}

std::string CPortRows::PeerText(const std::string& strAddress, int nPort)
{
    if (strAddress.find(':') != std::string::npos && strAddress.front() != '[')
        return "[" + strAddress + "]:" + std::to_string(nPort);
    return strAddress + ":" + std::to_string(nPort);
}

CPortRows::RowTexts CPortRows::MakeRowTexts(int nIndex, const CCOMData& data)
{
    const int nMode = data.GetMode(nIndex);
    const std::string strPeer = PeerText(data.GetIPAddress(nIndex), data.GetPeerPort(nIndex));
    const std::string strLocal = std::to_string(data.GetLocPort(nIndex));

    RowTexts texts;
    texts[COL_PORT] = "COM" + std::to_string(nIndex + 1);
    texts[COL_CREATE] = "None";
    switch (nMode)
    {
    case MODE_TCP_CLIENT:
        texts[COL_MODE] = "Client";
        texts[COL_PEER] = strPeer;
        texts[COL_LOCAL] = "-----";
        break;
    case MODE_TCP_SERVER:
        texts[COL_MODE] = "Server";
        texts[COL_PEER] = "----------";
        texts[COL_LOCAL] = strLocal;
        break;
    default:  // UDP, and any value the dialogs never store
        texts[COL_MODE] = "UDP";
        texts[COL_PEER] = strPeer;
        texts[COL_LOCAL] = strLocal;
        break;
    }
    texts[COL_CONNECTION] = StatusText(STATUS_NOT_CONNECT);
    texts[COL_BAUDRATE] = "--------";
    texts[COL_DATA] = "-----";
    texts[COL_PARITY] = "-----";
    texts[COL_STOP] = "-----";
    return texts;
}
