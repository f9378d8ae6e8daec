// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QListWidget>
#include <QStyledItemDelegate>

// Line kinds of the log (a line's item data): they choose its colour and lamp.
constexpr int LOG_BANNER = 0;    // grey, no lamp: the test's framing lines
constexpr int LOG_SUCCESS = 1;   // black with the blue lamp: a step that succeeded
constexpr int LOG_FAILURE = 2;   // red with the red lamp: a step that failed
constexpr int LOG_PROGRESS = 3;  // black, no lamp: a step in progress, "Test Cancel"
constexpr int LOG_REASON = 4;    // red, no lamp: why the failed step above failed

// Draws one log line: the lamp of its kind at the left (the text then
// starts 18 pixels further right), the text in its kind's colour on one
// line, vertically centred, ending in an ellipsis when it does not fit. No
// background, focus or selection mark of its own.
class CLogListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int LAMP_SIZE = 16;
    static constexpr int LAMP_WIDTH = 18;  // the lamp's room before the text

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The lamp of a kind (IDI_LAMP_OK, IDI_LAMP_ERROR), 0 for none.
    static int LampOf(int nKind);
    static QColor ColorOf(int nKind);
    // Where the text goes inside the line's rectangle.
    static QRect TextRect(const QRect& rcItem, int nKind);
    // The text as drawn into a rectangle of nWidth pixels.
    static QString ShownText(const QFontMetrics& fm, const QString& strText, int nWidth);
};

// The connection test's log: a list of lines, each with a kind,
// that the dialog inserts, replaces and clears by index like a list box.
// No selection. Screen readers read every line with its outcome
// ("Socket Create, succeeded"); a tool tip shows a line cut short whole.
// GUI thread only.
class CLogListBox : public QListWidget
{
    Q_OBJECT

public:
    // A line's kind, as item data.
    static constexpr int KindRole = Qt::UserRole + 1;

    explicit CLogListBox(QWidget* pParent = nullptr);

    int GetCount() const { return count(); }
    // Inserts a line before nIndex (appends when nIndex is -1 or past the
    // end) with kind LOG_BANNER; returns its index.
    int InsertString(int nIndex, const QString& strText);
    // -1 when nIndex is out of range.
    int GetItemData(int nIndex) const;
    // 0 when nIndex is out of range.
    int SetItemData(int nIndex, int nKind);
    // Empty when nIndex is out of range.
    QString GetText(int nIndex) const;
    // Removes a line; returns the number left, -1 when nIndex is out of range.
    int DeleteString(int nIndex);
    void ResetContent() { clear(); }
};
