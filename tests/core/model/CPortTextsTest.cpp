// SPDX-License-Identifier: Apache-2.0
#include "core/model/CPortTexts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/model/CPortRows.h"
#include "core/model/PortColumns.h"

namespace
{
CPortView ClientView(int nPort)
{
    CPortView view;
    view.nPort = nPort;
    view.nMode = MODE_TCP_CLIENT;
    view.strAddress = "127.0.0.1";
    view.nPeerPort = 7001;
    return view;
}
}  // namespace

// The list sizes each column to its widest everyday text: a state text
// longer than that would be cut at the start size.
TEST(CPortTextsTest, WidestCellsCoverEveryStateText)
{
    const size_t nConnection = std::strlen(CPortTexts::WidestCell(COL_CONNECTION));
    for (int n = 0; n <= static_cast<int>(EConnectionState::UdpError); ++n)
        EXPECT_LE(std::strlen(CPortTexts::ConnectionText(static_cast<EConnectionState>(n))), nConnection) << n;
    const size_t nCreate = std::strlen(CPortTexts::WidestCell(COL_CREATE));
    for (ECreateState state : {ECreateState::None, ECreateState::Created, ECreateState::Error})
        EXPECT_LE(std::strlen(CPortTexts::CreateText(state)), nCreate);
    for (long n = 0; n <= 4; ++n)
        EXPECT_LE(CPortTexts::ParityText(n).size(), std::strlen(CPortTexts::WidestCell(COL_PARITY)));
    EXPECT_EQ(CPortTexts::PeerText("255.255.255.255", 65535), CPortTexts::WidestCell(COL_PEER));
    CPortView last = ClientView(255);
    EXPECT_EQ(CPortTexts::Cell(last, COL_PORT), CPortTexts::WidestCell(COL_PORT));
    for (int nCol = 0; nCol < COL_COUNT; ++nCol)
        EXPECT_GT(std::strlen(CPortTexts::WidestCell(nCol)), 0U) << nCol;
}

TEST(CPortTextsTest, StatusLineCountsPortsAndConnectedOnes)
{
    CPortRows rows;
    EXPECT_EQ(rows.StatusLine(-1), "No ports");
    rows.InsertRow(0, ClientView(0));
    EXPECT_EQ(rows.StatusLine(-1), "1 port, 0 connected");
    rows.InsertRow(1, ClientView(1));
    rows.InsertRow(2, ClientView(2));
    rows.Change(0, [](CPortView& view) { view.connection = EConnectionState::Connected; });
    rows.Change(2, [](CPortView& view) { view.connection = EConnectionState::UdpStarted; });
    EXPECT_EQ(rows.StatusLine(-1), "3 ports, 2 connected");
    // A selected row without a reason leaves the counts.
    EXPECT_EQ(rows.StatusLine(1), "3 ports, 2 connected");
    rows.Change(1, [](CPortView& view) {
        view.connection = EConnectionState::ConnectError;
        view.strReason = "connect 127.0.0.1:7001: Connection refused";
    });
    EXPECT_EQ(rows.StatusLine(1), "COM2: connect 127.0.0.1:7001: Connection refused");
    // Only the selected row's reason shows; out of range is none selected.
    EXPECT_EQ(rows.StatusLine(0), "3 ports, 2 connected");
    EXPECT_EQ(rows.StatusLine(7), "3 ports, 2 connected");
}

TEST(CPortTextsTest, TrafficReadsWithGroupedDigits)
{
    EXPECT_EQ(CPortTexts::TrafficText(0, 0), "Since Start: 0 bytes sent, 0 received");
    EXPECT_EQ(CPortTexts::TrafficText(1, 999), "Since Start: 1 byte sent, 999 received");
    EXPECT_EQ(CPortTexts::TrafficText(1000, 1234567), "Since Start: 1,000 bytes sent, 1,234,567 received");
    EXPECT_EQ(CPortTexts::TrafficText(18446744073709551615ull, 100000),
              "Since Start: 18,446,744,073,709,551,615 bytes sent, 100,000 received");
}
