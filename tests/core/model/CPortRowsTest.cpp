// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortRows.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "core/model/CPortTexts.h"
#include "core/model/PortStatus.h"
#include "tests/TestSupport.h"

namespace
{
// A port's row whose cells differ from every other port's.
CPortView ViewFor(int nPort)
{
    CPortView view;
    view.nPort = nPort;
    view.nMode = MODE_UDP;
    view.strAddress = "10.0.0." + std::to_string(nPort);
    view.nPeerPort = 1000 + nPort;
    view.nLocalPort = 2000 + nPort;
    return view;
}

std::string CellFor(int nPort, int nCol)
{
    return CPortTexts::Cell(ViewFor(nPort), nCol);
}

std::vector<int> ItemDataInOrder(const CPortRows& rows)
{
    std::vector<int> order;
    for (int nRow = 0; nRow < rows.GetRowCount(); ++nRow)
        order.push_back(rows.GetItemData(nRow));
    return order;
}
}  // namespace

TEST(CPortRowsTest, RowsAreFoundByItemDataAfterInsertsAndDeletes)
{
    CPortRows rows;
    EXPECT_EQ(rows.InsertRow(0, ViewFor(5)), 0);
    EXPECT_EQ(rows.InsertRow(1, ViewFor(2)), 1);
    EXPECT_EQ(rows.InsertRow(99, ViewFor(9)), 2);  // past the end: appended
    EXPECT_EQ(rows.InsertRow(1, ViewFor(7)), 1);   // in the middle
    EXPECT_EQ(rows.InsertRow(0, ViewFor(0)), 0);   // at the front
    EXPECT_EQ(rows.InsertRow(-1, ViewFor(3)), -1);
    EXPECT_EQ(ItemDataInOrder(rows), (std::vector<int>{0, 5, 7, 2, 9}));

    EXPECT_TRUE(rows.DeleteRow(2));  // item 7
    EXPECT_EQ(ItemDataInOrder(rows), (std::vector<int>{0, 5, 2, 9}));
    EXPECT_FALSE(rows.DeleteRow(4));
    EXPECT_FALSE(rows.DeleteRow(-1));

    // Each row still holds its own texts after the moves.
    for (int nItem : {0, 5, 2, 9})
    {
        const int nRow = rows.FindRow(nItem);
        ASSERT_GE(nRow, 0) << nItem;
        EXPECT_EQ(rows.GetItemData(nRow), nItem);
        for (int nCol = 0; nCol < COL_COUNT; ++nCol)
            EXPECT_EQ(rows.GetItemText(nRow, nCol), CellFor(nItem, nCol));
    }
    EXPECT_EQ(rows.FindRow(7), -1);
    EXPECT_EQ(rows.FindRow(3), -1);

    rows.DeleteAll();
    EXPECT_EQ(rows.GetRowCount(), 0);
    EXPECT_EQ(rows.FindRow(0), -1);
}

TEST(CPortRowsTest, OutOfRangeCellsReadEmptyAndRefuseWrites)
{
    CPortRows rows;
    rows.InsertRow(0, ViewFor(4));
    int nCalls = 0;
    testsupport::CCellListener listener([&nCalls](int, int, const std::string&) { ++nCalls; });
    rows.SetListener(&listener);

    const std::tuple<int, int> cells[] = {{-1, 0}, {1, 0}, {0, -1}, {0, COL_REASON + 1}, {INT_MIN, INT_MAX}};
    for (const auto& [nRow, nCol] : cells)
    {
        EXPECT_EQ(rows.GetItemText(nRow, nCol), "") << nRow << "," << nCol;
    }
    for (int nRow : {-1, 1, INT_MIN})
        EXPECT_FALSE(rows.Change(nRow, [](CPortView& view) { view.strReason = "x"; })) << nRow;
    EXPECT_EQ(rows.GetView(1), nullptr);
    EXPECT_EQ(rows.GetItemData(-1), -1);
    EXPECT_EQ(rows.GetItemData(1), -1);
    EXPECT_EQ(nCalls, 0);
    EXPECT_EQ(rows.GetItemText(0, COL_STOP), "-----");
}

