// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortOwner.h"

CPortOwner::CPortOwner() = default;

CPortOwner::~CPortOwner() = default;

void CPortOwner::ChangePort(int nPort, const std::function<void(CPortView&)>& fnChange)
{
    const int nRow = m_rows.FindRow(nPort);
    if (nRow >= 0)
        m_rows.Change(nRow, fnChange);
}
