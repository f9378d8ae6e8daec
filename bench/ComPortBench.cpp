// SPDX-License-Identifier: Apache-2.0
// COM port control: how long a program's baud rate change takes to reach a
// device server, and in how many worker cycles. A client port with the
// switch dials a peer that agrees to the option; the program alternates
// its baud rate, and the peer notes every SET-BAUDRATE it receives.
// Prints p50 and p99 in microseconds and the cycles the worker ran from
// the change to its arrival.
// Usage: nimbrel_bench_comport [COUNT]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CTaskLoop.h"

namespace
{

// What the peer has received: the last baud rate set.
struct SPeer
{
    std::mutex cs;  // guards nBaud
    std::condition_variable changed;
    uint32_t nBaud = 0;
};

int Listen(int* pnPort)
{
    int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(h, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(h, 4) != 0)
        return -1;
    socklen_t nLen = sizeof(addr);
    getsockname(h, reinterpret_cast<sockaddr*>(&addr), &nLen);
    *pnPort = ntohs(addr.sin_port);
    return h;
}

// Agrees to the option, then reads subnegotiations until the connection ends.
void DeviceServer(int hListen, SPeer* pPeer)
{
    const int h = accept(hListen, nullptr, nullptr);
    if (h < 0)
        return;
    const unsigned char agree[] = {255, 253, 44};
    if (write(h, agree, sizeof(agree)) != static_cast<ssize_t>(sizeof(agree)))
        return;
    std::vector<unsigned char> sub;
    bool bIac = false, bSub = false;
    unsigned char buf[4096];
    for (;;)
    {
        const ssize_t n = read(h, buf, sizeof(buf));
        if (n <= 0)
            break;
        for (ssize_t k = 0; k < n; ++k)
        {
            const unsigned char by = buf[k];
            if (bIac)
            {
                bIac = false;
                if (by == 250)
                {
                    bSub = true;
                    sub.clear();
                }
                else if (by == 240 && bSub)
                {
                    bSub = false;
                    // 44, SET-BAUDRATE, four bytes of rate.
                    if (sub.size() == 6 && sub[0] == 44 && sub[1] == 1)
                    {
                        std::lock_guard<std::mutex> lock(pPeer->cs);
                        pPeer->nBaud = (uint32_t{sub[2]} << 24) | (uint32_t{sub[3]} << 16) | (uint32_t{sub[4]} << 8) | sub[5];
                        pPeer->changed.notify_all();
                    }
                }
                else if (by == 255 && bSub)
                    sub.push_back(by);
            }
            else if (by == 255)
                bIac = true;
            else if (bSub)
                sub.push_back(by);
        }
    }
    close(h);
}

}  // namespace

int main(int argc, char** argv)
{
    const int nCount = argc > 1 ? std::atoi(argv[1]) : 500;
    char szDir[] = "/tmp/nimbrel-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    int nPeerPort = 0;
    const int hListen = Listen(&nPeerPort);
    SPeer peer;
    std::thread device(DeviceServer, hListen, &peer);

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
        CPortEntry entry = core.m_comData.GetEntry(0);
        entry.m_bUse = 1;
        entry.m_bEnable = 1;
        entry.m_nMode = MODE_TCP_CLIENT;
        entry.m_nConnectType = CONNECT_TELNET;
        entry.m_strIPAddress = "127.0.0.1";
        entry.m_nPeerPort = nPeerPort;
        entry.m_bComPortControl = true;
        core.m_comData.SetEntry(0, entry);
        core.InitList();
        core.GetPort(0).CreatePort("COM1");
        core.GetWorker(0).StartThread();
        std::thread owner([&] { loop.Run(); });

        const int hApp = open(core.GetPort(0).GetLinkPath().c_str(), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(hApp, &t);
        cfmakeraw(&t);
        tcsetattr(hApp, TCSANOW, &t);
        auto waitBaud = [&](uint32_t nBaud) {
            std::unique_lock<std::mutex> lock(peer.cs);
            return peer.changed.wait_for(lock, std::chrono::seconds(5), [&] { return peer.nBaud == nBaud; });
        };
        if (!waitBaud(9600))
        {
            std::fprintf(stderr, "the device server never heard the first settings\n");
            nResult = 1;
        }

        std::vector<double> vecUs;
        std::vector<uint64_t> vecCycles;
        for (int k = 0; k < nCount + 20 && nResult == 0; ++k)
        {
            const bool bFast = k % 2 == 0;
            cfsetispeed(&t, bFast ? B19200 : B9600);
            cfsetospeed(&t, bFast ? B19200 : B9600);
            const uint64_t nCyclesBefore = core.GetWorker(0).GetCycleCount();
            const auto t0 = std::chrono::steady_clock::now();
            tcsetattr(hApp, TCSANOW, &t);
            if (!waitBaud(bFast ? 19200 : 9600))
            {
                std::fprintf(stderr, "change %d never arrived\n", k);
                nResult = 1;
                break;
            }
            const auto t1 = std::chrono::steady_clock::now();
            if (k >= 20)  // warm-up
            {
                vecUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                vecCycles.push_back(core.GetWorker(0).GetCycleCount() - nCyclesBefore);
            }
        }
        close(hApp);
        loop.Quit();
        owner.join();
        core.Teardown();
        if (!vecUs.empty())
        {
            std::sort(vecUs.begin(), vecUs.end());
            std::sort(vecCycles.begin(), vecCycles.end());
            auto pct = [&](const auto& vec, double p) { return vec[static_cast<size_t>(p * static_cast<double>(vec.size() - 1))]; };
            std::printf("baud rate change to the device server, %zu samples: p50 %.1f us, p99 %.1f us; "
                        "worker cycles from the change to its arrival: p50 %llu, max %llu\n",
                        vecUs.size(), pct(vecUs, 0.50), pct(vecUs, 0.99),
                        static_cast<unsigned long long>(pct(vecCycles, 0.50)),
                        static_cast<unsigned long long>(vecCycles.back()));
        }
    }
    close(hListen);
    device.join();
    rmdir(szDir);
    return nResult;
}
