// SPDX-License-Identifier: Apache-2.0
#pragma once

// Telnet bytes.
constexpr int TELNET_IAC = 255;
constexpr int TELNET_DONT = 254;
constexpr int TELNET_DO = 253;
constexpr int TELNET_WONT = 252;
constexpr int TELNET_WILL = 251;
constexpr int TELNET_SB = 250;
constexpr int TELNET_SE = 240;

// Telnet options this service names.
constexpr int TELOPT_BINARY = 0;
constexpr int TELOPT_ECHO = 1;
constexpr int TELOPT_SGA = 3;
constexpr int TELOPT_TTYPE = 24;
constexpr int TELOPT_NAWS = 31;
constexpr int TELOPT_NEW_ENVIRON = 39;
constexpr int TELOPT_COM_PORT = 44;
