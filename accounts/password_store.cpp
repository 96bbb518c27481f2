#include "accounts/password_store.h"

#include "accounts/account_book.h"

#include <map>
#include <vector>

namespace talvex {
namespace {

void CollectAccounts(AccountNode& parent, std::vector<AccountNode*>& out)
{
    for (size_t i = 0; i < parent.ChildCount(); ++i) {
        AccountNode* node = parent.Child(i);
        if (node->IsFolder())
            CollectAccounts(*node, out);
        else
            out.push_back(node);
    }
}

std::vector<AccountNode*> Accounts(const CAccountBook& book)
{
    std::vector<AccountNode*> out;
    CollectAccounts(const_cast<AccountNode&>(book.Root()), out);
    return out;
}

} // namespace

std::string KeyringEntryName(const std::string& host, int port, const std::string& userId)
{
    // A host holds no '/', so the first one ends it whatever the user id holds.
    return host + ':' + std::to_string(port) + '/' + userId;
}

void CBookPasswords::AfterLoad(CAccountBook& book)
{
    for (AccountNode* account : Accounts(book)) {
        const AccountEntry& e = account->Entry();
        if (!e.password.empty() || e.userId.empty() || account->PasswordUndecoded())
            continue; // the file holds it
        std::string password;
        const StoreResult r = m_store.Read(e.userId, password);
        if (r == StoreResult::Unavailable)
            return; // the file's values stand; the accounts without one ask at connect
        if (r == StoreResult::Ok && !password.empty()) {
            m_stored.insert(e.userId);
            book.SetStoredPassword(*account, std::move(password));
        }
    }
}

void CBookPasswords::BeforeSave(CAccountBook& book)
{
    const std::vector<AccountNode*> accounts = Accounts(book);
    // One entry per user id: two accounts of one id with different passwords both stay in
    // the file rather than one of them losing its password.
    std::map<std::string, std::set<std::string>> passwordsOf;
    for (const AccountNode* account : accounts)
        if (!account->Entry().password.empty())
            passwordsOf[account->Entry().userId].insert(account->Entry().password);

    std::set<std::string> written;
    for (AccountNode* account : accounts) {
        const AccountEntry& e = account->Entry();
        if (account->PasswordInStore() || e.password.empty() || e.userId.empty() || account->PasswordUndecoded())
            continue;
        if (passwordsOf[e.userId].size() != 1)
            continue;
        if (!written.count(e.userId)) {
            if (m_store.Write(e.userId, e.password) != StoreResult::Ok)
                continue; // this one stays in the file; an unavailable store says so once
            std::string back;
            const StoreResult r = m_store.Read(e.userId, back);
            if (r != StoreResult::Ok || back != e.password)
                continue;
            written.insert(e.userId);
            m_stored.insert(e.userId);
        }
        book.SetPasswordInStore(*account, true);
    }
}

void CBookPasswords::AfterSave(const CAccountBook& book)
{
    std::set<std::string> kept;
    for (const AccountNode* account : Accounts(book))
        if (account->PasswordInStore())
            kept.insert(account->Entry().userId);
    for (auto it = m_stored.begin(); it != m_stored.end();) {
        if (kept.count(*it) || m_store.Remove(*it) == StoreResult::Unavailable) {
            ++it;
            continue;
        }
        it = m_stored.erase(it);
    }
}

} // namespace talvex
