#include <QApplication>

#include "app/COmbraCtrlApp.h"

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    // The window hides into the notification area; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    COmbraCtrlApp app;
    QObject::connect(&app, &COmbraCtrlApp::Finished, &qapp, [](int nExitCode) { QApplication::exit(nExitCode); });
    if (app.InitInstance(QApplication::arguments()))
        QApplication::exec();
    return app.ExitInstance();
}
