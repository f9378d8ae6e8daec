// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// nimbreld: the front end for machines without a desktop. It loads the
// saved settings, starts every enabled port, prints each change of the port
// list as one line, and tears everything down on SIGINT, SIGTERM or SIGHUP.
class CHeadlessApp
{
public:
    // Exit codes.
    static constexpr int EXIT_OK = 0;
    static constexpr int EXIT_RUNNING = 1;  // another copy runs, or the port directory fails
    static constexpr int EXIT_USAGE = 2;    // bad command line or settings file

    int Run(int argc, char** argv);

    static std::string Usage();
};
