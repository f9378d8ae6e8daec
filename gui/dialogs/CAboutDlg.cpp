// SPDX-License-Identifier: Apache-2.0
#include "gui/dialogs/CAboutDlg.h"

#include <openssl/crypto.h>

#include <QStyle>

#include <NimbrelVersion.h>

#include "ui_CAboutDlg.h"
#include "gui/widgets/NimbrelImages.h"

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent), m_ui(std::make_unique<Ui::CAboutDlg>())
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    m_ui->m_version->setText(QStringLiteral("Nimbrel " NIMBREL_VERSION));
    m_ui->m_libraries->setText(LibrariesText());
    m_ui->m_licence->setText(LicenceText());
    const int nIcon = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    m_ui->m_icon->setPixmap(NimbrelPixmap(IDR_MAINFRAME, nIcon, nIcon));
    setWindowIcon(NimbrelIcon(IDR_MAINFRAME));
}

CAboutDlg::~CAboutDlg() = default;

QString CAboutDlg::LibrariesText()
{
    // OpenSSL's text starts with its own name.
    return QStringLiteral("Qt %1, %2")
        .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)));
}

QString CAboutDlg::LicenceText()
{
    return QStringLiteral("Licensed under the Apache License, Version 2.0 (Apache-2.0).");
}
