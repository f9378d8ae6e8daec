// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CComPortOption.h"
#include "core/engine/CComPortSession.h"

#include <gtest/gtest.h>

using Opt = CComPortOption;
using Bytes = std::vector<uint8_t>;

namespace
{

// The payloads of the subnegotiations in a byte run, 255s undoubled; fails
// the test on anything that is not a well-formed IAC SB 44 ... IAC SE.
std::vector<Bytes> Payloads(const Bytes& run)
{
    std::vector<Bytes> out;
    size_t k = 0;
    while (k < run.size())
    {
        EXPECT_GE(run.size() - k, 5u);
        EXPECT_EQ(run[k], TELNET_IAC);
        EXPECT_EQ(run[k + 1], TELNET_SB);
        EXPECT_EQ(run[k + 2], TELOPT_COM_PORT);
        k += 3;
        Bytes payload;
        for (;;)
        {
            if (k + 1 >= run.size())
            {
                ADD_FAILURE() << "no IAC SE";
                return out;
            }
            if (run[k] == TELNET_IAC)
            {
                if (run[k + 1] == TELNET_SE)
                {
                    k += 2;
                    break;
                }
                EXPECT_EQ(run[k + 1], TELNET_IAC) << "a lone IAC inside";
                payload.push_back(TELNET_IAC);
                k += 2;
                continue;
            }
            payload.push_back(run[k++]);
        }
        out.push_back(payload);
    }
    return out;
}

Opt::SMessage Decoded(const Bytes& payload)
{
    Opt::SMessage message;
    EXPECT_TRUE(Opt::Decode(payload, &message));
    return message;
}

Opt::SSettings Settings(uint32_t nBaud, uint8_t nData, Opt::EParity parity, Opt::EStopBits stop,
                        Opt::EFlow flow = Opt::EFlow::None)
{
    Opt::SSettings s;
    s.nBaudRate = nBaud;
    s.nDataBits = nData;
    s.parity = parity;
    s.stopBits = stop;
    s.flow = flow;
    return s;
}

}  // namespace

TEST(ComPortOptionTest, MessagesAreFramedWithEvery255Doubled)
{
    // 19200 7E2 with no flow control, byte for byte.
    const Bytes run = Opt::BuildSettings(Settings(19200, 7, Opt::EParity::Even, Opt::EStopBits::Two));
    const Bytes want = {255, 250, 44, 1, 0, 0, 0x4b, 0x00, 255, 240, 255, 250, 44, 2, 7, 255, 240,
                        255, 250, 44, 3, 3,  255, 240, 255, 250, 44, 4, 2, 255, 240, 255, 250, 44, 5, 1, 255, 240};
    EXPECT_EQ(run, want);

    // A baud rate with 255 in it: each such byte doubled, and read back whole.
    const Bytes odd = Opt::Build(static_cast<int>(Opt::ECommand::SetBaudRate), Opt::Bytes32(0x00ff01ff));
    EXPECT_EQ(odd, (Bytes{255, 250, 44, 1, 0, 255, 255, 1, 255, 255, 255, 240}));
    const std::vector<Bytes> payloads = Payloads(odd);
    ASSERT_EQ(payloads.size(), 1u);
    const Opt::SMessage message = Decoded(payloads[0]);
    EXPECT_EQ(message.command, Opt::ECommand::SetBaudRate);
    EXPECT_FALSE(message.bFromServer);
    EXPECT_EQ(Opt::Value32(message.value), 0x00ff01ffu);

    // A server's reply carries the code plus 100.
    const std::vector<Bytes> reply = Payloads(Opt::BuildReply(Opt::ECommand::SetParity, {3}));
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0], (Bytes{103, 3}));
    EXPECT_TRUE(Decoded(reply[0]).bFromServer);
    EXPECT_EQ(Decoded(reply[0]).command, Opt::ECommand::SetParity);
}

TEST(ComPortOptionTest, MalformedPayloadsAreRefused)
{
    Opt::SMessage message;
    EXPECT_FALSE(Opt::Decode({}, &message));
    EXPECT_FALSE(Opt::Decode({13}, &message)) << "past PURGE-DATA";
    EXPECT_FALSE(Opt::Decode({113, 1}, &message));
    EXPECT_FALSE(Opt::Decode({99, 1}, &message));
    EXPECT_FALSE(Opt::Decode({1, 0, 0, 37}, &message)) << "a baud rate of three bytes";
    EXPECT_FALSE(Opt::Decode({2}, &message)) << "a data size without its value";
    EXPECT_FALSE(Opt::Decode({3, 1, 1}, &message));
    EXPECT_FALSE(Opt::Decode({8, 0}, &message)) << "suspend has no value";
    EXPECT_TRUE(Opt::Decode({8}, &message));
    EXPECT_TRUE(Opt::Decode({0}, &message)) << "a signature request";
    EXPECT_TRUE(Opt::Decode({100, 'a', 'b'}, &message));
    EXPECT_EQ(message.value, (Bytes{'a', 'b'}));
    EXPECT_EQ(Opt::Value32({1, 2, 3}), 0u);
}

