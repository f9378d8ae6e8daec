// SPDX-License-Identifier: Apache-2.0
#include <atomic>
#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <poll.h>

#include "core/engine/CSocketCtrl.h"
#include "tests/core/engine/WorkerFixture.h"

namespace
{

constexpr size_t PERIOD = 4093;  // prime: a byte at the wrong offset shows

// A flood one way must leave the other way open: a worker that keeps busy
// with the flood still waits now and then, so a message against it
// arrives while the flood runs, and the flood arrives whole and in order.
class FloodTest : public WorkerTest
{
protected:
    void CheckAgainstTheFlood(int i, bool bFromProgram)
    {
        const int hListen = StartClientWithListener(i);
        const int hApp = OpenApp(i);
        ASSERT_GE(hApp, 0);
        const int hPeer = Accept(hListen);
        ASSERT_GE(hPeer, 0);
        m_vecClose.push_back(hPeer);
        ASSERT_TRUE(WaitConn(i, "Connected"));
        const int hFrom = bFromProgram ? hApp : hPeer;
        const int hTo = bFromProgram ? hPeer : hApp;
        fcntl(hFrom, F_SETFL, fcntl(hFrom, F_GETFL) | O_NONBLOCK);

        const std::string strPattern = Pattern(PERIOD, 5);
        std::atomic<bool> bStop{false};
        std::atomic<size_t> nWritten{0};
        std::atomic<size_t> nRead{0};
        std::atomic<bool> bWriterDone{false};
        std::atomic<size_t> nFirstWrong{SIZE_MAX};
        std::thread writer([&] {
            std::string strChunk;
            for (size_t k = 0; k < 16 * PERIOD; ++k)
                strChunk += strPattern[k % PERIOD];
            size_t nDone = 0;
            while (!bStop)
            {
                const size_t nAt = nDone % PERIOD;
                const ssize_t n = write(hFrom, strChunk.data() + nAt, strChunk.size() - PERIOD);
                if (n < 0 && errno == EAGAIN)
                {
                    // A flood that stopped moving ends the writer too.
                    pollfd p{hFrom, POLLOUT, 0};
                    if (poll(&p, 1, 5000) <= 0)
                        break;
                    continue;
                }
                if (n <= 0)
                    break;
                nDone += static_cast<size_t>(n);
                nWritten = nDone;
            }
            bWriterDone = true;
        });
        std::thread reader([&] {
            char buf[65536];
            size_t nDone = 0;
            while (!(bWriterDone && nDone >= nWritten))
            {
                if (!WaitReadable(hTo, 5000))
                    break;
                const ssize_t n = read(hTo, buf, sizeof(buf));
                if (n <= 0)
                    break;
                for (ssize_t k = 0; k < n; ++k)
                    if (buf[k] != strPattern[(nDone + static_cast<size_t>(k)) % PERIOD] && nFirstWrong == SIZE_MAX)
                        nFirstWrong = nDone + static_cast<size_t>(k);
                nDone += static_cast<size_t>(n);
                nRead = nDone;
            }
        });

        // Well into the flood, a message goes the other way.
        const auto tEnd = std::chrono::steady_clock::now() + 10s;
        while (nRead < (1u << 20) && std::chrono::steady_clock::now() < tEnd)
            std::this_thread::sleep_for(5ms);
        EXPECT_GE(nRead.load(), 1u << 20) << "the flood runs";
        const std::string strAgainst = "against the flood";
        EXPECT_TRUE(WriteAll(hTo, strAgainst));
        EXPECT_EQ(ReadFor(hFrom, strAgainst.size()), strAgainst) << "it arrived while the flood went on";

        bStop = true;
        writer.join();
        reader.join();
        EXPECT_EQ(nRead.load(), nWritten.load()) << "the flood arrived whole";
        EXPECT_EQ(nFirstWrong.load(), SIZE_MAX) << "and in order";
    }
};

}  // namespace

TEST_F(FloodTest, AMessageFromThePeerCrossesTheProgramsFlood)
{
    CheckAgainstTheFlood(PORT, true);
}

TEST_F(FloodTest, AMessageFromTheProgramCrossesThePeersFlood)
{
    CheckAgainstTheFlood(PORT, false);
}
