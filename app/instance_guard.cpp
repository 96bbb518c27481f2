#include "app/instance_guard.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace {

QString SafeName(const QString& name)
{
    QString safe;
    for (QChar c : name)
        safe.append(c.isLetterOrNumber() ? c : QLatin1Char('_'));
    return safe;
}

} // namespace

CInstanceGuard::CInstanceGuard(QString name, QString folder, QObject* parent)
    : QObject(parent), m_strName(std::move(name)), m_strFolder(std::move(folder))
{
    if (m_strFolder.isEmpty()) {
        m_strFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (m_strFolder.isEmpty())
            m_strFolder = QDir::tempPath();
    }
}

CInstanceGuard::~CInstanceGuard()
{
    if (m_pServer)
        m_pServer->close();
}

QString CInstanceGuard::SocketName() const
{
    return m_strFolder + QLatin1Char('/') + SafeName(m_strName) + QLatin1Char('-') + QString::number(::getuid())
           + QStringLiteral(".sock");
}

bool CInstanceGuard::Acquire()
{
    QDir().mkpath(m_strFolder);
    const QString lockPath = m_strFolder + QLatin1Char('/') + SafeName(m_strName) + QLatin1Char('-')
                             + QString::number(::getuid()) + QStringLiteral(".lock");
    m_lock = std::make_unique<QLockFile>(lockPath);
    m_lock->setStaleLockTime(0); // a lock is stale only when its process is gone
    if (!m_lock->tryLock(0)) {
        // Another copy runs: ask it to come forward. Never wait long for it.
        QLocalSocket socket;
        socket.connectToServer(SocketName());
        if (socket.waitForConnected(1000)) {
            socket.write("raise\n");
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
        }
        m_lock.reset();
        return false;
    }
    // We hold the lock, so any socket left behind belongs to a dead copy.
    QLocalServer::removeServer(SocketName());
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_pServer->listen(SocketName())) {
        connect(m_pServer, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = m_pServer->nextPendingConnection()) {
                connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                    if (peer->readAll().startsWith("raise"))
                        emit raiseRequested();
                    peer->disconnectFromServer();
                });
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
    }
    return true;
}