TEST(ComPortOptionTest, SettingsReadAsALineAndParityNamesRoundTrip)
{
    EXPECT_EQ(Opt::Describe(Settings(19200, 7, Opt::EParity::Even, Opt::EStopBits::Two)), "19200 7E2");
    EXPECT_EQ(Opt::Describe(Settings(57600, 8, Opt::EParity::None, Opt::EStopBits::OneAndHalf)), "57600 8N1.5");
    EXPECT_EQ(Opt::Describe(Settings(0, 0, Opt::EParity::Request, Opt::EStopBits::Request)), "? ???");
    for (const Opt::EParity parity :
         {Opt::EParity::None, Opt::EParity::Odd, Opt::EParity::Even, Opt::EParity::Mark, Opt::EParity::Space})
    {
        Opt::EParity back = Opt::EParity::Request;
        ASSERT_TRUE(Opt::ParseParity(Opt::ParityName(parity), &back));
        EXPECT_EQ(back, parity);
    }
    Opt::EParity back = Opt::EParity::Odd;
    EXPECT_FALSE(Opt::ParseParity("Even", &back));
    EXPECT_FALSE(Opt::ParseParity("", &back));
    EXPECT_EQ(back, Opt::EParity::Odd);
}

// A client says nothing until the option is agreed, then the masks and
// every setting; after that only what the program changed.
TEST(ComPortSessionTest, AClientSendsItsSettingsOnceAgreedAndThenOnlyChanges)
{
    CComPortSession session(CComPortSession::ERole::Client);
    session.SetWanted(Settings(19200, 7, Opt::EParity::Even, Opt::EStopBits::Two));
    session.Purge(Opt::EPurge::Both);
    EXPECT_FALSE(session.HasOutput()) << "not agreed yet";

    session.OnAgreed();
    std::vector<Bytes> sent = Payloads(session.TakeOutput());
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0], (Bytes{10, CComPortSession::LINE_MASK}));
    EXPECT_EQ(sent[1], (Bytes{11, CComPortSession::MODEM_MASK}));
    EXPECT_EQ(sent[2], (Bytes{1, 0, 0, 0x4b, 0}));
    EXPECT_EQ(sent[3], (Bytes{2, 7}));
    EXPECT_EQ(sent[4], (Bytes{3, 3}));
    EXPECT_EQ(sent[5], (Bytes{4, 2}));
    EXPECT_EQ(sent[6], (Bytes{5, 1}));
    session.OnAgreed();
    EXPECT_FALSE(session.HasOutput()) << "a second agreement repeats nothing";

    session.SetWanted(Settings(19200, 7, Opt::EParity::Even, Opt::EStopBits::Two));
    EXPECT_FALSE(session.HasOutput()) << "the same settings again";
    session.SetWanted(Settings(57600, 7, Opt::EParity::Even, Opt::EStopBits::Two, Opt::EFlow::XonXoff));
    sent = Payloads(session.TakeOutput());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Bytes{1, 0, 0, 0xe1, 0}));
    EXPECT_EQ(sent[1], (Bytes{5, 2}));

    session.Purge(Opt::EPurge::Receive);
    sent = Payloads(session.TakeOutput());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Bytes{12, 1}));

    // A new connection starts over.
    session.Reset(CComPortSession::ERole::Client);
    EXPECT_FALSE(session.IsAgreed());
    session.SetWanted(Settings(9600, 8, Opt::EParity::None, Opt::EStopBits::One));
    EXPECT_FALSE(session.HasOutput());
}

