// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTelnetCtrl.h"

#include <algorithm>
#include <string>

#include "core/engine/CComPortOption.h"

#include <gtest/gtest.h>

#include "tests/core/engine/TestRing.h"

using namespace testsupport;

namespace
{

// Test names of table rows: the row's own name.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& param)
{
    return param.param.pszName;
}

// Failure messages name the row instead of dumping its bytes.
template <typename Row>
void PrintRow(const Row& row, std::ostream* pOut)
{
    *pOut << row.pszName;
}

constexpr int RING = CTestRing::SIZE;

constexpr unsigned char IAC = TELNET_IAC;
constexpr unsigned char WILL = TELNET_WILL;
constexpr unsigned char WONT = TELNET_WONT;
constexpr unsigned char DO = TELNET_DO;
constexpr unsigned char DONT = TELNET_DONT;
constexpr unsigned char SB = TELNET_SB;
constexpr unsigned char SE = TELNET_SE;

const Bytes SERVER_OPENING = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 1, IAC, WILL, 3, IAC, DO, 31, IAC, DO, 39};
const Bytes CLIENT_OPENING = {IAC, WILL, 3};

// Everything PutNegotiation writes in one call into an empty ring.
Bytes Negotiate(CTelnetCtrl& telnet)
{
    CTestRing ring(RING - 5);  // so that longer output also wraps
    EXPECT_EQ(telnet.PutNegotiation(ring), 1);
    return ring.Take();
}

// Filters one block and returns the data left.
Bytes FilterBlock(CTelnetCtrl& telnet, Bytes by)
{
    int n = static_cast<int>(by.size());
    telnet.Filter(by.data(), n);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, static_cast<int>(by.size()));
    by.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return by;
}

// A server after its opening requests went out.
void OpenServer(CTelnetCtrl& telnet)
{
    telnet.Init(1);
    ASSERT_EQ(Negotiate(telnet), SERVER_OPENING);
}

TEST(CTelnetCtrlTest, OpeningBytesOfBothRoles)
{
    CTelnetCtrl server;
    server.Init(1);
    EXPECT_EQ(server.IsNegotiated(), 0);
    EXPECT_EQ(Negotiate(server), SERVER_OPENING);
    EXPECT_EQ(server.IsNegotiated(), 0);  // requests unanswered
    EXPECT_EQ(Negotiate(server), Bytes{});

    CTelnetCtrl client;
    client.Init(0);
    EXPECT_EQ(Negotiate(client), CLIENT_OPENING);
    EXPECT_EQ(Negotiate(client), Bytes{});
}

TEST(CTelnetCtrlTest, ClientAnsweringEverythingGetsSubnegotiationsAndCompletes)
{
    CTelnetCtrl telnet;
    OpenServer(telnet);
    const Bytes answers = {IAC, DO, 0, IAC, DO, 1, IAC, DO, 3, IAC, WILL, 0, IAC, WILL, 31, IAC, WILL, 39};
    EXPECT_EQ(FilterBlock(telnet, answers), Bytes{});
    EXPECT_EQ(telnet.IsNegotiated(), 0);  // subnegotiations still to go
    const Bytes expected = {IAC, SB, 31, 0, 80, 0, 24, IAC, SE, IAC, SB, 39, 1, IAC, SE};
    EXPECT_EQ(Negotiate(telnet), expected);
    EXPECT_EQ(telnet.IsNegotiated(), 1);
}

TEST(CTelnetCtrlTest, RefusalsAlsoComplete)
{
    CTelnetCtrl telnet;
    OpenServer(telnet);
    const Bytes answers = {IAC, DONT, 0, IAC, DONT, 1, IAC, DONT, 3, IAC, WONT, 0, IAC, WONT, 31, IAC, WONT, 39};
    EXPECT_EQ(FilterBlock(telnet, answers), Bytes{});
    EXPECT_EQ(telnet.IsNegotiated(), 1);
    EXPECT_EQ(Negotiate(telnet), Bytes{});
}

