// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "core/engine/CComPortOption.h"
#include "core/model/CPortEntry.h"

class CLineState;
class COptionSet;

// What a connection worker needs of its virtual port, and all it reaches
// of the rest of the program: the port's configuration and the options, its
// line state, the pseudo-terminal's few calls and the report to the port
// list. Declared beside the worker so that it never reaches up; the bridge
// implements it (CPortLink), tests stand in their own.
class CWorkerPort
{
public:
    virtual ~CWorkerPort() = default;

    // Owner thread, while the worker's thread does not run or with its
    // lock held: the port's entry in the port table.
    virtual CPortEntry GetEntry() const = 0;
    // Any thread. Written only while the ports are stopped.
    virtual const COptionSet& GetOptions() const = 0;
    // Any thread: shared with the port's event handlers, see CLineState.
    virtual CLineState& GetLine() = 0;

    // Any thread: one report for the port list, as CPortOwner::PostReport.
    virtual void Report(int nCode, std::string strText) = 0;

    // The pseudo-terminal, as COmbraPortAx has them: worker thread.
    virtual long WriteData(const unsigned char* pData, long nLength) = 0;
    virtual long ReadData(unsigned char* pData, long nRoom) = 0;
    virtual long BytesToRead() = 0;
    virtual int GetPollHandle() const = 0;
    virtual int IsSlaveOpen() = 0;
    virtual void ReportHangUp() = 0;
    virtual void SetCTS(int bOn) = 0;
    // The connection line the application sees (both link signals).
    virtual void SetLinkSignals(int bOn) = 0;

    // Bits of TakeFlushes: the application discarded what it had received
    // or what it had written and not yet sent.
    static constexpr unsigned FLUSH_RECEIVE = 1;
    static constexpr unsigned FLUSH_TRANSMIT = 2;
    // Worker thread: the flushes seen since the last take.
    virtual unsigned TakeFlushes() = 0;
    // Worker thread: gives the application's side these serial settings as
    // far as the pseudo-terminal carries them (not the flow control) and
    // returns what it has now.
    virtual CComPortOption::SSettings ApplySerialSettings(const CComPortOption::SSettings& settings) = 0;
};
