#pragma once

#include <array>
#include <string>

#include "model/COptionSet.h"
#include "model/CPortEntry.h"

class COmbraCtrlCore;

// The saved settings: an INI file with an [Options] section and one
// [COMn] section per configured port. Reading goes through inih; a file
// that does not check out is refused whole with one message that names the
// file, the line, the key and the values it takes.
class CSettingsFile
{
public:
    static constexpr int PORT_COUNT = 256;

    CSettingsFile();

    // $XDG_CONFIG_HOME/nimbrel/nimbrel.ini, else ~/.config/nimbrel/nimbrel.ini.
    static std::string DefaultPath();

    // 1 when read and valid; 0 with pError filled otherwise, and then
    // nothing of this object is changed.
    int Load(const std::string& strPath, std::string* pError);
    // Writes atomically, readable by the owner only (it holds the login
    // password). Creates the directory when missing.
    int Save(const std::string& strPath, std::string* pError) const;

    // Owner thread, while the ports are stopped; 0 (nothing applied) while
    // they run.
    int ApplyTo(COmbraCtrlCore& core) const;
    void ReadFrom(const COmbraCtrlCore& core);

    COptionSet m_options;
    std::string m_strPortDirectory;  // empty: the default
    std::array<CPortEntry, PORT_COUNT> m_ports;
};