TEST(CTelnetCtrlTest, OneAnswerMissingKeepsItOpen)
{
    const Bytes answers[] = {
        {IAC, DO, 0}, {IAC, DO, 1}, {IAC, DO, 3}, {IAC, WILL, 0}, {IAC, WILL, 31}, {IAC, WILL, 39},
    };
    for (size_t nSkip = 0; nSkip < std::size(answers); ++nSkip)
    {
        SCOPED_TRACE(nSkip);
        CTelnetCtrl telnet;
        OpenServer(telnet);
        for (size_t k = 0; k < std::size(answers); ++k)
        {
            if (k != nSkip)
                FilterBlock(telnet, answers[k]);
        }
        Negotiate(telnet);
        EXPECT_EQ(telnet.IsNegotiated(), 0);
        FilterBlock(telnet, answers[nSkip]);
        Negotiate(telnet);
        EXPECT_EQ(telnet.IsNegotiated(), 1);
    }
}

// One command received after the opening; what goes out next.
struct CommandRow
{
    const char* pszName;
    int nRole;
    Bytes received;
    Bytes expected;
};
void PrintTo(const CommandRow& row, std::ostream* pOut)
{
    PrintRow(row, pOut);
}

const CommandRow COMMAND_ROWS[] = {
    {"UnaskedWillTtype", 1, {IAC, WILL, 24}, {IAC, DO, 24, IAC, SB, 24, 1, IAC, SE}},
    {"UnaskedDoTtypeServer", 1, {IAC, DO, 24}, {IAC, WILL, 24, IAC, SB, 24, 1, IAC, SE}},
    {"DoUnsupported", 1, {IAC, DO, 5}, {IAC, WONT, 5}},
    {"WillUnsupported", 1, {IAC, WILL, 5}, {IAC, DONT, 5}},
    {"WontUnasked", 1, {IAC, WONT, 5}, {IAC, DONT, 5}},
    {"DontUnasked", 1, {IAC, DONT, 5}, {IAC, WONT, 5}},
    {"WillEchoUnsupported", 1, {IAC, WILL, 1}, {IAC, DONT, 1}},
    {"DoSgaAnswersRequest", 1, {IAC, DO, 3}, {}},
    {"DoEchoAnswersRequest", 1, {IAC, DO, 1}, {}},
    {"WillNawsAnswersRequest", 1, {IAC, WILL, 31}, {IAC, SB, 31, 0, 80, 0, 24, IAC, SE}},
    {"WontNawsAnswersRequest", 1, {IAC, WONT, 31}, {}},
    {"Option255Ignored", 1, {IAC, WILL, 255, IAC, DO, 255}, {}},
    {"ClientDoTtype", 0, {IAC, DO, 24}, {IAC, WILL, 24, IAC, SB, 24, 0, 'A', 'N', 'S', 'I', IAC, SE}},
    {"ClientDoNaws", 0, {IAC, DO, 31}, {IAC, WILL, 31, IAC, SB, 31, 0, 80, 0, 24, IAC, SE}},
    {"ClientDoNewEnviron", 0, {IAC, DO, 39}, {IAC, WILL, 39, IAC, SB, 39, 0, IAC, SE}},
    {"ClientWillEcho", 0, {IAC, WILL, 1}, {IAC, DONT, 1}},
    {"ClientWillBinary", 0, {IAC, WILL, 0}, {IAC, DO, 0}},
    {"ClientDoSgaAnswersRequest", 0, {IAC, DO, 3}, {}},
    {"TwoRepliesInOptionOrder", 1, {IAC, DO, 40, IAC, WILL, 6}, {IAC, DONT, 6, IAC, WONT, 40}},
};

class TelnetCommandTest : public ::testing::TestWithParam<CommandRow>
{
};

