// SPDX-License-Identifier: Apache-2.0
#include "core/model/CCOMData.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <utility>
#include <vector>

CCOMData::CCOMData()
{
    m_strIPAddress.fill("0.0.0.0");
    m_nPeerPort.fill(0);
    m_nLocPort.fill(0);
    m_bUse.fill(0);
    m_bEnable.fill(0);
    m_bSystemPort.fill(0);
    for (auto& bOpen : m_bOpen)
        bOpen.store(0, std::memory_order_relaxed);
    m_bSSL.fill(0);
    m_bKeepAlive.fill(0);
    m_nMode.fill(0);
    m_nConnectType.fill(0);
}

CCOMData::~CCOMData() = default;

std::string CCOMData::GetIPAddress(int nPort) const
{
    return IsPortIndex(nPort) ? m_strIPAddress[nPort] : std::string();
}

int CCOMData::GetPeerPort(int nPort) const
{
    return IsPortIndex(nPort) ? m_nPeerPort[nPort] : 0;
}

int CCOMData::GetLocPort(int nPort) const
{
    return IsPortIndex(nPort) ? m_nLocPort[nPort] : 0;
}

int CCOMData::GetUse(int nPort) const
{
    return IsPortIndex(nPort) ? m_bUse[nPort] : 0;
}

int CCOMData::GetEnable(int nPort) const
{
    return IsPortIndex(nPort) ? m_bEnable[nPort] : 0;
}

int CCOMData::GetSystemPort(int nPort) const
{
    return IsPortIndex(nPort) ? m_bSystemPort[nPort] : 0;
}

int CCOMData::GetOpen(int nPort) const
{
    return IsPortIndex(nPort) ? m_bOpen[nPort].load(std::memory_order_relaxed) : 0;
}

int CCOMData::GetSSL(int nPort) const
{
    return IsPortIndex(nPort) ? m_bSSL[nPort] : 0;
}

int CCOMData::GetKeepAlive(int nPort) const
{
    return IsPortIndex(nPort) ? m_bKeepAlive[nPort] : 0;
}

int CCOMData::GetMode(int nPort) const
{
    return IsPortIndex(nPort) ? m_nMode[nPort] : 0;
}

int CCOMData::GetConnectType(int nPort) const
{
    return IsPortIndex(nPort) ? m_nConnectType[nPort] : 0;
}

void CCOMData::SetIPAddress(int nPort, std::string strIP)
{
    if (IsPortIndex(nPort))
        m_strIPAddress[nPort] = std::move(strIP);
}

void CCOMData::SetPeerPort(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_nPeerPort[nPort] = nValue;
}

void CCOMData::SetLocPort(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_nLocPort[nPort] = nValue;
}

void CCOMData::SetUse(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_bUse[nPort] = nValue;
}

void CCOMData::SetEnable(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_bEnable[nPort] = nValue;
}

void CCOMData::SetOpen(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_bOpen[nPort].store(nValue, std::memory_order_relaxed);
}

void CCOMData::SetSSL(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_bSSL[nPort] = nValue;
}

void CCOMData::SetKeepAlive(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_bKeepAlive[nPort] = nValue;
}

void CCOMData::SetMode(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_nMode[nPort] = nValue;
}

void CCOMData::SetConnectType(int nPort, int nValue)
{
    if (IsPortIndex(nPort))
        m_nConnectType[nPort] = nValue;
}

CPortEntry CCOMData::GetEntry(int nPort) const
{
    CPortEntry entry;
    if (!IsPortIndex(nPort))
        return entry;
    entry.m_bUse = m_bUse[nPort];
    entry.m_bEnable = m_bEnable[nPort];
    entry.m_nMode = m_nMode[nPort];
    entry.m_nConnectType = m_nConnectType[nPort];
    entry.m_bSSL = m_bSSL[nPort];
    entry.m_bKeepAlive = m_bKeepAlive[nPort];
    entry.m_strIPAddress = m_strIPAddress[nPort];
    entry.m_nPeerPort = m_nPeerPort[nPort];
    entry.m_nLocPort = m_nLocPort[nPort];
    entry.m_bComPortControl = m_bComPortControl[nPort];
    entry.m_nComPortDataBits = m_nComPortDataBits[nPort];
    entry.m_comPortParity = m_comPortParity[nPort];
    entry.m_bTlsVerify = m_bTlsVerify[nPort];
    entry.m_strTlsPin = m_strTlsPin[nPort];
    return entry;
}

