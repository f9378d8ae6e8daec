// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CRing.h"

#include <algorithm>
#include <cstring>
#include <new>

std::atomic<int> CRing::s_nFailAllocations{0};

bool CRing::Allocate()
{
    Release();
    int nFail = s_nFailAllocations.load();
    while (nFail > 0 && !s_nFailAllocations.compare_exchange_weak(nFail, nFail - 1))
    {
    }
    if (nFail > 0)
        return false;
    m_pData.reset(new (std::nothrow) unsigned char[CAPACITY]);
    return m_pData != nullptr;
}

void CRing::Release()
{
    m_pData.reset();
    m_nIn = m_nOut = m_nCount = 0;
}

void CRing::Put(const unsigned char* pData, int n)
{
    // At most two pieces: up to the end of the storage, then from its start.
    const int nFirst = std::min(n, CAPACITY - m_nIn);
    memcpy(m_pData.get() + m_nIn, pData, static_cast<size_t>(nFirst));
    memcpy(m_pData.get(), pData + nFirst, static_cast<size_t>(n - nFirst));
    m_nIn = (m_nIn + n) % CAPACITY;
    m_nCount += n;
}

bool CRing::PutWhole(const unsigned char* pData, int n)
{
    if (!IsAllocated() || n < 0 || n > Space())
        return false;
    Put(pData, n);
    return true;
}

int CRing::Peek(unsigned char* pData, int nMax) const
{
    const int n = std::min(m_nCount, nMax);
    if (n <= 0)
        return 0;
    const int nFirst = std::min(n, CAPACITY - m_nOut);
    memcpy(pData, m_pData.get() + m_nOut, static_cast<size_t>(nFirst));
    memcpy(pData + nFirst, m_pData.get(), static_cast<size_t>(n - nFirst));
    return n;
}

int CRing::ReadableRun(const unsigned char** ppData) const
{
    *ppData = m_pData.get() + m_nOut;
    return std::min(m_nCount, CAPACITY - m_nOut);
}

int CRing::PeekBlock(const unsigned char** ppData, unsigned char* pCopy, int nMax) const
{
    const int n = std::min(ReadableRun(ppData), nMax);
    if (n >= std::min(m_nCount, nMax))
        return n;
    *ppData = pCopy;
    return Peek(pCopy, nMax);
}

int CRing::WritableRun(unsigned char** ppData)
{
    *ppData = m_pData.get() + m_nIn;
    return std::min(Space(), CAPACITY - m_nIn);
}

void CRing::Commit(int n)
{
    m_nIn = (m_nIn + n) % CAPACITY;
    m_nCount += n;
}

void CRing::Consume(int n)
{
    m_nOut = (m_nOut + n) % CAPACITY;
    m_nCount -= n;
}

void CRing::RestartAt(int nAt)
{
    m_nIn = m_nOut = nAt % CAPACITY;
    m_nCount = 0;
}
