// SPDX-License-Identifier: Apache-2.0
#pragma once

// Helpers the Qt Test programs share.

#include <functional>

#include <QCoreApplication>
#include <QElapsedTimer>

namespace qttestsupport
{

// Runs the event loop until pred() holds or nMs pass; returns pred().
inline bool RunUntil(const std::function<bool()>& pred, int nMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pred();
}

}  // namespace qttestsupport
