#include <QApplication>

#include "app/COmbraCtrlApp.h"

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    // The window hides into the notification area; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    COmbraCtrlApp app;
    if (app.InitInstance(QApplication::arguments()))
        QApplication::exec();
    return app.ExitInstance();
}
