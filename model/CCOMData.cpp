#include "model/CCOMData.h"

#include <utility>

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
}

void CCOMData::RecountEnabled()
{
    int nCount = 0;
    for (int i = 0; i < PORT_COUNT; ++i)
        if (m_bUse[i] == 1 && m_bEnable[i] == 1)
            ++nCount;
    m_nEnableCount = nCount;
}
