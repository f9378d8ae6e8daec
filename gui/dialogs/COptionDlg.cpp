// SPDX-License-Identifier: Apache-2.0
#include "gui/dialogs/COptionDlg.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpressionValidator>
#include <QToolButton>

#include "core/engine/TlsTrust.h"

#include "gui/widgets/CMessageBox.h"
#include "ui_COptionDlg.h"
#include "gui/widgets/NimbrelImages.h"

COptionDlg::COptionDlg(const COptionSet& options, bool bReadOnly, QWidget* pParent)
    : QDialog(pParent), m_options(options), m_bReadOnly(bReadOnly), m_ui(std::make_unique<Ui::COptionDlg>())
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowIcon(NimbrelIcon(IDR_MAINFRAME));

    // Each numeric field is named after its settings key, so the range
    // table alone says which field is checked when.
    auto* pDigits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
    for (size_t k = 0; k < COptionSet::FIELD_COUNT; ++k)
    {
        m_pFields[k] = findChild<QLineEdit*>(QStringLiteral("m_edit") + QLatin1String(COptionSet::RANGES[k].pszKey));
        Q_ASSERT(m_pFields[k] != nullptr);
        m_pFields[k]->setValidator(pDigits);
    }
    m_ui->m_editUser->setMaxLength(static_cast<int>(COptionSet::TEXT_MAX));
    m_ui->m_editPassword->setMaxLength(static_cast<int>(COptionSet::TEXT_MAX));

    connect(m_ui->m_btnOk, &QPushButton::clicked, this, &COptionDlg::accept);
    connect(m_ui->m_btnCancel, &QPushButton::clicked, this, &COptionDlg::reject);
    connect(m_ui->m_chkReconnect, &QCheckBox::toggled, this, &COptionDlg::OnBnClickedReconnect);
    for (QToolButton* pButton : {m_ui->m_btnTlsCertificate, m_ui->m_btnTlsPrivateKey, m_ui->m_btnTlsCaFile,
                                 m_ui->m_btnTlsClientCaFile})
    {
        QLineEdit* pEdit = findChild<QLineEdit*>(pButton->objectName().replace(QStringLiteral("m_btn"), QStringLiteral("m_edit")));
        connect(pButton, &QToolButton::clicked, this, [this, pEdit] { ChooseTlsFile(pEdit); });
    }
    ShowOptions();
}

COptionDlg::~COptionDlg() = default;

void COptionDlg::ShowAsReadOnly(QLineEdit* pEdit)
{
    pEdit->setEnabled(false);
    // Some styles draw a disabled field on the same white face as an
    // editable one: the face of the window says it takes no input.
    QPalette pal = pEdit->palette();
    pal.setColor(QPalette::Disabled, QPalette::Base, pal.color(QPalette::Active, QPalette::Window));
    pEdit->setPalette(pal);
}

std::array<COptionDlg::STlsField, 4> COptionDlg::TlsFields() const
{
    return {{{m_ui->m_editTlsCertificate, &COptionSet::m_strTlsCertificate, "TlsCertificate"},
             {m_ui->m_editTlsPrivateKey, &COptionSet::m_strTlsPrivateKey, "TlsPrivateKey"},
             {m_ui->m_editTlsCaFile, &COptionSet::m_strTlsCaFile, "TlsCaFile"},
             {m_ui->m_editTlsClientCaFile, &COptionSet::m_strTlsClientCaFile, "TlsClientCaFile"}}};
}

void COptionDlg::ChooseTlsFile(QLineEdit* pEdit)
{
    const QString strStart = pEdit->text().isEmpty() ? QString::fromStdString(m_options.m_strSettingsDir)
                                                     : QFileInfo(pEdit->text()).absolutePath();
    const QString strFile = QFileDialog::getOpenFileName(this, pEdit->accessibleName(), strStart,
                                                         QStringLiteral("PEM files (*.pem *.crt *.key);;All files (*)"));
    if (!strFile.isEmpty())
        pEdit->setText(strFile);
}

