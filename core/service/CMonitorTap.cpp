// SPDX-License-Identifier: Apache-2.0
#include "core/service/CMonitorTap.h"

#include "core/engine/CCaptureRing.h"

std::vector<CCaptureRecord> CMonitorTap::Take(size_t nMost)
{
    std::lock_guard<std::mutex> lock(m_csQueue);
    std::vector<CCaptureRecord> out;
    for (int nRound = 0; nRound < 2; ++nRound)
    {
        while (!m_queue.empty() && out.size() < nMost)
        {
            m_nQueued -= m_queue.front().m_data.size();
            out.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        // All taken: a loss after the last record is told now.
        if (!m_queue.empty() || out.size() >= nMost)
            break;
        FlushLost();
    }
    return out;
}

bool CMonitorTap::HasRecords() const
{
    std::lock_guard<std::mutex> lock(m_csQueue);
    return !m_queue.empty() || m_nLostBytes != 0 || m_nLostEvents != 0;
}

void CMonitorTap::Add(std::vector<CCaptureRecord>& records)
{
    std::lock_guard<std::mutex> lock(m_csQueue);
    for (CCaptureRecord& rec : records)
    {
        if (rec.m_kind == ECapture::Lost)
        {
            AddLost(rec.m_nLostBytes, rec.m_nLostEvents);
            continue;
        }
        if (m_nQueued + rec.m_data.size() > m_nLimit)
        {
            if (rec.m_kind == ECapture::Event)
                AddLost(0, 1);
            else
                AddLost(rec.m_data.size(), 0);
            continue;
        }
        FlushLost();
        m_nQueued += rec.m_data.size();
        m_queue.push_back(rec);
    }
}

void CMonitorTap::AddLost(uint64_t nBytes, uint64_t nEvents)
{
    m_nLostBytes += nBytes;
    m_nLostEvents += nEvents;
}

void CMonitorTap::FlushLost()
{
    if (m_nLostBytes == 0 && m_nLostEvents == 0)
        return;
    CCaptureRecord lost;
    lost.m_nTimeNs = CCaptureRing::NowNs();
    lost.m_kind = ECapture::Lost;
    lost.m_nLostBytes = m_nLostBytes;
    lost.m_nLostEvents = m_nLostEvents;
    m_nLostBytes = 0;
    m_nLostEvents = 0;
    m_queue.push_back(std::move(lost));
}
