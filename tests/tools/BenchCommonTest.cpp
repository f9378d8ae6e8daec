// SPDX-License-Identifier: Apache-2.0
// The measurement tools judge a run by these: a pattern check that misses a
// lost or altered byte, or a CPU reading that is off, makes a wrong figure
// look right.
#include "tools/BenchCommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include <unistd.h>

namespace
{

std::vector<unsigned char> PatternCopy(uint64_t nOffset, size_t n)
{
    std::vector<unsigned char> vec(n);
    for (size_t nDone = 0; nDone < n;)
    {
        const size_t nPart = std::min(n - nDone, bench::PATTERN_PERIOD);
        std::memcpy(vec.data() + nDone, bench::PatternAt(nOffset + nDone), nPart);
        nDone += nPart;
    }
    return vec;
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(BenchPattern, RepeatsWithItsPeriodAndNoShorterOne)
{
    const std::vector<unsigned char> vec = PatternCopy(0, 3 * bench::PATTERN_PERIOD);
    for (size_t k = 0; k < 2 * bench::PATTERN_PERIOD; ++k)
        ASSERT_EQ(vec[k], vec[k + bench::PATTERN_PERIOD]) << k;
    // Shifted by a byte or a common block size, it is another stream.
    for (size_t nShift : {size_t{1}, size_t{2}, size_t{64}, size_t{1600}, size_t{4096}, size_t{65536}})
        EXPECT_NE(std::memcmp(vec.data(), vec.data() + nShift, 4096), 0) << nShift;
}

TEST(BenchPattern, MatchesAcrossThePeriodBoundary)
{
    // A window that starts just before the wrap and spans several periods.
    const uint64_t nOffset = bench::PATTERN_PERIOD - 7 + 5 * bench::PATTERN_PERIOD;
    const std::vector<unsigned char> vec = PatternCopy(nOffset, 3 * bench::PATTERN_PERIOD + 100);
    EXPECT_EQ(bench::PatternMismatch(vec.data(), vec.size(), nOffset), -1);
}

TEST(BenchPattern, NamesTheFirstAlteredByte)
{
    const uint64_t nOffset = 123457;
    std::vector<unsigned char> vec = PatternCopy(nOffset, 200000);
    vec[150001] ^= 0x01;
    vec[180000] ^= 0x80;
    EXPECT_EQ(bench::PatternMismatch(vec.data(), vec.size(), nOffset), 150001);
}

TEST(BenchPattern, CatchesALostAndADoubledByte)
{
    const uint64_t nOffset = 42;
    const std::vector<unsigned char> vec = PatternCopy(nOffset, 10000);
    // Byte 5000 left out, and sent twice.
    std::vector<unsigned char> vecLost;
    std::vector<unsigned char> vecDoubled;
    for (size_t k = 0; k < vec.size(); ++k)
    {
        if (k != 5000)
            vecLost.push_back(vec[k]);
        vecDoubled.push_back(vec[k]);
        if (k == 5000)
            vecDoubled.push_back(vec[k]);
    }
    // The first byte after the change is usually already wrong; a run of
    // equal bytes can hide it for a few, never for long.
    const long long nLost = bench::PatternMismatch(vecLost.data(), vecLost.size(), nOffset);
    const long long nDoubled = bench::PatternMismatch(vecDoubled.data(), vecDoubled.size(), nOffset);
    EXPECT_GE(nLost, 5000);
    EXPECT_LT(nLost, 5016);
    EXPECT_GE(nDoubled, 5000);
    EXPECT_LT(nDoubled, 5016);
}

TEST(BenchPattern, TheWrongOffsetFails)
{
    const std::vector<unsigned char> vec = PatternCopy(1000, 4096);
    EXPECT_EQ(bench::PatternMismatch(vec.data(), vec.size(), 1000), -1);
    EXPECT_GE(bench::PatternMismatch(vec.data(), vec.size(), 1001), 0);
    EXPECT_GE(bench::PatternMismatch(vec.data(), vec.size(), 1000 + bench::PATTERN_PERIOD - 1), 0);
    EXPECT_EQ(bench::PatternMismatch(vec.data(), vec.size(), 1000 + 3 * bench::PATTERN_PERIOD), -1);
}

TEST(BenchProc, TicksFollowTheCpuThisProcessUsed)
{
    const long long nTicksPerSecond = sysconf(_SC_CLK_TCK);
    const long long n0 = bench::ProcessTicks(getpid());
    ASSERT_GE(n0, 0);
    // Burn 300 ms of CPU, however long that takes on a busy machine.
    const double dStart = ProcessCpuSeconds();
    volatile uint64_t nSink = 0;
    while (ProcessCpuSeconds() - dStart < 0.3)
        for (int k = 0; k < 10000; ++k)
            nSink = nSink + static_cast<uint64_t>(k);
    const double dUsed = ProcessCpuSeconds() - dStart;
    const long long n1 = bench::ProcessTicks(getpid());
    const double dMeasured = static_cast<double>(n1 - n0) / static_cast<double>(nTicksPerSecond);
    // Each reading is cut to a whole tick.
    const double dTick = 1.0 / static_cast<double>(nTicksPerSecond);
    EXPECT_GE(dMeasured, dUsed - 2 * dTick);
    EXPECT_LE(dMeasured, dUsed + 2 * dTick);
}

TEST(BenchProc, ContextSwitchesCountEachSleep)
{
    const long long n0 = bench::ProcessContextSwitches(getpid());
    ASSERT_GE(n0, 0);
    for (int k = 0; k < 20; ++k)
        usleep(1000);
    const long long n1 = bench::ProcessContextSwitches(getpid());
    EXPECT_GE(n1 - n0, 20);
}

TEST(BenchProc, AProcessThatIsGoneReadsAsMinusOne)
{
    // Past the largest pid the kernel hands out (2^22).
    EXPECT_EQ(bench::ProcessTicks(1 << 23), -1);
    EXPECT_EQ(bench::ProcessContextSwitches(1 << 23), -1);
}

}  // namespace
