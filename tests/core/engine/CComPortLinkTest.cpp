// SPDX-License-Identifier: Apache-2.0
// COM port control through a real virtual port: the program's termios
// reaches a device server, a client's requests reach the program.
#include <termios.h>

#include "core/engine/CComPortLink.h"
#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254, OPT = 44;

std::string Bytes(std::initializer_list<int> list)
{
    std::string str;
    for (int n : list)
        str += static_cast<char>(n);
    return str;
}

std::string Sub(std::initializer_list<int> payload)
{
    std::string str = Bytes({IAC, SB, OPT});
    for (int n : payload)
    {
        str += static_cast<char>(n);
        if (n == IAC)
            str += static_cast<char>(IAC);
    }
    return str + Bytes({IAC, SE});
}

// The peer's view of the Telnet stream: data, commands and the COM port
// control payloads, each in arrival order.
struct SPeerStream
{
    std::string strData;
    std::vector<std::pair<int, int>> vecCommands;
    std::vector<std::vector<int>> vecSubs;

    void Feed(const std::string& str)
    {
        for (unsigned char by : str)
            Byte(by);
    }

    bool HasCommand(int nCommand, int nOption) const
    {
        return std::find(vecCommands.begin(), vecCommands.end(), std::make_pair(nCommand, nOption)) !=
               vecCommands.end();
    }
    // The payloads of one command code, in order.
    std::vector<std::vector<int>> SubsOf(int nCode) const
    {
        std::vector<std::vector<int>> vec;
        for (const auto& sub : vecSubs)
            if (!sub.empty() && sub[0] == nCode)
                vec.emplace_back(sub.begin() + 1, sub.end());
        return vec;
    }

private:
    void Byte(unsigned char by)
    {
        if (m_nCommand != 0)
        {
            vecCommands.emplace_back(m_nCommand, by);
            m_nCommand = 0;
        }
        else if (m_bIac)
        {
            m_bIac = false;
            if (by == SB)
                m_bSub = true, m_nSubOption = -1, m_sub.clear();
            else if (by == SE)
            {
                if (m_nSubOption == OPT)
                    vecSubs.push_back(m_sub);
                m_bSub = false;
            }
            else if (by >= WILL && by <= DONT)
                m_nCommand = by;
            else if (by == IAC)
                Keep(by);
        }
        else if (by == IAC)
            m_bIac = true;
        else
            Keep(by);
    }
    void Keep(unsigned char by)
    {
        if (!m_bSub)
            strData += static_cast<char>(by);
        else if (m_nSubOption < 0)
            m_nSubOption = by;
        else
            m_sub.push_back(by);
    }

    bool m_bIac = false;
    bool m_bSub = false;
    int m_nCommand = 0;
    int m_nSubOption = -1;
    std::vector<int> m_sub;
};

std::vector<int> Baud(uint32_t n)
{
    return {static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 255), static_cast<int>((n >> 8) & 255),
            static_cast<int>(n & 255)};
}

class ComPortTest : public WorkerTest
{
protected:
    void SwitchOn(int i, int nDataBits = 0, ELineParity parity = ELineParity::Program)
    {
        CPortEntry entry = m_core.m_comData.GetEntry(i);
        entry.m_nConnectType = CONNECT_TELNET;
        entry.m_bComPortControl = true;
        entry.m_nComPortDataBits = nDataBits;
        entry.m_comPortParity = parity;
        m_core.m_comData.SetEntry(i, entry);
    }

    // Reads the peer while the owner loop runs, until pred holds.
    bool PeerUntil(int hPeer, SPeerStream& stream, const std::function<bool()>& pred,
                   std::chrono::milliseconds timeout = 5s)
    {
        return m_loop.RunUntil(
            [&] {
                char buf[65536];
                while (WaitReadable(hPeer, 0))
                {
                    const ssize_t n = read(hPeer, buf, sizeof(buf));
                    if (n <= 0)
                        break;
                    stream.Feed(std::string(buf, static_cast<size_t>(n)));
                }
                return pred();
            },
            timeout);
    }

