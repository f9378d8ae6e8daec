// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPortMonitor.h"

#include <algorithm>

#include "tests/core/engine/WorkerFixture.h"

namespace
{

std::string AllByteValues(bool bReversed)
{
    std::string str;
    for (int k = 0; k < 256; ++k)
        str += static_cast<char>(bReversed ? 255 - k : k);
    return str;
}

// What a monitor showed, split by kind.
struct SSeen
{
    std::string toPeer;
    std::string fromPeer;
    std::vector<std::string> events;
    std::vector<ECapture> order;  // the kinds in order, data bursts merged
    uint64_t nLostBytes = 0;
    size_t nBeforeLoss = SIZE_MAX;  // bytes to the peer before the first loss

    void Add(const std::vector<CCaptureRecord>& records)
    {
        for (const CCaptureRecord& rec : records)
        {
            if (order.empty() || order.back() != rec.m_kind || rec.m_kind == ECapture::Event)
                order.push_back(rec.m_kind);
            switch (rec.m_kind)
            {
            case ECapture::ToPeer: toPeer += rec.m_data; break;
            case ECapture::FromPeer: fromPeer += rec.m_data; break;
            case ECapture::Event: events.push_back(rec.m_data); break;
            case ECapture::Lost:
                nLostBytes += rec.m_nLostBytes;
                nBeforeLoss = std::min(nBeforeLoss, toPeer.size());
                break;
            }
        }
    }
    int IndexOf(const std::string& strEvent) const
    {
        const auto it = std::find(events.begin(), events.end(), strEvent);
        return it == events.end() ? -1 : static_cast<int>(it - events.begin());
    }
};

class CPortMonitorTest : public WorkerTest
{
protected:
    void TearDown() override
    {
        m_monitor.reset();
        WorkerTest::TearDown();
    }

    // A client port connected to a fresh peer with an application on it.
    void Connect()
    {
        const int hListen = StartClientWithListener(PORT);
        m_hApp = OpenApp(PORT);
        ASSERT_GE(m_hApp, 0);
        m_hPeer = Accept(hListen);
        ASSERT_GE(m_hPeer, 0);
        m_vecClose.push_back(m_hPeer);
        ASSERT_TRUE(WaitConn(PORT, "Connected"));
    }

    void Take(const std::shared_ptr<CMonitorTap>& pTap)
    {
        m_monitor->Poll();
        m_seen.Add(pTap->Take());
    }

    std::unique_ptr<CPortMonitor> m_monitor = std::make_unique<CPortMonitor>(m_core.m_ports);
    int m_hApp = -1;
    int m_hPeer = -1;
    SSeen m_seen;
};

}  // namespace

TEST_F(CPortMonitorTest, BothDirectionsAppearExactlyAndInOrderWithTheEventsAround)
{
    auto pTap = m_monitor->Open(PORT);
    ASSERT_TRUE(pTap);
    EXPECT_TRUE(m_monitor->IsWatched(PORT));
    EXPECT_FALSE(m_monitor->IsWatched(PORT + 1));
    ASSERT_NO_FATAL_FAILURE(Connect());

    const std::string strOut = AllByteValues(false);
    const std::string strIn = AllByteValues(true);
    ASSERT_TRUE(WriteAll(m_hApp, strOut));
    ASSERT_EQ(ReadFor(m_hPeer, 256), strOut);
    ASSERT_TRUE(WriteAll(m_hPeer, strIn));
    ASSERT_EQ(ReadFor(m_hApp, 256), strIn);
    // Both written data all: take until the last byte was seen.
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            Take(pTap);
            return m_seen.fromPeer.size() >= 256;
        },
        5s));
    EXPECT_EQ(m_seen.toPeer, strOut);
    EXPECT_EQ(m_seen.fromPeer, strIn);
    EXPECT_EQ(m_seen.nLostBytes, 0u);

    CloseApp(m_hApp);
    ASSERT_TRUE(WaitConn(PORT, "Not Connect"));
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            Take(pTap);
            return m_seen.IndexOf("Not Connect") >= 0;
        },
        5s));
    const int nOpened = m_seen.IndexOf("The application opened the port");
    const int nConnected = m_seen.IndexOf("Connected");
    const int nClosed = m_seen.IndexOf("The application closed the port");
    ASSERT_GE(nOpened, 0);
    ASSERT_GT(nConnected, nOpened);
    ASSERT_GT(nClosed, nConnected);
    // The data lies between the connect and the close.
    const auto itTo = std::find(m_seen.order.begin(), m_seen.order.end(), ECapture::ToPeer);
    const auto itFrom = std::find(m_seen.order.begin(), m_seen.order.end(), ECapture::FromPeer);
    ASSERT_NE(itTo, m_seen.order.end());
    EXPECT_LT(itTo, itFrom);
}

