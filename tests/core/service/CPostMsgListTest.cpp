// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPostMsgList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/service/CTaskLoop.h"
#include "core/model/CMailbox.h"
#include "core/model/CPortRows.h"
#include "tests/TestSupport.h"

TEST(CMailboxTest, OneWakeUpPerBurstAndEverythingInOrder)
{
    CMailbox<int> box;
    EXPECT_TRUE(box.Post(1)) << "the first entry begins a burst";
    EXPECT_FALSE(box.Post(2));
    EXPECT_FALSE(box.Post(3));
    EXPECT_EQ(box.TakeAll(), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(box.TakeAll().empty());
    EXPECT_TRUE(box.Post(4)) << "after a take, the next entry begins a new burst";
    EXPECT_EQ(box.TakeAll(), (std::vector<int>{4}));
}

TEST(CMailboxTest, ConcurrentPostersLoseNothingAndWakeOncePerBurst)
{
    constexpr int THREADS = 8;
    constexpr int PER_THREAD = 500;
    CMailbox<_tag_postmsglist> box;
    std::atomic<int> nWakes{0};
    std::atomic<bool> bDone{false};
    std::vector<_tag_postmsglist> seen;
    int nTakesWithEntries = 0;
    // The owner takes while the posters post, as the window does.
    std::thread owner([&] {
        while (!bDone)
        {
            std::vector<_tag_postmsglist> got = box.TakeAll();
            nTakesWithEntries += got.empty() ? 0 : 1;
            seen.insert(seen.end(), got.begin(), got.end());
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&box, &nWakes, t] {
            for (int i = 0; i < PER_THREAD; ++i)
                if (box.Post({t, i, std::to_string(i)}))
                    ++nWakes;
        });
    for (auto& thread : threads)
        thread.join();
    bDone = true;
    owner.join();
    std::vector<_tag_postmsglist> rest = box.TakeAll();
    nTakesWithEntries += rest.empty() ? 0 : 1;
    seen.insert(seen.end(), rest.begin(), rest.end());

    ASSERT_EQ(seen.size(), static_cast<size_t>(THREADS * PER_THREAD));
    std::vector<int> nextOf(THREADS, 0);
    for (const auto& entry : seen)
    {
        ASSERT_TRUE(entry.nType >= 0 && entry.nType < THREADS);
        EXPECT_EQ(entry.nParam, nextOf[entry.nType]++);  // each poster's order kept
        EXPECT_EQ(entry.strText, std::to_string(entry.nParam));
    }
    // Every burst woke the owner exactly once, and no take found a burst
    // nobody woke it for.
    EXPECT_EQ(nWakes.load(), nTakesWithEntries);
}

TEST(CPostMsgListTest, ABurstIsOneDrainThatAppliesEveryReportInOrder)
{
    CTaskLoop loop;
    CPortRows rows;
    CPortView view;
    view.nPort = 4;
    view.nMode = MODE_TCP_SERVER;
    rows.InsertRow(0, view);
    std::vector<std::tuple<int, int, std::string>> calls;
    testsupport::CCellListener listener([&](int nRow, int nCol, const std::string& strText) {
        calls.emplace_back(nRow, nCol, strText);
    });
    rows.SetListener(&listener);

    CPostMsgList list;
    std::thread worker([&] {
        list.PostTo({STATUS_CONNECTING, 4, ""}, loop, rows);
        list.PostTo({STATUS_CONNECT_ERROR, 4, "connect 10.0.0.1:23: Connection refused"}, loop, rows);
        list.PostTo({STATUS_PEER, 4, "10.0.0.9:4000"}, loop, rows);
        list.PostTo({STATUS_LOCAL, 4, "7001"}, loop, rows);
        list.PostTo({STATUS_COM_PORT, 4, "offered to the peer"}, loop, rows);
        list.PostTo({STATUS_LOCAL, 4, "not a number"}, loop, rows);  // ignored
        list.PostTo({STATUS_CONNECTED, 9, ""}, loop, rows);           // no row: ignored
        list.PostTo({99, 4, "x"}, loop, rows);                        // no such code: ignored
    });
    worker.join();
    EXPECT_EQ(loop.RunPending(), 1) << "one drain for the whole burst";
    const std::vector<std::tuple<int, int, std::string>> expected = {
        {0, COL_CONNECTION, "Connecting"},
        {0, COL_CONNECTION, "Connect Error"},
        {0, COL_REASON, "connect 10.0.0.1:23: Connection refused"},
        {0, COL_PEER, "10.0.0.9:4000"},
        {0, COL_LOCAL, "7001"},
        {0, COL_COMPORT, "offered to the peer"},
    };
    EXPECT_EQ(calls, expected);

    // The next report is a burst of its own; a state without a reason
    // clears the one shown.
    list.PostTo({STATUS_CONNECTED, 4, ""}, loop, rows);
    EXPECT_EQ(loop.RunPending(), 1);
    EXPECT_EQ(rows.GetItemText(0, COL_CONNECTION), "Connected");
    EXPECT_EQ(rows.GetItemText(0, COL_REASON), "");
    EXPECT_EQ(rows.GetItemText(0, COL_COMPORT), "offered to the peer") << "a state leaves it alone";
    rows.SetListener(nullptr);
}

// A report without a reason, after a failure's: a success or another
// failure clears the reason shown, an idle port or an attempt under way
// leaves it for the user to read.
TEST(CPostMsgListTest, AReasonStaysUntilAnAttemptSucceedsOrFailsOtherwise)
{
    const std::string strRefused = "connect 127.0.0.1:1: Connection refused";
    const std::pair<int, const char*> rows[] = {
        {STATUS_NOT_CONNECT, strRefused.c_str()},    {STATUS_CONNECTING, strRefused.c_str()},
        {STATUS_SSL_CONNECTING, strRefused.c_str()}, {STATUS_LOGIN_PROCESS, strRefused.c_str()},
        {STATUS_CONNECTED, ""},                      {STATUS_RECONNECTED, ""},
        {STATUS_UDP_STARTED, ""},                    {STATUS_CREATE_ERROR, ""},
        {STATUS_CONNECT_ERROR, ""},                  {STATUS_NOT_SUPPORT, ""},
        {STATUS_SSL_ERROR, ""},                      {STATUS_UDP_ERROR, ""},
    };
    for (const auto& [nCode, pszLeft] : rows)
    {
        CTaskLoop loop;
        CPortRows portRows;
        CPortView view;
        view.nPort = 4;
        portRows.InsertRow(0, view);
        CPostMsgList list;
        auto drain = [&](_tag_postmsglist entry) {
            list.PostTo(std::move(entry), loop, portRows);
            loop.RunPending();
        };
        drain({STATUS_CONNECT_ERROR, 4, strRefused});
        ASSERT_EQ(portRows.GetItemText(0, COL_REASON), strRefused);
        drain({nCode, 4, ""});
        EXPECT_EQ(portRows.GetItemText(0, COL_REASON), pszLeft) << StatusText(nCode);
        EXPECT_EQ(portRows.GetItemText(0, COL_CONNECTION), StatusText(nCode));
        // A reason of its own always replaces the one shown.
        drain({nCode, 4, "lost"});
        EXPECT_EQ(portRows.GetItemText(0, COL_REASON), "lost") << StatusText(nCode);
    }
}