// Rows of ports 1 and 2 whose listener records every changed cell.
struct SRecordedRows
{
    SRecordedRows()
    {
        rows.InsertRow(0, ViewFor(1));
        rows.InsertRow(1, ViewFor(2));
        rows.SetListener(&listener);
    }
    CPortRows rows;
    std::vector<std::tuple<int, int, std::string>> calls;
    testsupport::CCellListener listener{[this](int nRow, int nCol, const std::string& strText) {
        calls.emplace_back(nRow, nCol, strText);
    }};
};

TEST(CPortRowsTest, ChangeReportsEveryCellWhoseTextChangedAndNothingElse)
{
    SRecordedRows recorded;
    CPortRows& rows = recorded.rows;
    auto& calls = recorded.calls;

    EXPECT_TRUE(rows.Change(1, [](CPortView& view) { view.connection = EConnectionState::Connected; }));
    // Reconnected reads as Connected: no new text, no report.
    EXPECT_FALSE(rows.Change(1, [](CPortView& view) { view.connection = *ConnectionOfStatus(STATUS_RECONNECTED); }));
    // A change that touches no text (the enable flag has no cell text).
    EXPECT_FALSE(rows.Change(0, [](CPortView& view) { view.bEnabled = true; }));
    EXPECT_TRUE(rows.GetView(0)->bEnabled);
    // Several cells at once, in column order.
    EXPECT_TRUE(rows.Change(0, [](CPortView& view) {
        view.line = SLineControl{8, 2, 2};
        view.nBaudRate = 115200;
    }));

    const std::vector<std::tuple<int, int, std::string>> expected = {
        {1, COL_CONNECTION, "Connected"}, {0, COL_BAUDRATE, "115200"}, {0, COL_DATA, "8"},
        {0, COL_PARITY, "Even"},          {0, COL_STOP, "2"},
    };
    EXPECT_EQ(calls, expected);
    // The neighbours are untouched.
    EXPECT_EQ(rows.GetItemText(0, COL_CONNECTION), "Not Connect");
    EXPECT_EQ(rows.GetItemText(1, COL_BAUDRATE), "--------");
}

TEST(CPortTextsTest, ARowBeforeStartByMode)
{
    struct SCase
    {
        int nIndex;
        int nMode;
        const char* pszPort;
        const char* pszMode;
        const char* pszPeer;
        const char* pszLocal;
    };
    const SCase cases[] = {
        {0, MODE_TCP_CLIENT, "COM1", "Client", "192.168.0.10:4001", "-----"},
        {41, MODE_TCP_SERVER, "COM42", "Server", "----------", "5002"},
        {255, MODE_UDP, "COM256", "UDP", "192.168.0.10:4001", "5002"},
        {9, 7, "COM10", "UDP", "192.168.0.10:4001", "5002"},  // unknown modes show as UDP
    };
    for (const SCase& c : cases)
    {
        CPortEntry entry;
        entry.m_strIPAddress = "192.168.0.10";
        entry.m_nPeerPort = 4001;
        entry.m_nLocPort = 5002;
        entry.m_nMode = c.nMode;
        const CPortView view = CPortView::FromEntry(c.nIndex, entry);
        SCOPED_TRACE(c.pszPort);
        const std::vector<std::string> expected = {c.pszPort,     "None",     c.pszMode, c.pszPeer, c.pszLocal,
                                                   "Not Connect", "--------", "-----",   "-----",   "-----"};
        for (int nCol = 0; nCol < COL_COUNT; ++nCol)
            EXPECT_EQ(CPortTexts::Cell(view, nCol), expected[static_cast<size_t>(nCol)]) << COL_TITLES[nCol];
        EXPECT_EQ(CPortTexts::Cell(view, COL_REASON), "");
    }
    CPortEntry v6;
    v6.m_strIPAddress = "fe80::1";
    v6.m_nPeerPort = 23;
    EXPECT_EQ(CPortTexts::Cell(CPortView::FromEntry(0, v6), COL_PEER), "[fe80::1]:23");
}

