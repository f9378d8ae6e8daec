#pragma once

#include <array>
#include <string>

class COmbraCtrlCore;

// The saved settings: an INI file with an [Options] section and one
// [COMn] section per configured port. Reading goes through inih; a file
// that does not check out is refused whole with one message that names the
// file, the line, the key and the values it takes.
class CSettingsFile
{
public:
    static constexpr int PORT_COUNT = 256;

    struct SPort
    {
        int bUse = 0;
        int bEnable = 0;
        int nMode = 0;
        int nConnectType = 0;
        int bSSL = 0;
        int bKeepAlive = 0;
        std::string strIPAddress = "0.0.0.0";
        int nPeerPort = 0;
        int nLocPort = 0;
    };

    CSettingsFile();

    // $XDG_CONFIG_HOME/nimbrel/nimbrel.ini, else ~/.config/nimbrel/nimbrel.ini.
    static std::string DefaultPath();

    // 1 when read and valid; 0 with pError filled otherwise, and then
    // nothing of this object is changed.
    int Load(const std::string& strPath, std::string* pError);
    // Writes atomically, readable by the owner only (it holds the login
    // password). Creates the directory when missing.
    int Save(const std::string& strPath, std::string* pError) const;

    // Owner thread, while the ports are stopped.
    void ApplyTo(COmbraCtrlCore& core) const;
    void ReadFrom(const COmbraCtrlCore& core);

    int m_nConnectTimeout = 10;
    int m_bReconnect = 0;
    int m_nReconnectTime = 1;
    std::string m_strUser;
    std::string m_strPassword;
    int m_nLoginChallenge = 3;
    int m_nLoginTimeout = 10;
    int m_nKeepAliveTime = 7200000;
    int m_nKeepAliveInterval = 1000;
    std::string m_strPortDirectory;  // empty: the default
    std::array<SPort, PORT_COUNT> m_ports;
};
