// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <memory>

#include "core/bridge/CPort.h"

class CPortHost;
class CPortOwner;

// The program's 256 ports, by number. Which of them are shown, and in what
// order, is the port list's business (CPortRows).
class CPortTable
{
public:
    static constexpr int PORT_COUNT = 256;

    CPortTable(CPortHost* pHost, CPortOwner& owner);

    CPort& operator[](int nPort) { return *m_ports[static_cast<size_t>(nPort)]; }
    const CPort& operator[](int nPort) const { return *m_ports[static_cast<size_t>(nPort)]; }

private:
    std::array<std::unique_ptr<CPort>, PORT_COUNT> m_ports;
};
