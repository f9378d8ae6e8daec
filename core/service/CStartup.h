// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "core/service/CSettingsFile.h"

// How both programs start: one command-line parser and one precedence for
// the settings file and the port directory, so nimbrel and nimbreld can
// never disagree about where a user's ports are.
class CStartup
{
public:
    enum class EAction
    {
        Run,
        Help,
        Version,
        PrintPortDir,  // nimbreld only
        BadArgument,
    };

    struct SArgs
    {
        EAction action = EAction::Run;
        std::string strConfig;   // --config; empty when not given
        std::string strPortDir;  // --port-dir; empty when not given
        bool bConfigGiven = false;
        std::string strBadArgument;  // with BadArgument
        // nimbreld only: --monitor COMn (port numbers 0..255, in the order
        // given, each once) or --monitor all; --monitor-file FILE.
        std::vector<int> vecMonitorPorts;
        bool bMonitorAll = false;
        std::string strMonitorFile;
    };

    // The arguments after the program's name. --print-port-dir and the
    // monitor's options are known only where bPrintPortDir is set. --help and --version end the parse
    // at once, as does the first argument not known.
    static SArgs Parse(const std::vector<std::string>& args, bool bPrintPortDir);

    // "COM7" (any case) -> 6; -1 for anything that names no port 1..256.
    static int MonitorPort(const std::string& strName);

    // --config, else the user's settings file.
    static std::string SettingsPath(const SArgs& args);

    enum class ELoad
    {
        Loaded,
        None,     // no file at the default path: a first start, no ports
        Refused,  // pError says why; the settings are the defaults
    };
    // Reads the settings file of these arguments into *pSettings (defaults
    // when there is none or it is refused). A file given with --config must
    // exist. pStamp (when given) gets the stamp of what was read.
    static ELoad LoadSettings(const SArgs& args, CSettingsFile* pSettings, std::string* pError,
                              CSettingsFile::SStamp* pStamp = nullptr);

    // --port-dir, else PortDirectory of the settings; empty means the
    // default directory. False when the result is not an absolute path.
    static bool PortDirectory(const SArgs& args, const CSettingsFile& settings, std::string* pDir);
};
