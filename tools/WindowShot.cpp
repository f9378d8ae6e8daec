// SPDX-License-Identifier: Apache-2.0
// Saves pictures of the window as a user sees it: the real window on a
// settings file, over real virtual ports in a private port directory.
// Before Start it can picture the Option dialog and the Add dialog after a
// connection test with TLS; then Start is pressed, every enabled port is
// created, and each port named on the command line is held open by a
// "program" at 9600 baud, 8N1, as a terminal program would, until its row
// reads "Connected" or shows an error.
// Usage: nimbrel_window_shot [options] CONFIG OUT.png [COMn ...]
//   --option FILE            the Option dialog, into FILE
//   --add-test HOST:PORT FILE the Add dialog after a TLS test of HOST:PORT
//   --select COMn            that row selected in the window's picture
//   --font-scale X           every font X times the usual size
// On a display or on Qt's offscreen platform; QT_SCALE_FACTOR=2 pictures a
// device pixel ratio of 2. The window starts at its start size: its saved
// size is neither read nor written. Exit status 0 when every picture was
// saved.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>

#include "gui/dialogs/CAddDlg.h"
#include "gui/dialogs/COptionDlg.h"
#include "gui/widgets/CLogListBox.h"
#include "gui/widgets/CMessageBox.h"
#include "gui/widgets/CPortListModel.h"
#include "gui/widgets/CTraceListCtrl.h"
#include "gui/window/COmbraCtrlDlg.h"

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

int RowOf(CPortListModel* pModel, const QString& strName)
{
    for (int nRow = 0; nRow < pModel->rowCount(); ++nRow)
        if (Cell(pModel, nRow, COL_PORT) == strName)
            return nRow;
    return -1;
}

bool Save(QWidget* pWidget, const QString& strOut)
{
    RunUntil([] { return false; }, 300);
    if (pWidget->grab().save(strOut, "PNG"))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(strOut));
    return false;
}

struct SOptions
{
    QString strOption;     // --option
    QString strTestPeer;   // --add-test HOST:PORT
    QString strAddOut;
    QString strSelect;     // --select
    double dFontScale = 1.0;
    std::string strConfig;
    QString strOut;
    std::vector<std::string> vecPorts;
};

bool ParseOptions(int argc, char** argv, SOptions* pOptions)
{
    std::vector<std::string> vecRest;
    for (int k = 1; k < argc; ++k)
    {
        const std::string str = argv[k];
        if (str == "--option" && k + 1 < argc)
            pOptions->strOption = QString::fromLocal8Bit(argv[++k]);
        else if (str == "--add-test" && k + 2 < argc)
        {
            pOptions->strTestPeer = QString::fromLocal8Bit(argv[++k]);
            pOptions->strAddOut = QString::fromLocal8Bit(argv[++k]);
        }
        else if (str == "--select" && k + 1 < argc)
            pOptions->strSelect = QString::fromLocal8Bit(argv[++k]);
        else if (str == "--font-scale" && k + 1 < argc)
            pOptions->dFontScale = std::atof(argv[++k]);
        else
            vecRest.push_back(str);
    }
    if (vecRest.size() < 2 || pOptions->dFontScale <= 0)
        return false;
    pOptions->strConfig = vecRest[0];
    pOptions->strOut = QString::fromStdString(vecRest[1]);
    pOptions->vecPorts.assign(vecRest.begin() + 2, vecRest.end());
    return true;
}

// Opens the Add dialog, runs its test with TLS against strPeer and saves
// the dialog once the test has ended; the dialog is cancelled.
bool ShootAddTest(COmbraCtrlDlg& dlg, const QString& strPeer, const QString& strOut)
{
    dlg.findChild<QPushButton*>(QStringLiteral("m_btnAdd"))->click();
    CAddDlg* pAdd = dlg.GetAddDlg();
    if (pAdd == nullptr)
        return false;
    const int nColon = strPeer.lastIndexOf(QLatin1Char(':'));
    pAdd->findChild<QRadioButton*>(QStringLiteral("m_radioTcpClient"))->click();
    pAdd->findChild<QCheckBox*>(QStringLiteral("m_checkSSL"))->setChecked(true);
    pAdd->findChild<QLineEdit*>(QStringLiteral("m_editIPAddress"))->setText(strPeer.left(nColon));
    pAdd->findChild<QLineEdit*>(QStringLiteral("m_editPeerPort"))->setText(strPeer.mid(nColon + 1));
    pAdd->findChild<QPushButton*>(QStringLiteral("m_btnConnectTest"))->click();
    CLogListBox* pLog = pAdd->GetLog();
    const bool bEnded = RunUntil(
        [&] { return pLog->GetCount() > 0 && pLog->GetText(pLog->GetCount() - 1).contains(QStringLiteral("End")); },
        30000);
    const bool bSaved = bEnded && Save(pAdd, strOut);
    if (!bEnded)
        std::fprintf(stderr, "the connection test did not end\n");
    pAdd->done(QDialog::Rejected);
    return bSaved;
}

