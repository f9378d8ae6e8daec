// SPDX-License-Identifier: Apache-2.0
#include "gui/window/COmbraCtrlDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QItemSelectionModel>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScreen>
#include <QShowEvent>
#include <QSystemTrayIcon>

#include "gui/widgets/CMessageBox.h"
#include "gui/dialogs/CAboutDlg.h"
#include "gui/dialogs/COptionDlg.h"
#include "gui/window/CMonitorDlg.h"
#include "gui/dialogs/CAddDlg.h"
#include "core/model/CPortTexts.h"
#include "core/model/PortsInUse.h"
#include "ui_COmbraCtrlDlg.h"
#include "gui/widgets/CMsgWnd.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/NimbrelImages.h"
#include "gui/window/CWindowState.h"


COmbraCtrlDlg::COmbraCtrlDlg(QWidget* pParent)
    : QDialog(pParent), m_service(&m_dispatcher), m_ui(std::make_unique<Ui::COmbraCtrlDlg>())
{
    m_ui->setupUi(this);
    // A top-level window of its own with a taskbar entry, not a dialog
    // over another window; no minimise box (it hides into the tray), but a
    // maximise box, since a larger window shows more of the list.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(NimbrelIcon(IDR_MAINFRAME));
    m_ui->m_picture->setPixmap(NimbrelPixmap(IDB_LOGO, m_ui->m_picture->width(), m_ui->m_picture->height()));

    m_service.SetEvents(this);

    m_pModel = std::make_unique<CPortListModel>(&m_service);
    m_ui->m_list->SetPortModel(m_pModel.get());
    connect(m_ui->m_list, &CTraceListCtrl::EnableToggled, this, &COmbraCtrlDlg::OnEnableToggled);
    // Config and Delete act on the selected row: without one they are off.
    connect(m_ui->m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &COmbraCtrlDlg::OnSelectionChanged);
    connect(m_pModel.get(), &QAbstractItemModel::rowsRemoved, this, &COmbraCtrlDlg::OnSelectionChanged);
    connect(m_pModel.get(), &QAbstractItemModel::modelReset, this, &COmbraCtrlDlg::OnSelectionChanged);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(m_pModel.get(), signal, this, &COmbraCtrlDlg::ScheduleStatusLine);
    connect(m_pModel.get(), &QAbstractItemModel::modelReset, this, &COmbraCtrlDlg::ScheduleStatusLine);
    connect(m_pModel.get(), &QAbstractItemModel::dataChanged, this, &COmbraCtrlDlg::ScheduleStatusLine);
    connect(m_ui->m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &COmbraCtrlDlg::ScheduleStatusLine);
    UpdateStatusLine();

    connect(m_ui->m_btnStartStop, &QPushButton::clicked, this, &COmbraCtrlDlg::OnStartStop);
    connect(m_ui->m_btnOption, &QPushButton::clicked, this, &COmbraCtrlDlg::OnBnClickedOption);
    connect(m_ui->m_btnAdd, &QPushButton::clicked, this, &COmbraCtrlDlg::OnBnClickedAdd);
    connect(m_ui->m_btnConfig, &QPushButton::clicked, this, &COmbraCtrlDlg::OnBnClickedConfig);
    connect(m_ui->m_btnDelete, &QPushButton::clicked, this, &COmbraCtrlDlg::OnBnClickedDelete);
    connect(m_ui->m_btnMonitor, &QPushButton::clicked, this, &COmbraCtrlDlg::OnBnClickedMonitor);
    connect(m_ui->m_list, &CTraceListCtrl::RowDoubleClicked, this,
            [this](int nRow) { OpenMonitor(m_service.Rows().GetItemData(nRow)); });

    m_pActionAbout = new QAction(tr("&About Nimbrel"), this);
    m_pActionAbout->setObjectName(QStringLiteral("actionAbout"));
    m_pActionAbout->setShortcut(QKeySequence(Qt::Key_F1));
    m_pActionAbout->setShortcutContext(Qt::WindowShortcut);
    addAction(m_pActionAbout);
    connect(m_pActionAbout, &QAction::triggered, this, &COmbraCtrlDlg::OnAbout);

    m_pTrayMenu = new QMenu(this);
    m_pTrayMenu->setObjectName(QStringLiteral("trayMenu"));
    m_pActionShow = m_pTrayMenu->addAction(QStringLiteral("ShowWindow"));
    m_pActionShow->setObjectName(QStringLiteral("actionShowWindow"));
    m_pActionExit = m_pTrayMenu->addAction(QStringLiteral("Exit"));
    m_pActionExit->setObjectName(QStringLiteral("actionExit"));
    connect(m_pActionShow, &QAction::triggered, this, [this] {
        if (!m_bExiting && !m_service.IsRefusalShown())
            OnMenuShowWindow();
    });
    connect(m_pActionExit, &QAction::triggered, this, [this] {
        if (!m_bExiting && !m_service.IsRefusalShown() && !m_service.IsBusy())
            OnMenuExit();
    });
    connect(m_pTrayMenu, &QMenu::aboutToShow, this, [this] { m_pActionExit->setEnabled(!m_service.IsBusy()); });

    // Every column at the start, with room for the scroll bar of a long
    // list; within the screen. A saved size replaces it (OnInitDialog).
    QSize size = sizeHint();
    if (const QScreen* pScreen = screen())
        size = size.boundedTo(pScreen->availableSize());
    resize(size);
}

