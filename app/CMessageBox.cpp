#include "app/CMessageBox.h"

std::function<void(const QString&, const QString&)> CMessageBox::s_fnAnswer;

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
