#pragma once

#include <functional>

#include <QMessageBox>
#include <QString>

class QWidget;

// Every message box of the program goes through here: a plain OK box with
// the given caption and icon, owned by pOwner (none: application-wide).
class CMessageBox
{
public:
    static void Show(QWidget* pOwner, const QString& strCaption, const QString& strText,
                     QMessageBox::Icon icon = QMessageBox::NoIcon);

    // Tests set this to answer boxes instead of showing them: it gets the
    // caption and text and returns at once, as the user's OK would.
    static std::function<void(const QString& strCaption, const QString& strText)> s_fnAnswer;
};