void COmbraCtrlDlg::ScheduleStatusLine()
{
    if (m_bStatusPending)
        return;
    m_bStatusPending = true;
    QMetaObject::invokeMethod(this, &COmbraCtrlDlg::UpdateStatusLine, Qt::QueuedConnection);
}

void COmbraCtrlDlg::UpdateStatusLine()
{
    m_bStatusPending = false;
    const QModelIndexList rows = m_ui->m_list->selectionModel() != nullptr
                                     ? m_ui->m_list->selectionModel()->selectedRows(COL_PORT)
                                     : QModelIndexList();
    const QString strLine =
        QString::fromStdString(m_service.Rows().StatusLine(rows.isEmpty() ? -1 : rows.first().row()));
    m_ui->m_status->setText(strLine);
    // A long reason may be cut at the window's edge: the tip has it whole.
    m_ui->m_status->setToolTip(strLine);
}

QString COmbraCtrlDlg::GetStatusLine() const
{
    return m_ui->m_status->text();
}

void COmbraCtrlDlg::showEvent(QShowEvent* pEvent)
{
    m_bWasShown = true;
    QDialog::showEvent(pEvent);
}

void COmbraCtrlDlg::hideEvent(QHideEvent* pEvent)
{
    // Hidden into the tray: the state as the user left it.
    if (!pEvent->spontaneous())
        SaveWindowState();
    QDialog::hideEvent(pEvent);
}

void COmbraCtrlDlg::SaveWindowState()
{
    if (m_bWasShown)
        CWindowState::Save(this, m_ui->m_list->header());
}

void COmbraCtrlDlg::OnMessage(const std::string& strCaption, const std::string& strText)
{
    MessageBox(strCaption, strText);
}

void COmbraCtrlDlg::OnRunState()
{
    OnRunStateChanged();
}

void COmbraCtrlDlg::OnWineLink(int nPort, bool bLinked, const std::string& strText)
{
    // Only a port left without its Wine link is worth a word, and not a
    // box that would hold up the start.
    if (!bLinked && m_pTray != nullptr && m_pTray->isVisible())
        m_pTray->showMessage(QStringLiteral("Nimbrel"),
                             QStringLiteral("COM%1 Wine: ").arg(nPort + 1) + QString::fromStdString(strText),
                             QSystemTrayIcon::Warning);
}

COmbraCtrlDlg::~COmbraCtrlDlg()
{
    DestroyWindow();
    m_ui->m_list->setModel(nullptr);
}

