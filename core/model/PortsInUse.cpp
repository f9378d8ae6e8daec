// SPDX-License-Identifier: Apache-2.0
#include "core/model/PortsInUse.h"

#include <algorithm>

std::string PortsInUseMessage(const std::vector<int>& vecPorts)
{
    std::string strText = "Virtual Serial Port is still used by other application.";
    if (vecPorts.empty())
        return strText;
    strText += "\nOpen: ";
    const size_t nListed = std::min(vecPorts.size(), static_cast<size_t>(PORTS_IN_USE_LISTED));
    for (size_t i = 0; i < nListed; ++i)
        strText += (i > 0 ? ", COM" : "COM") + std::to_string(vecPorts[i] + 1);
    if (vecPorts.size() > nListed)
        strText += " and " + std::to_string(vecPorts.size() - nListed) + " more";
    return strText;
}
