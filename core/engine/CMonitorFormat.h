// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/engine/CCaptureRecord.h"

// What a monitor line shows of a burst's bytes.
enum class EMonitorView
{
    HexAndText,
    Hex,
    Text,
};

// The one text of a monitor record, shared by the window and nimbreld:
// "time  direction  hex  text", for example
//   12:04:31.250  to peer    48 69 0D  Hi.
//   12:04:31.262  event      Connected
//   12:04:32.001  lost       1,204 bytes not shown
class CMonitorFormat
{
public:
    // The direction column's words, padded to one width.
    static const char* KindText(ECapture kind);
    // nWallOffsetNs turns the record's monotonic time into the time of day
    // (WallOffsetNs); the time is shown in local time.
    static std::string Line(const CCaptureRecord& rec, EMonitorView view, int64_t nWallOffsetNs);
    // The same as rows of at most nPerRow bytes each (a window lays out
    // short rows much faster than one long one): the first row as Line,
    // the others blank where the time and the direction stand.
    static std::vector<std::string> Rows(const CCaptureRecord& rec, EMonitorView view, int64_t nWallOffsetNs,
                                         size_t nPerRow);
    // The width of "time  direction  ", where the bytes begin.
    static constexpr size_t DATA_COLUMN = 25;
    // "HH:MM:SS.mmm" of the monotonic nTimeNs.
    static std::string TimeText(uint64_t nTimeNs, int64_t nWallOffsetNs);
    // "41 42 0D": every byte as two upper-case hex digits.
    static std::string HexText(const std::string& data);
    // Printable ASCII as is, every other byte as '.'.
    static std::string PrintableText(const std::string& data);
    // "1,204 bytes not shown" (and the events, when any).
    static std::string LostText(uint64_t nBytes, uint64_t nEvents);
    // 1234567 -> "1,234,567".
    static std::string Grouped(uint64_t n);
    // The real-time clock minus the monotonic clock, now.
    static int64_t WallOffsetNs();
};
