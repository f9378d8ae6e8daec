// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <memory>
#include <string>

#include <QDialog>

#include "core/model/COptionSet.h"

namespace Ui
{
class COptionDlg;
}
class QLineEdit;

// "Option": the global options, edited on a copy. The values go in with
// the constructor and come out of Options() after the dialog was accepted;
// read-only (the ports run) it only shows them. The checks are
// COptionSet::SetFields's.
class COptionDlg : public QDialog
{
    Q_OBJECT

public:
    COptionDlg(const COptionSet& options, bool bReadOnly, QWidget* pParent = nullptr);
    ~COptionDlg() override;

    // After Accepted: the values entered; before, the values shown.
    const COptionSet& Options() const { return m_options; }

    // OK: the fields checked in their order; the first failure is shown and
    // the dialog stays open, else the values are taken and it closes.
    void accept() override;

private:
    // Fills the fields; read-only disables every field and OK.
    void ShowOptions();
    void OnBnClickedReconnect();
    // Off, and looking it: every field while the ports run, User and
    // Password included.
    static void ShowAsReadOnly(QLineEdit* pEdit);
    // The TLS file fields with their option members, in the group's order.
    struct STlsField
    {
        QLineEdit* pEdit;
        std::string COptionSet::*pstrMember;
        const char* pszKey;
    };
    std::array<STlsField, 4> TlsFields() const;
    // A file chooser for one TLS field.
    void ChooseTlsFile(QLineEdit* pEdit);

    COptionSet m_options;
    bool m_bReadOnly;

    std::unique_ptr<Ui::COptionDlg> m_ui;
    // The numeric fields in the order of COptionSet::RANGES.
    std::array<QLineEdit*, COptionSet::FIELD_COUNT> m_pFields{};
};
