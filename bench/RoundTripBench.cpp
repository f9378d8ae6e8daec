// SPDX-License-Identifier: Apache-2.0
// Round trip: application -> pty -> worker -> echo peer -> back, through a
// TCP client port (the echo is a TCP server), a TCP server port (the echo
// dials it) or a UDP port (the echo returns each datagram).
// Prints p50 and p99 in microseconds.
// Usage: nimbrel_bench_roundtrip [COUNT] [SIZE] [client|server|udp]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CTaskLoop.h"
#include "tools/BenchCommon.h"

namespace
{

void EchoStream(int h);

void Echo(int hListen)
{
    int h = accept(hListen, nullptr, nullptr);
    if (h < 0)
        return;
    EchoStream(h);
}

// Dials the server port until it answers, then echoes.
void EchoDialling(int nPort, std::atomic<int>* pbQuit)
{
    while (!*pbQuit)
    {
        int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(nPort));
        if (connect(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
        {
            EchoStream(h);
            return;
        }
        close(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void EchoDatagrams(int h, std::atomic<int>* pbQuit)
{
    char buf[65536];
    while (!*pbQuit)
    {
        pollfd p{h, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t nLen = sizeof(from);
        ssize_t n = recvfrom(h, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &nLen);
        if (n > 0)
            sendto(h, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), nLen);
    }
}

int FreePort(int nType)
{
    int h = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t nLen = sizeof(addr);
    getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    close(h);
    return ntohs(addr.sin_port);
}

void EchoStream(int h)
{
    int nOn = 1;
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
    char buf[65536];
    for (;;)
    {
        ssize_t n = read(h, buf, sizeof(buf));
        if (n <= 0)
            break;
        for (ssize_t k = 0; k < n;)
        {
            ssize_t m = write(h, buf + k, static_cast<size_t>(n - k));
            if (m <= 0)
                return;
            k += m;
        }
    }
    close(h);
}

bool ReadExactly(int h, char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t m = read(h, p, n);
        if (m <= 0)
            return false;
        p += m;
        n -= static_cast<size_t>(m);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int nCount = argc > 1 ? std::atoi(argv[1]) : 2000;
    const size_t nSize = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 1;
    const std::string strMode = argc > 3 ? argv[3] : "client";
    if (strMode != "client" && strMode != "server" && strMode != "udp")
    {
        std::fprintf(stderr, "mode must be client, server or udp\n");
        return 2;
    }
    char szDir[] = "/tmp/nimbrel-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;

    std::atomic<int> bQuit{0};
    int nPeerPort = 0;
    int hListen = -1;
    int hUdp = -1;
    const int nLocalPort = strMode == "udp" ? FreePort(SOCK_DGRAM) : FreePort(SOCK_STREAM);
    std::thread echo;
    if (strMode == "client")
    {
        hListen = bench::ListenLoopback(&nPeerPort);
        echo = std::thread(Echo, hListen);
    }
    else if (strMode == "server")
    {
        echo = std::thread(EchoDialling, nLocalPort, &bQuit);
    }
    else
    {
        hUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(hUdp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t nLen = sizeof(addr);
        getsockname(hUdp, reinterpret_cast<sockaddr*>(&addr), &nLen);
        nPeerPort = ntohs(addr.sin_port);
        echo = std::thread(EchoDatagrams, hUdp, &bQuit);
    }

    CTaskLoop loop;
    int nResult = 0;
    {
        COmbraCtrlCore core(&loop);
        std::string strError;
        if (!core.Init(szDir, &strError))
        {
            std::fprintf(stderr, "%s\n", strError.c_str());
            return 1;
        }
        core.ResetSettings();
        core.m_comData.SetUse(0, 1);
        core.m_comData.SetEnable(0, 1);
        core.m_comData.SetIPAddress(0, "127.0.0.1");
        core.m_comData.SetPeerPort(0, nPeerPort);
        core.m_comData.SetLocPort(0, nLocalPort);
        core.m_comData.SetMode(0, strMode == "client" ? MODE_TCP_CLIENT : strMode == "server" ? MODE_TCP_SERVER : MODE_UDP);
        core.InitList();
        core.GetPort(0).CreatePort("COM1");
        core.GetWorker(0).StartThread();
        std::thread owner([&] { loop.Run(); });

        int hApp = open(core.GetPort(0).GetLinkPath().c_str(), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(hApp, &t);
        cfmakeraw(&t);
        tcsetattr(hApp, TCSANOW, &t);
        while (core.GetWorker(0).GetState() != EWorkerState::Data && core.GetWorker(0).GetState() != EWorkerState::UdpData)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        std::string strOut(nSize, 'x');
        std::string strIn(nSize, '\0');
        std::vector<double> vecUs;
        for (int k = 0; k < nCount + 50; ++k)
        {
            const auto t0 = std::chrono::steady_clock::now();
            if (write(hApp, strOut.data(), nSize) != static_cast<ssize_t>(nSize) || !ReadExactly(hApp, strIn.data(), nSize))
            {
                nResult = 1;
                break;
            }
            const auto t1 = std::chrono::steady_clock::now();
            if (k >= 50)  // warm-up
                vecUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        close(hApp);
        bQuit = 1;
        loop.Quit();
        owner.join();
        core.Teardown();
        if (!vecUs.empty())
        {
            std::sort(vecUs.begin(), vecUs.end());
            auto pct = [&](double p) { return vecUs[static_cast<size_t>(p * static_cast<double>(vecUs.size() - 1))]; };
            std::printf("%s port, round trip of %zu byte(s), %zu samples: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                        strMode.c_str(), nSize, vecUs.size(), pct(0.50), pct(0.99), vecUs.back());
        }
    }
    if (hListen >= 0)
        close(hListen);
    echo.join();
    if (hUdp >= 0)
        close(hUdp);
    rmdir(szDir);
    return nResult;
}
