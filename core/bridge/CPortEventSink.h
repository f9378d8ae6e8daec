// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "core/bridge/CPortDcb.h"

// Receives the events of the virtual serial ports. Every call arrives on the
// owner thread; nId is the control id (port index + 10001).
class CPortEventSink
{
public:
    virtual ~CPortEventSink() = default;

    virtual void OnDataQueued(int nId, long nCount) = 0;
    virtual void OnDtrChanged(int nId, int bLevel) = 0;
    virtual void OnRtsChanged(int nId, int bLevel) = 0;
    virtual void OnOpenChanged(int nId, int bOpen) = 0;
    virtual void OnLineControlChanged(int nId, long nStopBits, long nParity, long nDataBits) = 0;
    virtual void OnHandFlowChanged(int nId, long nControlHandShake, long nFlowReplace, long nXonLimit,
                                   long nXoffLimit) = 0;
    virtual void OnSpecialCharsChanged(int nId, long nEof, long nError, long nBreak, long nEvent, long nXon,
                                       long nXoff) = 0;
    virtual void OnBaudRateChanged(int nId, long nBaudRate) = 0;
    virtual void OnCommStateChanged(int nId, const CPortDcb& dcb) = 0;
};
