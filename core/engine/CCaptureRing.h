// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/engine/CCaptureRecord.h"

// The bounded store between a port's worker and whoever monitors the port:
// records of (monotonic time, kind, bytes) in one ring of a fixed size.
//
// Writers never wait for the reader: what does not fit is counted and
// dropped. The worker writes without waiting at all (PutNoWait: also the
// rare moment another writer holds the write lock counts as no room); the
// owner thread's events may wait for that lock, which is held only for one
// copy. One reader at a time drains the ring, on a thread of its own.
class CCaptureRing
{
public:
    static constexpr size_t DEFAULT_SIZE = size_t{1} << 20;
    // A record longer than this keeps only its start (events are short,
    // bursts are at most a block).
    static constexpr size_t MAX_RECORD = 65536;

    // nSize is rounded up to a power of two, at least 4096.
    explicit CCaptureRing(size_t nSize = DEFAULT_SIZE);

    CCaptureRing(const CCaptureRing&) = delete;
    CCaptureRing& operator=(const CCaptureRing&) = delete;

    size_t Size() const { return m_nSize; }

    // Any thread, never waits: false when the record was not kept.
    bool PutNoWait(ECapture kind, const unsigned char* pData, size_t nLength);
    // Any thread but the worker's: waits for the write lock only.
    bool Put(ECapture kind, const unsigned char* pData, size_t nLength);
    bool PutEvent(const std::string& strText) { return Put(ECapture::Event, Bytes(strText), strText.size()); }
    bool PutEventNoWait(const std::string& strText)
    {
        return PutNoWait(ECapture::Event, Bytes(strText), strText.size());
    }
    bool PutEventNoWait(const char* pszText)
    {
        return PutNoWait(ECapture::Event, reinterpret_cast<const unsigned char*>(pszText), std::strlen(pszText));
    }

    // Reader: appends up to nMost records to *pOut, oldest first. A loss
    // comes as a Lost record where it happened: before the first record
    // kept after it, or last when the ring is drained to its end.
    // Returns how many records it appended.
    size_t Drain(std::vector<CCaptureRecord>* pOut, size_t nMost = SIZE_MAX);

    // Any thread: what was dropped so far in all.
    uint64_t LostBytes() const { return m_nLostBytesTotal.load(std::memory_order_relaxed); }
    // Any thread: bytes waiting to be read.
    size_t Pending() const;

    static uint64_t NowNs();

private:
    static const unsigned char* Bytes(const std::string& str)
    {
        return reinterpret_cast<const unsigned char*>(str.data());
    }
    bool PutLocked(ECapture kind, const unsigned char* pData, size_t nLength);
    void WriteRecord(uint64_t nHead, ECapture kind, const unsigned char* pData, size_t nLength);
    void Drop(ECapture kind, size_t nLength);
    // m_csPut held: the drops of writers that found the lock taken join
    // those not yet marked.
    void FoldLost();
    void CopyIn(uint64_t nPos, const void* pSrc, size_t n);
    void CopyOut(uint64_t nPos, void* pDst, size_t n) const;

    const size_t m_nSize;
    std::unique_ptr<unsigned char[]> m_pBuf;
    // Written by the writer holding m_csPut, read by the reader.
    std::atomic<uint64_t> m_nHead{0};
    // Written by the reader holding m_csRead, read by the writers.
    std::atomic<uint64_t> m_nTail{0};
    // Drops not yet marked in the ring: any writer adds to the atomics,
    // the holder of m_csPut folds them into the plain counts.
    std::atomic<uint64_t> m_nLostBytes{0};
    std::atomic<uint64_t> m_nLostEvents{0};
    uint64_t m_nPendBytes = 0;   // guarded by m_csPut
    uint64_t m_nPendEvents = 0;  // guarded by m_csPut
    std::atomic<uint64_t> m_nLostBytesTotal{0};
    // One writer at a time (the worker and the owner thread's events).
    std::mutex m_csPut;
    // One reader at a time.
    std::mutex m_csRead;
};