TEST_F(CPortMonitorTest, AnUnwatchedPortCapturesNothing)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(WriteAll(m_hApp, "before"));
    ASSERT_EQ(ReadFor(m_hPeer, 6), "before");
    EXPECT_EQ(m_core.GetWorker(PORT).GetCapture(), nullptr);

    auto pTap = m_monitor->Open(PORT);
    EXPECT_NE(m_core.GetWorker(PORT).GetCapture(), nullptr);
    ASSERT_TRUE(WriteAll(m_hApp, "after"));
    ASSERT_EQ(ReadFor(m_hPeer, 5), "after");
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            Take(pTap);
            return m_seen.toPeer.size() >= 5;
        },
        5s));
    EXPECT_EQ(m_seen.toPeer, "after") << "nothing from before the monitor was opened";

    // Two readers of one port both see everything; the port captures until
    // the last one closes.
    auto pSecond = m_monitor->Open(PORT);
    ASSERT_TRUE(WriteAll(m_hPeer, "both"));
    ASSERT_EQ(ReadFor(m_hApp, 4), "both");
    SSeen second;
    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            Take(pTap);
            second.Add(pSecond->Take());
            return second.fromPeer.size() >= 4;
        },
        5s));
    EXPECT_EQ(m_seen.fromPeer, "both");
    EXPECT_EQ(second.fromPeer, "both");
    m_monitor->Close(pTap);
    EXPECT_TRUE(m_monitor->IsWatched(PORT));
    EXPECT_NE(m_core.GetWorker(PORT).GetCapture(), nullptr);
    // A reader that is merely dropped counts as closed at the next drain.
    pSecond.reset();
    m_monitor->Poll();
    EXPECT_FALSE(m_monitor->IsWatched(PORT));
    EXPECT_EQ(m_core.GetWorker(PORT).GetCapture(), nullptr);
}

// The application writes much faster than anybody takes the monitor's
// records: the monitor loses and counts, the peer gets every byte.
TEST_F(CPortMonitorTest, AFloodFasterThanTheMonitorIsCountedAndTheDataStaysIntact)
{
    auto pTap = m_monitor->Open(PORT);
    ASSERT_NO_FATAL_FAILURE(Connect());
    const std::string strFlood = Pattern(4 << 20, 7);
    std::thread writer([&] { EXPECT_TRUE(WriteAll(m_hApp, strFlood, 20000)); });
    const std::string strGot = ReadFor(m_hPeer, strFlood.size(), 20000);
    writer.join();
    ASSERT_EQ(strGot.size(), strFlood.size());
    EXPECT_TRUE(strGot == strFlood) << "the port's data is intact";

    ASSERT_TRUE(m_loop.RunUntil(
        [&] {
            Take(pTap);
            return m_seen.toPeer.size() + m_seen.nLostBytes >= strFlood.size();
        },
        5s));
    EXPECT_EQ(m_seen.toPeer.size() + m_seen.nLostBytes, strFlood.size());
    EXPECT_GT(m_seen.nLostBytes, 0u) << "4 MiB do not fit a 1 MiB ring nobody drained";
    EXPECT_LE(m_seen.toPeer.size(), CCaptureRing::DEFAULT_SIZE);
    // What was kept before the loss is the flood's start, byte for byte.
    ASSERT_LE(m_seen.nBeforeLoss, m_seen.toPeer.size());
    EXPECT_GT(m_seen.nBeforeLoss, 0u);
    EXPECT_TRUE(strFlood.compare(0, m_seen.nBeforeLoss, m_seen.toPeer, 0, m_seen.nBeforeLoss) == 0);
}

