#include "app/CPostMsgList.h"

#include <iterator>
#include <utility>

const char* StatusText(int nCode)
{
    static const char* const s_texts[] = {
        "Not Connect",         // STATUS_NOT_CONNECT
        "Create Error",        // STATUS_CREATE_ERROR
        "Connect Error",       // STATUS_CONNECT_ERROR
        "Not support device",  // STATUS_NOT_SUPPORT
        "Connected",           // STATUS_CONNECTED
        "Connecting",          // STATUS_CONNECTING
        "Connected",           // STATUS_RECONNECTED
        "SSL Error",           // STATUS_SSL_ERROR
        "SSL Connecting",      // STATUS_SSL_CONNECTING
        "Login Process",       // STATUS_LOGIN_PROCESS
        "UDP Started",         // STATUS_UDP_STARTED
        "UDP Error",           // STATUS_UDP_ERROR
    };
    static_assert(std::size(s_texts) == STATUS_UDP_ERROR + 1);

    if (static_cast<unsigned>(nCode) >= std::size(s_texts))
        return nullptr;
    return s_texts[nCode];
}

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
