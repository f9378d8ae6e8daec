// SPDX-License-Identifier: Apache-2.0
#include "core/service/CPortService.h"

#include "core/service/CMonitorTap.h"
#include "core/service/COmbraCtrlCore.h"
#include "core/service/CPortMonitor.h"
#include "core/service/CPortServiceEvents.h"

CPortService::CPortService(CDispatcher* pDispatcher)
    : m_pCore(std::make_unique<COmbraCtrlCore>(pDispatcher)), m_pMonitor(std::make_unique<CPortMonitor>(m_pCore->m_ports))
{
    m_pCore->m_fnMessageBox = [this](const std::string& strCaption, const std::string& strText) {
        if (m_pEvents != nullptr)
            m_pEvents->OnMessage(strCaption, strText);
    };
    m_pCore->m_fnRunStateChanged = [this] {
        if (m_pEvents != nullptr)
            m_pEvents->OnRunState();
    };
    m_pCore->m_fnWineLink = [this](int nPort, int bLinked, const std::string& strText) {
        if (m_pEvents != nullptr)
            m_pEvents->OnWineLink(nPort, bLinked != 0, strText);
    };
}

CPortService::~CPortService() = default;

void CPortService::SetRowsListener(CPortRowsListener* pListener)
{
    m_pCore->m_rows.SetListener(pListener);
}

bool CPortService::Init(const std::string& strPortDir, std::string* pError)
{
    return m_pCore->Init(strPortDir, pError) == 1;
}

void CPortService::Teardown()
{
    m_pCore->Teardown();
}

void CPortService::ResetSettings()
{
    m_pCore->ResetSettings();
}

bool CPortService::ApplyConfig(const COptionSet& options, const std::array<CPortEntry, PORT_COUNT>& entries)
{
    return m_pCore->ApplyConfig(options, entries) == 1;
}

void CPortService::ShowRows()
{
    m_pCore->InitList();
}

bool CPortService::AddPort(int nPort, const CPortEntry& entry)
{
    return m_pCore->AddPort(nPort, entry) == 1;
}

bool CPortService::ConfigPort(int nPort, const CPortEntry& entry)
{
    return m_pCore->ConfigPort(nPort, entry) == 1;
}

bool CPortService::DeletePort(int nPort)
{
    return m_pCore->DeletePort(nPort) == 1;
}

bool CPortService::ToggleEnable(int nPort)
{
    return m_pCore->ToggleEnable(nPort) == 1;
}

bool CPortService::SetOptions(const COptionSet& options)
{
    // The workers read the options while they run.
    if (IsRunning() || IsBusy())
        return false;
    m_pCore->m_options = options;
    return true;
}

void CPortService::StartStop()
{
    m_pCore->m_startStop.OnStartStop();
}

void CPortService::ScanSystemPorts()
{
    m_pCore->ScanSystemPorts();
}

const CPortRows& CPortService::Rows() const
{
    return m_pCore->m_rows;
}

const CCOMData& CPortService::Ports() const
{
    return m_pCore->m_comData;
}

const COptionSet& CPortService::Options() const
{
    return m_pCore->m_options;
}

CPortEntry CPortService::Entry(int nPort) const
{
    return m_pCore->m_comData.GetEntry(nPort);
}

bool CPortService::IsRunning() const
{
    return m_pCore->m_comData.m_bRunning == 1;
}

bool CPortService::IsBusy() const
{
    return m_pCore->m_bBusy != 0;
}

bool CPortService::IsRefusalShown() const
{
    return m_pCore->m_bErrorBox != 0;
}

std::vector<int> CPortService::OpenPorts() const
{
    return m_pCore->OpenPorts();
}

const std::string& CPortService::PortDirectory() const
{
    return m_pCore->GetPortDirectory();
}

std::string CPortService::DefaultPortDirectory()
{
    return CPortWatcher::DefaultPortDirectory();
}

std::optional<CPortService::STraffic> CPortService::Traffic(int nPort) const
{
    if (!CCOMData::IsPortIndex(nPort) || !IsRunning())
        return std::nullopt;
    CSocketCtrl& worker = m_pCore->GetWorker(nPort);
    if (!worker.IsThreadRunning())
        return std::nullopt;
    return STraffic{worker.BytesSent(), worker.BytesReceived()};
}

std::shared_ptr<CMonitorTap> CPortService::OpenMonitor(int nPort)
{
    return m_pMonitor->Open(nPort);
}

void CPortService::CloseMonitor(const std::shared_ptr<CMonitorTap>& pTap)
{
    m_pMonitor->Close(pTap);
}

void CPortService::PollMonitors()
{
    m_pMonitor->Poll();
}
