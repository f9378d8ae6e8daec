// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/bridge/CPortEventSink.h"

class CPortOwner;

// The handlers of the virtual ports' events, on the owner thread: they keep
// the per-port line state that the workers consult, show the application's
// serial settings in the port list, and start and end a client or UDP
// port's connection when an application opens or closes it.
//
// A close does not hold the owner thread while the worker drains: on a pty
// the application's close has returned long ago, and every other port (and
// the window) would wait. Instead that one port's later events wait, in
// their order, until its worker reports the close complete; so the drain,
// the closed socket and the idle worker still come before its next open.
class CPortEvents : public CPortEventSink
{
public:
    explicit CPortEvents(CPortOwner* pCore) : m_pCore(pCore) {}

    void OnDataQueued(int nId, long nCount) override;
    void OnDtrChanged(int nId, int bLevel) override;
    void OnRtsChanged(int nId, int bLevel) override;
    void OnOpenChanged(int nId, int bOpen) override;
    void OnLineControlChanged(int nId, long nStopBits, long nParity, long nDataBits) override;
    void OnHandFlowChanged(int nId, long nControlHandShake, long nFlowReplace, long nXonLimit,
                           long nXoffLimit) override;
    void OnSpecialCharsChanged(int nId, long nEof, long nError, long nBreak, long nEvent, long nXon,
                               long nXoff) override;
    void OnBaudRateChanged(int nId, long nBaudRate) override;
    void OnCommStateChanged(int nId, const CPortDcb& dcb) override;


private:
    // Port index of a control id; -1 when it is none of ours.
    static int PortOf(int nId);
    void ShowLineControl(int nPort, long nStopBits, long nParity, long nDataBits);
    // The application has left: end its connection (a client or UDP port's
    // worker drains and closes it) and clear what the list shows of it.
    void EndSession(int nPort);
    // What the list shows and the line state, once the session is over.
    void ClearSession(int nPort);
    // Owner thread, posted by the worker: port nPort's close is complete.
    void OnCloseDone(int nPort);
    // While port nPort's close is under way, keeps fnEvent for later and
    // returns true.
    bool DeferWhileClosing(int nPort, std::function<void()> fnEvent);

    CPortOwner* m_pCore;
    // A close that left the connection alone for the application that had
    // opened the port again: the open after it does too.
    std::array<int, 256> m_bSessionGoesOn{};
    // 1 while the port's worker drains and closes after a close; its events
    // wait in m_vecDeferred meanwhile.
    std::array<int, 256> m_bClosing{};
    std::array<std::vector<std::function<void()>>, 256> m_vecDeferred;
    // Serialises the handlers. Owner thread only; the worker never takes it.
    std::recursive_mutex m_csEvent;
};
