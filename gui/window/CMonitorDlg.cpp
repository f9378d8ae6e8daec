// SPDX-License-Identifier: Apache-2.0
#include "gui/window/CMonitorDlg.h"

#include <QFile>
#include <QSaveFile>

#include "core/model/CPortTexts.h"
#include "core/service/CMonitorTap.h"
#include "core/service/CPortService.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/widgets/CMonitorView.h"
#include "ui_CMonitorDlg.h"

CMonitorDlg::CMonitorDlg(CPortService& service, int nPort, QWidget* pParent)
    : QDialog(pParent), m_ui(std::make_unique<Ui::CMonitorDlg>()), m_pService(&service), m_nPort(nPort)
{
    m_ui->setupUi(this);
    // A window of its own beside the main window, not over it.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    const QString strName = QString::fromStdString(CPortTexts::PortName(nPort));
    setWindowTitle(QStringLiteral("Monitor ") + strName);
    m_ui->m_view->setAccessibleName(QStringLiteral("Monitor ") + strName);

    m_pTap = service.OpenMonitor(nPort);
    connect(m_ui->m_btnClear, &QPushButton::clicked, m_ui->m_view, &CMonitorView::ClearLines);
    connect(m_ui->m_btnClose, &QPushButton::clicked, this, &QDialog::close);
    connect(m_ui->m_btnSave, &QPushButton::clicked, this, &CMonitorDlg::OnSave);
    connect(m_ui->m_chkHex, &QCheckBox::toggled, this, &CMonitorDlg::OnViewChanged);
    connect(m_ui->m_chkText, &QCheckBox::toggled, this, &CMonitorDlg::OnViewChanged);
    connect(&m_timer, &QTimer::timeout, this, &CMonitorDlg::OnFrame);
    m_timer.start(FRAME_MS);
}

CMonitorDlg::~CMonitorDlg()
{
    Detach();
}

CMonitorView* CMonitorDlg::View() const
{
    return m_ui->m_view;
}

void CMonitorDlg::Detach()
{
    m_timer.stop();
    if (m_pService != nullptr && m_pTap)
        m_pService->CloseMonitor(m_pTap);
    m_pTap.reset();
    m_pService = nullptr;
}

void CMonitorDlg::OnFrame()
{
    if (m_pService == nullptr || !m_pTap)
        return;
    m_pService->PollMonitors();
    // Paused: the records wait in the tap, which counts what it cannot keep.
    if (m_ui->m_btnPause->isChecked())
        return;
    std::vector<CCaptureRecord> records;
    size_t nBytes = 0;
    while (nBytes < FRAME_BUDGET)
    {
        std::vector<CCaptureRecord> one = m_pTap->Take(1);
        if (one.empty())
            break;
        nBytes += one.front().m_data.size() + 16;
        records.push_back(std::move(one.front()));
    }
    m_ui->m_view->AppendRecords(records);
}

void CMonitorDlg::OnViewChanged()
{
    // One of the two stays on: a line without either says nothing.
    QCheckBox* pHex = m_ui->m_chkHex;
    QCheckBox* pText = m_ui->m_chkText;
    if (!pHex->isChecked() && !pText->isChecked())
    {
        (sender() == pHex ? pText : pHex)->setChecked(true);
        return;
    }
    m_ui->m_view->SetView(pHex->isChecked() && pText->isChecked() ? EMonitorView::HexAndText
                          : pHex->isChecked()                     ? EMonitorView::Hex
                                                                  : EMonitorView::Text);
}

void CMonitorDlg::OnSave()
{
    const QString strPath = CMessageBox::AskSavePath(
        this, QStringLiteral("Save ") + windowTitle(),
        QString::fromStdString(CPortTexts::PortName(m_nPort)) + QStringLiteral("-monitor.txt"),
        QStringLiteral("Text (*.txt)"));
    if (!strPath.isEmpty())
        SaveTo(strPath);
}

bool CMonitorDlg::SaveTo(const QString& strPath)
{
    QSaveFile file(strPath);
    QByteArray text = m_ui->m_view->Lines().toUtf8();
    if (!text.isEmpty())
        text += '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
    {
        CMessageBox::Show(this, QStringLiteral("Error"),
                          QStringLiteral("Cannot save ") + strPath + QStringLiteral(": ") + file.errorString(),
                          QMessageBox::Warning);
        return false;
    }
    return true;
}
