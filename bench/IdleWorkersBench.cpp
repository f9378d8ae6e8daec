// SPDX-License-Identifier: Apache-2.0
// CPU and memory of 256 started client ports with nothing to do.
// Usage: nimbrel_bench_idle [SECONDS]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CTaskLoop.h"

namespace
{

double CpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string strLine;
    while (std::getline(status, strLine))
        if (strLine.rfind("VmRSS:", 0) == 0)
            return std::atol(strLine.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const int nSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    char szDir[] = "/tmp/nimbrel-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    CTaskLoop loop;
    {
        COmbraCtrlCore core(&loop);
        std::string strError;
        if (!core.Init(szDir, &strError))
        {
            std::fprintf(stderr, "%s\n", strError.c_str());
            return 1;
        }
        core.ResetSettings();
        for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
        {
            core.m_comData.SetUse(i, 1);
            core.m_comData.SetEnable(i, 1);
            core.m_comData.SetIPAddress(i, "127.0.0.1");
            core.m_comData.SetPeerPort(i, 9);
        }
        core.InitList();
        int nStarted = 0;
        for (int i = 0; i < COmbraCtrlCore::PORT_COUNT; ++i)
            if (core.GetPort(i).CreatePort("COM" + std::to_string(i + 1)) && core.GetWorker(i).StartThread())
                ++nStarted;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double dCpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::thread timer([&] {
            std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
            loop.Quit();
        });
        loop.Run();
        timer.join();
        const double dCpu = CpuSeconds() - dCpu0;
        const double dWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%d started idle ports over %.1f s: CPU %.3f%% of one core, resident %ld KiB\n", nStarted, dWall,
                    100.0 * dCpu / dWall, ResidentKiB());
        core.Teardown();
    }
    rmdir(szDir);
    return 0;
}
