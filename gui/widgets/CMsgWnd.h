// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QWidget>

// The small panel over the port list while the virtual ports are being
// created: a white face with a raised edge and two lines of text.
class CMsgWnd : public QWidget
{
    Q_OBJECT

public:
    explicit CMsgWnd(QWidget* pParent = nullptr);

    // Replace a line's text; no repaint (set them before showing the panel).
    void SetLine1(const QString& str);
    void SetLine2(const QString& str);
    const QString& GetLine1() const { return m_strLine1; }
    const QString& GetLine2() const { return m_strLine2; }
    // 280 x 50 at the usual fonts; larger when the lines need it.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    // From one line's top to the next: 20 pixels, more for a large font.
    int LineStep() const;

    QString m_strLine1;  // drawn at (70, 5)
    QString m_strLine2;  // drawn at (75, 5 + LineStep())
};
