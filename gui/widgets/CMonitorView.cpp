// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CMonitorView.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>

CMonitorView::CMonitorView(QWidget* pParent) : QPlainTextEdit(pParent), m_nWallOffsetNs(CMonitorFormat::WallOffsetNs())
{
    setReadOnly(true);
    // Long bursts stay one line each: no wrapping, which also keeps the
    // layout cheap at full speed.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    setFont(font);
}

bool CMonitorView::IsAtEnd() const
{
    const QScrollBar* pBar = verticalScrollBar();
    return pBar->value() >= pBar->maximum();
}

void CMonitorView::AppendRecords(const std::vector<CCaptureRecord>& records)
{
    if (records.empty())
        return;
    const size_t nFirst = records.size() > static_cast<size_t>(MAX_LINES) ? records.size() - MAX_LINES : 0;
    const size_t nOver = m_records.size() + (records.size() - nFirst);
    if (nOver > static_cast<size_t>(MAX_LINES))
        DropOldest(nOver - MAX_LINES);
    m_records.insert(m_records.end(), records.begin() + static_cast<std::ptrdiff_t>(nFirst), records.end());
    AppendLines(records, nFirst);
}

void CMonitorView::AppendLines(const std::vector<CCaptureRecord>& records, size_t nFirst)
{
    const bool bFollow = IsAtEnd();
    const int nScroll = verticalScrollBar()->value();
    QTextCharFormat plain;
    QTextCharFormat event;
    event.setForeground(palette().color(QPalette::Link));
    QTextCharFormat lost;
    lost.setForeground(palette().color(QPalette::LinkVisited));
    lost.setFontWeight(QFont::Bold);

    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    for (size_t k = nFirst; k < records.size(); ++k)
    {
        const CCaptureRecord& rec = records[k];
        const QTextCharFormat& format =
            rec.m_kind == ECapture::Event ? event : rec.m_kind == ECapture::Lost ? lost : plain;
        const std::vector<std::string> rows = CMonitorFormat::Rows(rec, m_view, m_nWallOffsetNs, BYTES_PER_ROW);
        for (const std::string& row : rows)
        {
            if (!document()->isEmpty())
                cursor.insertBlock();
            cursor.insertText(QString::fromStdString(row), format);
        }
        m_rows.push_back(static_cast<int>(rows.size()));
    }
    cursor.endEditBlock();
    if (bFollow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    else
        verticalScrollBar()->setValue(nScroll);
}

void CMonitorView::DropOldest(size_t nRecords)
{
    int nBlocks = 0;
    for (size_t k = 0; k < nRecords && !m_records.empty(); ++k)
    {
        nBlocks += m_rows.front();
        m_rows.pop_front();
        m_records.pop_front();
    }
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, nBlocks);
    cursor.removeSelectedText();
}

void CMonitorView::SetView(EMonitorView view)
{
    if (view == m_view)
        return;
    m_view = view;
    Rebuild();
}

void CMonitorView::Rebuild()
{
    clear();
    m_rows.clear();
    const std::vector<CCaptureRecord> records(m_records.begin(), m_records.end());
    AppendLines(records, 0);
}

void CMonitorView::ClearLines()
{
    m_records.clear();
    m_rows.clear();
    clear();
}
