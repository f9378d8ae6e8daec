#include "core/model/CPortOwner.h"

CPortOwner::CPortOwner()
{
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        ResetLineState(i);
        m_bLineOn[i] = 1;
    }
}

CPortOwner::~CPortOwner() = default;

void CPortOwner::ChangePort(int nPort, const std::function<void(CPortView&)>& fnChange)
{
    const int nRow = m_rows.FindRow(nPort);
    if (nRow >= 0)
        m_rows.Change(nRow, fnChange);
}

void CPortOwner::ResetLineState(int i)
{
    m_chXon[i] = 17;
    m_chXoff[i] = 19;
    m_bXonState[i] = 1;
    m_bXonSent[i] = 1;
    m_bRtsLine[i] = 1;
    m_bCtsRaised[i] = 1;
    m_bDtrLine[i] = 1;
}