int COmbraCtrlDlg::OnInitDialog(const CStartup::SArgs& args)
{
    m_service.ResetSettings();
    m_args = args;
    m_strSettingsPath = CStartup::SettingsPath(args);
    UpdateSettings(0);

    std::string strPortDir;
    std::string strError;
    if (!CStartup::PortDirectory(args, m_settings, &strPortDir))
    {
        MessageBox("Error", "The port directory must be an absolute path, not '" + strPortDir + "'.");
        return 0;
    }
    if (!m_service.Init(strPortDir, &strError))
    {
        MessageBox("Error", strError);
        return 0;
    }

    CWindowState::Restore(this, m_ui->m_list->header());

    m_bHasTray = QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0;
    m_pTray = new QSystemTrayIcon(NimbrelIcon(IDR_MAINFRAME), this);
    m_pTray->setToolTip(QStringLiteral("Nimbrel"));
    m_pTray->setContextMenu(m_pTrayMenu);
    connect(m_pTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (m_bExiting || m_service.IsRefusalShown())
            return;
        if (reason == QSystemTrayIcon::DoubleClick)
            OnMenuShowWindow();
    });
    if (m_bHasTray)
        m_pTray->show();
    else
        // Without a tray the window is the only way in: it can be minimised.
        setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    SetRunButtons(0);
    return 1;
}

void COmbraCtrlDlg::OnInitList()
{
    m_service.ShowRows();
    if (m_pModel->rowCount() > 0)
        m_ui->m_list->setCurrentIndex(m_pModel->index(0, COL_PORT));
    m_ui->m_list->clearSelection();
}

int COmbraCtrlDlg::UpdateSettings(int bSave)
{
    std::string strError;
    if (bSave)
    {
        const QString strPath = QString::fromStdString(m_strSettingsPath);
        if (m_bSettingsRefused)
        {
            const int nAnswer = CMessageBox::Ask(
                this, QStringLiteral("Nimbrel"),
                QStringLiteral("The settings file %1 could not be read at start, so it is not written over.\n"
                               "Keep it as %1.bad-<time> and write a new one, or save to another file?")
                    .arg(strPath),
                {QStringLiteral("Keep It and Write New"), QStringLiteral("Save Elsewhere..."),
                 QStringLiteral("Cancel")});
            if (nAnswer == 0)
            {
                std::string strKeptAs;
                if (CSettingsFile::Stamp(m_strSettingsPath).bExists &&
                    !CSettingsFile::KeepAside(m_strSettingsPath, &strKeptAs, &strError))
                {
                    MessageBox("Error", strError);
                    return 0;
                }
            }
            else if (nAnswer != 1 || !ChooseOtherSettingsPath())
                return 0;
            m_bSettingsRefused = false;
        }
        else
        {
            const CSettingsFile::SStamp now = CSettingsFile::Stamp(m_strSettingsPath);
            if (now.bExists && !(now == m_settingsStamp))
            {
                const int nAnswer = CMessageBox::Ask(
                    this, QStringLiteral("Nimbrel"),
                    QStringLiteral("The settings file %1 was changed by another program since Nimbrel read it.\n"
                                   "Write over it with the settings shown here?")
                        .arg(strPath),
                    {QStringLiteral("Write Over It"), QStringLiteral("Save Elsewhere..."), QStringLiteral("Cancel")});
                if (nAnswer != 0 && (nAnswer != 1 || !ChooseOtherSettingsPath()))
                    return 0;
            }
        }
        m_settings.ReadFrom(m_service);
        if (!m_settings.Save(m_strSettingsPath, &strError, &m_settingsStamp))
        {
            MessageBox("Error", strError);
            return 0;
        }
        return 1;
    }

    // A missing default file is a first start: no ports yet. A file that
    // does not check out is shown and then left as it is; the program runs
    // with no ports, and the first save asks before it touches the file.
    m_bSettingsRefused = false;
    if (CStartup::LoadSettings(m_args, &m_settings, &strError, &m_settingsStamp) == CStartup::ELoad::Refused)
    {
        MessageBox("Error", strError);
        m_bSettingsRefused = CSettingsFile::Stamp(m_strSettingsPath).bExists;
        return 0;
    }
    m_settings.ApplyTo(m_service);
    return 1;
}