    std::string ComPortText(int i) { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(i), COL_COMPORT); }
    bool WaitComPort(int i, const std::string& str, std::chrono::milliseconds timeout = 5s)
    {
        return m_loop.RunUntil([&] { return ComPortText(i) == str; }, timeout);
    }

    static bool SetLine(int hApp, speed_t speed, bool bTwoStopBits)
    {
        struct termios t;
        if (tcgetattr(hApp, &t) != 0)
            return false;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        if (bTwoStopBits)
            t.c_cflag |= CSTOPB;
        else
            t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        return tcsetattr(hApp, TCSANOW, &t) == 0;
    }

    // A client port with the switch, its program at 19200 with two stop
    // bits, and the peer that accepted it: returns the peer.
    int StartClient(SPeerStream& stream, int* pnApp)
    {
        int nPeerPort = 0;
        const int hListen = ListenTcp(&nPeerPort);
        m_vecClose.push_back(hListen);
        ConfigureClient(PORT, nPeerPort);
        SwitchOn(PORT, 7, ELineParity::Even);
        StartPort(PORT);
        *pnApp = OpenApp(PORT);
        if (*pnApp < 0 || !SetLine(*pnApp, B19200, true))
            return -1;
        const int hPeer = Accept(hListen);
        if (hPeer >= 0)
            m_vecClose.push_back(hPeer);
        if (hPeer < 0 || !WaitConn(PORT, "Connected"))
            return -1;
        // The settings have reached the worker before the peer agrees.
        m_loop.RunUntil(
            [&] { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), COL_BAUDRATE) == "19200"; }, 5s);
        PeerUntil(hPeer, stream, [&] { return stream.HasCommand(WILL, OPT); });
        return hPeer;
    }

    // A peer that refuses the option or never answers: the port goes on as
    // a Telnet port without it.
    void CheckPlainTelnet(bool bSilent)
    {
        m_core.m_options.m_nConnectTimeout = 1;
        SPeerStream stream;
        int hApp = -1;
        const int hPeer = StartClient(stream, &hApp);
        ASSERT_GE(hPeer, 0);
        if (!bSilent)
        {
            ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, DONT, OPT})));
        }
        EXPECT_TRUE(WaitComPort(PORT, CComPortLink::REFUSED, 5s)) << ComPortText(PORT);
        EXPECT_EQ(Conn(PORT), "Connected");
        ASSERT_TRUE(WriteAll(hApp, "to the peer"));
        ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.strData.size() >= 11; }));
        EXPECT_EQ(stream.strData, "to the peer");
        EXPECT_TRUE(stream.vecSubs.empty()) << "no COM port control to a peer without it";
        ASSERT_TRUE(WriteAll(hPeer, "to the program"));
        EXPECT_EQ(ReadFor(hApp, 14), "to the program");
        ASSERT_TRUE(SetLine(hApp, B38400, false));
        PeerUntil(hPeer, stream, [] { return false; }, 200ms);
        EXPECT_TRUE(stream.vecSubs.empty());
    }
};

}  // namespace

