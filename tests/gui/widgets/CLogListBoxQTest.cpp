// SPDX-License-Identifier: Apache-2.0
// The connection test's log list: lines by index like a list box, their
// colours and lamps, the ellipsis, and what a screen reader hears.

#include <QApplication>
#include <QImage>
#include <QTest>

#include "gui/widgets/CLogListBox.h"
#include "gui/widgets/NimbrelImages.h"

namespace
{

// Pixels in rc for which pred holds.
int CountPixels(const QImage& image, const QRect& rc, const std::function<bool(QColor)>& pred)
{
    int n = 0;
    const QRect rcIn = rc.intersected(image.rect());
    for (int y = rcIn.top(); y <= rcIn.bottom(); ++y)
        for (int x = rcIn.left(); x <= rcIn.right(); ++x)
            n += pred(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

bool IsPure(QColor c, int r, int g, int b)
{
    return c.red() == r && c.green() == g && c.blue() == b;
}

bool IsBluish(QColor c)
{
    return c.blue() > c.red() + 60 && c.blue() > c.green() + 40;
}

bool IsReddish(QColor c)
{
    return c.red() > c.green() + 60 && c.red() > c.blue() + 60;
}

}  // namespace

class CLogListBoxQTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<CLogListBox> MakeLog(int nWidth = 263)
    {
        auto pLog = std::make_unique<CLogListBox>();
        // Exact colours: no blended glyph edges.
        QFont font(QStringLiteral("Arial"));
        font.setPointSize(9);
        font.setStyleStrategy(QFont::NoAntialias);
        pLog->setFont(font);
        pLog->resize(nWidth, 107);
        pLog->show();
        if (!QTest::qWaitForWindowExposed(pLog.get()))
            return nullptr;
        return pLog;
    }

    static QRect LineRect(CLogListBox& log, int nIndex)
    {
        return log.visualItemRect(log.item(nIndex));
    }

private slots:
    void LinesByIndexLikeAListBox()
    {
        CLogListBox log;
        QCOMPARE(log.InsertString(0, QStringLiteral("b")), 0);
        QCOMPARE(log.InsertString(0, QStringLiteral("a")), 0);
        QCOMPARE(log.InsertString(-1, QStringLiteral("d")), 2);
        QCOMPARE(log.InsertString(2, QStringLiteral("c")), 2);
        QCOMPARE(log.GetCount(), 4);
        QCOMPARE(log.GetText(2), QStringLiteral("c"));
        QCOMPARE(log.GetItemData(2), LOG_BANNER);
        QCOMPARE(log.SetItemData(2, LOG_FAILURE), 1);
        QCOMPARE(log.GetItemData(2), LOG_FAILURE);
        QCOMPARE(log.SetItemData(9, LOG_FAILURE), 0);
        QCOMPARE(log.GetItemData(9), -1);
        QCOMPARE(log.DeleteString(0), 3);
        QCOMPARE(log.DeleteString(3), -1);
        QCOMPARE(log.GetText(0), QStringLiteral("b"));
        log.ResetContent();
        QCOMPARE(log.GetCount(), 0);
        QCOMPARE(log.selectionMode(), QAbstractItemView::NoSelection);
    }

    void KindsChooseColourAndLamp_data()
    {
        QTest::addColumn<int>("nKind");
        QTest::addColumn<int>("nLamp");
        QTest::addColumn<QColor>("color");
        QTest::newRow("banner") << LOG_BANNER << 0 << QColor(100, 100, 100);
        QTest::newRow("success") << LOG_SUCCESS << IDI_LAMP_OK << QColor(0, 0, 0);
        QTest::newRow("failure") << LOG_FAILURE << IDI_LAMP_ERROR << QColor(255, 0, 0);
        QTest::newRow("progress") << LOG_PROGRESS << 0 << QColor(0, 0, 0);
        QTest::newRow("reason") << LOG_REASON << 0 << QColor(255, 0, 0);
        QTest::newRow("other") << 7 << 0 << QColor(100, 100, 100);
    }

    void KindsChooseColourAndLamp()
    {
        QFETCH(int, nKind);
        QFETCH(int, nLamp);
        QFETCH(QColor, color);
        QCOMPARE(CLogListDelegate::LampOf(nKind), nLamp);
        QCOMPARE(CLogListDelegate::ColorOf(nKind), color);
        const QRect rc(0, 0, 200, 18);
        QCOMPARE(CLogListDelegate::TextRect(rc, nKind).left(), nLamp != 0 ? 18 : 0);
    }

    // A failure line: red text 18 pixels right of a grey framing line's,
    // the red lamp in front; a success line has the blue lamp and black text.
    void LinesAreDrawnInTheirKindsLook()
    {
        auto pLog = MakeLog();
        QVERIFY(pLog);
        const QStringList texts = {"----- Socket Test Start -----", "Socket Create", "Socket Connect (127.0.0.1:1)",
                                   "Connecting ..."};
        const int kinds[] = {LOG_BANNER, LOG_SUCCESS, LOG_FAILURE, LOG_PROGRESS};
        for (int i = 0; i < texts.size(); ++i)
            pLog->SetItemData(pLog->InsertString(i, texts[i]), kinds[i]);
        QApplication::processEvents();
        const QImage image = pLog->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);

        auto lamp = [&](int nIndex) {
            const QRect rc = LineRect(*pLog, nIndex);
            return QRect(rc.left(), rc.top(), CLogListDelegate::LAMP_WIDTH, rc.height());
        };
        auto text = [&](int nIndex) {
            const QRect rc = LineRect(*pLog, nIndex);
            return QRect(rc.left() + CLogListDelegate::LAMP_WIDTH, rc.top(), rc.width() - 18, rc.height());
        };
        auto grey = [](QColor c) { return IsPure(c, 100, 100, 100); };
        auto black = [](QColor c) { return IsPure(c, 0, 0, 0); };
        auto red = [](QColor c) { return IsPure(c, 255, 0, 0); };

        // The banner: grey from the left edge, no lamp.
        QVERIFY(CountPixels(image, lamp(0), grey) > 0);
        QCOMPARE(CountPixels(image, LineRect(*pLog, 0), IsBluish), 0);
        QCOMPARE(CountPixels(image, LineRect(*pLog, 0), IsReddish), 0);
        // Success: the blue lamp, black text after it.
        QVERIFY(CountPixels(image, lamp(1), IsBluish) > 40);
        QVERIFY(CountPixels(image, text(1), black) > 10);
        QCOMPARE(CountPixels(image, text(1), IsBluish), 0);
        // Failure: the red lamp, red text.
        QVERIFY(CountPixels(image, lamp(2), IsReddish) > 40);
        QVERIFY(CountPixels(image, text(2), red) > 10);
        QCOMPARE(CountPixels(image, text(2), black), 0);
        // Progress: black from the left edge, no lamp.
        QVERIFY(CountPixels(image, lamp(3), black) > 0);
        QCOMPARE(CountPixels(image, LineRect(*pLog, 3), IsBluish), 0);

        // The failure text starts 18 pixels right of where the banner's does.
        auto firstInk = [&](int nIndex, const std::function<bool(QColor)>& ink) {
            const QRect rc = LineRect(*pLog, nIndex);
            for (int x = rc.left(); x <= rc.right(); ++x)
                if (CountPixels(image, QRect(x, rc.top(), 1, rc.height()), ink) > 0)
                    return x;
            return -1;
        };
        const int nBannerInk = firstInk(0, grey);
        const int nFailureInk = firstInk(2, red);
        QVERIFY(nBannerInk >= 0 && nFailureInk >= 0);
        QVERIFY2(qAbs(nFailureInk - nBannerInk - 18) <= 2,
                 qPrintable(QStringLiteral("%1 vs %2").arg(nFailureInk).arg(nBannerInk)));
    }

