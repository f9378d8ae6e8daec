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
// Not a column: why the row's last failure happened ("connect
// 127.0.0.1:7001: Connection refused"), empty when there is none. Views
// show it beside the row (a tool tip); nimbreld prints it as "Reason".
constexpr int COL_REASON = COL_COUNT;
constexpr const char* REASON_TITLE = "Reason";

constexpr std::array<const char*, COL_COUNT> COL_TITLES = {
    "Ombra", "Create", "Mode", "Peer", "Local", "Connection", "BaudRate", "Data", "Parity", "Stop",
};
// Initial widths in pixels, for the Qt view.
constexpr std::array<int, COL_COUNT> COL_WIDTHS = {70, 95, 42, 133, 42, 125, 70, 40, 50, 40};

// What a view of the rows is told. The "before" calls come while the rows
// still read as they were, the "after" calls once they read the new way, so
// an item model can bracket each change (beginInsertRows / endInsertRows).
// Called on the owner thread with no lock held.
class CPortRowsListener
{
public:
    virtual ~CPortRowsListener() = default;
    virtual void OnBeforeInsert(int /*nRow*/) {}
    virtual void OnAfterInsert(int /*nRow*/) {}
    virtual void OnBeforeRemove(int /*nRow*/) {}
    virtual void OnAfterRemove(int /*nRow*/) {}
    virtual void OnBeforeReset() {}
    virtual void OnAfterReset() {}
    // A cell's text changed (only a real change is reported).
    virtual void OnCellChanged(int /*nRow*/, int /*nCol*/, const std::string& /*strText*/) {}
    // Row nRow should be brought into view; nothing changed.
    virtual void OnEnsureVisible(int /*nRow*/) {}
};

// The rows of the port list: each row carries a port index as item data and
// ten cell texts. The Qt list and the headless front end are views of it.
// Rows are looked up by item data, never by position, since rows move when
// others are inserted or deleted.
//
// Not thread-safe: owner thread only, listener calls included. With an
// owner check set, the changing calls verify that (see OwnerCheck.h).
class CPortRows
{
public:
    using RowTexts = std::array<std::string, COL_COUNT>;

    // Inserts a row before nRow, or appends when nRow >= GetRowCount().
    // Returns the new row's position, -1 when nRow is negative.
    int InsertRow(int nRow, int nItemData, const RowTexts& texts);

    // First row whose item data is nItemData, -1 when none.
    int FindRow(int nItemData) const;

    // -1 when nRow is out of range.
    int GetItemData(int nRow) const;
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }

    // Empty when nRow or nCol is out of range. nCol may be COL_REASON.
    std::string GetItemText(int nRow, int nCol) const;

    // Writes the cell only when its text differs, then tells the listener.
    // Returns whether it wrote; false when out of range.
    bool SetItemText(int nRow, int nCol, const std::string& strText);

    // Asks the view to scroll row nRow into view (a partly visible row will
    // do), as Start and Stop do for the row they just handled. False when
    // nRow is out of range.
    bool EnsureVisible(int nRow);

    // False when nRow is out of range.
    bool DeleteRow(int nRow);
    void DeleteAll();

    // At most one listener; nullptr removes it. It must outlive the rows or
    // be removed first.
    void SetListener(CPortRowsListener* pListener) { m_pListener = pListener; }
    // fnIsOwner tells whether the caller is on the owner thread.
    void SetOwnerCheck(std::function<bool()> fnIsOwner) { m_fnIsOwner = std::move(fnIsOwner); }

    // "address:port" as the list shows a peer; an IPv6 address in brackets.
    static std::string PeerText(const std::string& strAddress, int nPort);
    // The initial texts of port nIndex's row, by its mode.
    static RowTexts MakeRowTexts(int nIndex, const CCOMData& data);

private:
    struct SRow
    {
        int nItemData = 0;
        RowTexts texts;
        std::string strReason;
    };

    // The storage of a cell, COL_REASON included; nullptr out of range.
    std::string* Cell(int nRow, int nCol);

    bool IsCell(int nRow, int nCol) const;
    bool OnOwnerThread() const { return !m_fnIsOwner || m_fnIsOwner(); }

    std::vector<SRow> m_rows;
    CPortRowsListener* m_pListener = nullptr;
    std::function<bool()> m_fnIsOwner;
};