TEST(ComPortSessionTest, AClientKeepsWhatTheServerAcknowledgedAndNotified)
{
    CComPortSession session(CComPortSession::ERole::Client);
    session.OnAgreed();
    session.TakeOutput();
    EXPECT_EQ(session.OnMessage(Decoded({101, 0, 0, 0x4b, 0})), "device server baud rate: 19200");
    EXPECT_EQ(session.OnMessage(Decoded({102, 7})), "device server data bits: 7");
    EXPECT_EQ(session.OnMessage(Decoded({103, 3})), "device server parity: even");
    EXPECT_EQ(session.OnMessage(Decoded({104, 2})), "device server stop bits: 2");
    EXPECT_EQ(session.OnMessage(Decoded({105, 1})), "device server flow control: none");
    EXPECT_EQ(session.OnMessage(Decoded({105, 8})), "") << "a DTR answer is no flow control";
    EXPECT_EQ(Opt::Describe(session.Acknowledged()), "19200 7E2");
    EXPECT_EQ(session.Acknowledged().flow, Opt::EFlow::None);

    EXPECT_EQ(session.ModemText(), "-");
    EXPECT_EQ(session.OnMessage(Decoded({107, 0xb0})), "device server modem state: CD DSR CTS");
    EXPECT_EQ(session.OnMessage(Decoded({107, 0xb1})), "") << "only a delta bit changed";
    EXPECT_EQ(session.ModemState(), 0xb1);
    session.OnMessage(Decoded({106, 0x10}));
    EXPECT_EQ(session.LineState(), 0x10);

    // A request sent to a client is not answered: two confused peers must
    // not start a loop.
    EXPECT_EQ(session.OnMessage(Decoded({1, 0, 0, 0x25, 0x80})), "");
    EXPECT_FALSE(session.HasOutput());
    EXPECT_EQ(session.Acknowledged().nBaudRate, 19200u);
}

TEST(ComPortSessionTest, AServerAppliesRequestsAndAnswersWithTheValuesInEffect)
{
    CComPortSession session(CComPortSession::ERole::Server);
    session.SetCurrent(Settings(9600, 8, Opt::EParity::None, Opt::EStopBits::One));
    session.SetSignature("Nimbrel");

    EXPECT_EQ(session.OnMessage(Decoded({1, 0, 0, 0xe1, 0})), "client set baud rate: 57600");
    EXPECT_TRUE(session.TakeSettingsChange());
    EXPECT_FALSE(session.TakeSettingsChange()) << "once per change";
    EXPECT_EQ(Payloads(session.TakeOutput()), (std::vector<Bytes>{{101, 0, 0, 0xe1, 0}}));

    // Value 0 asks for the current value and changes nothing; a value out
    // of range keeps the current one, and the answer says which.
    session.OnMessage(Decoded({2, 0}));
    session.OnMessage(Decoded({2, 9}));
    session.OnMessage(Decoded({3, 7}));
    session.OnMessage(Decoded({4, 0}));
    EXPECT_FALSE(session.TakeSettingsChange());
    EXPECT_EQ(Payloads(session.TakeOutput()), (std::vector<Bytes>{{102, 8}, {102, 8}, {103, 1}, {104, 1}}));

    session.OnMessage(Decoded({2, 7}));
    session.OnMessage(Decoded({3, 3}));
    session.OnMessage(Decoded({4, 2}));
    session.OnMessage(Decoded({5, 2}));
    EXPECT_TRUE(session.TakeSettingsChange());
    EXPECT_EQ(Opt::Describe(session.Current()), "57600 7E2");
    EXPECT_EQ(session.Current().flow, Opt::EFlow::XonXoff);
    session.TakeOutput();

    // What a pseudo-terminal cannot carry is answered with its fixed state.
    session.OnMessage(Decoded({5, 5}));   // break on
    session.OnMessage(Decoded({5, 9}));   // DTR off
    session.OnMessage(Decoded({5, 12}));  // RTS off
    session.OnMessage(Decoded({5, 16}));  // inbound hardware flow
    session.OnMessage(Decoded({5, 200}));
    EXPECT_FALSE(session.TakeSettingsChange());
    EXPECT_EQ(Payloads(session.TakeOutput()), (std::vector<Bytes>{{105, 6}, {105, 8}, {105, 11}, {105, 14}}));

    // The signature request, the masks and a purge are answered in kind.
    session.OnMessage(Decoded({0}));
    session.OnMessage(Decoded({10, 0x10}));
    session.OnMessage(Decoded({12, 3}));
    EXPECT_EQ(session.OnMessage(Decoded({0, 'p', 'y'})), "client signature: py");
    EXPECT_EQ(Payloads(session.TakeOutput()),
              (std::vector<Bytes>{{100, 'N', 'i', 'm', 'b', 'r', 'e', 'l'}, {110, 0x10}, {112, 3}}));

    // A reply sent to a server is not answered.
    session.OnMessage(Decoded({101, 0, 0, 0x25, 0x80}));
    EXPECT_FALSE(session.HasOutput());
    EXPECT_EQ(session.Current().nBaudRate, 57600u);
}
