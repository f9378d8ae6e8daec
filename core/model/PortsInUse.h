// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

// The refusal of Stop and Exit while programs hold ports open. Its first
// line is the fixed "Virtual Serial Port is still used by other
// application."; the second names the ports ("Open: COM2, COM5"), at most
// PORTS_IN_USE_LISTED of them, the rest counted ("... and 3 more"), so the
// box stays short with 256 ports open. vecPorts holds port indices (0 is
// COM1) in ascending order; an empty list gives the first line alone.
constexpr int PORTS_IN_USE_LISTED = 8;
std::string PortsInUseMessage(const std::vector<int>& vecPorts);
