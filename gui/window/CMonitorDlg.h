// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <QDialog>
#include <QString>
#include <QTimer>

class CMonitorTap;
class CMonitorView;
class CPortService;

namespace Ui
{
class CMonitorDlg;
}

// "Monitor COMn": what crosses one port, live, in a window of its own that
// never holds up the program (non-modal; several may be open). A timer
// takes the port's new records at most once a frame and adds them in one
// edit, whatever the rate of the data; what the window cannot show in time
// is lost to it and counted in a line of its own. Pause stops the lines
// (what comes meanwhile is counted), Clear empties them, Hex and Text pick
// the columns, "Save..." writes them to a text file.
class CMonitorDlg : public QDialog
{
    Q_OBJECT

public:
    // The longest wait between two looks at the port's records.
    static constexpr int FRAME_MS = 16;
    // What one frame adds at most, in bytes of the records' data (a byte
    // is about four characters of text to lay out): beyond it the window
    // would hold up the program's other windows. A line past the budget
    // waits for the next frame.
    static constexpr size_t FRAME_BUDGET = 4 * 1024;

    // Opens the monitor of port nPort; the service outlives the window or
    // calls Detach first.
    CMonitorDlg(CPortService& service, int nPort, QWidget* pParent = nullptr);
    ~CMonitorDlg() override;

    int Port() const { return m_nPort; }
    CMonitorView* View() const;
    // Writes the lines to strPath; false (and a box) when that fails.
    bool SaveTo(const QString& strPath);
    // The port's monitor ends now (the program ends); the window shows
    // what it has.
    void Detach();
    // One frame's work, as the timer runs it.
    void OnFrame();

private:
    void OnSave();
    void OnViewChanged();

    std::unique_ptr<Ui::CMonitorDlg> m_ui;
    CPortService* m_pService;
    const int m_nPort;
    std::shared_ptr<CMonitorTap> m_pTap;
    QTimer m_timer;
};
