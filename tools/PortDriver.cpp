// SPDX-License-Identifier: Apache-2.0
// The application side of the measurements in bench/: opens virtual serial
// ports (pty paths) the way a serial program does and drives data through
// them to an echo peer and back.
//
//   nimbrel_port_driver rtt PATH COUNT SIZE    round trips of SIZE bytes, p50/p99
//   nimbrel_port_driver stream PATH BYTES      writer thread + reader, MB/s
//   nimbrel_port_driver multi BYTES PATH...    every path at once, aggregate MB/s
//   nimbrel_port_driver openclose PATH COUNT   open, echo 4 bytes, close; ms per cycle
//   option: --max-seconds N (default 300), after which it ends by itself
//
// Every result is one line of key=value pairs on stdout; a failure is a line
// starting with "error" and a non-zero exit status. Everything read back is
// compared with what was written: a lost, doubled or reordered byte fails.
// openclose goes on after a cycle whose echo is lost or wrong (0.5 s without
// it), counts it in failures=N and exits non-zero; 40 such cycles end it.
// MB is 10^6 bytes.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "tools/BenchCommon.h"

namespace
{

// A prime period, so that a block landing at the wrong offset never matches.
constexpr size_t PATTERN_PERIOD = 65521;
constexpr size_t WRITE_CHUNK = 4096;
constexpr size_t READ_CHUNK = 65536;
constexpr int WARMUP_ROUNDS = 100;
// Silence this long while bytes are still owed counts as a failure.
constexpr int STALL_MS = 10000;
// A loopback echo after an open takes milliseconds; this long is a loss.
constexpr int OPENCLOSE_STALL_MS = 500;
constexpr long long OPENCLOSE_MAX_FAILURES = 40;

// The pattern twice over: any window of up to PATTERN_PERIOD bytes starting
// at offset % PATTERN_PERIOD is contiguous.
const std::vector<unsigned char>& Pattern()
{
    static const std::vector<unsigned char> s_vec = [] {
        std::vector<unsigned char> vec(2 * PATTERN_PERIOD);
        uint32_t x = 2463534242u;
        for (size_t k = 0; k < PATTERN_PERIOD; ++k)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            vec[k] = vec[k + PATTERN_PERIOD] = static_cast<unsigned char>(x >> 24);
        }
        return vec;
    }();
    return s_vec;
}

const unsigned char* PatternAt(uint64_t nOffset)
{
    return Pattern().data() + nOffset % PATTERN_PERIOD;
}

int Fail(const std::string& strWhat)
{
    std::printf("error %s\n", strWhat.c_str());
    std::fflush(stdout);
    return 1;
}

// As a serial program opens its port: read/write, not as controlling
// terminal, raw 8-bit, blocking reads that return what has arrived.
int OpenPort(const std::string& strPath, int bNonBlock)
{
    const int h = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (bNonBlock ? O_NONBLOCK : 0));
    if (h < 0)
        return -1;
    termios t;
    if (tcgetattr(h, &t) != 0)
    {
        close(h);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(h, TCSANOW, &t) != 0)
    {
        close(h);
        return -1;
    }
    return h;
}

