// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the loopback measurement tools (nimbrel_echo_peer,
// nimbrel_port_driver) and benchmarks share: a stop flag set by
// SIGTERM/SIGINT, a time limit after which a tool ends by itself, a
// monotonic clock, a loopback listener, the byte pattern every transfer is
// checked against, and the CPU time and context switches of the processes
// measured.

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench
{

inline volatile std::sig_atomic_t g_bStop = 0;

inline void OnStopSignal(int)
{
    g_bStop = 1;
}

// Without SA_RESTART, so that a blocking call returns EINTR and the loop
// around it sees the flag.
inline void InstallStopSignals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

inline void OnAlarm(int)
{
    static const char szMsg[] = "error reason=time-limit\n";
    ssize_t n = write(STDOUT_FILENO, szMsg, sizeof(szMsg) - 1);
    (void)n;
    _exit(3);
}

// A hard stop for a tool that may block on a peer that never answers: the
// whole process ends after nSeconds, whatever it is doing.
inline void ArmTimeLimit(int nSeconds)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnAlarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(static_cast<unsigned>(nSeconds > 0 ? nSeconds : 1));
}

inline double MonoSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Takes "--max-seconds N" (or "--max-seconds=N") out of the arguments;
// returns the rest without the program name.
inline std::vector<std::string> TakeArgs(int argc, char** argv, int* pnMaxSeconds)
{
    std::vector<std::string> vec;
    for (int k = 1; k < argc; ++k)
    {
        const std::string str = argv[k];
        if (str == "--max-seconds" && k + 1 < argc)
            *pnMaxSeconds = std::atoi(argv[++k]);
        else if (str.rfind("--max-seconds=", 0) == 0)
            *pnMaxSeconds = std::atoi(str.c_str() + 14);
        else
            vec.push_back(str);
    }
    return vec;
}

// A whole non-negative number, or -1.
inline long long ParseCount(const std::string& str)
{
    if (str.empty() || str.size() > 18)
        return -1;
    for (char ch : str)
        if (ch < '0' || ch > '9')
            return -1;
    return std::atoll(str.c_str());
}

// A TCP listener on a loopback port the system picks; -1 on failure.
inline int ListenLoopback(int* pnPort)
{
    const int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    if (h < 0 || bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(h, 4) != 0 ||
        getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
    {
        if (h >= 0)
            close(h);
        return -1;
    }
    *pnPort = ntohs(addr.sin_port);
    return h;
}

// The pattern: a prime period, so that a block landing at the wrong offset
// (a lost, doubled or reordered byte) never matches.
inline constexpr size_t PATTERN_PERIOD = 65521;

// The pattern twice over: any window of up to PATTERN_PERIOD bytes starting
// at offset % PATTERN_PERIOD is contiguous.
inline const std::vector<unsigned char>& Pattern()
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

// At most PATTERN_PERIOD bytes from here are the pattern from nOffset on.
inline const unsigned char* PatternAt(uint64_t nOffset)
{
    return Pattern().data() + nOffset % PATTERN_PERIOD;
}

// Where p[0..n) first differs from the pattern at nOffset (an index into
// p), or -1 when all of it matches.
inline long long PatternMismatch(const unsigned char* p, size_t n, uint64_t nOffset)
{
    for (size_t nChecked = 0; nChecked < n;)
    {
        const size_t nPart = std::min<size_t>(n - nChecked, PATTERN_PERIOD);
        const unsigned char* pWant = PatternAt(nOffset + nChecked);
        if (std::memcmp(p + nChecked, pWant, nPart) != 0)
        {
            for (size_t k = 0; k < nPart; ++k)
                if (p[nChecked + k] != pWant[k])
                    return static_cast<long long>(nChecked + k);
        }
        nChecked += nPart;
    }
    return -1;
}

// The whole text of a small /proc file, or "" when it cannot be read.
inline std::string ReadProcFile(const std::string& strPath)
{
    std::string str;
    FILE* f = std::fopen(strPath.c_str(), "re");
    if (f == nullptr)
        return str;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        str.append(buf, n);
    std::fclose(f);
    return str;
}

// utime + stime of a process in clock ticks, over all its threads and those
// that have ended; -1 when it is gone. The name in field 2 may hold spaces
// and brackets, so the fields are counted from the last ')'.
inline long long ProcessTicks(int nPid)
{
    const std::string str = ReadProcFile("/proc/" + std::to_string(nPid) + "/stat");
    const size_t nParen = str.rfind(')');
    if (nParen == std::string::npos)
        return -1;
    // After ") " come state (field 3) ... utime (14) and stime (15).
    const char* p = str.c_str() + nParen + 1;
    long long nTicks = 0;
    for (int nField = 3; nField <= 15; ++nField)
    {
        while (*p == ' ')
            ++p;
        if (*p == '\0')
            return -1;
        if (nField >= 14)
            nTicks += std::atoll(p);
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    return nTicks;
}

// Voluntary and involuntary context switches of a process, summed over the
// threads it has now; -1 when it is gone.
inline long long ProcessContextSwitches(int nPid)
{
    const std::string strTasks = "/proc/" + std::to_string(nPid) + "/task";
    DIR* pDir = opendir(strTasks.c_str());
    if (pDir == nullptr)
        return -1;
    long long nSum = 0;
    while (const dirent* pEntry = readdir(pDir))
    {
        if (pEntry->d_name[0] == '.')
            continue;
        const std::string str = ReadProcFile(strTasks + "/" + pEntry->d_name + "/status");
        for (const char* pszKey : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"})
        {
            const size_t nAt = str.find(pszKey);
            if (nAt != std::string::npos)
                nSum += std::atoll(str.c_str() + nAt + std::strlen(pszKey));
        }
    }
    closedir(pDir);
    return nSum;
}

}  // namespace bench
