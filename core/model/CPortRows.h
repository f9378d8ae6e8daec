// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/CPortView.h"
#include "core/model/PortColumns.h"

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

// The rows of the port list: each row is one port's typed view (its port
// index is the row's item data); the cell texts are made from it by
// CPortTexts. The Qt list and the headless front end are views of it. Rows
// are looked up by port, never by position, since rows move when others are
// inserted or deleted.
//
// Not thread-safe: owner thread only, listener calls included. With an
// owner check set, the changing calls verify that (see OwnerCheck.h).
class CPortRows
{
public:
    // Inserts a row before nRow, or appends when nRow >= GetRowCount().
    // Returns the new row's position, -1 when nRow is negative.
    int InsertRow(int nRow, const CPortView& view);

    // First row of port nItemData, -1 when none.
    int FindRow(int nItemData) const;

    // -1 when nRow is out of range.
    int GetItemData(int nRow) const;
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }

    // nullptr when nRow is out of range.
    const CPortView* GetView(int nRow) const;
    // The line under the list for row nSelectedRow (-1: none), see
    // CPortTexts::StatusLine.
    std::string StatusLine(int nSelectedRow) const;
    // Empty when nRow or nCol is out of range. nCol may be COL_REASON or COL_COMPORT.
    std::string GetItemText(int nRow, int nCol) const;

    // Changes row nRow's view through fnChange, then tells the listener of
    // every cell whose text changed (only real changes: a retry reports
    // "Connecting" again, and a view must not repaint for it). Returns
    // whether any text changed; false when out of range.
    bool Change(int nRow, const std::function<void(CPortView&)>& fnChange);

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

private:
    bool OnOwnerThread() const { return !m_fnIsOwner || m_fnIsOwner(); }

    std::vector<CPortView> m_rows;
    CPortRowsListener* m_pListener = nullptr;
    std::function<bool()> m_fnIsOwner;
};
