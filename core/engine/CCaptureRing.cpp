// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CCaptureRing.h"

#include <cstring>
#include <ctime>

namespace
{

// Each record: time (8), length (4), kind (1), padding (3), then the bytes.
constexpr size_t HEADER = 16;
// A Lost record's bytes: the data bytes and the events lost.
constexpr size_t LOST_PAYLOAD = 16;

size_t RoundUp(size_t n)
{
    size_t nSize = 4096;
    while (nSize < n)
        nSize <<= 1;
    return nSize;
}

}  // namespace

CCaptureRing::CCaptureRing(size_t nSize) : m_nSize(RoundUp(nSize)), m_pBuf(new unsigned char[m_nSize]) {}

uint64_t CCaptureRing::NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool CCaptureRing::PutNoWait(ECapture kind, const unsigned char* pData, size_t nLength)
{
    std::unique_lock<std::mutex> lock(m_csPut, std::try_to_lock);
    if (!lock.owns_lock())
    {
        Drop(kind, nLength);
        return false;
    }
    return PutLocked(kind, pData, nLength);
}

bool CCaptureRing::Put(ECapture kind, const unsigned char* pData, size_t nLength)
{
    std::lock_guard<std::mutex> lock(m_csPut);
    return PutLocked(kind, pData, nLength);
}

void CCaptureRing::Drop(ECapture kind, size_t nLength)
{
    if (kind == ECapture::Event)
        m_nLostEvents.fetch_add(1, std::memory_order_relaxed);
    else
        m_nLostBytes.fetch_add(nLength, std::memory_order_relaxed);
    m_nLostBytesTotal.fetch_add(kind == ECapture::Event ? 0 : nLength, std::memory_order_relaxed);
}

void CCaptureRing::FoldLost()
{
    m_nPendBytes += m_nLostBytes.exchange(0, std::memory_order_relaxed);
    m_nPendEvents += m_nLostEvents.exchange(0, std::memory_order_relaxed);
}

void CCaptureRing::WriteRecord(uint64_t nHead, ECapture kind, const unsigned char* pData, size_t nLength)
{
    unsigned char header[HEADER] = {};
    const uint64_t nTime = NowNs();
    const uint32_t nLen = static_cast<uint32_t>(nLength);
    std::memcpy(header, &nTime, 8);
    std::memcpy(header + 8, &nLen, 4);
    header[12] = static_cast<unsigned char>(kind);
    CopyIn(nHead, header, HEADER);
    CopyIn(nHead + HEADER, pData, nLength);
}

bool CCaptureRing::PutLocked(ECapture kind, const unsigned char* pData, size_t nLength)
{
    if (nLength > MAX_RECORD)
        nLength = MAX_RECORD;
    FoldLost();
    uint64_t nHead = m_nHead.load(std::memory_order_relaxed);
    const uint64_t nTail = m_nTail.load(std::memory_order_acquire);
    // A loss is marked where it happened: before the first record kept
    // after it, in the ring itself.
    const bool bLoss = m_nPendBytes != 0 || m_nPendEvents != 0;
    const size_t nNeed = HEADER + nLength + (bLoss ? HEADER + LOST_PAYLOAD : 0);
    if (m_nSize - (nHead - nTail) < nNeed)
    {
        Drop(kind, nLength);
        return false;
    }
    if (bLoss)
    {
        unsigned char lost[LOST_PAYLOAD];
        std::memcpy(lost, &m_nPendBytes, 8);
        std::memcpy(lost + 8, &m_nPendEvents, 8);
        WriteRecord(nHead, ECapture::Lost, lost, LOST_PAYLOAD);
        nHead += HEADER + LOST_PAYLOAD;
        m_nPendBytes = 0;
        m_nPendEvents = 0;
    }
    WriteRecord(nHead, kind, pData, nLength);
    m_nHead.store(nHead + HEADER + nLength, std::memory_order_release);
    return true;
}

void CCaptureRing::CopyIn(uint64_t nPos, const void* pSrc, size_t n)
{
    if (n == 0)
        return;
    const size_t nAt = static_cast<size_t>(nPos & (m_nSize - 1));
    const size_t nFirst = n < m_nSize - nAt ? n : m_nSize - nAt;
    std::memcpy(m_pBuf.get() + nAt, pSrc, nFirst);
    if (nFirst < n)
        std::memcpy(m_pBuf.get(), static_cast<const unsigned char*>(pSrc) + nFirst, n - nFirst);
}

void CCaptureRing::CopyOut(uint64_t nPos, void* pDst, size_t n) const
{
    if (n == 0)
        return;
    const size_t nAt = static_cast<size_t>(nPos & (m_nSize - 1));
    const size_t nFirst = n < m_nSize - nAt ? n : m_nSize - nAt;
    std::memcpy(pDst, m_pBuf.get() + nAt, nFirst);
    if (nFirst < n)
        std::memcpy(static_cast<unsigned char*>(pDst) + nFirst, m_pBuf.get(), n - nFirst);
}

size_t CCaptureRing::Drain(std::vector<CCaptureRecord>* pOut, size_t nMost)
{
    std::lock_guard<std::mutex> lock(m_csRead);
    size_t nTaken = 0;
    uint64_t nTail = m_nTail.load(std::memory_order_relaxed);
    const uint64_t nHead = m_nHead.load(std::memory_order_acquire);
    while (nTail < nHead && nTaken < nMost)
    {
        unsigned char header[HEADER];
        CopyOut(nTail, header, HEADER);
        CCaptureRecord rec;
        uint32_t nLen = 0;
        std::memcpy(&rec.m_nTimeNs, header, 8);
        std::memcpy(&nLen, header + 8, 4);
        rec.m_kind = static_cast<ECapture>(header[12]);
        if (rec.m_kind == ECapture::Lost)
        {
            unsigned char lost[LOST_PAYLOAD];
            CopyOut(nTail + HEADER, lost, LOST_PAYLOAD);
            std::memcpy(&rec.m_nLostBytes, lost, 8);
            std::memcpy(&rec.m_nLostEvents, lost + 8, 8);
        }
        else
        {
            rec.m_data.resize(nLen);
            CopyOut(nTail + HEADER, rec.m_data.data(), nLen);
        }
        nTail += HEADER + nLen;
        pOut->push_back(std::move(rec));
        ++nTaken;
    }
    m_nTail.store(nTail, std::memory_order_release);
    if (nTaken < nMost && nTail == nHead)
    {
        // Drained to the end: a loss after the last record is told now, as
        // no record may come to carry it. Never waits for a writer.
        std::unique_lock<std::mutex> lockPut(m_csPut, std::try_to_lock);
        if (lockPut.owns_lock() && m_nHead.load(std::memory_order_relaxed) == nTail)
        {
            FoldLost();
            if (m_nPendBytes != 0 || m_nPendEvents != 0)
            {
                CCaptureRecord lost;
                lost.m_nTimeNs = NowNs();
                lost.m_kind = ECapture::Lost;
                lost.m_nLostBytes = m_nPendBytes;
                lost.m_nLostEvents = m_nPendEvents;
                m_nPendBytes = 0;
                m_nPendEvents = 0;
                pOut->push_back(std::move(lost));
                ++nTaken;
            }
        }
    }
    return nTaken;
}

size_t CCaptureRing::Pending() const
{
    return static_cast<size_t>(m_nHead.load(std::memory_order_acquire) - m_nTail.load(std::memory_order_acquire));
}