bool COmbraCtrlDlg::ChooseOtherSettingsPath()
{
    const QString strPath =
        CMessageBox::AskSavePath(this, QStringLiteral("Save Settings"), QString::fromStdString(m_strSettingsPath));
    if (strPath.isEmpty())
        return false;
    m_strSettingsPath = strPath.toStdString();
    return true;
}

void COmbraCtrlDlg::OnEnableToggled(int /*nPort*/)
{
    UpdateSettings(1);
}

void COmbraCtrlDlg::OnStartStop()
{
    m_service.StartStop();
}

void COmbraCtrlDlg::SetRunButtons(int bStarted)
{
    m_ui->m_btnStartStop->setText(bStarted ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_ui->m_btnStartStop->setEnabled(true);
    m_ui->m_btnAdd->setEnabled(!bStarted);
    EnableRowButtons(!bStarted);
    m_ui->m_btnOption->setEnabled(true);
    m_ui->m_list->setEnabled(true);
}

void COmbraCtrlDlg::EnableRowButtons(bool bStopped)
{
    const bool bEnable = bStopped && SelectedPort() >= 0;
    m_ui->m_btnConfig->setEnabled(bEnable);
    m_ui->m_btnDelete->setEnabled(bEnable);
    // The monitor only looks: started or not.
    m_ui->m_btnMonitor->setEnabled(SelectedPort() >= 0);
}

void COmbraCtrlDlg::OnSelectionChanged()
{
    // During a Start or Stop every button stays off until it ends.
    if (!m_service.IsBusy())
        EnableRowButtons(!m_service.IsRunning());
}

void COmbraCtrlDlg::DisableControls()
{
    m_ui->m_btnStartStop->setEnabled(false);
    m_ui->m_btnAdd->setEnabled(false);
    m_ui->m_btnConfig->setEnabled(false);
    m_ui->m_btnDelete->setEnabled(false);
    m_ui->m_btnOption->setEnabled(false);
    m_ui->m_btnMonitor->setEnabled(false);
    m_ui->m_list->setEnabled(false);
}

void COmbraCtrlDlg::OnRunStateChanged()
{
    m_pActionExit->setEnabled(!m_service.IsBusy());
    if (m_service.IsBusy())
    {
        DisableControls();
        if (!m_service.IsRunning())
            ShowMsgWnd();
        return;
    }
    DestroyMsgWnd();
    SetRunButtons(m_service.IsRunning() ? 1 : 0);
}

void COmbraCtrlDlg::ShowMsgWnd()
{
    if (m_pMsgWnd != nullptr)
        return;
    CTraceListCtrl* pList = m_ui->m_list;
    m_pMsgWnd = new CMsgWnd(pList);
    m_pMsgWnd->setObjectName(QStringLiteral("m_msgWnd"));
    m_pMsgWnd->SetLine1(QStringLiteral("Virtual Serial Port Create."));
    m_pMsgWnd->SetLine2(QStringLiteral("Just a moment, please."));
    // Centred over the rows, however large the list has grown.
    QRect rcMsg(QPoint(0, 0), m_pMsgWnd->sizeHint());
    rcMsg.moveCenter(pList->viewport()->geometry().center());
    m_pMsgWnd->setGeometry(rcMsg);
    m_pMsgWnd->show();
    m_pMsgWnd->raise();
    m_pMsgWnd->repaint();
}

void COmbraCtrlDlg::DestroyMsgWnd()
{
    delete m_pMsgWnd;
    m_pMsgWnd = nullptr;
}

void COmbraCtrlDlg::OnMenuShowWindow()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void COmbraCtrlDlg::reject()
{
    if (m_bHasTray)
        hide();
    else
        showMinimized();
}

void COmbraCtrlDlg::closeEvent(QCloseEvent* pEvent)
{
    if (m_bDestroyed)
    {
        pEvent->accept();
        return;
    }
    pEvent->ignore();
    reject();
}

void COmbraCtrlDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // Exit is here too: a desktop without a notification area has no icon
    // menu, and the program could not be ended from the window otherwise.
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("windowMenu"));
    menu.addAction(m_pActionAbout);
    menu.addSeparator();
    menu.addAction(m_pActionExit);
    m_pActionExit->setEnabled(!m_service.IsBusy());
    menu.exec(pEvent->globalPos());
}