TEST_P(TelnetCommandTest, AnswersAsExpected)
{
    const CommandRow& row = GetParam();
    CTelnetCtrl telnet;
    telnet.Init(row.nRole);
    Negotiate(telnet);
    EXPECT_EQ(FilterBlock(telnet, row.received), Bytes{});
    EXPECT_EQ(Negotiate(telnet), row.expected);
    // A reply is sent once.
    EXPECT_EQ(Negotiate(telnet), Bytes{});
}

INSTANTIATE_TEST_SUITE_P(Rows, TelnetCommandTest, ::testing::ValuesIn(COMMAND_ROWS), RowName<CommandRow>);

TEST(CTelnetCtrlTest, AnswerClearsOnlyItsOwnRequest)
{
    CTelnetCtrl telnet;
    OpenServer(telnet);
    using C = CTelnetCtrl;
    EXPECT_EQ(telnet.m_bySent[1][C::SLOT_WILL], 1);
    FilterBlock(telnet, {IAC, DONT, 1});
    EXPECT_EQ(telnet.m_bySent[1][C::SLOT_WILL], 0);
    EXPECT_EQ(telnet.m_bySent[0][C::SLOT_WILL], 1);
    EXPECT_EQ(telnet.m_bySent[0][C::SLOT_DO], 1);
    FilterBlock(telnet, {IAC, WILL, 0});
    EXPECT_EQ(telnet.m_bySent[0][C::SLOT_DO], 0);
    EXPECT_EQ(telnet.m_bySent[0][C::SLOT_WILL], 1);
    EXPECT_EQ(telnet.m_bySubPending[0], 1);
    EXPECT_EQ(Negotiate(telnet), Bytes{});  // option 0 has no subnegotiation
    EXPECT_EQ(telnet.m_bySubPending[0], 0);
}

// ---- the receive filter ----

struct FilterRow
{
    const char* pszName;
    Bytes received;
    Bytes data;         // what is left for the application
    Bytes negotiation;  // what PutNegotiation writes afterwards
};
void PrintTo(const FilterRow& row, std::ostream* pOut)
{
    PrintRow(row, pOut);
}

const FilterRow FILTER_ROWS[] = {
    {"PlainData", {'a', 'b', 13, 10, 0, 'c'}, {'a', 'b', 13, 10, 0, 'c'}, {}},
    {"CommandInsideData", {'A', IAC, WILL, 24, 'B'}, {'A', 'B'}, {IAC, DO, 24, IAC, SB, 24, 1, IAC, SE}},
    {"DoubledIac", {IAC, IAC}, {255}, {}},
    {"DoubledIacAmidData", {1, IAC, IAC, 2}, {1, 255, 2}, {}},
    {"TwoDoubledIac", {IAC, IAC, IAC, IAC}, {255, 255}, {}},
    {"DoubledIacThenCommand", {IAC, IAC, IAC, DO, 5, 'x'}, {255, 'x'}, {IAC, WONT, 5}},
    {"NopAndGaDropped", {'a', IAC, 241, 'b', IAC, 249, 'c'}, {'a', 'b', 'c'}, {}},
    {"SubnegotiationDropped",
     {'a', IAC, SB, 24, 0, 'x', 't', 'e', 'r', 'm', IAC, SE, 'b'},
     {'a', 'b'},
     {}},
    {"SubnegotiationWithEscapedIac", {'a', IAC, SB, 39, 0, IAC, IAC, 7, IAC, IAC, IAC, SE, 'b'}, {'a', 'b'}, {}},
    {"SubnegotiationWithCommandBytes", {IAC, SB, 39, 0, WILL, 5, DO, 6, SB, IAC, SE, 'z'}, {'z'}, {}},
    {"DataSeAfterSubnegotiation", {IAC, SB, 31, 0, 80, IAC, SE, SE, 'q'}, {SE, 'q'}, {}},
    {"AllByteValuesButIac",
     [] {
         Bytes by;
         for (int k = 0; k < 255; ++k)
             by.push_back(static_cast<unsigned char>(k));
         return by;
     }(),
     [] {
         Bytes by;
         for (int k = 0; k < 255; ++k)
             by.push_back(static_cast<unsigned char>(k));
         return by;
     }(),
     {}},
};

