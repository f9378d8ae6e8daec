// SPDX-License-Identifier: Apache-2.0
#include "gui/dialogs/CAddDlg.h"

#include <QRegularExpressionValidator>

#include "gui/widgets/CMessageBox.h"
#include "ui_CAddDlg.h"
#include "gui/widgets/CLogListBox.h"
#include "gui/widgets/NimbrelImages.h"

namespace
{

// 0 and 1 stay, anything else is 2 (mode and connection type alike).
int ClampChoice(int n)
{
    return n == 0 || n == 1 ? n : 2;
}

// One row of the enabling table: on (1) or off (0) for each control.
struct SModeRow
{
    int bRaw, bSecure, bTelnet, bSSL, bKeepAlive, bIPAddress, bPeerPort, bLocPort, bConnectTest;
};

constexpr SModeRow MODE_ROWS[3] = {
    {1, 0, 1, 1, 1, 1, 1, 0, 1},  // TCP client
    {1, 1, 1, 1, 1, 0, 0, 1, 0},  // TCP server
    {0, 0, 0, 0, 0, 1, 1, 1, 0},  // UDP
};

}  // namespace

CAddDlg::CAddDlg(EKind kind, const std::vector<int>& vecPorts, const CPortEntry& entry, int nTimeout,
                 QWidget* pParent)
    : QDialog(pParent), m_ui(std::make_unique<Ui::CAddDlg>()), m_kind(kind), m_nTimeout(nTimeout)
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowIcon(NimbrelIcon(IDR_MAINFRAME));

    // The port fields take digits only, as the template's number edits.
    const QRegularExpression digits(QStringLiteral("[0-9]*"));
    m_ui->m_editPeerPort->setValidator(new QRegularExpressionValidator(digits, this));
    m_ui->m_editLocPort->setValidator(new QRegularExpressionValidator(digits, this));

    // A mode may also change without a click (assistive technology's
    // Toggle checks the button directly): the enabling follows every change.
    const std::array<QAbstractButton*, 3> modes = ModeButtons();
    for (size_t i = 0; i < modes.size(); ++i)
    {
        const int nMode = static_cast<int>(i);
        connect(modes[i], &QAbstractButton::clicked, this, [this] { OnModeClicked(); });
        connect(modes[i], &QAbstractButton::toggled, this, [this, nMode](bool bChecked) {
            if (bChecked && !m_bShowingEntry)
                OnModeChanged(nMode);
        });
    }
    // The combos' first item is the program's own value; the rest are the
    // values as stored (data bits) or the parity names in order.
    m_ui->m_comboComPortDataBits->addItems({QStringLiteral("Program's"), QStringLiteral("5"), QStringLiteral("6"),
                                            QStringLiteral("7"), QStringLiteral("8")});
    m_ui->m_comboComPortParity->addItems({QStringLiteral("Program's"), QStringLiteral("None"), QStringLiteral("Odd"),
                                          QStringLiteral("Even"), QStringLiteral("Mark"), QStringLiteral("Space")});
    for (QAbstractButton* pType : TypeButtons())
        connect(pType, &QAbstractButton::toggled, this, [this] { UpdateComPortControls(); });
    connect(m_ui->m_checkComPort, &QAbstractButton::toggled, this, [this] { UpdateComPortControls(); });
    connect(m_ui->m_btnConnectTest, &QAbstractButton::clicked, this, [this] { OnBnClickedConnectTest(); });
    connect(m_ui->m_btnOk, &QAbstractButton::clicked, this, &CAddDlg::accept);
    connect(m_ui->m_btnCancel, &QAbstractButton::clicked, this, &CAddDlg::reject);

    // WM_TEST_NOTIFY: a queued call, dropped if the dialog is gone by then.
    m_test.SetNotify([this] { QMetaObject::invokeMethod(this, &CAddDlg::OnTestNotify, Qt::QueuedConnection); });

    ShowPorts(vecPorts);
    // The stored entry as its mode allows it.
    CPortEntry shown = entry;
    shown.m_nMode = ClampChoice(shown.m_nMode);
    shown.m_nConnectType = ClampChoice(shown.m_nConnectType);
    shown.Normalise();
    ShowEntry(shown);
    ApplyModeRow(shown.m_nMode);
}

CAddDlg::~CAddDlg()
{
    m_test.Stop();
}

CLogListBox* CAddDlg::GetLog() const
{
    return m_ui->m_ctlLog;
}