CAboutDlg* COmbraCtrlDlg::GetAboutDlg() const
{
    return m_pAboutDlg.data();
}

COptionDlg* COmbraCtrlDlg::GetOptionDlg() const
{
    return m_pOptionDlg.data();
}

CAddDlg* COmbraCtrlDlg::GetAddDlg() const
{
    return m_pAddDlg.data();
}

void COmbraCtrlDlg::OnAbout()
{
    if (m_pAboutDlg || m_pAddDlg || m_bDestroyed)
        return;
    auto* pDlg = new CAboutDlg(this);
    pDlg->setObjectName(QStringLiteral("m_aboutDlg"));
    pDlg->setAttribute(Qt::WA_DeleteOnClose);
    m_pAboutDlg = pDlg;
    connect(pDlg, &QDialog::finished, this, [this] { m_pAboutDlg = nullptr; });
    pDlg->open();
}

void COmbraCtrlDlg::OnBnClickedOption()
{
    if (m_pOptionDlg || m_bDestroyed)
        return;
    auto* pDlg = new COptionDlg(m_service.Options(), m_service.IsRunning(), this);
    pDlg->setObjectName(QStringLiteral("m_optionDlg"));
    pDlg->setAttribute(Qt::WA_DeleteOnClose);
    m_pOptionDlg = pDlg;
    connect(pDlg, &QDialog::finished, this, [this, pDlg](int nResult) {
        m_pOptionDlg = nullptr;
        // The ports may have been started meanwhile, or the program ended.
        if (nResult != QDialog::Accepted || m_bDestroyed || !m_service.SetOptions(pDlg->Options()))
            return;
        UpdateSettings(1);
    });
    pDlg->open();
}

void COmbraCtrlDlg::OnBnClickedMonitor()
{
    const int nPort = SelectedPort();
    if (nPort >= 0)
        OpenMonitor(nPort);
}

void COmbraCtrlDlg::OpenMonitor(int nPort)
{
    if (m_bDestroyed || nPort < 0 || nPort >= CPortService::PORT_COUNT)
        return;
    m_monitors.removeAll(QPointer<CMonitorDlg>());
    for (const QPointer<CMonitorDlg>& pMonitor : m_monitors)
        if (pMonitor->Port() == nPort)
        {
            pMonitor->show();
            pMonitor->raise();
            pMonitor->activateWindow();
            return;
        }
    auto* pDlg = new CMonitorDlg(m_service, nPort, this);
    m_monitors.push_back(pDlg);
    pDlg->show();
}

QList<CMonitorDlg*> COmbraCtrlDlg::GetMonitorDlgs() const
{
    QList<CMonitorDlg*> list;
    for (const QPointer<CMonitorDlg>& pMonitor : m_monitors)
        if (pMonitor)
            list.push_back(pMonitor.data());
    return list;
}

int COmbraCtrlDlg::SelectedPort() const
{
    const QModelIndexList rows = m_ui->m_list->selectionModel() != nullptr
                                     ? m_ui->m_list->selectionModel()->selectedRows(COL_PORT)
                                     : QModelIndexList();
    if (rows.isEmpty())
        return -1;
    return m_service.Rows().GetItemData(rows.first().row());
}