// Monitors come and go, and the application leaves, while data floods
// both ways and a reader drains on a thread of its own.
TEST_F(CPortMonitorTest, ClosingAMonitorOrTheApplicationMidFloodLeavesNothingBehind)
{
    ASSERT_NO_FATAL_FAILURE(Connect());
    std::atomic<bool> bStop{false};
    std::shared_ptr<CMonitorTap> pTap = m_monitor->Open(PORT);
    std::mutex csTap;  // guards pTap between the test and the reader
    std::thread reader([&] {
        while (!bStop)
        {
            m_monitor->Poll();
            std::shared_ptr<CMonitorTap> p;
            {
                std::lock_guard<std::mutex> lock(csTap);
                p = pTap;
            }
            if (p)
                p->Take();
            std::this_thread::sleep_for(1ms);
        }
    });
    const std::string strChunk = Pattern(64 << 10, 3);
    // The application writes until it is told to leave, and then closes
    // the port in the middle of its flood.
    std::atomic<bool> bLeave{false};
    std::erase(m_vecClose, m_hApp);
    std::thread appWriter([&, h = m_hApp] {
        for (int k = 0; k < 40 && !bLeave; ++k)
            if (!WriteAll(h, strChunk, 2000))
                break;
        close(h);
    });
    std::thread peerWriter([&, h = m_hPeer] {
        for (int k = 0; k < 40 && !bStop; ++k)
            if (!WriteAll(h, strChunk, 2000))
                break;
    });
    std::thread peerReader([&, h = m_hPeer] {
        char buf[65536];
        while (!bStop)
            if (WaitReadable(h, 50) && read(h, buf, sizeof(buf)) <= 0)
                break;
    });
    for (int k = 0; k < 20; ++k)
    {
        m_loop.RunUntil([] { return false; }, 10ms);
        std::lock_guard<std::mutex> lock(csTap);
        if (pTap)
        {
            m_monitor->Close(pTap);
            pTap.reset();
        }
        else
        {
            pTap = m_monitor->Open(PORT);
        }
    }
    {
        std::lock_guard<std::mutex> lock(csTap);
        if (!pTap)
            pTap = m_monitor->Open(PORT);
    }
    // The application leaves in the middle of it.
    bLeave = true;
    appWriter.join();
    ASSERT_TRUE(WaitState(PORT, EWorkerState::Idle, 20s));
    bStop = true;
    peerWriter.join();
    peerReader.join();
    reader.join();
    m_monitor->Close(pTap);
    EXPECT_FALSE(m_monitor->IsWatched(PORT));
    EXPECT_EQ(m_core.GetWorker(PORT).GetCapture(), nullptr);
    // The port works on as before.
    m_hApp = OpenApp(PORT);
    ASSERT_GE(m_hApp, 0);
}

TEST(CMonitorTapTest, AReaderThatFallsBehindLosesWhereItFellBehind)
{
    CMonitorTap tap(3, 100);
    EXPECT_EQ(tap.Port(), 3);
    std::vector<CCaptureRecord> records(4);
    for (size_t k = 0; k < records.size(); ++k)
    {
        records[k].m_kind = ECapture::ToPeer;
        records[k].m_data = std::string(40, static_cast<char>('a' + k));
    }
    records[3].m_kind = ECapture::Event;
    tap.Add(records);  // 40 + 40 kept, the third and the event are lost
    std::vector<CCaptureRecord> one(1);
    one[0].m_kind = ECapture::FromPeer;
    one[0].m_data = "x";
    const std::vector<CCaptureRecord> first = tap.Take();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].m_data, std::string(40, 'a'));
    EXPECT_EQ(first[1].m_data, std::string(40, 'b'));
    EXPECT_EQ(first[2].m_kind, ECapture::Lost) << "a loss at the end is told once the queue is empty";
    EXPECT_EQ(first[2].m_nLostBytes, 40u);
    EXPECT_EQ(first[2].m_nLostEvents, 1u);
    EXPECT_FALSE(tap.HasRecords());

    // A loss in the middle stands where it happened, before the record
    // that found room again.
    tap.Add(records);
    tap.Add(one);
    const std::vector<CCaptureRecord> second = tap.Take(10);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(second[1].m_data, std::string(40, 'b'));
    EXPECT_EQ(second[2].m_kind, ECapture::Lost);
    EXPECT_EQ(second[2].m_nLostBytes, 40u);
    EXPECT_EQ(second[3].m_data, "x");
    // Taken a few at a time, nothing is skipped.
    tap.Add(records);
    EXPECT_EQ(tap.Take(1).size(), 1u);
    EXPECT_EQ(tap.Take(1).front().m_data, std::string(40, 'b'));
    EXPECT_EQ(tap.Take(1).front().m_kind, ECapture::Lost);
    EXPECT_TRUE(tap.Take().empty());
}