class TelnetFilterTest : public ::testing::TestWithParam<FilterRow>
{
protected:
    // Runs the row's bytes through Filter in blocks cut at the given points.
    void Check(const std::vector<size_t>& vecCut)
    {
        const FilterRow& row = GetParam();
        CTelnetCtrl telnet;
        telnet.Init(1);
        Negotiate(telnet);
        Bytes data;
        size_t nFrom = 0;
        std::vector<size_t> vecEnd = vecCut;
        vecEnd.push_back(row.received.size());
        for (size_t nTo : vecEnd)
        {
            const auto itBegin = row.received.begin();
            const Bytes block(itBegin + static_cast<long>(nFrom), itBegin + static_cast<long>(nTo));
            data = Cat(data, FilterBlock(telnet, block));
            nFrom = nTo;
        }
        EXPECT_EQ(data, row.data);
        EXPECT_EQ(Negotiate(telnet), row.negotiation);
    }
};

TEST_P(TelnetFilterTest, Whole)
{
    Check({});
}

TEST_P(TelnetFilterTest, SplitInTwoAtEveryPoint)
{
    for (size_t nCut = 0; nCut <= GetParam().received.size(); ++nCut)
    {
        SCOPED_TRACE(nCut);
        Check({nCut});
    }
}

TEST_P(TelnetFilterTest, OneByteAtATime)
{
    std::vector<size_t> vecCut;
    for (size_t k = 1; k < GetParam().received.size(); ++k)
        vecCut.push_back(k);
    Check(vecCut);
}

INSTANTIATE_TEST_SUITE_P(Rows, TelnetFilterTest, ::testing::ValuesIn(FILTER_ROWS), RowName<FilterRow>);

TEST(CTelnetCtrlTest, SplitCommandIsHandledAsWhole)
{
    // IAC | WILL 3 and IAC WILL | 3: WILL SGA unasked by a client that had
    // not requested it is answered DO SGA.
    const std::vector<std::pair<Bytes, Bytes>> SPLITS = {
        {{IAC}, {WILL, 3}},
        {{IAC, WILL}, {3}},
    };
    for (const auto& [first, second] : SPLITS)
    {
        CTelnetCtrl telnet;
        telnet.Init(0);
        Negotiate(telnet);
        EXPECT_EQ(FilterBlock(telnet, first), Bytes{});
        EXPECT_EQ(Negotiate(telnet), Bytes{});
        EXPECT_EQ(FilterBlock(telnet, Cat(second, {'d'})), Bytes{'d'});
        EXPECT_EQ(Negotiate(telnet), (Bytes{IAC, DO, 3}));
    }
}

TEST(CTelnetCtrlTest, InitClearsFilterStateButKeepsLogin)
{
    CTelnetCtrl telnet;
    telnet.SetLogin("admin", "secret");
    telnet.m_login.m_nTries = 4;
    telnet.Init(1);
    FilterBlock(telnet, {IAC, SB, 24, IAC});  // inside SB, IAC pending
    telnet.Init(1);
    EXPECT_EQ(FilterBlock(telnet, {WILL, 'a'}), (Bytes{WILL, 'a'}));
    EXPECT_EQ(telnet.m_login.m_nTries, 0u);
    EXPECT_EQ(telnet.m_login.m_strLoginUser, "admin");
    EXPECT_EQ(telnet.m_login.m_strLoginPassword, "secret");

    FilterBlock(telnet, {IAC, DO});  // command waiting for its option
    telnet.Init(0);
    EXPECT_EQ(FilterBlock(telnet, {5, 'b'}), (Bytes{5, 'b'}));
    EXPECT_EQ(Negotiate(telnet), CLIENT_OPENING);
}

// ---- writing into a ring with little room ----

