// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CMonitorFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace
{

class CMonitorFormatTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* pTz = std::getenv("TZ");
        m_bHadTz = pTz != nullptr;
        if (m_bHadTz)
            m_strTz = pTz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (m_bHadTz)
            setenv("TZ", m_strTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static CCaptureRecord Data(ECapture kind, const std::string& str)
    {
        CCaptureRecord rec;
        rec.m_kind = kind;
        rec.m_data = str;
        // 01:02:03.456 of some day, given an offset of 0.
        rec.m_nTimeNs = (86400ull * 20000 + 3723) * 1000000000ull + 456000000ull;
        return rec;
    }

    bool m_bHadTz = false;
    std::string m_strTz;
};

}  // namespace

TEST_F(CMonitorFormatTest, HexShowsEveryByteValueExactly)
{
    std::string all;
    for (int k = 0; k < 256; ++k)
        all += static_cast<char>(k);
    const std::string hex = CMonitorFormat::HexText(all);
    ASSERT_EQ(hex.size(), 256u * 3 - 1);
    for (int k = 0; k < 256; ++k)
    {
        char buf[3];
        std::snprintf(buf, sizeof(buf), "%02X", k);
        EXPECT_EQ(hex.substr(static_cast<size_t>(k) * 3, 2), buf) << k;
    }
    EXPECT_EQ(CMonitorFormat::HexText(""), "");
}

TEST_F(CMonitorFormatTest, TextKeepsPrintableAsciiOnly)
{
    EXPECT_EQ(CMonitorFormat::PrintableText(std::string("Hi \r\n\x7F\x80\xFF~", 9)), "Hi .....~");
    std::string all;
    for (int k = 0; k < 256; ++k)
        all += static_cast<char>(k);
    const std::string text = CMonitorFormat::PrintableText(all);
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(text.substr(0x20, 0x5F), all.substr(0x20, 0x5F));
    EXPECT_EQ(text.find_first_not_of('.', 0x7F), std::string::npos);
    EXPECT_EQ(text.substr(0, 0x20), std::string(0x20, '.'));
}

TEST_F(CMonitorFormatTest, LinesOfEachKindAndView)
{
    const CCaptureRecord to = Data(ECapture::ToPeer, "AB\r");
    EXPECT_EQ(CMonitorFormat::Line(to, EMonitorView::HexAndText, 0), "01:02:03.456  to peer    41 42 0D  AB.");
    EXPECT_EQ(CMonitorFormat::Line(to, EMonitorView::Hex, 0), "01:02:03.456  to peer    41 42 0D");
    EXPECT_EQ(CMonitorFormat::Line(to, EMonitorView::Text, 0), "01:02:03.456  to peer    AB.");
    EXPECT_EQ(CMonitorFormat::Line(Data(ECapture::FromPeer, "z"), EMonitorView::HexAndText, 0),
              "01:02:03.456  from peer  7A  z");
    EXPECT_EQ(CMonitorFormat::Line(Data(ECapture::Event, "Connected"), EMonitorView::Hex, 0),
              "01:02:03.456  event      Connected");
    CCaptureRecord lost = Data(ECapture::Lost, "");
    lost.m_nLostBytes = 1204;
    EXPECT_EQ(CMonitorFormat::Line(lost, EMonitorView::HexAndText, 0), "01:02:03.456  lost       1,204 bytes not shown");
    // The offset moves the monotonic time to the time of day.
    EXPECT_EQ(CMonitorFormat::TimeText(to.m_nTimeNs, 3600ll * 1000000000ll + 1000000ll), "02:02:03.457");
}

TEST_F(CMonitorFormatTest, ALongBurstInRowsKeepsEveryByteAndItsColumns)
{
    std::string all;
    for (int k = 0; k < 70; ++k)
        all += static_cast<char>('A' + k % 26);
    const CCaptureRecord rec = Data(ECapture::FromPeer, all);
    const std::vector<std::string> rows = CMonitorFormat::Rows(rec, EMonitorView::HexAndText, 0, 32);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].substr(0, CMonitorFormat::DATA_COLUMN), "01:02:03.456  from peer  ");
    EXPECT_EQ(rows[1].substr(0, CMonitorFormat::DATA_COLUMN), std::string(CMonitorFormat::DATA_COLUMN, ' '));
    std::string hex;
    std::string text;
    for (const std::string& row : rows)
    {
        const size_t nText = CMonitorFormat::DATA_COLUMN + 32 * 3 + 1;
        ASSERT_GE(row.size(), nText) << row;
        hex += row.substr(CMonitorFormat::DATA_COLUMN, 32 * 3 - 1) + " ";
        text += row.substr(nText);
    }
    EXPECT_EQ(text, all) << "the text column stands at one place in every row";
    EXPECT_EQ(hex.substr(0, all.size() * 3 - 1), CMonitorFormat::HexText(all));
    // Short bursts and events stay one line.
    EXPECT_EQ(CMonitorFormat::Rows(Data(ECapture::Event, all), EMonitorView::Hex, 0, 32).size(), 1u);
    EXPECT_EQ(CMonitorFormat::Rows(Data(ECapture::ToPeer, "abc"), EMonitorView::Hex, 0, 32),
              std::vector<std::string>{CMonitorFormat::Line(Data(ECapture::ToPeer, "abc"), EMonitorView::Hex, 0)});
}

TEST_F(CMonitorFormatTest, LostCountsAreGroupedAndNamed)
{
    EXPECT_EQ(CMonitorFormat::Grouped(0), "0");
    EXPECT_EQ(CMonitorFormat::Grouped(999), "999");
    EXPECT_EQ(CMonitorFormat::Grouped(1000), "1,000");
    EXPECT_EQ(CMonitorFormat::Grouped(1234567), "1,234,567");
    EXPECT_EQ(CMonitorFormat::LostText(1, 0), "1 byte not shown");
    EXPECT_EQ(CMonitorFormat::LostText(0, 2), "2 events not shown");
    EXPECT_EQ(CMonitorFormat::LostText(5000, 1), "5,000 bytes not shown, 1 event not shown");
}

TEST_F(CMonitorFormatTest, WallOffsetTurnsTheMonotonicClockIntoTheTimeOfDay)
{
    struct timespec tsMono;
    clock_gettime(CLOCK_MONOTONIC, &tsMono);
    const int64_t nOffset = CMonitorFormat::WallOffsetNs();
    const int64_t nWall = (static_cast<int64_t>(tsMono.tv_sec) * 1000000000 + tsMono.tv_nsec) + nOffset;
    EXPECT_LT(std::llabs(nWall / 1000000000 - static_cast<int64_t>(std::time(nullptr))), 2);
}