void CCOMData::SetEntry(int nPort, const CPortEntry& entry)
{
    if (!IsPortIndex(nPort))
        return;
    m_bUse[nPort] = entry.m_bUse;
    m_bEnable[nPort] = entry.m_bEnable;
    m_nMode[nPort] = entry.m_nMode;
    m_nConnectType[nPort] = entry.m_nConnectType;
    m_bSSL[nPort] = entry.m_bSSL;
    m_bKeepAlive[nPort] = entry.m_bKeepAlive;
    m_strIPAddress[nPort] = entry.m_strIPAddress;
    m_nPeerPort[nPort] = entry.m_nPeerPort;
    m_nLocPort[nPort] = entry.m_nLocPort;
    m_bComPortControl[nPort] = entry.m_bComPortControl;
    m_nComPortDataBits[nPort] = entry.m_nComPortDataBits;
    m_comPortParity[nPort] = entry.m_comPortParity;
    m_bTlsVerify[nPort] = entry.m_bTlsVerify;
    m_strTlsPin[nPort] = entry.m_strTlsPin;
}

bool CCOMData::HasFreeNumber() const
{
    for (int i = 0; i < PORT_COUNT; ++i)
        if (IsFreeNumber(i))
            return true;
    return false;
}

std::vector<int> CCOMData::FreeNumbers() const
{
    std::vector<int> vecFree;
    for (int i = 0; i < PORT_COUNT; ++i)
        if (IsFreeNumber(i))
            vecFree.push_back(i);
    return vecFree;
}

void CCOMData::RecountEnabled()
{
    int nCount = 0;
    for (int i = 0; i < PORT_COUNT; ++i)
        if (m_bUse[i] == 1 && m_bEnable[i] == 1)
            ++nCount;
    m_nEnableCount = nCount;
}

namespace
{

// The number n of a name that is exactly strPrefix followed by n in
// canonical decimal (no sign, no leading zero); -1 for any other name.
int NumberAfter(const std::string& strName, const std::string& strPrefix)
{
    if (strName.size() <= strPrefix.size() || strName.compare(0, strPrefix.size(), strPrefix) != 0)
        return -1;
    const std::string strDigits = strName.substr(strPrefix.size());
    if (strDigits.size() > 4 || (strDigits.size() > 1 && strDigits[0] == '0'))
        return -1;
    int n = 0;
    for (char ch : strDigits)
    {
        if (ch < '0' || ch > '9')
            return -1;
        n = n * 10 + (ch - '0');
    }
    return n;
}

// The names in a directory; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& strDir)
{
    std::vector<std::string> vecNames;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr)
        return vecNames;
    while (const struct dirent* pEntry = readdir(pDir))
        vecNames.emplace_back(pEntry->d_name);
    closedir(pDir);
    return vecNames;
}

// Whether the tty class entry strTty (…/class/tty/ttySn) has a UART.
bool HasUart(const std::string& strTty)
{
    std::ifstream type(strTty + "/type");
    if (type)
    {
        long nType = 0;
        return static_cast<bool>(type >> nType) && nType != 0;
    }
    // Not a serial-core port: present when a driver holds its device.
    struct stat st;
    return stat((strTty + "/device/driver").c_str(), &st) == 0;
}

}  // namespace

void CCOMData::ScanSystemPorts(const std::string& strSysRoot, const std::string& strPortDir,
                               const std::function<bool(int nPort)>& fnCreatedHere)
{
    m_bSystemPort.fill(0);
    if (!strSysRoot.empty())
    {
        const std::string strClass = strSysRoot + "/class/tty";
        for (const std::string& strName : ListDirectory(strClass))
        {
            const int n = NumberAfter(strName, "ttyS");
            if (n >= 0 && IsPortIndex(n) && HasUart(strClass + "/" + strName))
                m_bSystemPort[n] = 1;
        }
    }
    if (!strPortDir.empty())
    {
        for (const std::string& strName : ListDirectory(strPortDir))
        {
            const int n = NumberAfter(strName, "COM");
            if (n >= 1 && IsPortIndex(n - 1) && !(fnCreatedHere && fnCreatedHere(n - 1)))
                m_bSystemPort[n - 1] = 1;
        }
    }
}
