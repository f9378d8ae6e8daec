// SPDX-License-Identifier: Apache-2.0
#include <QApplication>

#include "gui/window/COmbraCtrlApp.h"
#include "gui/window/COmbraCtrlDlg.h"

int main(int argc, char** argv)
{
    // --help, --version and a bad argument end before any window system is needed.
    QStringList args;
    for (int k = 0; k < argc; ++k)
        args << QString::fromLocal8Bit(argv[k]);
    CStartup::SArgs startup;
    int nEarlyExit = COmbraCtrlApp::EXIT_OK;
    if (!COmbraCtrlApp::ParseArgs(args, &startup, &nEarlyExit))
        return nEarlyExit;

    QApplication qapp(argc, argv);
    // The window hides into the notification area; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    COmbraCtrlApp app;
    QObject::connect(&app, &COmbraCtrlApp::Finished, &qapp, [](int nExitCode) { QApplication::exit(nExitCode); });
    if (app.InitInstance(QApplication::arguments()))
        QApplication::exec();
    return app.ExitInstance();
}
