// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "core/engine/CWorkerPort.h"

class COmbraPortAx;
class CPortOwner;

// The link of one port's worker to its virtual port and its owner: the
// port's entry, the options and the line state of the owner, the calls of
// the port the owner holds for that number (looked up at each call, since
// tests may stand another port in), and the owner's reports.
class CPortLink : public CWorkerPort
{
public:
    CPortLink(CPortOwner& owner, int nPort) : m_owner(owner), m_nPort(nPort) {}

    CPortEntry GetEntry() const override;
    const COptionSet& GetOptions() const override;
    CLineState& GetLine() override;
    void Report(int nCode, std::string strText) override;

    long WriteData(const unsigned char* pData, long nLength) override;
    long ReadData(unsigned char* pData, long nRoom) override;
    long BytesToRead() override;
    int GetPollHandle() const override;
    int IsSlaveOpen() override;
    void ReportHangUp() override;
    void SetCTS(int bOn) override;
    void SetLinkSignals(int bOn) override;
    unsigned TakeFlushes() override;
    CComPortOption::SSettings ApplySerialSettings(const CComPortOption::SSettings& settings) override;

private:
    COmbraPortAx& Port() const;

    CPortOwner& m_owner;
    int m_nPort;
};
