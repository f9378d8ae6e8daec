// SPDX-License-Identifier: Apache-2.0
// The application side of the measurements in bench/: opens virtual serial
// ports (pty paths) the way a serial program does and drives data through
// them to an echo peer and back.
//
//   nimbrel_port_driver rtt PATH COUNT SIZE    round trips of SIZE bytes, p50/p99
//   nimbrel_port_driver stream PATH BYTES      writer thread + reader, MB/s
//   nimbrel_port_driver multi BYTES PATH...    every path at once, aggregate MB/s
//   nimbrel_port_driver openclose PATH COUNT   open, echo 4 bytes, close; ms per cycle
//   nimbrel_port_driver send PATH BYTES        to a bulk peer, which checks them
//   nimbrel_port_driver receive PATH BYTES     from a bulk peer, checked here
//   nimbrel_port_driver slow SECONDS PATH...   64 bytes every 5.5 ms to each echoed path
//   option: --max-seconds N (default 300), after which it ends by itself
//   option: --cpu-pids PID[,PID...]: the CPU time (utime+stime) and context
//           switches of these processes over the timed part (stream, send,
//           receive, slow), as cpu_ms, cpu_ms_per_mb, cpu_percent, ctxsw
//
// send and receive talk to "nimbrel_echo_peer ... --bulk": "ping T" is
// answered "pong T" (the connection is up; what an earlier run left on the
// way is read and counted as stale), "sink N" makes the peer check N bytes
// of the pattern and answer "done N" (or "fail near=OFFSET"), "source N" makes
// it send N bytes of the pattern. The clock and the CPU figures start after
// the pong, so a connect made on open is outside them; stream and slow echo
// a first block for the same reason.
//
// Every result is one line of key=value pairs on stdout; a failure is a line
// starting with "error" and a non-zero exit status. Everything read back is
// compared with what was written: a lost, doubled or reordered byte fails.
// openclose goes on after a cycle whose echo is lost or wrong (0.5 s without
// it), counts it in failures=N and exits non-zero; 40 such cycles end it.
// MB is 10^6 bytes.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include "tools/BenchCommon.h"

