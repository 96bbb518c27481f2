#pragma once
// Lets one copy of the program run per user. The first copy holds a lock file (freed by
// the system when the process ends, even after a crash) and listens on a local socket; a
// second copy finds the lock taken, asks the first copy to bring its window forward and
// gives up.

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

class CInstanceGuard : public QObject {
    Q_OBJECT
public:
    // name: "Talvex Class"; folder: where the lock file and socket live (runtime folder).
    explicit CInstanceGuard(QString name, QString folder = QString(), QObject* parent = nullptr);
    ~CInstanceGuard() override;

    // True when this copy may run. False when another copy holds the guard; that copy has
    // then been asked to raise its window.
    bool Acquire();

    QString SocketName() const;

signals:
    void raiseRequested();

private:
    QString m_strName;
    QString m_strFolder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_pServer = nullptr;
};
