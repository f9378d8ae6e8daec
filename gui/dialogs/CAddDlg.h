#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QDialog>
#include <QString>

#include "core/service/CConnectTest.h"
#include "core/model/CPortEntry.h"

namespace Ui
{
class CAddDlg;
}
class CCOMData;
class CLogListBox;
class QAbstractButton;

// The Add/Config port dialog with its connection test:
// edits copies of one port's configuration; the opener stores them after
// OK. The fields are checked by CPortEntry::SetFields, the one validator of
// a port's fields, and the mode's fix-ups are CPortEntry::Normalise. The
// test's thread is a CConnectTest; its progress arrives through the test's
// queue and is shown in the log. GUI thread only.
class CAddDlg : public QDialog
{
    Q_OBJECT

public:
    // bConfig 0: opened by Add (a new port), 1: by Config (port m_nPort).
    explicit CAddDlg(int bConfig, QWidget* pParent = nullptr);
    // Stops a running test and waits for its thread.
    ~CAddDlg() override;

    // Set by the opener before OnInitDialog.
    const CCOMData* m_pComData = nullptr;
    int m_nTimeout = 1;              // connect time-out of the test, seconds
    int m_nPort = 0;                 // Config: the port; after OK: the port chosen
    // Add: re-reads the machine's serial ports into m_pComData's system-port
    // marks before the free COM numbers are listed.
    std::function<void()> m_fnScanSystemPorts;

    // After OK: the configuration the user chose for m_nPort: mode,
    // connection type, switches, address and ports (use and enable are not
    // set), checked and normalised.
    CPortEntry m_entry;

    // Caption, COM numbers, the entry's values, the enabling of its mode.
    void OnInitDialog();

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
    void OnBnClickedTcpClient() { OnModeClicked(MODE_TCP_CLIENT); }
    void OnBnClickedTcpServer() { OnModeClicked(MODE_TCP_SERVER); }
    void OnBnClickedUdp() { OnModeClicked(MODE_UDP); }
    void OnModeClicked(int nMode);
    void OnBnClickedConnectTest();
    // WM_TEST_NOTIFY: drains the test's queue into the log.
    void OnTestNotify();
    void ApplyTestEntry(const _tag_postmsglist& entry);
    // Puts the controls into or out of the running-test state.
    void SetTestMode(int bOn);

    // The enabling table's row of nMode.
    void ApplyModeRow(int nMode);
    // The fix-ups of m_nMode (CPortEntry::Normalise); 1 when one changed a member.
    int FixUp();
    // 1: controls into the members; 0: members into the controls.
    void UpdateData(int bSaveAndValidate);
    // The mode the radio buttons show now.
    int ModeOfControls() const;
    void MessageBox(const std::string& strText);
    // The log: insert a line at the running index with its kind.
    void InsertLine(const QString& strText, int nKind, int bAdvance);

    std::unique_ptr<Ui::CAddDlg> m_ui;
    const int m_bConfig;
    int m_nLogLine = 0;

    // The controls' values (moved in and out with the fields). The three
    // edits are kept as text: they are checked only at OK and at a test.
    QString m_strIPAddress;
    QString m_strPeerPort;
    QString m_strLocPort;
    int m_nComboIndex = -1;
    int m_nMode = -1;
    int m_nConnectType = -1;
    int m_bSSL = 0;
    int m_bKeepAlive = 0;

    // OK may be enabled: Config, or Add with a free COM number.
    int m_bOkAllowed = 1;
    // 1 from a test's start until its end banner is shown.
    int m_bTestMode = 0;
    // While UpdateData(0) fills the controls from the members.
    bool m_bSettingControls = false;
    // The peer the running test dials, for its lines.
    QString m_strTestAddress;
    int m_nTestPort = 0;

    CConnectTest m_test;
};
