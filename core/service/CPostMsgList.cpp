// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPostMsgList.h"

#include <cstdlib>

#include "core/bridge/CDispatcher.h"
#include "core/model/CPortRows.h"

#include <utility>

int CPostMsgList::PostTo(_tag_postmsglist entry, CDispatcher& dispatcher, CPortRows& rows)
{
    if (m_box.Post(std::move(entry)))
        dispatcher.Post([this, &rows] { DrainInto(rows); });
    return 1;
}

void CPostMsgList::DrainInto(CPortRows& rows)
{
    const std::vector<_tag_postmsglist> vecEntries = m_box.TakeAll();
    for (const _tag_postmsglist& entry : vecEntries)
    {
        const int nRow = rows.FindRow(entry.nParam);
        if (nRow < 0)
            continue;
        if (entry.nType == STATUS_PEER)
        {
            rows.Change(nRow, [&](CPortView& view) { view.strAcceptedPeer = entry.strText; });
        }
        else if (entry.nType == STATUS_COM_PORT)
        {
            rows.Change(nRow, [&](CPortView& view) { view.strComPort = entry.strText; });
        }
        else if (entry.nType == STATUS_LOCAL)
        {
            char* pEnd = nullptr;
            const long nLocal = strtol(entry.strText.c_str(), &pEnd, 10);
            if (pEnd != entry.strText.c_str() && *pEnd == '\0' && CPortEntry::IsPortNumber(nLocal))
                rows.Change(nRow, [&](CPortView& view) { view.nLocalPort = static_cast<int>(nLocal); });
        }
        else if (const std::optional<EConnectionState> state = ConnectionOfStatus(entry.nType))
        {
            // The reason goes with the state it explains, and stays until
            // an attempt succeeds or fails otherwise.
            rows.Change(nRow, [&](CPortView& view) {
                view.connection = *state;
                if (!entry.strText.empty() || StatusClearsReason(entry.nType))
                    view.strReason = entry.strText;
            });
        }
    }
}