void COptionDlg::ShowOptions()
{
    // Empty TLS fields show what they default to.
    COptionSet unset;
    unset.m_strSettingsDir = m_options.m_strSettingsDir;
    const STlsKeyFiles defaults = TlsKeyFilesOf(unset, TlsProgramDirectory());
    for (const STlsField& field : TlsFields())
        field.pEdit->setText(QString::fromStdString(m_options.*field.pstrMember));
    m_ui->m_editTlsCertificate->setPlaceholderText(QString::fromStdString(defaults.strCertificate));
    m_ui->m_editTlsPrivateKey->setPlaceholderText(QString::fromStdString(defaults.strPrivateKey));
    m_ui->m_editTlsCaFile->setPlaceholderText(QStringLiteral("the system's certificates"));
    m_ui->m_editTlsClientCaFile->setPlaceholderText(QStringLiteral("none: no client certificate asked for"));

    const auto texts = m_options.GetFields();
    for (size_t k = 0; k < COptionSet::FIELD_COUNT; ++k)
        m_pFields[k]->setText(QString::fromStdString(texts[k]));
    m_ui->m_chkReconnect->setChecked(m_options.m_bReconnect == 1);
    m_ui->m_editUser->setText(QString::fromStdString(m_options.m_strUser));
    m_ui->m_editPassword->setText(QString::fromStdString(m_options.m_strPassword));
    m_ui->m_chkWineDosDevices->setChecked(m_options.m_bWineDosDevices == 1);

    if (m_bReadOnly)
    {
        for (QLineEdit* pField : findChildren<QLineEdit*>())
            ShowAsReadOnly(pField);
        m_ui->m_chkReconnect->setEnabled(false);
        m_ui->m_chkWineDosDevices->setEnabled(false);
        for (const STlsField& field : TlsFields())
            findChild<QToolButton*>(field.pEdit->objectName().replace(QStringLiteral("m_edit"), QStringLiteral("m_btn")))
                ->setEnabled(false);
        m_ui->m_btnOk->setEnabled(false);
        m_ui->m_btnCancel->setEnabled(true);
        m_ui->m_btnCancel->setDefault(true);
        return;
    }
    m_ui->m_editReconnectTime->setEnabled(m_options.m_bReconnect == 1);
}

void COptionDlg::OnBnClickedReconnect()
{
    m_ui->m_editReconnectTime->setEnabled(m_ui->m_chkReconnect->isChecked());
}

void COptionDlg::accept()
{
    if (m_bReadOnly)
        return;
    std::array<std::string, COptionSet::FIELD_COUNT> texts;
    for (size_t k = 0; k < COptionSet::FIELD_COUNT; ++k)
        texts[k] = m_pFields[k]->text().toStdString();
    COptionSet options = m_options;
    std::string strMessage;
    if (!options.SetFields(texts, m_ui->m_chkReconnect->isChecked() ? 1 : 0, m_ui->m_editUser->text().toStdString(),
                           m_ui->m_editPassword->text().toStdString(), &strMessage))
    {
        CMessageBox::Show(this, QStringLiteral("Nimbrel"), QString::fromStdString(strMessage));
        return;
    }
    for (const STlsField& field : TlsFields())
    {
        const std::string strPath = field.pEdit->text().trimmed().toStdString();
        if (!COptionSet::IsPathValue(strPath))
        {
            CMessageBox::Show(this, QStringLiteral("Nimbrel"),
                              QString::fromLatin1(field.pszKey) + QStringLiteral(" : an absolute path, or empty for the default"));
            return;
        }
        options.*field.pstrMember = strPath;
    }
    options.m_bWineDosDevices = m_ui->m_chkWineDosDevices->isChecked() ? 1 : 0;
    m_options = options;
    QDialog::accept();
}
