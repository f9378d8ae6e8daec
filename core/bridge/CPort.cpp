// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPort.h"

#include "core/model/CPortTexts.h"

CPort::CPort(int nPort, CPortHost* pHost, CPortOwner& owner) : m_nPort(nPort), m_pHost(pHost), m_link(owner, nPort)
{
    ReplaceVirtualPort(std::make_unique<COmbraPortAx>());
}

std::string CPort::Name() const
{
    return CPortTexts::PortName(m_nPort);
}

void CPort::Bind()
{
    m_worker.Bind(m_link, m_nPort);
}

void CPort::ReplaceVirtualPort(std::unique_ptr<COmbraPortAx> pVirtual)
{
    if (m_pVirtual && m_pVirtual->IsCreated())
        m_pVirtual->DeletePort();
    m_pVirtual = std::move(pVirtual);
    m_pVirtual->Attach(COmbraPortAx::PORT_ID_BASE + m_nPort, m_pHost);
    m_pVirtual->SetFlushWake([this] { m_worker.Wake(); });
}

CPort::~CPort()
{
    // The worker goes before the virtual port: no wake may reach it then.
    m_pVirtual->SetFlushWake(nullptr);
}

bool CPort::Open(bool bWineLink)
{
    COmbraPortAx& port = *m_pVirtual;
    port.SetWineLink(bWineLink ? 1 : 0);
    if (!port.CreatePort(Name()))
        return false;
    port.ConfigurePort(32, 16, 0, 0);
    port.SetLinkSignalB(0);
    port.SetLinkSignalA(0);
    port.SetAuxSignal(0);
    if (!m_worker.StartThread())
    {
        port.DeletePort();
        return false;
    }
    return true;
}

int CPort::Close(bool bRelease)
{
    if (bRelease)
        m_pVirtual->ReleasePort();
    const int nResult = m_pVirtual->DeletePort();
    m_worker.StopThread();
    return nResult;
}

void CPort::Shut()
{
    // The worker ends before its port goes, so it never touches a removed one.
    m_worker.StopThread();
    if (m_pVirtual->IsCreated())
    {
        m_pVirtual->ReleasePort();
        m_pVirtual->DeletePort();
    }
}

bool CPort::NameTaken()
{
    return m_pVirtual->PortExists(Name()) == 1;
}

const std::shared_ptr<CCaptureRing>& CPort::CaptureRing()
{
    if (!m_pCapture)
        m_pCapture = std::make_shared<CCaptureRing>();
    return m_pCapture;
}
