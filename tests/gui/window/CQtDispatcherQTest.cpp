// SPDX-License-Identifier: Apache-2.0
// The window's dispatcher keeps the contract every dispatcher keeps.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include "gui/window/CQtDispatcher.h"
#include "tests/core/bridge/DispatcherContract.h"

namespace
{

// Runs the GUI thread's events, as the window's event loop would.
bool RunOwnerUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < timeout.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pred();
}

}  // namespace

class CQtDispatcherQTest : public QObject
{
    Q_OBJECT

private slots:
    void ContractHolds_data()
    {
        QTest::addColumn<int>("nCheck");
        QTest::newRow("posts run in order on the owner") << 0;
        QTest::newRow("send returns the result") << 1;
        QTest::newRow("quit releases senders") << 2;
    }

    void ContractHolds()
    {
        QFETCH(int, nCheck);
        CQtDispatcher dispatcher;
        std::string strError;
        switch (nCheck)
        {
        case 0: strError = dispatchercontract::CheckPostsRunInOrderOnTheOwner(dispatcher, RunOwnerUntil); break;
        case 1: strError = dispatchercontract::CheckSendReturnsTheResult(dispatcher, RunOwnerUntil); break;
        default: strError = dispatchercontract::CheckQuitReleasesSenders(dispatcher, RunOwnerUntil); break;
        }
        QVERIFY2(strError.empty(), strError.c_str());
    }

    // The window quits the dispatcher before it tears down: what was posted
    // and not yet run must not run into a core that is going away.
    void PostsAfterQuitDoNotRun()
    {
        CQtDispatcher dispatcher;
        int nRan = 0;
        dispatcher.Post([&] { ++nRan; });
        dispatcher.Quit();
        dispatcher.Post([&] { ++nRan; });
        RunOwnerUntil([] { return false; }, std::chrono::milliseconds(50));
        QCOMPARE(nRan, 0);
    }
};

QTEST_GUILESS_MAIN(CQtDispatcherQTest)
#include "CQtDispatcherQTest.moc"
