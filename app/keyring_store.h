#pragma once
// CKeyringStore: the desktop's secret store (the Secret Service of GNOME Keyring or KWallet)
// through QtKeychain, as the account book's password store. Entries are named by
// KeyringEntryName under the service kKeyringService; nothing falls back to a file.
//
// Each call waits for its answer in a local event loop that takes no user input and ends at a
// deadline, so a store that never answers costs one wait: the first call that finds no store
// (no answer in time, no session bus, locked and refused) makes the store unavailable for the
// rest of the run, says so once (unavailable()) and is never asked again — nothing asks the
// user twice. Needs a QCoreApplication.

#include "accounts/password_store.h"

#include <QObject>
#include <QString>

class CKeyringStore : public QObject, public talvex::IPasswordStore {
    Q_OBJECT
public:
    static constexpr int kDefaultTimeoutMs = 5000;

    // host and port: the logon (web) host the entries belong to.
    CKeyringStore(QString host, int port, QObject* parent = nullptr);

    talvex::StoreResult Read(const std::string& userId, std::string& password) override;
    talvex::StoreResult Write(const std::string& userId, const std::string& password) override;
    talvex::StoreResult Remove(const std::string& userId) override;

    void SetTimeoutMs(int ms) { m_nTimeoutMs = ms; }
    // False once a call found no store; no further call is made in this run.
    bool IsAvailable() const { return !m_bUnavailable; }
    // Why the store could not be used (the store's own words; never holds a password).
    const QString& Reason() const { return m_strReason; }

signals:
    // Once per run: the store could not be used, the book keeps its passwords itself.
    void unavailable(const QString& reason);

private:
    enum class Op { Read, Write, Remove };
    talvex::StoreResult Run(Op op, const std::string& userId, const std::string* in, std::string* out);
    void MarkUnavailable(const QString& reason);

    QString m_strHost;
    int m_nPort;
    int m_nTimeoutMs = kDefaultTimeoutMs;
    bool m_bUnavailable = false;
    QString m_strReason;
};