TEST_F(ComPortTest, ClientSendsTheProgramsSettingsAndFollowsItsChanges)
{
    SPeerStream stream;
    int hApp = -1;
    const int hPeer = StartClient(stream, &hApp);
    ASSERT_GE(hPeer, 0);
    EXPECT_TRUE(stream.HasCommand(WILL, OPT)) << "the client offers the option";
    EXPECT_TRUE(stream.vecSubs.empty()) << "nothing is sent before the peer agrees";
    // The row hears of the offer through the status queue, after the peer.
    EXPECT_TRUE(WaitComPort(PORT, "offered to the peer")) << ComPortText(PORT);

    ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, DO, OPT})));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return !stream.SubsOf(5).empty(); }));
    // The pty keeps 19200 and two stop bits; data size and parity are the
    // port's own, since a pty carries neither.
    EXPECT_EQ(stream.SubsOf(1), std::vector<std::vector<int>>{Baud(19200)});
    EXPECT_EQ(stream.SubsOf(2), std::vector<std::vector<int>>{{7}});
    EXPECT_EQ(stream.SubsOf(3), std::vector<std::vector<int>>{{3}});
    EXPECT_EQ(stream.SubsOf(4), std::vector<std::vector<int>>{{2}});
    EXPECT_EQ(stream.SubsOf(5), std::vector<std::vector<int>>{{1}});
    EXPECT_EQ(stream.SubsOf(10).size(), 1u) << "the line state mask";
    EXPECT_EQ(stream.SubsOf(11).size(), 1u) << "the modem state mask";

    // The device server's answers and its modem lines reach the row.
    std::string strReply = Sub({101, 0, 0, 0x4b, 0}) + Sub({102, 7}) + Sub({103, 3}) + Sub({104, 2}) + Sub({105, 1}) +
                           Sub({107, 0xb0});
    ASSERT_TRUE(WriteAll(hPeer, strReply + "data"));
    EXPECT_TRUE(WaitComPort(PORT, "device server: 19200 7E2, flow none; CD DSR CTS")) << ComPortText(PORT);
    EXPECT_EQ(ReadFor(hApp, 4), "data") << "the replies are no data";

    // A later change sends only what changed.
    stream.vecSubs.clear();
    ASSERT_TRUE(SetLine(hApp, B57600, true));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return !stream.SubsOf(1).empty(); }));
    EXPECT_EQ(stream.SubsOf(1), std::vector<std::vector<int>>{Baud(57600)});
    EXPECT_EQ(stream.vecSubs.size(), 1u);

    // A flush of the program's input purges the device server's receive
    // buffer.
    stream.vecSubs.clear();
    ASSERT_EQ(tcflush(hApp, TCIFLUSH), 0);
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return !stream.SubsOf(12).empty(); }));
    EXPECT_EQ(stream.SubsOf(12), std::vector<std::vector<int>>{{1}});

    // Data still crosses both ways, 255 included.
    ASSERT_TRUE(WriteAll(hApp, Bytes({'a', 255, 'b'})));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.strData.size() >= 3; }));
    EXPECT_EQ(stream.strData, Bytes({'a', 255, 'b'}));
}

TEST_F(ComPortTest, RefusingPeerLeavesAPlainTelnetPort)
{
    CheckPlainTelnet(false);
}

TEST_F(ComPortTest, SilentPeerLeavesAPlainTelnetPortAfterTheConnectTimeout)
{
    CheckPlainTelnet(true);
}

// An endless subnegotiation costs no memory and stalls nothing: it is cut
// off at IAC SE, and the data after it arrives whole.
TEST_F(ComPortTest, EndlessSubnegotiationIsDroppedAndDataGoesOn)
{
    SPeerStream stream;
    int hApp = -1;
    const int hPeer = StartClient(stream, &hApp);
    ASSERT_GE(hPeer, 0);
    ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, DO, OPT}) + "before"));
    EXPECT_EQ(ReadFor(hApp, 6), "before");

    std::string strFlood = Bytes({IAC, SB, OPT, 1});
    strFlood += std::string(1 << 20, 'x');
    const std::string strAfter = Pattern(100000, 7);
    std::string strTail = Bytes({IAC, SE});
    for (char ch : strAfter)
    {
        strTail += ch;
        if (static_cast<unsigned char>(ch) == IAC)
            strTail += ch;
    }
    std::string strGot;
    std::thread writer([&] { WriteAll(hPeer, strFlood + strTail, 20000); });
    // Meanwhile the program's bytes still reach the peer.
    ASSERT_TRUE(WriteAll(hApp, "meanwhile"));
    m_loop.RunUntil(
        [&] {
            strGot += ReadFor(hApp, strAfter.size() - strGot.size(), 10);
            return strGot.size() >= strAfter.size();
        },
        20s);
    writer.join();
    EXPECT_EQ(strGot.size(), strAfter.size());
    EXPECT_TRUE(strGot == strAfter) << "the data after the subnegotiation arrives intact";
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.strData.size() >= 9; }));
    EXPECT_EQ(stream.strData, "meanwhile");
    EXPECT_TRUE(WaitComPort(PORT, "sent 19200 7E2, flow none; 1 malformed subnegotiation from the peer dropped"))
        << ComPortText(PORT);
}

