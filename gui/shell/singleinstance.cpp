#include "shell/singleinstance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

Q_LOGGING_CATEGORY(lcInstance, "quorvel.instance")

namespace {

const QByteArray activateRequest = "activate\n";
// A copy that holds the lock may still be starting (its socket is not up
// yet); a start in the meantime asks again for this long before it gives up
// and opens a window of its own.
constexpr int handOverMs = 10000;
constexpr int retryMs = 100;

QString folderOr(const QString &folder)
{
    return folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : folder;
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
    , socketPath(folderOr(folder) + QStringLiteral("/quorvel-download-tool.socket"))
    , lock(folderOr(folder) + QStringLiteral("/quorvel-download-tool.lock"))
{
    // Only a copy that is gone leaves a stale lock, however long ago.
    lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::handOver()
{
    if (lock.tryLock(0))
        return false;
    if (lock.error() != QLockFile::LockFailedError) {
        // No runtime folder to share: every start is a first one.
        qCWarning(lcInstance) << "no single-instance lock:" << int(lock.error());
        return false;
    }
    const QDeadlineTimer deadline(handOverMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(retryMs)) {
            socket.write(activateRequest);
            const bool sent = socket.waitForBytesWritten(handOverMs);
            socket.disconnectFromServer();
            if (sent)
                return true;
        }
        QThread::msleep(retryMs);
    } while (!deadline.hasExpired());
    qCWarning(lcInstance) << "the copy that runs does not answer; starting another";
    return false;
}

bool SingleInstance::listen()
{
    // Without the lock the socket may be another copy's.
    if (!lock.isLocked())
        return false;
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // What a copy that was killed left behind.
    QLocalServer::removeServer(socketPath);
    if (!server->listen(socketPath)) {
        qCWarning(lcInstance) << "cannot listen for later starts:" << server->errorString();
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::handleConnection);
    // This object outlives the application object (it is made before it);
    // the server's notifiers must not.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
        delete server;
        server = nullptr;
    });
    return true;
}

void SingleInstance::handleConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const auto take = [this, socket] {
            if (!socket->canReadLine() && socket->bytesAvailable() < activateRequest.size())
                return;
            // One short line is all a later start says; anything else ends it.
            if (socket->read(activateRequest.size()) == activateRequest)
                emit activationRequested();
            socket->disconnectFromServer();
        };
        connect(socket, &QLocalSocket::readyRead, this, take);
        take();
    }
}
