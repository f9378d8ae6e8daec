#include "model/CPortRows.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "model/CCOMData.h"
#include "tests/TestSupport.h"

namespace
{
CPortRows::RowTexts TextsFor(int nItemData)
{
    CPortRows::RowTexts texts;
    for (int nCol = 0; nCol < COL_COUNT; ++nCol)
        texts[nCol] = std::to_string(nItemData) + "/" + std::to_string(nCol);
    return texts;
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
    EXPECT_EQ(rows.InsertRow(0, 5, TextsFor(5)), 0);
    EXPECT_EQ(rows.InsertRow(1, 2, TextsFor(2)), 1);
    EXPECT_EQ(rows.InsertRow(99, 9, TextsFor(9)), 2);  // past the end: appended
    EXPECT_EQ(rows.InsertRow(1, 7, TextsFor(7)), 1);   // in the middle
    EXPECT_EQ(rows.InsertRow(0, 0, TextsFor(0)), 0);   // at the front
    EXPECT_EQ(rows.InsertRow(-1, 3, TextsFor(3)), -1);
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
            EXPECT_EQ(rows.GetItemText(nRow, nCol), TextsFor(nItem)[nCol]);
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
    rows.InsertRow(0, 4, TextsFor(4));
    int nCalls = 0;
    testsupport::CCellListener listener([&nCalls](int, int, const std::string&) { ++nCalls; });
    rows.SetListener(&listener);

    const std::tuple<int, int> cells[] = {{-1, 0}, {1, 0}, {0, -1}, {0, COL_REASON + 1}, {INT_MIN, INT_MAX}};
    for (const auto& [nRow, nCol] : cells)
    {
        EXPECT_EQ(rows.GetItemText(nRow, nCol), "") << nRow << "," << nCol;
        EXPECT_FALSE(rows.SetItemText(nRow, nCol, "x")) << nRow << "," << nCol;
    }
    EXPECT_EQ(rows.GetItemData(-1), -1);
    EXPECT_EQ(rows.GetItemData(1), -1);
    EXPECT_EQ(nCalls, 0);
    EXPECT_EQ(rows.GetItemText(0, COL_STOP), TextsFor(4)[COL_STOP]);
}

// Rows of ports 1 and 2 whose listener records every changed cell.
struct SRecordedRows
{
    SRecordedRows()
    {
        rows.InsertRow(0, 1, TextsFor(1));
        rows.InsertRow(1, 2, TextsFor(2));
        rows.SetListener(&listener);
    }
    CPortRows rows;
    std::vector<std::tuple<int, int, std::string>> calls;
    testsupport::CCellListener listener{[this](int nRow, int nCol, const std::string& strText) {
        calls.emplace_back(nRow, nCol, strText);
    }};
};

TEST(CPortRowsTest, SetItemTextNotifiesOnlyOnChange)
{
    SRecordedRows recorded;
    CPortRows& rows = recorded.rows;
    auto& calls = recorded.calls;

    EXPECT_TRUE(rows.SetItemText(1, COL_CONNECTION, "Connected"));
    EXPECT_FALSE(rows.SetItemText(1, COL_CONNECTION, "Connected"));
    EXPECT_TRUE(rows.SetItemText(1, COL_CONNECTION, "connected"));  // case counts
    EXPECT_FALSE(rows.SetItemText(0, COL_PEER, TextsFor(1)[COL_PEER]));
    EXPECT_TRUE(rows.SetItemText(0, COL_PEER, ""));

    const std::vector<std::tuple<int, int, std::string>> expected = {
        {1, COL_CONNECTION, "Connected"},
        {1, COL_CONNECTION, "connected"},
        {0, COL_PEER, ""},
    };
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(rows.GetItemText(1, COL_CONNECTION), "connected");
    EXPECT_EQ(rows.GetItemText(0, COL_PEER), "");
    // The neighbours are untouched.
    EXPECT_EQ(rows.GetItemText(0, COL_CONNECTION), TextsFor(1)[COL_CONNECTION]);
    EXPECT_EQ(rows.GetItemText(1, COL_PEER), TextsFor(2)[COL_PEER]);
}

TEST(CPortRowsTest, MakeRowTextsByMode)
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
        CCOMData data;
        data.SetIPAddress(c.nIndex, "192.168.0.10");
        data.SetPeerPort(c.nIndex, 4001);
        data.SetLocPort(c.nIndex, 5002);
        data.SetMode(c.nIndex, c.nMode);
        // A neighbour of another mode must not leak into the row.
        const int nOther = c.nIndex == 0 ? 1 : c.nIndex - 1;
        data.SetMode(nOther, c.nMode == MODE_TCP_SERVER ? MODE_UDP : MODE_TCP_SERVER);
        data.SetLocPort(nOther, 1);

        const CPortRows::RowTexts texts = CPortRows::MakeRowTexts(c.nIndex, data);
        SCOPED_TRACE(c.pszPort);
        EXPECT_EQ(texts[COL_PORT], c.pszPort);
        EXPECT_EQ(texts[COL_CREATE], "None");
        EXPECT_EQ(texts[COL_MODE], c.pszMode);
        EXPECT_EQ(texts[COL_PEER], c.pszPeer);
        EXPECT_EQ(texts[COL_LOCAL], c.pszLocal);
        EXPECT_EQ(texts[COL_CONNECTION], "Not Connect");
        EXPECT_EQ(texts[COL_BAUDRATE], "--------");
        EXPECT_EQ(texts[COL_DATA], "-----");
        EXPECT_EQ(texts[COL_PARITY], "-----");
        EXPECT_EQ(texts[COL_STOP], "-----");
    }
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

    rows.InsertRow(0, 3, TextsFor(3));
    rows.InsertRow(99, 7, TextsFor(7));  // appended: reported at its real position
    EXPECT_FALSE(rows.DeleteRow(5));     // nothing to report
    rows.DeleteRow(0);
    rows.DeleteAll();

    const std::vector<std::string> expected = {
        "before insert 0 n=0", "after insert 0 n=1", "before insert 1 n=1", "after insert 1 n=2",
        "before remove 0 n=2", "after remove 0 n=1", "before reset n=1",    "after reset n=0",
    };
    EXPECT_EQ(rec.log, expected);
    rows.SetListener(nullptr);
    rows.InsertRow(0, 1, TextsFor(1));
    EXPECT_EQ(rec.log.size(), expected.size());
}

// The reason is no column but lives with its row: it moves with the row
// and is reported like a cell.
TEST(CPortRowsTest, ReasonTravelsWithItsRow)
{
    SRecordedRows recorded;
    CPortRows& rows = recorded.rows;
    auto& calls = recorded.calls;
    EXPECT_EQ(rows.GetItemText(1, COL_REASON), "");
    EXPECT_TRUE(rows.SetItemText(1, COL_REASON, "connect 127.0.0.1:1: Connection refused"));
    EXPECT_FALSE(rows.SetItemText(1, COL_REASON, "connect 127.0.0.1:1: Connection refused"));
    rows.DeleteRow(0);
    EXPECT_EQ(rows.GetItemText(0, COL_REASON), "connect 127.0.0.1:1: Connection refused");
    EXPECT_EQ(rows.GetItemText(0, COL_CONNECTION), TextsFor(2)[COL_CONNECTION]) << "no column changed";
    const std::vector<std::tuple<int, int, std::string>> expected = {
        {1, COL_REASON, "connect 127.0.0.1:1: Connection refused"}};
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
    rows.InsertRow(0, 4, TextsFor(4));
    rows.InsertRow(1, 9, TextsFor(9));
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
