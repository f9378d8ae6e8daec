// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CCaptureRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

std::string Burst(size_t n, unsigned nSeed)
{
    std::string str(n, '\0');
    for (size_t k = 0; k < n; ++k)
        str[k] = static_cast<char>((k * 31 + nSeed * 7) & 0xFF);
    return str;
}

bool PutBurst(CCaptureRing& ring, ECapture kind, const std::string& str)
{
    return ring.PutNoWait(kind, reinterpret_cast<const unsigned char*>(str.data()), str.size());
}

}  // namespace

TEST(CCaptureRingTest, RecordsComeOutInOrderWithKindTimeAndBytesAcrossTheWrap)
{
    CCaptureRing ring(4096);
    ASSERT_EQ(ring.Size(), 4096u);
    // Many rounds of odd-sized records so that headers and data straddle the end.
    uint64_t nLastTime = 0;
    for (unsigned nRound = 0; nRound < 50; ++nRound)
    {
        const std::string a = Burst(700 + nRound, nRound);
        const std::string b = Burst(333, nRound + 100);
        ASSERT_TRUE(PutBurst(ring, ECapture::ToPeer, a));
        ASSERT_TRUE(ring.PutEvent("event " + std::to_string(nRound)));
        ASSERT_TRUE(PutBurst(ring, ECapture::FromPeer, b));
        std::vector<CCaptureRecord> out;
        ASSERT_EQ(ring.Drain(&out), 3u);
        EXPECT_EQ(out[0].m_kind, ECapture::ToPeer);
        EXPECT_EQ(out[0].m_data, a);
        EXPECT_EQ(out[1].m_kind, ECapture::Event);
        EXPECT_EQ(out[1].m_data, "event " + std::to_string(nRound));
        EXPECT_EQ(out[2].m_kind, ECapture::FromPeer);
        EXPECT_EQ(out[2].m_data, b);
        EXPECT_GE(out[0].m_nTimeNs, nLastTime);
        EXPECT_LE(out[0].m_nTimeNs, out[2].m_nTimeNs);
        nLastTime = out[2].m_nTimeNs;
        EXPECT_EQ(ring.Pending(), 0u);
    }
    EXPECT_EQ(ring.LostBytes(), 0u);
}

TEST(CCaptureRingTest, WhatDoesNotFitIsCountedAndMarkedWhereItWasLost)
{
    CCaptureRing ring(4096);
    const std::string burst = Burst(1000, 1);
    int nKept = 0;
    for (int k = 0; k < 10; ++k)
        nKept += PutBurst(ring, ECapture::ToPeer, burst) ? 1 : 0;
    EXPECT_EQ(nKept, 4) << "four records of 1000 bytes and their headers fill 4096";
    EXPECT_FALSE(ring.PutEvent("an event too long for the 32 bytes left"));
    EXPECT_EQ(ring.LostBytes(), 6000u);

    // Drained to the end: the loss comes after what was kept before it.
    std::vector<CCaptureRecord> out;
    ASSERT_EQ(ring.Drain(&out), 5u);
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(out[k].m_data, burst);
    EXPECT_EQ(out[4].m_kind, ECapture::Lost);
    EXPECT_EQ(out[4].m_nLostBytes, 6000u);
    EXPECT_EQ(out[4].m_nLostEvents, 1u);

    // Told once: room again, and no loss to report.
    out.clear();
    ASSERT_TRUE(PutBurst(ring, ECapture::FromPeer, burst));
    ASSERT_EQ(ring.Drain(&out), 1u);
    EXPECT_EQ(out[0].m_kind, ECapture::FromPeer);

    // A loss followed by a record that fits stands before that record.
    out.clear();
    for (int k = 0; k < 5; ++k)
        PutBurst(ring, ECapture::ToPeer, burst);
    ASSERT_EQ(ring.Drain(&out, 1), 1u);  // room for one more
    ASSERT_TRUE(ring.PutEvent("after"));
    out.clear();
    ring.Drain(&out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2].m_kind, ECapture::Lost);
    EXPECT_EQ(out[out.size() - 2].m_nLostBytes, 1000u);
    EXPECT_EQ(out.back().m_data, "after");
}

