// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/engine/CComPortOption.h"

// One connection's COM port control, on either side, above the message
// codec: what a client still has to tell the device server, what the server
// acknowledged and notified, and what a server answers. The Telnet side
// decides whether the option was agreed and carries the bytes.
// Worker thread only.
class CComPortSession
{
public:
    using SSettings = CComPortOption::SSettings;
    using SMessage = CComPortOption::SMessage;

    enum class ERole
    {
        Client,
        Server,
    };

    // Line state bits a client asks to hear (data ready and the errors are
    // of no use over a network; break and time-out are).
    static constexpr uint8_t LINE_MASK = 0x10 | 0x80;
    // Modem state bits: CD, RI, DSR, CTS (the levels, not their deltas).
    static constexpr uint8_t MODEM_MASK = 0x80 | 0x40 | 0x20 | 0x10;

    explicit CComPortSession(ERole role = ERole::Client) : m_role(role) {}

    // A new connection: forgets everything the last one said (the applier
    // and the signature stay).
    void Reset(ERole role);
    ERole Role() const { return m_role; }

    // --- client ---
    // The peer agreed to the option: the masks and the settings go out.
    void OnAgreed();
    bool IsAgreed() const { return m_bAgreed; }
    // The settings the program has now (with the port's overrides applied).
    // Only what changed since the last sent settings goes out again.
    void SetWanted(const SSettings& settings);
    // The program flushed its buffers.
    void Purge(CComPortOption::EPurge purge);
    // What the server acknowledged, as far as it did.
    const SSettings& Acknowledged() const { return m_acked; }
    uint8_t ModemState() const { return m_nModemState; }
    uint8_t LineState() const { return m_nLineState; }
    // What was last sent; meaningful once HasSent().
    const SSettings& Sent() const { return m_sent; }
    bool HasSent() const { return m_bSentAny; }
    // "CD DSR CTS" of the last modem state notified; "-" for none set.
    std::string ModemText() const;

    // --- server ---
    // The serial settings of the port now: what a reply reports, and what
    // a client's request is applied over.
    void SetCurrent(const SSettings& settings) { m_current = settings; }
    const SSettings& Current() const { return m_current; }
    // True once after a request changed the settings: the caller applies
    // Current() to the port.
    bool TakeSettingsChange();
    // Puts settings a client asked for into effect and returns the ones in
    // effect then, which the reply reports. Without one, what was asked is
    // taken as it is.
    void SetApplier(std::function<SSettings(const SSettings&)> fnApply) { m_fnApply = std::move(fnApply); }
    // The text a signature request is answered with.
    void SetSignature(std::string strSignature) { m_strSignature = std::move(strSignature); }

    // --- both ---
    // One message from the peer (see CComPortOption::Decode). Returns a
    // line for the log when it says something worth one, else empty.
    std::string OnMessage(const SMessage& message);
    // The bytes to send now, whole subnegotiations; empties the queue.
    std::vector<uint8_t> TakeOutput();
    bool HasOutput() const { return !m_out.empty(); }

private:
    void Queue(const std::vector<uint8_t>& bytes);
    std::string OnServerMessage(const SMessage& message);
    std::string OnClientMessage(const SMessage& message);

    ERole m_role;
    bool m_bAgreed = false;
    bool m_bSentAny = false;
    SSettings m_sent;
    SSettings m_wanted;
    bool m_bHaveWanted = false;
    SSettings m_acked{0, 0, CComPortOption::EParity::Request, CComPortOption::EStopBits::Request,
                      CComPortOption::EFlow::Request};
    uint8_t m_nModemState = 0;
    uint8_t m_nLineState = 0;
    SSettings m_current;
    bool m_bSettingsChanged = false;
    std::string m_strSignature;
    std::function<SSettings(const SSettings&)> m_fnApply;
    std::vector<uint8_t> m_out;
};