int CAddDlg::Port() const
{
    const QVariant itemData = m_ui->m_comboPort->currentData();
    return itemData.isValid() ? itemData.toInt() : -1;
}

void CAddDlg::ShowPorts(const std::vector<int>& vecPorts)
{
    QComboBox* pCombo = m_ui->m_comboPort;
    pCombo->clear();
    for (int nPort : vecPorts)
        pCombo->addItem(QStringLiteral("COM%1").arg(nPort + 1), nPort);
    pCombo->setCurrentIndex(0);
    if (m_kind == EKind::Add)
    {
        setWindowTitle(QStringLiteral("Add"));
    }
    else
    {
        setWindowTitle(QStringLiteral("Config"));
        pCombo->setEnabled(false);
    }
    m_ui->m_btnOk->setEnabled(pCombo->count() > 0);
}

std::array<QAbstractButton*, 3> CAddDlg::ModeButtons() const
{
    return {m_ui->m_radioTcpClient, m_ui->m_radioTcpServer, m_ui->m_radioUdp};
}

std::array<QAbstractButton*, 3> CAddDlg::TypeButtons() const
{
    return {m_ui->m_radioRaw, m_ui->m_radioSecure, m_ui->m_radioTelnet};
}

void CAddDlg::ShowEntry(const CPortEntry& entry)
{
    m_ui->m_editIPAddress->setText(QString::fromStdString(entry.m_strIPAddress));
    m_ui->m_editPeerPort->setText(QString::number(entry.m_nPeerPort));
    m_ui->m_editLocPort->setText(QString::number(entry.m_nLocPort));
    ShowChoices(entry);
}

void CAddDlg::ShowChoices(const CPortEntry& entry)
{
    m_bShowingEntry = true;
    ModeButtons()[static_cast<size_t>(ClampChoice(entry.m_nMode))]->setChecked(true);
    TypeButtons()[static_cast<size_t>(ClampChoice(entry.m_nConnectType))]->setChecked(true);
    m_ui->m_checkSSL->setChecked(entry.m_bSSL == 1);
    m_ui->m_checkKeepAlive->setChecked(entry.m_bKeepAlive == 1);
    m_ui->m_checkComPort->setChecked(entry.m_bComPortControl);
    const int nBits = entry.m_nComPortDataBits;
    m_ui->m_comboComPortDataBits->setCurrentIndex(nBits >= 5 && nBits <= 8 ? nBits - 4 : 0);
    m_ui->m_comboComPortParity->setCurrentIndex(static_cast<int>(entry.m_comPortParity));
    m_bShowingEntry = false;
    UpdateComPortControls();
}

CPortEntry CAddDlg::ChoicesOfControls() const
{
    // One button of each group is always checked: ShowChoices checks one,
    // and a user cannot uncheck a radio button.
    auto checked = [](const std::array<QAbstractButton*, 3>& buttons) {
        for (size_t i = 0; i < buttons.size(); ++i)
            if (buttons[i]->isChecked())
                return static_cast<int>(i);
        return 0;
    };
    CPortEntry entry;
    entry.m_nMode = checked(ModeButtons());
    entry.m_nConnectType = checked(TypeButtons());
    entry.m_bSSL = m_ui->m_checkSSL->isChecked() ? 1 : 0;
    entry.m_bKeepAlive = m_ui->m_checkKeepAlive->isChecked() ? 1 : 0;
    entry.m_bComPortControl = m_ui->m_checkComPort->isChecked();
    const int nBits = m_ui->m_comboComPortDataBits->currentIndex();
    entry.m_nComPortDataBits = nBits >= 1 ? nBits + 4 : 0;
    const int nParity = m_ui->m_comboComPortParity->currentIndex();
    entry.m_comPortParity = nParity >= 1 && nParity <= static_cast<int>(ELineParity::Space)
                                ? static_cast<ELineParity>(nParity)
                                : ELineParity::Program;
    return entry;
}

void CAddDlg::ApplyModeRow(int nMode)
{
    const SModeRow& row = MODE_ROWS[ClampChoice(nMode)];
    m_ui->m_radioRaw->setEnabled(row.bRaw);
    m_ui->m_radioSecure->setEnabled(row.bSecure);
    m_ui->m_radioTelnet->setEnabled(row.bTelnet);
    m_ui->m_checkSSL->setEnabled(row.bSSL);
    m_ui->m_checkKeepAlive->setEnabled(row.bKeepAlive);
    m_ui->m_editIPAddress->setEnabled(row.bIPAddress);
    m_ui->m_editPeerPort->setEnabled(row.bPeerPort);
    m_ui->m_editLocPort->setEnabled(row.bLocPort);
    m_ui->m_btnConnectTest->setEnabled(row.bConnectTest);
    UpdateComPortControls();
}