bool WriteAll(int h, const unsigned char* p, size_t n)
{
    while (n > 0)
    {
        const ssize_t m = write(h, p, n);
        if (m < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (m <= 0)
            return false;
        p += m;
        n -= static_cast<size_t>(m);
    }
    return true;
}

// Blocking reads; the process time limit ends a peer that never answers.
bool ReadAll(int h, unsigned char* p, size_t n)
{
    while (n > 0)
    {
        const ssize_t m = read(h, p, n);
        if (m < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (m <= 0)
            return false;
        p += m;
        n -= static_cast<size_t>(m);
    }
    return true;
}

// With a limit on the silence, for the cycles that follow an open: 1 when
// all came, 0 after nStallMs without a byte, -1 when the read failed.
int ReadAllWithin(int h, unsigned char* p, size_t n, int nStallMs)
{
    while (n > 0)
    {
        pollfd pfd{h, POLLIN, 0};
        const int nReady = poll(&pfd, 1, nStallMs);
        if (nReady < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (nReady == 0)
            return 0;
        if (nReady < 0)
            return -1;
        const ssize_t m = read(h, p, n);
        if (m < 0 && (errno == EINTR || errno == EAGAIN) && !bench::g_bStop)
            continue;
        if (m <= 0)
            return -1;
        p += m;
        n -= static_cast<size_t>(m);
    }
    return 1;
}

double Percentile(const std::vector<double>& vecSorted, double dP)
{
    if (vecSorted.empty())
        return 0;
    const size_t nIndex = static_cast<size_t>(dP * static_cast<double>(vecSorted.size() - 1) + 0.5);
    return vecSorted[std::min(nIndex, vecSorted.size() - 1)];
}

double Mean(const std::vector<double>& vec)
{
    double d = 0;
    for (double x : vec)
        d += x;
    return vec.empty() ? 0 : d / static_cast<double>(vec.size());
}

int RunRtt(const std::string& strPath, long long nCount, long long nSize)
{
    const int h = OpenPort(strPath, 0);
    if (h < 0)
        return Fail("open path=" + strPath + " errno=" + std::to_string(errno));
    std::vector<unsigned char> vecIn(static_cast<size_t>(nSize));
    std::vector<double> vecUs;
    vecUs.reserve(static_cast<size_t>(nCount));
    uint64_t nOffset = 0;
    for (long long k = 0; k < WARMUP_ROUNDS + nCount; ++k)
    {
        // Each round sends other bytes, so a stale echo cannot pass.
        const unsigned char* pOut = PatternAt(nOffset);
        nOffset += static_cast<uint64_t>(nSize);
        const double t0 = bench::MonoSeconds();
        if (!WriteAll(h, pOut, vecIn.size()) || !ReadAll(h, vecIn.data(), vecIn.size()))
        {
            close(h);
            return Fail("io round=" + std::to_string(k) + " errno=" + std::to_string(errno));
        }
        const double t1 = bench::MonoSeconds();
        if (std::memcmp(vecIn.data(), pOut, vecIn.size()) != 0)
        {
            close(h);
            return Fail("mismatch round=" + std::to_string(k));
        }
        if (k >= WARMUP_ROUNDS)
            vecUs.push_back((t1 - t0) * 1e6);
    }
    close(h);
    std::sort(vecUs.begin(), vecUs.end());
    std::printf("rtt size=%lld count=%lld p50_us=%.1f p99_us=%.1f mean_us=%.1f max_us=%.1f\n", nSize, nCount,
                Percentile(vecUs, 0.50), Percentile(vecUs, 0.99), Mean(vecUs), vecUs.back());
    return 0;
}

int RunStream(const std::string& strPath, long long nBytes)
{
    const int h = OpenPort(strPath, 0);
    if (h < 0)
        return Fail("open path=" + strPath + " errno=" + std::to_string(errno));
    const uint64_t nTotal = static_cast<uint64_t>(nBytes);
    std::atomic<int> bWriteFailed{0};
    const double t0 = bench::MonoSeconds();
    std::thread writer([&] {
        for (uint64_t nDone = 0; nDone < nTotal && !bench::g_bStop;)
        {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(WRITE_CHUNK, nTotal - nDone));
            if (!WriteAll(h, PatternAt(nDone), n))
            {
                bWriteFailed = 1;
                return;
            }
            nDone += n;
        }
    });
    std::vector<unsigned char> buf(READ_CHUNK);
    uint64_t nRead = 0;
    std::string strError;
    while (nRead < nTotal)
    {
        pollfd pfd{h, POLLIN, 0};
        const int nReady = poll(&pfd, 1, STALL_MS);
        if (nReady < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (nReady <= 0)
        {
            strError = "stalled read=" + std::to_string(nRead);
            break;
        }
        const size_t nWant = static_cast<size_t>(std::min<uint64_t>(buf.size(), nTotal - nRead));
        const ssize_t m = read(h, buf.data(), nWant);
        if (m < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (m <= 0)
        {
            strError = "read read=" + std::to_string(nRead) + " errno=" + std::to_string(errno);
            break;
        }
        // A window never passes the end of the doubled pattern.
        for (size_t nChecked = 0; nChecked < static_cast<size_t>(m);)
        {
            const size_t nPart = std::min<size_t>(static_cast<size_t>(m) - nChecked, PATTERN_PERIOD);
            if (std::memcmp(buf.data() + nChecked, PatternAt(nRead + nChecked), nPart) != 0)
            {
                strError = "mismatch near=" + std::to_string(nRead + nChecked);
                break;
            }
            nChecked += nPart;
        }
        if (!strError.empty())
            break;
        nRead += static_cast<uint64_t>(m);
    }
    const double t1 = bench::MonoSeconds();
    if (!strError.empty())
    {
        // The writer may be blocked on a full port: closing it here would
        // not wake it, so end the process instead.
        Fail(strError);
        _exit(1);
    }
    writer.join();
    close(h);
    if (bWriteFailed)
        return Fail("write");
    std::printf("stream bytes=%llu seconds=%.3f mbps=%.1f verified=1\n", static_cast<unsigned long long>(nTotal),
                t1 - t0, static_cast<double>(nTotal) / 1e6 / (t1 - t0));
    return 0;
}

struct SStream
{
    std::string strPath;
    int h = -1;
    uint64_t nPhase = 0;  // where in the pattern this port starts
    uint64_t nWritten = 0;
    uint64_t nRead = 0;
    double tDone = 0;
};

int RunMulti(long long nBytes, const std::vector<std::string>& vecPaths)
{
    const uint64_t nTotal = static_cast<uint64_t>(nBytes);
    std::vector<SStream> vec(vecPaths.size());
    for (size_t k = 0; k < vecPaths.size(); ++k)
    {
        vec[k].strPath = vecPaths[k];
        // Every port its own phase: bytes crossing over to another port fail.
        vec[k].nPhase = (k * 7919) % PATTERN_PERIOD;
        vec[k].h = OpenPort(vecPaths[k], 1);
        if (vec[k].h < 0)
            return Fail("open path=" + vecPaths[k] + " errno=" + std::to_string(errno));
    }
    std::vector<unsigned char> buf(READ_CHUNK);
    std::vector<pollfd> vecFds(vec.size());
    size_t nFinished = 0;
    const double t0 = bench::MonoSeconds();
    std::string strError;
    while (nFinished < vec.size() && strError.empty())
    {
        for (size_t k = 0; k < vec.size(); ++k)
        {
            const SStream& s = vec[k];
            short nEvents = 0;
            if (s.nRead < nTotal)
                nEvents |= POLLIN;
            if (s.nWritten < nTotal)
                nEvents |= POLLOUT;
            vecFds[k] = {nEvents != 0 ? s.h : -1, nEvents, 0};
        }
        const int nReady = poll(vecFds.data(), vecFds.size(), STALL_MS);
        if (nReady < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (nReady <= 0)
        {
            strError = "stalled";
            break;
        }
        for (size_t k = 0; k < vec.size() && strError.empty(); ++k)
        {
            SStream& s = vec[k];
            const short nRev = vecFds[k].revents;
            if ((nRev & POLLOUT) && s.nWritten < nTotal)
            {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(WRITE_CHUNK, nTotal - s.nWritten));
                const ssize_t m = write(s.h, PatternAt(s.nPhase + s.nWritten), n);
                if (m > 0)
                    s.nWritten += static_cast<uint64_t>(m);
                else if (m < 0 && errno != EAGAIN && errno != EINTR)
                    strError = "write path=" + s.strPath + " errno=" + std::to_string(errno);
            }
            if ((nRev & (POLLIN | POLLHUP | POLLERR)) && s.nRead < nTotal)
            {
                const size_t nWant = static_cast<size_t>(std::min<uint64_t>(buf.size(), nTotal - s.nRead));
                const ssize_t m = read(s.h, buf.data(), nWant);
                if (m < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (m <= 0)
                {
                    strError = "read path=" + s.strPath + " errno=" + std::to_string(errno);
                    break;
                }
                for (size_t nChecked = 0; nChecked < static_cast<size_t>(m);)
                {
                    const size_t nPart = std::min<size_t>(static_cast<size_t>(m) - nChecked, PATTERN_PERIOD);
                    if (std::memcmp(buf.data() + nChecked, PatternAt(s.nPhase + s.nRead + nChecked), nPart) != 0)
                    {
                        strError = "mismatch path=" + s.strPath + " near=" + std::to_string(s.nRead + nChecked);
                        break;
                    }
                    nChecked += nPart;
                }
                s.nRead += static_cast<uint64_t>(m);
                if (s.nRead == nTotal)
                {
                    s.tDone = bench::MonoSeconds();
                    ++nFinished;
                }
            }
        }
    }
    const double t1 = bench::MonoSeconds();
    for (SStream& s : vec)
        close(s.h);
    if (!strError.empty())
        return Fail(strError);
    double tFirst = t1;
    for (const SStream& s : vec)
        tFirst = std::min(tFirst, s.tDone);
    std::printf("multi ports=%zu bytes_each=%llu seconds=%.3f mbps=%.1f first_done_s=%.3f verified=%zu\n", vec.size(),
                static_cast<unsigned long long>(nTotal), t1 - t0,
                static_cast<double>(nTotal) * static_cast<double>(vec.size()) / 1e6 / (t1 - t0), tFirst - t0,
                vec.size());
    return 0;
}

int RunOpenClose(const std::string& strPath, long long nCount)
{
    std::vector<double> vecMs;
    vecMs.reserve(static_cast<size_t>(nCount));
    long long nFailures = 0;
    long long nLost = 0;   // nothing came back in time
    long long nWrong = 0;  // something else came back, or the port failed
    long long nFirstFailure = -1;
    std::string strFirstFailure;
    const double tStart = bench::MonoSeconds();
    long long nDone = 0;
    for (long long k = 0; k < nCount && !bench::g_bStop; ++k, ++nDone)
    {
        // Four letters that change every cycle, so that an echo from an
        // earlier cycle cannot pass.
        unsigned char out[4];
        long long nRest = k;
        for (unsigned char& ch : out)
        {
            ch = static_cast<unsigned char>('a' + nRest % 26);
            nRest /= 26;
        }
        unsigned char in[4] = {};
        const double t0 = bench::MonoSeconds();
        const int h = OpenPort(strPath, 0);
        if (h < 0)
            return Fail("open cycle=" + std::to_string(k) + " errno=" + std::to_string(errno));
        std::string strWhy;
        int nRead = 1;
        if (!WriteAll(h, out, sizeof(out)))
            strWhy = "write-failed";
        else if ((nRead = ReadAllWithin(h, in, sizeof(in), OPENCLOSE_STALL_MS)) <= 0)
            strWhy = nRead == 0 ? "no-echo" : "read-failed";
        else if (std::memcmp(in, out, sizeof(out)) != 0)
            strWhy = "mismatch";
        const int nErrno = errno;
        close(h);
        vecMs.push_back((bench::MonoSeconds() - t0) * 1e3);
        if (strWhy.empty())
            continue;
        ++(strWhy == "no-echo" ? nLost : nWrong);
        if (nFailures < 5)
            std::fprintf(stderr, "openclose: cycle %lld %s (sent %.4s, got %.4s, errno %d)\n", k, strWhy.c_str(),
                         reinterpret_cast<const char*>(out), reinterpret_cast<const char*>(in), nErrno);
        // Counted, and the next cycle tried on a fresh open; a port that
        // keeps failing ends the run early.
        if (nFailures++ == 0)
        {
            nFirstFailure = k;
            strFirstFailure = strWhy;
        }
        if (nFailures >= OPENCLOSE_MAX_FAILURES)
        {
            ++nDone;
            break;
        }
    }
    const double tTotal = bench::MonoSeconds() - tStart;
    std::sort(vecMs.begin(), vecMs.end());
    std::printf("openclose count=%lld ms_per_cycle=%.3f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f failures=%lld lost=%lld "
                "wrong=%lld",
                nDone, tTotal * 1e3 / static_cast<double>(nDone > 0 ? nDone : 1), Percentile(vecMs, 0.50),
                Percentile(vecMs, 0.99), vecMs.empty() ? 0.0 : vecMs.back(), nFailures, nLost, nWrong);
    if (nFailures > 0)
        std::printf(" first_failure_cycle=%lld first_failure=%s", nFirstFailure, strFirstFailure.c_str());
    std::printf("\n");
    return nFailures == 0 && nDone == nCount ? 0 : 1;
}

int Usage()
{
    std::fputs("usage: nimbrel_port_driver rtt PATH COUNT SIZE | stream PATH BYTES | multi BYTES PATH... |\n"
               "                           openclose PATH COUNT   [--max-seconds N]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int nMaxSeconds = 300;
    const std::vector<std::string> args = bench::TakeArgs(argc, argv, &nMaxSeconds);
    if (args.empty() || nMaxSeconds <= 0)
        return Usage();
    bench::InstallStopSignals();
    bench::ArmTimeLimit(nMaxSeconds);
    const std::string& strCmd = args[0];
    if (strCmd == "rtt" && args.size() == 4)
    {
        const long long nCount = bench::ParseCount(args[2]);
        const long long nSize = bench::ParseCount(args[3]);
        if (nCount < 1 || nSize < 1 || nSize > 1 << 20)
            return Usage();
        return RunRtt(args[1], nCount, nSize);
    }
    if (strCmd == "stream" && args.size() == 3)
    {
        const long long nBytes = bench::ParseCount(args[2]);
        if (nBytes < 1)
            return Usage();
        return RunStream(args[1], nBytes);
    }
    if (strCmd == "multi" && args.size() >= 3)
    {
        const long long nBytes = bench::ParseCount(args[1]);
        if (nBytes < 1)
            return Usage();
        return RunMulti(nBytes, std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (strCmd == "openclose" && args.size() == 3)
    {
        const long long nCount = bench::ParseCount(args[2]);
        if (nCount < 1)
            return Usage();
        return RunOpenClose(args[1], nCount);
    }
    return Usage();
}
