#include "app/CQtDispatcher.h"

#include <QMetaObject>

namespace
{
constexpr int SENT_QUEUED = 0;
constexpr int SENT_RUNNING = 1;
constexpr int SENT_DONE = 2;
constexpr int SENT_ABANDONED = 3;  // the sender gave up after Quit
}  // namespace

// Progress of one sent task, shared by the sender and the queued task.
struct CQtDispatcher::SSent
{
    int nState = SENT_QUEUED;
    int nResult = 0;
};

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

    auto pSent = std::make_shared<SSent>();
    {
        std::lock_guard<std::mutex> lock(m_cs);
        if (m_bQuit)
            return 0;
    }
    // Not through Queue: a task that started must finish and report even
    // when Quit comes while it runs.
    QMetaObject::invokeMethod(
        m_pReceiver.get(),
        [this, pSent, fn = std::move(fn)] {
            {
                std::lock_guard<std::mutex> lock(m_cs);
                if (pSent->nState == SENT_ABANDONED || m_bQuit)
                    return;
                pSent->nState = SENT_RUNNING;
            }
            int nResult = 0;
            try
            {
                nResult = fn();
            }
            catch (...)
            {
                nResult = 0;
            }
            {
                std::lock_guard<std::mutex> lock(m_cs);
                pSent->nResult = nResult;
                pSent->nState = SENT_DONE;
            }
            m_cvDone.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(m_cs);
    m_cvDone.wait(lock, [&] { return pSent->nState == SENT_DONE || (m_bQuit && pSent->nState == SENT_QUEUED); });
    if (pSent->nState == SENT_DONE)
        return pSent->nResult;
    pSent->nState = SENT_ABANDONED;
    return 0;
}

bool CQtDispatcher::IsOwnerThread() const
{
    return std::this_thread::get_id() == m_idOwner;
}

void CQtDispatcher::Quit()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bQuit = 1;
    }
    m_cvDone.notify_all();
}

bool CQtDispatcher::IsQuit() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_bQuit != 0;
}