void CAddDlg::UpdateComPortControls()
{
    const bool bTelnet = m_bTestMode == 0 && m_ui->m_radioTelnet->isEnabled() && m_ui->m_radioTelnet->isChecked();
    m_ui->m_checkComPort->setEnabled(bTelnet);
    const bool bValues = bTelnet && m_ui->m_checkComPort->isChecked();
    for (QWidget* pControl : {static_cast<QWidget*>(m_ui->m_lblComPortDataBits), static_cast<QWidget*>(m_ui->m_comboComPortDataBits),
                              static_cast<QWidget*>(m_ui->m_lblComPortParity), static_cast<QWidget*>(m_ui->m_comboComPortParity)})
        pControl->setEnabled(bValues);
}

void CAddDlg::OnModeClicked()
{
    // The checks do not depend on the mode: empty fields, disabled ones
    // included, are filled so that OK and a test find them set.
    if (m_ui->m_editIPAddress->text().isEmpty())
        m_ui->m_editIPAddress->setText(QStringLiteral("0.0.0.0"));
    if (m_ui->m_editPeerPort->text().isEmpty())
        m_ui->m_editPeerPort->setText(QStringLiteral("0"));
    if (m_ui->m_editLocPort->text().isEmpty())
        m_ui->m_editLocPort->setText(QStringLiteral("0"));
}

void CAddDlg::OnModeChanged(int nMode)
{
    // A click's toggle comes before the click itself: fill the fields now.
    OnModeClicked();
    ApplyModeRow(nMode);
    const CPortEntry choices = ChoicesOfControls();
    CPortEntry fixed = choices;
    fixed.Normalise();
    if (fixed != choices)
        ShowChoices(fixed);
}

void CAddDlg::accept()
{
    CPortEntry entry = ChoicesOfControls();
    std::string strMessage;
    if (!entry.SetFields(m_ui->m_editIPAddress->text().toStdString(), m_ui->m_editPeerPort->text().toStdString(),
                         m_ui->m_editLocPort->text().toStdString(), &strMessage))
    {
        MessageBox(strMessage);
        return;
    }
    entry.Normalise();
    m_entry = entry;
    QDialog::accept();
}

void CAddDlg::reject()
{
    if (m_test.IsTesting())
        return;
    QDialog::reject();
}

void CAddDlg::done(int nResult)
{
    // Nothing of the test may outlive the dialog's use of it.
    m_test.Stop();
    QDialog::done(nResult);
}

void CAddDlg::MessageBox(const std::string& strText)
{
    CMessageBox::Show(this, QStringLiteral("Nimbrel"), QString::fromStdString(strText));
}

// ---- connection test ----

void CAddDlg::OnBnClickedConnectTest()
{
    if (m_test.IsTesting())
    {
        m_test.Cancel();
        return;
    }
    // A cancelled test that has not shown its end yet: one test at a time.
    if (m_bTestMode || m_test.IsThreadRunning())
        return;
    // The address and the peer port as OK checks them; the local port is
    // not the test's business.
    CPortEntry probe;
    std::string strMessage;
    if (!probe.SetFields(m_ui->m_editIPAddress->text().toStdString(), m_ui->m_editPeerPort->text().toStdString(),
                         "0", &strMessage))
    {
        MessageBox(strMessage);
        return;
    }
    SetTestMode(1);
    m_ui->m_ctlLog->ResetContent();
    m_nLogLine = 0;
    m_strTestAddress = QString::fromStdString(probe.m_strIPAddress);
    m_nTestPort = probe.m_nPeerPort;
    if (!m_test.Start(probe.m_strIPAddress, probe.m_nPeerPort, m_ui->m_checkSSL->isChecked() ? 1 : 0, m_nTimeout))
        SetTestMode(0);
}

