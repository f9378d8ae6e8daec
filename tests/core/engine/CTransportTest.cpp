// SPDX-License-Identifier: Apache-2.0
#include "core/engine/CTransport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace
{

class TransportTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_h), 0); }
    void TearDown() override
    {
        for (int h : m_h)
            if (h >= 0)
                close(h);
    }

    int m_h[2] = {-1, -1};
};

}  // namespace

TEST_F(TransportTest, PlainBytesBothWays)
{
    CTransport transport;
    transport.OpenPlain(m_h[0]);
    EXPECT_FALSE(transport.IsTls());
    EXPECT_FALSE(transport.HasPending());

    ETransportIo io = ETransportIo::Failed;
    std::string strReason;
    const unsigned char out[] = {'a', 'b', 'c'};
    EXPECT_EQ(transport.Send(out, 3, &io, &strReason), 3);
    char buf[8];
    EXPECT_EQ(read(m_h[1], buf, sizeof(buf)), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    unsigned char in[8];
    EXPECT_EQ(transport.Receive(in, 8, &io, &strReason), 0) << "nothing there yet";
    EXPECT_EQ(io, ETransportIo::Again);
    ASSERT_EQ(write(m_h[1], "xyz!", 4), 4);
    EXPECT_EQ(transport.Receive(in, 2, &io, &strReason), 2) << "no more than asked for";
    EXPECT_EQ(transport.Receive(in + 2, 8, &io, &strReason), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "xyz!");
}

// A peer that is gone: reading is left to the peer check (no bytes, no
// verdict), writing says the connection takes nothing any more.
TEST_F(TransportTest, PlainPeerGone)
{
    CTransport transport;
    transport.OpenPlain(m_h[0]);
    close(m_h[1]);
    m_h[1] = -1;
    ETransportIo io = ETransportIo::Failed;
    std::string strReason;
    unsigned char buf[4];
    EXPECT_EQ(transport.Receive(buf, 4, &io, &strReason), 0);
    EXPECT_EQ(io, ETransportIo::Again);
    const unsigned char out[] = {'a'};
    EXPECT_EQ(transport.Send(out, 1, &io, &strReason), 0);
    EXPECT_EQ(io, ETransportIo::Broken);
    EXPECT_TRUE(strReason.empty());
}

// A full socket is no failure: try again when it is writable.
TEST_F(TransportTest, PlainFullSocketIsAgain)
{
    CTransport transport;
    transport.OpenPlain(m_h[0]);
    ETransportIo io = ETransportIo::Failed;
    std::string strReason;
    const std::string strBlock(4096, 'x');
    int nSent = 0;
    for (int k = 0; k < 10000; ++k)
    {
        nSent = transport.Send(reinterpret_cast<const unsigned char*>(strBlock.data()), 4096, &io, &strReason);
        if (nSent == 0)
            break;
    }
    EXPECT_EQ(nSent, 0);
    EXPECT_EQ(io, ETransportIo::Again);
}