bool ShootOption(COmbraCtrlDlg& dlg, const QString& strOut)
{
    dlg.findChild<QPushButton*>(QStringLiteral("m_btnOption"))->click();
    COptionDlg* pOption = dlg.GetOptionDlg();
    if (pOption == nullptr)
        return false;
    const bool bSaved = Save(pOption, strOut);
    pOption->done(QDialog::Rejected);
    return bSaved;
}

}  // namespace

int main(int argc, char** argv)
{
    SOptions options;
    if (!ParseOptions(argc, argv, &options))
    {
        std::fprintf(stderr, "usage: nimbrel_window_shot [--option FILE] [--add-test HOST:PORT FILE] [--select COMn] "
                             "[--font-scale X] CONFIG OUT.png [COMn ...]\n");
        return 2;
    }
    char szDir[] = "/tmp/nimbrel-shot-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    const std::string strPorts = std::string(szDir) + "/ports";
    // The start size, not the user's last one.
    setenv("NIMBREL_WINDOW_STATE", (std::string(szDir) + "/window.ini").c_str(), 1);

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (options.dFontScale != 1.0)
    {
        QFont font = QApplication::font();
        font.setPointSizeF(font.pointSizeF() * options.dFontScale);
        QApplication::setFont(font);
    }
    CMessageBox::s_fnAnswer = [](const QString& strCaption, const QString& strText) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(strCaption), qPrintable(strText));
    };
    int nResult = 1;
    std::vector<int> vecOpen;
    {
        COmbraCtrlDlg dlg;
        if (!dlg.OnInitDialog(CStartup::Parse({"--config", options.strConfig, "--port-dir", strPorts}, false)))
            return 1;
        dlg.OnInitList();
        dlg.show();
        CPortListModel* pModel = dlg.GetModel();
        RunUntil([] { return false; }, 300);
        bool bOk = true;
        if (!options.strOption.isEmpty())
            bOk = ShootOption(dlg, options.strOption) && bOk;
        if (!options.strTestPeer.isEmpty())
            bOk = ShootAddTest(dlg, options.strTestPeer, options.strAddOut) && bOk;

        auto* pStart = dlg.findChild<QPushButton*>(QStringLiteral("m_btnStartStop"));
        pStart->click();
        if (!RunUntil([&] { return pStart->isEnabled() && pStart->text() == QStringLiteral("Stop"); }, 60000))
        {
            std::fprintf(stderr, "Start did not finish\n");
            return 1;
        }

        // A terminal program on each port named: the row turns "Connected",
        // or shows why it could not.
        std::vector<int> vecRows;
        for (const std::string& strName : options.vecPorts)
        {
            vecRows.push_back(RowOf(pModel, QString::fromStdString(strName)));
            const int h = OpenAt9600(strPorts + "/" + strName);
            if (h < 0)
                std::fprintf(stderr, "cannot open %s\n", strName.c_str());
            else
                vecOpen.push_back(h);
        }
        RunUntil(
            [&] {
                for (int nRow : vecRows)
                {
                    const auto lamp = static_cast<ELamp>(
                        pModel->index(nRow, COL_CONNECTION).data(CPortListModel::LampRole).toInt());
                    if (lamp == ELamp::Error)
                        continue;
                    if (lamp != ELamp::Ok || Cell(pModel, nRow, COL_BAUDRATE) != QStringLiteral("9600"))
                        return false;
                }
                return true;
            },
            10000);
        if (!options.strSelect.isEmpty())
        {
            auto* pList = dlg.findChild<CTraceListCtrl*>(QStringLiteral("m_list"));
            pList->setCurrentIndex(pModel->index(RowOf(pModel, options.strSelect), COL_MODE));
        }
        bOk = Save(&dlg, options.strOut) && bOk;
        nResult = bOk ? 0 : 1;
        for (int h : vecOpen)
            close(h);
        // Teardown with the window: every link goes.
    }
    CMessageBox::s_fnAnswer = nullptr;
    std::system(("rm -rf '" + std::string(szDir) + "'").c_str());
    return nResult;
}
