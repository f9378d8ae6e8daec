#include "app/CPostMsgList.h"

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
