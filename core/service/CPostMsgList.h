// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "core/model/CMailbox.h"
#include "core/model/PortStatus.h"

class CDispatcher;
class CPortRows;

// One queued report. The entry owns its text.
struct _tag_postmsglist
{
    int nType = 0;
    int nParam = 0;
    std::string strText;
};

// The status queue: reports from the workers to the owner thread, applied
// to the port list's rows in bursts (one drain task per burst, however many
// reports it holds).
class CPostMsgList
{
public:
    // Any thread. Queues a report; the first report of a burst posts one
    // drain into rows on the owner thread.
    int PostTo(_tag_postmsglist entry, CDispatcher& dispatcher, CPortRows& rows);
    // Owner thread. Applies every queued report to the rows: a status code
    // to the "Connection" cell with its reason (the entry's text; a report
    // without one leaves the reason shown as StatusClearsReason says), a
    // peer to the "Peer" cell, a local port to "Local". The rows' listener
    // runs outside the queue's lock.
    void DrainInto(CPortRows& rows);
    // Any thread: nothing queued and no drain pending.
    bool IsIdle() { return m_box.IsIdle(); }

private:
    CMailbox<_tag_postmsglist> m_box;
};
