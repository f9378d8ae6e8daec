// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortLink.h"

#include <utility>

#include "core/bridge/COmbraPortAx.h"
#include "core/model/CPortOwner.h"

COmbraPortAx& CPortLink::Port() const
{
    return m_owner.GetPort(m_nPort);
}

CPortEntry CPortLink::GetEntry() const
{
    return m_owner.m_comData.GetEntry(m_nPort);
}

const COptionSet& CPortLink::GetOptions() const
{
    return m_owner.m_options;
}

CLineState& CPortLink::GetLine()
{
    return m_owner.Line(m_nPort);
}

void CPortLink::Report(int nCode, std::string strText)
{
    m_owner.PostReport(nCode, m_nPort, std::move(strText));
}

long CPortLink::WriteData(const unsigned char* pData, long nLength)
{
    return Port().WriteData(pData, nLength);
}

long CPortLink::ReadData(unsigned char* pData, long nRoom)
{
    return Port().ReadData(pData, nRoom);
}

long CPortLink::BytesToRead()
{
    return Port().BytesToRead();
}

int CPortLink::GetPollHandle() const
{
    return Port().GetPollHandle();
}

int CPortLink::IsSlaveOpen()
{
    return Port().IsSlaveOpen();
}

void CPortLink::ReportHangUp()
{
    Port().ReportHangUp();
}

void CPortLink::SetCTS(int bOn)
{
    Port().SetCTS(bOn);
}

void CPortLink::SetLinkSignals(int bOn)
{
    Port().SetLinkSignalA(bOn);
    Port().SetLinkSignalB(bOn);
}

unsigned CPortLink::TakeFlushes()
{
    return Port().TakeFlushes();
}

CComPortOption::SSettings CPortLink::ApplySerialSettings(const CComPortOption::SSettings& settings)
{
    return Port().ApplySerialSettings(settings);
}
