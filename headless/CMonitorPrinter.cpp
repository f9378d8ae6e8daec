// SPDX-License-Identifier: Apache-2.0
#include "headless/CMonitorPrinter.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/engine/CMonitorFormat.h"
#include "core/model/CPortTexts.h"
#include "core/service/CMonitorTap.h"
#include "core/service/CPortService.h"

namespace
{

// How often the monitors are drained: often enough that a 1 MiB ring holds
// a fast port's bytes in between, rarely enough to cost nothing idle ports.
constexpr auto PRINT_INTERVAL = std::chrono::milliseconds(20);

}  // namespace

CMonitorPrinter::~CMonitorPrinter()
{
    Stop();
    if (m_pOut != nullptr && m_pOut != stdout)
        std::fclose(m_pOut);
}

bool CMonitorPrinter::OpenFile(const std::string& strPath, std::string* pError)
{
    if (strPath.empty())
        return true;
    std::FILE* pFile = std::fopen(strPath.c_str(), "ae");
    if (pFile == nullptr)
    {
        *pError = "--monitor-file " + strPath + ": " + std::strerror(errno);
        return false;
    }
    m_pOut = pFile;
    return true;
}

void CMonitorPrinter::Start(const std::vector<int>& vecPorts)
{
    if (m_thread.joinable() || vecPorts.empty())
        return;
    if (m_pOut == nullptr)
        m_pOut = stdout;
    m_nWallOffsetNs = CMonitorFormat::WallOffsetNs();
    for (int nPort : vecPorts)
        if (auto pTap = m_service.OpenMonitor(nPort))
            m_taps.push_back(std::move(pTap));
    m_thread = std::thread([this] { Run(); });
}

void CMonitorPrinter::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_csStop);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    m_thread.join();
    for (const auto& pTap : m_taps)
        m_service.CloseMonitor(pTap);
    m_taps.clear();
}

void CMonitorPrinter::Run()
{
    std::unique_lock<std::mutex> lock(m_csStop);
    while (!m_bStop)
    {
        lock.unlock();
        PrintPending();
        lock.lock();
        m_cvStop.wait_for(lock, PRINT_INTERVAL, [this] { return m_bStop; });
    }
    lock.unlock();
    PrintPending();
}

void CMonitorPrinter::PrintPending()
{
    m_service.PollMonitors();
    bool bPrinted = false;
    for (const auto& pTap : m_taps)
    {
        const std::string strPrefix = CPortTexts::PortName(pTap->Port()) + " ";
        for (const CCaptureRecord& rec : pTap->Take())
        {
            const std::string strLine =
                strPrefix + CMonitorFormat::Line(rec, EMonitorView::HexAndText, m_nWallOffsetNs) + "\n";
            std::fwrite(strLine.data(), 1, strLine.size(), m_pOut);
            bPrinted = true;
        }
    }
    if (bPrinted)
        std::fflush(m_pOut);
}
