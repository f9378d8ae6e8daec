// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <string>

#include "core/model/COptionSet.h"
#include "core/model/CPortEntry.h"

class CPortService;

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

    // The directory that holds strPath, absolute where it exists.
    static std::string DirectoryOf(const std::string& strPath);

    // Which file a path names, and how it was when last looked at: a file
    // that another program changed or replaced since shows a new stamp.
    struct SStamp
    {
        bool bExists = false;
        unsigned long long nDevice = 0;
        unsigned long long nInode = 0;
        long long nSize = 0;
        long long nModifiedNs = 0;
        bool operator==(const SStamp&) const = default;
    };
    static SStamp Stamp(const std::string& strPath);

    // 1 when read and valid; 0 with pError filled otherwise, and then
    // nothing of this object is changed. pStamp (when given) gets the stamp
    // of what was read, whether it checked out or not.
    int Load(const std::string& strPath, std::string* pError, SStamp* pStamp = nullptr);
    // Writes atomically (a temporary file of its own, synced, renamed over
    // the old one, the directory synced), readable by the owner only (it
    // holds the login password). Creates the directory when missing.
    // pStamp (when given) gets the stamp of the file written.
    int Save(const std::string& strPath, std::string* pError, SStamp* pStamp = nullptr) const;

    // Moves the file out of the way, to "<path>.bad-<YYYYmmdd-HHMMSS>" (a
    // number added when that exists already), so a refused file is kept
    // when a new one is written. 1 with pKeptAs filled; 0 with pError.
    static int KeepAside(const std::string& strPath, std::string* pKeptAs, std::string* pError);

    // How a text value stands in the file: as it is, or in double quotes
    // with \\, \" and \xHH escapes where the plain form would not read back
    // the same (spaces at either end, a leading quote, control characters).
    static std::string QuoteValue(const std::string& strValue);
    // The reverse; a value that is not a well-formed quoted one is taken
    // as it stands, as files written before quoting existed are.
    static std::string UnquoteValue(const std::string& strValue);

    // Owner thread, while the ports are stopped; 0 (nothing applied) while
    // they run.
    int ApplyTo(CPortService& service) const;
    void ReadFrom(const CPortService& service);

    COptionSet m_options;
    std::string m_strPortDirectory;  // empty: the default
    std::array<CPortEntry, PORT_COUNT> m_ports;
};
