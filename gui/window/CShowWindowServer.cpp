// SPDX-License-Identifier: Apache-2.0
#include "gui/window/CShowWindowServer.h"

#include <sys/stat.h>

#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace
{

constexpr char REQUEST_SHOW[] = "show\n";
constexpr char ANSWER_SHOWN[] = "shown\n";
// Longer than any request; a peer that sends more without a line end is dropped.
constexpr qint64 MAX_LINE = 64;

}  // namespace

CShowWindowServer::CShowWindowServer(QObject* pParent) : QObject(pParent), m_pServer(new QLocalServer(this))
{
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_pServer, &QLocalServer::newConnection, this, &CShowWindowServer::OnNewConnection);
}

CShowWindowServer::~CShowWindowServer()
{
    Close();
}

bool CShowWindowServer::Listen(const QString& strPath, QString* pError)
{
    Close();
    const QByteArray baPath = QFile::encodeName(strPath);
    struct stat st;
    if (lstat(baPath.constData(), &st) == 0)
    {
        if (!S_ISSOCK(st.st_mode))
        {
            if (pError != nullptr)
                *pError = strPath + QStringLiteral(": exists and is no socket");
            return false;
        }
        QLocalServer::removeServer(strPath);
    }
    if (!m_pServer->listen(strPath))
    {
        if (pError != nullptr)
            *pError = strPath + QStringLiteral(": ") + m_pServer->errorString();
        return false;
    }
    return true;
}

void CShowWindowServer::Close()
{
    // QLocalServer removes its socket file as it closes.
    if (m_pServer->isListening())
        m_pServer->close();
}

void CShowWindowServer::OnNewConnection()
{
    while (QLocalSocket* pSocket = m_pServer->nextPendingConnection())
    {
        connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
        connect(pSocket, &QLocalSocket::readyRead, this, [this, pSocket] { OnReadyRead(pSocket); });
        // A peer that connects and says nothing is not kept.
        QTimer::singleShot(ANSWER_TIMEOUT_MS, pSocket, [pSocket] { pSocket->abort(); });
        // The request may have come with the connection.
        if (pSocket->bytesAvailable() > 0)
            OnReadyRead(pSocket);
    }
}

void CShowWindowServer::OnReadyRead(QLocalSocket* pSocket)
{
    if (!pSocket->canReadLine())
    {
        if (pSocket->bytesAvailable() > MAX_LINE)
            pSocket->abort();
        return;
    }
    const QByteArray baLine = pSocket->readLine(MAX_LINE + 1);
    if (baLine != REQUEST_SHOW)
    {
        pSocket->abort();
        return;
    }
    emit ShowRequested();
    pSocket->write(ANSWER_SHOWN);
    pSocket->disconnectFromServer();
}

bool CShowWindowServer::RequestShow(const QString& strPath, int nTimeoutMs)
{
    QLocalSocket socket;
    QEventLoop loop;
    bool bDone = false;
    bool bShown = false;
    auto finish = [&](bool bAnswered) {
        bShown = bAnswered;
        bDone = true;
        loop.quit();
    };
    // The answer may come with the close; either ends the wait.
    auto answer = [&] {
        if (!bDone)
            finish(socket.canReadLine() && socket.readLine(MAX_LINE + 1) == ANSWER_SHOWN);
    };
    connect(&socket, &QLocalSocket::connected, &loop, [&] { socket.write(REQUEST_SHOW); });
    connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        if (socket.canReadLine())
            answer();
    });
    connect(&socket, &QLocalSocket::errorOccurred, &loop, answer);
    connect(&socket, &QLocalSocket::disconnected, &loop, answer);
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, [&] { finish(false); });
    socket.connectToServer(strPath);
    // Nothing listening (nimbreld holds the lock, or a socket left behind)
    // is known at once.
    if (!bDone && socket.state() == QLocalSocket::UnconnectedState)
        return false;
    timer.start(nTimeoutMs);
    if (!bDone)
        loop.exec();
    return bShown;
}
