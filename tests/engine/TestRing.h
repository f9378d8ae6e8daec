#pragma once

// A ring laid out like the worker's (RING_SIZE bytes, indexes and a count)
// for the tests of the protocol classes that work on it.

#include <cstring>
#include <vector>

#include "engine/CSocketCtrl.h"

namespace testsupport
{

using Bytes = std::vector<unsigned char>;

inline Bytes ToBytes(const char* psz)
{
    return Bytes(psz, psz + strlen(psz));
}

inline Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct CTestRing
{
    static constexpr int SIZE = CSocketCtrl::RING_SIZE;

    // Starts at nStart with nothing in it; every byte set to a fill value so
    // that stray writes show.
    explicit CTestRing(int nStart = 0, unsigned char byFill = 0xA5)
        : m_by(SIZE, byFill), m_nIn(nStart), m_nOut(nStart)
    {
    }

    // Appends bytes as the receive step would.
    void Put(const Bytes& by)
    {
        for (unsigned char b : by)
        {
            m_by[static_cast<size_t>(m_nIn)] = b;
            m_nIn = (m_nIn + 1) % SIZE;
            ++m_nCount;
        }
    }

    // Removes and returns everything waiting, as the send step would.
    Bytes Take()
    {
        Bytes out;
        while (m_nCount > 0)
        {
            out.push_back(m_by[static_cast<size_t>(m_nOut)]);
            m_nOut = (m_nOut + 1) % SIZE;
            --m_nCount;
        }
        return out;
    }

    // Pretends nUsed bytes are waiting (they are not read back), so that
    // exactly SIZE - nUsed bytes are free.
    void Occupy(int nUsed)
    {
        m_nOut = ((m_nIn - nUsed) % SIZE + SIZE) % SIZE;
        m_nCount = nUsed;
    }

    // n bytes from index nFrom, wrapping at the end.
    Bytes Peek(int nFrom, int n) const
    {
        Bytes out;
        for (int k = 0; k < n; ++k)
            out.push_back(m_by[static_cast<size_t>((nFrom + k) % SIZE)]);
        return out;
    }

    unsigned char* Data() { return m_by.data(); }

    std::vector<unsigned char> m_by;
    int m_nIn = 0;
    int m_nOut = 0;
    int m_nCount = 0;
};

}  // namespace testsupport
