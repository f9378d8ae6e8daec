// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include <QDialog>
#include <QPointer>

#include "core/service/CPortService.h"
#include "core/service/CPortServiceEvents.h"
#include "gui/window/CQtDispatcher.h"
#include "core/service/CSettingsFile.h"
#include "core/service/CStartup.h"

namespace Ui
{
class COmbraCtrlDlg;
}
class CAboutDlg;
class COptionDlg;
class CAddDlg;
class CMonitorDlg;
class CMsgWnd;
class CPortListModel;
class QAction;
class QMenu;
class QSystemTrayIcon;

// The main window: the port list, the status line under it, the buttons,
// the notification-area icon and its menu. A thin view over the port
// service, which owns every port and runs Start and Stop; the window shows
// its rows and state and hands the user's commands to it. It can be
// resized (the list takes the growth); it starts wide enough for every
// column and keeps its size, place and column widths in CWindowState.
// Everything runs on the GUI thread.
class COmbraCtrlDlg : public QDialog, private CPortServiceEvents
{
    Q_OBJECT

public:

    explicit COmbraCtrlDlg(QWidget* pParent = nullptr);
    ~COmbraCtrlDlg() override;

    // Defaults, the saved settings, the port directory, the icon. 0 when the
    // program cannot run (the reason has been shown).
    int OnInitDialog(const CStartup::SArgs& args);
    // Builds the list's rows; once, after OnInitDialog.
    void OnInitList();

    void OnMenuShowWindow();
    // "Exit": ends open dialogs, refuses while an application holds a port
    // open, else tears everything down.
    void OnMenuExit();
    // The session or a signal ends the program: tear down without asking.
    void OnEndSession();
    // "About Nimbrel": the About dialog, modal.
    void OnAbout();
    void OnStartStop();
    // "Option": the global options, read-only while the ports run; saved
    // after OK while they are stopped. The dialog is window-modal and
    // returns at once; its end is handled when it comes.
    void OnBnClickedOption();
    // "Ombra Add", "Ombra Config", "Ombra Delete": the Add/Config
    // dialog, modal, for a new port or the selected row's; Delete removes
    // the selected row's port without asking. Each change is saved at once.
    void OnBnClickedAdd();
    void OnBnClickedConfig();
    void OnBnClickedDelete();
    // "Monitor", or a double click on a row: the monitor window of the
    // selected row's port (that port's, when one is open already).
    void OnBnClickedMonitor();
    void OpenMonitor(int nPort);
    QList<CMonitorDlg*> GetMonitorDlgs() const;

    // The window's side of Start and Stop.
    void SetRunButtons(int bStarted);
    void DisableControls();

    // bSave 0: load the settings file and apply it to the core (start-up);
    // 1: write the core's settings to it (after a change). 0 on failure,
    // which has been shown.
    int UpdateSettings(int bSave);

    CPortService& GetService() { return m_service; }
    CQtDispatcher& GetDispatcher() { return m_dispatcher; }
    CPortListModel* GetModel() const { return m_pModel.get(); }
    CMsgWnd* GetMsgWnd() const { return m_pMsgWnd; }
    CAboutDlg* GetAboutDlg() const;
    COptionDlg* GetOptionDlg() const;
    CAddDlg* GetAddDlg() const;
    QSystemTrayIcon* GetTrayIcon() const { return m_pTray; }
    const std::string& GetSettingsPath() const { return m_strSettingsPath; }
    // The line under the list, as it shows now.
    QString GetStatusLine() const;
    int IsDestroyed() const { return m_bDestroyed; }

signals:
    // Torn down: the program ends.
    void Destroyed();

protected:
    // Escape, the close box: hide (minimise where there is no tray).
    void reject() override;
    void closeEvent(QCloseEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
    void hideEvent(QHideEvent* pEvent) override;

private:
    // The service's events.
    void OnMessage(const std::string& strCaption, const std::string& strText) override;
    void OnRunState() override;
    void OnWineLink(int nPort, bool bLinked, const std::string& strText) override;

    void OnRunStateChanged();
    void OnEnableToggled(int nPort);
    // Config and Delete: on while stopped with a row selected.
    void EnableRowButtons(bool bStopped);
    void OnSelectionChanged();
    // The status line follows the rows and the selection; many changes in
    // one pass of the event loop (a burst of reports) update it once.
    void ScheduleStatusLine();
    void UpdateStatusLine();
    // Size, place and column widths into CWindowState, once the window has
    // been shown.
    void SaveWindowState();
    void ShowMsgWnd();
    void DestroyMsgWnd();
    // The end: stops every port, removes the icon; emits Destroyed.
    void DestroyWindow();
    void MessageBox(const std::string& strCaption, const std::string& strText);
    // The port of the first selected row, -1 when none is selected.
    int SelectedPort() const;
    // Opens an Add (bConfig 0) or Config (1, port nPort) dialog,
    // window-modal; its OK adds or configures the port and saves.
    void OpenAddDlg(int bConfig, int nPort);
    // Ends the open modal dialogs (Exit): a running connection test first.
    void EndModalDialogs();

    // Declared first: the core's threads post through it until the core is gone.
    CQtDispatcher m_dispatcher;
    CPortService m_service;
    std::unique_ptr<Ui::COmbraCtrlDlg> m_ui;
    // Listens to the service's rows: declared after it, so it goes first.
    std::unique_ptr<CPortListModel> m_pModel;
    CMsgWnd* m_pMsgWnd = nullptr;  // while a start sequence runs
    QSystemTrayIcon* m_pTray = nullptr;
    QMenu* m_pTrayMenu = nullptr;
    QAction* m_pActionShow = nullptr;
    QAction* m_pActionExit = nullptr;
    QAction* m_pActionAbout = nullptr;
    QPointer<CAboutDlg> m_pAboutDlg;  // while the About dialog is open
    QPointer<COptionDlg> m_pOptionDlg;  // while the Option dialog is open
    QPointer<CAddDlg> m_pAddDlg;        // while the Add/Config dialog is open
    QList<QPointer<CMonitorDlg>> m_monitors;  // the monitor windows open
    int m_bHasTray = 0;
    int m_bExiting = 0;
    int m_bDestroyed = 0;
    bool m_bStatusPending = false;
    bool m_bWasShown = false;

    // Asks where to save instead of the current file; false when cancelled.
    bool ChooseOtherSettingsPath();

    CSettingsFile m_settings;
    std::string m_strSettingsPath;
    CStartup::SArgs m_args;  // the command line
    // The file was there but refused at start: it holds the user's ports,
    // so it is never written over without asking.
    bool m_bSettingsRefused = false;
    // The file as last read or written: another program's change since
    // shows as a different stamp.
    CSettingsFile::SStamp m_settingsStamp;
};
