#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class CCOMData;

// Columns of the port list.
constexpr int COL_PORT = 0;
constexpr int COL_CREATE = 1;
constexpr int COL_MODE = 2;
constexpr int COL_PEER = 3;
constexpr int COL_LOCAL = 4;
constexpr int COL_CONNECTION = 5;
constexpr int COL_BAUDRATE = 6;
constexpr int COL_DATA = 7;
constexpr int COL_PARITY = 8;
constexpr int COL_STOP = 9;
constexpr int COL_COUNT = 10;

constexpr std::array<const char*, COL_COUNT> COL_TITLES = {
    "Ombra", "Create", "Mode", "Peer", "Local", "Connection", "BaudRate", "Data", "Parity", "Stop",
};
// Initial widths in pixels, for the Qt view.
constexpr std::array<int, COL_COUNT> COL_WIDTHS = {70, 95, 42, 133, 42, 125, 70, 40, 50, 40};

// The rows of the port list: each row carries a port index as item data and
// ten cell texts. The Qt list and the headless front end are views of it.
// Rows are looked up by item data, never by position, since rows move when
// others are inserted or deleted.
//
// Not thread-safe: owner thread only, listener calls included.
class CPortRows
{
public:
    using RowTexts = std::array<std::string, COL_COUNT>;
    using Listener = std::function<void(int nRow, int nCol, const std::string& strText)>;

    // Inserts a row before nRow, or appends when nRow >= GetRowCount().
    // Returns the new row's position, -1 when nRow is negative.
    int InsertRow(int nRow, int nItemData, const RowTexts& texts);

    // First row whose item data is nItemData, -1 when none.
    int FindRow(int nItemData) const;

    // -1 when nRow is out of range.
    int GetItemData(int nRow) const;
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }

    // Empty when nRow or nCol is out of range.
    std::string GetItemText(int nRow, int nCol) const;

    // Writes the cell only when its text differs, then tells the listener.
    // Returns whether it wrote; false when out of range.
    bool SetItemText(int nRow, int nCol, const std::string& strText);

    // False when nRow is out of range.
    bool DeleteRow(int nRow);
    void DeleteAll();

    // Called after every cell that SetItemText actually changed. Inserting
    // and deleting rows do not call it.
    void SetListener(Listener fnListener) { m_fnListener = std::move(fnListener); }

    // The initial texts of port nIndex's row, by its mode.
    static RowTexts MakeRowTexts(int nIndex, const CCOMData& data);

private:
    struct SRow
    {
        int nItemData = 0;
        RowTexts texts;
    };

    bool IsCell(int nRow, int nCol) const;

    std::vector<SRow> m_rows;
    Listener m_fnListener;
};
