// Saves a picture of the window as a user sees it after Start: the real
// window on a settings file, over real virtual ports in a private port
// directory, Start pressed, every enabled port created, and each port named
// on the command line held open by a "program" at 9600 baud, 8N1, as a
// terminal program would, until its row reads "Connected".
// Usage: nimbrel_window_shot CONFIG OUT.png [COMn ...]
// On a display (the README's picture: under xvfb-run) or on Qt's offscreen
// platform. Exit status 0 when the picture was saved.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>

#include "gui/widgets/CMessageBox.h"
#include "gui/window/COmbraCtrlDlg.h"
#include "gui/widgets/CPortListModel.h"

namespace
{

bool RunUntil(const std::function<bool()>& pred, int nMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pred();
}

int OpenAt9600(const std::string& strPath)
{
    const int h = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (h < 0)
        return -1;
    termios t;
    if (tcgetattr(h, &t) == 0)
    {
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(h, TCSANOW, &t);
    }
    return h;
}

QString Cell(CPortListModel* pModel, int nRow, int nCol)
{
    return pModel->index(nRow, nCol).data().toString();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: nimbrel_window_shot CONFIG OUT.png [COMn ...]\n");
        return 2;
    }
    const std::string strConfig = argv[1];
    const QString strOut = QString::fromLocal8Bit(argv[2]);
    char szDir[] = "/tmp/nimbrel-shot-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    const std::string strPorts = std::string(szDir) + "/ports";

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    CMessageBox::s_fnAnswer = [](const QString& strCaption, const QString& strText) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(strCaption), qPrintable(strText));
    };
    int nResult = 1;
    std::vector<int> vecOpen;
    {
        COmbraCtrlDlg dlg;
        if (!dlg.OnInitDialog(CStartup::Parse({"--config", strConfig, "--port-dir", strPorts}, false)))
            return 1;
        dlg.OnInitList();
        dlg.show();
        CPortListModel* pModel = dlg.GetModel();
        auto* pStart = dlg.findChild<QPushButton*>(QStringLiteral("m_btnStartStop"));
        RunUntil([] { return false; }, 300);
        pStart->click();
        if (!RunUntil([&] { return pStart->isEnabled() && pStart->text() == QStringLiteral("Stop"); }, 60000))
        {
            std::fprintf(stderr, "Start did not finish\n");
            return 1;
        }

        // A terminal program on each port named: the row turns "Connected".
        std::vector<int> vecRows;
        for (int k = 3; k < argc; ++k)
        {
            const QString strName = QString::fromLocal8Bit(argv[k]);
            for (int nRow = 0; nRow < pModel->rowCount(); ++nRow)
                if (Cell(pModel, nRow, COL_PORT) == strName)
                    vecRows.push_back(nRow);
            const int h = OpenAt9600(strPorts + "/" + argv[k]);
            if (h < 0)
                std::fprintf(stderr, "cannot open %s\n", argv[k]);
            else
                vecOpen.push_back(h);
        }
        RunUntil(
            [&] {
                for (int nRow : vecRows)
                    if (Cell(pModel, nRow, COL_CONNECTION) != QStringLiteral("Connected") ||
                        Cell(pModel, nRow, COL_BAUDRATE) != QStringLiteral("9600"))
                        return false;
                return true;
            },
            10000);
        RunUntil([] { return false; }, 300);
        if (dlg.grab().save(strOut, "PNG"))
            nResult = 0;
        else
            std::fprintf(stderr, "cannot write %s\n", qPrintable(strOut));
        for (int h : vecOpen)
            close(h);
        // Teardown with the window: every link goes.
    }
    CMessageBox::s_fnAnswer = nullptr;
    std::system(("rm -rf '" + std::string(szDir) + "'").c_str());
    return nResult;
}
