// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;
constexpr int CAP = CRing::CAPACITY;

Bytes Series(int n, int nFirst = 0)
{
    Bytes by(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k)
        by[static_cast<size_t>(k)] = static_cast<unsigned char>((nFirst + k) * 7 + 3);
    return by;
}

Bytes PeekAll(const CRing& ring)
{
    Bytes by(static_cast<size_t>(ring.Count()));
    EXPECT_EQ(ring.Peek(by.data(), ring.Count()), ring.Count());
    return by;
}

}  // namespace

TEST(CRingTest, WithoutStorageUntilAllocated)
{
    CRing ring;
    EXPECT_FALSE(ring.IsAllocated());
    EXPECT_FALSE(ring.PutWhole(Series(1).data(), 1));
    ASSERT_TRUE(ring.Allocate());
    EXPECT_TRUE(ring.IsAllocated());
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_EQ(ring.Space(), CAP);
    ring.Release();
    EXPECT_FALSE(ring.IsAllocated());
    EXPECT_EQ(ring.Count(), 0);
}

TEST(CRingTest, AllocationThatFailsLeavesNoStorage)
{
    CRing ring;
    CRing::FailNextAllocations(1);
    EXPECT_FALSE(ring.Allocate());
    EXPECT_FALSE(ring.IsAllocated());
    EXPECT_TRUE(ring.Allocate()) << "only the next allocation was to fail";
}

TEST(CRingTest, PeekLeavesAndConsumeTakes)
{
    CRing ring;
    ASSERT_TRUE(ring.Allocate());
    const Bytes by = Series(10);
    ring.Put(by.data(), 10);
    unsigned char out[4];
    EXPECT_EQ(ring.Peek(out, 4), 4);
    EXPECT_EQ(Bytes(out, out + 4), Bytes(by.begin(), by.begin() + 4));
    EXPECT_EQ(ring.Count(), 10);
    EXPECT_EQ(ring.Front(), by[0]);
    ring.Consume(3);
    EXPECT_EQ(ring.Count(), 7);
    EXPECT_EQ(ring.Space(), CAP - 7);
    EXPECT_EQ(ring.Front(), by[3]);
    EXPECT_EQ(PeekAll(ring), Bytes(by.begin() + 3, by.end()));
}

// Every start position near the end, every length across it: what comes out
// is what went in, in order, and the positions wrap to the start.
TEST(CRingTest, PutAndPeekAcrossTheEnd)
{
    for (int nStart : {CAP - 1, CAP - 5, CAP - 1600, 0})
    {
        for (int nLen : {1, 4, 5, 6, 1600, CAP})
        {
            CRing ring;
            ASSERT_TRUE(ring.Allocate());
            ring.RestartAt(nStart);
            const Bytes by = Series(nLen, nStart);
            ring.Put(by.data(), nLen);
            EXPECT_EQ(ring.Count(), nLen);
            EXPECT_EQ(ring.WriteIndex(), (nStart + nLen) % CAP) << nStart << " " << nLen;
            EXPECT_EQ(PeekAll(ring), by) << nStart << " " << nLen;
            ring.Consume(nLen);
            EXPECT_EQ(ring.ReadIndex(), (nStart + nLen) % CAP);
            EXPECT_TRUE(ring.IsEmpty());
        }
    }
}

TEST(CRingTest, FullRingTakesNothingMoreWhole)
{
    CRing ring;
    ASSERT_TRUE(ring.Allocate());
    ring.RestartAt(CAP - 3);
    const Bytes by = Series(CAP - 2);
    EXPECT_TRUE(ring.PutWhole(by.data(), CAP - 2));
    EXPECT_FALSE(ring.PutWhole(by.data(), 3)) << "one byte too many";
    EXPECT_EQ(ring.Count(), CAP - 2);
    EXPECT_TRUE(ring.PutWhole(by.data(), 2));
    EXPECT_EQ(ring.Space(), 0);
    EXPECT_FALSE(ring.PutWhole(by.data(), 1));
    Bytes expected = by;
    expected.insert(expected.end(), by.begin(), by.begin() + 2);
    EXPECT_EQ(PeekAll(ring), expected);
}

// A stream of uneven blocks in and out, as a connection moves them: the
// bytes come out whole and in order however often the ring wraps.
TEST(CRingTest, StreamThroughManyWraps)
{
    CRing ring;
    ASSERT_TRUE(ring.Allocate());
    const int nTotal = 5 * CAP + 123;
    const Bytes by = Series(nTotal);
    Bytes got;
    int nIn = 0;
    int nStep = 0;
    unsigned char buf[1600];
    while (static_cast<int>(got.size()) < nTotal)
    {
        const int nPut = std::min({ring.Space(), nTotal - nIn, 997 + (nStep * 131) % 1400});
        ring.Put(by.data() + nIn, nPut);
        nIn += nPut;
        const int n = ring.Peek(buf, 1 + (nStep * 577) % 1600);
        ring.Consume(n);
        got.insert(got.end(), buf, buf + n);
        ASSERT_LE(ring.Count(), CAP);
        ASSERT_EQ((ring.ReadIndex() + ring.Count()) % CAP, ring.WriteIndex());
        ++nStep;
    }
    EXPECT_EQ(got, by);
}

// Filled and emptied in place, through the runs, mixed with copies as the
// data path does: the runs never reach past the storage or over waiting
// bytes, and the stream comes out whole and in order.
TEST(CRingTest, RunsInPlaceKeepTheStreamWhole)
{
    CRing ring;
    ASSERT_TRUE(ring.Allocate());
    ring.RestartAt(CAP - 700);
    const int nTotal = 4 * CAP + 321;
    const Bytes by = Series(nTotal);
    Bytes got;
    int nIn = 0;
    unsigned char buf[1600];
    for (int nStep = 0; static_cast<int>(got.size()) < nTotal; ++nStep)
    {
        unsigned char* pFree = nullptr;
        const int nRun = ring.WritableRun(&pFree);
        ASSERT_LE(nRun, ring.Space());
        ASSERT_LE(pFree + nRun, ring.Storage() + CAP);
        const int nPut = std::min({nRun, nTotal - nIn, 1600});
        if (nStep % 3 == 2)
        {
            const int nCopy = std::min({ring.Space(), nTotal - nIn, 1600});
            ring.Put(by.data() + nIn, nCopy);
            nIn += nCopy;
        }
        else
        {
            memcpy(pFree, by.data() + nIn, static_cast<size_t>(nPut));
            ring.Commit(nPut);
            nIn += nPut;
        }
        const unsigned char* pWaiting = nullptr;
        const int nWaiting = ring.ReadableRun(&pWaiting);
        ASSERT_LE(nWaiting, ring.Count());
        ASSERT_LE(pWaiting + nWaiting, ring.Storage() + CAP);
        if (nStep % 2 == 0)
        {
            const int nTake = std::min(nWaiting, 1 + (nStep * 577) % 1600);
            got.insert(got.end(), pWaiting, pWaiting + nTake);
            ring.Consume(nTake);
        }
        else
        {
            const int n = ring.Peek(buf, 1600);
            got.insert(got.end(), buf, buf + n);
            ring.Consume(n);
        }
        ASSERT_EQ((ring.ReadIndex() + ring.Count()) % CAP, ring.WriteIndex());
    }
    EXPECT_EQ(got, by);
    const unsigned char* p = nullptr;
    EXPECT_EQ(ring.ReadableRun(&p), 0) << "nothing waits";
}
