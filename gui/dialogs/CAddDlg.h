// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QString>

#include "core/service/CConnectTest.h"
#include "core/model/CPortEntry.h"

namespace Ui
{
class CAddDlg;
}
class CLogListBox;
class QAbstractButton;

// The Add/Config port dialog with its connection test:
// edits a copy of one port's configuration; the opener stores Entry() for
// Port() after OK. The fields are checked by CPortEntry::SetFields, the one
// validator of a port's fields, and the mode's fix-ups are
// CPortEntry::Normalise. The controls hold the values being edited; they
// are read at OK, at a test and at a mode change. The test's thread is a
// CConnectTest; its progress arrives through the test's queue and is shown
// in the log. GUI thread only.
class CAddDlg : public QDialog
{
    Q_OBJECT

public:
    // Add: a new port on one of the numbers offered. Config: the port
    // offered, which cannot be changed.
    enum class EKind
    {
        Add,
        Config,
    };

    // vecPorts: the port indexes offered (index n is "COM<n+1>"), the first
    // chosen: for Add the free ones, ascending (none: OK stays off), for
    // Config the port configured alone. entry: the values to show, which
    // get their mode's fix-ups (a mode or type out of range reads as the
    // last one). nTimeout: the test's connect time-out, seconds.
    CAddDlg(EKind kind, const std::vector<int>& vecPorts, const CPortEntry& entry, int nTimeout,
            QWidget* pParent = nullptr);
    // Stops a running test and waits for its thread.
    ~CAddDlg() override;

    // After Accepted: the configuration chosen: mode, connection type,
    // switches, address and ports (use and enable are not set), checked and
    // normalised. A default entry before.
    const CPortEntry& Entry() const { return m_entry; }
    // The port chosen; -1 when Add had none to offer.
    int Port() const;

    // Ends the dialog; a running test is stopped and waited for first. The
    // main window's Exit ends an open dialog with Rejected through it.
    void done(int nResult) override;

    CConnectTest& GetTest() { return m_test; }
    CLogListBox* GetLog() const;
    int IsTestMode() const { return m_bTestMode; }

protected:
    // OK: the fields' checks in order; the dialog stays open on a failure.
    void accept() override;
    // CANCEL, the close box, Escape: ignored while a test runs.
    void reject() override;

private:
    // Caption and the port list, with OK enabled when there is a port.
    void ShowPorts(const std::vector<int>& vecPorts);
    // Fills the controls from entry: the three fields and ShowChoices.
    void ShowEntry(const CPortEntry& entry);
    // Checks the mode, connection type and switches of entry.
    void ShowChoices(const CPortEntry& entry);
    // The mode, connection type and switches the controls show; the three
    // fields are left at their defaults (their text is checked apart).
    CPortEntry ChoicesOfControls() const;
    std::array<QAbstractButton*, 3> ModeButtons() const;
    std::array<QAbstractButton*, 3> TypeButtons() const;

    // A click on any mode button, the one already checked too.
    void OnModeClicked();
    // The mode became nMode, by a click or otherwise: its enabling row and
    // its fix-ups.
    void OnModeChanged(int nMode);
    void OnBnClickedConnectTest();
    // WM_TEST_NOTIFY: drains the test's queue into the log.
    void OnTestNotify();
    void ApplyTestEntry(const _tag_postmsglist& entry);
    // Puts the controls into or out of the running-test state.
    void SetTestMode(int bOn);

    // The enabling table's row of nMode.
    void ApplyModeRow(int nMode);
    // COM port control goes with Telnet: its controls are on only while
    // Telnet is chosen and allowed (and no test runs).
    void UpdateComPortControls();
    void MessageBox(const std::string& strText);
    // The log: insert a line at the running index with its kind.
    void InsertLine(const QString& strText, int nKind, int bAdvance);

    std::unique_ptr<Ui::CAddDlg> m_ui;
    const EKind m_kind;
    const int m_nTimeout;
    // Set by OK.
    CPortEntry m_entry;
    int m_nLogLine = 0;

    // 1 from a test's start until its end banner is shown.
    int m_bTestMode = 0;
    // While ShowChoices checks buttons: their change signals must not act
    // on the controls half set.
    bool m_bShowingEntry = false;
    // The peer the running test dials, for its lines.
    QString m_strTestAddress;
    int m_nTestPort = 0;

    CConnectTest m_test;
};