TEST(CCaptureRingTest, DrainTakesAtMostWhatItIsAskedFor)
{
    CCaptureRing ring(8192);
    for (int k = 0; k < 5; ++k)
        ASSERT_TRUE(ring.PutEvent(std::to_string(k)));
    std::vector<CCaptureRecord> out;
    EXPECT_EQ(ring.Drain(&out, 2), 2u);
    EXPECT_EQ(ring.Drain(&out, 10), 3u);
    ASSERT_EQ(out.size(), 5u);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(out[static_cast<size_t>(k)].m_data, std::to_string(k));
}

TEST(CCaptureRingTest, AnOversizedRecordKeepsItsStart)
{
    CCaptureRing ring(4 * CCaptureRing::MAX_RECORD);
    const std::string big = Burst(CCaptureRing::MAX_RECORD + 500, 3);
    ASSERT_TRUE(PutBurst(ring, ECapture::FromPeer, big));
    std::vector<CCaptureRecord> out;
    ASSERT_EQ(ring.Drain(&out), 1u);
    EXPECT_EQ(out[0].m_data, big.substr(0, CCaptureRing::MAX_RECORD));
}

// A writer faster than the reader: every record that comes out is whole
// and in order, and what was kept and what was counted add up.
TEST(CCaptureRingTest, AFloodAgainstASlowReaderKeepsOrderAndCountsTheRest)
{
    CCaptureRing ring(16384);
    constexpr uint32_t COUNT = 200000;
    constexpr size_t LEN = 64;
    std::atomic<bool> bDone{false};
    std::thread writer([&] {
        unsigned char buf[LEN];
        for (uint32_t n = 0; n < COUNT; ++n)
        {
            std::memset(buf, static_cast<int>(n & 0xFF), LEN);
            std::memcpy(buf, &n, sizeof(n));
            ring.PutNoWait(ECapture::ToPeer, buf, LEN);
        }
        bDone = true;
    });
    // A second writer, as the owner thread's events are.
    std::thread events([&] {
        for (int k = 0; k < 2000; ++k)
            ring.PutEvent("e");
    });
    uint64_t nKept = 0;
    uint64_t nLost = 0;
    uint64_t nEvents = 0;
    uint64_t nLostEvents = 0;
    int64_t nLast = -1;
    std::vector<CCaptureRecord> out;
    for (bool bLast = false; !bLast;)
    {
        bLast = bDone;
        out.clear();
        ring.Drain(&out, 100);
        for (const CCaptureRecord& rec : out)
        {
            if (rec.m_kind == ECapture::Lost)
            {
                nLost += rec.m_nLostBytes;
                nLostEvents += rec.m_nLostEvents;
                continue;
            }
            if (rec.m_kind == ECapture::Event)
            {
                ++nEvents;
                continue;
            }
            ASSERT_EQ(rec.m_data.size(), LEN);
            uint32_t n = 0;
            std::memcpy(&n, rec.m_data.data(), sizeof(n));
            ASSERT_GT(static_cast<int64_t>(n), nLast);
            ASSERT_EQ(static_cast<unsigned char>(rec.m_data[LEN - 1]), n & 0xFF);
            nLast = n;
            nKept += LEN;
        }
        if (!bLast)
            std::this_thread::yield();
        else if (ring.Pending() != 0)
            bLast = false;
    }
    writer.join();
    events.join();
    out.clear();
    ring.Drain(&out);
    for (const CCaptureRecord& rec : out)
    {
        if (rec.m_kind == ECapture::Lost)
        {
            nLost += rec.m_nLostBytes;
            nLostEvents += rec.m_nLostEvents;
        }
        else if (rec.m_kind == ECapture::Event)
            ++nEvents;
        else
            nKept += LEN;
    }
    EXPECT_EQ(nKept + nLost, uint64_t{COUNT} * LEN);
    EXPECT_EQ(nEvents + nLostEvents, 2000u);
    EXPECT_EQ(nLost, ring.LostBytes());
    EXPECT_GT(nKept, 0u);
}
