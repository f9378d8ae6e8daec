#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "model/PortStatus.h"

class CDispatcher;
class CPortRows;

// One queued report. The entry owns its text.
struct _tag_postmsglist
{
    int nType = 0;
    int nParam = 0;
    std::string strText;
};

// A queue of reports from other threads to the owner thread. Posters append
// under the lock and post one drain task when m_bPosted was 0; the owner
// drains everything in one go and clears m_bPosted, all under the lock.
//
// Every member other than Lock/Unlock is called with the lock held. The lock
// is a leaf: take nothing else while holding it.
class CPostMsgList
{
public:
    CPostMsgList() = default;
    ~CPostMsgList();

    CPostMsgList(const CPostMsgList&) = delete;
    CPostMsgList& operator=(const CPostMsgList&) = delete;

    // Any thread. Appends a report under the lock; the first report of a
    // burst posts one drain into rows on the owner thread.
    int PostTo(_tag_postmsglist entry, CDispatcher& dispatcher, CPortRows& rows);
    // Owner thread, lock not held. Applies every queued report to the rows:
    // a status code to the "Connection" cell and its reason (the entry's
    // text) to COL_REASON (a report without one leaves the reason shown as
    // StatusClearsReason says), a peer to the "Peer" cell.
    // The rows' listener runs after the lock is released.
    void DrainInto(CPortRows& rows);

    // Any thread.
    void Lock() { m_cs.lock(); }
    void Unlock() { m_cs.unlock(); }

    // Lock held. Appends a copy; returns its index.
    int Add(_tag_postmsglist entry);

    // Lock held. Starts a walk at the first entry; nullptr (m_nPos left as
    // it was) when empty. The pointer stays valid until the next Add or
    // RemoveAll.
    const _tag_postmsglist* GetFirst();
    // Lock held. The next entry of the walk; nullptr when no walk is under
    // way or it has run past the last entry.
    const _tag_postmsglist* GetNext();

    // Lock held. Drops every entry with its storage and ends the walk.
    void RemoveAll();

    // Guards every member below.
    std::mutex m_cs;

private:
    std::vector<_tag_postmsglist> m_list;  // arrival order

public:
    // Read cursor of GetFirst/GetNext, -1 when no walk is under way.
    int m_nPos = -1;
    // 1 while a drain for this queue is posted and not yet handled.
    int m_bPosted = 0;
};
