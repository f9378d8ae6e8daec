#include "gui/dialogs/CAboutDlg.h"

#include <NimbrelVersion.h>

#include "ui_CAboutDlg.h"
#include "gui/widgets/NimbrelImages.h"

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent), m_ui(std::make_unique<Ui::CAboutDlg>())
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    m_ui->m_version->setText(QStringLiteral("Nimbrel " NIMBREL_VERSION));
    m_ui->m_icon->setPixmap(NimbrelPixmap(IDR_MAINFRAME, 32, 32));
    setWindowIcon(NimbrelIcon(IDR_MAINFRAME));
}

CAboutDlg::~CAboutDlg() = default;
