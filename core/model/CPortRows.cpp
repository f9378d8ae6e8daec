// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortRows.h"

#include <algorithm>

#include "core/model/CPortTexts.h"
#include "core/model/OwnerCheck.h"

int CPortRows::InsertRow(int nRow, const CPortView& view)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (nRow < 0)
        return -1;
    const int nAt = std::min(nRow, GetRowCount());
    if (m_pListener != nullptr)
        m_pListener->OnBeforeInsert(nAt);
    m_rows.insert(m_rows.begin() + nAt, view);
    if (m_pListener != nullptr)
        m_pListener->OnAfterInsert(nAt);
    return nAt;
}

int CPortRows::FindRow(int nItemData) const
{
    const auto it = std::find_if(m_rows.begin(), m_rows.end(),
                                 [nItemData](const CPortView& view) { return view.nPort == nItemData; });
    return it == m_rows.end() ? -1 : static_cast<int>(it - m_rows.begin());
}

int CPortRows::GetItemData(int nRow) const
{
    const CPortView* pView = GetView(nRow);
    return pView != nullptr ? pView->nPort : -1;
}

const CPortView* CPortRows::GetView(int nRow) const
{
    return nRow >= 0 && nRow < GetRowCount() ? &m_rows[static_cast<size_t>(nRow)] : nullptr;
}

std::string CPortRows::GetItemText(int nRow, int nCol) const
{
    const CPortView* pView = GetView(nRow);
    if (pView == nullptr || nCol < 0 || nCol > COL_LAST_TEXT)
        return std::string();
    return CPortTexts::Cell(*pView, nCol);
}

bool CPortRows::Change(int nRow, const std::function<void(CPortView&)>& fnChange)
{
    NIMBREL_ASSERT_OWNER(OnOwnerThread());
    if (nRow < 0 || nRow >= GetRowCount())
        return false;
    CPortView& view = m_rows[static_cast<size_t>(nRow)];
    std::array<std::string, COL_LAST_TEXT + 1> before;
    for (int nCol = 0; nCol <= COL_LAST_TEXT; ++nCol)
        before[static_cast<size_t>(nCol)] = CPortTexts::Cell(view, nCol);
    fnChange(view);
    // The texts first, the calls after: a listener may change the rows.
    std::vector<std::pair<int, std::string>> vecChanged;
    for (int nCol = 0; nCol <= COL_LAST_TEXT; ++nCol)
    {
        std::string strNow = CPortTexts::Cell(view, nCol);
        if (strNow != before[static_cast<size_t>(nCol)])
            vecChanged.emplace_back(nCol, std::move(strNow));
    }
    if (m_pListener != nullptr)
        for (const auto& [nCol, strText] : vecChanged)
            m_pListener->OnCellChanged(nRow, nCol, strText);
    return !vecChanged.empty();
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

std::string CPortRows::StatusLine(int nSelectedRow) const
{
    int nConnected = 0;
    for (const CPortView& view : m_rows)
        nConnected += CPortTexts::IsConnected(view) ? 1 : 0;
    return CPortTexts::StatusLine(GetView(nSelectedRow), GetRowCount(), nConnected);
}
