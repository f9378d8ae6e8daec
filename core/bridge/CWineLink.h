// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// A virtual port's second name for programs under Wine: the link
// "<Wine prefix>/dosdevices/comN" to the same pty as "COMn". The prefix is
// $WINEPREFIX, else ~/.wine; it is never created. Only a link this object
// made is removed again; anything else of that name is left alone and the
// port is then not linked. A dangling link into /dev/pts (what a copy that
// died leaves behind) serves nobody and is replaced.
//
// Owner thread only, like the port's CreatePort and DeletePort.
class CWineLink
{
public:
    static constexpr int LINK_NONE = 0;     // not asked for, or removed again
    static constexpr int LINK_MADE = 1;     // comN points at the port
    static constexpr int LINK_FOREIGN = 2;  // comN exists and is not ours: left alone
    static constexpr int LINK_FAILED = 3;   // no prefix, or the link could not be made

    // $WINEPREFIX/dosdevices, else $HOME/.wine/dosdevices.
    static std::string DosDevicesDirectory();
    // "COM3" -> "com3"; empty for a name that is not COMn.
    static std::string DosName(const std::string& strName);

    // Links comN for the port strName to strTarget; returns the new state.
    int Create(const std::string& strName, const std::string& strTarget);
    // Removes the link when it is ours and still points where we made it.
    void Remove();

    int GetState() const { return m_nState; }
    const std::string& GetPath() const { return m_strPath; }
    // "linked as <path>", "not linked: <path> is not ours", ...
    const std::string& GetReport() const { return m_strReport; }

private:
    int m_nState = LINK_NONE;
    std::string m_strPath;
    std::string m_strTarget;
    std::string m_strReport;
};