    void AnEmptyLogDrawsNothing()
    {
        auto pLog = MakeLog();
        QVERIFY(pLog);
        const QImage image = pLog->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(CountPixels(image, image.rect(), [](QColor c) { return !IsPure(c, 255, 255, 255); }), 0);
    }

    void LongLinesEndInAnEllipsis()
    {
        auto pLog = MakeLog(150);
        QVERIFY(pLog);
        const QString strLong = QStringLiteral("Socket Connect (192.168.100.200:65535)");
        pLog->SetItemData(pLog->InsertString(0, strLong), LOG_FAILURE);
        const QRect rcText = CLogListDelegate::TextRect(LineRect(*pLog, 0), LOG_FAILURE);
        const QString strShown = CLogListDelegate::ShownText(pLog->fontMetrics(), strLong, rcText.width());
        QVERIFY2(strShown.endsWith(QChar(0x2026)), qPrintable(strShown));
        QVERIFY(pLog->fontMetrics().horizontalAdvance(strShown) <= rcText.width());
        // The whole text stays within reach.
        QCOMPARE(pLog->item(0)->data(Qt::ToolTipRole).toString(), strLong);
        QCOMPARE(pLog->item(0)->text(), strLong);
    }

    void ScreenReadersHearTheOutcome()
    {
        CLogListBox log;
        log.SetItemData(log.InsertString(-1, QStringLiteral("Socket Create")), LOG_SUCCESS);
        log.SetItemData(log.InsertString(-1, QStringLiteral("SSL Error")), LOG_FAILURE);
        log.SetItemData(log.InsertString(-1, QStringLiteral("Test Cancel")), LOG_PROGRESS);
        QCOMPARE(log.item(0)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("Socket Create, succeeded"));
        QCOMPARE(log.item(1)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("SSL Error, failed"));
        QCOMPARE(log.item(2)->data(Qt::AccessibleTextRole).toString(), QStringLiteral("Test Cancel"));
        QVERIFY(log.focusPolicy() & Qt::TabFocus);
    }
};

QTEST_MAIN(CLogListBoxQTest)
#include "CLogListBoxQTest.moc"
