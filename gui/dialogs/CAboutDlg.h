#pragma once

#include <memory>

#include <QDialog>

namespace Ui
{
class CAboutDlg;
}

// "About Nimbrel": the icon, the version and OK.
class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::CAboutDlg> m_ui;
};
