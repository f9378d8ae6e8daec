// SPDX-License-Identifier: Apache-2.0
#include "core/model/CLineState.h"

void CLineState::Reset()
{
    m_chXon = 17;
    m_chXoff = 19;
    m_bXonState = 1;
    m_bXonSent = 1;
    m_bRtsLine = 1;
    m_bCtsRaised = 1;
    m_bDtrLine = 1;
}