TEST_F(ComPortTest, ServerAppliesTheClientsRequestsToTheProgramsPort)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    SwitchOn(PORT);
    m_core.m_options.m_strUser = "operator";
    m_core.m_options.m_strPassword = "s3cret";
    StartPort(PORT);
    EXPECT_EQ(ComPortText(PORT), "on");
    const int hApp = OpenApp(PORT);
    ASSERT_GE(hApp, 0);
    const int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);

    // As pyserial does: both offers, then the settings, during the login.
    SPeerStream stream;
    ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, WILL, OPT, IAC, DO, OPT}) + Sub({1, 0, 0, 0xe1, 0}) + Sub({2, 7}) +
                                    Sub({4, 2}) + Sub({5, 8}) + Sub({0})));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.SubsOf(100).size() == 1; }));
    EXPECT_TRUE(stream.HasCommand(DO, OPT));
    EXPECT_TRUE(stream.HasCommand(WILL, OPT));
    EXPECT_EQ(stream.SubsOf(101), std::vector<std::vector<int>>{Baud(57600)});
    EXPECT_EQ(stream.SubsOf(104), std::vector<std::vector<int>>{{2}});
    EXPECT_EQ(stream.SubsOf(105), std::vector<std::vector<int>>{{8}}) << "DTR on: the state a pty always has";
    const std::vector<int> expectedSignature = {'N', 'i', 'm', 'b', 'r', 'e', 'l', ' ', 'C', 'O', 'M', '1'};
    EXPECT_EQ(stream.SubsOf(100), std::vector<std::vector<int>>{expectedSignature});

    // The program sees what the client asked for, as far as a pty has it,
    // and the reply told exactly that.
    struct termios t;
    ASSERT_EQ(tcgetattr(hApp, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    const int nBits = (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
    EXPECT_EQ(stream.SubsOf(102), std::vector<std::vector<int>>{{nBits}});
    EXPECT_TRUE(m_loop.RunUntil(
        [&] { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), COL_BAUDRATE) == "57600"; }, 5s))
        << "the row shows it";
    EXPECT_TRUE(WaitComPort(PORT, "client set 57600 " + std::to_string(nBits) + "N2, flow none")) << ComPortText(PORT);

    // The login and the data are untouched by it.
    ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, DO, 0, IAC, DO, 1, IAC, DO, 3, IAC, WILL, 0, IAC, WONT, 31, IAC, WONT, 39})));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.strData.find("login: ") != std::string::npos; }));
    ASSERT_TRUE(WriteAll(hPeer, "operator\r\n"));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.strData.find("Password: ") != std::string::npos; }));
    ASSERT_TRUE(WriteAll(hPeer, "s3cret\r\nhello"));
    ASSERT_TRUE(WaitConn(PORT, "Connected"));
    EXPECT_EQ(ReadFor(hApp, 5), "hello");
}

TEST_F(ComPortTest, SwitchedOffTheOptionIsRefusedAsBefore)
{
    const int nLocal = UnusedTcpPort();
    ConfigureServer(PORT, nLocal);
    m_core.m_comData.SetConnectType(PORT, CONNECT_TELNET);
    StartPort(PORT);
    EXPECT_EQ(ComPortText(PORT), "");
    const int hPeer = ConnectWhenListening(nLocal);
    ASSERT_GE(hPeer, 0);
    m_vecClose.push_back(hPeer);
    SPeerStream stream;
    ASSERT_TRUE(WriteAll(hPeer, Bytes({IAC, WILL, OPT}) + Sub({1, 0, 0, 0xe1, 0})));
    ASSERT_TRUE(PeerUntil(hPeer, stream, [&] { return stream.HasCommand(DONT, OPT); }));
    PeerUntil(hPeer, stream, [] { return false; }, 200ms);
    EXPECT_TRUE(stream.vecSubs.empty()) << "no answer to a request of an option refused";
    EXPECT_EQ(ComPortText(PORT), "");
}
