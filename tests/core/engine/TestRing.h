// SPDX-License-Identifier: Apache-2.0
#pragma once

// A worker's ring with the helpers the tests of the protocol classes that
// work on it need.

#include <cstring>
#include <vector>

#include "core/engine/CRing.h"

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

struct CTestRing : CRing
{
    static constexpr int SIZE = CRing::CAPACITY;

    // What a ring held at one moment, to compare with later.
    struct CState
    {
        int m_nIn;
        int m_nCount;
        Bytes m_by;
    };

    // Starts at nStart with nothing in it; every byte set to a fill value so
    // that stray writes show.
    explicit CTestRing(int nStart = 0, unsigned char byFill = 0xA5) : m_byFill(byFill)
    {
        Allocate();
        Fill(SIZE);
        RestartAt(nStart);
    }

    // Appends bytes as the receive step would.
    void Put(const Bytes& by) { CRing::Put(by.data(), static_cast<int>(by.size())); }

    // Removes and returns everything waiting, as the send step would.
    Bytes Take()
    {
        Bytes out(static_cast<size_t>(Count()));
        Peek(out.data(), Count());
        Consume(Count());
        return out;
    }

    // Pretends nUsed bytes are waiting (fill bytes, not read back), so that
    // exactly SIZE - nUsed bytes are free; the write position stays.
    void Occupy(int nUsed)
    {
        RestartAt(((WriteIndex() - nUsed) % SIZE + SIZE) % SIZE);
        Fill(nUsed);
    }

    // n bytes from index nFrom, wrapping at the end.
    Bytes Peek(int nFrom, int n) const
    {
        Bytes out;
        for (int k = 0; k < n; ++k)
            out.push_back(Storage()[(nFrom + k) % SIZE]);
        return out;
    }
    using CRing::Peek;

    Bytes AllBytes() const { return Bytes(Storage(), Storage() + SIZE); }
    CState Snap() const { return {WriteIndex(), Count(), AllBytes()}; }

private:
    void Fill(int n)
    {
        const Bytes fill(static_cast<size_t>(n), m_byFill);
        CRing::Put(fill.data(), n);
    }

    unsigned char m_byFill;
};

}  // namespace testsupport
