// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CMsgWnd.h"

#include <QPainter>
#include <qdrawutil.h>

CMsgWnd::CMsgWnd(QWidget* pParent) : QWidget(pParent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void CMsgWnd::SetLine1(const QString& str)
{
    m_strLine1 = str;
    // A screen reader reads the panel as its two lines.
    setAccessibleName(m_strLine1 + QLatin1Char(' ') + m_strLine2);
}

void CMsgWnd::SetLine2(const QString& str)
{
    m_strLine2 = str;
    setAccessibleName(m_strLine1 + QLatin1Char(' ') + m_strLine2);
}

int CMsgWnd::LineStep() const
{
    return qMax(20, fontMetrics().height() + 4);
}

QSize CMsgWnd::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const int nText = qMax(70 + fm.horizontalAdvance(m_strLine1), 75 + fm.horizontalAdvance(m_strLine2));
    return QSize(qMax(280, nText + 15), qMax(50, 5 + LineStep() + fm.height() + 10));
}

void CMsgWnd::paintEvent(QPaintEvent* /*pEvent*/)
{
    QPainter painter(this);
    painter.setFont(font());

    const QRect rcClient = rect();
    painter.fillRect(rcClient, QColor(255, 255, 255));
    // A raised edge of two pixels, light above and left, dark below and right.
    QPalette pal = palette();
    pal.setColor(QPalette::Button, QColor(255, 255, 255));
    qDrawWinPanel(&painter, rcClient, pal, false, nullptr);

    painter.setPen(QColor(0, 0, 0));
    const int nHeight = painter.fontMetrics().height();
    painter.drawText(QRect(70, 5, rcClient.width() - 70, nHeight), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     m_strLine1);
    painter.drawText(QRect(75, 5 + LineStep(), rcClient.width() - 75, nHeight),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     m_strLine2);
}
