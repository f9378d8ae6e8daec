#pragma once

#include <array>
#include <memory>

#include <QDialog>

#include "model/COptionSet.h"

namespace Ui
{
class COptionDlg;
}
class QLineEdit;

// "Option": the global options, edited on a copy. The opener sets
// m_options and m_bReadOnly, calls DoModal() and, after Accepted, takes
// m_options back. The checks are COptionSet::SetFields's.
class COptionDlg : public QDialog
{
    Q_OBJECT

public:
    explicit COptionDlg(QWidget* pParent = nullptr);
    ~COptionDlg() override;

    // Fills the fields from m_options; read-only disables every field and OK.
    void OnInitDialog();
    int DoModal();

    // OK: the fields checked in their order; the first failure is shown and
    // the dialog stays open, else m_options takes the values and it closes.
    void accept() override;

    // In: the values shown. Out, after Accepted: the values entered.
    COptionSet m_options;
    // 1: the ports run; the values are only shown.
    int m_bReadOnly = 0;

private:
    void OnBnClickedReconnect();

    std::unique_ptr<Ui::COptionDlg> m_ui;
    // The numeric fields in the order of COptionSet::RANGES.
    std::array<QLineEdit*, COptionSet::FIELD_COUNT> m_pFields{};
};
