// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

// What one record of a port's monitor holds.
enum class ECapture : uint8_t
{
    ToPeer = 0,    // bytes the application wrote, on their way to the peer
    FromPeer = 1,  // bytes from the peer, handed to the application
    Event = 2,     // a text: the port opened, connected, settings changed ...
    Lost = 3,      // bytes and events that could not be kept (see CCaptureRing)
};

// One burst or event as a reader takes it from the ring. For Lost, m_nLostBytes
// and m_nLostEvents say how much, and m_data is empty.
struct CCaptureRecord
{
    uint64_t m_nTimeNs = 0;  // CLOCK_MONOTONIC
    ECapture m_kind = ECapture::Event;
    std::string m_data;
    uint64_t m_nLostBytes = 0;
    uint64_t m_nLostEvents = 0;
};
