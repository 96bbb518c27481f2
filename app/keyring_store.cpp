#include "app/keyring_store.h"

#include "platform/log.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <memory>

using talvex::StoreResult;

CKeyringStore::CKeyringStore(QString host, int port, QObject* parent)
    : QObject(parent), m_strHost(std::move(host)), m_nPort(port)
{
}

StoreResult CKeyringStore::Read(const std::string& userId, std::string& password)
{
    return Run(Op::Read, userId, nullptr, &password);
}

StoreResult CKeyringStore::Write(const std::string& userId, const std::string& password)
{
    return Run(Op::Write, userId, &password, nullptr);
}

StoreResult CKeyringStore::Remove(const std::string& userId) { return Run(Op::Remove, userId, nullptr, nullptr); }

void CKeyringStore::MarkUnavailable(const QString& reason)
{
    if (m_bUnavailable)
        return;
    m_bUnavailable = true;
    m_strReason = reason;
    ::Log("secret store not available, passwords stay in the account book: %s",
                     reason.toUtf8().constData());
    emit unavailable(reason);
}

StoreResult CKeyringStore::Run(Op op, const std::string& userId, const std::string* in, std::string* out)
{
    if (m_bUnavailable)
        return StoreResult::Unavailable;
    const QString service = QString::fromLatin1(talvex::kKeyringService);
    QKeychain::Job* job = nullptr;
    if (op == Op::Read) {
        job = new QKeychain::ReadPasswordJob(service);
    } else if (op == Op::Write) {
        auto* write = new QKeychain::WritePasswordJob(service);
        write->setTextData(QString::fromStdString(*in));
        job = write;
    } else {
        job = new QKeychain::DeletePasswordJob(service);
    }
    // Never a plain-text file in the settings: a store that cannot be used is no store.
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(talvex::KeyringEntryName(m_strHost.toStdString(), m_nPort, userId)));
    // The job deletes itself when it ends, also when it answers after the deadline.
    job->setAutoDelete(true);

    struct Answer {
        bool done = false;
        QKeychain::Error error = QKeychain::NoError;
        QString errorText;
        QString text;
    };
    auto answer = std::make_shared<Answer>();
    QEventLoop loop;
    QPointer<QEventLoop> waiting(&loop);
    connect(job, &QKeychain::Job::finished, job, [answer, waiting, op](QKeychain::Job* j) {
        answer->done = true;
        answer->error = j->error();
        answer->errorText = j->errorString();
        if (op == Op::Read && j->error() == QKeychain::NoError)
            answer->text = static_cast<QKeychain::ReadPasswordJob*>(j)->textData();
        if (waiting)
            waiting->quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(m_nTimeoutMs);
    job->start();
    if (!answer->done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (!answer->done) {
        MarkUnavailable(QStringLiteral("no answer in %1 ms").arg(m_nTimeoutMs));
        return StoreResult::Unavailable;
    }
    switch (answer->error) {
    case QKeychain::NoError:
        if (out)
            *out = answer->text.toStdString();
        return StoreResult::Ok;
    case QKeychain::EntryNotFound:
        return StoreResult::NotFound;
    case QKeychain::CouldNotDeleteEntry:
        // The store answered; the entry stays. Not a reason to stop using the store.
        return StoreResult::NotFound;
    default:
        MarkUnavailable(answer->errorText.isEmpty() ? QStringLiteral("error %1").arg(int(answer->error))
                                                    : answer->errorText);
        return StoreResult::Unavailable;
    }
}
