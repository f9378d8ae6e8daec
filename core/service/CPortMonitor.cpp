// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPortMonitor.h"

#include <algorithm>

#include "core/bridge/CPortTable.h"

CPortMonitor::~CPortMonitor()
{
    std::lock_guard<std::mutex> lock(m_csTaps);
    for (int i = 0; i < PORT_COUNT; ++i)
        if (!m_taps[static_cast<size_t>(i)].empty())
            m_ports[i].Worker().SetCapture(nullptr);
}

std::shared_ptr<CMonitorTap> CPortMonitor::Open(int nPort)
{
    if (nPort < 0 || nPort >= PORT_COUNT)
        return nullptr;
    auto pTap = std::make_shared<CMonitorTap>(nPort);
    std::lock_guard<std::mutex> lock(m_csTaps);
    auto& taps = m_taps[static_cast<size_t>(nPort)];
    std::erase_if(taps, [](const std::weak_ptr<CMonitorTap>& p) { return p.expired(); });
    if (taps.empty())
    {
        // What an earlier reader left unread is not this one's.
        CPort& port = m_ports[nPort];
        const std::shared_ptr<CCaptureRing>& pRing = port.CaptureRing();
        m_records.clear();
        pRing->Drain(&m_records);
        m_records.clear();
        port.Worker().SetCapture(pRing.get());
    }
    taps.push_back(pTap);
    return pTap;
}

void CPortMonitor::Close(const std::shared_ptr<CMonitorTap>& pTap)
{
    if (!pTap)
        return;
    std::lock_guard<std::mutex> lock(m_csTaps);
    auto& taps = m_taps[static_cast<size_t>(pTap->Port())];
    std::erase_if(taps, [&](const std::weak_ptr<CMonitorTap>& p) {
        const auto pLive = p.lock();
        return !pLive || pLive == pTap;
    });
    if (taps.empty())
        Forget(pTap->Port());
}

void CPortMonitor::Forget(int nPort)
{
    m_ports[nPort].Worker().SetCapture(nullptr);
}

void CPortMonitor::Poll()
{
    std::lock_guard<std::mutex> lock(m_csTaps);
    for (int i = 0; i < PORT_COUNT; ++i)
    {
        auto& taps = m_taps[static_cast<size_t>(i)];
        if (taps.empty())
            continue;
        m_records.clear();
        m_ports[i].CaptureRing()->Drain(&m_records);
        bool bGone = false;
        for (const std::weak_ptr<CMonitorTap>& p : taps)
        {
            if (const auto pTap = p.lock())
                pTap->Add(m_records);
            else
                bGone = true;
        }
        if (bGone)
        {
            std::erase_if(taps, [](const std::weak_ptr<CMonitorTap>& p) { return p.expired(); });
            if (taps.empty())
                Forget(i);
        }
    }
    m_records.clear();
}

bool CPortMonitor::IsWatched(int nPort) const
{
    if (nPort < 0 || nPort >= PORT_COUNT)
        return false;
    std::lock_guard<std::mutex> lock(m_csTaps);
    const auto& taps = m_taps[static_cast<size_t>(nPort)];
    return std::any_of(taps.begin(), taps.end(), [](const std::weak_ptr<CMonitorTap>& p) { return !p.expired(); });
}
