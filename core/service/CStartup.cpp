// SPDX-License-Identifier: Apache-2.0
#include "core/service/CStartup.h"

#include <algorithm>
#include <cctype>

CStartup::SArgs CStartup::Parse(const std::vector<std::string>& args, bool bPrintPortDir)
{
    SArgs result;
    for (size_t k = 0; k < args.size(); ++k)
    {
        const std::string& strArg = args[k];
        if (strArg == "--help" || strArg == "-h")
        {
            result.action = EAction::Help;
            return result;
        }
        if (strArg == "--version")
        {
            result.action = EAction::Version;
            return result;
        }
        if (bPrintPortDir && strArg == "--print-port-dir")
        {
            result.action = EAction::PrintPortDir;
            continue;
        }
        // "--config FILE" and "--config=FILE" alike.
        auto take = [&](const std::string& strOption, std::string* pValue) {
            if (strArg == strOption && k + 1 < args.size())
            {
                *pValue = args[++k];
                return true;
            }
            if (strArg.rfind(strOption + "=", 0) != 0)
                return false;
            *pValue = strArg.substr(strOption.size() + 1);
            return true;
        };
        if (take("--config", &result.strConfig))
        {
            result.bConfigGiven = true;
            continue;
        }
        if (take("--port-dir", &result.strPortDir))
            continue;
        std::string strMonitor;
        if (bPrintPortDir && take("--monitor", &strMonitor))
        {
            const int nPort = MonitorPort(strMonitor);
            if (strMonitor == "all")
            {
                result.bMonitorAll = true;
                continue;
            }
            if (nPort >= 0)
            {
                if (std::find(result.vecMonitorPorts.begin(), result.vecMonitorPorts.end(), nPort) ==
                    result.vecMonitorPorts.end())
                    result.vecMonitorPorts.push_back(nPort);
                continue;
            }
            result.action = EAction::BadArgument;
            result.strBadArgument = "--monitor " + strMonitor;
            return result;
        }
        if (bPrintPortDir && take("--monitor-file", &result.strMonitorFile))
        {
            if (!result.strMonitorFile.empty())
                continue;
            result.action = EAction::BadArgument;
            result.strBadArgument = strArg;
            return result;
        }
        result.action = EAction::BadArgument;
        result.strBadArgument = strArg;
        return result;
    }
    return result;
}

int CStartup::MonitorPort(const std::string& strName)
{
    if (strName.size() < 4 || strName.size() > 6)
        return -1;
    for (size_t k = 0; k < 3; ++k)
        if (std::toupper(static_cast<unsigned char>(strName[k])) != "COM"[k])
            return -1;
    if (strName[3] == '0')
        return -1;
    int n = 0;
    for (size_t k = 3; k < strName.size(); ++k)
    {
        if (strName[k] < '0' || strName[k] > '9')
            return -1;
        n = n * 10 + (strName[k] - '0');
    }
    return n >= 1 && n <= 256 ? n - 1 : -1;
}

std::string CStartup::SettingsPath(const SArgs& args)
{
    return args.bConfigGiven ? args.strConfig : CSettingsFile::DefaultPath();
}

CStartup::ELoad CStartup::LoadSettings(const SArgs& args, CSettingsFile* pSettings, std::string* pError,
                                       CSettingsFile::SStamp* pStamp)
{
    *pSettings = CSettingsFile();
    const std::string strPath = SettingsPath(args);
    if (pStamp != nullptr)
        *pStamp = CSettingsFile::Stamp(strPath);
    // The settings' directory holds the default key files, even before a
    // file was written there.
    pSettings->m_options.m_strSettingsDir = CSettingsFile::DirectoryOf(strPath);
    if (!args.bConfigGiven && !CSettingsFile::Stamp(strPath).bExists)
        return ELoad::None;
    if (!pSettings->Load(strPath, pError, pStamp))
    {
        *pSettings = CSettingsFile();
        pSettings->m_options.m_strSettingsDir = CSettingsFile::DirectoryOf(strPath);
        return ELoad::Refused;
    }
    return ELoad::Loaded;
}

bool CStartup::PortDirectory(const SArgs& args, const CSettingsFile& settings, std::string* pDir)
{
    *pDir = args.strPortDir.empty() ? settings.m_strPortDirectory : args.strPortDir;
    return pDir->empty() || (*pDir)[0] == '/';
}