namespace
{

using bench::PATTERN_PERIOD;
using bench::PatternAt;
constexpr size_t WRITE_CHUNK = 4096;
constexpr size_t READ_CHUNK = 65536;
constexpr int WARMUP_ROUNDS = 100;
// Silence this long while bytes are still owed counts as a failure.
constexpr int STALL_MS = 10000;
// A loopback echo after an open takes milliseconds; this long is a loss.
constexpr int OPENCLOSE_STALL_MS = 500;
constexpr long long OPENCLOSE_MAX_FAILURES = 40;
// Echoed before a timed stream starts, so that a connect made on open is
// not part of the figure.
constexpr size_t SYNC_BYTES = 16;
// The slow ports: a block every interval, the ports spread over SLOW_GROUPS
// instants of it so that they do not all write at once.
constexpr size_t SLOW_BLOCK = 64;
constexpr long long SLOW_INTERVAL_NS = 5500000;
constexpr int SLOW_GROUPS = 8;

// The processes measured (--cpu-pids); none unless asked.
std::vector<int> g_vecCpuPids;

struct SCpuSample
{
    long long nTicks = 0;  // -1 when one of the processes was gone
    long long nSwitches = 0;
};

SCpuSample SampleCpu()
{
    SCpuSample s;
    for (int nPid : g_vecCpuPids)
    {
        const long long nTicks = bench::ProcessTicks(nPid);
        const long long nSwitches = bench::ProcessContextSwitches(nPid);
        if (nTicks < 0 || nSwitches < 0 || s.nTicks < 0)
        {
            s.nTicks = -1;
            continue;
        }
        s.nTicks += nTicks;
        s.nSwitches += nSwitches;
    }
    return s;
}

// The CPU fields of a result line, for nBytes carried (each way) in
// dSeconds; "" when no process is measured.
std::string CpuFields(const SCpuSample& a, const SCpuSample& b, uint64_t nBytes, double dSeconds)
{
    if (g_vecCpuPids.empty())
        return "";
    if (a.nTicks < 0 || b.nTicks < 0)
        return " cpu_ms=gone";
    const double dMs = static_cast<double>(b.nTicks - a.nTicks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const long long nSwitches = b.nSwitches - a.nSwitches;
    char buf[256];
    std::snprintf(buf, sizeof(buf), " cpu_ms=%.0f cpu_ms_per_mb=%.3f cpu_percent=%.2f ctxsw=%lld ctxsw_per_s=%.0f", dMs,
                  dMs / (static_cast<double>(nBytes) / 1e6), dSeconds > 0 ? dMs / 10.0 / dSeconds : 0.0, nSwitches,
                  dSeconds > 0 ? static_cast<double>(nSwitches) / dSeconds : 0.0);
    return buf;
}

// "A,B,C" into process ids; false on anything else.
bool ParsePids(const std::string& str, std::vector<int>* pvec)
{
    size_t nAt = 0;
    while (nAt <= str.size())
    {
        const size_t nComma = std::min(str.find(',', nAt), str.size());
        const long long nPid = bench::ParseCount(str.substr(nAt, nComma - nAt));
        if (nPid < 1 || nPid > 1 << 30)
            return false;
        pvec->push_back(static_cast<int>(nPid));
        nAt = nComma + 1;
    }
    return !pvec->empty();
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

// What ReadWithin returns when nothing came within STALL_MS.
constexpr ssize_t READ_STALLED = -2;

// Waits up to STALL_MS for input, then reads at most n bytes: the count,
// 0 at the end, -1 on a failed read (errno tells), or READ_STALLED. An
// interrupted wait or read is taken up again, unless the run is told to stop.
ssize_t ReadWithin(int h, unsigned char* p, size_t n)
{
    for (;;)
    {
        pollfd pfd{h, POLLIN, 0};
        const int nReady = poll(&pfd, 1, STALL_MS);
        if (nReady < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (nReady <= 0)
            return READ_STALLED;
        const ssize_t m = read(h, p, n);
        if (m < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        return m;
    }
}

// Reads nTotal bytes of the pattern (starting nOffset bytes into it) and
// checks every one; false with *pstrError at a stall, a failed read or the
// first wrong byte.
bool ReadChecked(int h, uint64_t nTotal, uint64_t nOffset, std::string* pstrError)
{
    std::vector<unsigned char> buf(READ_CHUNK);
    uint64_t nRead = 0;
    while (nRead < nTotal)
    {
        const size_t nWant = static_cast<size_t>(std::min<uint64_t>(buf.size(), nTotal - nRead));
        const ssize_t m = ReadWithin(h, buf.data(), nWant);
        if (m == READ_STALLED)
        {
            *pstrError = "stalled read=" + std::to_string(nRead);
            return false;
        }
        if (m <= 0)
        {
            *pstrError = "read read=" + std::to_string(nRead) + " errno=" + std::to_string(errno);
            return false;
        }
        const long long nBad = bench::PatternMismatch(buf.data(), static_cast<size_t>(m), nOffset + nRead);
        if (nBad >= 0)
        {
            *pstrError = "mismatch at=" + std::to_string(nRead + static_cast<uint64_t>(nBad));
            return false;
        }
        nRead += static_cast<uint64_t>(m);
    }
    return true;
}

int RunStream(const std::string& strPath, long long nBytes)
{
    const int h = OpenPort(strPath, 0);
    if (h < 0)
        return Fail("open path=" + strPath + " errno=" + std::to_string(errno));
    const uint64_t nTotal = static_cast<uint64_t>(nBytes);
    // The pattern's first bytes echoed before the clock starts: the
    // connection is up; the stream goes on from there.
    unsigned char sync[SYNC_BYTES];
    if (!WriteAll(h, PatternAt(0), SYNC_BYTES) || ReadAllWithin(h, sync, SYNC_BYTES, STALL_MS) != 1 ||
        std::memcmp(sync, PatternAt(0), SYNC_BYTES) != 0)
    {
        close(h);
        return Fail("sync errno=" + std::to_string(errno));
    }
    std::atomic<int> bWriteFailed{0};
    const SCpuSample cpu0 = SampleCpu();
    const double t0 = bench::MonoSeconds();
    std::thread writer([&] {
        for (uint64_t nDone = 0; nDone < nTotal && !bench::g_bStop;)
        {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(WRITE_CHUNK, nTotal - nDone));
            if (!WriteAll(h, PatternAt(SYNC_BYTES + nDone), n))
            {
                bWriteFailed = 1;
                return;
            }
            nDone += n;
        }
    });
    std::string strError;
    ReadChecked(h, nTotal, SYNC_BYTES, &strError);
    const double t1 = bench::MonoSeconds();
    const SCpuSample cpu1 = SampleCpu();
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
    std::printf("stream bytes=%llu seconds=%.3f mbps=%.1f verified=1%s\n", static_cast<unsigned long long>(nTotal),
                t1 - t0, static_cast<double>(nTotal) / 1e6 / (t1 - t0), CpuFields(cpu0, cpu1, nTotal, t1 - t0).c_str());
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
                const long long nBad = bench::PatternMismatch(buf.data(), static_cast<size_t>(m), s.nPhase + s.nRead);
                if (nBad >= 0)
                    strError = "mismatch path=" + s.strPath + " at=" + std::to_string(s.nRead + static_cast<uint64_t>(nBad));
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

// One line from the peer, without its '\n'; false after nStallMs of silence
// or on a failed port. Replies are short, so byte by byte is cheap enough.
bool ReadLine(int h, std::string* pstr, int nStallMs)
{
    pstr->clear();
    for (;;)
    {
        unsigned char ch;
        if (ReadAllWithin(h, &ch, 1, nStallMs) != 1)
            return false;
        if (ch == '\n')
            return true;
        if (pstr->size() >= 256)
            return false;
        pstr->push_back(static_cast<char>(ch));
    }
}

// "ping TOKEN" to a bulk peer until its "pong TOKEN": the connection is up,
// and what an earlier, failed run left on the way has been read (its size
// in *pnStale). Nothing follows the pong until the next request.
bool SyncBulk(int h, uint64_t* pnStale, std::string* pstrError)
{
    const std::string strToken =
        std::to_string(getpid()) + "-" + std::to_string(static_cast<long long>(bench::MonoSeconds() * 1e6));
    const std::string strPing = "ping " + strToken + "\n";
    const std::string strPong = "pong " + strToken + "\n";
    if (!WriteAll(h, reinterpret_cast<const unsigned char*>(strPing.data()), strPing.size()))
    {
        *pstrError = "sync write errno=" + std::to_string(errno);
        return false;
    }
    std::string strIn;
    uint64_t nDropped = 0;
    std::vector<unsigned char> buf(READ_CHUNK);
    for (;;)
    {
        const size_t nAt = strIn.find(strPong);
        if (nAt != std::string::npos)
        {
            if (nAt + strPong.size() != strIn.size())
            {
                *pstrError = "sync bytes-after-pong=" + std::to_string(strIn.size() - nAt - strPong.size());
                return false;
            }
            *pnStale = nDropped + nAt;
            return true;
        }
        // Keep only what may still be the start of the pong.
        if (strIn.size() > (1u << 20))
        {
            const size_t nDrop = strIn.size() - strPong.size();
            strIn.erase(0, nDrop);
            nDropped += nDrop;
        }
        const ssize_t m = ReadWithin(h, buf.data(), buf.size());
        if (m == READ_STALLED)
        {
            *pstrError = "sync no-pong stale=" + std::to_string(nDropped + strIn.size());
            return false;
        }
        if (m <= 0)
        {
            *pstrError = "sync read errno=" + std::to_string(errno);
            return false;
        }
        strIn.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(m));
    }
}

// A one-way run's start: the port opened, the stream's start agreed with the
// bulk peer, the clocks read, then strRequest sent. False with *pstrError.
struct SBulkStart
{
    int h = -1;
    uint64_t nStale = 0;
    SCpuSample cpu0;
    double t0 = 0;
};

bool StartBulk(const std::string& strPath, const std::string& strRequest, SBulkStart* pStart,
               std::string* pstrError)
{
    pStart->h = OpenPort(strPath, 0);
    if (pStart->h < 0)
    {
        *pstrError = "open path=" + strPath + " errno=" + std::to_string(errno);
        return false;
    }
    bool bDone = SyncBulk(pStart->h, &pStart->nStale, pstrError);
    if (bDone)
    {
        pStart->cpu0 = SampleCpu();
        pStart->t0 = bench::MonoSeconds();
        bDone = WriteAll(pStart->h, reinterpret_cast<const unsigned char*>(strRequest.data()), strRequest.size());
        if (!bDone)
            *pstrError = "write request errno=" + std::to_string(errno);
    }
    if (!bDone)
        close(pStart->h);
    return bDone;
}

// A one-way run's result line, from its start to t1; returns 0.
int EndBulk(const char* pszMode, uint64_t nTotal, const SBulkStart& start, double t1, const SCpuSample& cpu1)
{
    const double dSeconds = t1 - start.t0;
    std::printf("%s bytes=%llu seconds=%.3f mbps=%.1f verified=1 stale=%llu%s\n", pszMode,
                static_cast<unsigned long long>(nTotal), dSeconds, static_cast<double>(nTotal) / 1e6 / dSeconds,
                static_cast<unsigned long long>(start.nStale), CpuFields(start.cpu0, cpu1, nTotal, dSeconds).c_str());
    return 0;
}

// The program writes BYTES of the pattern; the bulk peer checks every one
// and says so at the end.
int RunSend(const std::string& strPath, long long nBytes)
{
    const uint64_t nTotal = static_cast<uint64_t>(nBytes);
    SBulkStart start;
    std::string strError;
    if (!StartBulk(strPath, "sink " + std::to_string(nTotal) + "\n", &start, &strError))
        return Fail(strError);
    const int h = start.h;
    for (uint64_t nDone = 0; nDone < nTotal;)
    {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(WRITE_CHUNK, nTotal - nDone));
        if (!WriteAll(h, PatternAt(nDone), n))
        {
            close(h);
            return Fail("write written=" + std::to_string(nDone) + " errno=" + std::to_string(errno));
        }
        nDone += n;
    }
    std::string strReply;
    const bool bReply = ReadLine(h, &strReply, STALL_MS);
    const double t1 = bench::MonoSeconds();
    const SCpuSample cpu1 = SampleCpu();
    close(h);
    if (!bReply)
        return Fail("no-reply got=\"" + strReply + "\"");
    if (strReply != "done " + std::to_string(nTotal))
        return Fail("peer reply=\"" + strReply + "\"");
    return EndBulk("send", nTotal, start, t1, cpu1);
}

// The bulk peer writes BYTES of the pattern; every one is checked here.
int RunReceive(const std::string& strPath, long long nBytes)
{
    const uint64_t nTotal = static_cast<uint64_t>(nBytes);
    SBulkStart start;
    std::string strError;
    if (!StartBulk(strPath, "source " + std::to_string(nTotal) + "\n", &start, &strError))
        return Fail(strError);
    const int h = start.h;
    ReadChecked(h, nTotal, 0, &strError);
    const double t1 = bench::MonoSeconds();
    const SCpuSample cpu1 = SampleCpu();
    close(h);
    if (!strError.empty())
        return Fail(strError);
    return EndBulk("receive", nTotal, start, t1, cpu1);
}

struct SSlowPort
{
    std::string strPath;
    int h = -1;
    uint64_t nPhase = 0;
    uint64_t nDue = 0;  // what the schedule has asked to be written so far
    uint64_t nWritten = 0;
    uint64_t nRead = 0;
    double tWaiting = 0;  // since when an echo is owed without a byte of it
};

// Writes what is due on a non-blocking port; false when the port failed.
bool WriteDue(SSlowPort& s, double tNow, std::string* pstrError)
{
    while (s.nWritten < s.nDue)
    {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(s.nDue - s.nWritten, PATTERN_PERIOD));
        const ssize_t m = write(s.h, PatternAt(s.nPhase + s.nWritten), n);
        if (m < 0 && errno == EINTR)
            continue;
        if (m < 0 && errno == EAGAIN)
            return true;
        if (m <= 0)
        {
            *pstrError = "write path=" + s.strPath + " errno=" + std::to_string(errno);
            return false;
        }
        if (s.nRead == s.nWritten)
            s.tWaiting = tNow;
        s.nWritten += static_cast<uint64_t>(m);
    }
    return true;
}

// Reads and checks what has come back; false on a wrong, surplus or failed read.
bool ReadEcho(SSlowPort& s, std::vector<unsigned char>& buf, double tNow, std::string* pstrError)
{
    for (;;)
    {
        const ssize_t m = read(s.h, buf.data(), buf.size());
        if (m < 0 && errno == EINTR)
            continue;
        if (m < 0 && errno == EAGAIN)
            return true;
        if (m <= 0)
        {
            *pstrError = "read path=" + s.strPath + " errno=" + std::to_string(errno);
            return false;
        }
        if (s.nRead + static_cast<uint64_t>(m) > s.nWritten)
        {
            *pstrError = "surplus path=" + s.strPath + " read=" + std::to_string(s.nRead + static_cast<uint64_t>(m)) +
                         " written=" + std::to_string(s.nWritten);
            return false;
        }
        const long long nBad = bench::PatternMismatch(buf.data(), static_cast<size_t>(m), s.nPhase + s.nRead);
        if (nBad >= 0)
        {
            *pstrError = "mismatch path=" + s.strPath + " at=" + std::to_string(s.nRead + static_cast<uint64_t>(nBad));
            return false;
        }
        s.nRead += static_cast<uint64_t>(m);
        s.tWaiting = tNow;
    }
}

// Until every port's schedule (nTicks timer ticks; none: only what is due
// now) has been written and echoed. One thread, poll and a timerfd.
bool PumpSlow(std::vector<SSlowPort>& vec, int hTimer, long long nTicks, long long* pnMissed, std::string* pstrError)
{
    std::vector<pollfd> vecFds(vec.size() + 1);
    std::vector<unsigned char> buf(READ_CHUNK);
    long long nTick = 0;
    double tChecked = bench::MonoSeconds();
    for (;;)
    {
        bool bOwed = false;
        for (size_t k = 0; k < vec.size(); ++k)
        {
            const SSlowPort& s = vec[k];
            bOwed = bOwed || s.nRead < s.nDue;
            vecFds[k + 1] = {s.h, static_cast<short>(POLLIN | (s.nWritten < s.nDue ? POLLOUT : 0)), 0};
        }
        if (nTick >= nTicks && !bOwed)
            return true;
        vecFds[0] = {nTick < nTicks ? hTimer : -1, POLLIN, 0};
        const int nReady = poll(vecFds.data(), vecFds.size(), 100);
        if (nReady < 0 && errno == EINTR && !bench::g_bStop)
            continue;
        if (nReady < 0)
        {
            *pstrError = "poll errno=" + std::to_string(errno);
            return false;
        }
        const double tNow = bench::MonoSeconds();
        if (vecFds[0].revents & POLLIN)
        {
            uint64_t nExpired = 0;
            if (read(hTimer, &nExpired, sizeof(nExpired)) == static_cast<ssize_t>(sizeof(nExpired)))
            {
                *pnMissed += static_cast<long long>(nExpired) - 1;
                // A late wake-up still writes every block that fell due, so
                // the rate holds.
                for (uint64_t e = 0; e < nExpired && nTick < nTicks; ++e, ++nTick)
                    for (size_t k = static_cast<size_t>(nTick % SLOW_GROUPS); k < vec.size(); k += SLOW_GROUPS)
                        vec[k].nDue += SLOW_BLOCK;
            }
        }
        for (size_t k = 0; k < vec.size(); ++k)
        {
            SSlowPort& s = vec[k];
            if (s.nWritten < s.nDue && !WriteDue(s, tNow, pstrError))
                return false;
            if ((vecFds[k + 1].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadEcho(s, buf, tNow, pstrError))
                return false;
        }
        if (tNow - tChecked > 0.1)
        {
            tChecked = tNow;
            for (const SSlowPort& s : vec)
            {
                if (s.nRead < s.nWritten && tNow - s.tWaiting > STALL_MS / 1000.0)
                {
                    *pstrError = "stalled path=" + s.strPath + " read=" + std::to_string(s.nRead) +
                                 " written=" + std::to_string(s.nWritten);
                    return false;
                }
            }
        }
    }
}

// Many slow ports: SLOW_BLOCK bytes every SLOW_INTERVAL_NS to each path, each
// with its own phase of the pattern, the echo of every byte checked.
int RunSlow(double dSeconds, const std::vector<std::string>& vecPaths)
{
    std::vector<SSlowPort> vec(vecPaths.size());
    for (size_t k = 0; k < vec.size(); ++k)
    {
        vec[k].strPath = vecPaths[k];
        vec[k].nPhase = (k * 7919) % PATTERN_PERIOD;
        vec[k].h = OpenPort(vecPaths[k], 1);
        if (vec[k].h < 0)
            return Fail("open path=" + vecPaths[k] + " errno=" + std::to_string(errno));
    }
    const auto closeAll = [&vec] {
        for (SSlowPort& s : vec)
            close(s.h);
    };
    std::string strError;
    long long nMissed = 0;
    // Every port's first bytes echoed before the clock starts.
    for (SSlowPort& s : vec)
        s.nDue = SYNC_BYTES;
    if (!PumpSlow(vec, -1, 0, &nMissed, &strError))
    {
        closeAll();
        return Fail("sync " + strError);
    }
    const int hTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec its{};
    its.it_interval.tv_nsec = SLOW_INTERVAL_NS / SLOW_GROUPS;
    its.it_value = its.it_interval;
    const long long nTicks = std::llround(dSeconds * 1e9 / static_cast<double>(SLOW_INTERVAL_NS)) * SLOW_GROUPS;
    const SCpuSample cpu0 = SampleCpu();
    const double t0 = bench::MonoSeconds();
    if (hTimer < 0 || timerfd_settime(hTimer, 0, &its, nullptr) != 0)
    {
        closeAll();
        return Fail("timerfd errno=" + std::to_string(errno));
    }
    const bool bDone = PumpSlow(vec, hTimer, nTicks, &nMissed, &strError);
    const double t1 = bench::MonoSeconds();
    const SCpuSample cpu1 = SampleCpu();
    close(hTimer);
    closeAll();
    if (!bDone)
        return Fail(strError);
    const uint64_t nEach = vec.empty() ? 0 : vec[0].nRead - SYNC_BYTES;
    uint64_t nAll = 0;
    for (const SSlowPort& s : vec)
        nAll += s.nRead - SYNC_BYTES;
    std::printf("slow ports=%zu seconds=%.3f block=%zu interval_ms=%.1f bytes_each_way=%llu kBps_per_port=%.2f "
                "missed_ticks=%lld verified=%zu%s\n",
                vec.size(), t1 - t0, SLOW_BLOCK, static_cast<double>(SLOW_INTERVAL_NS) / 1e6,
                static_cast<unsigned long long>(nAll), static_cast<double>(nEach) / 1e3 / (t1 - t0), nMissed,
                vec.size(), CpuFields(cpu0, cpu1, nAll, t1 - t0).c_str());
    return 0;
}

int Usage()
{
    std::fputs("usage: nimbrel_port_driver rtt PATH COUNT SIZE | stream PATH BYTES | multi BYTES PATH... |\n"
               "                           openclose PATH COUNT | send PATH BYTES | receive PATH BYTES |\n"
               "                           slow SECONDS PATH...   [--max-seconds N] [--cpu-pids PID,...]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int nMaxSeconds = 300;
    std::vector<std::string> args = bench::TakeArgs(argc, argv, &nMaxSeconds);
    for (size_t k = 0; k < args.size(); ++k)
    {
        if (args[k] != "--cpu-pids")
            continue;
        if (k + 1 >= args.size() || !ParsePids(args[k + 1], &g_vecCpuPids))
            return Usage();
        args.erase(args.begin() + static_cast<long>(k), args.begin() + static_cast<long>(k) + 2);
        break;
    }
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
    if ((strCmd == "send" || strCmd == "receive") && args.size() == 3)
    {
        const long long nBytes = bench::ParseCount(args[2]);
        if (nBytes < 1)
            return Usage();
        return strCmd == "send" ? RunSend(args[1], nBytes) : RunReceive(args[1], nBytes);
    }
    if (strCmd == "slow" && args.size() >= 3)
    {
        const long long nSeconds = bench::ParseCount(args[1]);
        if (nSeconds < 1)
            return Usage();
        return RunSlow(static_cast<double>(nSeconds), std::vector<std::string>(args.begin() + 2, args.end()));
    }
    return Usage();
}
