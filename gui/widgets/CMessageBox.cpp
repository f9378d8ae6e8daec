// SPDX-License-Identifier: Apache-2.0
#include "gui/widgets/CMessageBox.h"

#include <vector>

#include <QFileDialog>
#include <QPushButton>

std::function<void(const QString&, const QString&)> CMessageBox::s_fnAnswer;
std::function<int(const QString&, const QString&, const QStringList&)> CMessageBox::s_fnChoose;
std::function<QString(const QString&)> CMessageBox::s_fnSavePath;

void CMessageBox::Show(QWidget* pOwner, const QString& strCaption, const QString& strText, QMessageBox::Icon icon)
{
    if (s_fnAnswer)
    {
        s_fnAnswer(strCaption, strText);
        return;
    }
    QMessageBox box(icon, strCaption, strText, QMessageBox::Ok, pOwner);
    box.exec();
}

int CMessageBox::Ask(QWidget* pOwner, const QString& strCaption, const QString& strText, const QStringList& answers)
{
    if (s_fnChoose)
        return s_fnChoose(strCaption, strText, answers);
    if (s_fnAnswer)
    {
        s_fnAnswer(strCaption, strText);
        return -1;
    }
    QMessageBox box(QMessageBox::Question, strCaption, strText, QMessageBox::NoButton, pOwner);
    std::vector<QPushButton*> vecButtons;
    // The last answer is the one Escape gives.
    for (qsizetype k = 0; k < answers.size(); ++k)
        vecButtons.push_back(box.addButton(answers[k], k == 0                    ? QMessageBox::AcceptRole
                                                       : k + 1 == answers.size() ? QMessageBox::RejectRole
                                                                                 : QMessageBox::ActionRole));
    if (!vecButtons.empty())
        box.setDefaultButton(vecButtons.front());
    box.exec();
    for (size_t k = 0; k < vecButtons.size(); ++k)
        if (box.clickedButton() == vecButtons[k])
            return static_cast<int>(k);
    return -1;
}

QString CMessageBox::AskSavePath(QWidget* pOwner, const QString& strCaption, const QString& strSuggested,
                                 const QString& strFilter)
{
    if (s_fnSavePath)
        return s_fnSavePath(strSuggested);
    if (s_fnAnswer)
        return QString();
    return QFileDialog::getSaveFileName(pOwner, strCaption, strSuggested, strFilter);
}