// Calls PutNegotiation with exactly nRoom bytes free each time, taking out
// what it wrote, until a call writes nothing; returns all of it.
Bytes NegotiateInRoom(CTelnetCtrl& telnet, int nRoom)
{
    Bytes all;
    CTestRing ring(RING - 7);
    for (int nRound = 0; nRound < 1000; ++nRound)
    {
        ring.Occupy(RING - nRoom);
        const int nInBefore = ring.WriteIndex();
        EXPECT_EQ(telnet.PutNegotiation(ring), 1);
        const int nWritten = ring.Count() - (RING - nRoom);
        EXPECT_GE(nWritten, 0);
        EXPECT_LE(nWritten, nRoom);
        if (nWritten <= 0)
            break;
        all = Cat(all, ring.Peek(nInBefore, nWritten));
    }
    return all;
}

TEST(CTelnetCtrlTest, LittleRoomLosesAndRepeatsNothing)
{
    const Bytes answers = {IAC, DO, 0, IAC, DO, 1, IAC, DO, 3, IAC, WILL, 0, IAC, WILL, 31, IAC,
                           WILL, 39, IAC, WILL, 24, IAC, DO, 5, IAC, DONT, 7, IAC, DO, 24};
    for (int nRole : {0, 1})
    {
        // The same conversation with plenty of room.
        CTelnetCtrl reference;
        reference.Init(nRole);
        const Bytes opening = Negotiate(reference);
        FilterBlock(reference, answers);
        const Bytes replies = Negotiate(reference);
        ASSERT_FALSE(replies.empty());

        // 10 is the longest piece (the client's terminal type).
        for (int nRoom : {10, 11, 12, 13, 17, 20, 30})
        {
            SCOPED_TRACE(testing::Message() << "role " << nRole << " room " << nRoom);
            CTelnetCtrl telnet;
            telnet.Init(nRole);
            EXPECT_EQ(NegotiateInRoom(telnet, nRoom), opening);
            FilterBlock(telnet, answers);
            EXPECT_EQ(NegotiateInRoom(telnet, nRoom), replies);
            EXPECT_EQ(telnet.IsNegotiated(), reference.IsNegotiated());
        }
    }
}

TEST(CTelnetCtrlTest, PieceThatDoesNotFitHoldsBackLaterOptions)
{
    CTelnetCtrl telnet;
    OpenServer(telnet);
    // NAWS subnegotiation (9 bytes) is due, and a 3-byte reply for 40.
    FilterBlock(telnet, {IAC, WILL, 31, IAC, DO, 40});
    CTestRing ring;
    ring.Occupy(RING - 8);
    telnet.PutNegotiation(ring);
    EXPECT_EQ(ring.Count(), RING - 8) << "wrote past a piece that did not fit";
    ring.Occupy(RING - 3);
    telnet.PutNegotiation(ring);
    EXPECT_EQ(ring.Count(), RING - 3);
    EXPECT_EQ(Negotiate(telnet), (Bytes{IAC, SB, 31, 0, 80, 0, 24, IAC, SE, IAC, WONT, 40}));
}

TEST(CTelnetCtrlTest, FullRingWritesNothing)
{
    CTelnetCtrl telnet;
    telnet.Init(1);
    CTestRing ring(100);
    ring.Occupy(RING - 2);
    const CTestRing::CState before = ring.Snap();
    EXPECT_EQ(telnet.PutNegotiation(ring), 1);
    EXPECT_EQ(ring.WriteIndex(), before.m_nIn);
    EXPECT_EQ(ring.Count(), before.m_nCount);
    EXPECT_EQ(ring.AllBytes(), before.m_by);
    EXPECT_EQ(Negotiate(telnet), SERVER_OPENING);
}

// ---- sending data byte 255 ----

struct EscapeRow
{
    const char* pszName;
    Bytes in;
    int nRoom;
    Bytes out;
    int nConsumed;
};
void PrintTo(const EscapeRow& row, std::ostream* pOut)
{
    PrintRow(row, pOut);
}

