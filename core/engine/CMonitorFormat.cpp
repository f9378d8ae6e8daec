// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CMonitorFormat.h"

#include <cstdio>
#include <ctime>

const char* CMonitorFormat::KindText(ECapture kind)
{
    switch (kind)
    {
    case ECapture::ToPeer: return "to peer  ";
    case ECapture::FromPeer: return "from peer";
    case ECapture::Event: return "event    ";
    case ECapture::Lost: return "lost     ";
    }
    return "?        ";
}

std::string CMonitorFormat::TimeText(uint64_t nTimeNs, int64_t nWallOffsetNs)
{
    const int64_t nWall = static_cast<int64_t>(nTimeNs) + nWallOffsetNs;
    const time_t tSeconds = static_cast<time_t>(nWall / 1000000000);
    const int nMs = static_cast<int>((nWall % 1000000000) / 1000000);
    struct tm tmLocal;
    localtime_r(&tSeconds, &tmLocal);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec,
                  nMs < 0 ? 0 : nMs);
    return buf;
}

std::string CMonitorFormat::HexText(const std::string& data)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string str;
    if (data.empty())
        return str;
    str.reserve(data.size() * 3);
    for (unsigned char ch : data)
    {
        str += DIGITS[ch >> 4];
        str += DIGITS[ch & 0x0F];
        str += ' ';
    }
    str.pop_back();
    return str;
}

std::string CMonitorFormat::PrintableText(const std::string& data)
{
    std::string str(data);
    for (char& ch : str)
    {
        const unsigned char u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u > 0x7E)
            ch = '.';
    }
    return str;
}

std::string CMonitorFormat::Grouped(uint64_t n)
{
    std::string str = std::to_string(n);
    for (int k = static_cast<int>(str.size()) - 3; k > 0; k -= 3)
        str.insert(static_cast<size_t>(k), ",");
    return str;
}

std::string CMonitorFormat::LostText(uint64_t nBytes, uint64_t nEvents)
{
    std::string str;
    if (nBytes != 0 || nEvents == 0)
        str = Grouped(nBytes) + (nBytes == 1 ? " byte" : " bytes") + " not shown";
    if (nEvents != 0)
        str += (str.empty() ? "" : ", ") + Grouped(nEvents) + (nEvents == 1 ? " event" : " events") + " not shown";
    return str;
}

std::string CMonitorFormat::Line(const CCaptureRecord& rec, EMonitorView view, int64_t nWallOffsetNs)
{
    std::string str = TimeText(rec.m_nTimeNs, nWallOffsetNs) + "  " + KindText(rec.m_kind) + "  ";
    switch (rec.m_kind)
    {
    case ECapture::Event: str += rec.m_data; break;
    case ECapture::Lost: str += LostText(rec.m_nLostBytes, rec.m_nLostEvents); break;
    case ECapture::ToPeer:
    case ECapture::FromPeer:
        if (view != EMonitorView::Text)
            str += HexText(rec.m_data);
        if (view == EMonitorView::HexAndText)
            str += "  ";
        if (view != EMonitorView::Hex)
            str += PrintableText(rec.m_data);
        break;
    }
    return str;
}

std::vector<std::string> CMonitorFormat::Rows(const CCaptureRecord& rec, EMonitorView view, int64_t nWallOffsetNs,
                                              size_t nPerRow)
{
    const bool bData = rec.m_kind == ECapture::ToPeer || rec.m_kind == ECapture::FromPeer;
    if (!bData || nPerRow == 0 || rec.m_data.size() <= nPerRow)
        return {Line(rec, view, nWallOffsetNs)};
    std::vector<std::string> rows;
    CCaptureRecord part;
    part.m_kind = rec.m_kind;
    part.m_nTimeNs = rec.m_nTimeNs;
    for (size_t nAt = 0; nAt < rec.m_data.size(); nAt += nPerRow)
    {
        part.m_data = rec.m_data.substr(nAt, nPerRow);
        std::string str = Line(part, view, nWallOffsetNs);
        if (nAt != 0)
            str.replace(0, DATA_COLUMN, DATA_COLUMN, ' ');
        // The text column lines up under the first row's.
        if (view == EMonitorView::HexAndText && part.m_data.size() < nPerRow)
            str.insert(DATA_COLUMN + part.m_data.size() * 3 - 1, (nPerRow - part.m_data.size()) * 3, ' ');
        rows.push_back(std::move(str));
    }
    return rows;
}

int64_t CMonitorFormat::WallOffsetNs()
{
    struct timespec tsReal;
    struct timespec tsMono;
    clock_gettime(CLOCK_REALTIME, &tsReal);
    clock_gettime(CLOCK_MONOTONIC, &tsMono);
    return (static_cast<int64_t>(tsReal.tv_sec) - static_cast<int64_t>(tsMono.tv_sec)) * 1000000000 +
           (static_cast<int64_t>(tsReal.tv_nsec) - static_cast<int64_t>(tsMono.tv_nsec));
}
