#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray kActivate = "activate\n";
const QByteArray kDone = "ok\n";

} // namespace

TSingleInstance::TSingleInstance(const QString& folder, QObject* parent)
    : QObject(parent), FFolder(folder),
      FLock(std::make_unique<QLockFile>(QDir(folder).filePath(QStringLiteral("velora.lock")))) {
    // The lock is held for the whole run, so its age says nothing; only a
    // holder that no longer runs makes it stale.
    FLock->setStaleLockTime(0);
}

TSingleInstance::~TSingleInstance() = default;

QString TSingleInstance::RuntimeFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    QDir().mkpath(folder);
    return folder;
}

bool TSingleInstance::TryLock() {
    return FLock->tryLock(0);
}

bool TSingleInstance::HandOver(int timeoutMs) const {
    const QString name = QDir(FFolder).filePath(QStringLiteral("velora.socket"));
    const QDeadlineTimer deadline(timeoutMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.write(kActivate);
            while (socket.bytesAvailable() < kDone.size() &&
                   socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
                ;
            if (socket.readAll() == kDone)
                return true;
        }
        // The running program may not listen yet.
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return false;
}

bool TSingleInstance::Listen() {
    const QString name = QDir(FFolder).filePath(QStringLiteral("velora.socket"));
    // Whoever holds the lock owns the socket name; a file left there is stale.
    QLocalServer::removeServer(name);
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = FServer->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine() == kActivate) {
                    if (OnActivate)
                        OnActivate();
                    socket->write(kDone);
                }
                socket->disconnectFromServer();
            });
        }
    });
    return FServer->listen(name);
}