const EscapeRow ESCAPE_ROWS[] = {
    {"NoIac", {1, 2, 3}, 10, {1, 2, 3}, 3},
    {"NoIacCutByRoom", {1, 2, 3}, 2, {1, 2}, 2},
    {"OneIac", {IAC}, 2, {IAC, IAC}, 1},
    {"IacWithoutRoomForPair", {IAC}, 1, {}, 0},
    {"PairNotSplit", {1, IAC, 2}, 2, {1}, 1},
    {"PairAtEnd", {1, IAC, 2}, 3, {1, IAC, IAC}, 2},
    {"AllFit", {1, IAC, 2}, 4, {1, IAC, IAC, 2}, 3},
    {"TwoIac", {IAC, IAC}, 3, {IAC, IAC}, 1},
    {"TwoIacRoom4", {IAC, IAC}, 4, {IAC, IAC, IAC, IAC}, 2},
    {"Empty", {}, 5, {}, 0},
    {"NoRoom", {1}, 0, {}, 0},
};

class TelnetEscapeTest : public ::testing::TestWithParam<EscapeRow>
{
};

TEST_P(TelnetEscapeTest, DoublesIacWithinRoom)
{
    const EscapeRow& row = GetParam();
    Bytes out(static_cast<size_t>(row.nRoom) + 4, 0xEE);
    int nConsumed = -1;
    const int nIn = static_cast<int>(row.in.size());
    const int n = CTelnetCtrl::EscapeIac(row.in.data(), nIn, out.data(), row.nRoom, &nConsumed);
    EXPECT_EQ(nConsumed, row.nConsumed);
    ASSERT_EQ(n, static_cast<int>(row.out.size()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), row.out);
    for (size_t k = static_cast<size_t>(n); k < out.size(); ++k)
        EXPECT_EQ(out[k], 0xEE) << "wrote beyond the output at " << k;
}

INSTANTIATE_TEST_SUITE_P(Rows, TelnetEscapeTest, ::testing::ValuesIn(ESCAPE_ROWS), RowName<EscapeRow>);

TEST(CTelnetCtrlTest, EscapedDataComesThroughTheFilterUnchanged)
{
    Bytes data;
    for (int nRep = 0; nRep < 3; ++nRep)
    {
        for (int k = 0; k < 256; ++k)
            data.push_back(static_cast<unsigned char>(k));
    }
    data.push_back(IAC);
    // Escaped in small pieces, as a sender with little room would.
    Bytes wire;
    size_t nFrom = 0;
    while (nFrom < data.size())
    {
        unsigned char piece[5];
        int nConsumed = 0;
        const int nLeft = static_cast<int>(data.size() - nFrom);
        const int n = CTelnetCtrl::EscapeIac(data.data() + nFrom, nLeft, piece, 5, &nConsumed);
        ASSERT_GT(nConsumed, 0);
        wire.insert(wire.end(), piece, piece + n);
        nFrom += static_cast<size_t>(nConsumed);
    }
    EXPECT_EQ(wire.size(), data.size() + 4);
    EXPECT_EQ(CTelnetCtrl::EscapeIac(data.data(), 1, nullptr, 0, nullptr), 0);

    for (size_t nCut : {size_t{0}, size_t{255}, size_t{256}, wire.size() - 1})
    {
        CTelnetCtrl telnet;
        telnet.Init(0);
        Negotiate(telnet);
        const Bytes first(wire.begin(), wire.begin() + static_cast<long>(nCut));
        const Bytes second(wire.begin() + static_cast<long>(nCut), wire.end());
        const Bytes dataFirst = FilterBlock(telnet, first);
        const Bytes dataSecond = FilterBlock(telnet, second);
        EXPECT_EQ(Cat(dataFirst, dataSecond), data) << nCut;
        EXPECT_EQ(Negotiate(telnet), Bytes{});
    }
}

// ---- the Telnet login ----

