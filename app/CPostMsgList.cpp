#include "app/CPostMsgList.h"

#include "bridge/CDispatcher.h"
#include "model/CPortRows.h"

#include <utility>

CPostMsgList::~CPostMsgList()
{
    // Nobody else may hold a reference by now, so no lock.
    RemoveAll();
}

int CPostMsgList::Add(_tag_postmsglist entry)
{
    m_list.push_back(std::move(entry));
    return static_cast<int>(m_list.size()) - 1;
}

const _tag_postmsglist* CPostMsgList::GetFirst()
{
    if (m_list.empty())
        return nullptr;
    m_nPos = 0;
    return &m_list[0];
}

const _tag_postmsglist* CPostMsgList::GetNext()
{
    if (m_nPos < 0)
        return nullptr;
    // Stop counting once past the end, so repeated calls cannot overflow.
    if (static_cast<size_t>(m_nPos) < m_list.size())
        ++m_nPos;
    if (static_cast<size_t>(m_nPos) >= m_list.size())
        return nullptr;
    return &m_list[m_nPos];
}

void CPostMsgList::RemoveAll()
{
    // A burst can be large; give its storage back after each drain.
    std::vector<_tag_postmsglist>().swap(m_list);
    m_nPos = -1;
}

int CPostMsgList::PostTo(_tag_postmsglist entry, CDispatcher& dispatcher, CPortRows& rows)
{
    std::lock_guard<std::mutex> lock(m_cs);
    Add(std::move(entry));
    // The first report of a burst posts the one drain for all of it.
    if (m_bPosted == 0)
    {
        m_bPosted = 1;
        dispatcher.Post([this, &rows] { DrainInto(rows); });
    }
    return 1;
}

void CPostMsgList::DrainInto(CPortRows& rows)
{
    // Taken out under the lock and applied after it: the rows' listener (a
    // view) must not run under this lock, which is a leaf.
    std::vector<_tag_postmsglist> vecEntries;
    {
        std::lock_guard<std::mutex> lock(m_cs);
        vecEntries.swap(m_list);
        m_nPos = -1;
        m_bPosted = 0;
    }
    for (const _tag_postmsglist& entry : vecEntries)
    {
        const int nRow = rows.FindRow(entry.nParam);
        if (nRow < 0)
            continue;
        if (entry.nType == STATUS_PEER)
        {
            rows.SetItemText(nRow, COL_PEER, entry.strText);
        }
        else if (entry.nType == STATUS_LOCAL)
        {
            rows.SetItemText(nRow, COL_LOCAL, entry.strText);
        }
        else if (const char* pszText = StatusText(entry.nType))
        {
            rows.SetItemText(nRow, COL_CONNECTION, pszText);
            // The reason goes with the state it explains, and stays until
            // an attempt succeeds or fails otherwise.
            if (!entry.strText.empty() || StatusClearsReason(entry.nType))
                rows.SetItemText(nRow, COL_REASON, entry.strText);
        }
    }
}