void CAddDlg::SetTestMode(int bOn)
{
    m_bTestMode = bOn;
    m_ui->m_btnConnectTest->setText(bOn ? QStringLiteral("Test Cancel") : QStringLiteral("Connect Test"));
    const bool bEnable = bOn == 0;
    // Without a free COM number OK stays off after a test too.
    m_ui->m_btnOk->setEnabled(bEnable && m_ui->m_comboPort->count() > 0);
    QWidget* const controls[] = {m_ui->m_btnCancel,     m_ui->m_radioTcpClient, m_ui->m_radioTcpServer,
                                 m_ui->m_radioUdp,      m_ui->m_radioRaw,       m_ui->m_radioTelnet,
                                 m_ui->m_checkSSL,      m_ui->m_checkKeepAlive, m_ui->m_editIPAddress,
                                 m_ui->m_editPeerPort};
    for (QWidget* pControl : controls)
        pControl->setEnabled(bEnable);
    UpdateComPortControls();
}

void CAddDlg::OnTestNotify()
{
    for (const _tag_postmsglist& entry : m_test.TakeProgress())
        ApplyTestEntry(entry);
}

void CAddDlg::InsertLine(const QString& strText, int nKind, int bAdvance)
{
    CLogListBox* pLog = m_ui->m_ctlLog;
    const int nAt = pLog->InsertString(m_nLogLine, strText);
    pLog->SetItemData(nAt, nKind);
    pLog->scrollToItem(pLog->item(nAt));
    if (bAdvance)
        ++m_nLogLine;
}

void CAddDlg::ApplyTestEntry(const _tag_postmsglist& entry)
{
    CLogListBox* pLog = m_ui->m_ctlLog;
    const QString strPeer = QStringLiteral("Socket Connect (%1:%2)").arg(m_strTestAddress).arg(m_nTestPort);
    auto addDot = [&] {
        if (m_nLogLine >= pLog->GetCount())
            return;
        const QString strText = pLog->GetText(m_nLogLine) + QStringLiteral(".");
        pLog->DeleteString(m_nLogLine);
        InsertLine(strText, LOG_PROGRESS, 0);
    };
    if (entry.nParam < 0 || entry.nParam > 9)
        return;
    switch (entry.nType * 10 + entry.nParam)
    {
    case TEST_BANNER * 10 + 0: InsertLine(QStringLiteral("----- Socket Test Start -----"), LOG_BANNER, 1); break;
    case TEST_BANNER * 10 + 1:
        InsertLine(QStringLiteral("----- Socket Test End -----"), LOG_BANNER, 1);
        SetTestMode(0);
        break;
    case TEST_BANNER * 10 + 2: InsertLine(QStringLiteral("Test Cancel"), LOG_PROGRESS, 1); break;
    case TEST_SOCKET * 10 + 1: InsertLine(QStringLiteral("Socket Create"), LOG_SUCCESS, 1); break;
    case TEST_SOCKET * 10 + 2: InsertLine(QStringLiteral("Socket Create"), LOG_FAILURE, 1); break;
    case TEST_CONNECT * 10 + 0: InsertLine(QStringLiteral("Connecting ."), LOG_PROGRESS, 0); break;
    case TEST_CONNECT * 10 + 1:
    case TEST_SSL * 10 + 1: addDot(); break;
    case TEST_CONNECT * 10 + 2: InsertLine(strPeer, LOG_SUCCESS, 1); break;
    case TEST_CONNECT * 10 + 3: InsertLine(strPeer, LOG_FAILURE, 1); break;
    case TEST_CONNECT * 10 + 4:
    case TEST_SSL * 10 + 6: pLog->DeleteString(m_nLogLine); break;
    case TEST_SSL * 10 + 0: InsertLine(QStringLiteral("SSL Connect ."), LOG_PROGRESS, 0); break;
    case TEST_SSL * 10 + 2:
    case TEST_SSL * 10 + 3:
    case TEST_SSL * 10 + 4:
    {
        // The version negotiated; the attempt's fixed name otherwise.
        static const char* const s_pszDefault[] = {"TLSv1", "SSLv3", "SSLv2"};
        const QString strVersion = entry.strText.empty() ? QString::fromLatin1(s_pszDefault[entry.nParam - 2])
                                                         : QString::fromStdString(entry.strText);
        InsertLine(QStringLiteral("SSL Success(%1)").arg(strVersion), LOG_SUCCESS, 1);
        break;
    }
    case TEST_SSL * 10 + 5: InsertLine(QStringLiteral("SSL Error"), LOG_FAILURE, 1); break;
    case TEST_REASON * 10 + 0: InsertLine(QString::fromStdString(entry.strText), LOG_REASON, 1); break;
    default: break;  // unknown entries go with the rest
    }
}
