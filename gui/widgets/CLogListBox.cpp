// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CLogListBox.h"

#include <QPainter>

#include "gui/widgets/NimbrelImages.h"

namespace
{

const QColor COLOR_GREY(100, 100, 100);
const QColor COLOR_BLACK(0, 0, 0);
const QColor COLOR_RED(255, 0, 0);

// A line whose accessible name carries what its lamp and colour show.
class CLogListItem : public QListWidgetItem
{
public:
    using QListWidgetItem::QListWidgetItem;

    QVariant data(int nRole) const override
    {
        if (nRole == Qt::AccessibleTextRole || nRole == Qt::ToolTipRole)
        {
            const QString strText = QListWidgetItem::data(Qt::DisplayRole).toString();
            if (nRole == Qt::ToolTipRole)
                return strText;
            switch (QListWidgetItem::data(CLogListBox::KindRole).toInt())
            {
            case LOG_SUCCESS: return strText + QStringLiteral(", succeeded");
            case LOG_FAILURE: return strText + QStringLiteral(", failed");
            default: return strText;
            }
        }
        return QListWidgetItem::data(nRole);
    }
};

}  // namespace

int CLogListDelegate::LampOf(int nKind)
{
    switch (nKind)
    {
    case LOG_SUCCESS: return IDI_LAMP_OK;
    case LOG_FAILURE: return IDI_LAMP_ERROR;
    default: return 0;
    }
}

QColor CLogListDelegate::ColorOf(int nKind)
{
    switch (nKind)
    {
    case LOG_SUCCESS:
    case LOG_PROGRESS: return COLOR_BLACK;
    case LOG_FAILURE:
    case LOG_REASON: return COLOR_RED;
    default: return COLOR_GREY;
    }
}

QRect CLogListDelegate::TextRect(const QRect& rcItem, int nKind)
{
    QRect rc = rcItem;
    if (LampOf(nKind) != 0)
        rc.setLeft(rc.left() + LAMP_WIDTH);
    return rc;
}

QString CLogListDelegate::ShownText(const QFontMetrics& fm, const QString& strText, int nWidth)
{
    return fm.elidedText(strText, Qt::ElideRight, nWidth);
}

void CLogListDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QVariant kind = index.data(CLogListBox::KindRole);
    const int nKind = kind.isValid() ? kind.toInt() : -1;
    const QString strText = index.data(Qt::DisplayRole).toString();

    pPainter->save();
    if (const int nLamp = LampOf(nKind))
        pPainter->drawPixmap(option.rect.left(), option.rect.top() + 1, NimbrelPixmap(nLamp, LAMP_SIZE, LAMP_SIZE));
    const QRect rcText = TextRect(option.rect, nKind);
    pPainter->setFont(option.font);
    pPainter->setPen(ColorOf(nKind));
    pPainter->drawText(rcText, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                       ShownText(option.fontMetrics, strText, rcText.width()));
    pPainter->restore();
}

QSize CLogListDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& /*index*/) const
{
    // One line of the font, and room for the lamp one pixel down.
    return QSize(option.rect.width(), qMax(option.fontMetrics.height() + 2, LAMP_SIZE + 2));
}

CLogListBox::CLogListBox(QWidget* pParent) : QListWidget(pParent)
{
    setItemDelegate(new CLogListDelegate(this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    // Readable by keyboard and screen reader, though nothing is selected.
    setFocusPolicy(Qt::StrongFocus);
    // Fixed text colours need a light face whatever the desktop's scheme.
    QPalette pal = palette();
    pal.setColor(QPalette::Base, QColor(255, 255, 255));
    pal.setColor(QPalette::Text, COLOR_BLACK);
    setPalette(pal);
}

int CLogListBox::InsertString(int nIndex, const QString& strText)
{
    const int nAt = nIndex < 0 || nIndex > count() ? count() : nIndex;
    auto* pItem = new CLogListItem(strText);
    pItem->setData(KindRole, LOG_BANNER);
    pItem->setFlags(Qt::ItemIsEnabled);
    insertItem(nAt, pItem);
    return nAt;
}

int CLogListBox::GetItemData(int nIndex) const
{
    const QListWidgetItem* pItem = item(nIndex);
    return pItem != nullptr ? pItem->data(KindRole).toInt() : -1;
}

int CLogListBox::SetItemData(int nIndex, int nKind)
{
    QListWidgetItem* pItem = item(nIndex);
    if (pItem == nullptr)
        return 0;
    pItem->setData(KindRole, nKind);
    return 1;
}

QString CLogListBox::GetText(int nIndex) const
{
    const QListWidgetItem* pItem = item(nIndex);
    return pItem != nullptr ? pItem->text() : QString();
}

int CLogListBox::DeleteString(int nIndex)
{
    if (nIndex < 0 || nIndex >= count())
        return -1;
    delete takeItem(nIndex);
    return count();
}