void COmbraCtrlDlg::OpenAddDlg(int bConfig, int nPort)
{
    if (m_pAddDlg || m_pAboutDlg || m_bDestroyed)
        return;
    // Add offers the numbers free after OnBnClickedAdd's scan and shows what
    // the first of them holds (a deleted port's entry stays in the table).
    const std::vector<int> vecPorts = bConfig ? std::vector<int>{nPort} : m_service.Ports().FreeNumbers();
    const int nShown = vecPorts.empty() ? -1 : vecPorts.front();
    auto* pDlg = new CAddDlg(bConfig ? CAddDlg::EKind::Config : CAddDlg::EKind::Add, vecPorts,
                             m_service.Entry(nShown), m_service.Options().m_nConnectTimeout, this);
    pDlg->setObjectName(QStringLiteral("m_addDlg"));
    pDlg->SetTestOptions(m_service.Options());
    pDlg->setAttribute(Qt::WA_DeleteOnClose);
    m_pAddDlg = pDlg;
    connect(pDlg, &QDialog::finished, this, [this, pDlg, bConfig](int nResult) {
        m_pAddDlg = nullptr;
        // Exit may have torn everything down while the dialog was open.
        if (nResult != QDialog::Accepted || m_bDestroyed)
            return;
        const int bChanged = bConfig ? m_service.ConfigPort(pDlg->Port(), pDlg->Entry())
                                     : m_service.AddPort(pDlg->Port(), pDlg->Entry());
        if (bChanged)
            UpdateSettings(1);
    });
    pDlg->open();
}

void COmbraCtrlDlg::OnBnClickedAdd()
{
    // With every number taken the dialog would open on an empty list.
    m_service.ScanSystemPorts();
    if (!m_service.Ports().HasFreeNumber())
    {
        MessageBox("Nimbrel", "No free COM number: COM1 to COM256 are all configured or present on this machine.");
        return;
    }
    OpenAddDlg(0, 0);
}

void COmbraCtrlDlg::OnBnClickedConfig()
{
    const int nPort = SelectedPort();
    if (nPort >= 0)
        OpenAddDlg(1, nPort);
}

void COmbraCtrlDlg::OnBnClickedDelete()
{
    const int nPort = SelectedPort();
    if (nPort >= 0 && m_service.DeletePort(nPort))
        UpdateSettings(1);
}

void COmbraCtrlDlg::EndModalDialogs()
{
    if (m_pAboutDlg)
        m_pAboutDlg->done(QDialog::Accepted);
    // Stops a running connection test and waits for its thread first.
    if (m_pAddDlg)
        m_pAddDlg->done(QDialog::Rejected);
    if (m_pOptionDlg != nullptr)
        m_pOptionDlg->done(QDialog::Rejected);
}

void COmbraCtrlDlg::OnMenuExit()
{
    m_bExiting = 1;
    EndModalDialogs();
    const std::vector<int> vecOpen = m_service.OpenPorts();
    if (!vecOpen.empty())
    {
        MessageBox("Error", PortsInUseMessage(vecOpen));
        m_bExiting = 0;
        return;
    }
    DestroyWindow();
}

void COmbraCtrlDlg::OnEndSession()
{
    m_bExiting = 1;
    EndModalDialogs();
    DestroyWindow();
}

void COmbraCtrlDlg::DestroyWindow()
{
    if (m_bDestroyed)
        return;
    m_bDestroyed = 1;
    // The dispatcher first: a sequence thread waiting for a sent task is
    // released, so the teardown can wait for it.
    m_dispatcher.Quit();
    // The monitors let go of their ports before the ports go.
    for (const QPointer<CMonitorDlg>& pMonitor : m_monitors)
        if (pMonitor)
        {
            pMonitor->Detach();
            delete pMonitor.data();
        }
    m_monitors.clear();
    m_service.Teardown();
    DestroyMsgWnd();
    if (m_pTray != nullptr)
        m_pTray->hide();
    hide();
    emit Destroyed();
}

void COmbraCtrlDlg::MessageBox(const std::string& strCaption, const std::string& strText)
{
    CMessageBox::Show(this, QString::fromStdString(strCaption), QString::fromStdString(strText));
}
