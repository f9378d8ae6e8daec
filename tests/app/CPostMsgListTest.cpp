#include "app/CPostMsgList.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model/CPortRows.h"

namespace
{
// Walks the queue as the drain does and returns what it saw.
std::vector<_tag_postmsglist> Walk(CPostMsgList& list)
{
    std::vector<_tag_postmsglist> seen;
    for (const _tag_postmsglist* p = list.GetFirst(); p != nullptr; p = list.GetNext())
        seen.push_back(*p);
    return seen;
}
}  // namespace

TEST(CPostMsgListTest, WalkReturnsCopiesInArrivalOrder)
{
    CPostMsgList list;
    std::lock_guard<std::mutex> lock(list.m_cs);
    _tag_postmsglist entry{STATUS_PEER, 3, "10.1.2.3:4000"};
    EXPECT_EQ(list.Add(entry), 0);
    entry.strText = "changed";  // the queue keeps its own copy
    EXPECT_EQ(list.Add({STATUS_CONNECTED, 7, ""}), 1);
    EXPECT_EQ(list.Add({STATUS_NOT_CONNECT, 7, ""}), 2);

    const auto seen = Walk(list);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].nType, STATUS_PEER);
    EXPECT_EQ(seen[0].nParam, 3);
    EXPECT_EQ(seen[0].strText, "10.1.2.3:4000");
    EXPECT_EQ(seen[1].nType, STATUS_CONNECTED);
    EXPECT_EQ(seen[2].nType, STATUS_NOT_CONNECT);
    EXPECT_EQ(seen[2].nParam, 7);
}

TEST(CPostMsgListTest, CursorRules)
{
    CPostMsgList list;
    std::lock_guard<std::mutex> lock(list.m_cs);
    EXPECT_EQ(list.m_nPos, -1);
    EXPECT_EQ(list.m_bPosted, 0);

    // GetFirst on an empty queue leaves the cursor where it was.
    list.m_nPos = 5;
    EXPECT_EQ(list.GetFirst(), nullptr);
    EXPECT_EQ(list.m_nPos, 5);

    // Without a walk under way GetNext yields nothing.
    list.Add({STATUS_CONNECTING, 1, ""});
    list.Add({STATUS_CONNECTED, 2, ""});
    list.m_nPos = -1;
    EXPECT_EQ(list.GetNext(), nullptr);

    const _tag_postmsglist* p = list.GetFirst();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->nParam, 1);
    EXPECT_EQ(list.m_nPos, 0);
    p = list.GetNext();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->nParam, 2);
    EXPECT_EQ(list.m_nPos, 1);
    EXPECT_EQ(list.GetNext(), nullptr);  // past the end
    EXPECT_EQ(list.GetNext(), nullptr);  // and still past it

    list.RemoveAll();
    EXPECT_EQ(list.m_nPos, -1);
    EXPECT_EQ(list.GetFirst(), nullptr);

    // Usable again after a drain.
    EXPECT_EQ(list.Add({STATUS_UDP_STARTED, 9, ""}), 0);
    EXPECT_EQ(Walk(list).size(), 1u);
}

TEST(CPostMsgListTest, ConcurrentPostersLoseNothing)
{
    constexpr int THREADS = 8;
    constexpr int PER_THREAD = 500;
    CPostMsgList list;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&list, t] {
            for (int i = 0; i < PER_THREAD; ++i)
            {
                list.Lock();
                list.Add({t, i, std::to_string(i)});
                list.Unlock();
            }
        });
    for (auto& thread : threads)
        thread.join();

    std::lock_guard<std::mutex> lock(list.m_cs);
    std::vector<int> nextOf(THREADS, 0);
    const auto seen = Walk(list);
    EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * PER_THREAD));
    for (const auto& entry : seen)
    {
        ASSERT_TRUE(entry.nType >= 0 && entry.nType < THREADS);
        EXPECT_EQ(entry.nParam, nextOf[entry.nType]++);  // each poster's order kept
        EXPECT_EQ(entry.strText, std::to_string(entry.nParam));
    }
}

TEST(CPostMsgListTest, StatusTexts)
{
    const std::pair<int, const char*> defined[] = {
        {STATUS_NOT_CONNECT, "Not Connect"},      {STATUS_CREATE_ERROR, "Create Error"},
        {STATUS_CONNECT_ERROR, "Connect Error"},  {STATUS_NOT_SUPPORT, "Not support device"},
        {STATUS_CONNECTED, "Connected"},          {STATUS_CONNECTING, "Connecting"},
        {STATUS_RECONNECTED, "Connected"},        {STATUS_SSL_ERROR, "SSL Error"},
        {STATUS_SSL_CONNECTING, "SSL Connecting"}, {STATUS_LOGIN_PROCESS, "Login Process"},
        {STATUS_UDP_STARTED, "UDP Started"},      {STATUS_UDP_ERROR, "UDP Error"},
    };
    for (const auto& [nCode, pszText] : defined)
    {
        ASSERT_NE(StatusText(nCode), nullptr) << nCode;
        EXPECT_STREQ(StatusText(nCode), pszText) << nCode;
    }
    for (int nCode : {-1, -20, 12, 15, 19, STATUS_PEER, 21, 256, INT_MIN, INT_MAX})
        EXPECT_EQ(StatusText(nCode), nullptr) << nCode;
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
        CPortRows portRows;
        portRows.InsertRow(0, 4, CPortRows::RowTexts{});
        CPostMsgList list;
        auto drain = [&](_tag_postmsglist entry) {
            list.Lock();
            list.Add(std::move(entry));
            list.Unlock();
            list.DrainInto(portRows);
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
