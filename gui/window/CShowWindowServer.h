// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// A second start of the window brings up the first one, as desktop programs
// do. The copy that holds the instance lock listens on a socket beside it;
// a second nimbrel asks through it for the window ("show") and ends once
// the first says it did ("shown"). nimbreld does not listen, so a second
// start beside it is refused as before. The socket is the user's, in the
// lock's directory.
class CShowWindowServer : public QObject
{
    Q_OBJECT

public:
    // How long a second start waits for the first copy's answer.
    static constexpr int ANSWER_TIMEOUT_MS = 5000;

    explicit CShowWindowServer(QObject* pParent = nullptr);
    // Closes, which removes the socket.
    ~CShowWindowServer() override;

    // Call with the lock held: a socket at strPath then is a leftover of a
    // copy that ended without removing it, and is replaced. Anything else
    // there is left alone. false, with *pError, when it cannot listen.
    bool Listen(const QString& strPath, QString* pError = nullptr);
    // Stops answering and removes the socket.
    void Close();

    // The second copy's side: asks the copy listening at strPath to show
    // its window; true once it answered that it did. Runs this thread's
    // events while it waits (at most nTimeoutMs), so it works with the
    // listener in the same thread too. Needs a QCoreApplication.
    static bool RequestShow(const QString& strPath, int nTimeoutMs = ANSWER_TIMEOUT_MS);

signals:
    // A second start asked for the window; shown by the time the handlers return.
    void ShowRequested();

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* pSocket);

    QLocalServer* m_pServer;
};
