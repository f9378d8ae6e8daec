// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include <QPlainTextEdit>

#include "core/engine/CCaptureRecord.h"
#include "core/engine/CMonitorFormat.h"

// The lines of a port's monitor: a read-only text view (a screen reader
// reads it as text), one line per record, events and losses in colours of
// their own. It keeps the last MAX_LINES records, so a change of view
// shows them again, and follows new lines unless the user scrolled up.
class CMonitorView : public QPlainTextEdit
{
    Q_OBJECT

public:
    // Records kept and shown; a burst shows as rows of BYTES_PER_ROW.
    static constexpr int MAX_LINES = 2000;
    static constexpr size_t BYTES_PER_ROW = 32;

    explicit CMonitorView(QWidget* pParent = nullptr);

    // Adds the records' lines at the end, in one edit (one repaint).
    void AppendRecords(const std::vector<CCaptureRecord>& records);
    void SetView(EMonitorView view);
    EMonitorView View() const { return m_view; }
    void ClearLines();
    int LineCount() const { return static_cast<int>(m_records.size()); }
    // The lines as they show, for saving.
    QString Lines() const { return toPlainText(); }
    // Whether the view follows new lines (it was at the end when they came).
    bool IsAtEnd() const;

private:
    void AppendLines(const std::vector<CCaptureRecord>& records, size_t nFirst);
    void Rebuild();

    EMonitorView m_view = EMonitorView::HexAndText;
    int64_t m_nWallOffsetNs = 0;
    void DropOldest(size_t nRecords);

    std::deque<CCaptureRecord> m_records;
    std::deque<int> m_rows;  // the rows each of m_records shows as
};