// Every status a worker reports, as the list shows it and with its lamp.
TEST(CPortTextsTest, EveryStatusItsTextAndLamp)
{
    struct SRow
    {
        int nCode;
        const char* pszText;
        ELamp lamp;
    };
    const SRow rows[] = {
        {STATUS_NOT_CONNECT, "Not Connect", ELamp::Idle},
        {STATUS_CREATE_ERROR, "Create Error", ELamp::Error},
        {STATUS_CONNECT_ERROR, "Connect Error", ELamp::Error},
        {STATUS_NOT_SUPPORT, "Not support device", ELamp::Error},
        {STATUS_CONNECTED, "Connected", ELamp::Ok},
        {STATUS_CONNECTING, "Connecting", ELamp::Idle},
        {STATUS_RECONNECTED, "Connected", ELamp::Ok},
        {STATUS_SSL_ERROR, "SSL Error", ELamp::Error},
        {STATUS_SSL_CONNECTING, "SSL Connecting", ELamp::Idle},
        {STATUS_LOGIN_PROCESS, "Login Process", ELamp::Idle},
        {STATUS_UDP_STARTED, "UDP Started", ELamp::Ok},
        {STATUS_UDP_ERROR, "UDP Error", ELamp::Error},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.nCode);
        const std::optional<EConnectionState> state = ConnectionOfStatus(row.nCode);
        ASSERT_TRUE(state.has_value());
        CPortView view;
        view.connection = *state;
        EXPECT_EQ(CPortTexts::Cell(view, COL_CONNECTION), row.pszText);
        EXPECT_STREQ(StatusText(row.nCode), row.pszText);
        EXPECT_EQ(CPortTexts::Lamp(view, COL_CONNECTION), row.lamp);
    }
    for (int nCode : {-1, STATUS_UDP_ERROR + 1, STATUS_PEER, STATUS_LOCAL})
    {
        EXPECT_FALSE(ConnectionOfStatus(nCode).has_value()) << nCode;
        EXPECT_EQ(StatusText(nCode), nullptr) << nCode;
    }
    CPortView view;
    const std::pair<ECreateState, ELamp> creates[] = {
        {ECreateState::None, ELamp::Idle}, {ECreateState::Created, ELamp::Ok}, {ECreateState::Error, ELamp::Error}};
    for (const auto& [create, lamp] : creates)
    {
        view.create = create;
        EXPECT_EQ(CPortTexts::Lamp(view, COL_CREATE), lamp);
    }
    for (int nCol : {COL_PORT, COL_MODE, COL_PEER, COL_BAUDRATE, COL_STOP})
        EXPECT_EQ(CPortTexts::Lamp(view, nCol), ELamp::None);
}

TEST(CPortTextsTest, SerialSettingsAndAServersPeer)
{
    CPortView view;
    view.nMode = MODE_TCP_SERVER;
    view.strAcceptedPeer = "[::1]:40000";
    view.nLocalPort = 7001;
    view.nBaudRate = 9600;
    view.line = SLineControl{7, 4, 1};
    EXPECT_EQ(CPortTexts::Cell(view, COL_PEER), "[::1]:40000");
    EXPECT_EQ(CPortTexts::Cell(view, COL_LOCAL), "7001");
    EXPECT_EQ(CPortTexts::Cell(view, COL_BAUDRATE), "9600");
    EXPECT_EQ(CPortTexts::Cell(view, COL_DATA), "7");
    EXPECT_EQ(CPortTexts::Cell(view, COL_PARITY), "Space");
    EXPECT_EQ(CPortTexts::Cell(view, COL_STOP), "1.5");
    // Values no program can set still read as something.
    EXPECT_EQ(CPortTexts::ParityText(9), "9");
    EXPECT_EQ(CPortTexts::StopBitsText(-1), "-1");
}

