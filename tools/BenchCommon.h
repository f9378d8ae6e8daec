// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the loopback measurement tools (nimbrel_echo_peer,
// nimbrel_port_driver) and benchmarks share: a stop flag set by
// SIGTERM/SIGINT, a time limit after which a tool ends by itself, a
// monotonic clock and a loopback listener.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
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

}  // namespace bench
