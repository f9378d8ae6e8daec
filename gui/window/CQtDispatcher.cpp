// SPDX-License-Identifier: Apache-2.0
#include "gui/window/CQtDispatcher.h"

#include <QMetaObject>

CQtDispatcher::CQtDispatcher() : m_pReceiver(std::make_unique<QObject>()), m_idOwner(std::this_thread::get_id())
{
}

CQtDispatcher::~CQtDispatcher()
{
    Quit();
}

void CQtDispatcher::Queue(std::function<void()> fn)
{
    QMetaObject::invokeMethod(
        m_pReceiver.get(),
        [this, fn = std::move(fn)] {
            if (!IsQuit())
                fn();
        },
        Qt::QueuedConnection);
}

void CQtDispatcher::Post(std::function<void()> fn)
{
    if (IsQuit())
        return;
    Queue(std::move(fn));
}

int CQtDispatcher::Send(std::function<int()> fn)
{
    if (IsOwnerThread())
        return fn();
    return m_gate.Send(std::move(fn), [this](std::function<void()> task) { Queue(std::move(task)); });
}

bool CQtDispatcher::IsOwnerThread() const
{
    return std::this_thread::get_id() == m_idOwner;
}

void CQtDispatcher::Quit()
{
    m_gate.Quit();
}

bool CQtDispatcher::IsQuit() const
{
    return m_gate.IsQuit();
}