TEST(CTelnetCtrlTest, BannerWrittenWholeOnlyWhenItFits)
{
    const Bytes banner = ToBytes("Nimbrel Telnet Service\r\n\r\n");
    ASSERT_EQ(banner.size(), 26u);
    CTelnetCtrl telnet;
    CTestRing ring(RING - 10);
    ring.Occupy(RING - 25);
    EXPECT_EQ(telnet.PutBanner(ring), 0);
    EXPECT_EQ(ring.Count(), RING - 25);
    ring.Occupy(RING - 26);
    const int nStart = ring.WriteIndex();
    EXPECT_EQ(telnet.PutBanner(ring), 1);
    EXPECT_EQ(ring.Count(), RING);
    EXPECT_EQ(ring.Peek(nStart, 26), banner);
}

TEST(CTelnetCtrlTest, LoginDialogueOnTheTelnetData)
{
    CTelnetCtrl telnet;
    telnet.Init(1);
    telnet.SetLogin("admin", "secret");
    CTestRing tx;
    CTestRing rx;
    ASSERT_EQ(telnet.PutLoginPrompt(tx), 1);
    ASSERT_EQ(telnet.PutPasswordPrompt(tx), 1);
    ASSERT_EQ(telnet.PutIncorrect(tx), 1);
    ASSERT_EQ(telnet.PutTimeout(tx), 1);
    EXPECT_EQ(tx.Take(), ToBytes("login: Password: \r\nLogin incorrect\r\n\r\nLogin timeout\r\n"));

    // Typed bytes arrive through the filter, with negotiation mixed in.
    Bytes typed = {'a', 'd', IAC, DO, 3, 'm', 'i', 'n', 13, 10, 's', 'e', 'c', 'r', 'e', 't', 13, 10};
    int n = static_cast<int>(typed.size());
    telnet.Filter(typed.data(), n);
    typed.resize(static_cast<size_t>(n));
    rx.Put(typed);
    EXPECT_EQ(telnet.ReadUser(rx), 1);
    EXPECT_EQ(telnet.ReadPassword(rx), 1);
    EXPECT_EQ(telnet.m_login.m_nTries, 1u);

    ASSERT_EQ(telnet.PutLoginPrompt(tx), 1);
    rx.Put(ToBytes("admin\nwrong\n"));
    EXPECT_EQ(telnet.ReadUser(rx), 1);
    EXPECT_EQ(telnet.ReadPassword(rx), 2);
    EXPECT_EQ(telnet.m_login.m_nTries, 2u);
}

// COM port control: offered and answered only when switched on; its
// subnegotiations are collected whole however the blocks are cut, and
// never beyond their bound.
TEST(TelnetComPortTest, AgreementFollowsThePeersAnswer)
{
    CTelnetCtrl client;
    client.EnableComPortControl(true);
    client.Init(0);
    CTestRing tx;
    client.PutNegotiation(tx);
    EXPECT_EQ(tx.Take(), (Bytes{IAC, WILL, 3, IAC, WILL, 44}));
    EXPECT_EQ(client.ComPortState(), CTelnetCtrl::EComPort::Pending);
    client.OnCommand(TELNET_DO, 44);
    EXPECT_EQ(client.ComPortState(), CTelnetCtrl::EComPort::Agreed);
    client.OnCommand(TELNET_DONT, 44);
    EXPECT_EQ(client.ComPortState(), CTelnetCtrl::EComPort::Refused);

    CTelnetCtrl server;
    server.EnableComPortControl(true);
    server.Init(1);
    server.OnCommand(TELNET_WILL, 44);
    EXPECT_EQ(server.ComPortState(), CTelnetCtrl::EComPort::Agreed);
    server.PutNegotiation(tx);
    const Bytes sent = tx.Take();
    const Bytes doOption = {IAC, DO, 44};
    EXPECT_NE(std::search(sent.begin(), sent.end(), doOption.begin(), doOption.end()), sent.end());

    // Switched off: refused as every unknown option, nothing collected.
    CTelnetCtrl off;
    off.Init(1);
    EXPECT_EQ(off.ComPortState(), CTelnetCtrl::EComPort::Off);
    Bytes block = {IAC, WILL, 44, IAC, SB, 44, 1, 0, 0, 0x25, 0x80, IAC, SE, 'x'};
    int n = static_cast<int>(block.size());
    off.Filter(block.data(), n);
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(off.TakeComPortMessages().empty());
    EXPECT_EQ(off.ComPortState(), CTelnetCtrl::EComPort::Off);
}

