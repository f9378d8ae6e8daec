// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>

// Flow-control bits of CLineState::m_dwFlowCtrl.
constexpr uint32_t FLOW_RTS = 0x01;   // the application's RTS gates data to it
constexpr uint32_t FLOW_CTS = 0x02;   // the bridge drops CTS to hold it back
constexpr uint32_t FLOW_DTR = 0x08;   // the application's DTR gates data to it
constexpr uint32_t FLOW_XOUT = 0x10;  // its XON/XOFF gate data to it
constexpr uint32_t FLOW_XIN = 0x20;   // the bridge sends it XON/XOFF

// The line state of one virtual port: how its application asked to be
// held back and how far it is, and whether the connection line shows on.
// Shared by the port's event handlers (owner thread) and its worker without
// a common lock: every field is one value written whole.
class CLineState
{
public:
    CLineState() = default;

    CLineState(const CLineState&) = delete;
    CLineState& operator=(const CLineState&) = delete;

    // The characters and the five line flags back to their defaults (an
    // application closed the port); flow bits and line indication stay.
    void Reset();

    std::atomic<uint32_t> m_dwFlowCtrl{0};
    std::atomic<unsigned char> m_chXon{17};
    std::atomic<unsigned char> m_chXoff{19};
    // 0 after the application sent XOFF: nothing is delivered to it until
    // its XON.
    std::atomic<int> m_bXonState{1};
    // 0 after the bridge sent it XOFF, until the XON that releases it.
    std::atomic<int> m_bXonSent{1};
    std::atomic<int> m_bCtsRaised{1};
    std::atomic<int> m_bRtsLine{1};
    std::atomic<int> m_bDtrLine{1};
    // What the connection line shows (1: on).
    std::atomic<int> m_bLineOn{1};

    // The application's serial settings as last seen (parity and stop bits
    // coded as in SLineControl). m_nSettingsSeq grows after each change is
    // written, so a reader that finds it unchanged has seen them all.
    std::atomic<uint32_t> m_nBaudRate{9600};
    std::atomic<int> m_nDataBits{8};
    std::atomic<int> m_nParity{0};
    std::atomic<int> m_nStopBits{0};
    std::atomic<uint32_t> m_nSettingsSeq{0};
};
