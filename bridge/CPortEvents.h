#pragma once

#include <array>
#include <mutex>
#include <string>

#include "bridge/CPortEventSink.h"

class CPortOwner;

// The handlers of the virtual ports' events, on the owner thread: they keep
// the per-port line state that the workers consult, show the application's
// serial settings in the port list, and start and end a client or UDP
// port's connection when an application opens or closes it.
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

    static std::string ParityText(long nParity);
    static std::string StopBitsText(long nStopBits);

private:
    // Port index of a control id; -1 when it is none of ours.
    static int PortOf(int nId);
    void ShowLineControl(int nPort, long nStopBits, long nParity, long nDataBits);
    // The application has left: end its connection (a client or UDP port's
    // worker drains and closes it) and clear what the list shows of it.
    void EndSession(int nPort);

    CPortOwner* m_pCore;
    // A close that left the connection alone for the application that had
    // opened the port again: the open after it does too.
    std::array<int, 256> m_bSessionGoesOn{};
    // Serialises the handlers; held across the close wait, which the worker
    // never blocks since it never takes this lock.
    std::recursive_mutex m_csEvent;
};
