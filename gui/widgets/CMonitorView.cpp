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
    setMaximumBlockCount(MAX_LINES);
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
    for (const CCaptureRecord& rec : records)
        m_records.push_back(rec);
    size_t nFirst = 0;
    while (m_records.size() > static_cast<size_t>(MAX_LINES))
        m_records.pop_front();
    if (records.size() > static_cast<size_t>(MAX_LINES))
        nFirst = records.size() - MAX_LINES;
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
        if (!document()->isEmpty())
            cursor.insertBlock();
        const QTextCharFormat& format =
            rec.m_kind == ECapture::Event ? event : rec.m_kind == ECapture::Lost ? lost : plain;
        cursor.insertText(QString::fromStdString(CMonitorFormat::Line(rec, m_view, m_nWallOffsetNs)), format);
    }
    cursor.endEditBlock();
    if (bFollow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    else
        verticalScrollBar()->setValue(nScroll);
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
    const std::vector<CCaptureRecord> records(m_records.begin(), m_records.end());
    AppendLines(records, 0);
}

void CMonitorView::ClearLines()
{
    m_records.clear();
    clear();
}
