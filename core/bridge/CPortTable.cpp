// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortTable.h"

CPortTable::CPortTable(CPortHost* pHost, CPortOwner& owner)
{
    for (int i = 0; i < PORT_COUNT; ++i)
        m_ports[static_cast<size_t>(i)] = std::make_unique<CPort>(i, pHost, owner);
}
