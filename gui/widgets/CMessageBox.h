// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every message box of the program goes through here: a plain OK box with
// the given caption and icon, owned by pOwner (none: application-wide).
class CMessageBox
{
public:
    static void Show(QWidget* pOwner, const QString& strCaption, const QString& strText,
                     QMessageBox::Icon icon = QMessageBox::NoIcon);

    // A question with a button for each answer, the first the default;
    // returns the index of the one pressed, -1 when the box was closed.
    static int Ask(QWidget* pOwner, const QString& strCaption, const QString& strText, const QStringList& answers);
    // A file to save to, asked with the desktop's file dialog; empty when
    // the user cancelled.
    static QString AskSavePath(QWidget* pOwner, const QString& strCaption, const QString& strSuggested,
                               const QString& strFilter = QStringLiteral("Settings (*.ini)"));

    // Tests set this to answer boxes instead of showing them: it gets the
    // caption and text and returns at once, as the user's OK would.
    static std::function<void(const QString& strCaption, const QString& strText)> s_fnAnswer;
    // Tests answer questions and file dialogs with these; a question that
    // comes while only s_fnAnswer is set is recorded there and cancelled.
    static std::function<int(const QString& strCaption, const QString& strText, const QStringList& answers)> s_fnChoose;
    static std::function<QString(const QString& strSuggested)> s_fnSavePath;
};