// An item model brackets every change: "before" must see the rows as they
// were, "after" as they are.
TEST(CPortRowsTest, ListenerBracketsInsertsRemovesAndResets)
{
    struct CRecorder : CPortRowsListener
    {
        explicit CRecorder(const CPortRows& r) : rows(r) {}
        void Note(const std::string& str) { log.push_back(str + " n=" + std::to_string(rows.GetRowCount())); }
        void OnBeforeInsert(int nRow) override { Note("before insert " + std::to_string(nRow)); }
        void OnAfterInsert(int nRow) override { Note("after insert " + std::to_string(nRow)); }
        void OnBeforeRemove(int nRow) override { Note("before remove " + std::to_string(nRow)); }
        void OnAfterRemove(int nRow) override { Note("after remove " + std::to_string(nRow)); }
        void OnBeforeReset() override { Note("before reset"); }
        void OnAfterReset() override { Note("after reset"); }
        const CPortRows& rows;
        std::vector<std::string> log;
    };
    CPortRows rows;
    CRecorder rec(rows);
    rows.SetListener(&rec);

    rows.InsertRow(0, ViewFor(3));
    rows.InsertRow(99, ViewFor(7));  // appended: reported at its real position
    EXPECT_FALSE(rows.DeleteRow(5));     // nothing to report
    rows.DeleteRow(0);
    rows.DeleteAll();

    const std::vector<std::string> expected = {
        "before insert 0 n=0", "after insert 0 n=1", "before insert 1 n=1", "after insert 1 n=2",
        "before remove 0 n=2", "after remove 0 n=1", "before reset n=1",    "after reset n=0",
    };
    EXPECT_EQ(rec.log, expected);
    rows.SetListener(nullptr);
    rows.InsertRow(0, ViewFor(1));
    EXPECT_EQ(rec.log.size(), expected.size());
}

// The reason is no column but lives with its row: it moves with the row
// and is reported like a cell.
TEST(CPortRowsTest, ReasonTravelsWithItsRow)
{
    SRecordedRows recorded;
    CPortRows& rows = recorded.rows;
    auto& calls = recorded.calls;
    const std::string strReason = "connect 127.0.0.1:1: Connection refused";
    EXPECT_EQ(rows.GetItemText(1, COL_REASON), "");
    EXPECT_TRUE(rows.Change(1, [&](CPortView& view) { view.strReason = strReason; }));
    EXPECT_FALSE(rows.Change(1, [&](CPortView& view) { view.strReason = strReason; }));
    rows.DeleteRow(0);
    EXPECT_EQ(rows.GetItemText(0, COL_REASON), strReason);
    EXPECT_EQ(rows.GetItemText(0, COL_CONNECTION), CellFor(2, COL_CONNECTION)) << "no column changed";
    const std::vector<std::tuple<int, int, std::string>> expected = {{1, COL_REASON, strReason}};
    EXPECT_EQ(calls, expected);
}

TEST(CPortRowsTest, EnsureVisibleIsPassedToTheViewAndChangesNothing)
{
    struct CRecorder : CPortRowsListener
    {
        void OnEnsureVisible(int nRow) override { rows.push_back(nRow); }
        void OnCellChanged(int, int, const std::string&) override { ++nChanges; }
        std::vector<int> rows;
        int nChanges = 0;
    };
    CPortRows rows;
    rows.InsertRow(0, ViewFor(4));
    rows.InsertRow(1, ViewFor(9));
    CRecorder rec;
    rows.SetListener(&rec);

    EXPECT_TRUE(rows.EnsureVisible(1));
    EXPECT_TRUE(rows.EnsureVisible(0));
    EXPECT_FALSE(rows.EnsureVisible(2));
    EXPECT_FALSE(rows.EnsureVisible(-1));

    EXPECT_EQ(rec.rows, (std::vector<int>{1, 0}));
    EXPECT_EQ(rec.nChanges, 0);
    EXPECT_EQ(ItemDataInOrder(rows), (std::vector<int>{4, 9}));
    rows.SetListener(nullptr);
}