TEST(TelnetComPortTest, SubnegotiationsAreCollectedAcrossEveryCut)
{
    const Bytes stream = {'a', IAC, SB, 44, 1, 0, IAC, IAC, 0, 9, IAC, SE, 'b', IAC, SB, 31, 7, IAC, SE,
                          IAC, SB, 44, 107, 0xb0, IAC, SE, 'c'};
    for (size_t nCut = 1; nCut < stream.size(); ++nCut)
    {
        SCOPED_TRACE(nCut);
        CTelnetCtrl telnet;
        telnet.EnableComPortControl(true);
        telnet.Init(0);
        Bytes data;
        for (size_t nAt = 0; nAt < stream.size(); nAt += nCut)
        {
            Bytes block(stream.begin() + static_cast<long>(nAt),
                        stream.begin() + static_cast<long>(std::min(stream.size(), nAt + nCut)));
            int n = static_cast<int>(block.size());
            telnet.Filter(block.data(), n);
            data.insert(data.end(), block.begin(), block.begin() + n);
        }
        EXPECT_EQ(data, (Bytes{'a', 'b', 'c'}));
        const auto messages = telnet.TakeComPortMessages();
        ASSERT_EQ(messages.size(), 2u) << "the other option's subnegotiation is not ours";
        EXPECT_EQ(messages[0], (std::vector<uint8_t>{1, 0, 255, 0, 9}));
        EXPECT_EQ(messages[1], (std::vector<uint8_t>{107, 0xb0}));
        EXPECT_EQ(telnet.TakeDroppedSubNegotiations(), 0u);
    }
}

TEST(TelnetComPortTest, AnEndlessSubnegotiationIsBoundedAndDropped)
{
    CTelnetCtrl telnet;
    telnet.EnableComPortControl(true);
    telnet.Init(0);
    Bytes start = {'a', IAC, SB, 44, 1};
    int n = static_cast<int>(start.size());
    telnet.Filter(start.data(), n);
    EXPECT_EQ(n, 1);
    // A megabyte without IAC SE: kept to its bound, handed on as no data.
    for (int k = 0; k < 1024; ++k)
    {
        Bytes block(1024, 'x');
        n = static_cast<int>(block.size());
        telnet.Filter(block.data(), n);
        ASSERT_EQ(n, 0);
        ASSERT_LE(telnet.m_vecSub.size(), CComPortOption::MAX_PAYLOAD);
    }
    Bytes end = {IAC, SE, 'b', IAC, SB, 44, 101, 0, 0, 0x4b, 0, IAC, SE};
    n = static_cast<int>(end.size());
    telnet.Filter(end.data(), n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(telnet.TakeDroppedSubNegotiations(), 1u);
    const auto messages = telnet.TakeComPortMessages();
    ASSERT_EQ(messages.size(), 1u) << "the next message is whole again";
    EXPECT_EQ(messages[0], (std::vector<uint8_t>{101, 0, 0, 0x4b, 0}));

    // A flood of short messages in one block: kept up to the bound, the
    // rest counted.
    Bytes flood;
    for (size_t k = 0; k < CTelnetCtrl::MAX_COM_PORT_MESSAGES + 10; ++k)
        flood.insert(flood.end(), {IAC, SB, 44, 107, 0x10, IAC, SE});
    n = static_cast<int>(flood.size());
    telnet.Filter(flood.data(), n);
    EXPECT_EQ(telnet.TakeComPortMessages().size(), CTelnetCtrl::MAX_COM_PORT_MESSAGES);
    EXPECT_EQ(telnet.TakeDroppedSubNegotiations(), 10u);
}

}  // namespace
