#pragma once
// Where the account book's passwords live when the desktop has a secret store (GNOME Keyring,
// KWallet: the Secret Service). One entry per account, named by the logon host (HOST:PORT of
// the web host the user check goes to) and the user id; the window and talvex-cli name it the
// same way (KeyringEntryName).
//
// The store is conservative: a password moves into it only when the store confirms it by
// reading it back, and an entry is removed only after the book that no longer needs it is on
// disk. Until then, and whenever no store answers, the book keeps the scrambled password in
// its file exactly as before. No call here writes a password anywhere but to the store.

#include <set>
#include <string>

namespace talvex {

class CAccountBook;
class AccountNode;

enum class StoreResult {
    Ok,
    NotFound,    // the store answered: it holds no such entry
    Unavailable, // no store answered (no desktop session, locked and refused, no answer in time)
};

class IPasswordStore {
public:
    virtual ~IPasswordStore() = default;
    virtual StoreResult Read(const std::string& userId, std::string& password) = 0;
    virtual StoreResult Write(const std::string& userId, const std::string& password) = 0;
    virtual StoreResult Remove(const std::string& userId) = 0;
};

// The service name of every entry and the entry of one account.
inline constexpr const char* kKeyringService = "Talvex";
std::string KeyringEntryName(const std::string& host, int port, const std::string& userId);

// The account book's side of the store, for the life of one open book.
class CBookPasswords {
public:
    explicit CBookPasswords(IPasswordStore& store) : m_store(store) {}

    // After Load: accounts whose file holds no password get theirs from the store.
    void AfterLoad(CAccountBook& book);
    // Before Save: every password the file still holds moves into the store (and the file
    // keeps it empty) when the store confirms it; an account whose user id another account
    // of the book holds with another password stays in the file.
    void BeforeSave(CAccountBook& book);
    // After a successful Save: entries of accounts the book no longer holds are removed.
    void AfterSave(const CAccountBook& book);

    // User ids whose entry this book has read or written.
    const std::set<std::string>& StoredIds() const { return m_stored; }

private:
    IPasswordStore& m_store;
    std::set<std::string> m_stored;
};

} // namespace talvex
