// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <QDialog>
#include <QString>

namespace Ui
{
class CAboutDlg;
}

// "About Nimbrel": the icon, the version, the Qt and OpenSSL versions the
// program runs with (the libraries loaded, not the headers it was built
// against), the licence and OK.
class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    ~CAboutDlg() override;

    // "Qt 6.4.2, OpenSSL 3.0.15 3 Sep 2024", as the box shows it.
    static QString LibrariesText();
    static QString LicenceText();

private:
    std::unique_ptr<Ui::CAboutDlg> m_ui;
};
